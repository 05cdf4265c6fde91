// SPDX-License-Identifier: GPL-3.0-or-later
#include "guard/schedule_watch.h"

#include "platform/settings.h"

namespace tw::guard {

namespace {

uint32_t ReadValue(RegistryStore& store, const char* name) {
    uint32_t v = 0;
    return store.ReadDword(ProgramKey(), name, &v) ? v : 0;
}

FileTime ToFileTime(const SystemTime& st) {
    FileTime ft = 0;
    SystemTimeToFileTime(st, &ft);
    return ft;
}

SystemTime ToSystemTime(FileTime ft) {
    SystemTime st;
    FileTimeToSystemTime(ft, &st);
    return st;
}

// `date`'s date with `timeOfDay`'s time.
SystemTime WithTimeOf(SystemTime date, const SystemTime& timeOfDay) {
    date.hour = timeOfDay.hour;
    date.minute = timeOfDay.minute;
    date.second = timeOfDay.second;
    date.milliseconds = timeOfDay.milliseconds;
    return date;
}

}  // namespace

// The guard polls the record every minute; the scheduler's own loader writes back every
// value that reads as 0, which a poller must not do, so the values are read here
// directly, in the same encoding.
ScheduleSnapshot ReadSchedule(RegistryStore& store) {
    ScheduleSnapshot s;
    s.active = sched::SchedulerActive(store) != 0;
    s.start = (static_cast<FileTime>(ReadValue(store, "CleanStartTimeHi")) << 32) |
              ReadValue(store, "CleanStartTimeLo");
    const uint32_t type = ReadValue(store, "repeatType");
    if (type < 4) s.record.repeatType = type;
    for (int d = 0; d < 7; ++d) s.record.days[d] = ReadValue(store, sched::kDayValueNames[d]);
    return s;
}

std::optional<FileTime> NextDue(const ScheduleSnapshot& s, FileTime nowLocal, FileTime lastFired) {
    if (!s.active || s.start == 0) return std::nullopt;
    const FileTime from = nowLocal > kFireWindow ? nowLocal - kFireWindow : 0;
    if (s.record.repeatType == sched::kRunOnce) {
        if (s.start < from || s.start <= lastFired) return std::nullopt;
        return s.start;
    }
    if (s.record.repeatType != sched::kRunOnDays) return std::nullopt;

    const SystemTime startTime = ToSystemTime(s.start);
    FileTime ref = from;
    // Two rounds at most: a due time already fired moves the search past it, and from
    // there the next chosen day is at least one day later.
    for (int round = 0; round < 2; ++round) {
        const SystemTime refTime = ToSystemTime(ref);
        const SystemTime picker = WithTimeOf(refTime, startTime);
        const int days = sched::DaysToNextRun(refTime, s.record, picker);
        if (days > 7) return std::nullopt;  // no day chosen
        const SystemTime date = sched::NextRunDate(refTime, s.record, picker);
        const FileTime due = ToFileTime(WithTimeOf(date, startTime));
        if (due > lastFired) return due;
        ref = due;
    }
    return std::nullopt;
}

bool FireNow(FileTime due, FileTime nowLocal) {
    // The panel compares only the time of day; a due time a day old must not pass.
    if (nowLocal < due || nowLocal - due > kFireWindow) return false;
    return sched::TimeMatches(ToSystemTime(nowLocal), ToSystemTime(due));
}

FileTime NowLocal() { return ToFileTime(GetLocalTime()); }

}  // namespace tw::guard
