// The rest of a transfer run once a range request was answered with the
// whole file: one transfer at a time, from the first byte no part holds yet,
// its body cut back into parts by WholeStream. A stop, a failed write, an
// outage, counted errors and run-ending answers end it as they end the part
// transfers, and what it gathered of its part in flight is kept as a dump
// keeps a worker's part.
#include <algorithm>
#include <optional>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "downloader/transfer_handles.h"
#include "downloader/transport_retry.h"
#include "downloader/whole_stream.h"

namespace {

using transfer::RetryClock;

constexpr char kStreamBegins[] = "a range request was answered with the whole file: one stream from here";
constexpr char kStreamAsked[] = "stream asked from byte %d";
constexpr char kStreamFailure[] = "stream transport failure: %d, asked again after a pause";
constexpr char kStreamRefused[] = "stream answer refused: status=%s, code=%d";

// The header and write data of the stream's handle.
struct StreamTransfer {
    Downloader::UserPData record;
    transfer::WholeStream* parts = nullptr;
    std::int32_t firstAsked = 0;
};

// The file byte the answer's body begins with: the byte asked for when a 206
// names exactly the rest of the file from it, 0 when a 200 carries the whole
// file; none for any other answer, or for another version of the file.
std::optional<std::int32_t> bodyStart(const StreamTransfer& stream, const DownloadInfo& info) {
    const Downloader::UserPData& record = stream.record;
    if (transfer::isWholeFileAnswer(record, info)) return 0;
    if (record.statusHeader.value != "206" || !transfer::validatorMatches(record)) return std::nullopt;
    const std::int64_t size = info.fileSize();
    const auto range = transfer::parseContentRange(record.contentRange);
    if (!range || range->first != stream.firstAsked || range->last != size - 1 ||
        (range->total >= 0 && range->total != size) || record.contentSize != size - stream.firstAsked)
        return std::nullopt;
    return stream.firstAsked;
}

std::size_t streamWriteCallback(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* stream = static_cast<StreamTransfer*>(userData);
    const std::size_t n = size * count;
    if (stream == nullptr || stream->record.owner == nullptr || stream->parts == nullptr) return 0;
    try {
        // The headers cannot change within one body: its first bytes decide.
        if (!stream->record.bodyChecked) {
            const std::optional<std::int32_t> start = bodyStart(*stream, stream->record.owner->downloadInfo());
            if (!start) return 0;
            stream->parts->startAt(*start);
            stream->record.bodyChecked = true;
        }
        if (!stream->parts->take(data, n)) return 0;
    } catch (...) {
        return 0;  // no exception may unwind through libcurl
    }
    stream->record.receivedBytes += static_cast<std::int64_t>(n);
    return n;
}

}  // namespace

