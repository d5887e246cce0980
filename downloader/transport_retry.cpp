#include "downloader/transport_retry.h"

#include <algorithm>
#include <mutex>

namespace transfer {

namespace {

std::mutex g_policyLock;
std::optional<RetryPolicy> g_policyOverride;

}  // namespace

bool isTransportFailure(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return true;
    default:
        return false;
    }
}

RetryPolicy retryPolicy() {
    std::lock_guard<std::mutex> guard(g_policyLock);
    return g_policyOverride.value_or(kRetryPolicy);
}

void overrideRetryPolicyForTesting(std::optional<RetryPolicy> policy) {
    std::lock_guard<std::mutex> guard(g_policyLock);
    g_policyOverride = policy;
}

OutageRetry::OutageRetry(const RetryPolicy& policy, RetryClock::time_point runStart, bool anotherMirrorRemains)
    : m_policy(policy), m_anotherMirrorRemains(anotherMirrorRemains), m_lastByte(runStart),
      m_nextPause(policy.firstPause), m_lastLook(runStart) {}

OutageRetry::~OutageRetry() {
    m_retryAt.reset();
    publish();
}

void OutageRetry::publishTo(std::atomic<RetryClock::rep>* target) {
    m_published = target;
    publish();
}

void OutageRetry::publish() {
    if (!m_published) return;
    const bool silent = m_retryAt && !m_bytesSincePause;
    m_published->store(silent ? m_retryAt->time_since_epoch().count() : 0);
}

void OutageRetry::bytesArrived(RetryClock::time_point now) {
    m_anyByte = true;
    m_lastByte = now;
    m_nextPause = m_policy.firstPause;
    m_bytesSincePause = true;
    publish();
}

bool OutageRetry::retryLater(RetryClock::time_point now) {
    const bool silentMirror = m_anotherMirrorRemains && !m_anyByte;
    const auto window = silentMirror ? m_policy.silentMirrorWindow : m_policy.outageWindow;
    if (now - m_lastByte > window) return false;
    // Failures while a pause is pending wait for that same pause: twelve
    // workers failing one after the other make one step, not twelve.
    if (!m_retryAt || *m_retryAt <= now) {
        m_retryAt = now + m_nextPause;
        m_nextPause = std::min(m_nextPause * 2, m_policy.longestPause);
        m_bytesSincePause = false;
        publish();
    }
    return true;
}

bool OutageRetry::retryDue(RetryClock::time_point now) const { return !m_retryAt || now >= *m_retryAt; }

long OutageRetry::millisecondsUntilRetry(RetryClock::time_point now) const {
    if (retryDue(now)) return 0;
    // Rounded up, so the wait never ends just before the pause does.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_retryAt - now);
    return static_cast<long>(left.count());
}

void OutageRetry::expectWait(std::chrono::milliseconds bound) {
    m_expected += std::max(bound, std::chrono::milliseconds(0));
}

bool OutageRetry::lookAt(RetryClock::time_point now) {
    const bool lost = now - m_lastLook > m_expected + kLostTimeTolerance;
    m_lastLook = now;
    m_expected = std::chrono::milliseconds(0);
    if (!lost) return false;
    // Every connection may have died meanwhile; the failures that show now
    // are judged as the start of an outage, not as its minute-long end.
    m_lastByte = now;
    m_nextPause = m_policy.firstPause;
    m_retryAt.reset();
    publish();
    return true;
}

}  // namespace transfer
