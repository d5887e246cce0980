// Owners for libcurl handles, so that no way out of a request or a transfer
// run (an early return or an exception) leaves a handle or a header list
// behind, and the abort hook that lets a caller end a running request.
#pragma once

#include <atomic>
#include <memory>

#include <curl/curl.h>

namespace curlh {

struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
};
struct MultiCleanup {
    void operator()(CURLM* handle) const noexcept { curl_multi_cleanup(handle); }
};
struct SlistFree {
    void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};

using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using SlistHandle = std::unique_ptr<curl_slist, SlistFree>;

// Appends one header line; false (the list unchanged) when libcurl could not.
inline bool appendLine(SlistHandle& list, const char* line) {
    curl_slist* head = curl_slist_append(list.get(), line);
    if (head == nullptr) return false;
    // Appending to a list keeps its head; only the first line makes one.
    if (!list) list.reset(head);
    return true;
}

// libcurl calls this between its steps; a set flag ends the transfer with
// CURLE_ABORTED_BY_CALLBACK.
inline int abortWhenFlagged(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) noexcept {
    return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

// Lets `*abort` end the transfer on `handle`; nothing changes without a flag.
inline void setAbortFlag(CURL* handle, const std::atomic<bool>* abort) {
    if (abort == nullptr) return;
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &abortWhenFlagged);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(abort));
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

}  // namespace curlh