DownloadResult Downloader::runWholeStream(transfer::TransferRun& run, DownloaderAsyncWriter& writer,
                                          transfer::OutageRetry& outage, std::int32_t& curlOrVerificationErrorCount) {
    diagnosticLog(kStreamBegins);
    CURLM* multi = run.multiHandle.get();
    // The other workers' connections are dropped; what they had of their
    // parts is kept as a stop keeps it, and their records rest.
    for (CURL* workerHandle : run.workerHandles) curl_multi_remove_handle(multi, workerHandle);
    dump(run.workers, writer);
    for (const auto& record : run.workers) {
        record->partIndex = -1;
        record->downloadedLength = 0;
    }

    transfer::WholeStream parts(m_info, writer);
    StreamTransfer stream;
    stream.record.owner = this;
    stream.parts = &parts;
    // A copy of a worker's handle: the same proxy, TLS, redirect and stall rules.
    CURL* handle = curl_easy_duphandle(run.workerHandles.front());
    if (handle == nullptr) return DE_CurlMultiError;
    run.ownedHandles.emplace_back(handle);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &stream.record);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &streamWriteCallback);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &stream);

    // Every way out leaves the handle out of the multi handle, since its
    // data lives here.
    auto leave = [&](DownloadResult result) {
        curl_multi_remove_handle(multi, handle);
        parts.keepPartInFlight();
        writer.syncNow();
        offerState(writer);
        return result;
    };

    std::string rangeText;
    bool inFlight = false;
    bool awaitingRetry = false;
    std::int32_t offered = parts.partsCompleted();
    std::int64_t received = 0;
    while (!m_info.isComplete()) {
        if (m_stopped) return leave(DE_Stopped);
        auto now = RetryClock::now();
        if (!inFlight && (!awaitingRetry || outage.retryDue(now))) {
            awaitingRetry = false;
            stream.firstAsked = parts.firstByteNeeded();
            rangeText = transfer::formatRange(stream.firstAsked, m_info.fileSize() - 1);
            curl_easy_setopt(handle, CURLOPT_RANGE, rangeText.c_str());
            stream.record.headers.clear();
            stream.record.statusHeader = HeaderRecord{};
            stream.record.contentSize = 0;
            stream.record.contentRange.clear();
            stream.record.bodyChecked = false;
            diagnosticLogf(kStreamAsked, stream.firstAsked);
            if (curl_multi_add_handle(multi, handle) != CURLM_OK) return leave(DE_CurlMultiError);
            inFlight = true;
        }

        // A second at most, so that the stop flag and the progress are looked
        // at; a stop or a failed write wakes the wait at once.
        long waitMilliseconds = 1000;
        if (inFlight) {
            long curlTimeout = -1;
            curl_multi_timeout(multi, &curlTimeout);
            waitMilliseconds = transfer::waitTimeMilliseconds(curlTimeout);
        } else {
            waitMilliseconds = std::min(waitMilliseconds, outage.millisecondsUntilRetry(now));
        }
        // A wait that ends far later than asked means the program did not
        // run (sleep, a stopped process): no outage is counted for it.
        outage.expectWait(std::chrono::milliseconds(waitMilliseconds));
        int events = 0;
        const CURLMcode pollCode = curl_multi_poll(multi, nullptr, 0, static_cast<int>(waitMilliseconds), &events);
        if (pollCode != CURLM_OK) diagnosticLogf(logtext::kErrCode3, static_cast<int>(pollCode));

        int running = 0;
        const CURLMcode performCode = curl_multi_perform(multi, &running);
        if (performCode != CURLM_OK) {
            diagnosticLogf(logtext::kMultiPerformError, static_cast<int>(performCode));
            return leave(DE_CurlMultiError);
        }
        if (m_stopped) {
            diagnosticLog(logtext::kStopped);
            return leave(DE_Stopped);
        }
        if (writer.writeFailed()) {
            diagnosticLog(logtext::kWriteFailed);
            curl_multi_remove_handle(multi, handle);
            return DE_DestWriteError;
        }
        saveDurableState(writer.durableCount());
        // Offered once the writer has the completed parts; saved once they
        // are flushed, as the part transfers' states are.
        if (parts.partsCompleted() != offered) {
            offered = parts.partsCompleted();
            offerState(writer);
        }
        setProgressLength(m_info.completedLength() + parts.heldBytes());
        now = RetryClock::now();
        if (outage.lookAt(now)) diagnosticLog(logtext::kLostTime);
        if (stream.record.receivedBytes != received) {
            received = stream.record.receivedBytes;
            outage.bytesArrived(now);
        }

        std::optional<CURLcode> finished;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued))
            if (message->msg == CURLMSG_DONE && message->easy_handle == handle) finished = message->data.result;
        if (!finished) continue;
        curl_multi_remove_handle(multi, handle);
        inFlight = false;
        if (m_info.isComplete()) break;

        // A cut stream is asked again from its first missing byte after the
        // run's shared pause; any other end is judged as the answer it is.
        const CURLcode code = *finished;
        const std::string& status = stream.record.statusHeader.value;
        if (transfer::isTransportFailure(code) && (status.empty() || bodyStart(stream, m_info))) {
            diagnosticLogf(kStreamFailure, static_cast<int>(code));
            m_lastTransferError = code;
            if (!outage.retryLater(now)) {
                diagnosticLog(logtext::kOutageTooLong);
                return leave(DE_TooManyErrors);
            }
            awaitingRetry = true;
            continue;
        }
        diagnosticLogf(kStreamRefused, status, static_cast<int>(code));
        if (code != CURLE_OK && code != CURLE_WRITE_ERROR) {
            m_lastTransferError = code;
            ++curlOrVerificationErrorCount;
        } else if (status == "200" && !bodyStart(stream, m_info)) {
            // Another length or another version of the file.
            ++curlOrVerificationErrorCount;
            return leave(DE_RangeIgnored);
        } else if (status == "404") {
            return leave(DE_HttpNotFound);
        } else if (status == "410") {
            return leave(DE_HttpGone);
        } else if (status == "503") {
            return leave(DE_HttpServiceUnavailable);
        } else {
            // Another status, a 206 of other bytes, or a body that ended short.
            ++curlOrVerificationErrorCount;
        }
        if (curlOrVerificationErrorCount > MAX_VERIFICATION_ERROR_COUNT) {
            diagnosticLog(logtext::kTooManyErrors);
            return leave(DE_TooManyErrors);
        }
    }

    curl_multi_remove_handle(multi, handle);
    offerState(writer);
    setProgressLength(m_info.completedLength());
    return DE_Success;
}
