// SPDX-License-Identifier: GPL-3.0-or-later
// slack [--passes N] [--verify] [--report FILE] DIR: wipe the slack behind every file
// below DIR.
// deep-clean [--passes N] [--reclean] [--slack] [--verify] [--report FILE] DIR: rewrite
// every file below DIR onto fresh clusters and wipe the old ones.
// --verify reads the last pass back from the disk, --report writes an erasure receipt.
#include <sys/stat.h>

#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "wipe/deep_clean.h"
#include "wipe/plans.h"
#include "wipe/receipt.h"
#include "wipe/slack.h"
#include "wipe/walker.h"

namespace tw::cli {
namespace {

struct Target {
    std::string folder;     // canonical path of DIR
    std::string driveText;  // names the deep-clean stamp
    uint32_t clusterSize = 0;
};

// The stamp of a deep clean says which files of the walked tree were cleaned, so it is
// keyed by what was walked: a whole drive by its mount point, a folder by its own path.
// (One drive-wide stamp written by a walk of one folder would make the files of the
// drive's other folders look cleaned.)
bool ResolveTarget(const std::string& dir, Target* out) {
    char* real = realpath(dir.c_str(), nullptr);
    if (!real) {
        PrintError(dir + ": no such folder");
        return false;
    }
    out->folder = real;
    std::free(real);
    struct stat st {};
    if (lstat(out->folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        PrintError(dir + ": not a folder");
        return false;
    }
    if (wipe::IsPseudoFileSystemPath(out->folder)) {
        PrintError(out->folder + ": system pseudo file systems are never cleaned");
        return false;
    }
    auto mount = MountOf(out->folder);
    if (!mount) {
        PrintError(out->folder + ": cannot tell which file system holds this folder");
        return false;
    }
    if (mount->readOnly) {
        PrintError(out->folder + ": the file system at " + mount->mountPoint +
                   " is mounted read-only");
        return false;
    }
    out->driveText = out->folder == mount->mountPoint ? mount->mountPoint : out->folder;
    if (auto fs = GetFreeSpace(out->folder)) out->clusterSize = fs->blockSize;
    return true;
}

std::string PassesText(int n) {
    return std::to_string(n) + " " + (n == 1 ? Str<171>() : Str<170>());
}

// What a plan leaves out: the files the real run would refuse (with the reason; the
// dry run exits as the real run would) and the walk's skips.
void PrintExclusions(const wipe::PlanExclusions& plan) {
    for (const auto& [path, why] : plan.refused)
        Out("  refuse " + path + "  (" + ErrorText(why) + ")");
}
void PrintSkipped(const wipe::PlanExclusions& plan) {
    for (const auto& [path, reason] : plan.skipped)
        Out("  skip   " + path + "  (" + wipe::SkipReasonText(reason) + ")");
}

struct SlackOptions {
    int passes = 0;
    bool verify = false;
    std::string report;
    std::string dir;
    DestructiveOptions destructive;
};

struct DeepOptions {
    int passes = 0;
    bool reclean = false;
    bool slack = false;
    bool verify = false;
    std::string report;
    std::string dir;
    DestructiveOptions destructive;
};

void RunSlack(Env& env, const SlackOptions& o) {
    Target t;
    if (!ResolveTarget(o.dir, &t)) return env.Fail(kRefused);
    const int passes = o.passes > 0 ? o.passes : env.DefaultPasses();

    if (o.destructive.dryRun) {
        // The plan: every file the walk hands over, its slack, and what it leaves out.
        Out("Plan: wipe the slack of the files under " + t.folder + " with " + PassesText(passes) +
            " (cluster size " + std::to_string(t.clusterSize) + ")");
        PrintCaveats({t.folder});
        const wipe::SlackWipePlan plan =
            wipe::PlanSlackWipe(Operation(), t.folder, t.clusterSize, passes);
        for (const std::string& p : plan.pendingJournals)
            Out("  restore " + p + "  (left longer by an interrupted slack wipe)");
        for (const wipe::PlannedFile& f : plan.files)
            Out("  file   " + f.path + "  (" + std::to_string(f.sizeBytes) + " bytes, slack " +
                std::to_string(f.slackBytes) + " bytes)");
        if (plan.outcome == Outcome::Failed) {
            PrintError(ErrorText(plan.error));
            return env.Fail(kFailed);
        }
        PrintExclusions(plan);
        PrintSkipped(plan);
        std::string summary = std::to_string(plan.filesCounted - plan.refused.size()) + " files, " +
                              std::to_string(plan.filesWithSlack) +
                              " with slack: " + std::to_string(plan.slackBytes) +
                              " bytes of slack, written " + std::to_string(plan.passesWritten) +
                              " times (" + std::to_string(plan.BytesToWrite()) + " bytes); " +
                              std::to_string(plan.skipped.size()) + " entries skipped";
        if (!plan.refused.empty())
            summary += "; " + std::to_string(plan.refused.size()) + " would be refused";
        Out(summary);
        // The real run counts a refused file as not wiped.
        if (!plan.refused.empty()) env.Fail(kFailed);
        return;
    }

    if (!Confirm(
            "Wipe the slack of every file under " + t.folder + " with " + PassesText(passes) + "?",
            o.destructive))
        return env.Fail(kRefused);

    CommandOperation progress(env.Log());
    Operation& op = progress.Op();

    wipe::CCountingWalk counting;
    counting.Start(op, t.folder, 0, {});
    op.Status(Str<151>());

    LogCaveats({t.folder}, op.Log());
    wipe::Receipt receipt = wipe::StartReceipt("slack", t.folder);
    receipt.passes = wipe::SlackPassesWritten(passes);
    receipt.patterns = wipe::SlackPassPatterns(passes, false);
    receipt.verifyRequested = o.verify;
    std::vector<Error> readBackFailures;
    wipe::CSlackWiper wiper(&env.Store());
    wiper.clusterSize = t.clusterSize;
    wiper.passCount = passes;
    wiper.verifyLastPass = o.verify;
    wiper.logWriter = op.Log();
    wiper.logOn = wiper.detailLog = op.Log() != nullptr;
    wiper.onFileDone = [&](const wipe::SlackLogRecord& rec) {
        if (rec.readBack) readBackFailures.push_back(*rec.readBack);
        wipe::AddToReceipt(rec, receipt);
    };
    const Outcome r = wiper.WipeSlacks(op, t.folder, t.driveText, &counting);
    counting.Join();
    progress.Finish();

    receipt.outcome = r == Outcome::Stopped                           ? "stopped"
                      : r == Outcome::Failed || wiper.filesFailed > 0 ? "failed"
                                                                      : "completed";
    wipe::ConcludeReadBack(receipt, wiper.filesReadBack > 0);
    SaveReceipt(receipt, o.report, env);
    if (r == Outcome::Failed) {
        PrintError(ErrorText(wiper.WalkError()));
        return env.Fail(kFailed);
    }
    for (const Error& e : readBackFailures) PrintError("slack: " + ErrorText(e));
    Out("Wiped slack in " + std::to_string(wiper.filesWiped) + " files (" +
        std::to_string(wiper.slackBytesWiped) + " bytes of slack, " + PassesText(passes) + "), " +
        std::to_string(wiper.filesNoSlack) + " without slack, " +
        std::to_string(wiper.filesFailed) + " could not be wiped");
    if (wiper.filesReadBack > 0 && readBackFailures.empty())
        Out("The last pass of every slack wiped read back as written");
    if (r == Outcome::Stopped) {
        log::LogToFile(Str<453>(), op.Log());
        PrintError("stopped at the user's request");
        return env.Fail(kFailed);
    }
    if (wiper.filesFailed) env.Fail(kFailed);
}

void RunDeepClean(Env& env, const DeepOptions& o) {
    Target t;
    if (!ResolveTarget(o.dir, &t)) return env.Fail(kRefused);
    const int passes = o.passes > 0 ? o.passes : env.DefaultPasses();

    if (o.destructive.dryRun) {
        const wipe::DeepCleanPlan plan =
            wipe::PlanDeepClean(Operation(), env.Store(), t.folder, t.driveText, o.reclean);
        Out("Plan: deep clean the files under " + t.folder + " with " + PassesText(passes) +
            (o.slack ? ", wiping the slack of each" : "") + "; last deep clean: " +
            (plan.lastStamp ? IsoUtc(plan.lastStamp) : std::string("never")));
        PrintCaveats({t.folder});
        for (const wipe::PlannedFile& f : plan.files)
            Out("  file   " + f.path + "  (" + std::to_string(f.sizeBytes) + " bytes)");
        if (plan.outcome == Outcome::Failed) {
            PrintError(ErrorText(plan.error));
            return env.Fail(kFailed);
        }
        PrintExclusions(plan);
        for (const std::string& p : plan.upToDate)
            Out("  skip   " + p + "  (not modified since the last deep clean)");
        PrintSkipped(plan);
        std::string summary = std::to_string(plan.files.size()) + " files to clean (" +
                              std::to_string(plan.bytesToClean) + " bytes); " +
                              std::to_string(plan.upToDate.size()) +
                              " not modified since the last deep clean; " +
                              std::to_string(plan.skipped.size()) + " entries skipped";
        if (!plan.refused.empty())
            summary += "; " + std::to_string(plan.refused.size()) + " would be refused";
        Out(summary);
        // The real run counts a refused file as not cleaned.
        if (!plan.refused.empty()) env.Fail(kFailed);
        return;
    }

    if (!Confirm("Deep clean every file under " + t.folder + " with " + PassesText(passes) + "?",
                 o.destructive))
        return env.Fail(kRefused);

    CommandOperation progress(env.Log());
    Operation& op = progress.Op();

    wipe::CCountingWalk counting;
    counting.Start(op, t.folder, wipe::ReadDeepCleanStamp(env.Store(), t.driveText),
                   wipe::DeepCleanWalkOptions());
    op.Status(Str<151>());

    LogCaveats({t.folder}, op.Log());
    wipe::Receipt receipt = wipe::StartReceipt("deep-clean", t.folder);
    receipt.passes = passes;
    receipt.verifyRequested = o.verify;
    std::vector<Error> readBackFailures;
    wipe::CDeepCleaner cleaner(env.Store());
    cleaner.clusterSize = t.clusterSize;
    cleaner.passCount = passes;
    cleaner.reclean = o.reclean;
    cleaner.alsoWipeSlacks = o.slack;
    cleaner.verifyLastPass = o.verify;
    cleaner.logWriter = op.Log();
    cleaner.logOn = cleaner.detailLog = op.Log() != nullptr;
    cleaner.onFileDone = [&](const wipe::CDeepCleaner::FileDone& f) {
        if (f.readBack) readBackFailures.push_back(*f.readBack);
        wipe::AddToReceipt(f, receipt);
    };
    const Outcome r = cleaner.Run(op, t.folder, t.driveText, &counting);
    counting.Join();
    progress.Finish();

    receipt.outcome = r == Outcome::Stopped                                 ? "stopped"
                      : r == Outcome::Failed || cleaner.filesNotCleaned > 0 ? "failed"
                                                                            : "completed";
    wipe::ConcludeReadBack(receipt, cleaner.filesReadBack > 0);
    SaveReceipt(receipt, o.report, env);
    for (const Error& e : readBackFailures) PrintError("deep-clean: " + ErrorText(e));
    if (r == Outcome::Failed) {
        PrintError(ErrorText(cleaner.WalkError()));
        return env.Fail(kFailed);
    }
    Out("Deep cleaned " + std::to_string(cleaner.filesCleaned) + " files (" +
        std::to_string(cleaner.bytesCleaned) + " bytes, " + PassesText(passes) + "), " +
        std::to_string(cleaner.filesNotCleaned) + " could not be cleaned (" +
        std::to_string(cleaner.bytesNotCleaned) + " bytes), " +
        std::to_string(cleaner.filesUpToDate) + " cleaned since the last deep clean");
    if (cleaner.copiesRestored || cleaner.copiesKept)
        Out("Restored " + std::to_string(cleaner.copiesRestored) +
            " files from an interrupted deep clean; kept " + std::to_string(cleaner.copiesKept) +
            " copies whose names are taken");
    if (r == Outcome::Stopped) {
        log::LogToFile(Str<148>(), op.Log());
        PrintError("stopped at the user's request");
        return env.Fail(kFailed);
    }
    log::LogToFile(Str<146>(), op.Log());
    if (cleaner.filesNotCleaned) env.Fail(kFailed);
}

void Register(CLI::App& app, Env& env) {
    static SlackOptions slack;
    auto* s = app.add_subcommand("slack", "Wipe the slack space behind every file below DIR");
    s->add_option("--passes", slack.passes, "Overwrite passes (default: the NumOverwrites setting)")
        ->check(CLI::Range(1, 14));
    s->add_option("DIR", slack.dir, "Folder to walk (a mount point walks the whole drive)")
        ->required();
    AddVerifyOption(s, slack.verify);
    AddReportOption(s, slack.report);
    AddDestructiveOptions(s, slack.destructive);
    s->callback([&env] { RunSlack(env, slack); });

    static DeepOptions deep;
    auto* d = app.add_subcommand(
        "deep-clean", "Rewrite every file below DIR onto fresh clusters and wipe the old ones");
    d->add_option("--passes", deep.passes, "Overwrite passes (default: the NumOverwrites setting)")
        ->check(CLI::Range(1, 14));
    d->add_flag("--reclean", deep.reclean,
                "Also clean files not modified since the last deep clean");
    d->add_flag("--slack", deep.slack, "Also wipe the slack of each cleaned file");
    d->add_option("DIR", deep.dir, "Folder to walk (a mount point walks the whole drive)")
        ->required();
    AddVerifyOption(d, deep.verify);
    AddReportOption(d, deep.report);
    AddDestructiveOptions(d, deep.destructive);
    d->callback([&env] { RunDeepClean(env, deep); });
}

CommandRegistrar reg(Register);

}  // namespace
}  // namespace tw::cli
