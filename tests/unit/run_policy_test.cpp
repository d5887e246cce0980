// How long a worker's next run is, and the rates it is sized by.
#include "downloader/run_policy.h"

#include <gtest/gtest.h>

namespace {

using transfer::RunPlan;
using transfer::RunRates;

constexpr std::int32_t kPart = 524288;
constexpr double kMiB = 1024.0 * 1024.0;

RunPlan plan(std::int32_t partsLeft, std::int32_t partsCount, double rate, std::vector<RunPlan::Busy> busy = {}) {
    RunPlan p;
    p.partsLeft = partsLeft;
    p.partsCount = partsCount;
    p.partSize = kPart;
    p.workers = 12;
    p.bytesPerSecond = rate;
    p.busy = std::move(busy);
    return p;
}

std::vector<RunPlan::Busy> others(int count, std::int64_t bytesLeft, double rate) {
    return std::vector<RunPlan::Busy>(static_cast<std::size_t>(count), RunPlan::Busy{bytesLeft, rate});
}

struct LengthCase {
    const char* name;
    RunPlan plan;
    std::int32_t parts;
};

class RunLength : public testing::TestWithParam<LengthCase> {};

TEST_P(RunLength, FitsTheWorkLeftAndTheRates) { EXPECT_EQ(transfer::runLength(GetParam().plan), GetParam().parts); }

INSTANTIATE_TEST_SUITE_P(
    Plans, RunLength,
    testing::Values(
        LengthCase{"NothingLeft", plan(0, 256, 2 * kMiB), 0},
        // Rate not known yet: a third of an even share, at most 16 parts.
        LengthCase{"FirstRunOf128MiB", plan(256, 256, 0), 8},
        LengthCase{"FirstRunOf2GiB", plan(4096, 4096, 0), 16},
        LengthCase{"FirstRunOfThirteenParts", plan(13, 13, 0), 1},
        LengthCase{"FirstRunNeverBeyondWhatIsLeft", plan(3, 4096, 0), 3},
        // Twelve workers of 2 MiB/s, the others just free: 64 MiB end together
        // after 2.67 s, 10.67 parts each, rounded up.
        LengthCase{"EvenShareOfEqualWorkers", plan(128, 256, 2 * kMiB, others(11, 0, 2 * kMiB)), 11},
        LengthCase{"SlowWorkerTakesLess", plan(128, 256, 1 * kMiB, others(11, 0, 2 * kMiB)), 6},
        LengthCase{"FastWorkerTakesMore", plan(128, 256, 4 * kMiB, others(11, 0, 2 * kMiB)), 20},
        // A worker busy far beyond the common end takes no share of it.
        LengthCase{"BusyBeyondTheEndLeavesAllToTheAsker", plan(10, 256, 2 * kMiB, others(1, 1000 * kPart, 2 * kMiB)), 10},
        // Others still busy for 2 s: the asker takes their 2 s worth too.
        LengthCase{"BusyOthersCountWithTheirWorkLeft", plan(40, 256, 2 * kMiB, others(3, 8 * kPart, 2 * kMiB)), 16},
        LengthCase{"UnknownBusyRateIsTakenAsTheAskers", plan(40, 256, 2 * kMiB, others(3, 8 * kPart, 0)), 16},
        LengthCase{"NoRunBeyondThirtySeconds", plan(4000, 4096, 1 * kMiB), 60},
        LengthCase{"TheLastPart", plan(1, 256, 2 * kMiB, others(11, 4 * kPart, 2 * kMiB)), 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunRates, ARateUnderWayCountsAfterHalfASecondAnEndedOneAtOnce) {
    RunRates rates(2);
    const auto t0 = RunRates::Clock::now();
    using std::chrono::milliseconds;
    EXPECT_EQ(rates.rate(0, t0, 0), 0) << "no request yet";
    rates.requested(0, t0, 1000);
    EXPECT_EQ(rates.rate(0, t0 + milliseconds(400), 1000 + 400000), 0) << "too soon to tell";
    EXPECT_DOUBLE_EQ(rates.rate(0, t0 + milliseconds(1000), 1000 + 2000000), 2000000.0);
    rates.ended(0, t0 + milliseconds(2000), 1000 + 3000000);
    EXPECT_DOUBLE_EQ(rates.rate(0, t0 + milliseconds(9000), 0), 1500000.0) << "the ended request's rate";
    // A short request under way does not count yet; once ended, it does.
    rates.requested(0, t0 + milliseconds(9000), 3001000);
    EXPECT_DOUBLE_EQ(rates.rate(0, t0 + milliseconds(9100), 3002000), 1500000.0);
    rates.ended(0, t0 + milliseconds(9100), 3002000);
    EXPECT_DOUBLE_EQ(rates.rate(0, t0 + milliseconds(9200), 3002000), 10000.0);
    EXPECT_EQ(rates.rate(1, t0 + milliseconds(9200), 0), 0) << "workers are apart";
}

}  // namespace
