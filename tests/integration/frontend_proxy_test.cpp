// Proxy discovery against real servers: a working tinyproxy is adopted, a
// proxy that does not answer (or refuses, or is named wrongly) is dropped
// within the bound, HTTP error answers of a proxy still count as working,
// redirects are not followed; the test request itself; the whole road of
// the front end through an adopted tinyproxy, through the auto-config
// script's proxy and through the auto-detected one; a proxy that wants
// credentials: NTLM and Negotiate are offered, Basic never.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "app/proxy_discovery.h"
#include "app/ui_text.h"
#include "app/update_progress_dlg.h"
#include "tests/support/fake_windows.h"
#include "platform/text.h"
#include "tests/support/fault_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/proxy_server.h"
#include "tests/support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::FakeWindows;
using testsupport::FaultServer;
using testsupport::HttpRequest;
using testsupport::HttpResponse;

using Clock = std::chrono::steady_clock;

HttpResponse okPage(const HttpRequest&) {
    HttpResponse response;
    response.body = "<html>test page</html>";
    return response;
}

// The test address has no path, as in the product.
std::string addressOf(const FaultServer& server) { return "http://127.0.0.1:" + std::to_string(server.port()); }

struct Discovery {
    ProxySettings result;
    std::chrono::milliseconds elapsed;
};

Discovery discoverThrough(const std::wstring& proxyText, const std::string& testAddress,
                          std::chrono::milliseconds bound = 5s) {
    FakeWindows os;
    os.setCurrentUserProxy(true, proxyText);
    const auto started = Clock::now();
    Discovery discovery{discoverProxy(os, "http://127.0.0.1:1/f", testAddress, bound).proxy, {}};
    discovery.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    return discovery;
}

void expectNoProxy(const ProxySettings& proxy) {
    EXPECT_EQ(proxy.type, 0);
    EXPECT_TRUE(proxy.host.empty());
    EXPECT_TRUE(proxy.port.empty());
}

TEST(ProxyDiscoveryLive, WorkingProxyIsAdopted) {
    curl_global_init(CURL_GLOBAL_ALL);
    testsupport::TinyProxy proxy;
    FaultServer site(okPage);
    const Discovery discovery = discoverThrough(platform::fromUtf8(proxy.address()), addressOf(site));

    EXPECT_EQ(discovery.result.type, 2);
    EXPECT_EQ(discovery.result.host, "127.0.0.1");
    EXPECT_EQ(discovery.result.port, std::to_string(proxy.port()));
    EXPECT_EQ(discovery.result.address(), proxy.address());
    EXPECT_TRUE(discovery.result.user.empty());
    EXPECT_TRUE(discovery.result.password.empty());
    // One plain GET reached the site, relayed by the proxy.
    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].headers.at("user-agent"), "Vorlane Downloader");
    EXPECT_EQ(requests[0].headers.count("expect"), 0u);
    EXPECT_NE(proxy.log().find("127.0.0.1:" + std::to_string(site.port())), std::string::npos) << proxy.log();
}

TEST(ProxyDiscoveryLive, SilentProxyIsDroppedWithinTheBound) {
    curl_global_init(CURL_GLOBAL_ALL);
    testsupport::SilentListener silent;
    FaultServer site(okPage);
    const Discovery discovery =
        discoverThrough(L"127.0.0.1:" + std::to_wstring(silent.port()), addressOf(site), 1500ms);
    expectNoProxy(discovery.result);
    EXPECT_GE(discovery.elapsed, 1400ms);
    EXPECT_LT(discovery.elapsed, 5s);
    EXPECT_TRUE(site.requests().empty());
}

TEST(ProxyDiscoveryLive, UnusableProxiesAreDroppedAtOnce) {
    curl_global_init(CURL_GLOBAL_ALL);
    FaultServer site(okPage);
    const std::uint16_t closed = testsupport::freeLoopbackPort();
    const std::wstring texts[] = {
        L"127.0.0.1:" + std::to_wstring(closed),  // refuses connections
        L"127.0.0.1:notaport",                      // the port text is not a port
        L"http=127.0.0.1:80;https=127.0.0.1:443",   // per-protocol lists are not parsed
        L"127.0.0.1",                               // no port at all: not even tried
    };
    for (const std::wstring& text : texts) {
        const Discovery discovery = discoverThrough(text, addressOf(site), 10s);
        expectNoProxy(discovery.result);
        EXPECT_LT(discovery.elapsed, 3s) << platform::toUtf8(text);
    }
    EXPECT_TRUE(site.requests().empty());
}

