// Verification of finished part transfers on hand-made records: which
// answers are accepted and written, which count as errors, which end the run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "downloader/transfer_handles.h"
#include "tests/unit/transfer_test_access.h"

namespace {

// Four parts (the last one 100 bytes) on four workers, worker w on part w.
constexpr std::int32_t kFileSize = 3 * 524288 + 100;

class Verification : public testing::Test {
protected:
    void SetUp() override {
        m_destPath = m_dir / "dest.bin";
        transfertest::writeAll(m_destPath, std::string(kFileSize, '.'));
        DownloadInfo info;
        info.setFileSize(kFileSize);
        info.setPartSize(0);
        info.setMaxWorkers(0);
        transfertest::handOutOnePartEach(info);
        info.setUrls({"http://127.0.0.1:9/file"});
        info.setFilePath(m_destPath.wstring());
        m_downloader.setDownloadInfo(info);

        ASSERT_TRUE(m_file.openForWriting(m_destPath.wstring()));
        m_writer = std::make_unique<DownloaderAsyncWriter>(&m_file);
        m_writer->start();

        m_run.workers = transfer::createWorkerRecords(&m_downloader, 4, DownloadInfo::kPartSize);
        ASSERT_TRUE(transfer::createTransferHandles(m_run, "http://127.0.0.1:9/file", ProxySettings{}));
        for (std::int32_t w = 0; w < 4; ++w) transfer::armWorker(m_run, info, w, w, 0);
    }

    void TearDown() override {
        if (m_writer) m_writer->stop();
    }

    // Worker w's transfer ended with `code` after `status` and `length` bytes.
    void finish(std::int32_t w, CURLcode code, const std::string& status, std::int32_t length,
                const std::string& contentRange = "") {
        auto& record = *m_run.workers[static_cast<std::size_t>(w)];
        record.statusHeader = status.empty() ? HeaderRecord{} : HeaderRecord{HK_Status, status};
        record.contentSize = record.expectedLength;
        record.contentRange = contentRange;
        const std::string bytes = transfertest::patternBytes(length, static_cast<std::uint32_t>(w + 1));
        if (length > 0) std::memcpy(record.buffer.get(), bytes.data(), bytes.size());
        record.downloadedLength = length;
        m_finished[m_run.workerHandles[static_cast<std::size_t>(w)]] = code;
    }

    DownloadResult verify() {
        return DownloaderTestAccess::verify(m_downloader, m_run.multiHandle.get(), m_run.workerHandles, m_errors,
                                            m_run.workers, *m_writer, m_finished);
    }

    // The file once every handed-over part is on disk.
    std::string fileAfterWriter() {
        m_writer->stop();
        m_file.close();
        return transfertest::readAll(m_destPath);
    }

    std::string partOnDisk(const std::string& file, std::int32_t part) const {
        const DownloadInfo& info = m_downloader.downloadInfo();
        return file.substr(static_cast<std::size_t>(info.partOffset(part)),
                           static_cast<std::size_t>(info.partLength(part)));
    }

    std::int32_t partLength(std::int32_t part) const { return m_downloader.downloadInfo().partLength(part); }

