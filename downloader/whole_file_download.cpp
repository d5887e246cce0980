// The body of the download thread: the destination file reused or zero-filled
// at full size, the part writer started, the mirror list walked, and the
// writer stopped before the file is closed.
#include <filesystem>
#include <fstream>
#include <system_error>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "platform/system.h"

namespace {

// Zeros go out in blocks of this size, the last block holding the rest. The
// standard library sends every write of 1 KiB or more straight to the system,
// so 1 KiB blocks cost one system call per KiB (0.7 s for 100 MiB here);
// 64 KiB blocks fill the same file several times faster.
constexpr std::size_t kZeroBlockSize = 64 * 1024;

}  // namespace

bool Downloader::isDestFileReusable() const {
    const std::filesystem::path path = platform::nativePath(m_info.filePath());
    std::error_code error;
    // A query that fails (no access, a file held open) is the same as no
    // usable file: the allocation then decides.
    if (!std::filesystem::exists(path, error) || error) return false;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) return false;
    return static_cast<std::int64_t>(size) == static_cast<std::int64_t>(m_info.fileSize());
}

bool Downloader::allocateDestFile() const {
    const std::filesystem::path path = platform::nativePath(m_info.filePath());
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error) return false;

    std::ofstream file(path, std::ios::out | std::ios::binary | std::ios::trunc);
    if (!file.is_open()) return false;

    static const char zeros[kZeroBlockSize] = {};
    std::int64_t left = m_info.fileSize();
    while (left > 0) {
        const auto block = static_cast<std::streamsize>(left < static_cast<std::int64_t>(kZeroBlockSize)
                                                            ? left
                                                            : static_cast<std::int64_t>(kZeroBlockSize));
        file.write(zeros, block);
        if (file.bad()) {
            file.close();
            return false;
        }
        left -= block;
    }
    file.flush();
    file.close();
    // A flush or close that fails (disk full) leaves a file shorter than it
    // claims to be.
    return !file.fail();
}

void Downloader::download() {
    diagnosticLog(logtext::kDownload);
    m_lastRunResult = DE_Success;
    m_lastTransferError = CURLE_OK;
    m_writeFailed = false;

    // A stop asked for while the thread was starting: allocating a file of
    // full size now would only hold up the owner that waits to close.
    if (m_stopped) {
        diagnosticLog(logtext::kStoppedBeforeAllocation);
        m_result = DE_Stopped;
        m_lastRunResult = DE_Stopped;
        return;
    }

    // Continue the worker assignments only when the file they were made for
    // is there at full size and some progress was made.
    if (!(isDestFileReusable() && m_info.hasAnyProgress())) m_info.resetWorkers();

    if (!isDestFileReusable() && !allocateDestFile()) {
        diagnosticLog(logtext::kCouldNotAllocate);
        m_result = DE_AllocateDestFileError;
        return;
    }

    diagnosticLog(logtext::kOpenDestFile);
    std::fstream stream(platform::nativePath(m_info.filePath()), std::ios::in | std::ios::out | std::ios::binary);
    if (!stream.is_open()) {
        diagnosticLog(logtext::kCouldNotOpen);
        m_result = DE_OpenDestFileError;
        return;
    }

    if (!m_info.save(tempFilePath())) {
        m_result = DE_SaveResumeStateError;
        return;
    }

    DownloaderAsyncWriter writer(&stream);
    writer.start();

    const std::vector<std::string> urls = m_info.urls();
    const std::string suffix = m_info.urlSuffix();
    if (urls.empty()) {
        m_lastRunResult = runTransferLoop(writer, suffix);
    } else {
        for (std::size_t i = 0; i < urls.size(); ++i) {
            const DownloadResult result = runTransferLoop(writer, urls[i] + suffix);
            m_lastRunResult = result;
            const bool anotherServerMayCure = result == DE_HttpServiceUnavailable || result == DE_TooManyErrors;
            if (!anotherServerMayCure) break;
        }
    }

    // Every accepted part is on disk only once the writer has stopped; the
    // file is closed after that.
    writer.stop();
    bool written = !writer.writeFailed() && !stream.fail();
    stream.close();
    written = written && !stream.fail();
    if (!written) {
        // Which parts were lost is unknown: claim none of them, so that
        // isComplete() never reports a file the disk does not hold.
        m_writeFailed = true;
        m_info.resetWorkers();
        m_info.save(tempFilePath());
    }
    m_result = DE_Success;
}
