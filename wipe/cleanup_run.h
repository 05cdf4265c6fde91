// SPDX-License-Identifier: GPL-3.0-or-later
// The drive clean-up run: the chosen tasks on each chosen drive, one drive after the
// other, with pause, abort, the closing log lines and the shutdown at the end. The
// clean-up page, the clean-request handler and `tidewipe-cli clean` all run it.
//
// Per drive, in this order, each step only when its switch is set and the abort flag
// is still clear:
//   1. preparation: running, abort cleared, the plan text (hooks.plan)
//   2. wipe every Trash item                                   (steps.recycleBin)
//   3. clean the free space; a result of -1 sets the abort flag, so the later steps
//      of the drive are skipped, and shows text 118 when the temporary folder really
//      stayed behind (else a plain failure text)                (steps.freeSpace)
//   4. the counting walk, when deep clean, re-clean or slack is chosen
//   5. deep clean (re-clean: files cleaned before too)
//   6. wipe file slacks
//   7. scrub deleted NTFS file records                          (steps.tableEntries)
//   8. wipe the swap areas (machine-wide: done on the first drive that reaches the
//      step, not once per drive)                              (steps.swap)
//   9. the closing lines: each aborted task's text, the free-space count line, the
//      success lines; not running any more.
// After the last drive, with the shutdown switch set and no abort in the run: the
// 30-second countdown (hooks.countdown) and, on Proceed, $TIDEWIPE_POWEROFF_COMMAND
// (default "systemctl poweroff").
//
// An abort (the abort flag: Abort(), Ctrl-C, or a free-space failure) moves straight
// to the closing lines of the drive being cleaned and ends the run. A pause takes
// effect at the next file boundary (PauseCheck, called by the walkers before each file
// and by the free-space fill between chunks) and holds until resumed or aborted.
//
// Threads: Start runs on the calling thread. Abort, SetPaused and TogglePause may be
// called from any thread (they only touch atomics, and Abort the status text through
// the sink, which must then be thread-safe); the abort flag may also be set directly,
// e.g. by a signal handler.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drives.h"
#include "platform/opcontext.h"
#include "platform/settings.h"
#include "wipe/cleanup_tasks.h"
#include "wipe/countdown.h"
#include "wipe/swap_wipe.h"

namespace tw::log {
class CActivityLogFile;
}

namespace tw::wipe {

class CCountingWalk;

// Request codes (the clean request of the scheduler).
inline constexpr uint32_t kCleanScheduledForced = 0x521;  // scheduled set and "sch" drives
inline constexpr uint32_t kCleanScheduled = 0x522;        // the same, after the schedule check
inline constexpr uint32_t kCleanPageStart = 0x523;        // the tasks and drives as they stand
inline constexpr uint32_t kCleanRunNow = 0x524;           // manual set and "cfs" drives

// One drive of a run: the text it is chosen by (its mount point) and, when mounted,
// its description.
struct CleanupDrive {
    std::string text;               // mount point, as stored in the drive sets
    std::optional<DriveInfo> info;  // none: not mounted now
    std::string refusal;            // non-empty: the drive is not cleaned, and why
};

// What a step that is not run in-process gives back.
struct StepResult {
    bool ran = false;      // the step did its work (partly, when aborted)
    bool aborted = false;  // the abort flag stopped it
    std::string skipped;   // non-empty: not run on this drive, and why (logged)
};

// The steps a caller can replace: the engine binds the real ones (the Trash wipe and
// the NTFS scrub live in libraries above this one), tests bind failing or recording
// ones. An empty step is skipped with a log line saying it is not available.
struct CleanupSteps {
    std::function<StepResult(const OpContext&, const CleanupDrive&, int passes)> recycleBin;
    // Passes completed, 0 when there was nothing to do, -1 on failure.
    std::function<int(const OpContext&, const CleanupDrive&, int passes)> freeSpace;
    std::function<StepResult(const OpContext&, const CleanupDrive&)> tableEntries;
    std::function<StepResult(const OpContext&, int passes)> swap;
    // Runs the power-off command; its exit status.
    std::function<int(const std::string& command)> powerOff;
};

// What the run asks of its window. Every hook may be empty.
struct CleanupHooks {
    std::function<void(std::string_view text, std::string_view caption)> message;
    std::function<void(std::string_view planText)> plan;
    std::function<void(const CleanupDrive&)> driveStarted;
    std::function<void(std::string_view caption)> pauseCaption;  // "Pause" / "Resume"
    std::function<void(bool on)> activity;                       // the activity indicator
    // Runs the shutdown countdown to its end; true for Proceed. Empty: the countdown
    // runs on its own, one tick a second, and proceeds after 30 seconds.
    std::function<bool(CProceedCancelDialog&)> countdown;
};

// The outcome of one drive.
struct DriveOutcome {
    std::string drive;
    bool cleaned = false;                // the sequence ran (not refused)
    std::string refusal;                 // why it was not cleaned
    int freeSpaceResult = -2;            // -2: not run; else the step's result
    bool aborted = false;                // the abort flag was set when its sequence ended
    std::array<bool, kTaskCount> ran{};  // the step ran
    std::array<bool, kTaskCount> taskAborted{};
    std::vector<std::string> skipped;  // skip lines logged for this drive
};

struct CleanupSummary {
    bool started = false;
    std::string notStartedReason;  // no drive chosen, already running
    TaskSet tasks;
    std::vector<DriveOutcome> drives;
    bool aborted = false;  // an abort happened in the run
    bool countdownShown = false;
    bool shutdownProceeded = false;  // the countdown ended by Proceed
    int powerOffStatus = -1;         // the command's exit status when it ran
};

// What a run would do, without doing anything.
struct CleanupPlan {
    TaskSet tasks;
    std::string planText;
    std::vector<CleanupDrive> drives;  // refused ones carry their refusal
    std::string notStartedReason;      // "" when the run would start
    std::string powerOffCommand;       // with the shutdown task
};

class CCleanupRun {
  public:
    // `settings` gives the stored task and drive sets and the logging switches;
    // `progress` (may be null) and `log` (may be null: nothing logged) are used for
    // every step. All must outlive the run.
    CCleanupRun(Settings& settings, ProgressSink* progress, log::CActivityLogFile* log);
    ~CCleanupRun();
    CCleanupRun(const CCleanupRun&) = delete;
    CCleanupRun& operator=(const CCleanupRun&) = delete;

