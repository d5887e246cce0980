// segfetch as scripts use it: whole downloads over HTTP and HTTPS (the test
// CA trusted only inside a private mount namespace), one exit code and one
// message per cause of failure, Ctrl-C with a saved state, progress output,
// and the proxy rules of the probe and the part requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/integration/engine_harness.h"
#include "tests/support/nginx_server.h"
#include "tests/support/proxy_server.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;
using testsupport::NginxOptions;
using testsupport::NginxServer;
using testsupport::ProcessResult;
using testsupport::TempDir;

std::string segfetch() { return testsupport::toolPath("segfetch").string(); }

ProcessResult runSegfetch(std::vector<std::string> arguments, const std::vector<std::string>& extraEnv = {},
                          std::chrono::milliseconds timeout = 60s) {
    arguments.insert(arguments.begin(), segfetch());
    // No proxy from the surroundings unless the test names one.
    std::vector<std::string> environment = extraEnv;
    for (const std::string name : {"http_proxy", "HTTP_PROXY", "https_proxy", "no_proxy", "NO_PROXY"}) {
        const bool named = std::any_of(extraEnv.begin(), extraEnv.end(),
                                       [&](const std::string& entry) { return entry.rfind(name + "=", 0) == 0; });
        if (!named) environment.push_back(name + "=");
    }
    return testsupport::runProcess(arguments, timeout, environment);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Segfetch, HelpDocumentsEveryExitCode) {
    const ProcessResult result = runSegfetch({"--help"});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_TRUE(contains(result.out, "segfetch [--fresh] [--proxy HOST:PORT] OUTPUT URL [MIRROR...]"));
    for (const char* code : {"    0  ", "    3  ", "    5  ", "    7  ", "    8  ", "    9  ", "   10  ", "  130  "})
        EXPECT_TRUE(contains(result.out, code)) << code;
}

TEST(Segfetch, AWrongCommandLineIsExitTwo) {
    const std::vector<std::vector<std::string>> lines{
        {}, {"out.bin"}, {"--proxy"}, {"--proxy", "nocolon", "out.bin", "http://127.0.0.1:9/"},
        {"--frobnicate", "out.bin", "http://127.0.0.1:9/"}};
    for (const auto& line : lines) {
        const ProcessResult result = runSegfetch(line);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_TRUE(contains(result.err, "usage: segfetch"));
    }
}

TEST(Segfetch, DownloadsOverHttpAndReportsProgress) {
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", 3 * kPart + 17, 101);
    NginxServer server(root.path());
    TempDir out;

    const ProcessResult result = runSegfetch({(out / "f.bin").string(), server.url("f.bin")});

    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(testsupport::sha256OfFile(out / "f.bin"), testsupport::sha256OfFile(root / "f.bin"));
    EXPECT_TRUE(std::filesystem::exists(out / "f.bin.state"));
    // Not a terminal: plain lines, the last one complete.
    EXPECT_TRUE(contains(result.err, "segfetch: 100.0%")) << result.err;
    EXPECT_FALSE(contains(result.err, "\r")) << "no in-place redraw without a terminal";
}

struct RedirectCase {
    const char* name;
    const char* path;
    int exitCode;  // 0: the file arrives byte-exact
};

class SegfetchRedirect : public testing::TestWithParam<RedirectCase> {};

// Download addresses that redirect to the file: the size and every part come
// from the final answer of the chain, never from a redirect's own page.
TEST_P(SegfetchRedirect, ReachesTheFileOrFailsClearly) {
    TempDir root;
    testsupport::writeRandomFile(root / "file.bin", 2 * kPart + 17, 107);
    for (const char* copy : {"head.bin", "get.bin"}) std::filesystem::copy_file(root / "file.bin", root / copy);
    NginxServer mirror(root.path());
    NginxOptions options;
    options.serverDirectives =
        "    location = /r302 { return 302 /file.bin; }\n"
        "    location = /c1 { return 301 /c2; }\n    location = /c2 { return 307 /c3; }\n"
        "    location = /c3 { return 308 /c4; }\n    location = /c4 { return 302 /c5; }\n"
        "    location = /c5 { return 301 /file.bin; }\n"
        "    location = /s1 { return 302 /c1; }\n"
        "    location = /loop { return 302 /loop; }\n"
        "    location = /head.bin { if ($request_method = HEAD) { return 302 /file.bin; } }\n"
        "    location = /get.bin { if ($request_method = GET) { return 307 /file.bin; } }\n"
        "    location = /away { return 302 " + mirror.url("file.bin") + "; }\n";
    NginxServer server(root.path(), options);
    TempDir out;

    const ProcessResult result = runSegfetch({(out / "f.bin").string(), server.url(GetParam().path)});

    ASSERT_EQ(result.exitCode, GetParam().exitCode) << result.err;
    if (GetParam().exitCode == 0) {
        EXPECT_EQ(testsupport::sha256OfFile(out / "f.bin"), testsupport::sha256OfFile(root / "file.bin"));
    } else {
        EXPECT_TRUE(contains(result.err, "segfetch: too many redirects")) << result.err;
        EXPECT_FALSE(std::filesystem::exists(out / "f.bin"));
    }
}

