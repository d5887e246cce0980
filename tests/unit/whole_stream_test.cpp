// The part bookkeeping of a stream of the whole file: which bytes reach the
// disk, where the next request starts, and what the description records as
// the stream crosses parts, on a fresh description and on a continued one.
#include <gtest/gtest.h>

#include <string>

#include "downloader/async_writer.h"
#include "downloader/whole_stream.h"
#include "tests/unit/transfer_test_access.h"

namespace {

constexpr std::int32_t kPart = DownloadInfo::kPartSize;
// Five parts, the last one 100 bytes.
constexpr std::int32_t kFileSize = 4 * kPart + 100;

class WholeStreamParts : public testing::Test {
protected:
    void SetUp() override {
        m_content = transfertest::patternBytes(kFileSize, 7);
        m_info.setFileSize(kFileSize);
        m_info.setPartSize(0);
        m_info.setMaxWorkers(0);
        m_info.setUrls({"http://127.0.0.1:9/file"});
        m_info.setFilePath((m_dir / "dest.bin").wstring());
    }

    // Parts 0 and 2 done (the disk holds 'D' for them, so a rewrite shows),
    // part 1 with its first `kept` bytes on the disk, 3 and 4 not begun.
    void continuedState(std::int32_t kept) {
        m_info.takeNextPart(0);
        m_info.takeNextPart(2);
        m_info.setPartDownloaded(1, kept);
        std::string disk(kFileSize, '.');
        disk.replace(0, kPart, kPart, 'D');
        disk.replace(2 * kPart, kPart, kPart, 'D');
        disk.replace(kPart, static_cast<std::size_t>(kept), m_content, kPart, static_cast<std::size_t>(kept));
        startWriter(disk);
    }

    void startWriter(const std::string& disk) {
        transfertest::writeAll(m_dir / "dest.bin", disk);
        ASSERT_TRUE(m_file.openForWriting((m_dir / "dest.bin").wstring()));
        m_writer = std::make_unique<DownloaderAsyncWriter>(&m_file);
        m_writer->start();
        m_stream = std::make_unique<transfer::WholeStream>(m_info, *m_writer);
    }

    // The stream's body from `first` to `last` (exclusive) in chunks of `chunk` bytes.
    void feed(std::int32_t first, std::int32_t last, std::int32_t chunk = 100003) {
        for (std::int32_t at = first; at < last; at += chunk) {
            const std::int32_t length = std::min(chunk, last - at);
            ASSERT_TRUE(m_stream->take(m_content.data() + at, static_cast<std::size_t>(length)));
        }
    }

    std::string disk() {
        m_writer->stop();
        m_file.close();
        return transfertest::readAll(m_dir / "dest.bin");
    }

    std::string expectedAfterContinuing() const {
        std::string expected = m_content;
        expected.replace(0, kPart, kPart, 'D');
        expected.replace(2 * kPart, kPart, kPart, 'D');
        return expected;
    }

    transfertest::ScratchDir m_dir;
    std::string m_content;
    DownloadInfo m_info;
    platform::File m_file;
    std::unique_ptr<DownloaderAsyncWriter> m_writer;
    std::unique_ptr<transfer::WholeStream> m_stream;
};

TEST_F(WholeStreamParts, AFreshStreamWritesEveryPartAsItCrossesItsEnd) {
    startWriter(std::string(kFileSize, '.'));
    ASSERT_EQ(m_stream->firstByteNeeded(), 0);
    m_stream->startAt(0);
    feed(0, kPart + 10);
    EXPECT_EQ(m_stream->partsCompleted(), 1);
    EXPECT_EQ(m_info.currentPart(0), 5) << "the worker of the part completed takes the next one";
    EXPECT_EQ(m_info.completedLength(), kPart);
    EXPECT_EQ(m_stream->heldBytes(), 10);

    feed(kPart + 10, kFileSize);
    EXPECT_TRUE(m_info.isComplete());
    EXPECT_EQ(m_stream->partsCompleted(), 5);
    EXPECT_EQ(m_stream->firstByteNeeded(), kFileSize);
    EXPECT_FALSE(m_stream->take("x", 1)) << "no byte past the end of the file";
    EXPECT_TRUE(disk() == m_content);
}

struct ContinueCase {
    const char* name;
    std::int32_t kept;
    bool wholeAnswer;  // the server sends the file from byte 0 again, else from the byte asked
};

class WholeStreamContinued : public WholeStreamParts, public testing::WithParamInterface<ContinueCase> {};

TEST_P(WholeStreamContinued, CompletesTheHeldPartsAndSkipsTheDoneOnes) {
    const ContinueCase& c = GetParam();
    continuedState(c.kept);
    const std::int32_t first = m_stream->firstByteNeeded();
    EXPECT_EQ(first, kPart + c.kept);
    EXPECT_EQ(m_stream->heldBytes(), c.kept);

    const std::int32_t from = c.wholeAnswer ? 0 : first;
    m_stream->startAt(from);
    feed(from, kFileSize, 77777);

    EXPECT_TRUE(m_info.isComplete());
    EXPECT_EQ(m_stream->partsCompleted(), 3);
    EXPECT_TRUE(disk() == expectedAfterContinuing()) << "done parts are skipped, held ones written whole";
}

INSTANTIATE_TEST_SUITE_P(Answers, WholeStreamContinued,
                         testing::Values(ContinueCase{"FromTheByteAsked", 1000, false},
                                         ContinueCase{"WholeFileAgain", 1000, true},
                                         ContinueCase{"NothingKeptWholeFileAgain", 0, true}),
                         [](const testing::TestParamInfo<ContinueCase>& info) { return info.param.name; });

TEST_F(WholeStreamParts, ACutStreamKeepsItsPartInFlightAndContinuesFromIt) {
    continuedState(1000);
    ASSERT_EQ(m_stream->firstByteNeeded(), kPart + 1000);
    m_stream->startAt(0);
    const std::int32_t cut = 3 * kPart + 5000;
    feed(0, cut);
    EXPECT_EQ(m_info.currentPart(1), 7);
    EXPECT_EQ(m_info.partDownloaded(3), 0) << "gathered bytes are not claimed before they are written";
    EXPECT_EQ(m_stream->firstByteNeeded(), cut);
    EXPECT_EQ(m_stream->heldBytes(), 5000);

    m_stream->keepPartInFlight();
    EXPECT_EQ(m_info.partDownloaded(3), 5000);
    m_writer->syncNow();
    transfer::WholeStream next(m_info, *m_writer);
    ASSERT_EQ(next.firstByteNeeded(), cut) << "a later stream starts after the kept bytes";
    next.startAt(cut);
    ASSERT_TRUE(next.take(m_content.data() + cut, static_cast<std::size_t>(kFileSize - cut)));
    EXPECT_TRUE(m_info.isComplete());
    EXPECT_TRUE(disk() == expectedAfterContinuing());
}

}  // namespace
