// The engine's requests as runs of consecutive parts, against our fault
// server: what the wire shows (one range per request, every byte asked for
// once), a run cut on its way, a run answered for other bytes, and the
// resume state saved while runs are under way.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

// The first answer that covers several parts goes wrong once: the run loses
// nothing it had verified and is asked again from its first missing byte.
struct RunFault {
    const char* name;
    std::function<void(std::int64_t first, HttpResponse&)> spoil;
    std::int64_t askedAgainFrom;  // past the run's first byte
    int askedFromItsStart;        // requests beginning at the run's first byte
};

class RunFaults : public testing::TestWithParam<RunFault> {};

TEST_P(RunFaults, LoseNothingVerifiedAndAskAgainFromTheFirstMissingByte) {
    const std::int32_t size = 72 * kPart;
    const std::string content = contentOf(size, 29);
    std::atomic<bool> spoiled{false};
    std::atomic<std::int64_t> runFirst{-1};
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET" && spansParts(request, 2) && !spoiled.exchange(true)) {
            runFirst = request.range->first;
            GetParam().spoil(request.range->first, response);
        }
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(60s);
    ASSERT_TRUE(outcome.complete);
    ASSERT_GE(runFirst.load(), 0);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));

    const std::int64_t again = runFirst + GetParam().askedAgainFrom;
    int fromStart = 0;
    bool askedAgain = false;
    for (const auto& request : gets(server)) {
        fromStart += request.range->first == runFirst ? 1 : 0;
        askedAgain = askedAgain || request.range->first == again;
        if (request.range->first != runFirst) {
            EXPECT_FALSE(request.range->first < again && request.range->second >= runFirst)
                << "bytes verified before the fault are never asked for again";
        }
    }
    EXPECT_TRUE(askedAgain);
    EXPECT_EQ(fromStart, GetParam().askedFromItsStart);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RunFaults,
    testing::Values(
        // Cut after its first part and 1000 bytes of the next: the part is kept.
        RunFault{"CutOnItsWay", [](std::int64_t, HttpResponse& r) { r.closeAfterBodyBytes = kPart + 1000; },
                 kPart + 1000, 1},
        // A 206 naming the first part's bytes only, with a body of another
        // file: refused before any of it is written.
        RunFault{"AnsweredForOtherBytes",
                 [](std::int64_t first, HttpResponse& r) {
                     for (auto& [name, value] : r.headers)
                         if (name == "Content-Range")
                             value = "bytes " + std::to_string(first) + "-" + std::to_string(first + kPart - 1) +
                                     "/" + std::to_string(72 * kPart);
                     r.body.assign(r.body.size(), 'X');
                 },
                 0, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Stopped while runs are under way: the state on disk records the runs, every
// part it counts as done is on disk, and a later run asks for none of them.
TEST(Runs, TheStateSavedMidRunClaimsOnlyPartsOnDisk) {
    const std::int32_t size = 72 * kPart;
    const std::string content = contentOf(size, 37);
    FaultServer server(trickledRanges(content, 16 * 1024, 10ms));
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
