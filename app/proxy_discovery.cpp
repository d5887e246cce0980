#include "app/proxy_discovery.h"

#include <sstream>
#include <utility>

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

}  // namespace

std::optional<ProxySettings> proxyCandidate(const std::string& proxyText) {
    const std::size_t colon = proxyText.find(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    ProxySettings candidate;
    candidate.type = kManualProxyType;
    candidate.host = proxyText.substr(0, colon);
    candidate.port = proxyText.substr(colon + 1);
    return candidate;
}

ProxySettings discoverProxy(platform::OsServices& os, const std::string& testAddress,
                            std::chrono::milliseconds bound, const std::atomic<bool>* abort) {
    try {
        std::optional<std::wstring> manualProxy;
        if (!os.currentUserProxy(manualProxy) || !manualProxy) return {};
        const std::optional<ProxySettings> candidate = proxyCandidate(platform::toUtf8(*manualProxy));
        if (!candidate) return {};

        std::ostringstream body;
        std::string error;
        if (httpRequest(testAddress, {}, *candidate, body, error, false, bound, abort) == CURLE_OK) return *candidate;
    } catch (...) {
        // Whatever goes wrong while trying the proxy means: no proxy.
    }
    return {};
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
