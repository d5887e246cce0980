// One request on an easy handle of its own, as the HEAD probe and the proxy
// test send it: the caller's header lines followed by
// "User-Agent: Vorlane Downloader" and "Expect:", 5 s to connect, the user's
// manual proxy when one is set, and a flag that ends the request early.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "downloader/proxy_settings.h"

struct OneShotRequest {
    std::string url;
    std::vector<std::string> extraHeaders;
    ProxySettings proxy;
    bool headOnly = false;
    // Redirects are followed (up to the engine's limit) only when asked.
    bool followRedirects = false;
    // A bound on the whole transfer; zero leaves it to the stall bound.
    std::chrono::milliseconds totalBound{0};
    // Ends a transfer that stalls below the engine's low-speed bound.
    bool stallBounded = false;
    curl_write_callback headerFunction = nullptr;
    void* headerData = nullptr;
    curl_write_callback writeFunction = nullptr;
    void* writeData = nullptr;
    // When set, ends the request with CURLE_ABORTED_BY_CALLBACK soon after.
    const std::atomic<bool>* abort = nullptr;
};

// Sends the request and returns libcurl's result; `errorOut` gets libcurl's
// error text on failure (its generic text where it wrote none) and is emptied
// on success.
CURLcode performOneShot(const OneShotRequest& request, std::string& errorOut);
