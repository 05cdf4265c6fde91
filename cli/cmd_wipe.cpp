// SPDX-License-Identifier: GPL-3.0-or-later
// wipe, free-space, leftovers: secure file wiping and free space cleaning from the
// terminal.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "platform/drives.h"
#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "wipe/file_wiper.h"
#include "wipe/free_space.h"
#include "wipe/slack.h"
#include "wipe/walker.h"

namespace tw::cli {
namespace {

std::string PassesText(int n) { return std::to_string(n) + (n == 1 ? " pass" : " passes"); }

// ---------------------------------------------------------------- wipe: the plan

struct WipeTarget {
    std::string path;
    uint64_t size = 0;
    uint64_t bytesToWrite = 0;  // the allocated parts of the raised length, times the passes
    std::string refusal;        // non-empty: not wiped, and why
    bool isLink = false;        // a symbolic link inside a folder: removed, never followed
};

struct WipePlan {
    std::vector<WipeTarget> targets;
    std::vector<std::string> folders;  // folders to remove once emptied, deepest first
    int passes = 0;                    // passes written per file (the count + 1)
    bool allowHardLinks = false;       // --hard-links
};

WipeTarget Refused(const std::string& path, std::string why) {
    WipeTarget t;
    t.path = path;
    t.refusal = std::move(why);
    return t;
}

// Why a file with other names is not wiped: the overwrite reaches the data every name
// shares.
std::string HardLinkRefusal(uint64_t links) {
    const uint64_t others = links - 1;
    return "has " + std::to_string(others) + (others == 1 ? " other name" : " other names") +
           " (hard links): wiping it would empty every name; add --hard-links to wipe it anyway";
}

// Everything that stops the wipe of a regular file, found before anything changes.
std::string FileRefusal(const std::string& path, bool allowHardLinks) {
    std::string why;
    if (const std::optional<Error> refusal = wipe::WipeRefusal(path)) why = ErrorText(*refusal);
    struct stat st {};
    if (why.empty() && !allowHardLinks && lstat(path.c_str(), &st) == 0 && st.st_nlink > 1)
        why = HardLinkRefusal(st.st_nlink);
    return why;
}

void AddFile(WipePlan& plan, const std::string& path, int count) {
    WipeTarget t;
    t.path = path;
    t.refusal = FileRefusal(path, plan.allowHardLinks);
    const wipe::FileWipeEstimate e = wipe::EstimatePlainWipe(path, count);
    t.size = e.sizeBytes;
    t.bytesToWrite = e.bytesToWrite;
    plan.targets.push_back(std::move(t));
}

std::string WalkSkipText(wipe::SkipReason why) {
    switch (why) {
        case wipe::SkipReason::OtherFileSystem:
            return "a mount point (another file system or a bind mount): not entered";
        case wipe::SkipReason::Unreadable:
            return "cannot be examined or listed";
        default:
            return wipe::SkipReasonText(why);
    }
}

// --recursive: the shared drive walk, asked for every regular file. It never follows a
// symbolic link and never enters a mount point below the folder (another file system,
// or a bind mount of this one, which would lead the wipe out of the folder).
void AddFolder(WipePlan& plan, const std::string& folder, int count) {
    wipe::CDriveWalker walker;
    walker.options.everyFile = true;
    walker.onFile = [&plan, count](const wipe::WalkFile& f) { AddFile(plan, f.Path(), count); };
    walker.onSkip = [&plan](const std::string& path, wipe::SkipReason why) {
        struct stat st {};
        if (why == wipe::SkipReason::NotRegular && lstat(path.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode)) {
            WipeTarget t;
            t.path = path;
            t.isLink = true;
            plan.targets.push_back(std::move(t));
            return;
        }
        plan.targets.push_back(Refused(path, WalkSkipText(why)));
    };
    walker.onFolderEnd = [&plan](int, const std::string& f) { plan.folders.push_back(f); };
    Operation op;
    if (walker.Walk(op, folder) == Outcome::Failed)
        plan.targets.push_back(Refused(folder, ErrorText(walker.error())));
}

// What a target given on the command line must never be, whatever it holds: the root of
// the system, "." or ".." (as rm refuses them), the root of a mounted file system (a
// whole volume is not wiped by naming its mount point: name what is in it).
std::string TargetRefusal(const std::string& path) {
    const std::string base = platform::BaseName(path);
    if (base == "." || base == "..") return "refusing to wipe '.' or '..': name the folder itself";
    char real[PATH_MAX];
    if (realpath(path.c_str(), real) == nullptr) return "";
    if (std::string(real) == "/") return "the root of the system is never wiped";
    if (wipe::IsPseudoFileSystemPath(real))
        return std::string(real) + " is in a system pseudo file system and is never wiped";
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode) || !wipe::IsMountRoot(real)) return "";
    if (!S_ISDIR(st.st_mode)) return "a mount point (a file bind-mounted from elsewhere)";
    return std::string("the root of a mounted file system (") + real +
           "): a whole volume is not wiped by its mount point; name the files and folders in "
           "it instead";
}

