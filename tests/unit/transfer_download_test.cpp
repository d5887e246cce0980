// The destination-file half of download(): reuse or zero-fill at full size,
// continue or restart the worker assignments, the early failures, nothing
// allocated once stopped, and the file handed over held when complete. Runs
// meet a refused port: the transfer loop gives up once a (shortened) outage
// window has passed without a byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "downloader/transport_retry.h"
#include "tests/unit/transfer_test_access.h"

namespace {

constexpr std::int32_t kPart = DownloadInfo::kPartSize;

class DownloadFile : public testing::Test {
protected:
    DownloadInfo info(std::int32_t fileSize, const std::filesystem::path& dest) {
        DownloadInfo description;
        description.setFileSize(fileSize);
        description.setPartSize(0);
        description.setMaxWorkers(0);
        description.setUrls({"http://127.0.0.1:9/file"});
        description.setFilePath(dest.wstring());
        return description;
    }

    // The destination half of download() alone.
    void prepare(const DownloadInfo& description, const std::filesystem::path& statePath) {
        m_downloader.setDownloadInfo(description);
        m_downloader.setTempFilePath(statePath.wstring());
        platform::File file;
        DownloaderTestAccess::prepareDestFile(m_downloader, file);
    }

    void runWithoutServer(const DownloadInfo& description, const std::filesystem::path& statePath,
                          bool stopFirst = false) {
        m_downloader.setDownloadInfo(description);
        m_downloader.setTempFilePath(statePath.wstring());
        if (stopFirst) DownloaderTestAccess::requestStop(m_downloader);
        DownloaderTestAccess::download(m_downloader);
    }

