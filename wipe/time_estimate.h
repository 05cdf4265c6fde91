// SPDX-License-Identifier: GPL-3.0-or-later
// The time-remaining text shown while deep clean, slack wiping and the clean-up run
// work through a drive.
//
// The object is started when a run starts and then told, as the run goes, how much of
// the work is done (bytes, or files when the byte totals are not known yet). It rebuilds
// its text only when the whole percentage has advanced by at least one since the text
// was last built, so a caller may call Update as often as it likes. The texts:
//
//   first text after Start, or nothing done yet:   "<prefix>%2.0f%% complete"
//   remaining >= 1 hour (60 minutes or more):      "<prefix>%d hour%s, %d minute%s (%2.0f%%
//   complete)" remaining >= 60 s:                             "<prefix>%d minute%s (%2.0f%%
//   complete )" 1 s <= remaining < 60 s:                       "<prefix>%d second%s (%2.0f%%
//   complete )" remaining < 1 s:                               "<prefix><waiting text>"
//
// "%s" is "s" unless the number before it is 1; the percentage is 100 x done / total,
// capped at 100. The blank before ")" in the minute and second forms, and its absence
// in the hour form, are part of the texts. Remaining time = elapsed / f x (1 - f) with
// f = done / total, elapsed measured on a wall clock (a CPU-time clock would stand
// still while the run waits for the disk) minus the time spent paused: a run measures
// with its operation's ActiveTime.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/operation.h"

namespace tw::wipe {

class CTimeRemaining {
  public:
    // Milliseconds on a monotonic clock. Tests inject their own.
    using Clock = std::function<int64_t()>;
    static int64_t SteadyMilliseconds();

    // Default prefix "Estimated time remaining: ", default waiting text "Estimating time
    // remaining." (the two string-table texts of the time display).
    CTimeRemaining();
    // The default texts, measured with the active time of `op` (which must outlive it).
    explicit CTimeRemaining(const OpContext& op);
    CTimeRemaining(std::string prefix, std::string waitingText, Clock clock = SteadyMilliseconds);

    // Records the start time and forgets the last percentage; the text becomes
    // "<prefix> 0% complete".
    void Start();

    // Done of total work units. True when the text was rebuilt. A total of 0 changes
    // nothing (no fraction can be formed).
    bool Update(uint64_t done, uint64_t total);
    bool Update(uint32_t done, uint32_t total) {
        return Update(static_cast<uint64_t>(done), static_cast<uint64_t>(total));
    }

    const std::string& Text() const { return text_; }
    const std::string& Prefix() const { return prefix_; }
    const std::string& WaitingText() const { return waiting_; }
    // The percentage the current text was built for (-1 before the first Update).
    int LastPercent() const { return lastPercent_; }

    // The text for a fraction done (0 < f) after `elapsedSeconds`, without the
    // rebuild rule: the body of Update, exposed so that every branch can be checked.
    std::string Compose(double fraction, double elapsedSeconds, bool firstText) const;

  private:
    int64_t Elapsed() const;

    std::string prefix_, waiting_;
    Clock clock_;
    int64_t startMs_ = 0;
    int lastPercent_ = -1;
    bool first_ = true;
    std::string text_;
};

}  // namespace tw::wipe
