// Batching, ordering, read-back and shutdown of the asynchronous part writer.
#include "downloader/async_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int32_t kFileSize = 64;

SharedBytes bytesOf(const std::string& text) {
    SharedBytes data = makeSharedBytes(static_cast<std::int32_t>(text.size()));
    std::memcpy(data.get(), text.data(), text.size());
    return data;
}

// A pre-sized destination file of dots, opened the way the download opens it.
class Destination {
public:
    explicit Destination(std::int32_t size = kFileSize) {
        static std::atomic<int> counter{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = fs::temp_directory_path() /
                 ("vorlane-writer-" + std::to_string(stamp) + "-" + std::to_string(counter++) + ".bin");
        std::ofstream(m_path, std::ios::binary) << std::string(static_cast<std::size_t>(size), '.');
        file.openForWriting(m_path.wstring());
    }
    ~Destination() {
        file.close();
        std::error_code ignored;
        fs::remove(m_path, ignored);
    }

    // What another reader of the file sees right now.
    std::string onDisk() const {
        std::ifstream in(m_path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    bool waitForDisk(const std::string& expected) const {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (onDisk() == expected) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    platform::File file;

private:
    fs::path m_path;
};

std::string dots(std::int32_t size = kFileSize) { return std::string(static_cast<std::size_t>(size), '.'); }

std::string with(std::string base, std::size_t offset, const std::string& text) {
    return base.replace(offset, text.size(), text);
}

TEST(AsyncWriterBatching, OneRequestWaitsForStop) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(4, 4, bytesOf("AAAA"));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(file.onDisk(), dots());
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(dots(), 4, "AAAA"));
}

TEST(AsyncWriterBatching, SecondRequestWakesTheWriter) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(0, 3, bytesOf("AAA"));
    writer.enqueueWrite(10, 3, bytesOf("BBB"));
    // Written and flushed without any stop.
    EXPECT_TRUE(file.waitForDisk(with(with(dots(), 0, "AAA"), 10, "BBB")));
    writer.stop();
}

struct OrderCase {
    const char* name;
    std::int32_t firstOffset;
    std::string first;
    std::int32_t secondOffset;
    std::string second;
    std::string expectedStart;
};

class AsyncWriterOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(AsyncWriterOrder, LaterRequestWinsWhereTheyOverlap) {
    const OrderCase c = GetParam();
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(c.firstOffset, static_cast<std::int32_t>(c.first.size()), bytesOf(c.first));
    writer.enqueueWrite(c.secondOffset, static_cast<std::int32_t>(c.second.size()), bytesOf(c.second));
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(dots(), 0, c.expectedStart));
}

INSTANTIATE_TEST_SUITE_P(Cases, AsyncWriterOrder,
                         ::testing::Values(OrderCase{"SameOffset", 0, "AAAA", 0, "BBBB", "BBBB"},
                                           OrderCase{"Inside", 0, "AAAAAA", 2, "BB", "AABBAA"},
                                           OrderCase{"Behind", 4, "BB", 0, "AAAA", "AAAABB"},
                                           OrderCase{"Apart", 6, "BB", 0, "AA", "AA....BB"}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AsyncWriterStop, TenQueuedRequestsAreAllWritten) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    std::string expected = dots();
    for (int i = 0; i < 10; ++i) {
        const std::string text(5, static_cast<char>('a' + i));
        writer.enqueueWrite(i * 6, 5, bytesOf(text));
        expected = with(expected, static_cast<std::size_t>(i) * 6, text);
    }
    writer.start();
    writer.stop();
    EXPECT_EQ(file.onDisk(), expected);
}

TEST(AsyncWriterStop, RequestsAfterStopAreDropped) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.stop();
    writer.enqueueWrite(0, 2, bytesOf("XX"));
    writer.enqueueWrite(2, 2, bytesOf("YY"));
    writer.stop();  // a second stop returns at once
    // Not kept anywhere either: a later read-back writes out nothing stale.
    SharedBytes buffer;
    ASSERT_EQ(writer.readBack(buffer, 0, 4), 4);
    EXPECT_EQ(std::string(buffer.get(), 4), "....");
    EXPECT_EQ(file.onDisk(), dots());
}

