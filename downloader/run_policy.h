// How many parts a worker's next request covers. Every request costs its
// connection one idle round trip, so runs are long; but a request in flight
// is never cut, so the end of the download must still spread over every
// connection. The first run of a worker whose rate is not known yet covers a
// third of its even share (at most kFirstRunParts); later runs are sized so
// that every worker, at the rate it has shown, ends together with the
// others, and no run is planned beyond kRunHorizon. As the parts run out the
// runs grow shorter, down to one part.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace transfer {

inline constexpr std::int32_t kFirstRunParts = 16;
inline constexpr std::chrono::seconds kRunHorizon{30};

struct RunPlan {
    std::int32_t partsLeft = 0;   // parts nobody has been handed yet
    std::int32_t partsCount = 0;  // parts of the whole file
    std::int32_t partSize = 0;
    std::int32_t workers = 0;
    double bytesPerSecond = 0;  // the asking worker's rate; 0: not known
    struct Busy {
        std::int64_t bytesLeft = 0;  // of its run, not received yet
        double bytesPerSecond = 0;   // 0: not known
    };
    std::vector<Busy> busy;  // the other workers (bytesLeft 0: free now)
};

// Parts for the asking worker's next run: at least 1 while any part is left,
// at most partsLeft.
std::int32_t runLength(const RunPlan& plan);

// The rate each worker has shown: bytes over the time since its request
// went out, so that the round trip and the connection's start count too.
class RunRates {
public:
    using Clock = std::chrono::steady_clock;

    // A request under way needs this long before its rate is trusted over
    // the one before; an ended request's rate always replaces it.
    static constexpr std::chrono::milliseconds kMinSpan{500};

    explicit RunRates(std::size_t workers) : m_workers(workers) {}
    // Worker w's request went out at `now`; it had received `received` bytes in all before.
    void requested(std::size_t worker, Clock::time_point now, std::int64_t received);
    // Worker w's request ended; its rate is kept for the worker's later plans.
    void ended(std::size_t worker, Clock::time_point now, std::int64_t received);
    // Worker w's rate now (bytes per second), 0 while not known.
    double rate(std::size_t worker, Clock::time_point now, std::int64_t received) const;

private:
    struct Worker {
        bool inFlight = false;
        Clock::time_point since;
        std::int64_t receivedBefore = 0;
        double known = 0;
    };
    double current(const Worker& worker, Clock::time_point now, std::int64_t received) const;
    std::vector<Worker> m_workers;
};

}  // namespace transfer