WipePlan PlanWipe(const std::vector<std::string>& paths, int count, bool recursive,
                  bool allowHardLinks) {
    WipePlan plan;
    plan.passes = wipe::PlainWipePasses(count);
    plan.allowHardLinks = allowHardLinks;
    for (std::string path : paths) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            plan.targets.push_back(Refused(path, "does not exist"));
        } else if (const std::string why = TargetRefusal(path); !why.empty()) {
            plan.targets.push_back(Refused(path, why));
        } else if (S_ISLNK(st.st_mode)) {
            plan.targets.push_back(Refused(path, "a symbolic link (not followed)"));
        } else if (S_ISDIR(st.st_mode)) {
            if (!recursive)
                plan.targets.push_back(Refused(path, "a folder (add --recursive)"));
            else
                AddFolder(plan, path, count);
        } else if (S_ISREG(st.st_mode)) {
            AddFile(plan, path, count);
        } else {
            plan.targets.push_back(Refused(path, "not a regular file"));
        }
    }
    return plan;
}

// The plan as JSON (--dry-run --json).
nlohmann::json PlanJson(const WipePlan& plan, int count, bool random, size_t files,
                        uint64_t bytes) {
    nlohmann::json targets = nlohmann::json::array();
    size_t refused = 0;
    for (const auto& t : plan.targets) {
        nlohmann::json j;
        JsonName(j, "path", t.path);
        if (!t.refusal.empty()) {
            j["action"] = "refuse";
            j["reason"] = t.refusal;
            ++refused;
        } else if (t.isLink) {
            j["action"] = "remove link";
        } else {
            j["action"] = "wipe";
            j["size"] = t.size;
            j["bytes_to_write"] = t.bytesToWrite;
        }
        targets.push_back(std::move(j));
    }
    nlohmann::json folders = nlohmann::json::array();
    for (const auto& f : plan.folders) {
        nlohmann::json j;
        JsonName(j, "path", f);
        folders.push_back(std::move(j));
    }
    return {{"dry_run", true},    {"count", count},     {"passes", plan.passes},
            {"random", random},   {"files", files},     {"bytes_to_write", bytes},
            {"refused", refused}, {"targets", targets}, {"folders", folders}};
}

// ---------------------------------------------------------------- free-space helpers

// The mount whose mount point `arg` is; refuses (with the reason printed) otherwise.
std::optional<DriveInfo> MountPointArg(const std::string& arg, Env& env) {
    char real[PATH_MAX];
    if (realpath(arg.c_str(), real) == nullptr) {
        PrintError(arg + ": " + std::strerror(errno));
        env.Fail(kUsage);
        return std::nullopt;
    }
    auto mount = MountOf(real);
    if (!mount || mount->mountPoint != real) {
        PrintError(std::string(real) + " is not a mount point" +
                   (mount ? " (it lies on " + mount->mountPoint + ")" : std::string()) +
                   "; free-space cleans whole file systems, named by their mount point");
        env.Fail(kRefused);
        return std::nullopt;
    }
    if (mount->type == DriveType::Remote || mount->type == DriveType::CdRom) {
        PrintError(mount->mountPoint + " is a " +
                   (mount->type == DriveType::Remote ? "network" : "CD") +
                   " file system: its free space cannot be cleaned from here");
        env.Fail(kRefused);
        return std::nullopt;
    }
    return mount;
}