TEST(ProxyDiscoveryLive, ProxyAnsweringWithAnErrorStatusIsStillAdopted) {
    curl_global_init(CURL_GLOBAL_ALL);
    for (const int status : {502, 407}) {
        FaultServer fakeProxy([status](const HttpRequest&) {
            HttpResponse response;
            response.status = status;
            response.body = "proxy says no";
            return response;
        });
        const Discovery discovery =
            discoverThrough(L"127.0.0.1:" + std::to_wstring(fakeProxy.port()), "http://www.example.com");
        EXPECT_EQ(discovery.result.type, 2) << status;
        EXPECT_EQ(discovery.result.port, std::to_string(fakeProxy.port())) << status;
        // The request was made to the proxy, for the test address.
        ASSERT_EQ(fakeProxy.requests().size(), 1u) << status;
        EXPECT_NE(fakeProxy.requests()[0].target.find("www.example.com"), std::string::npos) << status;
    }
}

TEST(ProxyDiscoveryLive, RedirectOfTheTestAddressIsNotFollowed) {
    curl_global_init(CURL_GLOBAL_ALL);
    testsupport::TinyProxy proxy;
    FaultServer elsewhere(okPage);
    FaultServer site([&elsewhere](const HttpRequest&) {
        HttpResponse response;
        response.status = 302;
        response.headers = {{"Location", elsewhere.url("moved")}};
        return response;
    });
    const Discovery discovery = discoverThrough(platform::fromUtf8(proxy.address()), addressOf(site));
    EXPECT_EQ(discovery.result.type, 2);
    EXPECT_EQ(site.requests().size(), 1u);
    EXPECT_TRUE(elsewhere.requests().empty());
}

// --- the test request itself ---

TEST(HttpRequestLive, SendsItsHeaderLinesAndCollectsTheBody) {
    curl_global_init(CURL_GLOBAL_ALL);
    FaultServer site(okPage);
    std::ostringstream body;
    std::string error = "stale";
    const CURLcode result =
        httpRequest(site.url("page"), {"X-First: 1", "X-Second: 2"}, ProxySettings{}, body, error, false);
    EXPECT_EQ(result, CURLE_OK);
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(body.str(), "<html>test page</html>");
    const auto requests = site.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    const std::vector<std::string>& lines = requests[0].rawHeaderLines;
    const auto position = [&lines](const std::string& prefix) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        }
        return -1;
    };
    ASSERT_GE(position("X-First: 1"), 0);
    EXPECT_LT(position("X-First: 1"), position("X-Second: 2"));
    EXPECT_LT(position("X-Second: 2"), position("User-Agent: Vorlane Downloader"));
    EXPECT_EQ(position("Expect"), -1);
}

// A stream buffer that refuses every byte by throwing.
class ThrowingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { throw std::runtime_error("sink broke"); }
    std::streamsize xsputn(const char*, std::streamsize) override { throw std::runtime_error("sink broke"); }
};

TEST(HttpRequestLive, ASinkThatThrowsEndsTheTransferInsteadOfUnwindingThroughLibcurl) {
    FaultServer server([](const HttpRequest&) {
        HttpResponse response;
        response.body = "a body for the sink";
        return response;
    });
    ThrowingBuffer buffer;
    std::ostream sink(&buffer);
    sink.exceptions(std::ios::badbit);
    std::string error;
    CURLcode code = CURLE_OK;
    EXPECT_NO_THROW(code = httpRequest(server.url(""), {}, ProxySettings{}, sink, error, false));
    EXPECT_EQ(code, CURLE_WRITE_ERROR);
}

