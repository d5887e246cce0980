// The transfer loop's exits that need no server, and the dump of unfinished
// parts when a run ends early.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "downloader/transfer_handles.h"
#include "tests/unit/transfer_test_access.h"

namespace {

constexpr std::int32_t kPart = DownloadInfo::kPartSize;
constexpr std::int32_t kFileSize = 4 * kPart;

class LoopTest : public testing::Test {
protected:
    void SetUp() override {
        m_destPath = m_dir / "dest.bin";
        m_statePath = m_dir / "state.txt";
        transfertest::writeAll(m_destPath, std::string(kFileSize, '.'));
        DownloadInfo info;
        info.setFileSize(kFileSize);
        info.setPartSize(0);
        info.setMaxWorkers(0);
        transfertest::handOutOnePartEach(info);
        // Nothing listens there; the tests below never reach the network.
        info.setUrls({"http://127.0.0.1:9/file"});
        info.setFilePath(m_destPath.wstring());
        m_downloader.setDownloadInfo(info);
        m_downloader.setTempFilePath(m_statePath.wstring());
        ASSERT_TRUE(m_file.openForWriting(m_destPath.wstring()));
        m_writer = std::make_unique<DownloaderAsyncWriter>(&m_file);
        m_writer->start();
    }
    void TearDown() override {
        if (m_writer) m_writer->stop();
    }

    std::string fileAfterWriter() {
        m_writer->stop();
        m_file.close();
        return transfertest::readAll(m_destPath);
    }

    transfertest::ScratchDir m_dir;
    std::filesystem::path m_destPath;
    std::filesystem::path m_statePath;
    Downloader m_downloader;
    platform::File m_file;
    std::unique_ptr<DownloaderAsyncWriter> m_writer;
};

TEST_F(LoopTest, AStopBeforeTheRunReturnsStoppedAndChangesNothing) {
    DownloaderTestAccess::requestStop(m_downloader);
    EXPECT_EQ(DownloaderTestAccess::runTransferLoop(m_downloader, *m_writer, "http://127.0.0.1:9/file"), DE_Stopped);
    for (std::int32_t w = 0; w < 4; ++w) EXPECT_EQ(m_downloader.downloadInfo().currentPart(w), w);
    EXPECT_FALSE(std::filesystem::exists(m_statePath)) << "the early stop saves nothing";
    EXPECT_EQ(fileAfterWriter(), std::string(kFileSize, '.'));
}

TEST_F(LoopTest, ADescriptionWithEveryPartDoneSucceedsAtOnceWithFullProgress) {
    DownloadInfo& info = m_downloader.downloadInfo();
    for (std::int32_t w = 0; w < 4; ++w) info.takeNextPart(w);
    ASSERT_TRUE(info.isComplete());
    m_downloader.setProgressLength(0);

    EXPECT_EQ(DownloaderTestAccess::runTransferLoop(m_downloader, *m_writer, "http://127.0.0.1:9/file"), DE_Success);
    EXPECT_EQ(m_downloader.progressLength(), kFileSize);
}

struct DumpWorker {
    std::int32_t partIndex;  // -1: never armed
    std::int32_t downloadedLength;
    bool kept;
};

struct DumpCase {
    const char* name;
    DumpWorker workers[4];
};

class Dump : public LoopTest, public testing::WithParamInterface<DumpCase> {};

TEST_P(Dump, KeepsOnlyPartlyReceivedPartsOfTheirWorkers) {
    const DumpCase& c = GetParam();
    Downloader::UserPDataList records = transfer::createWorkerRecords(&m_downloader, 4, kPart);
    for (std::int32_t w = 0; w < 4; ++w) {
        auto& record = *records[static_cast<std::size_t>(w)];
        record.partIndex = c.workers[w].partIndex;
        record.downloadedLength = c.workers[w].downloadedLength;
        const std::string bytes = transfertest::patternBytes(kPart, static_cast<std::uint32_t>(w + 10));
        std::memcpy(record.buffer.get(), bytes.data(), bytes.size());
    }

    DownloaderTestAccess::dump(m_downloader, records, *m_writer);

    const DownloadInfo& info = m_downloader.downloadInfo();
    const std::string file = fileAfterWriter();
    for (std::int32_t w = 0; w < 4; ++w) {
        const DumpWorker& worker = c.workers[w];
        const std::string onDisk = file.substr(static_cast<std::size_t>(info.partOffset(w)), kPart);
        if (worker.kept) {
            EXPECT_EQ(info.partDownloaded(w), worker.downloadedLength) << "worker " << w;
            // The whole buffer goes out; the bytes past the kept count are
            // overwritten by the next run.
            EXPECT_TRUE(onDisk == transfertest::patternBytes(kPart, static_cast<std::uint32_t>(w + 10)))
                << "worker " << w;
        } else {
            EXPECT_EQ(info.partDownloaded(w), 0) << "worker " << w;
            EXPECT_TRUE(onDisk == std::string(kPart, '.')) << "worker " << w;
        }
    }

    // The state on disk is the description after the dump.
    const std::filesystem::path expectedState = m_dir / "expected.txt";
    ASSERT_TRUE(info.save(expectedState.wstring()));
    EXPECT_EQ(transfertest::readAll(m_statePath), transfertest::readAll(expectedState));
}

INSTANTIATE_TEST_SUITE_P(
    Workers, Dump,
    testing::Values(DumpCase{"PartlyReceived", {{0, 300000, true}, {1, 1, true}, {2, kPart - 1, true}, {3, 5, true}}},
                    DumpCase{"NothingToKeep",
                             {{-1, 0, false},          // never armed
                              {1, 0, false},           // nothing received
                              {2, kPart, false},       // whole but never verified
                              {0, 1000, false}}}),     // a record of a part its worker no longer holds
    [](const testing::TestParamInfo<DumpCase>& info) { return info.param.name; });

}  // namespace
