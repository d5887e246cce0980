// Sizing of request runs and the rates behind it; see run_policy.h.
#include "downloader/run_policy.h"

#include <algorithm>
#include <cmath>

namespace transfer {

namespace {

// The time, from now, at which every worker would be done if the parts left
// were shared out so that all end together: a worker busy beyond that time
// takes no share (water-filling over the moments the workers come free).
double commonEnd(double askerRate, const std::vector<std::pair<double, double>>& busy, double bytesLeft) {
    // (moment free, rate), the asker free now.
    std::vector<std::pair<double, double>> free{{0.0, askerRate}};
    for (const auto& [bytes, rate] : busy) free.emplace_back(bytes / rate, rate);
    std::sort(free.begin(), free.end());
    double rates = 0;
    double work = bytesLeft;
    double end = 0;
    for (std::size_t i = 0; i < free.size(); ++i) {
        rates += free[i].second;
        work += free[i].first * free[i].second;
        end = work / rates;
        if (i + 1 == free.size() || end <= free[i + 1].first) break;
    }
    return end;
}

}  // namespace

std::int32_t runLength(const RunPlan& plan) {
    if (plan.partsLeft <= 0) return 0;
    if (plan.partSize <= 0 || plan.workers <= 0) return 1;
    std::int64_t parts = 1;
    if (plan.bytesPerSecond <= 0) {
        const std::int64_t evenShare = (static_cast<std::int64_t>(plan.partsCount) + plan.workers - 1) / plan.workers;
        parts = std::min<std::int64_t>((evenShare + 2) / 3, kFirstRunParts);
    } else {
        // A busy worker whose rate is not known yet is taken to go as fast as the asker.
        std::vector<std::pair<double, double>> busy;
        for (const RunPlan::Busy& other : plan.busy) {
            const double rate = other.bytesPerSecond > 0 ? other.bytesPerSecond : plan.bytesPerSecond;
            busy.emplace_back(static_cast<double>(std::max<std::int64_t>(other.bytesLeft, 0)), rate);
        }
        const double bytesLeft = static_cast<double>(plan.partsLeft) * plan.partSize;
        const double seconds = std::min(commonEnd(plan.bytesPerSecond, busy, bytesLeft),
                                        static_cast<double>(kRunHorizon.count()));
        // Rounded up: a share a little short would leave a last part for a
        // request of its own, one more idle round trip at the very end.
        const double share = seconds * plan.bytesPerSecond / plan.partSize;
        parts = static_cast<std::int64_t>(std::ceil(share - 0.01));
    }
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(parts, 1, plan.partsLeft));
}

void RunRates::requested(std::size_t worker, Clock::time_point now, std::int64_t received) {
    if (worker >= m_workers.size()) return;
    Worker& w = m_workers[worker];
    w.inFlight = true;
    w.since = now;
    w.receivedBefore = received;
}

void RunRates::ended(std::size_t worker, Clock::time_point now, std::int64_t received) {
    if (worker >= m_workers.size()) return;
    Worker& w = m_workers[worker];
    if (!w.inFlight) return;
    // A whole request, however short, is a rate: its round trip is in it.
    const auto span = std::chrono::duration<double>(now - w.since).count();
    const std::int64_t bytes = received - w.receivedBefore;
    if (span > 0 && bytes > 0) w.known = static_cast<double>(bytes) / span;
    w.inFlight = false;
}

double RunRates::current(const Worker& worker, Clock::time_point now, std::int64_t received) const {
    const auto span = now - worker.since;
    const std::int64_t bytes = received - worker.receivedBefore;
    if (span < kMinSpan || bytes <= 0) return 0;
    return static_cast<double>(bytes) / std::chrono::duration<double>(span).count();
}

double RunRates::rate(std::size_t worker, Clock::time_point now, std::int64_t received) const {
    if (worker >= m_workers.size()) return 0;
    const Worker& w = m_workers[worker];
    const double measured = w.inFlight ? current(w, now, received) : 0;
    return measured > 0 ? measured : w.known;
}

}  // namespace transfer
