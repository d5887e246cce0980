#include "downloader/one_shot_request.h"

#include "downloader/curl_handles.h"
#include "downloader/transfer_handles.h"

CURLcode performOneShot(const OneShotRequest& request, std::string& errorOut) {
    curlh::SlistHandle headerList;
    for (const std::string& line : request.extraHeaders) curlh::appendLine(headerList, line.c_str());
    curlh::appendLine(headerList, transfer::kProbeUserAgent);
    curlh::appendLine(headerList, transfer::kProbeExpect);

    char errorBuffer[transfer::kErrorBufferSize] = {};
    const curlh::EasyHandle owned(curl_easy_init());
    CURL* handle = owned.get();
    if (handle == nullptr) {
        errorOut = curl_easy_strerror(CURLE_FAILED_INIT);
        return CURLE_FAILED_INIT;
    }
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
    if (request.headerFunction != nullptr) {
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, request.headerFunction);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, request.headerData);
    }
    if (request.writeFunction != nullptr) {
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, request.writeFunction);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, request.writeData);
    }
    if (request.followRedirects) {
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, transfer::kMaxRedirects);
    }
    transfer::applyTlsRules(handle, request.url);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, transfer::kProbeConnectTimeoutSeconds);
    if (request.headOnly) curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    transfer::applyProbeProxy(handle, request.proxy);
    // Not a signal-driven resolver time-out: requests run on worker threads.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (request.totalBound.count() > 0) {
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.totalBound.count()));
    }
    if (request.stallBounded) {
        // A server that accepts the connection and never answers would hold
        // the caller forever.
        const transfer::StallBounds bounds = transfer::stallBounds();
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, bounds.lowSpeedLimitBytesPerSecond);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, bounds.lowSpeedTimeSeconds);
    }
    // A closing window must not wait for the request's time-outs.
    const CURLcode result = curlh::performAbortable(handle, request.abort);
    if (result != CURLE_OK) {
        errorOut = errorBuffer;
        // libcurl does not fill the buffer for every failure; its generic text
        // still tells the caller more than nothing.
        if (errorOut.empty()) errorOut = curl_easy_strerror(result);
        return result;
    }
    errorOut.clear();
    return CURLE_OK;
}
