// SPDX-License-Identifier: GPL-3.0-or-later
// The proceed/cancel dialog's countdown on its own: a cancel at any tick holds, a plain
// dialog never proceeds on its time-out, and the loop stops waiting once cancelled. The
// shutdown countdown's texts and its proceeding after 30 ticks are the whole runs' (in
// cleanup_run_volume_test and clean_cli_volume_test).
#include "cleanup/countdown.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw::wipe {
namespace {

using Result = CProceedCancelDialog::Result;

TEST(Countdown, CancelHoldsAndOnlyTheShutdownProceedsOnTimeout) {
    for (int at : {0, 1, 15, 29}) {
        CProceedCancelDialog d = CProceedCancelDialog::ShutdownCountdown();
        d.Init();
        for (int i = 0; i < at; ++i) d.Tick();
        d.Cancel();
        EXPECT_EQ(d.GetResult(), Result::Cancel);
        EXPECT_FALSE(d.TimerRunning());
        EXPECT_EQ(d.Tick(), Result::Cancel) << at;
    }
    CProceedCancelDialog d = CProceedCancelDialog::ShutdownCountdown();
    d.Init();
    for (int tick = 1; tick < 30; ++tick) ASSERT_EQ(d.Tick(), Result::Running) << tick;
    EXPECT_EQ(d.Tick(), Result::Proceed);  // the 30th tick
    EXPECT_FALSE(d.TimerRunning());
    EXPECT_EQ(d.StaticText(), "Shut down in");  // below 1: the prefix alone
    EXPECT_EQ(d.Tick(), Result::Proceed);       // a late tick changes nothing
    EXPECT_EQ(d.seconds, 0);

    CProceedCancelDialog plain;
    plain.prefix = "Closing in";
    plain.suffix = "s";
    plain.seconds = 2;
    plain.Init();
    EXPECT_EQ(plain.Tick(), Result::Running);
    EXPECT_EQ(plain.Tick(), Result::Cancel);  // no proceed on timeout
    CProceedCancelDialog noTimer;
    noTimer.Init();
    EXPECT_FALSE(noTimer.TimerRunning());
    EXPECT_EQ(noTimer.StaticText(), "");
    EXPECT_EQ(noTimer.Tick(), Result::Running);

    // The loop waits a second per tick and stops at the cancel.
    CProceedCancelDialog c = CProceedCancelDialog::ShutdownCountdown();
    int waits = 0;
    EXPECT_FALSE(RunCountdown(c, {}, [&](int ms) {
        EXPECT_EQ(ms, 1000);
        return ++waits == 5;
    }));
    EXPECT_EQ(c.GetResult(), Result::Cancel);
    EXPECT_EQ(c.seconds, 26);
}

}  // namespace
}  // namespace tw::wipe
