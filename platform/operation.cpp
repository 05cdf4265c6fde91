// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/operation.h"

#include <vector>

namespace tw {

namespace {
// A stop stored by a signal handler cannot notify the condition variable, so waits
// look at the flag at least this often.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

// What the throttle decided to hand to a sink. It is collected under the operation's
// lock and delivered after it is released: a sink may then stop or pause the
// operation, or report more, from inside its own call without a deadlock. One lock
// for every sink keeps their calls one at a time.
struct SinkCall {
    enum Kind { Range, Pos, Text } kind;
    int which;
    int64_t a, b;
    std::string text;
};
thread_local std::vector<SinkCall> t_pending;

std::recursive_mutex& SinkMutex() {
    static std::recursive_mutex m;
    return m;
}

void Send(ProgressSink* sink) {
    std::vector<SinkCall> calls;
    calls.swap(t_pending);
    if (calls.empty()) return;
    std::lock_guard lock(SinkMutex());
    for (const SinkCall& c : calls) {
        switch (c.kind) {
            case SinkCall::Range:
                sink->SetRange(static_cast<ProgressSink::Bar>(c.which), c.a, c.b);
                break;
            case SinkCall::Pos:
                sink->SetPos(static_cast<ProgressSink::Bar>(c.which), c.a);
                break;
            case SinkCall::Text:
                sink->SetText(static_cast<ProgressSink::Slot>(c.which), c.text);
                break;
        }
    }
}
}  // namespace

OpContext::OpContext(ProgressSink* sink, log::CActivityLogFile* log) : sink_(sink), log_(log) {}

bool OpContext::PauseCheck() const {
    if (!paused_.load() || Stopped()) return !Stopped();
    std::unique_lock lock(mu_);
    while (paused_.load() && !Stopped()) cv_.wait_for(lock, kStopPoll);
    return !Stopped();
}

bool OpContext::WaitFor(std::chrono::milliseconds d) const {
    const auto until = Clock::now() + d;
    std::unique_lock lock(mu_);
    while (!Stopped()) {
        const auto now = Clock::now();
        if (now >= until) break;
        cv_.wait_for(lock, std::min<Clock::duration>(until - now, kStopPoll));
    }
    return !Stopped();
}

OpContext::Clock::duration OpContext::ActiveTime() const {
    std::lock_guard lock(mu_);
    const auto now = Clock::now();
    auto paused = pausedTotal_;
    if (paused_.load()) paused += now - pausedAt_;
    return now - start_ - paused;
}

void OpContext::SetRange(ProgressSink::Bar bar, int64_t low, int64_t high) const {
    if (!sink_) return;
    {
        std::lock_guard lock(mu_);
        // A new range starts the bar again: what was pending for the old one is moot.
        pos_[bar] = low;
        posPending_[bar] = false;
        t_pending.push_back({SinkCall::Range, bar, low, high, {}});
        t_pending.push_back({SinkCall::Pos, bar, low, 0, {}});
    }
    Send(sink_);
}

void OpContext::SetPos(ProgressSink::Bar bar, int64_t pos) const {
    if (!sink_) return;
    {
        std::lock_guard lock(mu_);
        pos_[bar] = pos;
        posPending_[bar] = true;
        Deliver(false);
    }
    Send(sink_);
}

void OpContext::Step(ProgressSink::Bar bar, int64_t by) const {
    if (!sink_) return;
    {
        std::lock_guard lock(mu_);
        pos_[bar] += by;
        posPending_[bar] = true;
        Deliver(false);
    }
    Send(sink_);
}

void OpContext::SetText(ProgressSink::Slot slot, std::string_view text) const {
    if (!sink_) return;
    {
        std::lock_guard lock(mu_);
        text_[slot].assign(text);
        textPending_[slot] = true;
        Deliver(false);
    }
    Send(sink_);
}

void OpContext::Deliver(bool force) const {
    const auto now = Clock::now();
    if (!force && now < nextDue_) return;
    nextDue_ = now + interval_;
    for (int b = 0; b < 2; ++b)
        if (posPending_[b]) {
            posPending_[b] = false;
            t_pending.push_back({SinkCall::Pos, b, pos_[b], 0, {}});
        }
    for (int s = 0; s < 2; ++s)
        if (textPending_[s]) {
            textPending_[s] = false;
            t_pending.push_back({SinkCall::Text, s, 0, 0, text_[s]});
        }
}

void Operation::Stop() {
    stop_->store(1);
    std::lock_guard lock(mu_);
    cv_.notify_all();
}

void Operation::Pause(bool on) {
    std::lock_guard lock(mu_);
    if (paused_.load() == on) return;
    if (on) {
        pausedAt_ = Clock::now();
    } else {
        pausedTotal_ += Clock::now() - pausedAt_;
    }
    paused_.store(on);
    cv_.notify_all();
}

void Operation::Flush() {
    if (!sink_) return;
    {
        std::lock_guard lock(mu_);
        Deliver(true);
    }
    Send(sink_);
}

void Operation::SetInterval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mu_);
    interval_ = interval;
}

const OpContext& IdleOperation() {
    static const Operation idle;
    return idle;
}

}  // namespace tw
