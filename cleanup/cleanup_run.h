// SPDX-License-Identifier: GPL-3.0-or-later
// The drive clean-up run: the chosen tasks on each chosen drive, one drive after the
// other, with the closing log lines. The clean-up page, the clean-request handler and
// `tidewipe-cli clean` all run it, each in an Operation of its own.
//
// Per drive, in this order, each step only when its switch is set and the run has not
// been stopped:
//   1. preparation: running, the plan text (hooks.plan)
//   2. wipe every Trash item (trashDirs, binLockPath)
//   3. clean the free space; a result of -1 ends the run after this drive's closing
//      lines, and the drive's outcome says whether the temporary folder stayed
//      behind (the front end then shows text 118, else a plain failure text)
//   4. the counting walk, when deep clean, re-clean or slack is chosen
//   5. deep clean (re-clean: files cleaned before too)
//   6. wipe file slacks
//   7. scrub deleted NTFS file records
//   8. wipe the swap areas (machine-wide: done on the first drive that reaches the
//      step, not once per drive)
//   9. the closing lines: each aborted task's text, the free-space count line, the
//      success lines; not running any more.
// After the last drive, with the shutdown switch set and nothing stopped, the summary
// says a shutdown is due: the front end runs the 30-second countdown and, on Proceed,
// Shutdown runs $TIDEWIPE_POWEROFF_COMMAND (default "systemctl poweroff").
//
// Stop, pause and progress are the operation's: a stop moves straight to the closing
// lines of the drive being cleaned and ends the run; a pause takes effect at the next
// file boundary (the walkers, the counting walk and the free-space fill check it) and
// the time estimates do not count it. The run never writes the stop flag.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cleanup/cleanup_tasks.h"
#include "cleanup/countdown.h"
#include "platform/drives.h"
#include "platform/operation.h"
#include "platform/settings.h"
#include "wipe/receipt.h"

namespace tw::wipe {

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

// What a step gives back.
struct StepResult {
    bool ran = false;      // the step did its work (partly, when aborted)
    bool aborted = false;  // the abort flag stopped it
    std::string skipped;   // non-empty: not run on this drive, and why (logged)
};

// Seams for tests, which must neither fill a real drive nor wipe this machine's swap nor
// power it off: a step left empty runs the real one.
struct CleanupSteps {
    // Passes completed, 0 when there was nothing to do, -1 on failure.
    std::function<int(const OpContext&, const CleanupDrive&, int passes)> freeSpace;
    std::function<StepResult(const OpContext&, int passes)> swap;
    // Runs the power-off command; its exit status.
    std::function<int(const std::string& command)> powerOff;
};

// What the run tells its front end as it goes (on the run's thread). Every hook may
// be empty.
struct CleanupHooks {
    std::function<void(std::string_view planText)> plan;
    std::function<void(const CleanupDrive&)> driveStarted;
    std::function<void(bool on)> activity;  // a drive's sequence began / ended
};

// How a free-space step that failed (-1) left the drive.
enum class FreeSpaceFailure {
    None,           // it did not fail
    FolderLeft,     // its temporary folder is still there: the user must remove it
    FolderRemoved,  // it failed, but left nothing behind
};
// The text the front end shows for a failure (caption: text 102); "" for None.
std::string_view FreeSpaceFailureText(FreeSpaceFailure failure);

// The outcome of one drive.
struct DriveOutcome {
    std::string drive;
    bool cleaned = false;      // the sequence ran (not refused)
    std::string refusal;       // why it was not cleaned
    int freeSpaceResult = -2;  // -2: not run; else the step's result
    FreeSpaceFailure freeSpaceFailure = FreeSpaceFailure::None;
    bool aborted = false;                // stopped, or ended by a failed free-space step
    std::array<bool, kTaskCount> ran{};  // the step ran
    std::array<bool, kTaskCount> taskAborted{};
    std::vector<std::string> skipped;  // skip lines logged for this drive
};

struct CleanupSummary {
    bool started = false;
    std::string notStartedReason;  // no drive chosen, already running
    TaskSet tasks;
    std::vector<DriveOutcome> drives;
    bool aborted = false;      // the run was stopped, or a free-space step failed
    bool shutdownDue = false;  // the shutdown task is set and nothing was aborted
    // Filled in by Shutdown:
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
    // `settings` gives the stored task and drive sets, the pass count and the logging
    // switches; it must outlive the run.
    explicit CCleanupRun(Settings& settings);
    ~CCleanupRun();
    CCleanupRun(const CCleanupRun&) = delete;
    CCleanupRun& operator=(const CCleanupRun&) = delete;