void PrintFreeSpacePlan(const wipe::FreeSpacePlan& p, bool trim) {
    Out("free space of " + p.root + ": " + FormatSize(p.freeBytes, "%2.2f") + " (" +
        std::to_string(p.freeBytes) + " bytes)");
    if (p.reservedBytes > 0)
        Out("not cleaned: " + FormatSize(p.reservedBytes, "%2.2f") +
            " reserved by the file system");
    Out("temporary folder: " + p.folder + (p.folderInHome ? " (in the home folder)" : ""));
    Out("files: up to " + std::to_string(p.fileCount) + " of 1 Gb");
    Out("passes: " + std::to_string(p.passes) + " (" +
        (p.randomMode ? "random data" : "fixed patterns") + ")");
    Out("bytes to write: up to " + std::to_string(p.PlannedBytes()) + " (" +
        FormatSize(p.PlannedBytes(), "%2.2f") + ")");
    if (!p.caveatLine.empty()) Out(p.caveatLine);
    if (p.trimHelps)
        Out(std::string("then: trim the freed space (the device takes discards)") +
            (trim ? "" : ", turned off"));
    if (!p.refusal.empty()) Out("refused: " + p.refusal);
}

// Whether another process holds a lock on the folder (a clean still running holds one
// on its temporary folder). Read from /proc/locks, so that asking takes no lock that a
// clean starting at this moment could miss.
bool FolderLockedByOthers(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) return false;
    char id[64];
    std::snprintf(id, sizeof id, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line))
        if ((line + " ").find(id) != std::string::npos) return true;
    return false;
}

// ---------------------------------------------------------------- registration

struct WipeArgs {
    int passes = 0;
    bool random = false;
    bool recursive = false;
    bool hardLinks = false;
    bool json = false;
    bool noTrim = false;
    bool verify = false;
    std::string report;
    std::vector<std::string> paths;
    std::string mountPoint;
    DestructiveOptions wipeOpts, freeOpts, leftoverOpts;
};

