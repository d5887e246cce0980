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
constexpr std::int32_t kFileSize = 4 * kPart + 100;  // five parts, the last one 100 bytes
constexpr std::int32_t kCut = 3 * kPart + 5000;

struct StreamCase {
    const char* name;
    bool continued;  // parts 0 and 2 done ('D' on the disk, so a rewrite shows), part 1 with `kept` bytes
    std::int32_t kept;
    bool fromByteZero;  // the server sends the file from its start, else from the byte asked
};

class WholeStreamParts : public testing::TestWithParam<StreamCase> {};

TEST_P(WholeStreamParts, WritesHeldPartsWholeSkipsDoneOnesAndKeepsThePartInFlight) {
    const StreamCase& c = GetParam();
    transfertest::ScratchDir dir;
    const std::string content = transfertest::patternBytes(kFileSize, 7);
    DownloadInfo info;
    info.setFileSize(kFileSize);
    info.setPartSize(0);
    info.setMaxWorkers(0);
    transfertest::handOutOnePartEach(info);
    std::string disk(kFileSize, '.');
    std::string expected = content;
    if (c.continued) {
        info.takeNextPart(0);
        info.takeNextPart(2);
        info.setPartDownloaded(1, c.kept);
        for (std::string* bytes : {&disk, &expected}) {
            bytes->replace(0, kPart, kPart, 'D');
            bytes->replace(2 * kPart, kPart, kPart, 'D');
        }
        disk.replace(kPart, static_cast<std::size_t>(c.kept), content, kPart, static_cast<std::size_t>(c.kept));
    }
    transfertest::writeAll(dir / "dest.bin", disk);
    platform::File file;
    ASSERT_TRUE(file.openForWriting((dir / "dest.bin").wstring()));
    DownloaderAsyncWriter writer(&file);
    writer.start();
    transfer::WholeStream stream(info, writer);
    auto feed = [&](std::int32_t from, std::int32_t to) {
        stream.startAt(from);
        for (std::int32_t at = from; at < to; at += 100003)
            ASSERT_TRUE(stream.take(content.data() + at, static_cast<std::size_t>(std::min(100003, to - at))));
    };

    const std::int32_t first = stream.firstByteNeeded();
    EXPECT_EQ(first, c.continued ? kPart + c.kept : 0);
    EXPECT_EQ(stream.heldBytes(), c.continued ? c.kept : 0);
    feed(c.fromByteZero ? 0 : first, kCut);
    EXPECT_EQ(stream.partsCompleted(), c.continued ? 1 : 3);
    EXPECT_EQ(stream.heldBytes(), 5000);
    EXPECT_EQ(info.partDownloaded(3), 0) << "gathered bytes are not claimed before they are written";
    stream.keepPartInFlight();
    EXPECT_EQ(info.partDownloaded(3), 5000);
    ASSERT_EQ(stream.firstByteNeeded(), kCut);

    feed(kCut, kFileSize);
    EXPECT_TRUE(info.isComplete());
    EXPECT_EQ(stream.firstByteNeeded(), kFileSize);
    EXPECT_FALSE(stream.take("x", 1)) << "no byte past the end of the file";
    writer.stop();
    file.close();
    EXPECT_TRUE(transfertest::readAll(dir / "dest.bin") == expected);
}

INSTANTIATE_TEST_SUITE_P(States, WholeStreamParts,
                         testing::Values(StreamCase{"Fresh", false, 0, true},
                                         StreamCase{"ContinuedFromTheByteAsked", true, 1000, false},
                                         StreamCase{"ContinuedFromByteZero", true, 1000, true},
                                         StreamCase{"NothingKeptFromByteZero", true, 0, true}),
                         [](const testing::TestParamInfo<StreamCase>& info) { return info.param.name; });

}  // namespace
