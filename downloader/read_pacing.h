// How long the transfer loop lets data gather in its sockets before it waits
// for them. On a slow link nearly every arriving packet would end the wait,
// and every wake-up costs a pass of libcurl over all twelve transfers (one
// readiness check per socket, one read per few kilobytes). A short pause lets
// each socket collect several packets, which are then read in one go.
//
// A pause never runs into the expected end of a transfer: while any transfer
// may finish within twice the pause (or its rate is still unknown) the loop
// waits without pausing, so a finished part is judged and the next one
// requested as soon as before. Nor does a fast link pause (loopback, a LAN):
// there every wake-up brings plenty already. Nothing else changes: the same requests go out
// over the same connections, and TCP keeps receiving during a pause.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace transfer {

class ReadPacing {
public:
    using Clock = std::chrono::steady_clock;
    using Duration = std::chrono::microseconds;

    // The longest pause: at 2 MiB/s a socket gathers some 8 KiB meanwhile,
    // well inside libcurl's receive buffer and far below TCP's window.
    static constexpr Duration kMaxPause{4000};
    // Shorter pauses save too little to be worth a sleep.
    static constexpr Duration kMinPause{500};
    // A transfer's rate is settled once judged over at least this long.
    static constexpr Duration kMinRateSpan{5000};
    // A transfer that got this much since the last look is on a link fast
    // enough for every wake-up to bring plenty: no pause is worth it.
    static constexpr std::int32_t kPlentyBytes = 32768;

    // Where worker w's transfer stands after a perform: part p, `received`
    // bytes of its `length`. A new part, or fewer bytes than last seen (a
    // transfer begun again), starts a new transfer.
    void observe(Clock::time_point now, std::size_t worker, std::int32_t part, std::int32_t received,
                 std::int32_t length);
    // Forgets worker w's transfer (no part, or its transfer finished).
    void idle(std::size_t worker);

    // The pause to take now, at most `bound`: none while any transfer's rate
    // is unknown, it got kPlentyBytes since the look before, or its expected
    // end is nearer than twice the pause plus what earlier pauses overran.
    Duration pause(Duration bound) const;
    // Records how long a pause asked for `asked` really took: a coarse system
    // timer (Windows' default tick is 15.6 ms) makes later pauses shorter or
    // rarer, never later than the next transfer's end.
    void paused(Duration asked, Duration took);

private:
    struct Pace {
        bool active = false;
        std::int32_t part = -1;
        std::int32_t length = 0;
        std::int32_t lastReceived = 0;
        std::int32_t gathered = 0;  // since the look before
        bool flowing = false;       // bytes have come since the transfer began
        Clock::time_point flowingSince;
        std::int32_t flowingFrom = 0;
        double rate = 0;  // bytes per second since flowingSince, 0: none yet
        bool settled = false;     // rate judged over kMinRateSpan at least
        double earlierRate = 0;   // of the worker's transfers before (same connection, as a rule)

        // The rate to reckon with, 0 when unknown: an unsettled rate only
        // ever raises the earlier one, since a rate guessed too low could let
        // a pause run past the transfer's end.
        double expectedRate() const { return settled ? rate : std::max(rate, earlierRate); }
    };
    std::vector<Pace> m_paces;
    Duration m_overrun{0};
};

}  // namespace transfer
