// Which proxy the run's requests go through, in this order: the user's manual
// proxy when one plain request through it works; else the proxy the user's
// auto-config script names for the download address; else none. A direct
// probe that fails on the way asks auto-detection (WPAD) once more. Also the
// front end's own one-shot HTTP request that the manual test uses.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "downloader/header_record.h"
#include "downloader/proxy_settings.h"
#include "app/os_services.h"

// The test request's target: a large, always reachable site over plain HTTP, no path.
inline constexpr char kProxyTestAddress[] = "http://www.example.com";
// The whole test request (connect, request, answer) is bounded, so a proxy
// that accepts connections and never answers cannot hold the worker, and with
// it a closing window, for longer than this.
inline constexpr std::chrono::seconds kProxyTestTimeout{10};
// Asking WinHTTP what the auto-config script says has the same bound.
inline constexpr std::chrono::seconds kAutoConfigTimeout = kProxyTestTimeout;
// Auto-detection (finding the script, fetching and running it) after a failed
// direct probe: the user already waits for that failure.
inline constexpr std::chrono::seconds kAutoDetectTimeout{5};
// What a proxy answers when it wants credentials, and still answers when the
// signed-in user's do not satisfy it; the notice carries it as a server
// error's code.
inline constexpr std::int32_t kProxyAuthenticationRequired = 407;

// The candidate cut from a manual proxy text at its first ':' (type 2, host
// before, port text after, answered with the signed-in user's credentials
// when it asks). A text without ':' or with nothing before it names no proxy
// host and gives nothing.
std::optional<ProxySettings> proxyCandidate(const std::string& proxyText);

// The proxy of the first entry of a proxy list that decides, as WinHTTP
// ("a:1;b:2") or a script ("PROXY a:1; PROXY b:2; DIRECT") gives it: a PROXY
// (or HTTP) entry or a bare host:port is that proxy, DIRECT is no proxy;
// entries the engine cannot use (SOCKS, HTTPS, no port) are passed over. No
// deciding entry: no proxy.
ProxySettings firstListedProxy(const std::string& proxyList);

// Whether a record names a proxy that requests go through.
bool usesProxy(const ProxySettings& proxy);

struct ProxyDiscovery {
    ProxySettings proxy;      // for the probe and every part; type 0: direct
    bool autoDetect = false;  // the user's settings allow auto-detection
};

// The user's manual proxy when a request to `testAddress` through it succeeds
// within `bound`; else, when the settings name an auto-config script, the
// first proxy it gives for `downloadAddress` (asked within
// kAutoConfigTimeout); else no proxy. Never throws. A set `abort` flag ends
// the test request or the question at once (no proxy).
ProxyDiscovery discoverProxy(platform::OsServices& os, const std::string& downloadAddress,
                             const std::string& testAddress = kProxyTestAddress,
                             std::chrono::milliseconds bound = kProxyTestTimeout,
                             const std::atomic<bool>* abort = nullptr);

// Whether a probe with `result` should ask auto-detection for a proxy: only a
// direct probe that failed on the way (not one that was stopped, or whose
// address or machine was at fault), and only when the settings allow it.
bool shouldAutoDetect(const ProxyDiscovery& discovery, CURLcode result);

// The first proxy auto-detection (WPAD) gives for `downloadAddress` within
// kAutoDetectTimeout; no proxy when it finds none. Never throws.
ProxySettings autoDetectProxy(platform::OsServices& os, const std::string& downloadAddress,
                              const std::atomic<bool>* abort = nullptr);

// Whether the answer's final status (a proxy's refused tunnel included) is a
// proxy asking for credentials.
bool proxyWantsCredentials(const HeaderList& headers);

// One request on an easy handle of its own: the extra header lines, then
// "User-Agent: Vorlane Downloader" and "Expect:"; 5 s to connect and `bound`
// for the whole transfer; redirects are not followed and the HTTP status is
// not judged. The body goes to `sink`. The proxy is used when its type is 2
// and its host is not empty. Returns libcurl's result; `errorOut` gets
// libcurl's error text on failure and is emptied on success. A set `abort`
// flag ends the request early with CURLE_ABORTED_BY_CALLBACK.
CURLcode httpRequest(const std::string& url, const std::vector<std::string>& extraHeaders, ProxySettings proxy,
                     std::ostream& sink, std::string& errorOut, bool headOnly,
                     std::chrono::milliseconds bound = kProxyTestTimeout,
                     const std::atomic<bool>* abort = nullptr);
