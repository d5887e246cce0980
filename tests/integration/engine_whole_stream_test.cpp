// The engine against servers that ignore Range and send the whole file: the
// download goes on as one stream, a cut stream is asked again from its first
// missing byte, and a stopped stream's parts are continued by the next start.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "downloader/transport_retry.h"
#include "tests/integration/engine_harness.h"
#include "tests/support/nginx_server.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TempDir;

constexpr transfer::RetryPolicy kQuickRetry{50ms, 200ms, 10s, 10s};

// The answer of a server that ignores Range: 200 with the whole file.
HttpResponse whole(const std::string& content) {
    HttpResponse response;
    response.body = content;
    response.headers = {{"ETag", "\"v1\""}};
    return response;
}

// The stream's requests ask for more than one part; the workers' never do.
bool asksForTheStream(const HttpRequest& request) {
    return request.method == "GET" && request.range && request.range->second - request.range->first + 1 > kPart;
}

std::vector<std::int64_t> streamStarts(const FaultServer& server) {
    std::vector<std::int64_t> starts;
    for (const auto& request : gets(server))
        if (asksForTheStream(request)) starts.push_back(request.range->first);
    return starts;
}

TEST(WholeStream, NginxWithoutRangesIsDownloadedByteExact) {
    const std::int32_t size = 5 * kPart + 321;
    TempDir root, out;
    testsupport::writeRandomFile(root / "f.bin", size, 201);
    testsupport::NginxOptions options;
    options.allowRanges = false;
    testsupport::NginxServer server(root.path(), options);
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_Success);
    EXPECT_EQ(download.downloader.progressLength(), size);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfFile(root / "f.bin"));
}

struct CutCase {
    const char* name;
    bool rangeHonouredAfterTheCut;  // else the second stream starts over from byte 0
};

class CutStream : public testing::TestWithParam<CutCase> {};

TEST_P(CutStream, IsAskedAgainFromItsFirstMissingByteAndEndsByteExact) {
    transfer::ScopedRetryPolicyForTesting quick(kQuickRetry);
    const std::int32_t size = 6 * kPart + 99;
    const std::int32_t cut = 2 * kPart + kPart / 2;
    const std::string content = contentOf(size, 202);
    std::atomic<int> streams{0};
    FaultServer server([&](const HttpRequest& request) {
        if (asksForTheStream(request) && request.range->first > 0 && GetParam().rangeHonouredAfterTheCut)
            return testsupport::serveRange(request, content);
        HttpResponse response = whole(content);
        if (asksForTheStream(request) && streams++ == 0) response.closeAfterBodyBytes = cut;
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_Success);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    EXPECT_EQ(streamStarts(server), (std::vector<std::int64_t>{0, cut}));
}

INSTANTIATE_TEST_SUITE_P(Servers, CutStream,
                         testing::Values(CutCase{"RangeHonouredAfterTheCut", true},
                                         CutCase{"RangeStillIgnored", false}),
                         [](const testing::TestParamInfo<CutCase>& info) { return info.param.name; });

TEST(WholeStream, StoppedMidwayTheNextStartContinuesFromTheRecordedParts) {
    const std::int32_t size = 8 * kPart + 5;
    const std::string content = contentOf(size, 203);
    std::atomic<bool> slow{true};
    FaultServer server([&](const HttpRequest&) {
        HttpResponse response = whole(content);
        response.trickleChunk = slow ? 32 * 1024 : 0;
        response.trickleDelay = 30ms;
        return response;
    });
    TempDir out;
    {
        Start first(out.path(), server.url("f.bin"), "\"v1\"", size);
        EXPECT_FALSE(first.downloader.prepareStart());
        first.downloader.beginDownload();
        const auto deadline = Clock::now() + 30s;
        while (first.downloader.progressLength() < 2 * kPart + kPart / 3 && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        const auto stopStart = Clock::now();
        first.downloader.stop();
        EXPECT_LT(Clock::now() - stopStart, 3s) << "a stop takes effect within one wait cycle";
        ASSERT_FALSE(first.downloader.downloadInfo().isComplete());
    }
    DownloadInfo recorded;
    ASSERT_TRUE(recorded.parse(testsupport::readFileBytes(out / "out.bin.state")));
    ASSERT_GE(recorded.completedLength(), 2 * kPart) << "the parts the stream completed are recorded";
    std::int64_t firstMissing = size;
    for (std::int32_t w = 0; w < recorded.workersCount(); ++w)
        if (recorded.currentPart(w) < recorded.partsCount())
            firstMissing = std::min<std::int64_t>(firstMissing, std::int64_t{recorded.currentPart(w)} * kPart +
                                                                    recorded.partDownloaded(w));
    const std::size_t before = gets(server).size();

    slow = false;
    Start second(out.path(), server.url("f.bin"), "\"v1\"", size);
    ASSERT_TRUE(second.downloader.prepareStart());
    second.downloader.beginDownload();
    ASSERT_TRUE(second.downloader.waitForEnd(30s));

    EXPECT_TRUE(second.downloader.downloadInfo().isComplete());
    EXPECT_EQ(second.downloader.lastRunResult(), DE_Success);
    EXPECT_EQ(testsupport::sha256OfFile(second.dest), testsupport::sha256OfBytes(content));
    const auto requests = gets(server);
    const auto stream = std::find_if(requests.begin() + static_cast<std::ptrdiff_t>(before), requests.end(),
                                     asksForTheStream);
    ASSERT_NE(stream, requests.end());
    EXPECT_EQ(stream->range->first, firstMissing) << "the stream continues where the recorded parts end";
}

}  // namespace
}  // namespace enginetest
