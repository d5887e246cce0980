// The outage rule of the transfer loop, on injected time points: a window
// from the last byte, and time in which the program did not run (a wait that
// ended far later than asked) starting it over.
#include <gtest/gtest.h>

#include "downloader/transport_retry.h"

namespace {

using namespace std::chrono_literals;
using transfer::OutageRetry;
using transfer::RetryClock;

constexpr transfer::RetryPolicy kPolicy{500ms, 8000ms, 60000ms, 3000ms};
const RetryClock::time_point kStart{};

TEST(OutageRetry, AFailureAfterTheWindowEndsTheRunUnlessTheProgramDidNotRun) {
    struct Case {
        const char* name;
        std::chrono::milliseconds waitAsked;  // the wait before the look
        std::chrono::milliseconds wokeAfter;  // when it returned
        bool lostTime;
    };
    const Case cases[] = {
        {"a wait that returns on time", 90s, 90s, false},
        {"late by exactly the tolerance", 1s, 6s, false},
        {"late by just over the tolerance", 1s, 6001ms, true},
        {"a process stopped for 90 s", 1s, 91s, true},
        {"a process stopped with no wait asked (in a perform)", 0ms, 5001ms, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutageRetry outage(kPolicy, kStart, false);
        // A failure at the run's start begins the pause sequence.
        ASSERT_TRUE(outage.retryLater(kStart));
        outage.expectWait(c.waitAsked);
        const auto woke = kStart + c.wokeAfter;
        EXPECT_EQ(outage.lookAt(woke), c.lostTime);
        // The window runs from the wake when the program did not run, else
        // from the start: 60 s after the wake a failure is still young.
        EXPECT_EQ(outage.retryLater(woke + 1ms), c.lostTime || c.wokeAfter < 60s);
        EXPECT_FALSE(outage.retryLater(woke + 60001ms));
    }
}

TEST(OutageRetry, LostTimeStartsThePauseSequenceOverAndEndsAPendingPause) {
    OutageRetry outage(kPolicy, kStart, false);
    auto now = kStart;
    // Pauses of 0.5, 1, 2 and 4 s; the next would be 8 s.
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(outage.retryLater(now));
        now += 10s;
    }
    ASSERT_TRUE(outage.retryLater(now));
    EXPECT_EQ(outage.millisecondsUntilRetry(now), 8000);
    EXPECT_TRUE(outage.lookAt(now + 30s));
    now += 30s;
    EXPECT_TRUE(outage.retryDue(now));
    ASSERT_TRUE(outage.retryLater(now));
    EXPECT_EQ(outage.millisecondsUntilRetry(now), 500);
}

TEST(OutageRetry, ExpectedWaitsAddUpUntilTheNextLook) {
    OutageRetry outage(kPolicy, kStart, false);
    outage.expectWait(2s);
    outage.expectWait(2s);
    outage.expectWait(-1s);  // a negative bound waits for nothing
    EXPECT_FALSE(outage.lookAt(kStart + 9s));
    // That look used them up.
    EXPECT_TRUE(outage.lookAt(kStart + 9s + 5001ms));
}

TEST(OutageRetry, ASilentMirrorIsLeftSoonerEvenAfterLostTime) {
    OutageRetry outage(kPolicy, kStart, true);
    EXPECT_TRUE(outage.lookAt(kStart + 100s));
    EXPECT_TRUE(outage.retryLater(kStart + 102s));
    EXPECT_FALSE(outage.retryLater(kStart + 103001ms));
}

TEST(OutageRetry, PublishesAPauseOnlyWhileNoConnectionSendsAndClearsItWhenTheRunEnds) {
    std::atomic<RetryClock::rep> published{-1};
    const auto ticks = [](std::chrono::milliseconds after) { return (kStart + after).time_since_epoch().count(); };
    {
        OutageRetry outage(kPolicy, kStart, false);
        outage.publishTo(&published);
        EXPECT_EQ(published.load(), 0);
        ASSERT_TRUE(outage.retryLater(kStart + 1s));
        EXPECT_EQ(published.load(), ticks(1500ms));
        // Another worker failing during the pause waits for the same one.
        ASSERT_TRUE(outage.retryLater(kStart + 1200ms));
        EXPECT_EQ(published.load(), ticks(1500ms));
        // Bytes from a connection still working: no outage, though some
        // requests still wait for the pause.
        outage.bytesArrived(kStart + 1300ms);
        EXPECT_EQ(published.load(), 0);
        ASSERT_TRUE(outage.retryLater(kStart + 2s));
        EXPECT_EQ(published.load(), ticks(2500ms));
        outage.expectWait(0ms);
        ASSERT_TRUE(outage.lookAt(kStart + 20s));  // the program did not run
        EXPECT_EQ(published.load(), 0);
        ASSERT_TRUE(outage.retryLater(kStart + 21s));
        EXPECT_NE(published.load(), 0);
    }
    EXPECT_EQ(published.load(), 0);
}

}  // namespace
