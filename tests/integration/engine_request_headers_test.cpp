// The HEAD probe against real sockets: what it sends, the records it hands
// back across a redirect chain, HTTP errors as records, and transport
// failures as libcurl codes with the output list untouched.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "app/proxy_discovery.h"

#include "tests/integration/engine_harness.h"

namespace enginetest {
namespace {

using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;

TEST(RequestHeaders, SendsOneHeadWithTheCallersLinesFirst) {
    FaultServer server([](const HttpRequest&) {
        HttpResponse response;
        response.body = "12345";
        return response;
    });
    HeaderList headers;
    std::string error = "stale";
    const CURLcode code = requestHeaders(server.url("f.bin"), {"X-One: 1", "X-Two: 2"}, ProxySettings{}, headers, error);

    ASSERT_EQ(code, CURLE_OK);
    EXPECT_TRUE(error.empty());
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "HEAD");
    const auto& lines = requests[0].rawHeaderLines;
    const auto position = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    ASSERT_LT(position("X-One: 1"), static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_LT(position("X-One: 1"), position("X-Two: 2"));
    EXPECT_LT(position("X-Two: 2"), position("User-Agent: Vorlane Downloader"));
    EXPECT_LT(position("User-Agent: Vorlane Downloader"), static_cast<std::ptrdiff_t>(lines.size()));
    EXPECT_EQ(requests[0].headers.count("expect"), 0u);
    EXPECT_FALSE(requests[0].range.has_value());

    // The status line, the length among the others, and the blank line that ends the block.
    ASSERT_FALSE(headers.empty());
    EXPECT_EQ(headers.front(), (HeaderRecord{HK_Status, "200"}));
    EXPECT_NE(std::find(headers.begin(), headers.end(), HeaderRecord{HK_ContentLength, "5"}), headers.end());
    EXPECT_EQ(headers.back(), HeaderRecord{});
}

struct StatusCase {
    int status;
    const char* text;
};

class RequestHeadersStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(RequestHeadersStatus, AnHttpErrorIsARecordNotAFailure) {
    FaultServer server([](const HttpRequest&) {
        HttpResponse response;
        response.status = GetParam().status;
        response.body = "error page";
        return response;
    });
    HeaderList headers;
    std::string error;
    ASSERT_EQ(requestHeaders(server.url("f.bin"), {}, ProxySettings{}, headers, error), CURLE_OK);
    ASSERT_FALSE(headers.empty());
    EXPECT_EQ(headers.front(), (HeaderRecord{HK_Status, GetParam().text}));
}

INSTANTIATE_TEST_SUITE_P(Codes, RequestHeadersStatus,
                         testing::Values(StatusCase{404, "404"}, StatusCase{410, "410"}, StatusCase{503, "503"},
                                         StatusCase{500, "500"}));

TEST(RequestHeaders, ARedirectChainGivesTheFinalResponsesRecords) {
    FaultServer server([](const HttpRequest& request) {
        HttpResponse response;
        if (request.target == "/first") {
            response.status = 302;
            response.headers = {{"Location", "/second"}, {"Content-Length", "0"}, {"X-Message-Hash", "aa"}};
        } else if (request.target == "/second") {
            response.status = 301;
            response.headers = {{"Location", "/final"}, {"Content-Length", "0"}};
        } else {
            response.headers = {{"Content-Length", "424242"}, {"Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"}};
        }
        return response;
    });
    HeaderList headers;
    std::string error;
    ASSERT_EQ(requestHeaders(server.url("first"), {}, ProxySettings{}, headers, error), CURLE_OK);

    std::vector<HeaderRecord> typed;
    for (const HeaderRecord& record : headers)
        if (record.kind != HK_Other) typed.push_back(record);
    // The redirects' own lengths describe their own pages, not the file.
    const std::vector<HeaderRecord> expected{
        {HK_Status, "200"}, {HK_ContentLength, "424242"}, {HK_LastModified, "Mon, 01 Jan 2024 00:00:00 GMT"}};
    EXPECT_EQ(typed, expected);
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST(RequestHeaders, MoreThanFiveRedirectsFail) {
    FaultServer server([](const HttpRequest& request) {
        HttpResponse response;
        response.status = 302;
        response.headers = {{"Location", request.target + "x"}};
        return response;
    });
    HeaderList headers{{HK_Other, "untouched"}};
    std::string error;
    EXPECT_EQ(requestHeaders(server.url("r"), {}, ProxySettings{}, headers, error), CURLE_TOO_MANY_REDIRECTS);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(headers, (HeaderList{{HK_Other, "untouched"}}));
}

TEST(RequestHeaders, NoConnectionWithinFiveSecondsIsATimeOut) {
    FullBacklogListener silent;
    HeaderList headers{{HK_Other, "untouched"}};
    std::string error;
    const auto start = Clock::now();
    EXPECT_EQ(requestHeaders(silent.url("f.bin"), {}, ProxySettings{}, headers, error), CURLE_OPERATION_TIMEDOUT);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, 4500ms);
    EXPECT_LT(elapsed, 10s);
    EXPECT_NE(error.find("Timeout"), std::string::npos) << error;
    EXPECT_EQ(headers, (HeaderList{{HK_Other, "untouched"}}));
}

TEST(RequestHeaders, AServerThatNeverAnswersIsATimeOutToo) {
    ShortStallBounds bounds(1, 2);
    FaultServer server([](const HttpRequest&) {
        HttpResponse response;
        response.stallBeforeHeaders = 60s;
        return response;
    });
    HeaderList headers;
    std::string error;
    const auto start = Clock::now();
    EXPECT_EQ(requestHeaders(server.url("f.bin"), {}, ProxySettings{}, headers, error), CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_TRUE(headers.empty());
}

TEST(RequestHeaders, ARefusedConnectionReportsLibcurlsText) {
    const std::uint16_t port = testsupport::freeLoopbackPort();
    HeaderList headers;
    std::string error;
    EXPECT_EQ(requestHeaders("http://127.0.0.1:" + std::to_string(port) + "/", {}, ProxySettings{}, headers, error),
              CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(error.empty());
}

TEST(RequestHeaders, AProxyOfTypeZeroIsNotUsed) {
    FaultServer server([](const HttpRequest&) { return HttpResponse{}; });
    ProxySettings proxy;
    proxy.type = 0;
    proxy.host = "127.0.0.1";
    proxy.port = std::to_string(testsupport::freeLoopbackPort());  // nothing listens there
    HeaderList headers;
    std::string error;
    EXPECT_EQ(requestHeaders(server.url("f.bin"), {}, proxy, headers, error), CURLE_OK) << error;
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST(RequestHeaders, AProxyOfTypeTwoIsUsed) {
    FaultServer server([](const HttpRequest&) { return HttpResponse{}; });
    ProxySettings proxy;
    proxy.type = 2;
    proxy.host = "127.0.0.1";
    proxy.port = std::to_string(testsupport::freeLoopbackPort());  // nothing listens there
    HeaderList headers;
    std::string error;
    EXPECT_EQ(requestHeaders(server.url("f.bin"), {}, proxy, headers, error), CURLE_COULDNT_CONNECT);
    EXPECT_TRUE(server.requests().empty());
}

struct AbortCase {
    const char* name;
    std::function<CURLcode(const std::string& url, const std::atomic<bool>* abort)> request;
};

class AbortedRequest : public testing::TestWithParam<AbortCase> {};

// A closing window sets the flag while the server has not answered yet: the
// request ends at once instead of after its time-outs.
TEST_P(AbortedRequest, EndsSoonAfterTheFlagIsSet) {
    FaultServer server([](const HttpRequest&) {
        HttpResponse response;
        response.stallBeforeHeaders = 20s;
        return response;
    });
    std::atomic<bool> abort{false};
    const auto start = Clock::now();
    std::thread stopper([&abort] {
        std::this_thread::sleep_for(200ms);
        abort = true;
    });
    const CURLcode code = GetParam().request(server.url("f.bin"), &abort);
    const auto elapsed = Clock::now() - start;
    stopper.join();
    EXPECT_EQ(code, CURLE_ABORTED_BY_CALLBACK);
    EXPECT_LT(elapsed, 1s);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AbortedRequest,
    testing::Values(AbortCase{"Probe",
                              [](const std::string& url, const std::atomic<bool>* abort) {
                                  HeaderList headers;
                                  std::string error;
                                  return requestHeaders(url, {}, ProxySettings{}, headers, error, abort);
                              }},
                    AbortCase{"ProxyTest",
                              [](const std::string& url, const std::atomic<bool>* abort) {
                                  std::ostringstream body;
                                  std::string error;
                                  return httpRequest(url, {}, ProxySettings{}, body, error, false, 10s, abort);
                              }}),
    [](const testing::TestParamInfo<AbortCase>& info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
