// The engine when the network or the disk fails under it: a server that goes
// away mid-download and comes back on its port, a dead first mirror, a server
// gone for good, a stop during the pause between tries, and a destination
// whose writes start to fail (a file-size limit plays the full disk).
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <memory>

#include "downloader/transport_retry.h"
#include "tests/integration/engine_harness.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TempDir;

// 32 KiB every 50 ms per connection: a download of many parts takes seconds.
testsupport::Handler slowly(const std::string& content) { return trickledRanges(content, 32 * 1024, 50ms); }

bool waitForProgress(Downloader& downloader, std::int32_t bytes) {
    const auto deadline = Clock::now() + 20s;
    while (downloader.progressLength() < bytes && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    return downloader.progressLength() >= bytes;
}

// Watches the published progress until `until` holds or 60 s pass; false
// when it ever went down.
bool progressNeverFell(Downloader& downloader, const std::function<bool()>& until) {
    std::int32_t last = downloader.progressLength();
    bool fell = false;
    for (const auto deadline = Clock::now() + 60s; !until() && Clock::now() < deadline;) {
        const std::int32_t now = downloader.progressLength();
        fell = fell || now < last;
        last = now;
        std::this_thread::sleep_for(10ms);
    }
    return !fell;
}

TEST(Outage, AServerDownForSecondsMidDownloadThenBackGivesTheExactFile) {
    const std::int32_t size = 16 * kPart;
    const std::string content = contentOf(size, 201);
    auto server = std::make_unique<FaultServer>(slowly(content));
    const std::uint16_t port = server->port();
    TempDir out;
    EngineDownload download(out.path(), size, {server->url("f.bin")});
    download.start();
    ASSERT_TRUE(waitForProgress(download.downloader, kPart));

    server.reset();  // every transfer cut, every new connection refused
    const auto back = Clock::now() + 3s;
    bool pauseShown = false;
    EXPECT_TRUE(progressNeverFell(download.downloader, [&] {
        // The window counts down to the next try: one that lies ahead.
        const auto pauseEnd = download.downloader.outagePauseEnd();
        if (pauseEnd && *pauseEnd > Clock::now() - 50ms) pauseShown = true;
        return Clock::now() >= back;
    }));
    EXPECT_TRUE(pauseShown);
    FaultServer restarted([&](const HttpRequest& request) { return testsupport::serveRange(request, content); },
                          port);
    EXPECT_TRUE(progressNeverFell(download.downloader, [&] { return !download.downloader.isDownloading(); }));

    const Outcome outcome = download.wait();
    ASSERT_TRUE(outcome.complete) << outcome.lastRun;
    EXPECT_FALSE(download.downloader.outagePauseEnd());
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    const auto requests = gets(restarted);
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
                            [](const HttpRequest& request) { return request.range->first % kPart != 0; }))
        << "parts cut off on their way continue where they were";
}

