// Whole downloads through the engine against Debian's nginx and our fault
// server: file sizes around the part boundaries, the part schedule and the
// connections it uses, and the reuse of an existing destination file.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "platform/file.h"
#include "tests/integration/engine_harness.h"
#include "tests/support/nginx_server.h"
#include "tests/unit/transfer_test_access.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::NginxServer;
using testsupport::TempDir;

class NginxSizes : public testing::TestWithParam<std::int32_t> {};

TEST_P(NginxSizes, DownloadIsCompleteAndIdentical) {
    const std::int32_t size = GetParam();
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", size, static_cast<std::uint32_t>(size));
    NginxServer server(root.path());
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run();

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.result, DE_Success);
    EXPECT_EQ(outcome.lastRun, DE_Success);
    EXPECT_EQ(download.downloader.progressLength(), size);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfFile(root / "f.bin"));
    EXPECT_TRUE(std::filesystem::exists(download.state));
}

INSTANTIATE_TEST_SUITE_P(AroundPartBoundaries, NginxSizes,
                         testing::Values(1, 524287, 524288, 524289, 1048577, 100 * 1024 * 1024),
                         [](const testing::TestParamInfo<std::int32_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST(PartSchedule, ThirteenPartsOnTwelveWorkersUseTwelveConnectionsInAscendingOrder) {
    const std::int32_t size = 12 * kPart + 1000;
    const std::string content = contentOf(size, 13);
    FaultServer server([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run();

    ASSERT_TRUE(outcome.ended);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));

    const auto requests = gets(server);
    ASSERT_EQ(requests.size(), 13u);
    EXPECT_LE(server.connectionCount(), 12);
    std::set<std::int32_t> parts;
    for (const HttpRequest& request : requests) parts.insert(partOf(request));
    EXPECT_EQ(parts.size(), 13u) << "every part exactly once";
    EXPECT_EQ(*parts.rbegin(), 12);
    // Part 12 is handed out only when a worker has finished its part, and
    // that worker's connection carries it.
    const auto last = std::find_if(requests.begin(), requests.end(),
                                   [](const HttpRequest& request) { return partOf(request) == 12; });
    ASSERT_NE(last, requests.end());
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [&](const HttpRequest& request) {
        return partOf(request) < 12 && request.connectionIndex == last->connectionIndex;
    })) << "part 12 reuses a finished worker's connection";

    std::map<int, std::int32_t> lastPartOnConnection;
    for (const HttpRequest& request : requests) {
        const std::int32_t part = partOf(request);
        ASSERT_TRUE(request.range);
        EXPECT_EQ(request.range->first, std::int64_t{part} * kPart);
        EXPECT_EQ(request.range->second, std::min<std::int64_t>(std::int64_t{part + 1} * kPart, size) - 1);
        const auto previous = lastPartOnConnection.find(request.connectionIndex);
        if (previous != lastPartOnConnection.end()) {
            EXPECT_GT(part, previous->second) << "a reused connection carries later parts only";
        }
        lastPartOnConnection[request.connectionIndex] = part;
        // The part requests carry exactly the one product header line.
        EXPECT_NE(std::find(request.rawHeaderLines.begin(), request.rawHeaderLines.end(),
                            "User-Agent:Vorlane Downloader"),
                  request.rawHeaderLines.end());
        EXPECT_EQ(request.headers.count("expect"), 0u);
    }
}

TEST(PartSchedule, ProgressReachesTheFileSize) {
    const std::int32_t size = 3 * kPart;
    const std::string content = contentOf(size, 5);
    FaultServer server(trickledRanges(content, 64 * 1024, 20ms));
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    download.start();
    std::int32_t seenMiddle = 0;
    while (download.downloader.isDownloading()) {
        const std::int32_t progress = download.downloader.progressLength();
        EXPECT_LE(progress, size);
        if (progress > 0 && progress < size) seenMiddle = progress;
        std::this_thread::sleep_for(5ms);
    }
    const Outcome outcome = download.wait();
    ASSERT_TRUE(outcome.complete);
    EXPECT_GT(seenMiddle, 0) << "progress is published while parts are still arriving";
    EXPECT_EQ(download.downloader.progressLength(), size);
}