    // The page's state: the ticked rows and drives in list order (code 0x523 uses them
    // as they stand; the other codes load them first).
    TaskSet tasks;
    std::vector<std::string> drives;
    int passCount = 3;  // N, copied into the wipers at the start of each drive
    // Store the task rows as the manual set when a page start (0x523) begins, as the
    // page does; the CLI's one-off choices are not stored.
    bool saveManualSetOnStart = true;
    // The free-space step's settling pause: this many sleeps of 50 ms.
    int settleSleeps = 40;

    CleanupSteps steps;
    CleanupHooks hooks;

    // Uses `flag` as the abort flag instead of the run's own (the CLI's Ctrl-C flag).
    void SetAbortFlag(std::atomic<int>* flag) { abort_ = flag ? flag : &ownAbort_; }
    // Uses `flag` as the pause flag (non-zero: paused), so that a signal handler can
    // pause and resume by storing to it.
    void SetPauseFlag(std::atomic<int>* flag) { paused_ = flag ? flag : &ownPaused_; }

    // Loads the sets for `requestCode` into tasks and drives (0x521, 0x522: scheduled;
    // 0x524: manual; others: as they stand).
    void LoadSets(uint32_t requestCode);
    // The plan for `requestCode` (loads the sets like Start).
    CleanupPlan Plan(uint32_t requestCode);

    // One run over every chosen drive. Returns when the run has ended (and the
    // power-off command has been started, if it came to that).
    CleanupSummary Start(uint32_t requestCode);

    // The abort button: sets the abort flag and shows "Abort selected. Finishing
    // current file.".
    void Abort();
    // The pause button.
    void SetPaused(bool paused);
    void TogglePause() { SetPaused(!Paused()); }
    bool Paused() const { return paused_->load() != 0; }
    bool Running() const { return running_.load(); }
    bool AbortRequested() const { return abort_->load() != 0; }

    // Blocks while the pause flag is set (and no abort is asked for): the status shows
    // "Operation Paused. Click Resume to continue." and the counting walk holds; both
    // are restored afterwards.
    void PauseCheck();

    // The drives of `texts` resolved and checked (not mounted, read-only: refused).
    static std::vector<CleanupDrive> ResolveDrives(const std::vector<std::string>& texts);
    // $TIDEWIPE_POWEROFF_COMMAND, else "systemctl poweroff".
    static std::string PowerOffCommand();
    // Runs `command` with /bin/sh -c; its exit status (-1 when it could not run).
    static int RunPowerOffCommand(const std::string& command);

  private:
    class Sink;
    void CleanDrive(const CleanupDrive& drive, DriveOutcome& out);
    void ClosingLines(DriveOutcome& out);
    void Log(const std::string& line);
    void Skip(DriveOutcome& out, Task task, const std::string& why);
    OpContext Context();

    Settings& settings_;
    std::unique_ptr<Sink> sink_;
    log::CActivityLogFile* log_;
    std::atomic<int> ownAbort_{0};
    std::atomic<int>* abort_ = &ownAbort_;
    std::atomic<int> ownPaused_{0};
    std::atomic<int>* paused_ = &ownPaused_;
    std::atomic<bool> running_{false};
    CCountingWalk* counting_ = nullptr;       // the counting walk of the drive being cleaned
    std::atomic<bool> internalAbort_{false};  // the run itself set the abort flag (-1)
    std::string lastFreeSpaceRefusal_;
    std::string lastFreeSpaceFolder_;  // where the last free-space step put its folder
    bool swapDone_ = false;
    bool deepCleanOk_ = false;
};

}  // namespace tw::wipe
