// SPDX-License-Identifier: GPL-3.0-or-later
// When the guard fires a timed clean.
//
// The stored start is a local wall-clock FILETIME (see scheduler/schedule.h), so every
// time here is local wall clock too. A one-time schedule (repeatType 0) is due at its
// start; a weekly one (repeatType 3) is due at the start's time of day on every chosen
// week day, the day found as the schedule page finds it (sched::NextRunDate). The panel
// accepts a scheduled request only within the start's minute window (sched::TimeMatches),
// so a due time whose window has passed (the machine slept through it) is skipped, not
// fired late. repeatType 1 and 2 are never produced and never fire.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/filetime.h"
#include "platform/registry.h"
#include "scheduler/schedule.h"

namespace tw::guard {

// The part of the schedule record the guard needs, read without writing anything.
struct ScheduleSnapshot {
    bool active = false;  // schedulerActive
    sched::ScheduleRecord record;
    FileTime start = 0;  // CleanStartTimeLo/Hi, local wall clock
};
ScheduleSnapshot ReadSchedule(RegistryStore& store);

// How long after a due time the panel still accepts the request: it matches while the
// seconds differ by less than 30.
inline constexpr FileTime kFireWindow = 29 * kFileTimePerSecond;

// The first due time at or after `nowLocal - kFireWindow` (so one whose window is still
// open counts) and later than `lastFired`; nullopt when the schedule is off, expired, of
// another type, or chooses no day.
std::optional<FileTime> NextDue(const ScheduleSnapshot& s, FileTime nowLocal, FileTime lastFired);

// True when `due` may be fired at `nowLocal`: it has come, at most kFireWindow ago, and
// the panel's own time test (same hour and minute, seconds within the window) passes.
bool FireNow(FileTime due, FileTime nowLocal);

// The local wall clock now, as a FILETIME.
FileTime NowLocal();

}  // namespace tw::guard
