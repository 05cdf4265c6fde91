// SPDX-License-Identifier: GPL-3.0-or-later
// The operation every long engine call runs in: a stop ends pauses and waits at once,
// the active time leaves pauses out, and the throttle keeps what matters.
#include "platform/operation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

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

// What reached the sink, in order.
struct Recorder : ProgressSink {
    struct Call {
        char kind;  // 'r' range, 'p' position, 't' text
        int which;
        int64_t a, b;
        std::string text;
    };
    std::vector<Call> calls;
    void SetRange(Bar bar, int64_t lo, int64_t hi) override {
        calls.push_back({'r', bar, lo, hi, {}});
    }
    void SetPos(Bar bar, int64_t p) override { calls.push_back({'p', bar, p, 0, {}}); }
    void SetText(Slot s, std::string_view t) override {
        calls.push_back({'t', s, 0, 0, std::string(t)});
    }
    int Count(char kind) const {
        int n = 0;
        for (const auto& c : calls) n += c.kind == kind;
        return n;
    }
};

TEST(Operation, ThrottleDeliversRangesCoalescesPositionsAndFlushesTheLast) {
    Recorder sink;
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
    ASSERT_GE(sink.Count('r'), 1);
    EXPECT_LE(sink.Count('p'), 3);
    EXPECT_LE(sink.Count('t'), 1);
    bool rangeSeen = false;
    for (const auto& c : sink.calls)
        if (c.kind == 'r' && c.which == ProgressSink::Overall && c.a == 0 && c.b == 1000)
            rangeSeen = true;
    EXPECT_TRUE(rangeSeen);

    op.Flush();
    // The last value of each bar and slot arrives.
    int64_t overall = -1, current = -1;
    std::string status;
    for (const auto& c : sink.calls) {
        if (c.kind == 'p' && c.which == ProgressSink::Overall) overall = c.a;
        if (c.kind == 'p' && c.which == ProgressSink::Current) current = c.a;
        if (c.kind == 't' && c.which == ProgressSink::Status) status = c.text;
    }
    EXPECT_EQ(overall, 1000);
    EXPECT_EQ(current, 6);
    EXPECT_EQ(status, "file 1000");
}

}  // namespace
}  // namespace tw
