#include "app/proxy_discovery.h"

#include <sstream>

#include <boost/format.hpp>

#include "downloader/curl_handles.h"
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
    curlh::SlistHandle headers;
    for (const std::string& line : extraHeaders) curlh::appendLine(headers, line.c_str());
    curlh::appendLine(headers, "User-Agent: Vorlane Downloader");
    curlh::appendLine(headers, "Expect:");

    char errorBuffer[CURL_ERROR_SIZE] = {};
    const curlh::EasyHandle owned(curl_easy_init());
    CURL* handle = owned.get();
    if (handle == nullptr) {
        errorOut = curl_easy_strerror(CURLE_FAILED_INIT);
        return CURLE_FAILED_INIT;
    }
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &appendToStream);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<std::ostream*>(&sink));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 5L);
    if (headOnly) curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    std::string proxyAddress;
    if (proxy.type == kManualProxyType && !proxy.host.empty()) {
        proxyAddress = (boost::format("%s:%d") % proxy.host % proxy.port).str();
        curl_easy_setopt(handle, CURLOPT_PROXY, proxyAddress.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYUSERNAME, proxy.user.c_str());
        curl_easy_setopt(handle, CURLOPT_PROXYPASSWORD, proxy.password.c_str());
    }
    // Not a signal-driven resolver time-out: this runs on a worker thread.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(bound.count()));
    // A closing window must not wait for the test's bound.
    const CURLcode result = curlh::performAbortable(handle, abort);
    if (result != CURLE_OK) {
        errorOut = errorBuffer;
    } else {
        errorOut.clear();
    }
    return result;
}
