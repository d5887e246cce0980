// Whether the run's requests go through the user's manual proxy: the proxy
// text is tried with one plain request and adopted only when that works.
// Also the front end's own one-shot HTTP request that the test uses.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "downloader/proxy_settings.h"
#include "app/os_services.h"

// The test request's target: a large, always reachable site over plain HTTP, no path.
inline constexpr char kProxyTestAddress[] = "http://www.example.com";
// The whole test request (connect, request, answer) is bounded, so a proxy
// that accepts connections and never answers cannot hold the worker, and with
// it a closing window, for longer than this.
inline constexpr std::chrono::seconds kProxyTestTimeout{10};

// The candidate cut from a manual proxy text at its first ':' (type 2, host
// before, port text after). A text without ':' or with nothing before it names
// no proxy host and gives nothing.
std::optional<ProxySettings> proxyCandidate(const std::string& proxyText);

// The user's manual proxy when a request to `testAddress` through it succeeds
// within `bound`; otherwise the default record (no proxy). Never throws. A set
// `abort` flag ends the test request at once (no proxy).
ProxySettings discoverProxy(platform::OsServices& os, const std::string& testAddress = kProxyTestAddress,
                            std::chrono::milliseconds bound = kProxyTestTimeout,
                            const std::atomic<bool>* abort = nullptr);

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