TEST(HttpRequestLive, HeadOnlyAsksForNoBody) {
    curl_global_init(CURL_GLOBAL_ALL);
    FaultServer site(okPage);
    std::ostringstream body;
    std::string error;
    EXPECT_EQ(httpRequest(site.url(""), {}, ProxySettings{}, body, error, true), CURLE_OK);
    ASSERT_EQ(site.requests().size(), 1u);
    EXPECT_EQ(site.requests()[0].method, "HEAD");
    EXPECT_TRUE(body.str().empty());
}

TEST(HttpRequestLive, FailureGivesLibcurlsCodeAndText) {
    curl_global_init(CURL_GLOBAL_ALL);
    const std::uint16_t closed = testsupport::freeLoopbackPort();
    std::ostringstream body;
    std::string error;
    const CURLcode result =
        httpRequest("http://127.0.0.1:" + std::to_string(closed), {}, ProxySettings{}, body, error, false);
    EXPECT_EQ(result, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(error.empty());
}

TEST(HttpRequestLive, ProxyOnlyWithType2AndAHost) {
    curl_global_init(CURL_GLOBAL_ALL);
    FaultServer site(okPage);
    FaultServer fakeProxy(okPage);
    ProxySettings typeZero;
    typeZero.host = "127.0.0.1";
    typeZero.port = std::to_string(fakeProxy.port());
    std::ostringstream body;
    std::string error;
    // Type 0 with a host: no proxy for the one-shot requests.
    EXPECT_EQ(httpRequest(site.url(""), {}, typeZero, body, error, false), CURLE_OK);
    EXPECT_EQ(site.requests().size(), 1u);
    EXPECT_TRUE(fakeProxy.requests().empty());
    ProxySettings typeTwo = typeZero;
    typeTwo.type = 2;
    EXPECT_EQ(httpRequest(site.url(""), {}, typeTwo, body, error, false), CURLE_OK);
    EXPECT_EQ(site.requests().size(), 1u);
    ASSERT_EQ(fakeProxy.requests().size(), 1u);
    // No user name: no credentials at all, not even empty ones.
    EXPECT_EQ(fakeProxy.requests()[0].headers.count("proxy-authorization"), 0u);
    typeTwo.password = "p";
    EXPECT_EQ(httpRequest(site.url(""), {}, typeTwo, body, error, false), CURLE_OK);
    typeTwo.user = "u";
    EXPECT_EQ(httpRequest(site.url(""), {}, typeTwo, body, error, false), CURLE_OK);
    const auto requests = fakeProxy.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].headers.count("proxy-authorization"), 0u);
    EXPECT_EQ(requests[2].headers.count("proxy-authorization"), 1u);
}

// --- the whole road through an adopted proxy ---

ProgressDialogSettings proxiedSettings(std::string address, std::string testAddress) {
    ProgressDialogSettings settings;
    settings.downloadAddress = std::move(address);
    settings.proxyTestAddress = std::move(testAddress);
    return settings;
}

TEST(FrontEndThroughProxy, ProbeAndPartsGoThroughTheAdoptedProxy) {
    languageRecord().languageId = 0x0409;
    testsupport::TempDir dir;
    testsupport::TempDir docs;
    testsupport::writeRandomFile(docs / "installer.exe", 3 * 524288 + 99, 11);
    testsupport::NginxServer nginx(docs.path());
    testsupport::TinyProxy proxy;
    FaultServer site(okPage);
    FakeWindows os;
    os.setOwnExecutablePath(platform::fromUtf8((docs / "installer.exe").string()));
    os.setDownloadFolder(platform::fromUtf8(dir.path().string()));
    os.setCurrentUserProxy(true, platform::fromUtf8(proxy.address()));
    os.setModalTimeout(60s);

    CUpdateProgressDlg dialog(os, proxiedSettings(nginx.url("installer.exe"), addressOf(site)));
    EXPECT_EQ(dialog.DoModal(), 1);
    releaseLanguageRecord();

    ASSERT_EQ(os.launches().size(), 1u);
    EXPECT_EQ(testsupport::sha256OfFile(dir / "pel_mora_.exe"), testsupport::sha256OfFile(docs / "installer.exe"));
    // tinyproxy relayed the probe and the part requests.
    const std::string log = proxy.log();
    EXPECT_NE(log.find("HEAD http://127.0.0.1:" + std::to_string(nginx.port()) + "/installer.exe"), std::string::npos)
        << log;
    EXPECT_NE(log.find("GET http://127.0.0.1:" + std::to_string(nginx.port()) + "/installer.exe"), std::string::npos)
        << log;
}

