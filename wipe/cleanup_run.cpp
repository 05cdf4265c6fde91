// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/cleanup_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "log/activity_log.h"
#include "platform/strings.h"
#include "wipe/deep_clean.h"
#include "wipe/free_space.h"
#include "wipe/slack.h"
#include "wipe/walker.h"

extern char** environ;

namespace tw::wipe {

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

// Forwards to the caller's sink, remembers the status text (the pause puts it back)
// and shows the abort text on the run's own thread at the next yield point.
class CCleanupRun::Sink : public ProgressSink {
  public:
    Sink(CCleanupRun& run, ProgressSink* target) : run_(run), target_(target) {}

    void SetRange(Bar b, int64_t lo, int64_t hi) override {
        if (target_) target_->SetRange(b, lo, hi);
    }
    void SetPos(Bar b, int64_t p) override {
        if (target_) target_->SetPos(b, p);
    }
    void Step(Bar b, int64_t by) override {
        if (target_) target_->Step(b, by);
    }
    void SetText(Slot slot, std::string_view text) override {
        if (slot == Status) {
            std::lock_guard<std::mutex> lock(mu_);
            last_ = std::string(text);
        }
        if (target_) target_->SetText(slot, text);
    }
    int Pump() override {
        if (run_.AbortRequested() && !run_.internalAbort_ && !abortShown_) {
            abortShown_ = true;
            SetText(Status, S<461>);  // "Abort selected. Finishing current file."
        }
        return target_ ? target_->Pump() : 0;
    }
    std::string LastStatus() {
        std::lock_guard<std::mutex> lock(mu_);
        return last_;
    }
    void NewRun() { abortShown_ = false; }

