// One run of the download over one URL: up to workersCount parallel range
// requests on the libcurl multi interface, each covering a run of parts (see
// run_policy.h), runs handed out in ascending order, every part verified as
// the body crosses its end or the transfer finishes, the resume state offered
// whenever parts were done, and the unfinished parts dumped when the run ends
// early. A transport failure pauses the part instead of counting it (see
// transport_retry.h); a failed write of the destination ends the run at once.
// A server that answers a range request with the whole file turns the rest
// of the run into one stream of it (see whole_stream.h).
#include <algorithm>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "downloader/run_policy.h"
#include "downloader/transfer_handles.h"
#include "downloader/transport_retry.h"

namespace {

using transfer::RetryClock;

constexpr char kRunTaken[] = "worker %d takes parts %d to %d";

constexpr char kTransportFailure[] = "transport failure of worker %d: %d, asked again after a pause";

std::int64_t receivedSoFar(const Downloader::UserPDataList& workers) {
    std::int64_t total = 0;
    for (const auto& record : workers) total += record->receivedBytes;
    return total;
}

std::int64_t handedOverSoFar(const Downloader::UserPDataList& workers) {
    std::int64_t total = 0;
    for (const auto& record : workers) total += record->partsHandedOver;
    return total;
}

// What worker w's next run is sized by: the parts left, and the other
// workers with the bytes their runs still have to come and the rates they
// have shown.
transfer::RunPlan planRun(const DownloadInfo& info, const Downloader::UserPDataList& workers,
                          const transfer::RunRates& rates, std::int32_t w, RetryClock::time_point now) {
    transfer::RunPlan plan;
    plan.partsCount = info.partsCount();
    plan.partsLeft = plan.partsCount - info.handedOut();
    plan.partSize = info.partSize();
    plan.workers = info.workersCount();
    const auto& asker = *workers[static_cast<std::size_t>(w)];
    plan.bytesPerSecond = rates.rate(static_cast<std::size_t>(w), now, asker.receivedBytes);
    // Every other worker shares the parts left: one holding nothing asks in
    // the same pass, so it counts as free now.
    for (std::int32_t other = 0; other < plan.workers; ++other) {
        if (other == w) continue;
        const auto& record = *workers[static_cast<std::size_t>(other)];
        std::int64_t bytesLeft = 0;
        if (info.holdsPart(other)) {
            const std::int32_t current = info.currentPart(other);
            const std::int64_t runLast = std::min<std::int64_t>(
                static_cast<std::int64_t>(info.runEnd(other)) * info.partSize(), info.fileSize());
            const std::int32_t inPart =
                record.partIndex == current ? record.downloadedLength : info.partDownloaded(other);
            bytesLeft = runLast - info.partOffset(current) - inPart;
        }
        plan.busy.push_back({bytesLeft, rates.rate(static_cast<std::size_t>(other), now, record.receivedBytes)});
    }
    return plan;
}

}  // namespace

void Downloader::setWakeTarget(CURLM* multiHandle) {
    const std::lock_guard<std::mutex> guard(m_wakeLock);
    m_wakeTarget = multiHandle;
}

void Downloader::wakeTransferLoop() {
    const std::lock_guard<std::mutex> guard(m_wakeLock);
    if (m_wakeTarget != nullptr) curl_multi_wakeup(m_wakeTarget);
}

