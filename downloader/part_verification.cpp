// Judging finished transfers: the last part of a request's run is accepted
// only when it came with status 206, exactly its own length, (when named) the
// request's byte range and the file version the download started with (the
// parts before it went to the writer as the body crossed them, see
// writeCallback); accepted parts go to the writer and their workers move on. A 200 carrying
// the whole file of that version costs nothing: it asks for the stream.
#include <algorithm>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "downloader/transfer_handles.h"

DownloadResult Downloader::verifyAndSaveDownloadedParts(CURLM* multiHandle, std::vector<CURL*> workerHandles,
                                                        std::int32_t& curlOrVerificationErrorCount,
                                                        UserPDataList workers, DownloaderAsyncWriter& writer,
                                                        HandlesErrorMap handlesErrorMap) {
    diagnosticLog(logtext::kVerifyBegin);
    DownloadResult serverErrorCode = DE_Success;

    const std::int32_t workersCount =
        std::min<std::int32_t>(m_info.workersCount(), static_cast<std::int32_t>(workerHandles.size()));
    for (std::int32_t i = 0; i < workersCount; ++i) {
        CURL* handle = workerHandles[static_cast<std::size_t>(i)];
        const auto finished = handlesErrorMap.find(handle);
        if (finished == handlesErrorMap.end()) continue;  // still transferring

        curl_multi_remove_handle(multiHandle, handle);
        UserPData& record = *workers[static_cast<std::size_t>(i)];

        const CURLcode code = finished->second;
        if (code != CURLE_OK && code != CURLE_WRITE_ERROR) {
            diagnosticLogf(logtext::kVerifyCurlError, i, static_cast<int>(code));
            m_lastTransferError = code;
            ++curlOrVerificationErrorCount;
            continue;
        }

        const std::string& status = record.statusHeader.value;
        if (status != "206") {
            diagnosticLogf(logtext::kVerifyStatus, i, status);
            if (status == "200" && transfer::isWholeFileAnswer(record, m_info)) {
                // The server (or a proxy on the way) ignores Range but sends
                // this very file: the run goes on as one stream of it.
                m_wholeFileAnswered = true;
            } else if (status == "200") {
                serverErrorCode = DE_RangeIgnored;
                ++curlOrVerificationErrorCount;
            } else if (status == "404") {
                serverErrorCode = DE_HttpNotFound;
            } else if (status == "410") {
                serverErrorCode = DE_HttpGone;
            } else if (status == "503") {
                serverErrorCode = DE_HttpServiceUnavailable;
            } else {
                ++curlOrVerificationErrorCount;
            }
            continue;
        }

        // The write callback refused such a body already; counting it here
        // makes the refusal one error whatever the length came to.
        if (!transfer::contentRangeMatches(record, m_info)) {
            diagnosticLogf(transfer::kVerifyContentRange, i, record.contentRange);
            ++curlOrVerificationErrorCount;
            continue;
        }

        // A part of another version of the file would make a mix of both.
        if (!transfer::validatorMatches(record)) {
            diagnosticLogf(transfer::kVerifyValidator, i, responseValidator(record.headers));
            ++curlOrVerificationErrorCount;
            continue;
        }

        const std::int32_t p = record.partIndex;
        if (record.downloadedLength != m_info.partLength(p) || record.runEnd > p + 1) {
            diagnosticLogf(logtext::kVerifyLength, i, record.downloadedLength);
            ++curlOrVerificationErrorCount;
            continue;
        }
        // The description moved on without this record (a stale record):
        // the part is not this worker's to hand over.
        if (m_info.currentPart(i) != p || !m_info.holdsPart(i)) continue;

        // The filled buffer itself goes to the writer; the worker refills a free one.
        record.bufferCapacity = writer.handOver(m_info.partOffset(p), m_info.partLength(p), record.buffer);
        ++record.partsHandedOver;
        m_info.finishPart(i);
        record.downloadedLength = 0;
    }

    diagnosticLogf(logtext::kVerifyEnd, static_cast<int>(serverErrorCode));
    return serverErrorCode;
}
