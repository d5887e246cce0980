// The one-shot HEAD probe that tells the caller the file's headers (its size
// above all) before a download.
#include <memory>

#include "downloader/curl_handles.h"
#include "downloader/downloader.h"
#include "downloader/header_record.h"
#include "downloader/transfer_handles.h"

CURLcode requestHeaders(const std::string& url, const std::vector<std::string>& extraHeaders,
                        ProxySettings proxy, HeaderList& headersOut, std::string& errorOut,
                        const std::atomic<bool>* abort) {
    curlh::SlistHandle headerList;
    for (const std::string& line : extraHeaders) curlh::appendLine(headerList, line.c_str());
    curlh::appendLine(headerList, transfer::kProbeUserAgent);
    curlh::appendLine(headerList, transfer::kProbeExpect);

    auto record = std::make_shared<Downloader::UserPData>();
    record->expectedLength = 0;
    record->downloadedLength = 0;
    record->contentSize = 0;
    record->partIndex = 0;

    char errorBuffer[transfer::kErrorBufferSize] = {};

    const curlh::EasyHandle owned(curl_easy_init());
    CURL* handle = owned.get();
    if (handle == nullptr) {
        errorOut = curl_easy_strerror(CURLE_FAILED_INIT);
        return CURLE_FAILED_INIT;
    }
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headerList.get());
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, record.get());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &headerCallback);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, transfer::kMaxRedirects);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, transfer::kProbeConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    transfer::applyProbeProxy(handle, proxy);
    // A server that accepts the connection and never answers would hold the
    // caller forever.
    const transfer::StallBounds bounds = transfer::stallBounds();
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, bounds.lowSpeedLimitBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, bounds.lowSpeedTimeSeconds);
    // A closing window must not wait for the probe's time-outs.
    const CURLcode result = curlh::performAbortable(handle, abort);

    if (result != CURLE_OK) {
        errorOut = errorBuffer;
        // libcurl does not fill the buffer for every failure; its generic text
        // still tells the caller more than nothing.
        if (errorOut.empty()) errorOut = curl_easy_strerror(result);
        return result;
    }
    errorOut.clear();
    headersOut = record->headers;
    return CURLE_OK;
}