TEST(AsyncWriterStop, ClosedStreamEndsTheThreadAndStopReturns) {
    platform::File closed;
    DownloaderAsyncWriter writer(&closed);
    writer.start();
    writer.enqueueWrite(0, 2, bytesOf("XX"));
    writer.enqueueWrite(2, 2, bytesOf("YY"));
    SharedBytes buffer;
    EXPECT_EQ(writer.readBack(buffer, 0, 4), 0);
    writer.stop();
    EXPECT_FALSE(writer.writeFailed());
}

TEST(AsyncWriterStop, NoStreamAtAll) {
    DownloaderAsyncWriter writer(nullptr);
    writer.start();
    writer.enqueueWrite(0, 2, bytesOf("XX"));
    writer.stop();
}

TEST(AsyncWriterStop, NeverStartedWriterIsDestroyedWithoutWaiting) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.enqueueWrite(0, 2, bytesOf("XX"));
    writer.enqueueWrite(2, 2, bytesOf("YY"));
}

TEST(AsyncWriterCopy, CallerBufferChangedAfterEnqueueDoesNotMatter) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    SharedBytes buffer = bytesOf("GOOD");
    writer.enqueueWrite(0, 4, buffer);
    std::memcpy(buffer.get(), "BAD!", 4);
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(dots(), 0, "GOOD"));
}

TEST(AsyncWriterCopy, OnlyTheGivenLengthIsWritten) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(8, 3, bytesOf("ABCDEFG"));
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(dots(), 8, "ABC"));
}

TEST(AsyncWriterCopy, UnplaceableRequestsAreDroppedWithoutHarm) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(-1, 2, bytesOf("XX"));
    writer.enqueueWrite(0, -2, bytesOf("XX"));
    writer.enqueueWrite(0, 2, SharedBytes());
    writer.enqueueWrite(1, 2, bytesOf("OK"));
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(dots(), 1, "OK"));
    EXPECT_FALSE(writer.writeFailed());
}

TEST(AsyncWriterReadBack, SeesASingleStillQueuedRequest) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(20, 6, bytesOf("queued"));
    SharedBytes buffer;
    ASSERT_EQ(writer.readBack(buffer, 18, 10), 10);
    EXPECT_EQ(std::string(buffer.get(), 10), "..queued..");
    writer.stop();
}

TEST(AsyncWriterReadBack, SeesQueuedRequestsWithoutAThread) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.enqueueWrite(0, 2, bytesOf("ab"));
    writer.enqueueWrite(1, 2, bytesOf("CD"));
    SharedBytes buffer;
    ASSERT_EQ(writer.readBack(buffer, 0, 4), 4);
    EXPECT_EQ(std::string(buffer.get(), 4), "aCD.");
}

TEST(AsyncWriterReadBack, ReplacesTheCallersArray) {
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    SharedBytes original = bytesOf("keep");
    SharedBytes buffer = original;
    ASSERT_EQ(writer.readBack(buffer, 0, 8), 8);
    EXPECT_NE(buffer.get(), original.get());
    EXPECT_EQ(std::string(original.get(), 4), "keep");
    EXPECT_EQ(std::string(buffer.get(), 8), dots(8));
}

struct ReadCase {
    const char* name;
    std::int32_t offset;
    std::int32_t length;
    std::int32_t got;
};

class AsyncWriterShortRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(AsyncWriterShortRead, ReportsTheBytesReadAndLaterWritesStillLand) {
    const ReadCase c = GetParam();
    Destination file;
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    SharedBytes buffer;
    EXPECT_EQ(writer.readBack(buffer, c.offset, c.length), c.got);
    writer.enqueueWrite(0, 2, bytesOf("AA"));
    writer.enqueueWrite(kFileSize - 2, 2, bytesOf("ZZ"));
    writer.stop();
    EXPECT_EQ(file.onDisk(), with(with(dots(), 0, "AA"), kFileSize - 2, "ZZ"));
    EXPECT_FALSE(writer.writeFailed());
}

