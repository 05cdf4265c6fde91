// SPDX-License-Identifier: GPL-3.0-or-later
// The operation every long engine call runs in: a stop ends pauses and waits at once,
// the active time leaves pauses out, and the throttle keeps what matters.
#include "platform/operation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/common/recording_sink.h"

namespace tw {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(Operation, StopWakesAPauseAndAWait) {
    {
        Operation op;
        op.Pause(true);
        auto held = std::async(std::launch::async, [&op] { return op.PauseCheck(); });
        EXPECT_EQ(held.wait_for(milliseconds(150)), std::future_status::timeout);
        op.Stop();
        ASSERT_EQ(held.wait_for(milliseconds(2000)), std::future_status::ready);
        EXPECT_FALSE(held.get());  // ended by the stop, not by a resume
    }
    {
        Operation op;
        const auto begun = Clock::now();
        auto waiting =
            std::async(std::launch::async, [&op] { return op.WaitFor(milliseconds(10000)); });
        std::this_thread::sleep_for(milliseconds(50));
        // As a signal handler does it: a bare store, no notification.
        op.StopFlag().store(1);
        ASSERT_EQ(waiting.wait_for(milliseconds(2000)), std::future_status::ready);
        EXPECT_FALSE(waiting.get());
        EXPECT_LT(Clock::now() - begun, milliseconds(2000));
        EXPECT_FALSE(op.PauseCheck());
    }
    Operation op;  // neither paused nor stopped: nothing holds
    EXPECT_TRUE(op.PauseCheck());
    EXPECT_TRUE(op.WaitFor(milliseconds(1)));
}

TEST(Operation, ActiveTimeLeavesPausesOut) {
    Operation op;
    op.Pause(true);
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_LT(op.ActiveTime(), milliseconds(200));  // still paused
    op.Pause(false);
    std::this_thread::sleep_for(milliseconds(50));
    const auto active = op.ActiveTime();
    EXPECT_GE(active, milliseconds(50));
    EXPECT_LT(active, milliseconds(300));
}

TEST(Operation, ThrottleDeliversRangesCoalescesPositionsAndFlushesTheLast) {
    test::RecordingSink sink;
    Operation op(&sink);
    op.SetInterval(milliseconds(60000));  // nothing falls due during the test
    op.SetPos(ProgressSink::Current, 1);  // the first update goes through
    op.SetRange(ProgressSink::Overall, 0, 1000);
    for (int i = 1; i <= 1000; ++i) {
        op.SetPos(ProgressSink::Overall, i);
        op.Status("file " + std::to_string(i));
    }
    op.Step(ProgressSink::Current, 5);
    // The range came at once, with its start; the flood of positions did not.
    ASSERT_GE(sink.ranges.size(), 1u);
    EXPECT_LE(sink.positions, 3);
    EXPECT_LE(sink.statuses.size() + sink.timeTexts.size(), 1u);
    bool rangeSeen = false;
    for (const auto& r : sink.ranges)
        if (r.bar == ProgressSink::Overall && r.low == 0 && r.high == 1000) rangeSeen = true;
    EXPECT_TRUE(rangeSeen);

    op.Flush();
    // The last value of each bar and slot arrives.
    EXPECT_EQ(sink.pos[ProgressSink::Overall], 1000);
    EXPECT_EQ(sink.pos[ProgressSink::Current], 6);
    ASSERT_FALSE(sink.statuses.empty());
    EXPECT_EQ(sink.statuses.back(), "file 1000");
}

}  // namespace
}  // namespace tw
