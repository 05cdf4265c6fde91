// SPDX-License-Identifier: GPL-3.0-or-later
// The time-remaining text: every branch of its wording, the rebuild rule and the clock.
#include "wipe/time_estimate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tw::wipe {
namespace {

TEST(TimeEstimate, EachBranchHasItsWordingAndUpdateRebuildsOnlyWhenThePercentageAdvances) {
    CTimeRemaining fixed("P: ", "W", [] { return int64_t{0}; });
    struct Row {
        double fraction, elapsed;
        bool first;
        const char* text;
    };
    // At f = 0.5 the remaining time equals the elapsed time. The blank before ")" of the
    // minute and second forms and the "%2.0f" padding are part of the texts.
    const Row rows[] = {
        {0.5, 3660, false, "P: 1 hour, 1 minute (50% complete)"},
        {0.5, 7200, false, "P: 2 hours, 0 minutes (50% complete)"},
        {0.5, 3599, false, "P: 59 minutes (50% complete )"},
        {0.5, 60, false, "P: 1 minute (50% complete )"},
        {0.5, 59.9, false, "P: 59 seconds (50% complete )"},
        {0.5, 1, false, "P: 1 second (50% complete )"},
        {0.5, 0.99, false, "P: W"},
        {0.05, 3, false, "P: 57 seconds ( 5% complete )"},
        {0.25, 100, true, "P: 25% complete"},  // the first text has no estimate
        {0.0, 100, false, "P:  0% complete"},
        {1.5, 100, true, "P: 100% complete"},  // capped
        {1.0, 100, false, "P: W"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(fixed.Compose(r.fraction, r.elapsed, r.first), r.text)
            << r.fraction << " " << r.elapsed;
    // A run far from its end stays finite.
    EXPECT_EQ(fixed.Compose(1e-12, 86400, false).substr(0, 15), "P: 99999 hours,");

    int64_t ms = 1000000;
    CTimeRemaining t("", "waiting", [&ms] { return ms; });
    EXPECT_TRUE(t.Update(uint64_t{0}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), " 0% complete");

    ms += 30000;  // 30 s for 10 %: 270 s remain; counts give the same text as bytes
    EXPECT_TRUE(t.Update(uint32_t{10}, uint32_t{100}));
    EXPECT_EQ(t.Text(), "4 minutes (10% complete )");

    // Less than one whole percent further: the text stays as it was.
    ms += 100000;
    EXPECT_FALSE(t.Update(uint64_t{109}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "4 minutes (10% complete )");

    // One percent further: rebuilt with the new elapsed time (130 s for 11 %).
    EXPECT_TRUE(t.Update(uint64_t{110}, uint64_t{1000}));
    EXPECT_EQ(t.Text(), "17 minutes (11% complete )");

    // No total: nothing to compute, nothing changes.
    EXPECT_FALSE(t.Update(uint64_t{5}, uint64_t{0}));

    // A restart forgets the last percentage: a lower one is shown again.
    t.Start();
    EXPECT_EQ(t.Text(), " 0% complete");
    EXPECT_TRUE(t.Update(uint64_t{5}, uint64_t{100}));
    EXPECT_EQ(t.Text(), " 5% complete");

    // Measured with the operation's active time: a pause of more than a second before
    // half the work is done must not make a second or more remain.
    tw::Operation op;
    CTimeRemaining active(op);
    active.Update(uint64_t{1}, uint64_t{100});  // the first text has no time in it
    op.Pause(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    op.Pause(false);
    ASSERT_TRUE(active.Update(uint64_t{50}, uint64_t{100}));
    EXPECT_EQ(active.Text(), active.Prefix() + active.WaitingText());
}

}  // namespace
}  // namespace tw::wipe
