// SPDX-License-Identifier: GPL-3.0-or-later
#include "scheduler/schedule.h"

#include <cstdio>

#include "platform/error.h"
#include "platform/strings.h"

namespace tw::sched {

const char* const kDayValueNames[7] = {"repeatSun", "repeatMon", "repeatTue", "repeatWed",
                                       "repeatThu", "repeatFri", "repeatSat"};

namespace {

constexpr int kWeekDayTextId = 494;  // "Sunday" .. 500 "Saturday"
const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint32_t ReadValue(RegistryStore& store, const char* name) {
    uint32_t v = 0;
    if (!store.ReadDword(ProgramKey(), name, &v)) return 0;
    return v;
}

// Reads with default 0 and writes a 0 back, so that a missing value is created.
uint32_t ReadCreating(RegistryStore& store, const char* name) {
    uint32_t v = ReadValue(store, name);
    if (v == 0) store.WriteDword(ProgramKey(), name, 0);
    return v;
}

void WriteValue(RegistryStore& store, const char* name, uint32_t v) {
    store.WriteDword(ProgramKey(), name, v);
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

FileTime StoredStart(RegistryStore& store) {
    return (static_cast<FileTime>(ReadValue(store, "CleanStartTimeHi")) << 32) |
           ReadValue(store, "CleanStartTimeLo");
}

}  // namespace

bool LoadSchedule(RegistryStore& store, ScheduleRecord& record, FileTime* start) {
    const uint32_t lo = ReadCreating(store, "CleanStartTimeLo");
    const uint32_t hi = ReadCreating(store, "CleanStartTimeHi");
    if (start) *start = (static_cast<FileTime>(hi) << 32) | lo;
    const uint32_t type = ReadCreating(store, "repeatType");
    if (type < 4) record.repeatType = type;
    record.repeatDD = ReadCreating(store, "repeatDD");
    record.repeatHH = ReadCreating(store, "repeatHH");
    record.repeatMM = ReadCreating(store, "repeatMM");
    record.repeatDOM = ReadCreating(store, "repeatDOM");
    for (int d = 0; d < 7; ++d) record.days[d] = ReadCreating(store, kDayValueNames[d]);
    record.repeatCount = ReadCreating(store, "repeatCount");
    record.repeatForever = ReadCreating(store, "repeatForever");
    record.repeatUntilLo = ReadCreating(store, "repeatUntilLo");
    record.repeatUntilHi = ReadCreating(store, "repeatUntilHi");
    return true;
}

void SaveSchedule(RegistryStore& store, const ScheduleRecord& record, FileTime start) {
    WriteValue(store, "CleanStartTimeLo", static_cast<uint32_t>(start & 0xFFFFFFFFu));
    WriteValue(store, "CleanStartTimeHi", static_cast<uint32_t>(start >> 32));
    if (record.repeatType < 4) WriteValue(store, "repeatType", record.repeatType);
    WriteValue(store, "repeatDD", record.repeatDD);
    WriteValue(store, "repeatHH", record.repeatHH);
    WriteValue(store, "repeatMM", record.repeatMM);
    WriteValue(store, "repeatDOM", record.repeatDOM);
    for (int d = 0; d < 7; ++d) WriteValue(store, kDayValueNames[d], record.days[d]);
    WriteValue(store, "repeatCount", record.repeatCount);
    WriteValue(store, "repeatForever", record.repeatForever);
    WriteValue(store, "repeatUntilLo", record.repeatUntilLo);
    WriteValue(store, "repeatUntilHi", record.repeatUntilHi);
}

void SetSchedulerActive(RegistryStore& store, uint32_t flag) {
    WriteValue(store, "schedulerActive", flag);
}

uint32_t SchedulerActive(RegistryStore& store) { return ReadValue(store, "schedulerActive"); }

bool IsScheduleLive(RegistryStore& store, const SystemTime& nowLocal) {
    if (ReadCreating(store, "schedulerActive") == 0) return false;
    // The start is local wall clock, so it is compared with the local now.
    if (ToFileTime(nowLocal) > StoredStart(store) && ReadValue(store, "repeatType") == kRunOnce)
        return false;
    return true;
}

int DaysToNextRun(const SystemTime& now, const ScheduleRecord& record, const SystemTime& picker) {
    const int d = now.dayOfWeek;
    if (d >= 0 && d < 7 && record.days[d] && ToFileTime(now) < ToFileTime(picker)) return 0;
    // Forward from tomorrow round the week to today again; a week day past Saturday
    // wraps to Sunday. When no day is chosen the count runs one step beyond a week.
    for (int k = 1; k <= 7; ++k) {
        const int e = ((d + k) % 7 + 7) % 7;
        if (record.days[e]) return k;
    }
    return 8;
}

SystemTime NextRunDate(const SystemTime& now, const ScheduleRecord& record,
                       const SystemTime& picker) {
    const int days = DaysToNextRun(now, record, picker);
    return ToSystemTime(ToFileTime(now) + static_cast<FileTime>(days) * kFileTimePerDay);
}

std::string ScheduleDateText(const SystemTime& t) {
    std::string text;
    if (t.dayOfWeek >= 0 && t.dayOfWeek < 7)
        text += std::string(Text(kWeekDayTextId + t.dayOfWeek));
    text += ' ';
    if (t.month >= 1 && t.month <= 12) text += kMonths[t.month - 1];
    text += ' ';
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d %04d @ %02d:%02d:%02d", t.day, t.year, t.hour, t.minute,
                  t.second);
    return text + buf;
}

NextCleanText MakeNextCleanText(const ScheduleRecord& record, FileTime start,
                                const SystemTime& nowLocal) {
    NextCleanText out;
    const SystemTime startTime = ToSystemTime(start);
    if (start >= ToFileTime(nowLocal)) {
        out.text = ScheduleDateText(startTime);
        return out;
    }
    if (record.repeatType != kRunOnce) {
        // The picker is held on today's date with the start's time of day.
        SystemTime picker = nowLocal;
        picker.hour = startTime.hour;
        picker.minute = startTime.minute;
        picker.second = startTime.second;
        picker.milliseconds = startTime.milliseconds;
        SystemTime next = NextRunDate(nowLocal, record, picker);
        next.hour = startTime.hour;
        next.minute = startTime.minute;
        next.second = startTime.second;
        out.text = ScheduleDateText(next);
        return out;
    }
    out.text = Str<369>();  // "No tasks are scheduled to run"
    out.off = true;
    return out;
}

bool TimeMatches(const SystemTime& now, const SystemTime& start) {
    if (now.hour != start.hour || now.minute != start.minute) return false;
    const int diff = now.second - start.second;
    return diff >= -29 && diff < 30;
}

RequestCheck CheckCleanRequest(uint32_t code, uint32_t schedulerActive, const SystemTime& nowLocal,
                               FileTime start) {
    if (code == kRequestForced || code == kRequestPageStart || code == kRequestRunNow)
        return {true, true};
    return {schedulerActive != 0, TimeMatches(nowLocal, ToSystemTime(start))};
}

const char* RequestOutcomeName(RequestOutcome o) {
    switch (o) {
        case RequestOutcome::Started:
            return S<1610>.data();
        case RequestOutcome::SettingsNotLoaded:
            return S<1611>.data();
        case RequestOutcome::NotEnabled:
            return S<1612>.data();
        case RequestOutcome::TimeMismatch:
            return S<1613>.data();
        case RequestOutcome::Busy:
            return S<1614>.data();
        case RequestOutcome::AlreadyServing:
            return S<1615>.data();
    }
    return "";
}

CCleanRequestGate::CCleanRequestGate(RegistryStore& store, Host host, LocalClock clock)
    : store_(store), host_(std::move(host)), clock_(std::move(clock)) {}

RequestOutcome CCleanRequestGate::OnCleanRequest(uint32_t code) {
    if (host_.settingsLoaded && !host_.settingsLoaded()) return RequestOutcome::SettingsNotLoaded;
    const uint32_t active = SchedulerActive(store_);
    const SystemTime now = clock_();
    const FileTime start = host_.start ? host_.start() : StoredStart(store_);
    const RequestCheck check = CheckCleanRequest(code, active, now, start);
    if (!check.enabled) return RequestOutcome::NotEnabled;
    if (!check.matching) return RequestOutcome::TimeMismatch;
    if (host_.busy && host_.busy()) return RequestOutcome::Busy;
    if (serving_.exchange(true)) return RequestOutcome::AlreadyServing;
    struct ClearMark {
        std::atomic<bool>& flag;
        ~ClearMark() { flag.store(false); }
    } clear{serving_};
    if (host_.run) host_.run(code);
    return RequestOutcome::Started;
}

CSchedulePageModel::CSchedulePageModel(Settings& settings, LocalClock clock)
    : buttonText(Str<541>()), settings_(settings), clock_(std::move(clock)) {}

void CSchedulePageModel::Load() {
    LoadSchedule(settings_.Store(), record, &start);
    schedulerEnabled = SchedulerActive(settings_.Store()) != 0;
    buttonText = schedulerEnabled ? Str<540>() : Str<541>();
    RefreshNextCleanText();
}

ScheduleControls CSchedulePageModel::ControlsFromRecord() {
    ScheduleControls c;
    c.drives = settings_.DriveSet(kScheduledDrives);
    c.tasks = wipe::LoadTaskSet(settings_, true);
    c.runTodayOnly = record.repeatType == kRunOnce;
    for (int d = 0; d < 7; ++d) c.days[d] = record.days[d] != 0;
    const SystemTime s = ToSystemTime(start);
    c.picker = clock_();
    c.picker.hour = s.hour;
    c.picker.minute = s.minute;
    c.picker.second = s.second;
    c.picker.milliseconds = 0;
    return c;
}

void CSchedulePageModel::Refuse(std::string_view text) {
    if (hooks.message) hooks.message(text, S<102>);
}

bool CSchedulePageModel::ApplySchedule(const ScheduleControls& controls, bool enable,
                                       bool interactive, bool skipChecks, bool forManualRun) {
    // 1, 2. The drives come first: without one nothing else is done.
    if (controls.drives.empty()) {
        Refuse(S<550>);
        return false;
    }
    settings_.SetDriveSet(forManualRun ? kManualDrives : kScheduledDrives, controls.drives);

    // 3. The type, the day boxes (the page stores them as they change), the times.
    record.repeatType = controls.runTodayOnly ? kRunOnce : kRunOnDays;
    for (int d = 0; d < 7; ++d) record.days[d] = controls.days[d] ? 1 : 0;
    const SystemTime now = clock_();

    // 4, 5. The start.
    SystemTime startTime;
    if (record.repeatType == kRunOnce) {
        startTime = now;
        startTime.hour = controls.picker.hour;
        startTime.minute = controls.picker.minute;
        startTime.second = controls.picker.second;
        startTime.milliseconds = controls.picker.milliseconds;
    } else {
        startTime = NextRunDate(now, record, controls.picker);
        startTime.hour = controls.picker.hour;
        startTime.minute = controls.picker.minute;
        startTime.second = controls.picker.second;
    }
    FileTime newStart = 0;
    if (!SystemTimeToFileTime(startTime, &newStart)) return false;
    start = newStart;

    // 6. Validation.
    if (!skipChecks) {
        if (record.repeatType == kRunOnce && ToFileTime(now) > start) {
            Refuse(interactive ? S<107> : S<538>);
            return false;
        }
        if (record.repeatType == kRunOnDays) {
            bool any = false;
            for (uint32_t d : record.days) any = any || d != 0;
            if (!any) {
                Refuse(interactive ? S<122> : S<539>);
                return false;
            }
        }
    }

    // 7. Store; make sure the guard that fires the schedule runs.
    SaveSchedule(settings_.Store(), record, start);
    if (!guardRunning && hooks.launchGuard) {
        if (!hooks.launchGuard()) return false;
        guardRunning = true;
    }

    // 8. Switch timed cleaning on.
    if (enable && !skipChecks) {
        SetSchedulerActive(settings_.Store(), 1);
        schedulerEnabled = true;
        if (hooks.refreshStatus) hooks.refreshStatus();
    }

    // 9. The task sets, the page, the text, the broadcast, the button.
    wipe::StoreTaskSet(settings_, controls.tasks, true);
    if (forManualRun) wipe::StoreTaskSet(settings_, controls.tasks, false);
    if (interactive && hooks.showPage) hooks.showPage();
    RefreshNextCleanText();
    if (hooks.settingsChanged) hooks.settingsChanged(1);
    if (!skipChecks) buttonText = Str<540>();
    return true;
}

bool CSchedulePageModel::Save(const ScheduleControls& controls) {
    if (!ApplySchedule(controls, true, true, false, true)) return false;
    if (!ApplySchedule(controls, true, true, false, false)) return false;
    dirty = false;
    return true;
}

void CSchedulePageModel::Disable() {
    SetSchedulerActive(settings_.Store(), 0);
    schedulerEnabled = false;
    buttonText = Str<541>();  // pressing it again saves (and so enables)
    if (hooks.refreshStatus) hooks.refreshStatus();
    if (hooks.showPage) hooks.showPage();
    RefreshNextCleanText();
    if (hooks.settingsChanged) hooks.settingsChanged(0);
}

bool CSchedulePageModel::PressSaveButton(const ScheduleControls& controls) {
    if (schedulerEnabled && !dirty) {
        Disable();
        return true;
    }
    return Save(controls);
}

bool CSchedulePageModel::RunNow(const ScheduleControls& controls) {
    return ApplySchedule(controls, true, true, true, true);
}

bool CSchedulePageModel::EnableFromStatusPage() {
    return ApplySchedule(ControlsFromRecord(), true, false, false, false);
}

const std::string& CSchedulePageModel::RefreshNextCleanText() {
    NextCleanText t = MakeNextCleanText(record, start, clock_());
    nextCleanText = std::move(t.text);
    if (t.off && hooks.refreshStatus) hooks.refreshStatus();
    return nextCleanText;
}

}  // namespace tw::sched