// --- proxies named by the auto-config script and by auto-detection ---

using platform::AutoProxyAnswer;
using platform::AutoProxySource;

AutoProxyAnswer listing(const std::string& proxyList) {
    AutoProxyAnswer answer;
    answer.answered = true;
    answer.proxyList = platform::fromUtf8(proxyList);
    return answer;
}

// One run of the front end on its own: the served file, the proxy test's
// site, a proxy of the network's own that serves the file for any address
// it is asked for, and the stand-in for Windows.
struct ProxyRun {
    ProxyRun() {
        languageRecord().languageId = 0x0409;
        testsupport::writeRandomFile(docs / "installer.exe", 2 * 524288 + 7, 5);
        std::ifstream file(docs / "installer.exe", std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(file), {});
        os.setOwnExecutablePath(platform::fromUtf8((docs / "installer.exe").string()));
        os.setDownloadFolder(platform::fromUtf8(temp.path().string()));
        os.setModalTimeout(60s);
        // A run that fails shows its notice instead of waiting for the bound.
        os.scriptInput(platform::kMessageBoxTemplate, platform::UserInput::ClickOk);
    }
    ~ProxyRun() { releaseLanguageRecord(); }

    void run(const std::string& address) {
        CUpdateProgressDlg dialog(os, proxiedSettings(address, addressOf(site)));
        dialog.DoModal();
    }
    bool installerStarted() const {
        return os.launches().size() == 1 &&
               testsupport::sha256OfFile(temp / "pel_mora_.exe") == testsupport::sha256OfFile(docs / "installer.exe");
    }
    // The network's proxy was asked for the address only: a HEAD, then the
    // parts, none with credentials (the program has none to give).
    bool probeAndPartsThroughNetworkProxy(const std::string& address) const {
        const auto requests = networkProxy.requests();
        if (requests.size() < 4 || requests[0].method != "HEAD") return false;
        return std::all_of(requests.begin(), requests.end(), [&address](const HttpRequest& request) {
            return request.target == address && request.headers.count("proxy-authorization") == 0;
        });
    }

    testsupport::TempDir docs;
    testsupport::TempDir temp;
    std::string content;
    FaultServer site{okPage};
    FaultServer networkProxy{[this](const HttpRequest& request) { return testsupport::serveRange(request, content); }};
    std::string networkProxyAddress = "127.0.0.1:" + std::to_string(networkProxy.port());
    FakeWindows os;
};

TEST(FrontEndProxySources, TheScriptsFirstProxyServesTheRunUnlessTheManualProxyWorks) {
    enum class Manual { None, Refusing, Working };
    for (const Manual manual : {Manual::None, Manual::Refusing, Manual::Working}) {
        const int row = static_cast<int>(manual);
        ProxyRun run;
        testsupport::TinyProxy tinyproxy;
        testsupport::NginxServer nginx(run.docs.path());
        const std::string address = nginx.url("installer.exe");
        std::optional<std::wstring> manualText;
        if (manual == Manual::Refusing) manualText = L"127.0.0.1:" + std::to_wstring(testsupport::freeLoopbackPort());
        if (manual == Manual::Working) manualText = platform::fromUtf8(tinyproxy.address());
        run.os.setCurrentUserProxy(true, manualText);
        run.os.setAutoProxySettings(L"http://pac.corp.example/proxy.pac", false);
        run.os.setAutoProxyAnswer(AutoProxySource::ConfigUrl,
                                  listing("PROXY " + run.networkProxyAddress + "; PROXY 127.0.0.1:1; DIRECT"));
        run.run(address);

        EXPECT_TRUE(run.installerStarted()) << row;
        const auto queries = run.os.autoProxyQueries();
        if (manual == Manual::Working) {
            EXPECT_TRUE(queries.empty()) << row;
            EXPECT_TRUE(run.networkProxy.requests().empty()) << row;
            EXPECT_NE(tinyproxy.log().find("HEAD " + address), std::string::npos) << tinyproxy.log();
            continue;
        }
        ASSERT_EQ(queries.size(), 1u) << row;
        EXPECT_EQ(queries[0].source, AutoProxySource::ConfigUrl) << row;
        EXPECT_EQ(queries[0].url, platform::fromUtf8(address)) << row;
        EXPECT_EQ(queries[0].configUrl, L"http://pac.corp.example/proxy.pac") << row;
        EXPECT_EQ(queries[0].bound, 10s) << row;
        EXPECT_TRUE(run.probeAndPartsThroughNetworkProxy(address)) << row;
    }
}

