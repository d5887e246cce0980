// Proxy discovery without a network: how a manual proxy text becomes a
// candidate, which entry of a proxy list is used, when auto-detection is
// asked, and the cases that never try a request at all.
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
        EXPECT_TRUE(candidate->signedInUserCredentials) << c.text;
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
        const ProxySettings result = discoverProxy(os, "http://192.0.2.2/f", "http://192.0.2.1", std::chrono::seconds(30)).proxy;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << c.name;
        EXPECT_EQ(result.type, 0) << c.name;
        EXPECT_TRUE(result.host.empty()) << c.name;
        EXPECT_TRUE(result.port.empty()) << c.name;
        EXPECT_EQ(os.proxyQueries(), 1) << c.name;
    }
}

struct ListCase {
    const char* list;
    const char* address;  // empty: no proxy
};

const ListCase kLists[] = {
    {"a:1;b:2", "a:1"},  // WinHTTP's own form
    {"PROXY a:1; PROXY b:2; DIRECT", "a:1"},
    {"  proxy\ta:1 ;DIRECT", "a:1"},
    {"HTTP a:1", "a:1"},
    {"http://a:1", "a:1"},
    {"DIRECT; PROXY a:1", ""},  // the script prefers going direct
    {"direct", ""},
    {"SOCKS s:1; HTTPS h:443; PROXY b:2", "b:2"},  // only plain HTTP proxies are usable
    {"PROXY nohost; PROXY a:; PROXY b:2", "b:2"},  // no port: passed over
    {"https=a:1;socks://s:1;PROXY b:2", "b:2"},
    {"SOCKS s:1", ""},
    {"", ""},
    {" ; ;", ""},
};

TEST(FirstListedProxy, TheFirstDecidingEntryWins) {
    for (const ListCase& c : kLists) {
        const ProxySettings proxy = firstListedProxy(c.list);
        if (*c.address == '\0') {
            EXPECT_FALSE(usesProxy(proxy)) << c.list;
            continue;
        }
        EXPECT_EQ(proxy.type, 2) << c.list;
        EXPECT_EQ(proxy.address(), c.address) << c.list;
        EXPECT_TRUE(proxy.signedInUserCredentials) << c.list;
    }
}

struct AutoDetectCase {
    bool allowed;
    bool proxied;
    CURLcode probe;
    bool asks;
};

const AutoDetectCase kAutoDetectCases[] = {
    {true, false, CURLE_COULDNT_CONNECT, true},
    {true, false, CURLE_COULDNT_RESOLVE_HOST, true},
    {true, false, CURLE_OPERATION_TIMEDOUT, true},
    {true, false, CURLE_RECV_ERROR, true},
    {false, false, CURLE_COULDNT_CONNECT, false},  // the user switched it off
    {true, true, CURLE_COULDNT_CONNECT, false},    // a proxy was already in use
    {true, false, CURLE_OK, false},
    {true, false, CURLE_ABORTED_BY_CALLBACK, false},  // stopped, not failed
    {true, false, CURLE_URL_MALFORMAT, false},
};

TEST(ShouldAutoDetect, OnlyADirectProbeThatFailedOnTheWay) {
    for (const AutoDetectCase& c : kAutoDetectCases) {
        ProxyDiscovery discovery;
        discovery.autoDetect = c.allowed;
        if (c.proxied) discovery.proxy = *proxyCandidate("p:1");
        EXPECT_EQ(shouldAutoDetect(discovery, c.probe), c.asks)
            << c.allowed << c.proxied << " " << curl_easy_strerror(c.probe);
    }
}

struct ScriptCase {
    const char* name;
    std::optional<std::wstring> manualProxy;
    std::optional<std::wstring> autoConfigUrl;
    std::optional<platform::AutoProxyAnswer> answer;
    const char* address;  // empty: no proxy
    std::size_t queries;
};

platform::AutoProxyAnswer answerWith(std::optional<std::wstring> list) {
    platform::AutoProxyAnswer answer;
    answer.answered = true;
    answer.proxyList = std::move(list);
    return answer;
}

const ScriptCase kScriptCases[] = {
    {"script names a proxy", std::nullopt, L"http://pac/p.pac", answerWith(L"p:8080;q:1"), "p:8080", 1},
    {"script says DIRECT", std::nullopt, L"http://pac/p.pac", answerWith(std::nullopt), "", 1},
    {"script cannot be had", std::nullopt, L"http://pac/p.pac", std::nullopt, "", 1},
    {"manual text unusable", std::wstring(L"proxyhost"), L"http://pac/p.pac", answerWith(L"p:8080"), "p:8080", 1},
    {"no script address", std::nullopt, std::wstring(), answerWith(L"p:8080"), "", 0},
    {"auto-detection only", std::nullopt, std::nullopt, answerWith(L"p:8080"), "", 0},
};

TEST(ProxyDiscovery, TheAutoConfigScriptIsAskedForTheDownloadAddress) {
    for (const ScriptCase& c : kScriptCases) {
        platform::FakeWindows os;
        os.setCurrentUserProxy(true, c.manualProxy);
        os.setAutoProxySettings(c.autoConfigUrl, true);
        if (c.answer) os.setAutoProxyAnswer(platform::AutoProxySource::ConfigUrl, *c.answer);
        const ProxyDiscovery discovery = discoverProxy(os, "http://dl.example/f.exe", "http://192.0.2.1");
        EXPECT_TRUE(discovery.autoDetect) << c.name;
        EXPECT_EQ(usesProxy(discovery.proxy) ? discovery.proxy.address() : "", c.address) << c.name;
        const auto queries = os.autoProxyQueries();
        ASSERT_EQ(queries.size(), c.queries) << c.name;
        if (queries.empty()) continue;
        EXPECT_EQ(queries[0].source, platform::AutoProxySource::ConfigUrl) << c.name;
        EXPECT_EQ(queries[0].url, L"http://dl.example/f.exe") << c.name;
        EXPECT_EQ(queries[0].configUrl, *c.autoConfigUrl) << c.name;
    }
}

}  // namespace