INSTANTIATE_TEST_SUITE_P(Chains, SegfetchRedirect,
                         testing::Values(RedirectCase{"Found", "r302", 0},
                                         RedirectCase{"FiveHopsOf301307308302", "c1", 0},
                                         RedirectCase{"OnlyTheHeadRequest", "head.bin", 0},
                                         RedirectCase{"OnlyThePartRequests", "get.bin", 0},
                                         RedirectCase{"ToAnotherHostAndPort", "away", 0},
                                         RedirectCase{"SixHops", "s1", 3}, RedirectCase{"Loop", "loop", 3}),
                         [](const testing::TestParamInfo<RedirectCase>& info) { return info.param.name; });

TEST(Segfetch, RedrawsOneLineOnATerminal) {
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", 2 * kPart, 102);
    NginxServer server(root.path());
    TempDir out;
    // script(1) gives the tool a pseudo-terminal and copies what it shows.
    const std::string command = segfetch() + " " + (out / "f.bin").string() + " " + server.url("f.bin");
    const ProcessResult result = testsupport::runProcess({"script", "-qefc", command, "/dev/null"}, 60s);
    ASSERT_EQ(result.exitCode, 0) << result.out;
    EXPECT_TRUE(contains(result.out, "\r\x1b[K")) << result.out;
    EXPECT_TRUE(contains(result.out, "100.0%")) << result.out;
    EXPECT_TRUE(contains(result.out, "MiB/s")) << result.out;
    EXPECT_TRUE(contains(result.out, "ETA")) << result.out;
}

TEST(Segfetch, HttpsWorksWithTheTestCaTrustedAndFailsWithoutIt) {
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", 2 * kPart + 5, 103);
    NginxOptions options;
    options.https = true;
    NginxServer server(root.path(), options);
    TempDir out;

    const ProcessResult inside = testsupport::runTrustingCa(
        server.caCertificate(), {segfetch(), (out / "f.bin").string(), server.url("f.bin")}, 60s);
    ASSERT_EQ(inside.exitCode, 0) << inside.err;
    EXPECT_EQ(testsupport::sha256OfFile(out / "f.bin"), testsupport::sha256OfFile(root / "f.bin"));

    // Verification is libcurl's default: outside the namespace the CA is unknown.
    const ProcessResult outside = runSegfetch({(out / "g.bin").string(), server.url("f.bin")});
    EXPECT_EQ(outside.exitCode, 3);
    EXPECT_TRUE(contains(outside.err, "connection failure: SSL certificate problem")) << outside.err;
    EXPECT_FALSE(std::filesystem::exists(out / "g.bin"));
}

// An https address is never left for plain http: a redirect there is
// refused, for the probe and for the parts alike, and plain http sees nothing.
TEST(Segfetch, AnHttpsAddressIsNeverRedirectedToPlainHttp) {
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", kPart + 5, 106);
    NginxServer plain(root.path());
    const std::string downgrade = "return 302 " + plain.url("f.bin") + ";";
    NginxOptions options;
    options.https = true;
    options.serverDirectives = "location = /all.bin { " + downgrade + " }\n" +
                               "location = /parts.bin { if ($request_method = GET) { " + downgrade +
                               " } try_files /f.bin =404; }\n";
    NginxServer secure(root.path(), options);
    TempDir out;
    const struct {
        const char* path;
        int exitCode;
        const char* message;
    } cases[] = {{"all.bin", 3, "(libcurl error 1)"}, {"parts.bin", 9, "too many errors; last libcurl error 1: "}};
    for (const auto& c : cases) {
        const ProcessResult result = testsupport::runTrustingCa(
            secure.caCertificate(), {segfetch(), (out / c.path).string(), secure.url(c.path)}, 60s);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.path << result.err;
        EXPECT_TRUE(contains(result.err, c.message)) << c.path << result.err;
    }
    EXPECT_EQ(plain.accessLog(), "");
}

