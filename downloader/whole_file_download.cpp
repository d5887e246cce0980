// The body of the download thread: the destination file reused or zero-filled
// and reserved at full size, the part writer started, the mirror list walked,
// and the writer stopped before the file is closed.

#include <algorithm>

#include "downloader/async_writer.h"
#include "downloader/diagnostic_log.h"
#include "downloader/downloader.h"
#include "platform/file.h"

namespace {

// Finished parts that may wait for the disk at once; beyond that the download
// thread waits for the writer instead of holding more memory.
constexpr std::int32_t kSpareWriteBuffers = 4;

constexpr char kNotEnoughSpace[] = "not enough space for the download: %lld bytes more needed";

}  // namespace

bool Downloader::isDestFileReusable(const platform::File& file) const {
    return file.size() == static_cast<std::int64_t>(m_info.fileSize());
}

platform::File::Reservation Downloader::allocateDestFile(platform::File& file, bool reused) const {
    // A reused file keeps its bytes; only its holes (a sparse file from an
    // earlier run) are filled. Any other is cut to nothing first so that no
    // byte of an earlier file survives: the grown file reads as zeros throughout.
    const std::int64_t size = m_info.fileSize();
    if (reused && file.allocatedBytes() >= size) return platform::File::Reservation::Done;
    if (!reused && !file.resize(0)) return platform::File::Reservation::Failed;
    return file.reserve(size);
}

bool Downloader::reportNotEnoughSpace(const platform::File& file) {
    // What the drive must still take: the file's bytes it does not hold yet
    // and the state saved beside it. Nothing was asked of the server, and
    // the file and the state on disk stay as they were for the next start.
    const std::int64_t held = std::max<std::int64_t>(file.allocatedBytes(), 0);
    const std::int64_t missing = std::max<std::int64_t>(m_info.fileSize() - held, 0);
    m_spaceNeeded = missing + static_cast<std::int64_t>(m_info.serialize().size());
    diagnosticLogf(kNotEnoughSpace, static_cast<long long>(m_spaceNeeded.load()));
    m_result = DE_NotEnoughSpace;
    return false;
}

bool Downloader::prepareDestFile(platform::File& file) {
    // Open before anything is judged, so that the file judged is the file
    // written: nobody else can change or delete it while the run holds it.
    const bool opened = file.openForWriting(m_info.filePath());

    // Continue the worker assignments only when the file they were made for
    // is there at full size and some progress was made.
    const bool reusable = opened && isDestFileReusable(file);
    if (!(reusable && m_info.hasAnyProgress())) m_info.resetWorkers();

    const auto reservation = opened ? allocateDestFile(file, reusable) : platform::File::Reservation::Failed;
    if (reservation == platform::File::Reservation::NoSpace) return reportNotEnoughSpace(file);
    if (reservation != platform::File::Reservation::Done) {
        diagnosticLog(logtext::kCouldNotAllocate);
        m_result = DE_AllocateDestFileError;
        return false;
    }

    diagnosticLog(logtext::kOpenDestFile);

    if (!saveState(m_info.serialize())) {
        if (platform::File::lastFailureWasNoSpace()) return reportNotEnoughSpace(file);
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
    m_spaceNeeded = 0;
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