INSTANTIATE_TEST_SUITE_P(Ranges, AsyncWriterShortRead,
                         ::testing::Values(ReadCase{"Inside", 0, kFileSize, kFileSize},
                                           ReadCase{"PastTheEnd", kFileSize - 4, 10, 4},
                                           ReadCase{"WhollyBeyond", kFileSize + 100, 10, 0},
                                           ReadCase{"NegativeOffset", -1, 10, 0}, ReadCase{"Empty", 5, 0, 0}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(AsyncWriterFailure, LostBytesAreReported) {
    Destination file;
    // A file that can no longer be written, as after a lost disk.
    ASSERT_TRUE(file.file.holdReadOnly());
    DownloaderAsyncWriter writer(&file.file);
    writer.start();
    writer.enqueueWrite(0, 4, bytesOf("lost"));
    writer.stop();
    EXPECT_TRUE(writer.writeFailed());
}

// The download thread hands over parts and reads some back while the writer
// thread writes batches; run under ThreadSanitizer as well.
TEST(AsyncWriterThreads, ProducerAndWriterThreadShareTheFile) {
    constexpr std::int32_t kPart = 4096;
    constexpr std::int32_t kParts = 64;
    Destination file(kPart * kParts);
    DownloaderAsyncWriter::Settings settings;
    settings.bufferSize = kPart;
    settings.bufferCount = 3;
    DownloaderAsyncWriter writer(&file.file, settings);
    writer.start();

    std::string expected(static_cast<std::size_t>(kPart) * kParts, '.');
    std::thread producer([&] {
        SharedBytes part = writer.takeBuffer();
        for (std::int32_t p = 0; p < kParts; ++p) {
            // Parts finish out of order; most buffers are handed over, some copied.
            const std::int32_t index = (p * 37) % kParts;
            std::memset(part.get(), 'A' + index % 26, kPart);
            if (p % 5 == 4) {
                writer.enqueueWrite(index * kPart, kPart, part);
            } else {
                writer.handOver(index * kPart, kPart, part);
            }
            if (p % 8 == 7) {
                SharedBytes back;
                if (writer.readBack(back, index * kPart, kPart) != kPart || back[0] != 'A' + index % 26) {
                    ADD_FAILURE() << "read-back of part " << index;
                }
            }
        }
        writer.stop();
    });
    for (std::int32_t index = 0; index < kParts; ++index) {
        std::memset(expected.data() + static_cast<std::size_t>(index) * kPart, 'A' + index % 26, kPart);
    }
    producer.join();
    EXPECT_EQ(file.onDisk(), expected);
    EXPECT_FALSE(writer.writeFailed());
    EXPECT_LE(writer.buffersAllocated(), 3);
}

// Handed-over buffers come back through the pool only once written; with
// every pooled buffer out and no thread to write the queue, taking one more
// writes the queue here instead of waiting forever.
TEST(AsyncWriterHandOver, BuffersAreReusedOnlyOnceWrittenAndTheBoundHolds) {
    Destination file;
    DownloaderAsyncWriter::Settings settings;
    settings.bufferSize = 8;
    settings.bufferCount = 2;
    DownloaderAsyncWriter writer(&file.file, settings);
    SharedBytes buffer = writer.takeBuffer();
    std::string expected = dots();
    for (int i = 0; i < 6; ++i) {
        const std::string text(8, static_cast<char>('a' + i));
        std::memcpy(buffer.get(), text.data(), 8);
        EXPECT_EQ(writer.handOver(i * 8, 8, buffer), 8);
        expected = with(expected, static_cast<std::size_t>(i) * 8, text);
    }
    EXPECT_EQ(writer.buffersAllocated(), 2);
    writer.start();
    writer.stop();
    EXPECT_EQ(file.onDisk(), expected);
}

}  // namespace
