// SPDX-License-Identifier: GPL-3.0-or-later
// The time-remaining text: every branch of its wording, the rebuild rule and the clock.
#include "wipe/time_estimate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tw::wipe {
namespace {

// A clock the test moves by hand.
struct FakeClock {
    int64_t ms = 1000000;
    CTimeRemaining::Clock Fn() {
        return [this] { return ms; };
    }
};

TEST(TimeEstimate, EachBranchHasItsExactWording) {
    FakeClock c;
    CTimeRemaining t("P: ", "W", c.Fn());
    // f = 0.5: remaining time equals the elapsed time.
    EXPECT_EQ(t.Compose(0.5, 3660, false), "P: 1 hour, 1 minute (50% complete)");
    EXPECT_EQ(t.Compose(0.5, 7200, false), "P: 2 hours, 0 minutes (50% complete)");
    EXPECT_EQ(t.Compose(0.5, 3600, false), "P: 1 hour, 0 minutes (50% complete)");
    EXPECT_EQ(t.Compose(0.5, 3599, false), "P: 59 minutes (50% complete )");
    EXPECT_EQ(t.Compose(0.5, 120, false), "P: 2 minutes (50% complete )");
    EXPECT_EQ(t.Compose(0.5, 60, false), "P: 1 minute (50% complete )");
    EXPECT_EQ(t.Compose(0.5, 59.9, false), "P: 59 seconds (50% complete )");
    EXPECT_EQ(t.Compose(0.5, 1, false), "P: 1 second (50% complete )");
    EXPECT_EQ(t.Compose(0.5, 0.99, false), "P: W");
    // The percentage is printed "%2.0f": a blank pads one digit.
    EXPECT_EQ(t.Compose(0.05, 3, false), "P: 57 seconds ( 5% complete )");
    // The first text, and a fraction of zero, show the percentage alone.
    EXPECT_EQ(t.Compose(0.25, 100, true), "P: 25% complete");
    EXPECT_EQ(t.Compose(0.0, 100, false), "P:  0% complete");
    // Past the end: capped at 100, nothing remains.
    EXPECT_EQ(t.Compose(1.5, 100, true), "P: 100% complete");
    EXPECT_EQ(t.Compose(1.0, 100, false), "P: W");
}

TEST(TimeEstimate, UpdateFollowsTheClockAndRebuildsOnlyWhenThePercentageAdvances) {
    FakeClock c;
    CTimeRemaining t("", "waiting", c.Fn());
    t.Start();
    EXPECT_TRUE(t.Update(uint64_t{0}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), " 0% complete");  // the first text has no estimate

    c.ms += 30000;  // 30 s for 10 %: 270 s remain
    EXPECT_TRUE(t.Update(uint64_t{100}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "4 minutes (10% complete )");
    EXPECT_EQ(t.LastPercent(), 10);

    // Less than one whole percent further: the text stays as it was.
    c.ms += 100000;
    EXPECT_FALSE(t.Update(uint64_t{109}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "4 minutes (10% complete )");

    // One percent further: rebuilt with the new elapsed time (130 s for 11 %).
    EXPECT_TRUE(t.Update(uint64_t{110}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "17 minutes (11% complete )");

    // Near the end less than a second remains.
    c.ms += 10;
    EXPECT_TRUE(t.Update(uint64_t{1000}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "waiting");

    // No total: nothing to compute, nothing changes.
    EXPECT_FALSE(t.Update(uint64_t{5}, uint64_t{0}));
    EXPECT_EQ(t.Text(), "waiting");
}

TEST(TimeEstimate, CountsAndBytesGiveTheSameText) {
    FakeClock c1, c2;
    CTimeRemaining bytes("", "w", c1.Fn()), files("", "w", c2.Fn());
    bytes.Update(uint64_t{0}, uint64_t{8000000000ULL});
    files.Update(uint32_t{0}, uint32_t{80});
    c1.ms += 45000;
    c2.ms += 45000;
    ASSERT_TRUE(bytes.Update(uint64_t{2000000000ULL}, uint64_t{8000000000ULL}));
    ASSERT_TRUE(files.Update(uint32_t{20}, uint32_t{80}));
    EXPECT_EQ(bytes.Text(), "2 minutes (25% complete )");
    EXPECT_EQ(bytes.Text(), files.Text());
}

TEST(TimeEstimate, PausedTimeDoesNotCount) {
    // Measured with the operation's active time: a pause of more than a second before
    // half the work is done must not make a second or more remain.
    tw::Operation op;
    CTimeRemaining t(op);
    t.Update(uint64_t{1}, uint64_t{100});  // the first text has no time in it
    op.Pause(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    op.Pause(false);
    ASSERT_TRUE(t.Update(uint64_t{50}, uint64_t{100}));
    EXPECT_EQ(t.Text(), t.Prefix() + t.WaitingText());
}

TEST(TimeEstimate, StartForgetsThePreviousRun) {
    FakeClock c;
    CTimeRemaining t("", "w", c.Fn());
    t.Update(uint64_t{0}, uint64_t{100});
    c.ms += 1000;
    t.Update(uint64_t{90}, uint64_t{100});
    t.Start();
    EXPECT_EQ(t.LastPercent(), -1);
    EXPECT_EQ(t.Text(), " 0% complete");
    // Back at a lower percentage after the restart, the text is rebuilt again.
    EXPECT_TRUE(t.Update(uint64_t{10}, uint64_t{100}));
    EXPECT_EQ(t.Text(), "10% complete");
}

TEST(TimeEstimate, HugeEstimatesStayFinite) {
    FakeClock c;
    CTimeRemaining t("", "w", c.Fn());
    t.Update(uint64_t{0}, ~uint64_t{0});
    c.ms += 86400000;                                        // a day for almost nothing
    EXPECT_FALSE(t.Update(uint64_t{1}, uint64_t{1000000}));  // still 0 %: not rebuilt
    EXPECT_EQ(t.Text(), " 0% complete");
    EXPECT_EQ(t.Compose(1e-12, 86400, false).substr(0, 12), "99999 hours,");
}

}  // namespace
}  // namespace tw::wipe
