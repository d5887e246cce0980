// The segmented download engine: owns a download description, runs the
// download on a thread of its own, and lets its owner poll progress and
// completion and stop the run.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "downloader/download_info.h"
#include "downloader/download_result.h"
#include "downloader/header_record.h"
#include "downloader/proxy_settings.h"
#include "downloader/resume_record.h"
#include "downloader/shared_bytes.h"
#include "platform/file.h"

class DownloaderAsyncWriter;
namespace transfer {
struct TransferRun;
class OutageRetry;
}  // namespace transfer

class Downloader {
public:
    // Per-handle record: user data of every libcurl callback of one transfer.
    struct UserPData {
        Downloader* owner = nullptr;
        HeaderList headers;
        HeaderRecord statusHeader;
        std::int32_t workerIndex = 0;
        // The part the body's bytes go to now; the request covers the parts
        // from the one it began with up to (not including) runEnd.
        std::int32_t partIndex = -1;
        std::int32_t runEnd = -1;
        // The bytes the request asked for, both inclusive.
        std::int32_t rangeFirst = 0;
        std::int32_t rangeLast = -1;
        std::int32_t expectedLength = 0;
        std::int32_t contentSize = 0;
        SharedBytes buffer;
        std::int32_t bufferCapacity = 0;  // bytes allocated in buffer
        std::int32_t downloadedLength = 0;
        // Body bytes this record's transfers have taken in, never reset: the
        // loop tells an outage by it standing still.
        std::int64_t receivedBytes = 0;
        // Body bytes of the current request.
        std::int32_t requestReceived = 0;
        // Where the parts a request completes before its last one go, and
        // how many went there, never reset: the loop offers the state when
        // it grows.
        DownloaderAsyncWriter* writer = nullptr;
        std::int64_t partsHandedOver = 0;
        // Content-Range of the current transfer's final response, empty when it
        // sent none: a 206 naming other bytes than the Range asked for is refused.
        std::string contentRange;
        // The first body bytes of the current response found its range and
        // version right; a header line (the start of another response) clears it.
        bool bodyChecked = false;
    };
    using UserPDataList = std::vector<std::shared_ptr<UserPData>>;
    using HandlesErrorMap = std::map<CURL*, CURLcode>;

    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    void setProxy(const ProxySettings& settings);
    void setDownloadInfo(const DownloadInfo& info);
    void setTempFilePath(const std::wstring& path);
    // The file version the probe saw (its ETag, else its Last-Modified; empty
    // when the server names none, see responseValidator). A part answered for
    // another version is refused, so one download never mixes two versions.
    // Set, like the other settings, only while no download runs.
    void setValidator(const std::string& validator);
    const std::string& validator() const;

    // Decides, before anything overwrites the resume state of an earlier run,
    // whether this start continues it: only when `mayContinue` and the state
    // file parses exactly, describes this very download (file size as probed
    // now), the destination is a plain file of that size, validator() is a
    // strong ETag or a Last-Modified, and the resume record names that
    // validator and the SHA-256 of this very state. A complete state is
    // continued (started again without fetching) only when the record also
    // holds the finished file's SHA-256 and the destination hashes to it now.
    // Continuing adopts the state's worker entries; otherwise the description
    // starts fresh and its state is saved (claiming nothing) with a record
    // of its own. Every later save of the state writes its record after it.
    // Called after the settings and before beginDownload; true when it continues.
    bool prepareStart(bool mayContinue = true);
    bool continued() const { return m_continued; }
    // "<resume-state path>.validator": where the default store keeps the record.
    std::wstring validatorRecordPath() const;
    // Where the resume record is kept instead of validatorRecordPath(); set,
    // like the other settings, only while no download runs.
    void setRecordStore(std::shared_ptr<ResumeRecordStore> store);

    // Whether `file` (the handle takeCompletedFile() gave) still holds the
    // bytes recorded when the download was finished: hashed now through that
    // handle and compared with the record's file digest. On a mismatch, or
    // without such a record, the record is erased, so that the next start
    // fetches afresh, and false comes back: the file must not be started.
    bool completedFileMatchesRecord(const platform::File& file);

    DownloadInfo& downloadInfo();
    const DownloadInfo& downloadInfo() const;
    std::wstring tempFilePath() const;

    void beginDownload();
    bool isDownloading();
    // Up to `timeout` for the run to end, so that a waiting owner learns of
    // the end at once instead of at its next poll; true once it has ended.
    bool waitForEnd(std::chrono::milliseconds timeout);
    std::int32_t progressLength() const;
    void setProgressLength(std::int32_t length);
    // From a pause after transport failures until a connection sends a byte
    // again (an outage): when the try after the latest pause is (or was) due.
    // Nothing otherwise, and once the run is over. Callable from any thread.
    std::optional<std::chrono::steady_clock::time_point> outagePauseEnd() const;
    void stop();

    // Outcome recorded by download(); meaningful once isDownloading() is false.
    DownloadResult result() const;
    // What ended the last transfer-loop run, and the last libcurl failure of a
    // part transfer (code and libcurl's text), for callers that explain failures.
    DownloadResult lastRunResult() const;
    CURLcode lastTransferError() const;
    // True when bytes handed to the part writer never reached the destination
    // file (a write or flush failed): the run ended at the first failure, the
    // resume state on disk keeps what was durable before it, and the
    // description in memory is reset, so downloadInfo().isComplete() does not
    // claim a file that is not on disk.
    bool destinationWriteFailed() const { return m_writeFailed.load(); }
    // After DE_NotEnoughSpace: the bytes the drive must still take, that is
    // the file's size less what the existing file already holds, plus the
    // resume state. 0 otherwise.
    std::int64_t spaceNeeded() const { return m_spaceNeeded.load(); }