    transfer::ScopedRetryPolicyForTesting m_quickGiveUp{{std::chrono::milliseconds(10), std::chrono::milliseconds(50),
                                                         std::chrono::milliseconds(300),
                                                         std::chrono::milliseconds(100)}};
    transfertest::ScratchDir m_dir;
    Downloader m_downloader;
};

struct AllocationCase {
    const char* name;
    std::int32_t fileSize;
    std::int64_t existingSize;  // -1: no file
};

class Allocation : public DownloadFile, public testing::WithParamInterface<AllocationCase> {};

TEST_P(Allocation, LeavesAFileOfZerosAtFullSize) {
    const AllocationCase& c = GetParam();
    const auto dest = m_dir / "dest.bin";
    if (c.existingSize >= 0) transfertest::writeAll(dest, std::string(static_cast<std::size_t>(c.existingSize), 'm'));

    prepare(info(c.fileSize, dest), m_dir / "state.txt");

    EXPECT_EQ(m_downloader.result(), DE_Success);
    EXPECT_TRUE(transfertest::readAll(dest) == std::string(static_cast<std::size_t>(c.fileSize), '\0'));
    EXPECT_TRUE(std::filesystem::exists(m_dir / "state.txt"));
    EXPECT_FALSE(m_downloader.destinationWriteFailed());
}

INSTANTIATE_TEST_SUITE_P(Sizes, Allocation,
                         testing::Values(AllocationCase{"NoFile1500", 1500, -1}, AllocationCase{"NoFileOneByte", 1, -1},
                                         AllocationCase{"NoFileSeveralBlocks", 200001, -1},
                                         AllocationCase{"LongerFileReplaced", 1500, 4000},
                                         AllocationCase{"ShorterFileReplaced", 70000, 10},
                                         AllocationCase{"EmptyFileReplaced", 3, 0}),
                         [](const testing::TestParamInfo<AllocationCase>& info) { return info.param.name; });

struct ContinueCase {
    const char* name;
    bool fileOfRightSize;
    bool progress;
    bool assignmentsKept;
};

class ContinueOrRestart : public DownloadFile, public testing::WithParamInterface<ContinueCase> {};

TEST_P(ContinueOrRestart, DependsOnTheFileAndTheProgress) {
    const ContinueCase& c = GetParam();
    const std::int32_t fileSize = 3 * kPart;
    const auto dest = m_dir / "dest.bin";
    const std::string marker(static_cast<std::size_t>(c.fileOfRightSize ? fileSize : fileSize - 1), 'm');
    transfertest::writeAll(dest, marker);

    DownloadInfo description = info(fileSize, dest);
    if (c.progress) {
        transfertest::handOutOnePartEach(description);
        description.takeNextPart(0);  // worker 0 past the end, workers 1 and 2 still on parts 1 and 2
        description.setPartDownloaded(1, 777);
    }
    prepare(description, m_dir / "state.txt");

    const DownloadInfo& after = m_downloader.downloadInfo();
    if (c.assignmentsKept) {
        EXPECT_EQ(after.currentPart(0), 3);
        EXPECT_EQ(after.partDownloaded(1), 777);
    } else {
        EXPECT_EQ(after.handedOut(), 0);
        for (std::int32_t w = 0; w < 3; ++w) {
            EXPECT_FALSE(after.holdsPart(w));
            EXPECT_EQ(after.partDownloaded(w), 0);
        }
    }
    // A file of the right size is reused without being rewritten.
    const std::string content = transfertest::readAll(dest);
    if (c.fileOfRightSize) {
        EXPECT_TRUE(content == marker);
    } else {
        EXPECT_TRUE(content == std::string(static_cast<std::size_t>(fileSize), '\0'));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ContinueOrRestart,
                         testing::Values(ContinueCase{"RightSizeWithProgress", true, true, true},
                                         ContinueCase{"RightSizeFreshDescription", true, false, false},
                                         ContinueCase{"WrongSizeWithProgress", false, true, false}),
                         [](const testing::TestParamInfo<ContinueCase>& info) { return info.param.name; });

TEST_F(DownloadFile, OnlyACompleteRunHandsOverItsFileHeldReadOnly) {
    const auto dest = m_dir / "dest.bin";
    transfertest::writeAll(dest, std::string(1500, 'm'));
    for (const bool complete : {false, true}) {
        DownloadInfo description = info(1500, dest);
        if (complete) {  // the one part is in
            description.takeRun(0, 1);
            description.finishPart(0);
        }
        runWithoutServer(description, m_dir / "state.txt");
        platform::File held = m_downloader.takeCompletedFile();
        EXPECT_EQ(held.isOpen(), complete);
        EXPECT_FALSE(held.isWritable());
        EXPECT_FALSE(m_downloader.takeCompletedFile().isOpen()) << "handed over once";
    }
}

TEST_F(DownloadFile, ADestinationThatCannotBeCreatedEndsTheRunEarly) {
    const auto dest = m_dir / "missing" / "dest.bin";
    prepare(info(1500, dest), m_dir / "state.txt");
    EXPECT_EQ(m_downloader.result(), DE_AllocateDestFileError);
    EXPECT_FALSE(std::filesystem::exists(m_dir / "state.txt")) << "no state is saved before the file exists";
}

TEST_F(DownloadFile, ADirectoryInTheWayIsNeitherReusedNorRemoved) {
    const auto dest = m_dir / "dest.bin";
    std::filesystem::create_directories(dest / "content");
    prepare(info(1500, dest), m_dir / "state.txt");
    EXPECT_EQ(m_downloader.result(), DE_AllocateDestFileError);
    EXPECT_TRUE(std::filesystem::is_directory(dest / "content"));
}

TEST_F(DownloadFile, AStopBeforeTheRunAllocatesNothing) {
    const auto dest = m_dir / "dest.bin";
    runWithoutServer(info(200001, dest), m_dir / "state.txt", true);
    EXPECT_EQ(m_downloader.result(), DE_Stopped);
    EXPECT_FALSE(std::filesystem::exists(dest));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "state.txt"));
}

TEST_F(DownloadFile, AnUnwritableStatePathStopsBeforeAnyTransfer) {
    const auto dest = m_dir / "dest.bin";
    prepare(info(1500, dest), m_dir / "missing" / "state.txt");
    EXPECT_EQ(m_downloader.result(), DE_SaveResumeStateError);
    EXPECT_EQ(std::filesystem::file_size(dest), 1500u) << "the file is allocated first";
}

}  // namespace
