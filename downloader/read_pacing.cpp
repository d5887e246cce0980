#include "downloader/read_pacing.h"

#include <algorithm>

namespace transfer {

namespace {

using Seconds = std::chrono::duration<double>;

}  // namespace

void ReadPacing::observe(Clock::time_point now, std::size_t worker, std::int32_t part, std::int32_t received,
                         std::int32_t length) {
    if (worker >= m_paces.size()) m_paces.resize(worker + 1);
    Pace& pace = m_paces[worker];
    if (!pace.active || part != pace.part || received < pace.lastReceived) {
        // The transfer before stays the best guess until this one has a rate
        // of its own: a worker keeps its connection from part to part.
        pace.earlierRate = pace.expectedRate();
        pace.active = true;
        pace.part = part;
        pace.flowing = false;
        pace.flowingFrom = received;
        pace.rate = 0;
        pace.settled = false;
        pace.gathered = received;
    } else if (!pace.flowing) {
        // The rate counts from the first bytes on: the wait for the answer
        // before them says nothing about how fast the rest comes.
        pace.gathered = received - pace.lastReceived;
        if (received > pace.flowingFrom) {
            pace.flowing = true;
            pace.flowingSince = now;
            pace.flowingFrom = received;
        }
    } else {
        pace.gathered = received - pace.lastReceived;
        const Duration span = std::chrono::duration_cast<Duration>(now - pace.flowingSince);
        if (span > Duration::zero()) {
            pace.rate = (received - pace.flowingFrom) / Seconds(span).count();
            pace.settled = span >= kMinRateSpan;
        }
    }
    pace.length = length;
    pace.lastReceived = received;
}

void ReadPacing::idle(std::size_t worker) {
    if (worker < m_paces.size()) m_paces[worker].active = false;
}

ReadPacing::Duration ReadPacing::pause(Duration bound) const {
    Duration nearestEnd = Duration::max();
    for (const Pace& pace : m_paces) {
        if (!pace.active) continue;
        const double rate = pace.expectedRate();
        if (rate <= 0 || pace.gathered >= kPlentyBytes) return Duration::zero();
        const double left = std::max(0, pace.length - pace.lastReceived) / rate;
        nearestEnd = std::min(nearestEnd, std::chrono::duration_cast<Duration>(Seconds(left)));
    }
    if (nearestEnd == Duration::max()) return Duration::zero();
    const Duration pause = std::min({kMaxPause, bound, nearestEnd / 2 - m_overrun});
    return pause >= kMinPause ? pause : Duration::zero();
}

void ReadPacing::paused(Duration asked, Duration took) {
    const Duration overrun = std::max(took - asked, Duration::zero());
    m_overrun = (3 * m_overrun + overrun) / 4;
}

}  // namespace transfer