    // The destination file of a run that ended complete, still open and held
    // read-only (nobody can write or delete it) from the moment its last byte
    // was written; the caller keeps the hold until it has started the file.
    // A closed file when there is none: the run did not complete, the hold
    // could not be taken, or it was taken already.
    platform::File takeCompletedFile();

private:
    friend struct DownloaderTestAccess;  // unit tests drive the private steps one by one

    void download();
    // The download thread's body: download(), with any exception turned into
    // DE_InternalError and a log line instead of ending the process.
    void runDownloadThread(const std::function<void()>& body);
    bool isDestFileReusable(const platform::File& file) const;
    // Reserves the destination at full size: a `reused` file keeps its bytes,
    // any other starts as zeros.
    platform::File::Reservation allocateDestFile(platform::File& file, bool reused) const;
    // Sets DE_NotEnoughSpace and spaceNeeded() for `file`; always false.
    bool reportNotEnoughSpace(const platform::File& file);
    // Opens, judges and sizes the destination, then saves the resume state;
    // false (with the result set) when the run cannot go on.
    bool prepareDestFile(platform::File& file);
    // A description that is complete before the run: holds the finished
    // file read-only for the start instead of opening it for writing.
    void holdFinishedFile();
    // `anotherMirrorRemains`: a mirror that sends nothing is left sooner.
    DownloadResult runTransferLoop(DownloaderAsyncWriter& writer, std::string url,
                                   bool anotherMirrorRemains = false);
    // Ends the transfer loop's current wait at once (stop, failed write).
    void wakeTransferLoop();
    void setWakeTarget(CURLM* multiHandle);
    void dump(const UserPDataList& workers, DownloaderAsyncWriter& writer);
    DownloadResult verifyAndSaveDownloadedParts(CURLM* multiHandle, std::vector<CURL*> workerHandles,
                                                std::int32_t& curlOrVerificationErrorCount,
                                                UserPDataList workers, DownloaderAsyncWriter& writer,
                                                HandlesErrorMap handlesErrorMap);

    // The rest of a run whose server answered a range request with the
    // whole file (see whole_stream.h): every worker's transfer leaves the
    // multi handle and one request at a time fetches the file from its first
    // missing byte, the parts going to the writer as the stream crosses
    // them. Stop, write failures, outages and counted errors end it as they
    // end the part transfers.
    DownloadResult runWholeStream(transfer::TransferRun& run, DownloaderAsyncWriter& writer,
                                  transfer::OutageRetry& outage, std::int32_t& curlOrVerificationErrorCount);

    bool canContinue(DownloadInfo& earlier) const;
    // The store in use: the one set, else the file at validatorRecordPath();
    // none while there is no state path.
    std::shared_ptr<ResumeRecordStore> recordStore() const;
    // Offers the description as it stands, once every part handed to the
    // writer so far is on the disk, to the resume-state file, and saves the
    // newest offered one whose parts are durable already.
    void offerState(DownloaderAsyncWriter& writer);
    void saveDurableState(std::uint64_t durable);
    // Replaces the resume state by `bytes`, then the resume record by one for
    // exactly that state (with `fileDigest`, the finished file's SHA-256, once
    // complete); false when the state could not be saved.
    bool saveState(const std::string& bytes, const std::string& fileDigest = {});
    // A run that has just finished the file and holds it read-only: its bytes,
    // read back through that hold, go into the record with the complete state.
    void recordFinishedFile(const platform::File& file);

    DownloadInfo m_info;
    bool m_continued = false;
    // Descriptions waiting for their parts to be flushed: (writer request
    // number they need durable, resume-state bytes), oldest first.
    std::vector<std::pair<std::uint64_t, std::string>> m_pendingStates;
    // Set by the verification when a range request was answered with the
    // whole file; the transfer loop then goes on as one stream.
    bool m_wholeFileAnswered = false;
    std::wstring m_tempFilePath;
    ProxySettings m_proxy;
    std::string m_validator;
    std::shared_ptr<ResumeRecordStore> m_recordStore;
    std::atomic<DownloadResult> m_result{DE_Success};
    std::wstring m_logFilePath;
    std::atomic<bool> m_stopped{false};
    // The multi handle the transfer loop waits on, while it exists.
    std::mutex m_wakeLock;
    CURLM* m_wakeTarget = nullptr;
    mutable std::mutex m_progressLock;
    std::int32_t m_progressLength = 0;
    std::atomic<std::chrono::steady_clock::rep> m_outagePauseEnd{0};
    std::atomic<bool> m_running{false};
    std::mutex m_endLock;
    std::condition_variable m_ended;
    std::atomic<DownloadResult> m_lastRunResult{DE_Success};
    std::atomic<CURLcode> m_lastTransferError{CURLE_OK};
    std::atomic<bool> m_writeFailed{false};
    std::atomic<std::int64_t> m_spaceNeeded{0};
    std::mutex m_completedFileLock;
    platform::File m_completedFile;
    std::thread m_thread;
};

// One HEAD request (redirects followed, 5 s connect time-out); returns
// libcurl's result. On success headersOut holds the header records of the
// final response of the redirect chain and errorOut is emptied. A set `abort`
// flag ends the request early with CURLE_ABORTED_BY_CALLBACK. On failure a
// given `failedAnswerOut` gets the records of the last answer that came (a
// proxy's refused tunnel, for one), so the caller can tell why.
CURLcode requestHeaders(const std::string& url, const std::vector<std::string>& extraHeaders,
                        ProxySettings proxy, HeaderList& headersOut, std::string& errorOut,
                        const std::atomic<bool>* abort = nullptr, HeaderList* failedAnswerOut = nullptr);
