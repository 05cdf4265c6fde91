// SPDX-License-Identifier: GPL-3.0-or-later
// The timed clean: the schedule record in the settings store, the next run, the
// validation done when a schedule is saved, and the check made when a clean request
// arrives. The schedule page, the status page, the guard and the CLI share all of it.
//
// Time encoding. The start is stored as a local wall-clock FILETIME: the local date and
// time fields encoded with SystemTimeToFileTime and no time-zone conversion, so the
// value counts 100 ns units since 1 January 1601 *of local time*. Every comparison here
// is therefore made between local times: "now" always comes from a local clock (an
// injectable function, GetLocalTime by default), never from the UTC clock.
//
// Stored values (DWORDs under the program key): repeatType, repeatDD, repeatHH,
// repeatMM, repeatSun..repeatSat, repeatDOM, repeatCount, repeatForever, repeatUntilLo,
// repeatUntilHi, CleanStartTimeLo, CleanStartTimeHi, and schedulerActive.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cleanup/cleanup_tasks.h"
#include "platform/filetime.h"
#include "platform/registry.h"
#include "platform/settings.h"

namespace tw::sched {

// The local clock. Tests inject a fixed time.
using LocalClock = std::function<SystemTime()>;

// Clean request codes.
inline constexpr uint32_t kRequestForced = 0x521;     // scheduled set, no schedule check
inline constexpr uint32_t kRequestScheduled = 0x522;  // scheduled set, checked against the record
inline constexpr uint32_t kRequestPageStart = 0x523;  // the clean-up page's own start button
inline constexpr uint32_t kRequestRunNow = 0x524;     // manual set, at once

// repeatType values that are produced. 1 and 2 are loaded and saved unchanged but
// never produced; 4 and above are never taken from the store.
inline constexpr uint32_t kRunOnce = 0;
inline constexpr uint32_t kRunOnDays = 3;

// The schedule record, in the order of its in-memory block. days[0] is Sunday.
// repeatDD, repeatHH, repeatMM, repeatDOM, repeatCount, repeatForever and repeatUntil
// are stored and reloaded unchanged; nothing in this program uses them.
struct ScheduleRecord {
    uint32_t repeatType = kRunOnce;
    uint32_t repeatDD = 0, repeatHH = 0, repeatMM = 0;
    uint32_t reserved[2] = {0, 0};
    uint32_t days[7] = {0, 0, 0, 0, 0, 0, 0};
    uint32_t repeatDOM = 0, repeatCount = 0, repeatForever = 0;
    uint32_t repeatUntilLo = 0, repeatUntilHi = 0;
};

// Value names of the seven day switches, Sunday first.
extern const char* const kDayValueNames[7];

// Reads every schedule value with default 0; a value that reads as 0 is written back
// as 0, so missing values are created. repeatType is taken only when below 4 (the
// record keeps what it had otherwise). `start` receives CleanStartTimeLo/Hi. True.
bool LoadSchedule(RegistryStore& store, ScheduleRecord& record, FileTime* start);
// Writes CleanStartTimeLo, CleanStartTimeHi, then repeatType (only when below 4),
// repeatDD, repeatHH, repeatMM, repeatDOM, the seven days, repeatCount,
// repeatForever, repeatUntilLo, repeatUntilHi.
void SaveSchedule(RegistryStore& store, const ScheduleRecord& record, FileTime start);
// Writes schedulerActive.
void SetSchedulerActive(RegistryStore& store, uint32_t flag);
// schedulerActive, read afresh (0 when missing).
uint32_t SchedulerActive(RegistryStore& store);

// True when timed cleaning is on and the record can still fire: schedulerActive is not
// 0 (a 0 or missing value is written back as 0), and the stored start has not passed
// unless the stored repeatType is other than 0. `nowLocal` is the local wall clock,
// compared with the local-wall-clock start.
bool IsScheduleLive(RegistryStore& store, const SystemTime& nowLocal);

// Days from `now` to the next run: 0 when now's week day is chosen and now is earlier
// than `picker` (compared as FILETIMEs, the picker's date included); otherwise the
// count to the next chosen week day after today, wrapping round the week: 7 when only
// today is chosen and its time has passed, 8 when no day is chosen.
int DaysToNextRun(const SystemTime& now, const ScheduleRecord& record, const SystemTime& picker);
// `now` plus DaysToNextRun days (date fields and week day valid; the time of day is
// now's). Callers use only its date.
SystemTime NextRunDate(const SystemTime& now, const ScheduleRecord& record,
                       const SystemTime& picker);

// "Sunday Dec 06 2026 @ 10:15:00": week-day name, month abbreviation, "%02d %04d @
// %02d:%02d:%02d" with day, year, hour, minute, second.
std::string ScheduleDateText(const SystemTime& t);

struct NextCleanText {
    std::string text;
    bool off = false;  // a one-time start that has passed: the scheduler counts as off
};
// The next-clean text: the start when it is now or later; a passed start with a
// repeatType other than 0 gives the date of NextRunDate (the picker held on today with
// the start's time of day) with the start's time; a passed one-time start gives "No
// tasks are scheduled to run" and off.
NextCleanText MakeNextCleanText(const ScheduleRecord& record, FileTime start,
                                const SystemTime& nowLocal);

// Same hour, same minute, and now's second minus the start's second in [-29, 30).
// Dates are not compared.
bool TimeMatches(const SystemTime& now, const SystemTime& start);

struct RequestCheck {
    bool enabled = false;
    bool matching = false;
};
// Codes 0x521, 0x523 and 0x524 are always enabled and matching. Any other code is
// enabled when schedulerActive is not 0 and matching when TimeMatches(now, start).
RequestCheck CheckCleanRequest(uint32_t code, uint32_t schedulerActive, const SystemTime& nowLocal,
                               FileTime start);

enum class RequestOutcome {
    Started,            // the run was started (and has returned)
    SettingsNotLoaded,  // the main window had not loaded its settings yet
    NotEnabled,         // timed cleaning is off
    TimeMismatch,       // not within the start's minute window
    Busy,               // a page is busy
    AlreadyServing,     // another request is being served
};
const char* RequestOutcomeName(RequestOutcome o);

// The clean request handler the main window and the guard share. A request that does
// not run is dropped without a message; the outcome says why.
class CCleanRequestGate {
  public:
    struct Host {
        std::function<bool()> settingsLoaded;    // empty: loaded
        std::function<bool()> busy;              // any of the main window's busy flags; empty: none
        std::function<FileTime()> start;         // the page's start; empty: the stored start
        std::function<void(uint32_t code)> run;  // shows the clean-up page, runs Start(code)
    };