// A network switch: every connection is reset for ten seconds, then the
// server answers again; the file arrives whole.
TEST(Segfetch, EveryConnectionResetForTenSecondsThenAGoodServerGivesTheExactFile) {
    const std::string content = contentOf(3 * kPart + 10, 105);
    std::mutex lock;
    std::optional<Clock::time_point> firstGet;
    FaultServer server([&](const HttpRequest& request) {
        if (request.method == "GET") {
            std::lock_guard<std::mutex> guard(lock);
            if (!firstGet) firstGet = Clock::now();
            if (Clock::now() - *firstGet < 10s) {
                HttpResponse reset;
                reset.resetConnection = true;
                return reset;
            }
        }
        return testsupport::serveRange(request, content);
    });
    TempDir out;
    const ProcessResult result = runSegfetch({(out / "f.bin").string(), server.url("f.bin")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(testsupport::readFileBytes(out / "f.bin") == content);
}

struct CauseCase {
    const char* name;
    std::function<HttpResponse(const HttpRequest&, const std::string&)> answer;
    int exitCode;
    const char* message;
};

class SegfetchCause : public testing::TestWithParam<CauseCase> {};

TEST_P(SegfetchCause, HasItsOwnExitCodeAndMessage) {
    const CauseCase& c = GetParam();
    const std::string content = contentOf(kPart + 10, 104);
    FaultServer server([&](const HttpRequest& request) { return c.answer(request, content); });
    TempDir out;
    const ProcessResult result = runSegfetch({(out / "f.bin").string(), server.url("f.bin"), server.url("g.bin")});
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    // One line names the cause.
    EXPECT_TRUE(contains(result.err, std::string("segfetch: ") + c.message)) << result.err;
    if (c.exitCode == 0) {
        EXPECT_TRUE(testsupport::readFileBytes(out / "f.bin") == content);
    }
}

HttpResponse withStatus(int status) {
    HttpResponse response;
    response.status = status;
    response.body = "page";
    return response;
}

// A header line written without the optional blank after its colon.
HttpResponse rawWithoutBlanks(const std::string& status, const std::string& body, std::size_t length) {
    HttpResponse response;
    response.rawResponse = "HTTP/1.1 " + status + "\r\nContent-Length:" + std::to_string(length) + "\r\n\r\n" + body;
    return response;
}

// HEAD is answered well; the part requests get `change` applied.
std::function<HttpResponse(const HttpRequest&, const std::string&)> parts(std::function<void(HttpResponse&)> change) {
    return [change](const HttpRequest& request, const std::string& content) {
        HttpResponse response = testsupport::serveRange(request, content);
        if (request.method == "GET") change(response);
        return response;
    };
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SegfetchCause,
    testing::Values(
        CauseCase{"HeadNotFound", [](const HttpRequest&, const std::string&) { return withStatus(404); }, 5,
                  "server answered 404"},
        CauseCase{"HeadGone", [](const HttpRequest&, const std::string&) { return withStatus(410); }, 6,
                  "server answered 410"},
        CauseCase{"HeadServerError", [](const HttpRequest&, const std::string&) { return withStatus(500); }, 13,
                  "server answered 500"},
        CauseCase{"NoSize",
                  [](const HttpRequest&, const std::string&) {
                      HttpResponse response;
                      response.autoContentLength = false;
                      response.closeConnection = true;
                      return response;
                  },
                  4, "server gave no usable size"},
        CauseCase{"PartsNotFound", parts([](HttpResponse& r) { r = withStatus(404); }), 5, "server answered 404"},
        CauseCase{"PartsGone", parts([](HttpResponse& r) { r = withStatus(410); }), 6, "server answered 410"},
        CauseCase{"UnavailableOnEveryMirror", parts([](HttpResponse& r) { r = withStatus(503); }), 7,
                  "server answered 503"},
        CauseCase{"RangesIgnored",
                  [](const HttpRequest& request, const std::string& content) {
                      HttpResponse response;
                      response.body = request.method == "GET" ? content : "";
                      if (request.method != "GET") response.headers = {{"Content-Length", std::to_string(content.size())}};
                      return response;
                  },
                  0, "100.0%"},
        CauseCase{"RangesIgnoredForAnotherLength",
                  [](const HttpRequest& request, const std::string& content) {
                      HttpResponse response;
                      response.body = request.method == "GET" ? content + "x" : "";
                      if (request.method != "GET") response.headers = {{"Content-Length", std::to_string(content.size())}};
                      return response;
                  },
                  8, "server ignores range requests and answered 200 with another length or version of the file"},
        CauseCase{"TooManyErrors", parts([](HttpResponse& r) { r = withStatus(500); }), 9,
                  "too many errors; the server's answers were wrong (status, length, range or file version)"},
        // The file changed on the server after the probe and part 0: part 1
        // comes from the new version and must never complete a mix.
        CauseCase{"FileChangedMidway",
                  [](const HttpRequest& request, const std::string& content) {
                      const bool changed = request.method == "GET" && partOf(request) == 1;
                      HttpResponse response = testsupport::serveRange(request, changed ? contentOf(kPart + 10, 9) : content);
                      response.headers.emplace_back("ETag", changed ? "\"v2\"" : "\"v1\"");
                      return response;
                  },
                  9, "too many errors; the server's answers were wrong (status, length, range or file version)"},
        // Lengths without a blank after the colon, and no Content-Range.
        CauseCase{"LengthsWithoutBlanks",
                  [](const HttpRequest& request, const std::string& content) {
                      if (request.method == "HEAD") return rawWithoutBlanks("200 OK", "", content.size());
                      const auto [first, last] = request.range.value_or(std::pair<std::int64_t, std::int64_t>{0, 0});
                      const std::string bytes = content.substr(static_cast<std::size_t>(first),
                                                               static_cast<std::size_t>(last - first + 1));
                      return rawWithoutBlanks("206 Partial Content", bytes, bytes.size());
                  },
                  0, "100.0%"}),
    [](const testing::TestParamInfo<CauseCase>& info) { return info.param.name; });

TEST(Segfetch, NoServerIsAConnectionFailureWithLibcurlsText) {
    TempDir out;
    const std::string url = "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) + "/f.bin";
    const ProcessResult result = runSegfetch({(out / "f.bin").string(), url});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_TRUE(contains(result.err, "segfetch: connection failure: Failed to connect")) << result.err;
}

struct OutputCase {
    const char* name;
    // Makes what the case needs in `dir` and returns the OUTPUT argument.
    std::function<std::string(const std::filesystem::path& dir)> prepare;
    int exitCode;
    const char* message;
};

class SegfetchOutput : public testing::TestWithParam<OutputCase> {};

// What a directory holds: names with file contents, "<dir>" for directories.
std::map<std::string, std::string> listing(const std::filesystem::path& dir) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
        entries[entry.path().string()] = entry.is_directory() ? "<dir>" : testsupport::readFileBytes(entry.path());
    return entries;
}

TEST_P(SegfetchOutput, ThatCannotBeWrittenIsNamedAndNothingThereChanges) {
    const std::string content = contentOf(1000, 105);
    FaultServer server([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    const std::string output = GetParam().prepare(out.path());
    const auto before = listing(out.path());

    const ProcessResult result = runSegfetch({output, server.url("f.bin")});

    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.err;
    EXPECT_TRUE(contains(result.err, GetParam().message)) << result.err;
    const auto after = listing(out.path());
    for (const auto& [name, what] : before) {
        ASSERT_TRUE(after.count(name)) << name;
        EXPECT_TRUE(after.at(name) == what) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SegfetchOutput,
    testing::Values(
        OutputCase{"MissingDirectory", [](const std::filesystem::path& dir) { return (dir / "missing" / "f.bin").string(); },
                   10, "cannot write "},
        OutputCase{"StateTakenByADirectory",
                   [](const std::filesystem::path& dir) {
                       std::filesystem::create_directories(dir / "f.bin.state");
                       return (dir / "f.bin").string();
                   },
                   11, ".state"},
        OutputCase{"AnEmptyDirectory",
                   [](const std::filesystem::path& dir) {
                       std::filesystem::create_directories(dir / "f.bin");
                       return (dir / "f.bin").string();
                   },
                   10, "(it is a directory)"},
        // Rewritten, the name would be that of the existing f.bin.
        OutputCase{"NotUtf8",
                   [](const std::filesystem::path& dir) {
                       std::ofstream(dir / "f.bin") << "keep";
                       return (dir / "f\xff.bin").string();
                   },
                   2, "OUTPUT is not valid UTF-8"}),
    [](const testing::TestParamInfo<OutputCase>& info) { return info.param.name; });

TEST(Segfetch, AFailedWriteIsNeverReportedAsComplete) {
    // The file exists at full size (so it is reused, not allocated); writes
    // past 1 MiB then fail with EFBIG under the file-size limit.
    const std::int32_t size = 4 * kPart;
    const std::string content = contentOf(size, 106);
    FaultServer server([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    TempDir out;
    {
        std::ofstream file(out / "f.bin", std::ios::binary);
        file << std::string(static_cast<std::size_t>(size), 'M');
    }
    const ProcessResult result = testsupport::runProcess(
        {"prlimit", "--fsize=1048576", segfetch(), (out / "f.bin").string(), server.url("f.bin")}, 60s);
    EXPECT_EQ(result.exitCode, 10) << result.err;
    EXPECT_TRUE(contains(result.err, "a write to it failed")) << result.err;
}

TEST(Segfetch, InterruptSavesTheStateAndALaterRunCompletes) {
    TempDir root;
    const std::int32_t size = 8 * kPart;
    testsupport::writeRandomFile(root / "f.bin", size, 107);
    NginxOptions slow;
    slow.limitRate = "256k";
    NginxServer server(root.path(), slow);
    TempDir out;

    testsupport::ChildProcess child({segfetch(), (out / "f.bin").string(), server.url("f.bin")}, {},
                                    out / "segfetch.log");
    std::this_thread::sleep_for(800ms);
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10s), 130) << testsupport::readFileBytes(out / "segfetch.log");
    EXPECT_TRUE(contains(testsupport::readFileBytes(out / "segfetch.log"), "segfetch: interrupted"));
    EXPECT_TRUE(std::filesystem::exists(out / "f.bin.state"));
    EXPECT_EQ(std::filesystem::file_size(out / "f.bin"), static_cast<std::uintmax_t>(size));

    NginxServer fast(root.path());
    const ProcessResult again = runSegfetch({(out / "f.bin").string(), fast.url("f.bin")});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(testsupport::sha256OfFile(out / "f.bin"), testsupport::sha256OfFile(root / "f.bin"));
}

TEST(Segfetch, SigtermStopsCleanlyToo) {
    TempDir root;
    testsupport::writeRandomFile(root / "f.bin", 8 * kPart, 108);
    NginxOptions slow;
    slow.limitRate = "256k";
    NginxServer server(root.path(), slow);
    TempDir out;
    testsupport::ChildProcess child({segfetch(), (out / "f.bin").string(), server.url("f.bin")}, {},
                                    out / "segfetch.log");
    std::this_thread::sleep_for(600ms);
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(10s), 130) << testsupport::readFileBytes(out / "segfetch.log");
}

TEST(SegfetchProxy, AnExplicitProxyCarriesTheProbeAndEveryPart) {
    const std::string content = contentOf(2 * kPart, 109);
    FaultServer origin([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    testsupport::TinyProxy proxy;
    TempDir out;
    const ProcessResult result = runSegfetch({"--proxy", proxy.address(), (out / "f.bin").string(), origin.url("f.bin")});
    ASSERT_EQ(result.exitCode, 0) << result.err << proxy.log();
    EXPECT_EQ(testsupport::sha256OfFile(out / "f.bin"), testsupport::sha256OfBytes(content));
    const std::string log = proxy.log();
    EXPECT_TRUE(contains(log, "HEAD " + origin.url("f.bin"))) << log;
    EXPECT_TRUE(contains(log, "GET " + origin.url("f.bin"))) << log;
}

TEST(SegfetchProxy, AnEnvironmentProxyServesTheProbeButNeverThePartRequests) {
    const std::string content = contentOf(2 * kPart, 110);
    FaultServer origin([&](const HttpRequest& request) { return testsupport::serveRange(request, content); });
    testsupport::TinyProxy proxy;
    TempDir out;
    const ProcessResult result = runSegfetch({(out / "f.bin").string(), origin.url("f.bin")},
                                             {"http_proxy=http://" + proxy.address()});
    ASSERT_EQ(result.exitCode, 0) << result.err << proxy.log();
    const std::string log = proxy.log();
    EXPECT_TRUE(contains(log, "HEAD " + origin.url("f.bin"))) << log;
    EXPECT_FALSE(contains(log, "GET ")) << "part requests switch every proxy off";
    EXPECT_EQ(gets(origin).size(), 2u);
}

}  // namespace
}  // namespace enginetest
