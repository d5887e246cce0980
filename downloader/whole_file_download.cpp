// The body of the download thread: the destination file reused or zero-filled
// at full size, the part writer started, the mirror list walked, and the
// writer stopped before the file is closed.

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "platform/file.h"

namespace {

// Finished parts that may wait for the disk at once; beyond that the download
// thread waits for the writer instead of holding more memory.
constexpr std::int32_t kSpareWriteBuffers = 4;

}  // namespace

bool Downloader::isDestFileReusable(const platform::File& file) const {
    return file.size() == static_cast<std::int64_t>(m_info.fileSize());
}

bool Downloader::allocateDestFile(platform::File& file) const {
    // Cut to nothing first so that no byte of an earlier file survives: the
    // grown file reads as zeros throughout.
    return file.resize(0) && file.resize(m_info.fileSize());
}

bool Downloader::prepareDestFile(platform::File& file) {
    // Open before anything is judged, so that the file judged is the file
    // written: nobody else can change or delete it while the run holds it.
    const bool opened = file.openForWriting(m_info.filePath());

    // Continue the worker assignments only when the file they were made for
    // is there at full size and some progress was made.
    const bool reusable = opened && isDestFileReusable(file);
    if (!(reusable && m_info.hasAnyProgress())) m_info.resetWorkers();

    if (!opened || (!reusable && !allocateDestFile(file))) {
        diagnosticLog(logtext::kCouldNotAllocate);
        m_result = DE_AllocateDestFileError;
        return false;
    }

    diagnosticLog(logtext::kOpenDestFile);

    if (!saveState(m_info.serialize())) {
        m_result = DE_SaveResumeStateError;
        return false;
    }
    return true;
}

void Downloader::holdFinishedFile() {
    platform::File file;
    if (file.openHeld(m_info.filePath()) && isDestFileReusable(file)) {
        diagnosticLog(logtext::kHoldFinishedFile);
        const std::lock_guard<std::mutex> lock(m_completedFileLock);
        m_completedFile = std::move(file);
        m_result = DE_Success;
        return;
    }
    // Not there as the state said, or somebody writes it: nothing is claimed
    // to be complete.
    diagnosticLog(logtext::kCouldNotAllocate);
    m_info.resetWorkers();
    m_result = DE_AllocateDestFileError;
}

void Downloader::download() {
    diagnosticLog(logtext::kDownload);
    m_pendingStates.clear();
    m_lastRunResult = DE_Success;
    m_lastTransferError = CURLE_OK;
    m_writeFailed = false;
    // A hold left from an earlier run would keep this run from writing.
    takeCompletedFile().close();

    // A stop asked for while the thread was starting: allocating a file of
    // full size now would only hold up the owner that waits to close.
    if (m_stopped) {
        diagnosticLog(logtext::kStoppedBeforeAllocation);
        m_result = DE_Stopped;
        m_lastRunResult = DE_Stopped;
        return;
    }

    // Every part is in already (a continued state of a finished download,
    // whose file may even be running as the installer): nothing is written,
    // the file is only held for the start.
    if (m_info.isComplete()) {
        holdFinishedFile();
        return;
    }

    platform::File file;
    if (!prepareDestFile(file)) return;

    // One pooled buffer per worker plus a few on their way to the disk.
    DownloaderAsyncWriter::Settings writerSettings;
    writerSettings.bufferSize = m_info.partSize();
    writerSettings.bufferCount = m_info.workersCount() + kSpareWriteBuffers;
    // The transfer loop ends at the first failed write, not after its next wait.
    writerSettings.onWriteFailure = [this] { wakeTransferLoop(); };
    DownloaderAsyncWriter writer(&file, writerSettings);
    writer.start();

    const std::vector<std::string> urls = m_info.urls();
    const std::string suffix = m_info.urlSuffix();
    if (urls.empty()) {
        m_lastRunResult = runTransferLoop(writer, suffix);
    } else {
        for (std::size_t i = 0; i < urls.size(); ++i) {
            const DownloadResult result = runTransferLoop(writer, urls[i] + suffix, i + 1 < urls.size());
            m_lastRunResult = result;
            const bool anotherServerMayCure = result == DE_HttpServiceUnavailable || result == DE_TooManyErrors;
            if (!anotherServerMayCure) break;
        }
    }

    // Every accepted part is on disk only once the writer has stopped (which
    // flushes it); the file is closed after that, and the newest state whose
    // parts are durable is saved. After a failed write that is the newest
    // state flushed before the failure, so the next start continues from it.
    writer.stop();
    saveDurableState(writer.durableCount());
    m_pendingStates.clear();
    if (writer.writeFailed()) {
        file.close();
        // In memory no part is claimed, so that isComplete() never reports a
        // file the disk does not hold.
        m_writeFailed = true;
        m_info.resetWorkers();
    } else if (m_info.isComplete() && file.holdReadOnly()) {
        // From the last written byte until the installer has been started,
        // nobody may change what will be started; what it holds now is what
        // the start, this one or a later one, compares the file with.
        recordFinishedFile(file);
        const std::lock_guard<std::mutex> lock(m_completedFileLock);
        m_completedFile = std::move(file);
    } else {
        file.close();
    }
    m_result = DE_Success;
}
