// The one-shot HEAD probe that tells the caller the file's headers (its size
// above all) before a download.
#include <memory>
#include <utility>

#include "downloader/downloader.h"
#include "downloader/header_record.h"
#include "downloader/one_shot_request.h"
#include "downloader/transfer_handles.h"

CURLcode requestHeaders(const std::string& url, const std::vector<std::string>& extraHeaders,
                        ProxySettings proxy, HeaderList& headersOut, std::string& errorOut,
                        const std::atomic<bool>* abort, HeaderList* failedAnswerOut) {
    auto record = std::make_shared<Downloader::UserPData>();
    record->expectedLength = 0;
    record->downloadedLength = 0;
    record->contentSize = 0;
    record->partIndex = 0;

    OneShotRequest request;
    request.url = url;
    request.extraHeaders = extraHeaders;
    request.proxy = std::move(proxy);
    request.headOnly = true;
    request.followRedirects = true;
    request.stallBounded = true;
    request.headerFunction = &headerCallback;
    request.headerData = record.get();
    request.abort = abort;
    const CURLcode result = performOneShot(request, errorOut);
    if (result == CURLE_OK) {
        headersOut = record->headers;
    } else if (failedAnswerOut != nullptr) {
        *failedAnswerOut = record->headers;
    }
    return result;
}