void RegisterWipe(CLI::App& app, Env& env) {
    static WipeArgs a;

    auto* wipe = app.add_subcommand(
        "wipe", "Overwrite files in place and delete them for good (count + 1 passes)");
    wipe->add_option("PATH", a.paths, "Files to wipe; folders only with --recursive")->required();
    wipe->add_option("--passes", a.passes,
                     "Overwrite count, 1 to 14 (default: the setting); "
                     "count + 1 passes are written")
        ->check(CLI::Range(1, 14));
    wipe->add_flag("--random", a.random, "Random data instead of fixed patterns");
    wipe->add_flag("-r,--recursive", a.recursive,
                   "Wipe every file below the folders given, then remove the folders");
    wipe->add_flag("--hard-links", a.hardLinks,
                   "Also wipe files that have other names (hard links): every name loses "
                   "its content");
    wipe->add_flag("--json", a.json, "Print the result (or with --dry-run the plan) as JSON");
    AddVerifyOption(wipe, a.verify);
    AddReportOption(wipe, a.report);
    AddDestructiveOptions(wipe, a.wipeOpts);
    wipe->callback([&env] {
        const int count = a.passes > 0 ? a.passes : env.DefaultPasses();
        WipePlan plan = PlanWipe(a.paths, count, a.recursive, a.hardLinks);
        size_t files = 0, links = 0;
        uint64_t bytes = 0, size = 0;
        bool anyRefused = false;
        for (const auto& t : plan.targets) {
            if (!t.refusal.empty()) {
                anyRefused = true;
                continue;
            }
            if (t.isLink) {
                ++links;
                continue;
            }
            ++files;
            bytes += t.bytesToWrite;
            size += t.size;
        }
        std::vector<std::string> toWrite;  // what will be written: its volumes' caveats
        for (const auto& t : plan.targets)
            if (t.refusal.empty() && !t.isLink) toWrite.push_back(t.path);
        if (a.wipeOpts.dryRun) {
            // The dry run ends as the real run would: refused (3) when anything is.
            if (anyRefused) env.Fail(kRefused);
            if (a.json) {
                nlohmann::json j = PlanJson(plan, count, a.random, files, bytes);
                j["volumes"] = CaveatsJson(toWrite);
                PrintJson(j);
                return;
            }
            for (const auto& t : plan.targets) {
                if (!t.refusal.empty())
                    Out("refuse " + t.path + ": " + t.refusal);
                else if (t.isLink)
                    Out("remove link " + t.path + " (not followed)");
                else
                    Out("wipe " + t.path + " (" + FormatSize(t.size, "%2.2f") + ", " +
                        std::to_string(t.bytesToWrite) + " bytes written)");
            }
            for (const auto& f : plan.folders) Out("remove folder " + f);
            Out(std::to_string(files) + (files == 1 ? " file, " : " files, ") +
                std::to_string(bytes) + " bytes to write in " + PassesText(plan.passes) + " each" +
                (a.random ? " (random data)" : ""));
            PrintCaveats(toWrite);
            return;
        }
        for (const auto& t : plan.targets)
            if (!t.refusal.empty()) {
                PrintError("not wiping " + t.path + ": " + t.refusal);
                env.Fail(kRefused);
            }
        if (files == 0 && links == 0 && plan.folders.empty()) {
            if (a.json)
                PrintJson({{"wiped", 0},
                           {"count", count},
                           {"passes", plan.passes},
                           {"aborted", false},
                           {"files", nlohmann::json::array()}});
            return;
        }
        if (!Confirm("Wipe " + std::to_string(files) + (files == 1 ? " file (" : " files (") +
                         FormatSize(size, "%2.2f") + ") with " + PassesText(plan.passes) +
                         "? They cannot be recovered afterwards.",
                     a.wipeOpts))
            return env.Fail(kRefused);

        wipe::Receipt receipt = wipe::StartReceipt(
            "wipe", a.paths.size() == 1 ? a.paths[0] : platform::ParentOf(a.paths[0]));
        receipt.passes = plan.passes;
        receipt.randomMode = a.random;
        receipt.verifyRequested = a.verify;
        CommandOperation progress(env.Log());
        Operation& op = progress.Op();
        LogCaveats(toWrite, env.Log());
        op.SetRange(ProgressSink::Overall, 0, static_cast<int64_t>(files));
        wipe::CSecureFileWiper wiper;
        wiper.SetPassCount(count);
        wiper.verifyLastPass = a.verify;
        nlohmann::json results = nlohmann::json::array();
        size_t wiped = 0;
        bool aborted = false;
        for (const auto& t : plan.targets) {
            nlohmann::json r;
            JsonName(r, "path", t.path);
            if (!t.refusal.empty()) {
                r["wiped"] = false;
                r["reason"] = t.refusal;
                results.push_back(std::move(r));
                receipt.items.push_back({t.path, 0, false, t.refusal});
                continue;
            }
            if (op.Stopped()) {
                aborted = true;
                break;
            }
            if (t.isLink) {
                unlink(t.path.c_str());
                continue;
            }
            op.Status("Wiping " + Printable(t.path));
            // Looked at again just before: a lock taken or a name added since the plan
            // is a refusal too, and the file stays untouched.
            const std::string late = FileRefusal(t.path, a.hardLinks);
            std::string why = late;
            bool ok = false;
            if (late.empty()) {
                const Result<void> wiped = wiper.WipeFile(t.path, false, a.random, &op);
                ok = wiped.ok();
                if (!ok) why = ErrorText(wiped.error());
                // One file that reads back wrong makes the whole run's check fail.
                if (a.verify && !ok && wiped.error().code == ErrorCode::Mismatch)
                    wipe::NoteReadBackFailure(receipt, why);
                wipe::ConcludeReadBack(receipt, ok);
            }
            const uint64_t written = late.empty() ? wiper.LastBytesWritten() : 0;
            receipt.bytesOverwritten += written;
            receipt.items.push_back({t.path, written, ok, ok ? std::string() : why});
            op.Step(ProgressSink::Overall, 1);
            if (ok) {
                ++wiped;
                log::LogToFile(wiper.ErasedLine(t.path, count), env.Log());
            } else {
                progress.Finish();
                PrintError((late.empty() ? "could not wipe " : "not wiping ") + t.path + ": " +
                           why);
                env.Fail(late.empty() ? kFailed : kRefused);
            }
            r["wiped"] = ok;
            r["size"] = t.size;
            r["passes"] = plan.passes;
            r["bytes_written"] = written;
            if (!ok) r["reason"] = why;
            results.push_back(std::move(r));
        }
        // Folders go once they are empty; one that still holds a refused file stays.
        if (!aborted)
            for (const auto& f : plan.folders)
                if (rmdir(f.c_str()) != 0) {
                    PrintError("folder kept: " + f + " (" + std::strerror(errno) + ")");
                    env.Fail(kFailed);
                }
        progress.Finish();
        if (a.json) {
            PrintJson({{"wiped", wiped},
                       {"count", count},
                       {"passes", plan.passes},
                       {"aborted", aborted},
                       {"files", results}});
        } else {
            Out("Wiped " + std::to_string(wiped) + (wiped == 1 ? " file" : " files") + " with " +
                PassesText(plan.passes));
        }
        if (aborted) {
            Note("Stopped: the remaining files were not touched.");
            env.Fail(kFailed);
        }
        receipt.outcome = aborted ? "stopped" : env.exit != kOk ? "failed" : "completed";
        SaveReceipt(receipt, a.report, env);
    });

    auto* fsp = app.add_subcommand(
        "free-space", "Overwrite the free space of a file system with temporary files");
    fsp->add_option("MOUNTPOINT", a.mountPoint, "Mount point of the file system")->required();
    fsp->add_option("--passes", a.passes, "Overwrite passes, 1 to 14 (default: the setting)")
        ->check(CLI::Range(1, 14));
    fsp->add_flag("--no-trim", a.noTrim,
                  "Do not trim the freed space afterwards (by default it is trimmed where the "
                  "device takes discards: flash and image files; setting TrimAfterFreeSpace)");
    AddVerifyOption(fsp, a.verify);
    AddReportOption(fsp, a.report);
    AddDestructiveOptions(fsp, a.freeOpts);
    fsp->callback([&env] {
        auto mount = MountPointArg(a.mountPoint, env);
        if (!mount) return;
        const int passes = a.passes > 0 ? a.passes : env.DefaultPasses();
        const wipe::FreeSpacePlan plan = wipe::PlanFreeSpace(mount->Root(), passes);
        const bool trim = !a.noTrim && env.GetSettings().ReadWithDefault("TrimAfterFreeSpace") != 0;
        if (a.freeOpts.dryRun) {
            PrintFreeSpacePlan(plan, trim);
            if (!plan.refusal.empty()) env.Fail(kRefused);  // as the real run would
            return;
        }
        if (!plan.refusal.empty()) {
            PrintError(plan.refusal + (plan.leftoverPresent
                                           ? " (run `tidewipe-cli leftovers` to remove it)"
                                           : ""));
            return env.Fail(kRefused);
        }
        if (plan.reservedBytes > 0)
            Note(FormatSize(plan.reservedBytes, "%2.2f") +
                 " reserved by the file system cannot be filled and is not cleaned.");
        if (!Confirm("Fill the free space of " + plan.root + " (" +
                         FormatSize(plan.freeBytes, "%2.2f") + ") with " + PassesText(passes) + "?",
                     a.freeOpts))
            return env.Fail(kRefused);

        wipe::Receipt receipt = wipe::StartReceipt("free-space", mount->mountPoint);
        receipt.passes = passes;
        receipt.randomMode = plan.randomMode;
        receipt.verifyRequested = a.verify;
        CommandOperation progress(env.Log());
        Operation& op = progress.Op();
        wipe::CFreeSpaceCleaner cleaner;
        cleaner.verifyLastPass = a.verify;
        cleaner.logEnabled =
            env.Log() != nullptr && env.GetSettings().ReadWithDefault("LogFreespaceWiping") != 0;
        if (!plan.caveatLine.empty())
            log::LogToFile(plan.caveatLine, cleaner.logEnabled ? env.Log() : nullptr);
        const int done = cleaner.CleanFreeSpace(op, {mount->mountPoint, passes, trim});
        const bool aborted = op.Stopped();
        progress.Finish();
        const std::string written = FormatSize(cleaner.BytesWritten(), "%2.2f");
        receipt.bytesOverwritten = cleaner.BytesWritten();
        receipt.outcome = aborted ? "stopped" : done > 0 ? "completed" : "failed";
        if (cleaner.VerifyError())
            wipe::NoteReadBackFailure(receipt, ErrorText(*cleaner.VerifyError()));
        wipe::ConcludeReadBack(receipt, !aborted && done == passes);
        receipt.items.push_back(
            {cleaner.LastPlan().folder, cleaner.BytesWritten(), done > 0 && !aborted, {}});
        SaveReceipt(receipt, a.report, env);
        if (cleaner.VerifyError()) {
            PrintError("the free space does not read back as written: " +
                       ErrorText(*cleaner.VerifyError()));
            return env.Fail(kFailed);
        }
        if (done < 0) {
            struct stat st {};
            if (lstat(cleaner.LastPlan().folder.c_str(), &st) == 0)
                PrintError(Str<118>());
            else
                PrintError("the free space could not be written (" + written + " written)");
            return env.Fail(kFailed);
        }
        if (aborted) {
            Note(Str<149>() + " " + std::to_string(done) + " of " + PassesText(passes) +
                 " completed, " + written + " written.");
            return env.Fail(kFailed);
        }
        if (done == 0) {
            PrintError(cleaner.LastRefusal().empty() ? "nothing was cleaned"
                                                     : cleaner.LastRefusal());
            return env.Fail(kRefused);
        }
        Out(Str<147>() + ": " + plan.root + ", " + PassesText(done) + ", " + written + " written");
        if (const std::string line = wipe::TrimOutcomeLine(cleaner.LastTrim(), plan.root);
            !line.empty())
            Out(line);
    });

    auto* left = app.add_subcommand(
        "leftovers", "Remove the temporary folders an interrupted free space clean left behind");
    AddDestructiveOptions(left, a.leftoverOpts);
    left->callback([&env] {
        const auto found = wipe::FindLeftoverTempFolders();
        // Files an interrupted slack wipe left longer are put back by the same sweep.
        const auto slackFiles = wipe::PendingSlackJournals(wipe::SlackJournalFolder());
        if (found.empty() && slackFiles.empty()) {
            Out("No leftover temporary folders found.");
            return;
        }
        if (a.leftoverOpts.dryRun) {
            for (const auto& f : slackFiles)
                Out("restore " + f + " (length and times, after an interrupted slack wipe)");
            // A folder a running clean still holds is kept by the real run (exit 1).
            for (const auto& f : found) {
                if (FolderLockedByOthers(f)) {
                    Out("keep " + f + " (a clean is still using it)");
                    env.Fail(kFailed);
                } else {
                    Out("remove " + f);
                }
            }
            return;
        }
        std::string question = "Remove " + std::to_string(found.size()) +
                               " leftover temporary folder" + (found.size() == 1 ? "" : "s");
        if (!slackFiles.empty())
            question += " and put back " + std::to_string(slackFiles.size()) +
                        " file(s) an interrupted slack wipe left longer";
        if (!Confirm(question + "?", a.leftoverOpts)) return env.Fail(kRefused);
        wipe::LeftoverSweep sweep;
        wipe::CleanLeftoverTempFolders(
            true, [](std::string_view text) { Note(std::string(text)); }, &sweep);
        for (const auto& f : sweep.removed) Out("Removed " + f);
        for (const auto& f : sweep.slackRestored) Out("Restored " + f);
        for (const auto& f : sweep.slackLeft)
            Note("left " + f + " as it is: it changed after the interrupted slack wipe");
        for (const auto& f : sweep.slackPending) {
            PrintError("could not restore " + f +
                       " now (in use or denied); the next sweep tries again");
            env.Fail(kFailed);
        }
        for (const auto& f : sweep.kept) {
            PrintError("kept " + f + " (a clean is still using it, or it holds other files)");
            env.Fail(kFailed);
        }
    });
}

CommandRegistrar reg(RegisterWipe);

}  // namespace
}  // namespace tw::cli
