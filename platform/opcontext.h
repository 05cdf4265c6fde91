// SPDX-License-Identifier: GPL-3.0-or-later
// The operation context every long engine operation takes as its first argument:
// where progress goes, the abort flag, the pause check and the log writer.
//
// Long operations are synchronous. The CLI calls them on its main thread with a
// terminal progress line; the panel calls them on a worker thread and forwards the
// sink's calls to the window with queued signals. Failures come back as results.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tw {

namespace log {
class CActivityLogFile;
}

// Where an operation reports progress. Every call may come often: implementations
// throttle what they draw. All members have no-op defaults.
class ProgressSink {
  public:
    // Operations drive up to two bars: Current (this file, this pass) and Overall.
    enum Bar { Current = 0, Overall = 1 };
    // Text slots: the one-line status, and the time-remaining text of long runs.
    enum Slot { Status = 0, TimeRemaining = 1 };

    virtual ~ProgressSink() = default;
    virtual void SetRange(Bar, int64_t /*low*/, int64_t /*high*/) {}
    virtual void SetPos(Bar, int64_t /*pos*/) {}
    virtual void Step(Bar, int64_t /*by*/ = 1) {}
    virtual void SetText(Slot, std::string_view) {}
    // Yield point between chunks, files and records: the panel keeps its window
    // responsive here; the CLI does nothing. Returns the number of events handled.
    virtual int Pump() { return 0; }
};

struct OpContext {
    ProgressSink* progress = nullptr;      // may be null: no progress shown
    std::atomic<int>* abort = nullptr;     // non-zero asks the operation to stop
    std::function<void()> pauseCheck;      // blocks while the user has paused; may be empty
    log::CActivityLogFile* log = nullptr;  // may be null: nothing is logged

    bool Aborted() const { return abort && abort->load(std::memory_order_relaxed) != 0; }
    void RequestAbort() const {
        if (abort) abort->store(1, std::memory_order_relaxed);
    }
    void ClearAbort() const {
        if (abort) abort->store(0, std::memory_order_relaxed);
    }
    void PauseCheck() const {
        if (pauseCheck) pauseCheck();
    }
    void SetRange(ProgressSink::Bar b, int64_t lo, int64_t hi) const {
        if (progress) progress->SetRange(b, lo, hi);
    }
    void SetPos(ProgressSink::Bar b, int64_t p) const {
        if (progress) progress->SetPos(b, p);
    }
    void Step(ProgressSink::Bar b, int64_t by = 1) const {
        if (progress) progress->Step(b, by);
    }
    void Status(std::string_view text) const {
        if (progress) progress->SetText(ProgressSink::Status, text);
    }
    void TimeText(std::string_view text) const {
        if (progress) progress->SetText(ProgressSink::TimeRemaining, text);
    }
    int Pump() const { return progress ? progress->Pump() : 0; }
};

}  // namespace tw