TEST(Outage, ADeadFirstMirrorHandsOverToTheSecondWithinTenSeconds) {
    const std::int32_t size = 2 * kPart + 9;
    const std::string content = contentOf(size, 202);
    const std::uint16_t dead = testsupport::freeLoopbackPort();
    FaultServer second([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size,
                            {"http://127.0.0.1:" + std::to_string(dead) + "/f.bin", second.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    EXPECT_LT(outcome.elapsed, 10s);
}

TEST(Outage, AServerGoneForGoodEndsTheRunOnceTheOutageWindowHasPassed) {
    const transfer::RetryPolicy policy{50ms, 200ms, 2000ms, 500ms};
    transfer::ScopedRetryPolicyForTesting shortWindow(policy);
    const std::int32_t size = 16 * kPart;
    const std::string content = contentOf(size, 203);
    auto server = std::make_unique<FaultServer>(slowly(content));
    TempDir out;
    EngineDownload download(out.path(), size, {server->url("f.bin")});
    download.start();
    ASSERT_TRUE(waitForProgress(download.downloader, kPart));
    server.reset();
    const auto gone = Clock::now();

    const Outcome outcome = download.wait();
    const auto lasted = Clock::now() - gone;
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_TooManyErrors);
    EXPECT_TRUE(transfer::isTransportFailure(outcome.lastError)) << outcome.lastError;
    // Not before the window (the last byte came shortly before the server
    // went), and at most one longest pause after it.
    EXPECT_GT(lasted, policy.outageWindow - 200ms);
    EXPECT_LT(lasted, policy.outageWindow + 3s);
}

TEST(Outage, AStopDuringThePauseEndsTheRunAtOnce) {
    const std::uint16_t dead = testsupport::freeLoopbackPort();
    TempDir out;
    EngineDownload download(out.path(), 3 * kPart, {"http://127.0.0.1:" + std::to_string(dead) + "/f.bin"});
    download.start();
    std::this_thread::sleep_for(2s);  // the pause after the third try runs to 3.5 s
    ASSERT_TRUE(download.downloader.isDownloading());
    const auto stopping = Clock::now();
    download.downloader.stop();
    EXPECT_LT(Clock::now() - stopping, 1s);
    EXPECT_EQ(download.downloader.lastRunResult(), DE_Stopped);
}

// Writes beyond `bytes` fail with EFBIG instead of raising SIGXFSZ, for this
// process only, until the object goes.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = SIG_DFL;
};

TEST(FailedWrite, EndsTheRunAtOnceAndTheNextStartFetchesOnlyWhatWasNotDurable) {
    const std::int32_t parts = 32;
    const std::string content = contentOf(parts * kPart, 204);
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        response.headers.emplace_back("ETag", "\"v1\"");
        // The first twelve parts are written and flushed (the writer flushes
        // every 250 ms) long before the later ones arrive.
        if (request.method == "GET" && partOf(request) >= 12) response.stallBeforeBody = 1500ms;
        return response;
    });
    TempDir out;
    const auto start = [&](EngineDownload& download) {
        download.downloader.setValidator("\"v1\"");
        return download.downloader.prepareStart();
    };

    EngineDownload first(out.path(), parts * kPart, {server.url("f.bin")});
    start(first);
    // At full size already, so that only the part writes meet the limit.
    std::ofstream(first.dest, std::ios::binary).close();
    std::filesystem::resize_file(first.dest, parts * kPart);
    Outcome outcome;
    {
        FileSizeLimit limit(14 * static_cast<rlim_t>(kPart));
        outcome = first.run();
    }
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_DestWriteError);
    EXPECT_TRUE(first.downloader.destinationWriteFailed());
    const std::size_t firstRequests = gets(server).size();
    EXPECT_LT(firstRequests, static_cast<std::size_t>(parts)) << "the run went on after the failed write";

    const std::string keptState = testsupport::readFileBytes(first.state);
    DownloadInfo kept;
    ASSERT_TRUE(kept.parse(keptState));
    std::int64_t keptBytes = kept.completedLength();
    for (std::int32_t w = 0; w < kept.workersCount(); ++w) keptBytes += kept.partDownloaded(w);
    EXPECT_GE(keptBytes, 12 * kPart) << "the parts flushed before the failure are still claimed";

    EngineDownload second(out.path(), parts * kPart, {server.url("f.bin")});
    std::ofstream(second.state, std::ios::binary | std::ios::trunc) << keptState;  // the harness saved a fresh one
    ASSERT_TRUE(start(second));
    const Outcome resumed = second.run();
    ASSERT_TRUE(resumed.complete);
    EXPECT_EQ(testsupport::sha256OfFile(second.dest), testsupport::sha256OfBytes(content));
    std::int64_t fetched = 0;
    const auto requests = gets(server);
    for (auto it = requests.begin() + static_cast<std::ptrdiff_t>(firstRequests); it != requests.end(); ++it)
        fetched += it->range->second - it->range->first + 1;
    EXPECT_EQ(fetched, parts * kPart - keptBytes) << "only what was not durable is fetched again";
}

}  // namespace
}  // namespace enginetest