  private:
    CCleanupRun& run_;
    ProgressSink* target_;
    std::mutex mu_;
    std::string last_;
    bool abortShown_ = false;
};

CCleanupRun::CCleanupRun(Settings& settings, ProgressSink* progress, log::CActivityLogFile* log)
    : settings_(settings), sink_(std::make_unique<Sink>(*this, progress)), log_(log) {
    steps.freeSpace = [this](const OpContext& op, const CleanupDrive& drive, int passes) {
        CFreeSpaceCleaner cleaner(&op);
        cleaner.logEnabled = settings_.ReadWithDefault("LogFreespaceWiping") != 0;
        FreeSpaceTask task;
        task.root = drive.info ? drive.info->mountPoint : drive.text;
        task.passCount = passes;
        const int result = cleaner.CleanFreeSpace(task);
        lastFreeSpaceRefusal_ = cleaner.LastRefusal();
        lastFreeSpaceFolder_ = cleaner.LastPlan().folder;
        return result;
    };
    steps.swap = [](const OpContext& op, int passes) {
        CSwapWiper wiper;
        wiper.passCount = passes;
        const SwapWipeReport rep = wiper.WipeAll(op);
        StepResult r;
        r.aborted = rep.aborted;
        for (const auto& a : rep.areas) r.ran = r.ran || !a.skipped;
        // The wiper logs its own lines, skips included.
        return r;
    };
    steps.powerOff = RunPowerOffCommand;
}

CCleanupRun::~CCleanupRun() = default;

OpContext CCleanupRun::Context() {
    OpContext op;
    op.progress = sink_.get();
    op.abort = abort_;
    op.pauseCheck = [this] { PauseCheck(); };
    op.log = log_;
    return op;
}

void CCleanupRun::Log(const std::string& line) { log::LogToFile(line, log_); }

void CCleanupRun::LoadSets(uint32_t requestCode) {
    if (requestCode == kCleanScheduledForced || requestCode == kCleanScheduled) {
        tasks = LoadTaskSet(settings_, true);
        drives = settings_.DriveSet(kScheduledDrives);
    } else if (requestCode == kCleanRunNow) {
        tasks = LoadTaskSet(settings_, false);
        drives = settings_.DriveSet(kManualDrives);
    }
}

std::vector<CleanupDrive> CCleanupRun::ResolveDrives(const std::vector<std::string>& texts) {
    std::vector<CleanupDrive> out;
    for (const auto& text : texts) {
        CleanupDrive d;
        d.text = text;
        d.info = DriveByMountPoint(text);
        if (!d.info) {
            d.refusal = "not mounted";
        } else {
            // Drives are named by mount point: a text that resolves to another mount
            // point (a link) is cleaned under the mount point's own name.
            d.text = d.info->mountPoint;
            if (d.info->readOnly) d.refusal = "mounted read-only";
        }
        const bool dup = std::any_of(out.begin(), out.end(),
                                     [&](const CleanupDrive& o) { return o.text == d.text; });
        if (!dup) out.push_back(std::move(d));
    }
    return out;
}

std::string CCleanupRun::PowerOffCommand() {
    const char* c = getenv("TIDEWIPE_POWEROFF_COMMAND");
    return c && *c ? c : "systemctl poweroff";
}

int CCleanupRun::RunPowerOffCommand(const std::string& command) {
    std::string cmd = command;
    char sh[] = "/bin/sh", dashC[] = "-c";
    char* argv[] = {sh, dashC, cmd.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CleanupPlan CCleanupRun::Plan(uint32_t requestCode) {
    LoadSets(requestCode);
    CleanupPlan p;
    p.tasks = tasks;
    p.planText = PlanText(tasks);
    p.drives = ResolveDrives(drives);
    if (drives.empty()) p.notStartedReason = "no drive is chosen";
    if (tasks[Task::Shutdown]) p.powerOffCommand = PowerOffCommand();
    return p;
}

void CCleanupRun::Abort() { abort_->store(1); }

void CCleanupRun::SetPaused(bool paused) {
    paused_->store(paused ? 1 : 0);
    if (hooks.pauseCaption) hooks.pauseCaption(paused ? S<158> : S<157>);
}

void CCleanupRun::PauseCheck() {
    if (!Paused()) return;
    if (counting_) counting_->Pause();
    const std::string saved = sink_->LastStatus();
    sink_->SetText(ProgressSink::Status, S<150>);  // "Operation Paused. Click Resume to continue."
    // An abort also ends the pause: the user must not have to resume to stop.
    while (Paused() && !AbortRequested()) {
        sink_->Pump();
        SleepMs(50);
    }
    if (counting_) counting_->Resume();
    sink_->SetText(ProgressSink::Status, saved);
}

void CCleanupRun::Skip(DriveOutcome& out, Task task, const std::string& why) {
    const std::string line =
        std::string(Text(InfoOf(task).rowTextId)) + " skipped on " + out.drive + ": " + why;
    out.skipped.push_back(line);
    Log(line);
}

CleanupSummary CCleanupRun::Start(uint32_t requestCode) {
    CleanupSummary summary;
    if (running_.exchange(true)) {
        summary.notStartedReason = "a clean-up is already running";
        return summary;
    }
    // 1, 2. The sets for the request; a page start keeps its rows as the manual set.
    LoadSets(requestCode);
    if (requestCode != kCleanScheduledForced && requestCode != kCleanScheduled &&
        requestCode != kCleanRunNow && saveManualSetOnStart)
        StoreTaskSet(settings_, tasks, false);
    summary.tasks = tasks;
    // 3. No drive, no run.
    if (drives.empty()) {
        summary.notStartedReason = "no drive is chosen";
        running_ = false;
        return summary;
    }
    summary.started = true;
    sink_->NewRun();
    internalAbort_ = false;
    swapDone_ = false;
    // 4. Each drive in list order while no abort was asked for.
    abort_->store(0);
    for (const CleanupDrive& drive : ResolveDrives(drives)) {
        if (AbortRequested()) break;
        DriveOutcome out;
        out.drive = drive.text;
        if (!drive.refusal.empty()) {
            out.refusal = drive.refusal;
            Log("Drive " + drive.text + " skipped: " + drive.refusal);
            summary.drives.push_back(std::move(out));
            continue;
        }
        Log("Cleaning drive " + drive.text);
        if (hooks.driveStarted) hooks.driveStarted(drive);
        CleanDrive(drive, out);
        if (out.aborted) summary.aborted = true;
        summary.drives.push_back(std::move(out));
    }
    if (AbortRequested()) summary.aborted = true;
    running_ = false;

    // After the last drive: the shutdown, unless anything was aborted.
    if (tasks[Task::Shutdown] && !summary.aborted) {
        CProceedCancelDialog dialog = CProceedCancelDialog::ShutdownCountdown();
        summary.countdownShown = true;
        bool proceed;
        if (hooks.countdown) {
            proceed = hooks.countdown(dialog);
        } else {
            proceed = RunCountdown(dialog, {}, [](int ms) {
                SleepMs(ms);
                return false;
            });
        }
        summary.shutdownProceeded = proceed;
        if (proceed && steps.powerOff) summary.powerOffStatus = steps.powerOff(PowerOffCommand());
    }
    return summary;
}

void CCleanupRun::CleanDrive(const CleanupDrive& drive, DriveOutcome& out) {
    const OpContext op = Context();
    const std::string& mount = drive.info->mountPoint;
    const std::string& driveText = drive.text;
    const bool extensive = settings_.ReadWithDefault("extensiveLogging") != 0;
    const int passes = passCount;
    out.cleaned = true;
    deepCleanOk_ = false;

    // 1. Preparation.
    abort_->store(0);
    if (hooks.activity) hooks.activity(true);
    if (hooks.plan) hooks.plan(PlanText(tasks));

    // 2. The Trash.
    if (tasks[Task::RecycleBin] && !op.Aborted()) {
        if (!steps.recycleBin) {
            Skip(out, Task::RecycleBin, "not available in this program");
        } else {
            const StepResult r = steps.recycleBin(op, drive, passes);
            out.ran[static_cast<size_t>(Task::RecycleBin)] = r.ran;
            out.taskAborted[static_cast<size_t>(Task::RecycleBin)] = r.aborted || op.Aborted();
            if (!r.skipped.empty()) Skip(out, Task::RecycleBin, r.skipped);
        }
    }

    // 3. Free space.
    if (tasks[Task::FreeSpace] && !op.Aborted() && steps.freeSpace) {
        lastFreeSpaceRefusal_.clear();
        lastFreeSpaceFolder_.clear();
        const int result = steps.freeSpace(op, drive, passes);
        out.freeSpaceResult = result;
        out.ran[static_cast<size_t>(Task::FreeSpace)] = true;
        if (!lastFreeSpaceRefusal_.empty())
            out.skipped.push_back(std::string(S<199>) + " on " + driveText + ": " +
                                  lastFreeSpaceRefusal_);
        for (int i = 0; i < settleSleeps; ++i) SleepMs(50);
        op.SetPos(ProgressSink::Current, 0);
        op.SetPos(ProgressSink::Overall, 0);
        op.Pump();
        if (result == -1) {
            // Text 118 asks the user to remove the temporary folder by hand: only when
            // it is really still there.
            const std::string folder =
                !lastFreeSpaceFolder_.empty()
                    ? lastFreeSpaceFolder_
                    : TempFolderFor(drive.info ? drive.info->mountPoint : drive.text);
            struct stat st {};
            const bool folderLeft = lstat(folder.c_str(), &st) == 0;
            if (hooks.message)
                hooks.message(
                    folderLeft
                        ? std::string_view(S<118>)
                        : std::string_view("The free space on this drive could not be cleaned."),
                    S<102>);
            internalAbort_ = true;
            op.RequestAbort();
        } else if (op.Aborted()) {
            out.taskAborted[static_cast<size_t>(Task::FreeSpace)] = true;
        }
    }

    // 4. The counting walk feeds the progress and time estimate of the file steps.
    const bool fileSteps = tasks[Task::DeepClean] || tasks[Task::Reclean] || tasks[Task::Slack];
    std::unique_ptr<CCountingWalk> walk;
    if (fileSteps && !op.Aborted()) {
        op.Status(S<151>);  // "Analyzing files"
        walk = std::make_unique<CCountingWalk>();
        WalkOptions options;
        options.skipHardLinks = tasks[Task::DeepClean];
        walk->Start(mount, ReadDeepCleanStamp(settings_.Store(), driveText), options, abort_);
        counting_ = walk.get();
    }

    // 5. Deep clean.
    if (tasks[Task::DeepClean] && !op.Aborted()) {
        CDeepCleaner cleaner(settings_.Store());
        cleaner.passCount = passes;
        cleaner.alsoWipeSlacks = tasks[Task::Slack];
        cleaner.reclean = tasks[Task::Reclean];
        cleaner.logOn = log_ != nullptr;
        cleaner.logWriter = log_;
        cleaner.detailLog = extensive;
        const Outcome o = cleaner.Run(op, mount, driveText, walk.get());
        out.ran[static_cast<size_t>(Task::DeepClean)] = true;
        if (o == Outcome::Stopped || op.Aborted())
            out.taskAborted[static_cast<size_t>(Task::DeepClean)] = true;
        else if (o == Outcome::Ok)
            deepCleanOk_ = true;
        else
            out.skipped.push_back(std::string(S<200>) + " on " + driveText + ": " +
                                  cleaner.WalkError().Message());
    }

    // 6. File slacks.
    if (tasks[Task::Slack] && !op.Aborted()) {
        CSlackWiper wiper(&settings_.Store());
        wiper.passCount = passes;
        wiper.logOn = log_ != nullptr;
        wiper.logWriter = log_;
        wiper.detailLog = extensive;
        const Outcome o = wiper.WipeSlacks(op, mount, driveText, walk.get());
        out.ran[static_cast<size_t>(Task::Slack)] = true;
        if (o == Outcome::Stopped || op.Aborted())
            out.taskAborted[static_cast<size_t>(Task::Slack)] = true;
        else if (o != Outcome::Ok)
            out.skipped.push_back(std::string(S<198>) + " on " + driveText + ": " +
                                  wiper.WalkError().Message());
    }
    if (walk) {
        walk->Join();
        counting_ = nullptr;
    }

    // 7. Deleted file-table entries.
    if (tasks[Task::TableEntries] && !op.Aborted()) {
        if (!steps.tableEntries) {
            Skip(out, Task::TableEntries, "not available in this program");
        } else {
            const StepResult r = steps.tableEntries(op, drive);
            out.ran[static_cast<size_t>(Task::TableEntries)] = r.ran;
            out.taskAborted[static_cast<size_t>(Task::TableEntries)] = r.aborted || op.Aborted();
            if (!r.skipped.empty()) Skip(out, Task::TableEntries, r.skipped);
        }
    }

    // 8. Swap: the areas belong to the machine, not to a drive, so they are wiped once
    // per run, by the first drive whose sequence gets here.
    if (tasks[Task::Swap] && !op.Aborted() && !swapDone_) {
        swapDone_ = true;
        if (!steps.swap) {
            Skip(out, Task::Swap, "not available in this program");
        } else {
            const StepResult r = steps.swap(op, passes);
            out.ran[static_cast<size_t>(Task::Swap)] = r.ran;
            out.taskAborted[static_cast<size_t>(Task::Swap)] = r.aborted || op.Aborted();
            if (!r.skipped.empty()) out.skipped.push_back(r.skipped);
        }
    }

    // 9. Closing lines.
    ClosingLines(out);
    out.aborted = op.Aborted();
    if (hooks.activity) hooks.activity(false);
}

void CCleanupRun::ClosingLines(DriveOutcome& out) {
    const auto aborted = [&](Task t) { return out.taskAborted[static_cast<size_t>(t)]; };
    if (aborted(Task::DeepClean)) Log(Str<148>());
    if (aborted(Task::FreeSpace)) Log(tasks[Task::Slack] ? Str<246>() : Str<149>());
    if (aborted(Task::Slack)) Log(Str<453>());
    const int n = out.freeSpaceResult;
    if (out.ran[static_cast<size_t>(Task::FreeSpace)] && n >= 0) {
        if (n == 0)
            Log(Str<143>());  // "Did not complete any overwrites."
        else
            Log(std::to_string(n) + " " + (n == 1 ? Str<144>() : Str<145>()));
        if (n > 0 && !aborted(Task::FreeSpace)) Log(Str<147>());  // "Free space cleaning complete"
    }
    if (deepCleanOk_) Log(Str<146>());  // "Deep clean finished."
}

}  // namespace tw::wipe
