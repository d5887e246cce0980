#include "app/proxy_discovery.h"

#include <algorithm>
#include <sstream>
#include <utility>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "downloader/one_shot_request.h"
#include "platform/text.h"

namespace {

std::size_t appendToStream(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* sink = static_cast<std::ostream*>(userData);
    try {
        sink->write(data, static_cast<std::streamsize>(size * count));
    } catch (...) {
        return 0;  // a throwing sink aborts the transfer; nothing unwinds through libcurl
    }
    return size * count;
}

// The proxy a script or WinHTTP names for an address, or none.
ProxySettings askAutoProxy(platform::OsServices& os, const std::string& downloadAddress,
                           platform::AutoProxySource source, const std::wstring& configUrl,
                           std::chrono::milliseconds bound, const std::atomic<bool>* abort) {
    const platform::AutoProxyAnswer answer =
        os.proxyForUrl(platform::fromUtf8(downloadAddress), source, configUrl, bound, abort);
    if (!answer.answered || !answer.proxyList) return {};
    return firstListedProxy(platform::toUtf8(*answer.proxyList));
}

}  // namespace

ProxySettings firstListedProxy(const std::string& proxyList) {
    std::vector<std::string> entries;
    boost::algorithm::split(entries, proxyList, boost::algorithm::is_any_of(";"));
    for (std::string& entry : entries) {
        boost::algorithm::trim_if(entry, boost::algorithm::is_any_of(" \t"));
        if (entry.empty()) continue;
        const std::size_t blank = entry.find_first_of(" \t");
        const std::string keyword = boost::algorithm::to_upper_copy(entry.substr(0, blank));
        std::string address;
        if (blank == std::string::npos) {
            if (keyword == "DIRECT") return {};
            address = entry;  // WinHTTP's own form: host:port
            if (boost::algorithm::to_lower_copy(address).starts_with("http://")) address.erase(0, 7);
        } else if (keyword == "PROXY" || keyword == "HTTP") {
            address = boost::algorithm::trim_copy_if(entry.substr(blank), boost::algorithm::is_any_of(" \t"));
        } else {
            continue;  // SOCKS, HTTPS and the like: not a plain HTTP proxy
        }
        // A per-scheme or schemed entry ("https=...", "socks://...") is not one either.
        if (address.find_first_of("=/") != std::string::npos) continue;
        std::optional<ProxySettings> candidate = proxyCandidate(address);
        if (candidate && !candidate->port.empty()) return *candidate;
    }
    return {};
}

bool usesProxy(const ProxySettings& proxy) { return proxy.type == kManualProxyType && !proxy.host.empty(); }

std::optional<ProxySettings> proxyCandidate(const std::string& proxyText) {
    const std::size_t colon = proxyText.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    ProxySettings candidate;
    candidate.type = kManualProxyType;
    candidate.host = proxyText.substr(0, colon);
    candidate.port = proxyText.substr(colon + 1);
    // A proxy of the user's settings or network may ask who the user is, as
    // it asks the browsers, which answer with the Windows logon unprompted.
    candidate.signedInUserCredentials = true;
    return candidate;
}

ProxyDiscovery discoverProxy(platform::OsServices& os, const std::string& downloadAddress,
                             const std::string& testAddress, std::chrono::milliseconds bound,
                             const std::atomic<bool>* abort) {
    ProxyDiscovery discovery;
    try {
        platform::UserProxySettings settings;
        if (!os.currentUserProxy(settings)) return discovery;
        discovery.autoDetect = settings.autoDetect;
        if (settings.manualProxy) {
            const std::optional<ProxySettings> candidate = proxyCandidate(platform::toUtf8(*settings.manualProxy));
            std::ostringstream body;
            std::string error;
            if (candidate && httpRequest(testAddress, {}, *candidate, body, error, false, bound, abort) == CURLE_OK) {
                discovery.proxy = *candidate;
                return discovery;
            }
        }
        if (abort && *abort) return discovery;
        if (settings.autoConfigUrl && !settings.autoConfigUrl->empty()) {
            discovery.proxy = askAutoProxy(os, downloadAddress, platform::AutoProxySource::ConfigUrl,
                                           *settings.autoConfigUrl, kAutoConfigTimeout, abort);
        }
    } catch (...) {
        // Whatever goes wrong while finding a proxy means: no proxy.
        discovery.proxy = {};
    }
    return discovery;
}

bool shouldAutoDetect(const ProxyDiscovery& discovery, CURLcode result) {
    if (!discovery.autoDetect || usesProxy(discovery.proxy)) return false;
    switch (result) {
    case CURLE_OK:
    case CURLE_ABORTED_BY_CALLBACK:  // stopped by the user
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_WRITE_ERROR:
        return false;
    default:
        return true;
    }
}

ProxySettings autoDetectProxy(platform::OsServices& os, const std::string& downloadAddress,
                              const std::atomic<bool>* abort) {
    try {
        return askAutoProxy(os, downloadAddress, platform::AutoProxySource::AutoDetect, {}, kAutoDetectTimeout, abort);
    } catch (...) {
        return {};
    }
}

bool proxyWantsCredentials(const HeaderList& headers) {
    const auto status = std::find_if(headers.begin(), headers.end(),
                                     [](const HeaderRecord& record) { return record.kind == HK_Status; });
    return status != headers.end() && status->value == std::to_string(kProxyAuthenticationRequired);
}

CURLcode httpRequest(const std::string& url, const std::vector<std::string>& extraHeaders, ProxySettings proxy,
                     std::ostream& sink, std::string& errorOut, bool headOnly, std::chrono::milliseconds bound,
                     const std::atomic<bool>* abort) {
    OneShotRequest request;
    request.url = url;
    request.extraHeaders = extraHeaders;
    request.proxy = std::move(proxy);
    request.headOnly = headOnly;
    request.totalBound = bound;
    request.writeFunction = &appendToStream;
    request.writeData = static_cast<std::ostream*>(&sink);
    request.abort = abort;
    return performOneShot(request, errorOut);
}
