// Checks the test harnesses against curl(1) where no product test would notice
// a fault of theirs: the helpers' own results, nginx's range switch and log,
// and the fault server's scripted misbehaviour (a fault that is not served
// would let an engine test pass without judging anything). Range serving,
// kept-alive connections, stopping, the proxies and HTTPS are exercised by
// the engine, front-end and segfetch tests themselves.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/test_env.h"

namespace testsupport {
namespace {
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ProcessResult curl(std::vector<std::string> args, std::chrono::milliseconds timeout = 15s) {
    args.insert(args.begin(), {"curl", "-sS", "--max-time", "10"});
    return runProcess(args, timeout);
}

// ---------------------------------------------------------------- test_env

TEST(TestEnv, RandomFilesAreDeterministicPerSeedAndExactlySized) {
    TempDir dir;
    struct Case { std::int64_t size; std::uint32_t seed; };
    for (const Case c : {Case{0, 1}, Case{7, 1}, Case{1048576 + 3, 1}, Case{1048576 + 3, 2}}) {
        writeRandomFile(dir / "a", c.size, c.seed);
        writeRandomFile(dir / "b", c.size, c.seed);
        EXPECT_EQ(std::filesystem::file_size(dir / "a"), static_cast<std::uintmax_t>(c.size));
        EXPECT_EQ(sha256OfFile(dir / "a"), sha256OfFile(dir / "b"));
        EXPECT_EQ(sha256OfFile(dir / "a"), sha256OfBytes(readFileBytes(dir / "a")));
    }
    writeRandomFile(dir / "b", 1048576 + 3, 1);
    EXPECT_NE(sha256OfFile(dir / "a"), sha256OfFile(dir / "b")) << "seed must change the content";
    // FIPS 180-2 example.
    EXPECT_EQ(sha256OfBytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(TestEnv, RunProcessReportsExitOutputAndTimeOut) {
    const auto ok = runProcess({"sh", "-c", "echo out; echo err >&2; echo $VORLANE_X; exit 3"}, 5s, {"VORLANE_X=x1"});
    EXPECT_EQ(ok.exitCode, 3);
    EXPECT_FALSE(ok.timedOut);
    EXPECT_EQ(ok.out, "out\nx1\n");
    EXPECT_EQ(ok.err, "err\n");

    // A descendant holding the pipes open must not outlive the time-out.
    const auto start = Clock::now();
    const auto slow = runProcess({"sh", "-c", "sleep 30 & sleep 30"}, 300ms);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.exitCode, -1);
    EXPECT_LT(Clock::now() - start, 5s);

    // A finished child whose leftover descendant keeps the pipes open.
    const auto leftStart = Clock::now();
    const auto left = runProcess({"sh", "-c", "sleep 30 & echo started"}, 20s);
    EXPECT_FALSE(left.timedOut);
    EXPECT_EQ(left.exitCode, 0);
    EXPECT_EQ(left.out, "started\n");
    EXPECT_LT(Clock::now() - leftStart, 10s);
}

// ---------------------------------------------------------------- nginx

TEST(NginxServer, ServesRangesWith206AndLogsThem) {
    TempDir root;
    writeRandomFile(root / "f.bin", 3 * 524288 + 11, 9);
    const std::string bytes = readFileBytes(root / "f.bin");
    NginxServer server(root.path());
    TempDir out;
    const auto r = curl({"-o", (out / "part").string(), "-w", "%{http_code}", "-r", "524288-1048575", server.url("f.bin")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "206");
    EXPECT_EQ(readFileBytes(out / "part"), bytes.substr(524288, 524288));
    EXPECT_NE(server.accessLog().find("\"bytes=524288-1048575\" 206 524288"), std::string::npos) << server.accessLog();
}

TEST(NginxServer, IgnoresRangesWhenTheyAreSwitchedOff) {
    TempDir root;
    writeRandomFile(root / "f.bin", 100000, 3);
    NginxOptions options;
    options.allowRanges = false;
    NginxServer server(root.path(), options);
    const auto r = curl({"-o", "/dev/null", "-w", "%{http_code} %{size_download}", "-r", "0-99", server.url("f.bin")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "200 100000");
}

// ---------------------------------------------------------------- fault server

TEST(FaultServer, AnswersAsScripted) {
    const std::string content(200000, 'x');
    struct Case {
        const char* name;
        HttpResponse response;
        std::vector<std::string> curlArgs;
        int expectedCurlExit;
        std::string expectedOut;
    };
    auto with = [&](auto change) { HttpResponse r; r.body = "hello"; change(r); return r; };
    const Case cases[] = {
        {"plain", with([](HttpResponse&) {}), {}, 0, "200 5"},
        {"cut short", with([&](HttpResponse& r) { r.body = content; r.closeAfterBodyBytes = 1000; }), {}, 18, "200 1000"},
        {"stall then body", with([](HttpResponse& r) { r.stallBeforeBody = 200ms; }), {}, 0, "200 5"},
        {"stall forever", with([](HttpResponse& r) { r.stallForever = true; }), {"--max-time", "1"}, 28, "200 0"},
        {"trickle", with([&](HttpResponse& r) { r.body = content; r.trickleChunk = 50000; r.trickleDelay = 10ms; }), {}, 0, "200 200000"},
        {"raw", with([](HttpResponse& r) { r.rawResponse = "HTTP/1.1 404 Gone Fishing\r\nContent-Length: 2\r\n\r\nno"; }), {}, 0, "404 2"},
        {"wrong length header", with([](HttpResponse& r) { r.headers = {{"Content-Length", "9"}}; r.closeConnection = true; }), {}, 18, "200 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server([&](const HttpRequest&) { return c.response; });
        std::vector<std::string> args{"-o", "/dev/null", "-w", "%{http_code} %{size_download}"};
        args.insert(args.end(), c.curlArgs.begin(), c.curlArgs.end());
        args.push_back(server.url("x"));
        const auto r = curl(args);
        EXPECT_EQ(r.exitCode, c.expectedCurlExit) << r.err;
        EXPECT_EQ(r.out, c.expectedOut);
    }
}

}  // namespace
}  // namespace testsupport
