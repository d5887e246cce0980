#include "downloader/downloader.h"

#include <exception>
#include <system_error>

#include "downloader/diagnostic_log.h"

Downloader::Downloader() { openDiagnosticLog(m_logFilePath); }

Downloader::~Downloader() { stop(); }

void Downloader::setProxy(const ProxySettings& settings) { m_proxy = settings; }
void Downloader::setDownloadInfo(const DownloadInfo& info) { m_info = info; }
void Downloader::setTempFilePath(const std::wstring& path) { m_tempFilePath = path; }
void Downloader::setValidator(const std::string& validator) { m_validator = validator; }
const std::string& Downloader::validator() const { return m_validator; }

DownloadInfo& Downloader::downloadInfo() { return m_info; }
const DownloadInfo& Downloader::downloadInfo() const { return m_info; }
std::wstring Downloader::tempFilePath() const { return m_tempFilePath; }

void Downloader::beginDownload() {
    diagnosticLog(logtext::kBeginDownload);
    // Two download threads on one description would hand out the same parts
    // twice; a run still in progress is left alone.
    if (m_thread.joinable() && m_running.load()) return;

    m_stopped = false;
    // A continued download shows its kept share from the start.
    setProgressLength(m_continued ? m_info.completedLength() : 0);
    if (m_tempFilePath.empty()) return;

    // Assigning over a joinable thread would end the process; the previous
    // run has ended, so this join returns at once.
    if (m_thread.joinable()) m_thread.join();

    m_running = true;
    try {
        m_thread = std::thread([this] {
            struct RunningFlagReset {
                Downloader& owner;
                ~RunningFlagReset() {
                    {
                        std::lock_guard<std::mutex> guard(owner.m_endLock);
                        owner.m_running = false;
                    }
                    owner.m_ended.notify_all();
                }
            } reset{*this};
            runDownloadThread([this] { download(); });
        });
    } catch (const std::system_error& error) {
        // No thread, no run: the owner must not wait for one or read success.
        diagnosticLogf(logtext::kDownloadFailed, error.what());
        m_running = false;
        m_result = DE_InternalError;
        m_lastRunResult = DE_InternalError;
    }
}

bool Downloader::isDownloading() {
    if (!m_thread.joinable()) return false;
    if (m_running.load()) return true;
    m_thread.join();
    return false;
}

bool Downloader::waitForEnd(std::chrono::milliseconds timeout) {
    if (!m_thread.joinable()) return true;
    {
        std::unique_lock<std::mutex> lock(m_endLock);
        if (!m_ended.wait_for(lock, timeout, [this] { return !m_running.load(); })) return false;
    }
    m_thread.join();
    return true;
}

std::int32_t Downloader::progressLength() const {
    std::lock_guard<std::mutex> guard(m_progressLock);
    return m_progressLength;
}

void Downloader::setProgressLength(std::int32_t length) {
    std::lock_guard<std::mutex> guard(m_progressLock);
    m_progressLength = length;
}

std::optional<std::chrono::steady_clock::time_point> Downloader::outagePauseEnd() const {
    const auto ticks = m_outagePauseEnd.load();
    if (ticks == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}

void Downloader::stop() {
    m_stopped = true;
    // A loop waiting on its sockets or in a pause sees the flag now, not after its wait.
    wakeTransferLoop();
    // The download thread cannot wait for itself; the flag alone ends its run.
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id()) m_thread.join();
}

platform::File Downloader::takeCompletedFile() {
    const std::lock_guard<std::mutex> lock(m_completedFileLock);
    return std::move(m_completedFile);
}

void Downloader::runDownloadThread(const std::function<void()>& body) {
    // Nothing may escape the thread (that ends the process), and nothing may
    // end it silently: the owner must see a failure, not just "not complete".
    const auto fail = [this](const char* what) {
        diagnosticLogf(logtext::kDownloadFailed, what);
        m_result = DE_InternalError;
        m_lastRunResult = DE_InternalError;
    };
    try {
        body();
    } catch (const std::exception& error) {
        fail(error.what());
    } catch (...) {
        fail("unknown exception");
    }
}

DownloadResult Downloader::result() const { return m_result.load(); }
DownloadResult Downloader::lastRunResult() const { return m_lastRunResult.load(); }
CURLcode Downloader::lastTransferError() const { return m_lastTransferError.load(); }
