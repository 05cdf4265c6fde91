// SPDX-License-Identifier: GPL-3.0-or-later
// One long operation as the engine sees it (OpContext) and as its front end owns it
// (Operation): the stop request, the pause, progress and the log writer.
//
// Long operations are synchronous and take `const OpContext&` per call; no engine object
// keeps one. The front end makes an Operation, hands it to the call, and from any other
// thread (or a signal handler, through StopFlag) asks it to stop or to pause. The engine
// only reads the stop request: nothing below the front end clears it.
//
// Progress goes through a throttle: ranges are delivered at once, positions and texts at
// most about ten times a second, and the last value of each is delivered when the
// operation is flushed (Flush, or the Operation's end). A panel's sink can therefore post
// every call it receives to the window without flooding it.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace tw {

namespace log {
class CActivityLogFile;
}

// Where an operation's progress goes: the CLI's progress line, the panel's bars.
// All members have no-op defaults. Calls come from the thread running the operation
// (and from a helper thread of it, never two at once: the throttle serialises them).
class ProgressSink {
  public:
    // Operations drive up to two bars: Current (this file, this pass) and Overall.
    enum Bar { Current = 0, Overall = 1 };
    // Text slots: the one-line status, and the time-remaining text of long runs.
    enum Slot { Status = 0, TimeRemaining = 1 };

    virtual ~ProgressSink() = default;
    virtual void SetRange(Bar, int64_t /*low*/, int64_t /*high*/) {}
    virtual void SetPos(Bar, int64_t /*pos*/) {}
    virtual void SetText(Slot, std::string_view) {}
};

class OpContext {
  public:
    using Clock = std::chrono::steady_clock;

    OpContext(const OpContext&) = delete;
    OpContext& operator=(const OpContext&) = delete;

    // The user (or the front end) asked the operation to stop.
    bool Stopped() const { return stop_->load(std::memory_order_relaxed) != 0; }
    // Holds while the operation is paused; false when it is to stop (at once when a
    // stop is already asked for). Called at file, chunk and record boundaries.
    bool PauseCheck() const;
    // Sleeps for `d` unless a stop is asked for first; false when it was. Settling
    // pauses and retry waits use it, so no wait outlives a stop.
    bool WaitFor(std::chrono::milliseconds d) const;
    // Time since the operation began, less the time it spent paused: time-remaining
    // estimates measure with it, so a pause does not inflate them.
    Clock::duration ActiveTime() const;

    // Progress (throttled; see the top of this file).
    void SetRange(ProgressSink::Bar bar, int64_t low, int64_t high) const;
    void SetPos(ProgressSink::Bar bar, int64_t pos) const;
    void Step(ProgressSink::Bar bar, int64_t by = 1) const;
    void Status(std::string_view text) const { SetText(ProgressSink::Status, text); }
    void TimeText(std::string_view text) const { SetText(ProgressSink::TimeRemaining, text); }

    // The activity log writer; null: nothing is logged.
    log::CActivityLogFile* Log() const { return log_; }

  protected:
    OpContext(ProgressSink* sink, log::CActivityLogFile* log);
    ~OpContext() = default;

    void SetText(ProgressSink::Slot slot, std::string_view text) const;
    void Deliver(bool force) const;  // with mu_ held

    ProgressSink* sink_;
    log::CActivityLogFile* log_;
    std::atomic<int> ownStop_{0};
    std::atomic<int>* stop_ = &ownStop_;  // the flag Stop sets (see Operation::UseStopFlag)
    std::atomic<bool> paused_{false};

    mutable std::mutex mu_;  // guards everything below, and the waits
    mutable std::condition_variable cv_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point pausedAt_{};
    Clock::duration pausedTotal_{};
    // The throttle: what the sink last got and what waits to be delivered.
    Clock::duration interval_ = std::chrono::milliseconds(100);
    mutable Clock::time_point nextDue_{};
    mutable std::array<int64_t, 2> pos_{};
    mutable std::array<bool, 2> posPending_{};
    mutable std::array<std::string, 2> text_{};
    mutable std::array<bool, 2> textPending_{};
};

// The front end's side: made for one run of one operation, kept alive until it returns.
class Operation : public OpContext {
  public:
    explicit Operation(ProgressSink* sink = nullptr, log::CActivityLogFile* log = nullptr)
        : OpContext(sink, log) {}
    ~Operation() { Flush(); }

    // Asks the operation to stop; wakes a pause and any wait. Any thread.
    void Stop();
    // Pauses or resumes at the next PauseCheck. Any thread.
    void Pause(bool on);
    bool Paused() const { return paused_.load(); }
    // The flag Stop sets, for a signal handler (storing 1 into it is async-signal-safe;
    // waits notice such a store within 50 ms).
    std::atomic<int>& StopFlag() { return *stop_; }
    // Delivers the positions and texts the throttle holds back.
    void Flush();
    // How often positions and texts reach the sink; zero delivers every call (tests).
    void SetInterval(std::chrono::milliseconds interval);
    // The log writer, when it is known only after the Operation was made (before the
    // operation starts: the engine reads it without a lock).
    void SetLog(log::CActivityLogFile* log) { log_ = log; }

  protected:
    // Before the operation starts: `flag`, which must outlive it, becomes the stop flag
    // (a test stops the operation from a sink callback that only knows a flag).
    void UseStopFlag(std::atomic<int>& flag) { stop_ = &flag; }
    // Before the operation starts: where progress goes.
    void SetSink(ProgressSink* sink) { sink_ = sink; }
};

// An operation nobody stops, pauses or watches: for engine calls whose caller has no
// front end (a single step of a larger call that was given none).
const OpContext& IdleOperation();

}  // namespace tw