TEST(FrontEndProxySources, AutoDetectionIsAskedOnlyWhenTheDirectProbeCannotConnect) {
    for (const bool directWorks : {false, true}) {
        ProxyRun run;
        testsupport::NginxServer nginx(run.docs.path());
        const std::string address = directWorks ? nginx.url("installer.exe")
                                                : "http://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort()) +
                                                      "/installer.exe";
        run.os.setCurrentUserProxy(true, std::nullopt);
        run.os.setAutoProxySettings(std::nullopt, true);
        run.os.setAutoProxyAnswer(AutoProxySource::AutoDetect, listing(run.networkProxyAddress));
        run.run(address);

        EXPECT_TRUE(run.installerStarted()) << directWorks;
        const auto queries = run.os.autoProxyQueries();
        if (directWorks) {
            EXPECT_TRUE(queries.empty());
            EXPECT_TRUE(run.networkProxy.requests().empty());
            continue;
        }
        ASSERT_EQ(queries.size(), 1u);
        EXPECT_EQ(queries[0].source, AutoProxySource::AutoDetect);
        EXPECT_EQ(queries[0].url, platform::fromUtf8(address));
        EXPECT_EQ(queries[0].bound, 5s);
        EXPECT_TRUE(run.probeAndPartsThroughNetworkProxy(address));
    }
}

// --- a proxy that asks who the user is ---

// Base64 of "NTLMSSP\0" and the message type, as the header values begin.
constexpr char kNtlmNegotiate[] = "NTLM TlRMTVNTUAABAAAA";
constexpr char kNtlmAuthenticate[] = "NTLM TlRMTVNTUAADAAAA";
// A challenge: no target name, flags Unicode and NTLM, a fixed nonce.
constexpr char kNtlmChallenge[] = "NTLM TlRMTVNTUAACAAAAAAAAACAAAAABAgAAASNFZ4mrze8=";

// A proxy that wants credentials, as squid with an NTLM helper does: a
// connection that has not completed the handshake gets 407 (offering NTLM and
// Basic, or Basic alone), a negotiate message gets the challenge, and the
// answer to it signs the connection in, unless the proxy refuses everyone.
struct CredentialProxy {
    bool offersNtlm = true;
    bool acceptsAnyone = true;
    const std::string* content = nullptr;
    std::mutex mutex;
    std::set<int> signedIn;  // connection indexes

    HttpResponse answer(const HttpRequest& request) {
        const auto found = request.headers.find("proxy-authorization");
        const std::string offered = found == request.headers.end() ? "" : found->second;
        {
            const std::lock_guard lock(mutex);
            if (offersNtlm && acceptsAnyone && offered.starts_with(kNtlmAuthenticate))
                signedIn.insert(request.connectionIndex);
            if (signedIn.count(request.connectionIndex)) return testsupport::serveRange(request, *content);
        }
        HttpResponse refusal;
        refusal.status = 407;
        refusal.body = "credentials, please";
        if (offersNtlm && offered.starts_with(kNtlmNegotiate)) {
            refusal.headers = {{"Proxy-Authenticate", kNtlmChallenge}};
        } else {
            if (offersNtlm) refusal.headers.emplace_back("Proxy-Authenticate", "NTLM");
            refusal.headers.emplace_back("Proxy-Authenticate", "Basic realm=\"corp\"");
        }
        return refusal;
    }
};