// A server that refuses every part: the destination is prepared and then left alone.
HttpResponse notFound(const HttpRequest&) {
    HttpResponse response;
    response.status = 404;
    response.body = "gone";
    return response;
}

struct ExistingCase {
    const char* name;
    std::int64_t existingSize;
    bool reused;
};

class ExistingDestination : public testing::TestWithParam<ExistingCase> {};

TEST_P(ExistingDestination, IsReusedOnlyAtTheRightSize) {
    const ExistingCase& c = GetParam();
    const std::int32_t size = 2 * kPart + 10;
    FaultServer server(notFound);
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const std::string marker(static_cast<std::size_t>(c.existingSize), 'M');
    {
        std::ofstream file(download.dest, std::ios::binary);
        file << marker;
    }

    const Outcome outcome = download.run();

    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_HttpNotFound);
    const std::string content = testsupport::readFileBytes(download.dest);
    if (c.reused) {
        EXPECT_TRUE(content == marker) << "a file of the right size is not rewritten";
    } else {
        EXPECT_TRUE(content == std::string(static_cast<std::size_t>(size), '\0')) << "reallocated with zeros";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExistingDestination,
                         testing::Values(ExistingCase{"RightSize", 2 * kPart + 10, true},
                                         ExistingCase{"Shorter", kPart, false},
                                         ExistingCase{"Longer", 3 * kPart, false}),
                         [](const testing::TestParamInfo<ExistingCase>& info) { return info.param.name; });

TEST(ExistingDestinationContent, IsOverwrittenPartByPart) {
    const std::int32_t size = 2 * kPart + 10;
    const std::string content = contentOf(size, 21);
    FaultServer server([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    {
        std::ofstream file(download.dest, std::ios::binary);
        file << std::string(static_cast<std::size_t>(size), 'M');
    }
    const Outcome outcome = download.run();
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
}

// Resident memory now, and the most it has been since the last reset (Linux
// keeps the high-water mark; writing 5 to clear_refs resets it).
std::int64_t residentKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0) return std::stoll(line.substr(std::string(field).size()));
    return -1;
}

// A disk far slower than the network: finished parts pile up at the writer
// unless the download waits for buffers to come back.
TEST(SlowDisk, MemoryStaysBoundedAndTheFileIsExact) {
    constexpr std::int32_t kSize = 128 * kPart;
    constexpr std::int32_t kBuffers = DownloadInfo::kMaxWorkers + 4;
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", kSize, 77);
    NginxServer server(root.path());
    TempDir out;
    EngineDownload download(out.path(), kSize, {server.url("f.bin")});
    DownloadInfo& info = download.downloader.downloadInfo();
    info.resetWorkers();

    platform::File file;
    ASSERT_TRUE(file.openForWriting(download.dest.wstring()));
    ASSERT_TRUE(file.resize(kSize));
    DownloaderAsyncWriter::Settings settings;
    settings.bufferSize = kPart;
    settings.bufferCount = kBuffers;
    settings.writeDelay = 10ms;
    DownloaderAsyncWriter writer(&file, settings);
    writer.start();

    std::ofstream("/proc/self/clear_refs") << "5";
    const std::int64_t before = residentKiB("VmRSS:");
    const DownloadResult result = DownloaderTestAccess::runTransferLoop(download.downloader, writer, server.url("f.bin"));
    writer.stop();
    [[maybe_unused]] const std::int64_t peak = residentKiB("VmHWM:");
    file.close();

    EXPECT_EQ(result, DE_Success);
    EXPECT_TRUE(info.isComplete());
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfFile(root / "f.bin"));
    EXPECT_LE(writer.buffersAllocated(), kBuffers);
    // The pool (8 MiB) and libcurl's buffers; a queue that grew with the
    // file would hold most of its 64 MiB.
    ASSERT_GT(before, 0);
#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer shadows every touched byte several times over, so the
    // resident size says nothing there; the pool bound above still holds.
    EXPECT_LT(peak - before, 24 * 1024) << "peak " << peak << " KiB, before " << before << " KiB";
#endif
}

}  // namespace
}  // namespace enginetest
