// The engine's process-wide trace: one line per event, appended and flushed
// while the log file is open, nothing at all while it is closed (the
// Downloader opens it with an empty path, so in the product it stays closed).
#pragma once

#include <string>

#include <boost/format.hpp>

// Opens the log for appending; an empty or unusable path leaves it as it was.
void openDiagnosticLog(const std::wstring& path);
// Closes an open log; later calls of the log function do nothing again.
void closeDiagnosticLog();
bool isDiagnosticLogOpen();
void diagnosticLog(const std::string& message);

// Formats printf-style with boost::format and logs the result. Costs one
// check while the log is closed; a format that does not match its values never
// raises (tracing must not end a download).
template <typename... Args>
void diagnosticLogf(const char* format, const Args&... args) {
    if (!isDiagnosticLogOpen()) return;
    try {
        boost::format f(format);
        f.exceptions(boost::io::no_error_bits);
        (f % ... % args);
        diagnosticLog(f.str());
    } catch (...) {
    }
}

// Every text the engine writes to the log.
namespace logtext {
inline constexpr char kBeginDownload[] = "beginDownload()";
inline constexpr char kDownload[] = "Downloader::download()";
inline constexpr char kCouldNotAllocate[] = "couldn't allocate dest file.";
inline constexpr char kOpenDestFile[] = "Open dest file!";
inline constexpr char kHoldFinishedFile[] = "dest file complete already: held for the start.";
inline constexpr char kCouldNotOpen[] = "Error: Couldn't open dest file";
inline constexpr char kWorkersCount[] = "workersCount=%d";
inline constexpr char kPartsCount[] = "partsCount=%d";
inline constexpr char kNextIteration[] = "next iteration...";
inline constexpr char kWorkerCurrentPart[] = "worker[%d].current_part=%d";
inline constexpr char kNotVerifiedPartIndex[] = "notVerifiedPartIndex=%d";
inline constexpr char kErrCode1[] = "errCode1=%d";
inline constexpr char kErrCode2[] = "errCode2=%d";
inline constexpr char kMaxFd[] = "maxfd=%d";
inline constexpr char kErrCode3[] = "errCode3=%d";
inline constexpr char kMultiPerformError[] = "curl_multi_perform erroCode=%d";
inline constexpr char kStopped[] = "m_stopped == true";
inline constexpr char kVerifyBegin[] = "verifyAndSaveDownloadedParts...";
inline constexpr char kVerifyCurlError[] = "Verification error! handlesErrorMap[workerHandles[%d]]=%d";
inline constexpr char kVerifyStatus[] = "Verification error! statusHeader[%d]=%s";
inline constexpr char kVerifyLength[] = "Verification error! downloadedLength[%d] = %d";
inline constexpr char kVerifyEnd[] = " <-- verifyAndSaveDownloadedParts. serverErrorCode=%d";
inline constexpr char kServerError[] = "serverErrorCode != DE_Success";
inline constexpr char kTooManyErrors[] = "curlOrVerificationErrorCount > MAX_VERIFICATION_ERROR_COUNT";
inline constexpr char kSaveState[] = "downloadInfo().save(tempFilePath());";
inline constexpr char kSaveResult[] = "value=%d";
inline constexpr char kContinueDownload[] = "continuing an earlier run, kept=%d";
inline constexpr char kCleanUp[] = "curlCleanUp(workerHandles, multiHandle)";
inline constexpr char kDumpBegin[] = "downloaderStopped";
inline constexpr char kDumpWorker[] = "dump: %d thread, %d part, downloadedLength=%d, contentSize=%d";
inline constexpr char kDumpSaved[] = "dump: %d thread -- saved";
inline constexpr char kStoppedBeforeAllocation[] = "stopped before the dest file was allocated.";
inline constexpr char kFinishedFileUnread[] = "dest file complete, but could not be read back for its digest.";
inline constexpr char kFinishedFileMismatch[] = "dest file does not match the recorded digest: not started, record erased.";
inline constexpr char kDownloadFailed[] = "Error: download thread failed: %s";
inline constexpr char kOutageTooLong[] = "transport failures outlasted the outage window";
inline constexpr char kWriteFailed[] = "a write of the destination failed";
inline constexpr char kLostTime[] = "the program did not run for a while: the outage window starts again";
}  // namespace logtext