std::size_t countOffered(const std::vector<HttpRequest>& requests, const std::string& start) {
    return static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [&start](const HttpRequest& r) {
        const auto found = r.headers.find("proxy-authorization");
        return found != r.headers.end() && found->second.starts_with(start);
    }));
}

TEST(FrontEndProxySources, AProxyThatStillRefusesEndsInTheServerErrorNoticeAndNeverGetsBasic) {
    // A plain address is answered by the proxy itself; an https one is a tunnel it refuses.
    for (const bool offersNtlm : {false, true}) {
        for (const bool secure : {false, true}) {
            const std::string row = std::to_string(offersNtlm) + std::to_string(secure);
            ProxyRun run;
            CredentialProxy demand;
            demand.offersNtlm = offersNtlm;
            demand.acceptsAnyone = false;
            demand.content = &run.content;
            FaultServer demanding([&demand](const HttpRequest& request) { return demand.answer(request); });
            run.os.setCurrentUserProxy(true, L"127.0.0.1:" + std::to_wstring(demanding.port()));
            run.run(std::string(secure ? "https" : "http") + "://downloads.pelmora.example/installer.exe");

            const auto boxes = run.os.dialogsWithTemplate(platform::kMessageBoxTemplate);
            ASSERT_EQ(boxes.size(), 1u) << row;
            EXPECT_EQ(boxes[0].texts.at(platform::kMessageTextId),
                      L"Server Error (system code: 407). The program will be automatically closed!")
                << row;
            EXPECT_TRUE(run.os.launches().empty()) << row;
            EXPECT_TRUE(std::filesystem::is_empty(run.temp.path())) << row;
            EXPECT_FALSE(run.os.dialogsWithTemplate(platform::kProgressDialogTemplate).at(0).abandoned) << row;
            const auto requests = demanding.requests();
            EXPECT_EQ(countOffered(requests, "Basic"), 0u) << row;
            // The proxy test and the probe each went through the whole handshake.
            EXPECT_EQ(countOffered(requests, kNtlmAuthenticate), offersNtlm ? 2u : 0u) << row;
            EXPECT_EQ(countOffered(requests, ""), offersNtlm ? 4u : 0u) << row;
        }
    }
}

TEST(FrontEndProxySources, TheProbeAndEveryPartSignInToAProxyThatAsks) {
    for (const bool manual : {true, false}) {
        ProxyRun run;
        testsupport::NginxServer nginx(run.docs.path());
        CredentialProxy demand;
        demand.content = &run.content;
        FaultServer demanding([&demand](const HttpRequest& request) { return demand.answer(request); });
        const std::string proxyAddress = "127.0.0.1:" + std::to_string(demanding.port());
        if (manual) {
            run.os.setCurrentUserProxy(true, platform::fromUtf8(proxyAddress));
        } else {
            run.os.setCurrentUserProxy(true, std::nullopt);
            run.os.setAutoProxySettings(L"http://pac.corp.example/proxy.pac", false);
            run.os.setAutoProxyAnswer(AutoProxySource::ConfigUrl, listing("PROXY " + proxyAddress));
        }
        run.run(nginx.url("installer.exe"));

        // Every byte came over a signed-in connection: the probe's and the parts'.
        EXPECT_TRUE(run.installerStarted()) << manual;
        const auto requests = demanding.requests();
        EXPECT_EQ(countOffered(requests, "Basic"), 0u) << manual;
        EXPECT_GE(demand.signedIn.size(), manual ? 3u : 2u) << manual;
        const bool testSignedIn = std::any_of(requests.begin(), requests.end(), [&run](const HttpRequest& r) {
            return r.target.starts_with(addressOf(run.site)) && r.headers.count("proxy-authorization") &&
                   r.headers.at("proxy-authorization").starts_with(kNtlmAuthenticate);
        });
        EXPECT_EQ(testSignedIn, manual) << manual;
    }
}

}  // namespace
