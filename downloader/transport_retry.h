// What the transfer loop does when the way to the server fails rather than
// the server's answer: which libcurl results are such transport failures, and
// the one pause, shared by every worker of a run, after which the failed
// parts are asked for again. A short outage (a Wi-Fi switch, a VPN coming up,
// a server restart) then costs a pause instead of the download. Time in
// which the program did not run (a laptop asleep, a stopped process) is no
// outage: the window starts again when the program runs again.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>

#include <curl/curl.h>

namespace transfer {

using RetryClock = std::chrono::steady_clock;

// No connection, no name, a send or receive failure (a reset among them), a
// body cut short, nothing answered, or a transfer abandoned by its stall bound.
bool isTransportFailure(CURLcode code);

struct RetryPolicy {
    // The first pause after a transport failure; each failure after a pause
    // with no byte in between doubles it, up to longestPause.
    std::chrono::milliseconds firstPause;
    std::chrono::milliseconds longestPause;
    // Transport failures cost no counted error while the last byte of the run
    // (or its start) is younger than this; the first one after it ends the run.
    std::chrono::milliseconds outageWindow;
    // The same for a mirror that has sent nothing in this run while another
    // mirror remains: it is left after a few pauses, not after a minute.
    std::chrono::milliseconds silentMirrorWindow;
};
// Refused connections fail at once, so a dead server is asked again after
// 0.5, 1, 2, 4, 8, 8 ... s: 11 more tries in the minute, the run ending at
// about 63.5 s; a silent mirror with another behind it is left at 3.5 s.
inline constexpr RetryPolicy kRetryPolicy{std::chrono::milliseconds(500), std::chrono::milliseconds(8000),
                                          std::chrono::milliseconds(60000), std::chrono::milliseconds(3000)};

// A wait that ends this much later than it was bounded to means the program
// did not run meanwhile (sleep, hibernation, a stopped process).
inline constexpr std::chrono::seconds kLostTimeTolerance{5};

// The policy in force: kRetryPolicy unless a test has shortened it.
RetryPolicy retryPolicy();
// Tests only: a gone server would otherwise take a minute each.
void overrideRetryPolicyForTesting(std::optional<RetryPolicy> policy);

// Tests only: `policy` in force for the life of the object.
class ScopedRetryPolicyForTesting {
public:
    explicit ScopedRetryPolicyForTesting(const RetryPolicy& policy) { overrideRetryPolicyForTesting(policy); }
    ~ScopedRetryPolicyForTesting() { overrideRetryPolicyForTesting(std::nullopt); }
    ScopedRetryPolicyForTesting(const ScopedRetryPolicyForTesting&) = delete;
    ScopedRetryPolicyForTesting& operator=(const ScopedRetryPolicyForTesting&) = delete;
};

// The outage clock and the shared pause of one transfer run.
class OutageRetry {
public:
    OutageRetry(const RetryPolicy& policy, RetryClock::time_point runStart, bool anotherMirrorRemains);
    ~OutageRetry();
    OutageRetry(const OutageRetry&) = delete;
    OutageRetry& operator=(const OutageRetry&) = delete;

    // Where the end of the latest pause is kept, from its start until a
    // connection sends a byte, for readers on other threads (the window's
    // countdown), as ticks of RetryClock; 0 otherwise, and once this run is over.
    void publishTo(std::atomic<RetryClock::rep>* target);

    // Bytes arrived: the outage, if there was one, is over.
    void bytesArrived(RetryClock::time_point now);
    // A transport failure at `now`. True while it is retried without being
    // counted (after the pending pause, which it starts when none is pending);
    // false once the outage has outlasted its window.
    bool retryLater(RetryClock::time_point now);
    // True when no pause is pending or it has passed.
    bool retryDue(RetryClock::time_point now) const;
    // Milliseconds until the pending pause ends (0 when it has), for the
    // bound of the loop's wait; never a tick of its own.
    long millisecondsUntilRetry(RetryClock::time_point now) const;

    // The loop is about to wait up to `bound` (a pause, a poll).
    void expectWait(std::chrono::milliseconds bound);
    // The loop runs at `now`. When more than the waits expected since the
    // last look plus kLostTimeTolerance have passed, the program was not
    // running: the outage window and the pause sequence start over from
    // `now`, and no pause is pending. True in that case.
    bool lookAt(RetryClock::time_point now);

private:
    void publish();

    RetryPolicy m_policy;
    bool m_anotherMirrorRemains;
    bool m_anyByte = false;
    RetryClock::time_point m_lastByte;
    std::chrono::milliseconds m_nextPause;
    std::optional<RetryClock::time_point> m_retryAt;
    // Some connection sent bytes after the pending pause began: the link
    // works, only some requests wait.
    bool m_bytesSincePause = false;
    std::atomic<RetryClock::rep>* m_published = nullptr;
    RetryClock::time_point m_lastLook;
    std::chrono::milliseconds m_expected{0};
};

}  // namespace transfer
