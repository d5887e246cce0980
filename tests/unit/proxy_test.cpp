// Proxy discovery without a network: how a manual proxy text becomes a
// candidate, and the cases that never try a request at all.
#include <gtest/gtest.h>

#include <chrono>

#include "app/proxy_discovery.h"
#include "tests/support/fake_windows.h"

namespace {

struct CandidateCase {
    const char* text;
    bool hasCandidate;
    const char* host;
    const char* port;
};

const CandidateCase kCandidates[] = {
    {"proxyhost:3128", true, "proxyhost", "3128"},
    {"10.0.0.1:8080", true, "10.0.0.1", "8080"},
    {"http=p:80;https=p:443", true, "http=p", "80;https=p:443"},  // not parsed further: the test decides
    {"host:", true, "host", ""},
    {"[::1]:3128", true, "[", ":1]:3128"},  // split at the first colon, as the design says
    {"proxyhost", false, "", ""},
    {"", false, "", ""},
    {":8080", false, "", ""},
};

TEST(ProxyCandidate, SplitAtTheFirstColon) {
    for (const CandidateCase& c : kCandidates) {
        const std::optional<ProxySettings> candidate = proxyCandidate(c.text);
        ASSERT_EQ(candidate.has_value(), c.hasCandidate) << c.text;
        if (!candidate) continue;
        EXPECT_EQ(candidate->type, 2) << c.text;
        EXPECT_EQ(candidate->host, c.host) << c.text;
        EXPECT_EQ(candidate->port, c.port) << c.text;
        EXPECT_TRUE(candidate->user.empty()) << c.text;
        EXPECT_TRUE(candidate->password.empty()) << c.text;
        EXPECT_EQ(candidate->address(), std::string(c.host) + ":" + c.port) << c.text;
    }
}

struct NoProxyCase {
    const char* name;
    bool callSucceeds;
    std::optional<std::wstring> manualProxy;
};

const NoProxyCase kNoProxyCases[] = {
    {"platform call fails", false, std::wstring(L"127.0.0.1:3128")},
    {"no manual proxy (auto-detection only)", true, std::nullopt},
    {"text without a colon", true, std::wstring(L"proxyhost")},
    {"empty text", true, std::wstring()},
};

TEST(ProxyDiscovery, NoUsableTextMeansNoProxyAndNoRequest) {
    for (const NoProxyCase& c : kNoProxyCases) {
        platform::FakeWindows os;
        os.setCurrentUserProxy(c.callSucceeds, c.manualProxy);
        // An address that must never be asked: the test would take the whole bound.
        const auto started = std::chrono::steady_clock::now();
        const ProxySettings result = discoverProxy(os, "http://192.0.2.1", std::chrono::seconds(30));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << c.name;
        EXPECT_EQ(result.type, 0) << c.name;
        EXPECT_TRUE(result.host.empty()) << c.name;
        EXPECT_TRUE(result.port.empty()) << c.name;
        EXPECT_EQ(os.proxyQueries(), 1) << c.name;
    }
}

}  // namespace
