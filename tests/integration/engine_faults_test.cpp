// The engine against servers that misbehave: answers that cost one counted
// error and are fetched again, the error limit, answers that end a run, the
// mirror walk, bounded stalls, stops at random moments and the continuation
// of a partly received part on the next mirror.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <map>
#include <random>
#include <set>
#include <string>

#include "downloader/transport_retry.h"
#include "tests/integration/engine_harness.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::TempDir;

void replaceHeader(HttpResponse& response, const std::string& name, const std::string& value) {
    for (auto& [headerName, headerValue] : response.headers)
        if (headerName == name) headerValue = value;
}

HttpResponse status(int code) {
    HttpResponse response;
    response.status = code;
    response.body = "status " + std::to_string(code);
    return response;
}

struct FaultCase {
    const char* name;
    // Turns the good answer to part 0 into the faulty one.
    std::function<void(HttpResponse&)> spoil;
};

class OneFault : public testing::TestWithParam<FaultCase> {};

// Part 0 is answered wrongly once; the engine counts one error, fetches the
// part again and completes the file.
TEST_P(OneFault, CostsOneErrorAndThePartIsFetchedAgain) {
    ShortStallBounds bounds;
    const std::int32_t size = 2 * kPart + 77;
    const std::string content = contentOf(size, 31);
    std::atomic<int> partZeroAnswers{0};
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET" && partOf(request) == 0 && partZeroAnswers++ == 0) GetParam().spoil(response);
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_Success);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    const auto parts = partsRequested(server);
    EXPECT_EQ(count(parts, 0), 2);
    EXPECT_EQ(count(parts, 1), 1);
    EXPECT_EQ(count(parts, 2), 1);
    EXPECT_LT(outcome.elapsed, 15s);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OneFault,
    testing::Values(
        FaultCase{"WrongContentLength",
                  [](HttpResponse& r) {
                      r.headers.emplace_back("Content-Length", std::to_string(r.body.size() - 1));
                      r.closeConnection = true;
                  }},
        FaultCase{"ShortBodyThenDrop", [](HttpResponse& r) { r.closeAfterBodyBytes = 100000; }},
        FaultCase{"ServerError", [](HttpResponse& r) { r = status(500); }},
        FaultCase{"StallAfterHeaders", [](HttpResponse& r) { r.stallForever = true; }},
        FaultCase{"StallBeforeAnswer", [](HttpResponse& r) { r.stallBeforeHeaders = 60s; }},
        FaultCase{"StallMidBody",
                  [](HttpResponse& r) {
                      r.trickleChunk = 50000;
                      r.trickleDelay = 60s;
                  }},
        FaultCase{"ForeignContentRange",
                  [](HttpResponse& r) { replaceHeader(r, "Content-Range", "bytes 524288-1048575/1048653"); }},
        FaultCase{"ContentRangeOfAnotherFileSize",
                  [](HttpResponse& r) { replaceHeader(r, "Content-Range", "bytes 0-524287/9999999"); }},
        FaultCase{"GarbageAnswer", [](HttpResponse& r) { r.rawResponse = "garbage\r\n\r\n"; }},
        FaultCase{"DropBeforeAnswer", [](HttpResponse& r) { r.rawResponse = " "; }}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

TEST(SlowServer, ATrickleThatKeepsMovingCompletes) {
    const std::int32_t size = 3 * kPart;
    const std::string content = contentOf(size, 41);
    FaultServer server(trickledRanges(content, 16 * 1024, 10ms));
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    EXPECT_EQ(partsRequested(server).size(), 3u) << "no part was abandoned as stalled";
}

struct LimitCase {
    int failures;
    bool complete;
    std::size_t requests;
};

class ErrorLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(ErrorLimit, ThreeErrorsSurviveTheFourthEndsTheRun) {
    const std::int32_t size = 1000;
    const std::string content = contentOf(size, 51);
    std::atomic<int> answered{0};
    FaultServer server([&](const HttpRequest& request) {
        if (request.method == "GET" && answered++ < GetParam().failures) return status(500);
        return testsupport::serveRange(request, content);
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.complete, GetParam().complete);
    EXPECT_EQ(outcome.lastRun, GetParam().complete ? DE_Success : DE_TooManyErrors);
    EXPECT_EQ(outcome.result, DE_Success) << "the walk itself ended normally";
    EXPECT_EQ(gets(server).size(), GetParam().requests);
    if (GetParam().complete) {
        EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, ErrorLimit,
                         testing::Values(LimitCase{1, true, 2}, LimitCase{3, true, 4}, LimitCase{4, false, 4},
                                         LimitCase{6, false, 4}),
                         [](const testing::TestParamInfo<LimitCase>& info) {
                             return "Failures" + std::to_string(info.param.failures);
                         });

TEST(ErrorLimit, ErrorsOfDifferentWorkersAddUp) {
    // Four parts, each answered wrongly once: the fourth error ends the run.
    const std::int32_t size = 4 * kPart;
    const std::string content = contentOf(size, 52);
    std::mutex lock;
    std::set<std::int32_t> spoiled;
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        std::lock_guard<std::mutex> guard(lock);
        if (request.method == "GET" && spoiled.insert(partOf(request)).second) response = status(500);
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_TooManyErrors);
}

// A cut-off body is a transport failure: it is fetched again after a pause,
// from where it was cut, and costs no counted error however often it happens.
TEST(ErrorLimit, BodiesCutShortAreNotCountedAndContinueWhereTheyStopped) {
    const std::int32_t size = 2 * kPart;
    const std::string content = contentOf(size, 53);
    std::atomic<int> cuts{0};
    FaultServer server([&](const HttpRequest& request) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET" && partOf(request) == 0 && cuts++ < 6) response.closeAfterBodyBytes = 1000;
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    std::vector<std::int64_t> starts;
    for (const auto& request : gets(server))
        if (partOf(request) == 0) starts.push_back(request.range->first);
    EXPECT_EQ(starts, (std::vector<std::int64_t>{0, 1000, 2000, 3000, 4000, 5000, 6000}));
}

struct EndingCase {
    const char* name;
    int status;
    DownloadResult result;
};

class RunEndingAnswer : public testing::TestWithParam<EndingCase> {};

TEST_P(RunEndingAnswer, EndsTheWalkWithoutTheNextMirror) {
    const std::int32_t size = 2 * kPart;
    const std::string content = contentOf(size, 61);
    FaultServer first([&](const HttpRequest&) {
        if (GetParam().status == 200) {
            HttpResponse whole;
            whole.body = content.substr(1);  // the Range is ignored, and it is not the file probed
            return whole;
        }
        return status(GetParam().status);
    });
    FaultServer second([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {first.url("f.bin"), second.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, GetParam().result);
    EXPECT_EQ(outcome.result, DE_Success);
    EXPECT_TRUE(gets(second).empty()) << "the walk ends on this answer";
    EXPECT_TRUE(std::filesystem::exists(download.state));
}

INSTANTIATE_TEST_SUITE_P(Answers, RunEndingAnswer,
                         testing::Values(EndingCase{"NotFound", 404, DE_HttpNotFound},
                                         EndingCase{"Gone", 410, DE_HttpGone},
                                         EndingCase{"RangeIgnored", 200, DE_RangeIgnored}),
                         [](const testing::TestParamInfo<EndingCase>& info) { return info.param.name; });

TEST(MirrorWalk, UnavailableFirstMirrorHandsOverToTheSecondKeepingVerifiedParts) {
    const std::int32_t size = 12 * kPart + 5000;  // 13 parts
    const std::string content = contentOf(size, 71);
    FaultServer first([&](const HttpRequest& request) {
        if (request.method == "GET" && partOf(request) == 11) {
            HttpResponse busy = status(503);
            busy.stallBeforeBody = 1500ms;  // the other parts are verified meanwhile
            return busy;
        }
        return testsupport::serveRange(request, content);
    });
    FaultServer second([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {first.url("f.bin"), second.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    EXPECT_EQ(partsRequested(second), std::vector<std::int32_t>{11}) << "verified parts are not fetched again";
}

TEST(MirrorWalk, TooManyErrorsOnTheFirstMirrorMovesOn) {
    const std::int32_t size = kPart + 1;
    const std::string content = contentOf(size, 72);
    FaultServer first([&](const HttpRequest&) { return status(500); });
    FaultServer second([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {first.url("f.bin"), second.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    EXPECT_GE(gets(first).size(), 4u);
}

TEST(MirrorWalk, PartlyReceivedPartContinuesFromItsKeptBytesOnTheNextMirror) {
    const std::int32_t size = 2 * kPart;
    const std::int32_t kept = 100000;
    const std::string content = contentOf(size, 81);
    FaultServer first([&](const HttpRequest& request) {
        if (request.method == "GET" && partOf(request) == 1) {
            HttpResponse busy = status(503);
            busy.stallBeforeBody = 700ms;  // part 0 has its first bytes by then
            return busy;
        }
        HttpResponse response = testsupport::serveRange(request, content);
        response.trickleChunk = kept;
        response.trickleDelay = 60s;
        return response;
    });
    FaultServer second([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    EngineDownload download(out.path(), size, {first.url("f.bin"), second.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    ASSERT_TRUE(outcome.complete);
    EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));
    const auto requests = gets(second);
    const auto partZero = std::find_if(requests.begin(), requests.end(),
                                       [](const HttpRequest& request) { return partOf(request) == 0; });
    ASSERT_NE(partZero, requests.end());
    ASSERT_TRUE(partZero->range);
    EXPECT_EQ(partZero->range->first, kept) << "the kept bytes are not fetched again";
    EXPECT_EQ(partZero->range->second, kPart - 1);
}

// The part's final answer carries no length; the redirect's own length (even
// one equal to the part's) describes the redirect's page and never stands in.
TEST(RedirectChain, TheRedirectsOwnLengthNeverStandsInForThePart) {
    const std::int32_t size = 1000;
    const std::string content = contentOf(size, 75);
    FaultServer server([&](const HttpRequest& request) {
        if (request.target == "/f.bin") {
            HttpResponse redirect;
            redirect.status = 302;
            redirect.headers = {{"Location", "/real.bin"}};
            redirect.body = std::string(static_cast<std::size_t>(size), 'r');
            return redirect;
        }
        HttpResponse response = testsupport::serveRange(request, content);
        response.autoContentLength = false;
        response.closeConnection = true;
        return response;
    });
    TempDir out;
    EngineDownload download(out.path(), size, {server.url("f.bin")});

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_TooManyErrors);
}

// The file changes on the server after the probe and part 0 (same length, new
// ETag): part 1 of the new version is refused each time, so the download can
// never complete as a mix of the two.
TEST(FileVersion, APartOfAnotherVersionIsNeverAssembled) {
    const std::string before = contentOf(2 * kPart, 76);
    const std::string after = contentOf(2 * kPart, 77);
    FaultServer server([&](const HttpRequest& request) {
        const bool changed = request.method == "GET" && partOf(request) == 1;
        HttpResponse response = testsupport::serveRange(request, changed ? after : before);
        response.headers.emplace_back("ETag", changed ? "\"v2\"" : "\"v1\"");
        return response;
    });
    HeaderList headers;
    std::string error;
    ASSERT_EQ(requestHeaders(server.url("f.bin"), {}, ProxySettings{}, headers, error), CURLE_OK) << error;
    TempDir out;
    EngineDownload download(out.path(), 2 * kPart, {server.url("f.bin")});
    download.downloader.setValidator(responseValidator(headers));
    EXPECT_EQ(download.downloader.validator(), "\"v1\"");

    const Outcome outcome = download.run(30s);

    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_TooManyErrors);
    EXPECT_GE(count(partsRequested(server), 1), 2) << "the refused part is fetched again";
}

TEST(Bounds, AConnectThatNeverCompletesEndsTheRunAfterTheOutageWindow) {
    ShortStallBounds bounds(1, 2);
    transfer::ScopedRetryPolicyForTesting shortWindow({100ms, 400ms, 2500ms, 1000ms});
    FullBacklogListener silent;
    TempDir out;
    EngineDownload download(out.path(), 1000, {silent.url("f.bin")});
    const Outcome outcome = download.run(30s);
    ASSERT_TRUE(outcome.ended);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(outcome.lastRun, DE_TooManyErrors);
    EXPECT_EQ(outcome.lastError, CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(outcome.elapsed, 15s);
}

TEST(Stop, AtRandomMomentsNeverHangsAndALaterRunCompletesTheFile) {
    const std::int32_t size = 16 * kPart;
    const std::string content = contentOf(size, 91);
    FaultServer server(trickledRanges(content, 32 * 1024, 40ms));
    std::random_device device;
    const unsigned seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> moment(0, 1200);

    for (int attempt = 0; attempt < 3; ++attempt) {
        TempDir out;
        EngineDownload download(out.path(), size, {server.url("f.bin")});
        download.start();
        std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
        const auto stopStart = Clock::now();
        download.downloader.stop();
        EXPECT_LT(Clock::now() - stopStart, 3s) << "a stop takes effect within one wait cycle";
        EXPECT_FALSE(download.downloader.isDownloading());
        EXPECT_TRUE(std::filesystem::exists(download.state));

        // Parts the dump kept must be continued, not fetched again from their start.
        std::map<std::int32_t, std::int32_t> keptByPart;
        const DownloadInfo& info = download.downloader.downloadInfo();
        for (std::int32_t w = 0; w < info.workersCount(); ++w)
            if (info.partDownloaded(w) > 0) keptByPart[info.currentPart(w)] = info.partDownloaded(w);
        const std::size_t before = gets(server).size();

        const Outcome outcome = download.run(60s);
        ASSERT_TRUE(outcome.ended);
        ASSERT_TRUE(outcome.complete);
        EXPECT_EQ(testsupport::sha256OfFile(download.dest), testsupport::sha256OfBytes(content));

        const auto requests = gets(server);
        for (const auto& [part, keptBytes] : keptByPart) {
            const auto resumed = std::find_if(requests.begin() + static_cast<std::ptrdiff_t>(before), requests.end(),
                                              [part = part](const HttpRequest& r) { return partOf(r) == part; });
            ASSERT_NE(resumed, requests.end()) << "part " << part;
            EXPECT_EQ(resumed->range->first, std::int64_t{part} * kPart + keptBytes) << "part " << part;
        }
    }
}

}  // namespace
}  // namespace enginetest