    // The page's state: the ticked rows and drives in list order (code 0x523 uses them
    // as they stand; the other codes load them first).
    TaskSet tasks;
    std::vector<std::string> drives;
    int passCount;  // N: the stored NumOverwrites unless the caller sets another
    // Store the task rows as the manual set when a page start (0x523) begins, as the
    // page does; the CLI's one-off choices are not stored.
    bool saveManualSetOnStart = true;
    // The free-space step's settling pause (ended early by a stop).
    std::chrono::milliseconds settle{2000};
    // Trim the free space after the free-space step (where the device takes discards
    // and the TrimAfterFreeSpace setting is on); false: never (--no-trim).
    bool trimAfterFreeSpace = true;

    // The trash directories the Trash step wipes; none: the whole bin (the home trash and
    // every local volume's). And the Trash enumeration lock ("" = the shared default).
    std::optional<std::vector<std::string>> trashDirs;
    std::string binLockPath;

    CleanupSteps steps;
    CleanupHooks hooks;

    // Loads the sets for `requestCode` into tasks and drives (0x521, 0x522: scheduled;
    // 0x524: manual; others: as they stand).
    void LoadSets(uint32_t requestCode);
    // The plan for `requestCode` (loads the sets like Start).
    CleanupPlan Plan(uint32_t requestCode);

    // One run over every chosen drive in `op` (progress, stop, pause, log writer).
    // Returns when the run has ended; the summary says what the front end does next.
    CleanupSummary Start(const OpContext& op, uint32_t requestCode);
    bool Running() const { return running_.load(); }

    // The shutdown a summary says is due: `countdown` runs the 30-second countdown
    // dialog to its end (true: Proceed), then the power-off command runs.
    void Shutdown(CleanupSummary& summary,
                  const std::function<bool(CProceedCancelDialog&)>& countdown);

    // The drives of `texts` resolved and checked (not mounted, read-only: refused).
    static std::vector<CleanupDrive> ResolveDrives(const std::vector<std::string>& texts);
    // $TIDEWIPE_POWEROFF_COMMAND, else "systemctl poweroff".
    static std::string PowerOffCommand();
    // Runs `command` with /bin/sh -c; its exit status (-1 when it could not run).
    static int RunPowerOffCommand(const std::string& command);

  private:
    int FreeSpaceStep(const OpContext& op, const CleanupDrive& drive, int passes);
    static StepResult SwapStep(const OpContext& op, int passes);
    void CleanDrive(const OpContext& op, const CleanupDrive& drive, DriveOutcome& out);
    void ClosingLines(const OpContext& op, DriveOutcome& out);
    void Skip(const OpContext& op, DriveOutcome& out, Task task, const std::string& why);
    // Stopped by the user, or ended by a failed free-space step.
    bool Halted(const OpContext& op) const { return endRun_ || op.Stopped(); }

    // Writes `receipt` into the receipts folder beside the logs (WriteReceipts).
    void SaveRunReceipt(const OpContext& op, wipe::Receipt& receipt);
    Settings& settings_;
    std::atomic<bool> running_{false};
    bool endRun_ = false;  // a free-space step failed: the run ends after this drive
    std::string lastFreeSpaceRefusal_;
    std::string lastFreeSpaceFolder_;  // where the last free-space step put its folder
    bool swapDone_ = false;
    bool deepCleanOk_ = false;
};

// What a front end without the clean-up page (the CLI, the guard) asks of a run.
struct CleanupRequest {
    bool scheduled = false;  // the scheduled sets (0x521), else the manual ones (0x524)
    // One-off choices laid over the stored set of that mode; run as the page runs what
    // it shows, and not stored.
    std::optional<TaskSet> tasks;
    std::optional<std::vector<std::string>> drives;
    // The trash directories the Trash step wipes; none: the whole bin.
    std::optional<std::vector<std::string>> trashDirs;
};

// Sets `run` up for `request`; the request code to start it with.
uint32_t SetUpRun(CCleanupRun& run, const CleanupRequest& request);

}  // namespace tw::wipe