    transfertest::ScratchDir m_dir;
    std::filesystem::path m_destPath;
    Downloader m_downloader;
    platform::File m_file;
    std::unique_ptr<DownloaderAsyncWriter> m_writer;
    transfer::TransferRun m_run;
    Downloader::HandlesErrorMap m_finished;
    std::int32_t m_errors = 0;
};

struct VerdictCase {
    const char* name;
    CURLcode code;
    const char* status;
    bool wholePart;  // else one byte short
    const char* contentRange;
    DownloadResult result;
    std::int32_t errors;
    bool accepted;
};

class VerificationVerdict : public Verification, public testing::WithParamInterface<VerdictCase> {};

TEST_P(VerificationVerdict, OfOneFinishedTransfer) {
    const VerdictCase& c = GetParam();
    const std::int32_t length = c.wholePart ? partLength(0) : partLength(0) - 1;
    finish(0, c.code, c.status, length, c.contentRange);

    EXPECT_EQ(verify(), c.result);
    EXPECT_EQ(m_errors, c.errors);
    const DownloadInfo& info = m_downloader.downloadInfo();
    if (c.accepted) {
        EXPECT_FALSE(info.holdsPart(0)) << "its run is done: the loop hands it the next";
        EXPECT_EQ(info.partDownloaded(0), 0);
    } else {
        EXPECT_EQ(info.currentPart(0), 0) << "a failed part stays on its worker";
    }
    for (std::int32_t w = 1; w < 4; ++w) EXPECT_EQ(info.currentPart(w), w) << "unfinished workers are untouched";

    const std::string file = fileAfterWriter();
    const std::string expected = c.accepted ? transfertest::patternBytes(partLength(0), 1)
                                            : std::string(static_cast<std::size_t>(partLength(0)), '.');
    EXPECT_TRUE(partOnDisk(file, 0) == expected) << "part 0 on disk";
    EXPECT_EQ(file.size(), static_cast<std::size_t>(kFileSize));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, VerificationVerdict,
    testing::Values(
        VerdictCase{"Whole206", CURLE_OK, "206", true, "", DE_Success, 0, true},
        // The server sent more than asked; the part itself arrived whole.
        VerdictCase{"Whole206ThenRefused", CURLE_WRITE_ERROR, "206", true, "", DE_Success, 0, true},
        VerdictCase{"Short206", CURLE_OK, "206", false, "", DE_Success, 1, false},
        VerdictCase{"ShortAfterDrop", CURLE_PARTIAL_FILE, "206", false, "", DE_Success, 1, false},
        VerdictCase{"TimedOutEvenIfWhole", CURLE_OPERATION_TIMEDOUT, "206", true, "", DE_Success, 1, false},
        VerdictCase{"RangeIgnored", CURLE_WRITE_ERROR, "200", true, "", DE_RangeIgnored, 1, false},
        VerdictCase{"NotFound", CURLE_WRITE_ERROR, "404", false, "", DE_HttpNotFound, 0, false},
        VerdictCase{"Gone", CURLE_WRITE_ERROR, "410", false, "", DE_HttpGone, 0, false},
        VerdictCase{"Unavailable", CURLE_WRITE_ERROR, "503", false, "", DE_HttpServiceUnavailable, 0, false},
        VerdictCase{"ServerError", CURLE_WRITE_ERROR, "500", false, "", DE_Success, 1, false},
        VerdictCase{"NoStatus", CURLE_OK, "", true, "", DE_Success, 1, false},
        VerdictCase{"MatchingContentRange", CURLE_OK, "206", true, "bytes 0-524287/1572964", DE_Success, 0, true},
        VerdictCase{"ForeignContentRange", CURLE_OK, "206", true, "bytes 524288-1048575/1572964", DE_Success, 1,
                    false},
        VerdictCase{"ContentRangeOfAnotherFile", CURLE_OK, "206", true, "bytes 0-524287/9999999", DE_Success, 1,
                    false}),
    [](const testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

TEST_F(Verification, ALaterWorkersServerCodeWins) {
    finish(1, CURLE_WRITE_ERROR, "503", 0);
    finish(2, CURLE_WRITE_ERROR, "404", 0);
    EXPECT_EQ(verify(), DE_HttpNotFound);
    EXPECT_EQ(m_errors, 0);

    m_finished.clear();
    finish(1, CURLE_WRITE_ERROR, "404", 0);
    finish(2, CURLE_WRITE_ERROR, "503", 0);
    EXPECT_EQ(verify(), DE_HttpServiceUnavailable);
}

TEST_F(Verification, GoodPartsOfThePassAreKeptBesideAServerCode) {
    finish(0, CURLE_OK, "206", partLength(0));
    finish(1, CURLE_WRITE_ERROR, "503", 0);
    finish(3, CURLE_OK, "206", partLength(3));
    EXPECT_EQ(verify(), DE_HttpServiceUnavailable);

    const DownloadInfo& info = m_downloader.downloadInfo();
    EXPECT_FALSE(info.holdsPart(0));
    EXPECT_EQ(info.currentPart(1), 1);
    EXPECT_FALSE(info.holdsPart(3));
    EXPECT_EQ(info.completedLength(), partLength(0) + partLength(3));
    const std::string file = fileAfterWriter();
    EXPECT_TRUE(partOnDisk(file, 0) == transfertest::patternBytes(partLength(0), 1));
    EXPECT_TRUE(partOnDisk(file, 3) == transfertest::patternBytes(partLength(3), 4));
    EXPECT_TRUE(partOnDisk(file, 1) == std::string(static_cast<std::size_t>(partLength(1)), '.'));
}

TEST_F(Verification, TransfersStillRunningAreNotJudged) {
    // Worker 2 holds a whole part, but libcurl has not reported it done.
    auto& record = *m_run.workers[2];
    record.statusHeader = {HK_Status, "206"};
    record.downloadedLength = partLength(2);

    EXPECT_EQ(verify(), DE_Success);
    EXPECT_EQ(m_errors, 0);
    EXPECT_EQ(m_downloader.downloadInfo().currentPart(2), 2);
}

TEST_F(Verification, ErrorsAddUpAcrossWorkersAndPasses) {
    finish(0, CURLE_COULDNT_CONNECT, "", 0);
    finish(1, CURLE_OK, "206", 5);
    finish(2, CURLE_WRITE_ERROR, "200", 0);
    m_errors = 1;
    EXPECT_EQ(verify(), DE_RangeIgnored);
    EXPECT_EQ(m_errors, 4);
    EXPECT_EQ(m_downloader.lastTransferError(), CURLE_COULDNT_CONNECT);
}

}  // namespace
