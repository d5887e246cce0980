// Shared by the transfer tests: reaches the private steps of Downloader so
// that verification, the dump, the transfer loop and download() can be driven
// one by one, and gives each test a scratch directory of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "downloader/async_writer.h"
#include "downloader/downloader.h"
#include "tests/unit/scratch_dir.h"

struct DownloaderTestAccess {
    static DownloadResult verify(Downloader& downloader, CURLM* multiHandle, std::vector<CURL*> handles,
                                 std::int32_t& errorCount, Downloader::UserPDataList workers,
                                 DownloaderAsyncWriter& writer, Downloader::HandlesErrorMap finished) {
        return downloader.verifyAndSaveDownloadedParts(multiHandle, std::move(handles), errorCount,
                                                       std::move(workers), writer, std::move(finished));
    }
    static void dump(Downloader& downloader, const Downloader::UserPDataList& workers,
                     DownloaderAsyncWriter& writer) {
        downloader.dump(workers, writer);
    }
    static DownloadResult runTransferLoop(Downloader& downloader, DownloaderAsyncWriter& writer,
                                          const std::string& url) {
        return downloader.runTransferLoop(writer, url);
    }
    static void download(Downloader& downloader) { downloader.download(); }
    static bool prepareDestFile(Downloader& downloader, platform::File& file) {
        return downloader.prepareDestFile(file);
    }
    static void requestStop(Downloader& downloader) { downloader.m_stopped = true; }
    static bool saveState(Downloader& downloader, const std::string& bytes) { return downloader.saveState(bytes); }
    static void recordFinishedFile(Downloader& downloader, const platform::File& file) {
        downloader.recordFinishedFile(file);
    }
    // As a run that ended complete leaves its file.
    static void holdCompletedFile(Downloader& downloader, platform::File file) {
        const std::lock_guard<std::mutex> lock(downloader.m_completedFileLock);
        downloader.m_completedFile = std::move(file);
    }
    static void runDownloadThread(Downloader& downloader, const std::function<void()>& body) {
        downloader.runDownloadThread(body);
    }
};

namespace transfertest {

using ScratchDir = unittest::ScratchDir;

// A resume record kept in memory, as a store other than the file would keep it.
struct MemoryRecordStore : ResumeRecordStore {
    std::optional<std::string> record;
    bool load(std::string& text) override {
        if (!record) return false;
        text = *record;
        return true;
    }
    bool store(const std::string& text) override {
        record = text;
        return true;
    }
    bool erase() override {
        record.reset();
        return true;
    }
};

// Worker w holding part w alone, for every worker: where the tests of one
// finished transfer start.
inline void handOutOnePartEach(DownloadInfo& info) {
    for (std::int32_t w = 0; w < info.workersCount(); ++w) info.takeRun(w, 1);
}

inline std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeAll(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Bytes that differ from part to part and from position to position.
inline std::string patternBytes(std::int32_t length, std::uint32_t seed) {
    std::string bytes(static_cast<std::size_t>(length), '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace transfertest
