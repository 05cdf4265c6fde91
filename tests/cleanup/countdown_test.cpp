// SPDX-License-Identifier: GPL-3.0-or-later
// The proceed/cancel dialog's countdown.
#include "cleanup/countdown.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tw::wipe {
namespace {

using Result = CProceedCancelDialog::Result;

TEST(Countdown, ShutdownCountsThirtyTicksThenProceeds) {
    CProceedCancelDialog d = CProceedCancelDialog::ShutdownCountdown();
    EXPECT_EQ(d.title, "Tidewipe");
    EXPECT_EQ(d.okText, "Proceed");
    EXPECT_EQ(d.cancelText, "Cancel");
    d.Init();
    EXPECT_TRUE(d.TimerRunning());
    EXPECT_EQ(d.StaticText(), "Shut down in 30 seconds.");
    for (int tick = 1; tick < 30; ++tick) {
        ASSERT_EQ(d.Tick(), Result::Running) << tick;
        EXPECT_EQ(d.StaticText(), "Shut down in " + std::to_string(30 - tick) + " seconds.");
    }
    EXPECT_EQ(d.StaticText(), "Shut down in 1 seconds.");
    EXPECT_EQ(d.Tick(), Result::Proceed);  // the 30th tick
    EXPECT_FALSE(d.TimerRunning());
    EXPECT_EQ(d.StaticText(), "Shut down in");  // below 1: the prefix alone
    EXPECT_EQ(d.Tick(), Result::Proceed);       // a late tick changes nothing
    EXPECT_EQ(d.seconds, 0);
}

TEST(Countdown, CancelAtAnyTickAndTimeoutWithoutProceed) {
    for (int at : {0, 1, 15, 29}) {
        CProceedCancelDialog d = CProceedCancelDialog::ShutdownCountdown();
        d.Init();
        for (int i = 0; i < at; ++i) d.Tick();
        d.Cancel();
        EXPECT_EQ(d.GetResult(), Result::Cancel);
        EXPECT_FALSE(d.TimerRunning());
        EXPECT_EQ(d.Tick(), Result::Cancel) << at;
    }
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
}

TEST(Countdown, RunCountdownShowsEachTickAndStopsOnCancel) {
    CProceedCancelDialog d = CProceedCancelDialog::ShutdownCountdown();
    std::vector<std::string> shown;
    int waits = 0;
    EXPECT_TRUE(RunCountdown(
        d, [&](const CProceedCancelDialog& x) { shown.push_back(x.StaticText()); },
        [&](int ms) {
            EXPECT_EQ(ms, 1000);
            ++waits;
            return false;
        }));
    EXPECT_EQ(waits, 30);
    ASSERT_EQ(shown.size(), 31u);
    EXPECT_EQ(shown.front(), "Shut down in 30 seconds.");
    EXPECT_EQ(shown[29], "Shut down in 1 seconds.");

    CProceedCancelDialog c = CProceedCancelDialog::ShutdownCountdown();
    waits = 0;
    EXPECT_FALSE(RunCountdown(c, {}, [&](int) { return ++waits == 5; }));
    EXPECT_EQ(c.GetResult(), Result::Cancel);
    EXPECT_EQ(c.seconds, 26);
}

}  // namespace
}  // namespace tw::wipe
