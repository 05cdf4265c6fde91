// SPDX-License-Identifier: GPL-3.0-or-later
#include "cleanup/cleanup_run.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "cleanup/clean_steps.h"
#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/storage_facts.h"
#include "platform/strings.h"
#include "wipe/deep_clean.h"
#include "wipe/free_space.h"
#include "wipe/slack.h"
#include "wipe/swap_wipe.h"
#include "wipe/walker.h"

extern char** environ;

namespace tw::wipe {

std::string_view FreeSpaceFailureText(FreeSpaceFailure failure) {
    switch (failure) {
        case FreeSpaceFailure::FolderLeft:
            return S<118>;
        case FreeSpaceFailure::FolderRemoved:
            return S<1530>;
        case FreeSpaceFailure::None:
            break;
    }
    return {};
}

void CCleanupRun::SaveRunReceipt(const OpContext& op, wipe::Receipt& receipt) {
    if (const std::string problem = wipe::KeepReceipt(receipt, settings_.LogFolder());
        !problem.empty())
        log::LogToFile(problem, op.Log());
}

CCleanupRun::CCleanupRun(Settings& settings)
    : passCount(settings.OverwritePasses()), settings_(settings) {}

int CCleanupRun::FreeSpaceStep(const OpContext& op, const CleanupDrive& drive, int passes) {
    CFreeSpaceCleaner cleaner;
    cleaner.logEnabled = settings_.ReadWithDefault("LogFreespaceWiping") != 0;
    cleaner.verifyLastPass = settings_.ReadWithDefault("VerifyLastPass") == 1;
    FreeSpaceTask task;
    task.root = drive.info ? drive.info->mountPoint : drive.text;
    task.passCount = passes;
    task.trim = trimAfterFreeSpace && settings_.ReadWithDefault("TrimAfterFreeSpace") != 0;
    wipe::Receipt receipt = wipe::StartReceipt("cleanup-run", task.root);
    receipt.passes = passes;
    receipt.verifyRequested = cleaner.verifyLastPass;
    const int result = cleaner.CleanFreeSpace(op, task);
    if (settings_.ReadWithDefault("WriteReceipts") == 1) {
        receipt.randomMode = cleaner.LastPlan().randomMode;
        receipt.bytesOverwritten = cleaner.BytesWritten();
        receipt.outcome = op.Stopped() ? "stopped" : result > 0 ? "completed" : "failed";
        if (cleaner.VerifyError()) NoteReadBackFailure(receipt, ErrorText(*cleaner.VerifyError()));
        ConcludeReadBack(receipt, result == passes);
        receipt.items.push_back(
            {cleaner.LastPlan().folder, cleaner.BytesWritten(), result > 0, {}});
        SaveRunReceipt(op, receipt);
    }
    lastFreeSpaceRefusal_ = cleaner.LastRefusal();
    lastFreeSpaceFolder_ = cleaner.LastPlan().folder;
    return result;
}

StepResult CCleanupRun::SwapStep(const OpContext& op, int passes) {
    CSwapWiper wiper;
    wiper.passCount = passes;
    const SwapWipeReport rep = wiper.WipeAll(op);
    StepResult r;
    r.aborted = rep.aborted;
    for (const auto& a : rep.areas) r.ran = r.ran || !a.skipped;
    // The wiper logs its own lines, skips included.
    return r;
}

CCleanupRun::~CCleanupRun() = default;

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
            d.refusal = Str<1531>();
        } else {
            // Drives are named by mount point: a text that resolves to another mount
            // point (a link) is cleaned under the mount point's own name.
            d.text = d.info->mountPoint;
            if (d.info->readOnly) d.refusal = Str<1532>();
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

uint32_t SetUpRun(CCleanupRun& run, const CleanupRequest& request) {
    run.trashDirs = request.trashDirs;
    const uint32_t code = request.scheduled ? kCleanScheduledForced : kCleanRunNow;
    if (!request.tasks && !request.drives) return code;
    run.LoadSets(code);
    if (request.tasks) run.tasks = *request.tasks;
    if (request.drives) run.drives = *request.drives;
    run.saveManualSetOnStart = false;
    return kCleanPageStart;
}

CleanupPlan CCleanupRun::Plan(uint32_t requestCode) {
    LoadSets(requestCode);
    CleanupPlan p;
    p.tasks = tasks;
    p.planText = PlanText(tasks);
    p.drives = ResolveDrives(drives);
    if (drives.empty()) p.notStartedReason = Str<1533>();
    if (tasks[Task::Shutdown]) p.powerOffCommand = PowerOffCommand();
    return p;
}

void CCleanupRun::Skip(const OpContext& op, DriveOutcome& out, Task task, const std::string& why) {
    const std::string line = TextWith(TextId<1534>, Text(InfoOf(task).rowTextId), out.drive, why);
    out.skipped.push_back(line);
    log::LogToFile(line, op.Log());
}

CleanupSummary CCleanupRun::Start(const OpContext& op, uint32_t requestCode) {
    CleanupSummary summary;
    if (running_.exchange(true)) {
        summary.notStartedReason = Str<1535>();
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
        summary.notStartedReason = Str<1533>();
        running_ = false;
        return summary;
    }
    summary.started = true;
    endRun_ = false;
    swapDone_ = false;
    // 4. Each drive in list order until the run is stopped.
    for (const CleanupDrive& drive : ResolveDrives(drives)) {
        if (Halted(op)) break;
        DriveOutcome out;
        out.drive = drive.text;
        if (!drive.refusal.empty()) {
            out.refusal = drive.refusal;
            log::LogToFile(TextWith(TextId<1536>, drive.text, drive.refusal), op.Log());
            summary.drives.push_back(std::move(out));
            continue;
        }
        log::LogToFile(TextWith(TextId<1537>, drive.text), op.Log());
        if (const std::string caveat = VolumeCaveatLine(drive.text); !caveat.empty())
            log::LogToFile(caveat, op.Log());
        if (hooks.driveStarted) hooks.driveStarted(drive);
        CleanDrive(op, drive, out);
        if (out.aborted) summary.aborted = true;
        summary.drives.push_back(std::move(out));
    }
    if (Halted(op)) summary.aborted = true;
    running_ = false;
    // After the last drive: the shutdown, unless anything was aborted.
    summary.shutdownDue = tasks[Task::Shutdown] && !summary.aborted;
    return summary;
}

void CCleanupRun::Shutdown(CleanupSummary& summary,
                           const std::function<bool(CProceedCancelDialog&)>& countdown) {
    if (!summary.shutdownDue) return;
    CProceedCancelDialog dialog = CProceedCancelDialog::ShutdownCountdown();
    summary.countdownShown = true;
    summary.shutdownProceeded = countdown(dialog);
    if (summary.shutdownProceeded)
        summary.powerOffStatus = steps.powerOff ? steps.powerOff(PowerOffCommand())
                                                : RunPowerOffCommand(PowerOffCommand());
}

void CCleanupRun::CleanDrive(const OpContext& op, const CleanupDrive& drive, DriveOutcome& out) {
    const std::string& mount = drive.info->mountPoint;
    const std::string& driveText = drive.text;
    const bool extensive = settings_.ReadWithDefault("extensiveLogging") != 0;
    const int passes = passCount;
    out.cleaned = true;
    deepCleanOk_ = false;

    // 1. Preparation.
    if (hooks.activity) hooks.activity(true);
    if (hooks.plan) hooks.plan(PlanText(tasks));

    // 2. The Trash.
    if (tasks[Task::RecycleBin] && !Halted(op)) {
        wipe::Receipt receipt = wipe::StartReceipt("cleanup-run", "trash");
        receipt.passes = passes;
        receipt.verifyRequested = settings_.ReadWithDefault("VerifyLastPass") == 1;
        const StepResult r =
            WipeWholeBin(op, passes, trashDirs, binLockPath, receipt.verifyRequested, &receipt);
        if (r.ran && settings_.ReadWithDefault("WriteReceipts") == 1) SaveRunReceipt(op, receipt);
        out.ran[static_cast<size_t>(Task::RecycleBin)] = r.ran;
        out.taskAborted[static_cast<size_t>(Task::RecycleBin)] = r.aborted || op.Stopped();
        if (!r.skipped.empty()) Skip(op, out, Task::RecycleBin, r.skipped);
    }

    // 3. Free space.
    if (tasks[Task::FreeSpace] && !Halted(op)) {
        lastFreeSpaceRefusal_.clear();
        lastFreeSpaceFolder_.clear();
        const int result =
            steps.freeSpace ? steps.freeSpace(op, drive, passes) : FreeSpaceStep(op, drive, passes);
        out.freeSpaceResult = result;
        out.ran[static_cast<size_t>(Task::FreeSpace)] = true;
        if (!lastFreeSpaceRefusal_.empty())
            out.skipped.push_back(TextWith(TextId<1538>, S<199>, driveText, lastFreeSpaceRefusal_));
        op.WaitFor(settle);
        op.SetPos(ProgressSink::Current, 0);
        op.SetPos(ProgressSink::Overall, 0);
        if (result == -1) {
            // Text 118 asks the user to remove the temporary folder by hand: only when
            // it is really still there.
            const std::string folder =
                !lastFreeSpaceFolder_.empty()
                    ? lastFreeSpaceFolder_
                    : TempFolderFor(drive.info ? drive.info->mountPoint : drive.text);
            struct stat st {};
            out.freeSpaceFailure = lstat(folder.c_str(), &st) == 0
                                       ? FreeSpaceFailure::FolderLeft
                                       : FreeSpaceFailure::FolderRemoved;
            endRun_ = true;
        } else if (op.Stopped()) {
            out.taskAborted[static_cast<size_t>(Task::FreeSpace)] = true;
        }
    }

    // 4. The counting walk feeds the progress and time estimate of the file steps.
    const bool fileSteps = tasks[Task::DeepClean] || tasks[Task::Reclean] || tasks[Task::Slack];
    std::unique_ptr<CCountingWalk> walk;
    if (fileSteps && !Halted(op)) {
        op.Status(S<151>);  // "Analyzing files"
        walk = std::make_unique<CCountingWalk>();
        WalkOptions options;
        options.skipHardLinks = tasks[Task::DeepClean];
        walk->Start(op, mount, ReadDeepCleanStamp(settings_.Store(), driveText), options);
    }

    // The file steps read their last passes back and keep receipts as the free-space
    // step does, when the settings say so.
    const bool verify = settings_.ReadWithDefault("VerifyLastPass") == 1;
    const bool receipts = settings_.ReadWithDefault("WriteReceipts") == 1;
    auto endReceipt = [&](Receipt& r, Outcome o, bool anyFailed, bool anyRead) {
        if (!receipts) return;
        ConcludeReadBack(r, anyRead && o == Outcome::Ok);
        r.outcome = o == Outcome::Stopped || op.Stopped() ? "stopped"
                    : o != Outcome::Ok || anyFailed       ? "failed"
                                                          : "completed";
        SaveRunReceipt(op, r);
    };

    // 5. Deep clean.
    if (tasks[Task::DeepClean] && !Halted(op)) {
        CDeepCleaner cleaner(settings_.Store());
        cleaner.passCount = passes;
        cleaner.alsoWipeSlacks = tasks[Task::Slack];
        cleaner.reclean = tasks[Task::Reclean];
        cleaner.logOn = op.Log() != nullptr;
        cleaner.logWriter = op.Log();
        cleaner.detailLog = extensive;
        cleaner.verifyLastPass = verify;
        Receipt receipt = StartReceipt("cleanup-run", mount);
        receipt.passes = passes;
        receipt.verifyRequested = verify;
        if (receipts)
            cleaner.onFileDone = [&](const CDeepCleaner::FileDone& f) { AddToReceipt(f, receipt); };
        const Outcome o = cleaner.Run(op, mount, driveText, walk.get());
        endReceipt(receipt, o, cleaner.filesNotCleaned > 0, cleaner.filesReadBack > 0);
        out.ran[static_cast<size_t>(Task::DeepClean)] = true;
        if (o == Outcome::Stopped || op.Stopped())
            out.taskAborted[static_cast<size_t>(Task::DeepClean)] = true;
        else if (o == Outcome::Ok)
            deepCleanOk_ = true;
        else
            out.skipped.push_back(
                TextWith(TextId<1538>, S<200>, driveText, ErrorText(cleaner.WalkError())));
    }

    // 6. File slacks.
    if (tasks[Task::Slack] && !Halted(op)) {
        CSlackWiper wiper(&settings_.Store());
        wiper.passCount = passes;
        wiper.logOn = op.Log() != nullptr;
        wiper.logWriter = op.Log();
        wiper.detailLog = extensive;
        wiper.verifyLastPass = verify;
        Receipt receipt = StartReceipt("cleanup-run", mount);
        receipt.passes = SlackPassesWritten(passes);
        receipt.patterns = SlackPassPatterns(passes, false);
        receipt.verifyRequested = verify;
        if (receipts)
            wiper.onFileDone = [&](const SlackLogRecord& rec) { AddToReceipt(rec, receipt); };
        const Outcome o = wiper.WipeSlacks(op, mount, driveText, walk.get());
        endReceipt(receipt, o, wiper.filesFailed > 0, wiper.filesReadBack > 0);
        out.ran[static_cast<size_t>(Task::Slack)] = true;
        if (o == Outcome::Stopped || op.Stopped())
            out.taskAborted[static_cast<size_t>(Task::Slack)] = true;
        else if (o != Outcome::Ok)
            out.skipped.push_back(
                TextWith(TextId<1538>, S<198>, driveText, ErrorText(wiper.WalkError())));
    }
    if (walk) walk->Join();

    // 7. Deleted file-table entries.
    if (tasks[Task::TableEntries] && !Halted(op)) {
        const StepResult r =
            ScrubDeletedRecords(op, drive, settings_.ReadWithDefault("ResetNtfsJournal") != 0);
        out.ran[static_cast<size_t>(Task::TableEntries)] = r.ran;
        out.taskAborted[static_cast<size_t>(Task::TableEntries)] = r.aborted || op.Stopped();
        if (!r.skipped.empty()) Skip(op, out, Task::TableEntries, r.skipped);
    }

    // 8. Swap: the areas belong to the machine, not to a drive, so they are wiped once
    // per run, by the first drive whose sequence gets here.
    if (tasks[Task::Swap] && !Halted(op) && !swapDone_) {
        swapDone_ = true;
        const StepResult r = steps.swap ? steps.swap(op, passes) : SwapStep(op, passes);
        out.ran[static_cast<size_t>(Task::Swap)] = r.ran;
        out.taskAborted[static_cast<size_t>(Task::Swap)] = r.aborted || op.Stopped();
        if (!r.skipped.empty()) out.skipped.push_back(r.skipped);
    }

    // 9. Closing lines.
    ClosingLines(op, out);
    out.aborted = Halted(op);
    if (hooks.activity) hooks.activity(false);
}

void CCleanupRun::ClosingLines(const OpContext& op, DriveOutcome& out) {
    const auto Log = [&op](const std::string& line) { log::LogToFile(line, op.Log()); };
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