DownloadResult Downloader::runTransferLoop(DownloaderAsyncWriter& writer, std::string url,
                                           bool anotherMirrorRemains) {
    const std::int32_t workersCount = m_info.workersCount();
    const std::int32_t partsCount = m_info.partsCount();
    diagnosticLogf(logtext::kWorkersCount, workersCount);
    diagnosticLogf(logtext::kPartsCount, partsCount);

    transfer::TransferRun run;
    // The records get their part buffers from the writer's pool, which they
    // go back to when the run ends (the next mirror's run takes them again).
    run.workers = transfer::createWorkerRecords(this, workersCount, 0);
    for (const auto& record : run.workers) {
        record->buffer = writer.takeBuffer();
        record->bufferCapacity = writer.bufferSize();
        record->writer = &writer;
    }
    if (m_stopped) return DE_Stopped;

    // The run releases its handles on any way out, an exception included;
    // the explicit calls keep libcurl's order ahead of the dump.
    // The wake target is withdrawn before its handle goes, on every way out.
    struct WakeTargetReset {
        Downloader& owner;
        ~WakeTargetReset() { owner.setWakeTarget(nullptr); }
    } wakeTargetReset{*this};
    auto cleanUp = [this, &run] {
        setWakeTarget(nullptr);
        transfer::curlCleanUp(run);
    };

    if (!transfer::createTransferHandles(run, url, m_proxy)) {
        // libcurl could not give us handles (out of memory): nothing was
        // armed, so there is nothing to dump.
        cleanUp();
        return DE_CurlMultiError;
    }

    m_wholeFileAnswered = false;
    HandlesErrorMap handlesErrorMap;
    // Every worker counts as finished, so that the first assignment pass arms them all.
    for (CURL* handle : run.workerHandles) handlesErrorMap[handle] = CURLE_OK;
    setWakeTarget(run.multiHandle.get());
    std::int32_t curlOrVerificationErrorCount = 0;
    bool firstPass = true;
    transfer::ReadPacing pacing;

    // Workers whose last transfer failed on the way to the server wait for
    // the run's shared pause; they keep the bytes they had.
    transfer::OutageRetry outage(transfer::retryPolicy(), RetryClock::now(), anotherMirrorRemains);
    outage.publishTo(&m_outagePauseEnd);
    std::vector<bool> awaitingRetry(static_cast<std::size_t>(workersCount), false);
    std::int64_t received = 0;
    transfer::RunRates rates(static_cast<std::size_t>(workersCount));
    // Parts completed by bodies still on their way are offered to the state
    // as they are done, not only when their transfers finish.
    std::int64_t handedOver = 0;
    auto offerNewParts = [&] {
        const std::int64_t total = handedOverSoFar(run.workers);
        if (total == handedOver) return;
        handedOver = total;
        offerState(writer);
    };
    auto noteBytes = [&](RetryClock::time_point now) {
        const std::int64_t total = receivedSoFar(run.workers);
        if (total != received) outage.bytesArrived(now);
        received = total;
    };
    auto anyAwaiting = [&] {
        return std::find(awaitingRetry.begin(), awaitingRetry.end(), true) != awaitingRetry.end();
    };

    if (m_info.isComplete()) setProgressLength(m_info.fileSize());

    while (!m_info.isComplete()) {
        diagnosticLog(logtext::kNextIteration);
        for (std::int32_t w = 0; w < workersCount; ++w)
            diagnosticLogf(logtext::kWorkerCurrentPart, w, m_info.currentPart(w));

        if (m_stopped) {
            cleanUp();
            return DE_Stopped;
        }

        // Assignment pass: only workers whose transfer has finished are touched.
        std::vector<CURL*> notAdded;
        const bool retryDue = outage.retryDue(RetryClock::now());
        for (std::int32_t w = 0; w < workersCount; ++w) {
            CURL* handle = run.workerHandles[static_cast<std::size_t>(w)];
            const auto waiting = awaitingRetry.begin() + w;
            if (handlesErrorMap.find(handle) == handlesErrorMap.end() && !*waiting) continue;
            if (*waiting && !retryDue) continue;  // still paused
            UserPData& record = *run.workers[static_cast<std::size_t>(w)];
            if (!m_info.holdsPart(w) && !m_info.isWorkerFinished(w)) {
                m_info.takeRun(w, transfer::runLength(planRun(m_info, run.workers, rates, w, RetryClock::now())));
                diagnosticLogf(kRunTaken, w, m_info.currentPart(w), m_info.runEnd(w) - 1);
            }
            if (m_info.isWorkerFinished(w)) {
                record.downloadedLength = 0;
                *waiting = false;
                continue;
            }
            const std::int32_t p = m_info.currentPart(w);
            diagnosticLogf(logtext::kNotVerifiedPartIndex, p);

            // Bytes a dump of an earlier run left in the file are honoured on
            // the first pass only, and only when they read back whole. A part
            // cut off on its way keeps what arrived: its bytes came with a
            // 206 for this very range, and the progress shown stays.
            std::int32_t keptBytes = 0;
            if (*waiting) {
                *waiting = false;
                if (record.partIndex == p) keptBytes = record.downloadedLength;
            } else if (firstPass) {
                keptBytes = m_info.partDownloaded(w);
                if (keptBytes > 0) {
                    const std::int32_t length = m_info.partLength(p);
                    const std::int32_t got = writer.readBack(record.buffer, m_info.partOffset(p), length);
                    record.bufferCapacity = length;
                    if (got != length) keptBytes = 0;
                }
                // A later save must not claim bytes that did not read back.
                m_info.setPartDownloaded(w, keptBytes);
            }
            transfer::armWorker(run, m_info, w, p, keptBytes);
            rates.requested(static_cast<std::size_t>(w), RetryClock::now(), record.receivedBytes);
            // A handle libcurl would not take can never finish; it is judged
            // as a failed transfer instead of being waited for.
            if (curl_multi_add_handle(run.multiHandle.get(), handle) != CURLM_OK) notAdded.push_back(handle);
        }
        handlesErrorMap.clear();
        for (CURL* handle : notAdded) handlesErrorMap[handle] = CURLE_FAILED_INIT;

        int running = 0;
        if (curl_multi_perform(run.multiHandle.get(), &running) != CURLM_OK) {
            cleanUp();
            dump(run.workers, writer);
            return DE_CurlMultiError;
        }

        // Transfers the perform above has already finished are judged now
        // rather than after a wait.
        auto readFinished = [&] {
            bool any = false;
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(run.multiHandle.get(), &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                handlesErrorMap[message->easy_handle] = message->data.result;
                any = true;
            }
            return any;
        };
        // A handle libcurl refused counts as finished: no wait at all.
        bool finished = !handlesErrorMap.empty();
        // Otherwise, transfers the perform above already finished skip the
        // wait, but not the rest of the cycle (stop, progress).
        bool skipWait = !finished && readFinished();

        while (!finished) {
            if (!skipWait) {
                long curlTimeout = -1;
                const CURLMcode errCode1 = curl_multi_timeout(run.multiHandle.get(), &curlTimeout);
                diagnosticLogf(logtext::kErrCode1, static_cast<int>(errCode1));

                // curl_multi_poll waits on libcurl's sockets, or without any
                // for libcurl's own time-out, whichever is sooner; the bound
                // keeps the stop flag and the progress looked at every second
                // or two. A pending pause ends the wait when it does, and a
                // stop or a failed write wakes it at once. A short pause first
                // lets the sockets gather data (see ReadPacing).
                long waitMilliseconds = transfer::waitTimeMilliseconds(curlTimeout);
                if (anyAwaiting())
                    waitMilliseconds = std::min(waitMilliseconds, outage.millisecondsUntilRetry(RetryClock::now()));
                outage.expectWait(std::chrono::milliseconds(waitMilliseconds));
                waitMilliseconds =
                    transfer::pauseBeforeWait(pacing, run, m_info, curlTimeout, waitMilliseconds, awaitingRetry);
                int events = 0;
                const CURLMcode pollCode = curl_multi_poll(run.multiHandle.get(), nullptr, 0,
                                                           static_cast<int>(waitMilliseconds), &events);
                if (pollCode != CURLM_OK) {
                    // Nothing has finished; the verification pass changes
                    // nothing and the next iteration waits again.
                    diagnosticLogf(logtext::kErrCode3, static_cast<int>(pollCode));
                    break;
                }
            }
            skipWait = false;

            const CURLMcode performCode = curl_multi_perform(run.multiHandle.get(), &running);
            if (performCode != CURLM_OK) {
                diagnosticLogf(logtext::kMultiPerformError, static_cast<int>(performCode));
                verifyAndSaveDownloadedParts(run.multiHandle.get(), run.workerHandles, curlOrVerificationErrorCount,
                                             run.workers, writer, handlesErrorMap);
                cleanUp();
                dump(run.workers, writer);
                return DE_CurlMultiError;
            }

            if (m_stopped) {
                diagnosticLog(logtext::kStopped);
                verifyAndSaveDownloadedParts(run.multiHandle.get(), run.workerHandles, curlOrVerificationErrorCount,
                                             run.workers, writer, handlesErrorMap);
                cleanUp();
                dump(run.workers, writer);
                return DE_Stopped;
            }

            // The disk lost bytes already handed over: nothing fetched from
            // now on could be kept.
            if (writer.writeFailed()) {
                diagnosticLog(logtext::kWriteFailed);
                cleanUp();
                return DE_DestWriteError;
            }

            // A state whose parts the writer has flushed since is saved now,
            // not at the next finished transfer: a disk that fills up
            // meanwhile would leave no room for it.
            offerNewParts();
            saveDurableState(writer.durableCount());

            std::int32_t progress = m_info.completedLength();
            for (const auto& record : run.workers) progress += record->downloadedLength;
            setProgressLength(progress);
            const auto now = RetryClock::now();
            if (outage.lookAt(now)) diagnosticLog(logtext::kLostTime);
            noteBytes(now);

            readFinished();
            finished = !handlesErrorMap.empty() || (anyAwaiting() && outage.retryDue(now));
        }

        // Transport failures are not judged as answers: their workers wait
        // for the shared pause, uncounted while the outage is young. An
        // answer that did arrive with another status than 206 is judged as
        // the answer it is, however its body ended.
        bool outageTooLong = false;
        const auto now = RetryClock::now();
        if (outage.lookAt(now)) diagnosticLog(logtext::kLostTime);
        noteBytes(now);
        for (const auto& [handle, code] : handlesErrorMap) {
            const auto worker = std::find(run.workerHandles.begin(), run.workerHandles.end(), handle);
            if (worker == run.workerHandles.end()) continue;
            const auto w = static_cast<std::size_t>(worker - run.workerHandles.begin());
            rates.ended(w, now, run.workers[w]->receivedBytes);
        }
        for (auto it = handlesErrorMap.begin(); it != handlesErrorMap.end();) {
            const auto worker = std::find(run.workerHandles.begin(), run.workerHandles.end(), it->first);
            const auto w = static_cast<std::int32_t>(worker - run.workerHandles.begin());
            const bool known = worker != run.workerHandles.end();
            const std::string status = known ? run.workers[static_cast<std::size_t>(w)]->statusHeader.value : "";
            if (!known || !transfer::isTransportFailure(it->second) || (!status.empty() && status != "206")) {
                ++it;
                continue;
            }
            diagnosticLogf(kTransportFailure, w, static_cast<int>(it->second));
            curl_multi_remove_handle(run.multiHandle.get(), it->first);
            m_lastTransferError = it->second;
            if (!outage.retryLater(now)) outageTooLong = true;
            awaitingRetry[static_cast<std::size_t>(w)] = true;
            it = handlesErrorMap.erase(it);
        }

        const DownloadResult serverErrorCode =
            verifyAndSaveDownloadedParts(run.multiHandle.get(), run.workerHandles, curlOrVerificationErrorCount,
                                         run.workers, writer, handlesErrorMap);
        if (writer.writeFailed()) {
            diagnosticLog(logtext::kWriteFailed);
            cleanUp();
            return DE_DestWriteError;
        }
        if (serverErrorCode != DE_Success) {
            diagnosticLog(logtext::kServerError);
            cleanUp();
            dump(run.workers, writer);
            return serverErrorCode;
        }
        if (curlOrVerificationErrorCount > MAX_VERIFICATION_ERROR_COUNT || outageTooLong) {
            diagnosticLog(outageTooLong ? logtext::kOutageTooLong : logtext::kTooManyErrors);
            cleanUp();
            dump(run.workers, writer);
            return DE_TooManyErrors;
        }
        if (m_wholeFileAnswered) {
            const DownloadResult streamed = runWholeStream(run, writer, outage, curlOrVerificationErrorCount);
            cleanUp();
            return streamed;
        }
        // Saved once the parts it names finished are flushed, which is
        // usually a later cycle's save: the state never claims a part the
        // disk may still lack.
        diagnosticLog(logtext::kSaveState);
        handedOver = handedOverSoFar(run.workers);
        offerState(writer);
        firstPass = false;
    }

    diagnosticLog(logtext::kCleanUp);
    cleanUp();
    return DE_Success;
}

void Downloader::dump(const UserPDataList& workers, DownloaderAsyncWriter& writer) {
    diagnosticLog(logtext::kDumpBegin);
    for (std::size_t i = 0; i < workers.size(); ++i) {
        const UserPData& record = *workers[i];
        if (record.partIndex < 0) continue;
        const auto w = static_cast<std::int32_t>(i);
        diagnosticLogf(logtext::kDumpWorker, w, record.partIndex, record.downloadedLength, record.contentSize);
        const std::int32_t length = m_info.partLength(record.partIndex);
        // The kept count belongs to the worker's current part; a record that
        // no longer describes that part has nothing to keep.
        if (record.downloadedLength > 0 && record.downloadedLength < length &&
            m_info.currentPart(w) == record.partIndex) {
            diagnosticLogf(logtext::kDumpSaved, w);
            m_info.setPartDownloaded(w, record.downloadedLength);
            writer.enqueueWrite(m_info.partOffset(record.partIndex), length, record.buffer);
        }
    }
    // The kept bytes and every finished part reach the disk before the state
    // that names them; the run is ending, so waiting for the flush costs little.
    writer.syncNow();
    offerState(writer);
}
