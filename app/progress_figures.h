// The figures line under the progress bar: the bytes so far of the total, the
// speed and the time left, or the countdown to the next try while the
// connection is lost. Time comes in from the caller, so the line depends on
// nothing but the samples it is fed.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

struct ProgressSample {
    std::chrono::steady_clock::time_point at;
    // Everything the file holds, bytes a resumed download started with included.
    std::int64_t bytes = 0;
    // Negative while the size is still being asked.
    std::int64_t total = -1;
    // No byte has come from any connection since the pause before the next
    // try began; that try is due at `retryAt` (or under way once it has passed).
    bool outage = false;
    std::chrono::steady_clock::time_point retryAt{};
};

class ProgressFigures {
public:
    // Samples come in time order; the speed is taken over the last five
    // seconds of them, so they should come at least every second or so.
    void record(const ProgressSample& sample);

    // The line for the newest sample: empty before the size is known.
    std::wstring line(bool russian) const;

    // The line once every byte of `total` is in: the count and the total alone.
    static std::wstring completeLine(std::int64_t total, bool russian);

    // Whether the window may show a new line at `now`: at most twice a
    // second. A yes counts as showing it.
    bool updateDue(std::chrono::steady_clock::time_point now);

private:
    struct Point {
        std::chrono::steady_clock::time_point at;
        std::int64_t bytes;
    };
    std::deque<Point> m_window;
    std::optional<ProgressSample> m_newest;
    std::optional<std::chrono::steady_clock::time_point> m_figuresSince;
    std::optional<std::chrono::steady_clock::time_point> m_lastUpdate;
};
