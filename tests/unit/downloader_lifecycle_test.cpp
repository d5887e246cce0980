// Starting, polling, re-starting and stopping a Downloader's thread.
#include "downloader/downloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "downloader/diagnostic_log.h"
#include "downloader/transport_retry.h"
#include "tests/unit/transfer_test_access.h"
#include "tests/unit/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using TempDir = unittest::ScratchDir;

DownloadInfo smallDownload(const std::wstring& destination) {
    DownloadInfo info;
    // Port 9 on the loopback interface: nothing listens there in a test run.
    info.setUrls({"http://127.0.0.1:9/file.bin"});
    info.setFilePath(destination);
    info.setFileSize(1000);
    info.setPartSize(DownloadInfo::kPartSize);
    info.setMaxWorkers(DownloadInfo::kMaxWorkers);
    return info;
}

// Polls like the front end does; false when the thread is still running after the deadline.
bool waitUntilEnded(Downloader& downloader) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (downloader.isDownloading()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(DownloaderLifecycle, NeverStartedIsIdle) {
    Downloader downloader;
    EXPECT_FALSE(downloader.isDownloading());
    downloader.stop();  // returns at once: no thread to wait for
    downloader.stop();
    EXPECT_FALSE(downloader.isDownloading());
    EXPECT_EQ(downloader.progressLength(), 0);
}

TEST(DownloaderLifecycle, ConstructionLeavesTheLogClosed) {
    closeDiagnosticLog();
    Downloader downloader;
    EXPECT_FALSE(isDiagnosticLogOpen());
}

TEST(DownloaderLifecycle, EmptyStatePathStartsNothing) {
    TempDir dir;
    Downloader downloader;
    downloader.setDownloadInfo(smallDownload(dir.file("file.bin")));
    downloader.setProgressLength(555);
    downloader.beginDownload();
    EXPECT_FALSE(downloader.isDownloading());
    EXPECT_FALSE(downloader.downloadInfo().isComplete());
    EXPECT_EQ(downloader.progressLength(), 0);
    EXPECT_EQ(dir.entries(), 0u);  // no destination file: download() never ran
}

TEST(DownloaderLifecycle, AnExceptionOnTheDownloadThreadIsAFailureWithALogLine) {
    TempDir dir;
    openDiagnosticLog(dir.file("trace.log"));
    Downloader downloader;
    DownloaderTestAccess::runDownloadThread(downloader, [] { throw std::runtime_error("disk on fire"); });
    closeDiagnosticLog();
    EXPECT_EQ(downloader.result(), DE_InternalError);
    EXPECT_EQ(downloader.lastRunResult(), DE_InternalError);
    std::ifstream in(fs::path(dir.file("trace.log")));
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "Error: download thread failed: disk on fire");
}

TEST(DownloaderLifecycle, BeginDownloadIsLoggedEvenWithoutAThread) {
    TempDir dir;
    openDiagnosticLog(dir.file("trace.log"));
    {
        Downloader downloader;
        downloader.beginDownload();
    }
    closeDiagnosticLog();
    std::ifstream in(fs::path(dir.file("trace.log")));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"beginDownload()"}));
}

TEST(DownloaderLifecycle, SettersAndGettersKeepCopies) {
    Downloader downloader;
    DownloadInfo info = smallDownload(L"dest.bin");
    downloader.setDownloadInfo(info);
    info.setFileSize(5);
    downloader.setTempFilePath(L"state.txt");
    EXPECT_EQ(downloader.downloadInfo().fileSize(), 1000);
    EXPECT_EQ(downloader.tempFilePath(), L"state.txt");
    downloader.setProgressLength(42);
    EXPECT_EQ(downloader.progressLength(), 42);
}

TEST(DownloaderLifecycle, EndedRunIsJoinedByTheFirstPoll) {
    TempDir dir;
    Downloader downloader;
    // The destination folder is missing, so the run ends in its first step.
    downloader.setDownloadInfo(smallDownload(dir.file("missing/file.bin")));
    downloader.setTempFilePath(dir.file("state.txt"));
    downloader.beginDownload();
    ASSERT_TRUE(waitUntilEnded(downloader));
    EXPECT_EQ(downloader.result(), DE_AllocateDestFileError);
    EXPECT_FALSE(downloader.isDownloading());
    downloader.stop();
}

TEST(DownloaderLifecycle, SecondRunAfterAnUnpolledEndStartsAFreshThread) {
    TempDir dir;
    Downloader downloader;
    downloader.setDownloadInfo(smallDownload(dir.file("missing/file.bin")));
    downloader.setTempFilePath(dir.file("state.txt"));
    downloader.beginDownload();
    // Wait for the first run's outcome without polling isDownloading(), so
    // its thread has ended but is still joinable.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (downloader.result() != DE_AllocateDestFileError && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(downloader.result(), DE_AllocateDestFileError);
    std::this_thread::sleep_for(200ms);

    // Second run: the destination can be made, the state file cannot.
    downloader.setDownloadInfo(smallDownload(dir.file("file.bin")));
    downloader.setTempFilePath(dir.file("missing/state.txt"));
    downloader.beginDownload();
    ASSERT_TRUE(waitUntilEnded(downloader));
    EXPECT_EQ(downloader.result(), DE_SaveResumeStateError);
}

TEST(DownloaderLifecycle, BeginDownloadClearsAnEarlierStop) {
    transfer::ScopedRetryPolicyForTesting quickGiveUp({10ms, 50ms, 300ms, 100ms});
    TempDir dir;
    Downloader downloader;
    downloader.stop();
    downloader.setDownloadInfo(smallDownload(dir.file("file.bin")));
    downloader.setTempFilePath(dir.file("state.txt"));
    downloader.beginDownload();
    ASSERT_TRUE(waitUntilEnded(downloader));
    // With the stop still set the run would have ended before any request;
    // instead refused connections were tried until the outage window passed.
    EXPECT_EQ(downloader.lastRunResult(), DE_TooManyErrors);
    EXPECT_FALSE(downloader.downloadInfo().isComplete());
}

TEST(DownloaderLifecycle, StopEndsARunAndWaitsForIt) {
    TempDir dir;
    Downloader downloader;
    downloader.setDownloadInfo(smallDownload(dir.file("file.bin")));
    downloader.setTempFilePath(dir.file("state.txt"));
    downloader.beginDownload();
    downloader.stop();
    EXPECT_FALSE(downloader.isDownloading());
    EXPECT_FALSE(downloader.downloadInfo().isComplete());
}

TEST(DownloaderLifecycle, DestructionWaitsForARunningThread) {
    TempDir dir;
    {
        Downloader downloader;
        downloader.setDownloadInfo(smallDownload(dir.file("file.bin")));
        downloader.setTempFilePath(dir.file("state.txt"));
        downloader.beginDownload();
    }
    // Whatever the thread had reached when the stop came, it was over before
    // the Downloader went away: no file is left half made.
    if (fs::exists(fs::path(dir.file("file.bin")))) {
        EXPECT_EQ(fs::file_size(fs::path(dir.file("file.bin"))), 1000u);
        EXPECT_TRUE(fs::exists(fs::path(dir.file("state.txt"))));
    }
}

}  // namespace