    CCleanRequestGate(RegistryStore& store, Host host, LocalClock clock = GetLocalTime);

    // Checks the request (schedulerActive read afresh, local now) and, when enabled,
    // matching, not busy and not already serving one, marks a request as served, calls
    // host.run(code) and clears the mark when it returns. Safe to call from several
    // threads: only one request is served at a time.
    RequestOutcome OnCleanRequest(uint32_t code);
    bool Serving() const { return serving_.load(); }

  private:
    RegistryStore& store_;
    Host host_;
    LocalClock clock_;
    std::atomic<bool> serving_{false};
};

// What the schedule page shows: the inputs of ApplySchedule.
struct ScheduleControls {
    std::vector<std::string> drives;  // the drives ticked in the drive list (mount points)
    wipe::TaskSet tasks;              // the task rows' ticks
    bool runTodayOnly = true;         // "Run today only" (else "Run on these days")
    std::array<bool, 7> days{};       // Sun..Sat boxes
    SystemTime picker;                // the time picker; its date part counts too
};

// What the page model asks of its window. Every hook may be empty.
struct ScheduleHooks {
    // A message box: text and caption.
    std::function<void(std::string_view text, std::string_view caption)> message;
    // Starts the resident guard; false when it could not be started. Empty: no guard is
    // started (the caller says so to the user).
    std::function<bool()> launchGuard;
    // The settings-changed broadcast with its lParam (1 after a save, 0 after disabling).
    std::function<void(int lParam)> settingsChanged;
    std::function<void()> showPage;       // show the schedule page
    std::function<void()> refreshStatus;  // refresh the status texts
};

// The schedule page without its window: the record, the start, and the page state the
// save, enable, disable and run-now actions use.
class CSchedulePageModel {
  public:
    explicit CSchedulePageModel(Settings& settings, LocalClock clock = GetLocalTime);

    // LoadSchedule into the record and start; schedulerEnabled from schedulerActive;
    // the button text and the next-clean text refreshed.
    void Load();
    // The controls as the page shows them after Load: the record's type and days, the
    // picker on today's date with the start's time of day, the "sch" drives, the
    // scheduled task set.
    ScheduleControls ControlsFromRecord();

    // Builds the record and start from the controls, validates them and stores them.
    //  enable       switch timed cleaning on when the checks pass
    //  interactive  the user pressed a button on the schedule page (texts 107/122
    //               instead of 538/539, and the page is shown)
    //  skipChecks   "Run Clean-up NOW!": only the drive check is made
    //  forManualRun store the drives under "cfs" and the tasks as the manual set too
    //               (else the drives go under "sch")
    // A refusal shows its text through hooks.message (caption "Tidewipe") and answers
    // false; the record in the store is then untouched.
    bool ApplySchedule(const ScheduleControls& controls, bool enable, bool interactive,
                       bool skipChecks, bool forManualRun);

    // The save button with changes pending: applied for the manual set, then for the
    // scheduled set; clears dirty on success.
    bool Save(const ScheduleControls& controls);
    // The disable action: schedulerActive 0, schedulerEnabled cleared, status refreshed,
    // page shown, text refreshed, settings-changed broadcast with 0.
    void Disable();
    // The save button: disables when enabled and nothing changed, else saves.
    bool PressSaveButton(const ScheduleControls& controls);
    // "Run Clean-up NOW!": applies without checks (manual set too). True when the clean
    // request 0x524 should now be sent.
    bool RunNow(const ScheduleControls& controls);
    // The status tile switched on: applied without interaction for the scheduled set.
    bool EnableFromStatusPage();

    // Rebuilds nextCleanText from the record and start; a passed one-time start
    // refreshes the status texts.
    const std::string& RefreshNextCleanText();

    ScheduleRecord record;
    FileTime start = 0;
    bool schedulerEnabled = false;
    bool dirty = false;
    bool guardRunning = false;  // the resident guard is known to run
    std::string buttonText;     // "Save Settings to Scheduler" or "Disable Scheduler"
    std::string nextCleanText;
    ScheduleHooks hooks;

    Settings& GetSettings() { return settings_; }

  private:
    void Refuse(std::string_view text);

    Settings& settings_;
    LocalClock clock_;
};

}  // namespace tw::sched
