// The engine's requests as runs of consecutive parts, against our fault
// server: what the wire shows (one range per request, every byte asked for
// once), a run cut on its way, a run answered for other bytes, and the
// resume state saved while runs are under way.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "tests/integration/engine_harness.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TempDir;

bool spansParts(const HttpRequest& request, std::int32_t parts) {
    return request.range && request.range->second - request.range->first + 1 >= std::int64_t{parts} * kPart;
}

// Part p is done in `info` when it was handed out and no worker's run holds it.
bool isDone(const DownloadInfo& info, std::int32_t p) {
    if (p >= info.handedOut()) return false;
    for (std::int32_t w = 0; w < info.workersCount(); ++w)
        if (info.currentPart(w) <= p && p < info.runEnd(w)) return false;
    return true;
}

TEST(Runs, EveryRequestIsOneRunOfPartsAndEveryByteIsAskedForOnce) {
    const std::int32_t size = 72 * kPart - 300;
    const std::string content = contentOf(size, 17);
    FaultServer server([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(60s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));

    std::vector<std::pair<std::int64_t, std::int64_t>> ranges;
    for (const auto& request : gets(server)) {
        ASSERT_TRUE(request.range);
        EXPECT_EQ(request.range->first % kPart, 0) << "runs begin at a part";
        const std::int64_t end = request.range->second + 1;
        EXPECT_TRUE(end % kPart == 0 || end == size) << "runs end at a part";
        ranges.push_back(*request.range);
    }
    std::sort(ranges.begin(), ranges.end());
    std::int64_t next = 0;
    for (const auto& [first, last] : ranges) {
        EXPECT_EQ(first, next) << "no byte asked for twice or left out";
        next = last + 1;
    }
    EXPECT_EQ(next, size);
    EXPECT_LT(ranges.size(), 72u / 2) << "requests cover several parts each";
    EXPECT_LE(server.connectionCount(), DownloadInfo::kMaxWorkers);
}

// A run cut after its first part and 1000 bytes of the next: the first part
// is kept, and the run is asked again from the first byte not received.
TEST(Runs, ACutRunLosesNothingAndGoesOnFromItsFirstMissingByte) {
    const std::int32_t size = 72 * kPart;
    const std::string content = contentOf(size, 29);
    std::atomic<bool> cut{false};
    std::atomic<std::int64_t> cutFirst{-1};
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET" && spansParts(request, 2) && !cut.exchange(true)) {
            cutFirst = request.range->first;
            response.closeAfterBodyBytes = kPart + 1000;
        }
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(60s);
    ASSERT_TRUE(outcome.complete);
    ASSERT_GE(cutFirst.load(), 0);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));

    bool resumed = false;
    for (const auto& request : gets(server)) {
        if (request.range->first == cutFirst + kPart + 1000) resumed = true;
        if (request.range->first != cutFirst) {
            EXPECT_FALSE(request.range->first < cutFirst + kPart && request.range->second >= cutFirst)
                << "the part completed before the cut is never asked for again";
        }
    }
    EXPECT_TRUE(resumed);
}

// A 206 naming other bytes than the run asked for is refused before any of
// its body is taken, and the run is asked again.
TEST(Runs, ARunAnsweredForOtherBytesIsRefusedAndAskedAgain) {
    const std::int32_t size = 72 * kPart;
    const std::string content = contentOf(size, 31);
    std::atomic<bool> spoiled{false};
    std::atomic<std::int64_t> spoiledFirst{-1};
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET" && spansParts(request, 2) && !spoiled.exchange(true)) {
            // The first part's range and the run's body: a server that counts otherwise.
            const std::int64_t first = request.range->first;
            spoiledFirst = first;
            for (auto& [name, value] : response.headers)
                if (name == "Content-Range")
                    value = "bytes " + std::to_string(first) + "-" + std::to_string(first + kPart - 1) + "/" +
                            std::to_string(size);
            response.body.assign(response.body.size(), 'X');
        }
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(60s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    int asked = 0;
    for (const auto& request : gets(server)) asked += request.range->first == spoiledFirst ? 1 : 0;
    EXPECT_EQ(asked, 2);
}

// Stopped while runs are under way: the state on disk records the runs, every
// part it counts as done is on disk, and a later run asks for none of them.
TEST(Runs, TheStateSavedMidRunClaimsOnlyPartsOnDisk) {
    const std::int32_t size = 72 * kPart;
    const std::string content = contentOf(size, 37);
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        response.trickleChunk = 16 * 1024;
        response.trickleDelay = 10ms;
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    download.start();
    const auto deadline = Clock::now() + 30s;
    while (download.downloader.progressLength() < 30 * kPart && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    download.downloader.stop();

    DownloadInfo saved;
    ASSERT_TRUE(saved.parse(testsupport::readFileBytes(download.state)));
    bool longRun = false;
    for (std::int32_t w = 0; w < saved.workersCount(); ++w) longRun = longRun || saved.runEnd(w) - saved.currentPart(w) >= 2;
    EXPECT_TRUE(longRun) << "the runs under way are recorded";
    EXPECT_GT(saved.completedLength(), 0);
    const std::string onDisk = testsupport::readFileBytes(download.dest);
    std::vector<std::int32_t> done;
    for (std::int32_t p = 0; p < saved.partsCount(); ++p) {
        if (!isDone(saved, p)) continue;
        done.push_back(p);
        EXPECT_TRUE(onDisk.compare(static_cast<std::size_t>(p) * kPart, kPart, content, static_cast<std::size_t>(p) * kPart,
                                   kPart) == 0)
            << "part " << p;
    }

    const std::size_t before = gets(server).size();
    const Outcome outcome = download.run(60s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    const auto requests = gets(server);
    for (std::size_t i = before; i < requests.size(); ++i)
        for (std::int32_t p : done)
            EXPECT_FALSE(requests[i].range->first < std::int64_t{p + 1} * kPart &&
                         requests[i].range->second >= std::int64_t{p} * kPart)
                << "part " << p << " asked for again";
}

}  // namespace
}  // namespace enginetest
