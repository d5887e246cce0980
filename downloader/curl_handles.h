// Owners for libcurl handles, so that no way out of a request or a transfer
// run (an early return or an exception) leaves a handle or a header list
// behind, and the abort flag that lets a caller end a running request.
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

// curl_easy_perform that also ends soon after `*abort` is set. libcurl's own
// wait inside curl_easy_perform lasts up to a second between its steps, so
// the transfer is driven here on a multi handle with short waits instead.
inline CURLcode performAbortable(CURL* handle, const std::atomic<bool>* abort) {
    if (abort == nullptr) return curl_easy_perform(handle);
    setAbortFlag(handle, abort);
    const MultiHandle multi(curl_multi_init());
    if (!multi) return CURLE_OUT_OF_MEMORY;
    if (curl_multi_add_handle(multi.get(), handle) != CURLM_OK) return CURLE_FAILED_INIT;

    constexpr int kWaitMilliseconds = 50;
    CURLcode result = CURLE_ABORTED_BY_CALLBACK;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        if (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
            message != nullptr && message->msg == CURLMSG_DONE) {
            result = message->data.result;
            break;
        }
        if (abort->load()) break;
        curl_multi_wait(multi.get(), nullptr, 0, kWaitMilliseconds, nullptr);
    }
    curl_multi_remove_handle(multi.get(), handle);
    return result;
}

}  // namespace curlh
