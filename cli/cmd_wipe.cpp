// SPDX-License-Identifier: GPL-3.0-or-later
// wipe, free-space, leftovers: secure file wiping and free space cleaning from the
// terminal.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>
#include <cstdlib>
#include <iostream>

#include "cli/cli.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "wipe/file_wiper.h"
#include "wipe/free_space.h"

namespace tw::cli {
namespace {

std::string PassesText(int n) { return std::to_string(n) + (n == 1 ? " pass" : " passes"); }

// ---------------------------------------------------------------- wipe: the plan

struct WipeTarget {
    std::string path;
    uint64_t size = 0;
    uint64_t bytesToWrite = 0;  // the length raised to whole clusters, times the passes
    std::string refusal;        // non-empty: not wiped, and why
    bool isLink = false;        // a symbolic link inside a folder: removed, never followed
};

struct WipePlan {
    std::vector<WipeTarget> targets;
    std::vector<std::string> folders;  // folders to remove once emptied, deepest first
    int passes = 0;                    // passes written per file (the count + 1)
};

uint32_t ClusterOfFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct statvfs sv{};
    if (statvfs(folder.c_str(), &sv) != 0) return 4096;
    return static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
}

// Why a regular file would be refused by the plain wiper ("" when it would be wiped).
std::string FileRefusal(const std::string& path, const struct stat& st) {
    if ((st.st_mode & S_IWUSR) == 0 ||
        faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return "read-only (no write permission)";
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::string("cannot be opened: ") + std::strerror(errno);
    int flags = 0;
    const bool system = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
    close(fd);
    if (system) return "system file (immutable or append-only)";
    return "";
}

void AddFile(WipePlan& plan, const std::string& path, const struct stat& st) {
    WipeTarget t;
    t.path = path;
    t.size = static_cast<uint64_t>(st.st_size);
    t.refusal = FileRefusal(path, st);
    const uint64_t cluster = ClusterOfFolder(path);
    const uint64_t raised = (t.size + cluster - 1) / cluster * cluster;
    t.bytesToWrite = raised * static_cast<uint64_t>(plan.passes);
    plan.targets.push_back(std::move(t));
}

// Walks a folder for --recursive: never follows symbolic links, never leaves the
// folder's file system, takes only regular files.
void AddFolder(WipePlan& plan, const std::string& folder, dev_t dev) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        plan.targets.push_back({folder, 0, 0, std::string("cannot be listed: ") +
                                                  std::strerror(errno), false});
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        struct stat st{};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISLNK(st.st_mode)) {
            plan.targets.push_back({path, 0, 0, "", true});
        } else if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != dev)
                plan.targets.push_back({path, 0, 0, "another file system is mounted here", false});
            else
                AddFolder(plan, path, dev);
        } else if (S_ISREG(st.st_mode)) {
            AddFile(plan, path, st);
        } else {
            plan.targets.push_back({path, 0, 0, "not a regular file", false});
        }
    }
    plan.folders.push_back(folder);
}

WipePlan PlanWipe(const std::vector<std::string>& paths, int count, bool recursive) {
    WipePlan plan;
    plan.passes = count + 1;  // the plain wipe writes one pass more than the count
    for (std::string path : paths) {
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        struct stat st{};
        if (lstat(path.c_str(), &st) != 0) {
            plan.targets.push_back({path, 0, 0, "does not exist", false});
        } else if (S_ISLNK(st.st_mode)) {
            plan.targets.push_back({path, 0, 0, "a symbolic link (not followed)", false});
        } else if (S_ISDIR(st.st_mode)) {
            if (!recursive)
                plan.targets.push_back({path, 0, 0, "a folder (add --recursive)", false});
            else
                AddFolder(plan, path, st.st_dev);
        } else if (S_ISREG(st.st_mode)) {
            AddFile(plan, path, st);
        } else {
            plan.targets.push_back({path, 0, 0, "not a regular file", false});
        }
    }
    return plan;
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

void PrintFreeSpacePlan(const wipe::FreeSpacePlan& p) {
    std::cout << "free space of " << p.root << ": " << FormatSize(p.freeBytes, "%2.2f") << " ("
              << p.freeBytes << " bytes)\n";
    if (p.reservedBytes > 0)
        std::cout << "not cleaned: " << FormatSize(p.reservedBytes, "%2.2f")
                  << " reserved by the file system\n";
    std::cout << "temporary folder: " << p.folder << (p.folderInHome ? " (in the home folder)" : "")
              << "\n"
              << "files: up to " << p.fileCount << " of 1 Gb\n"
              << "passes: " << p.passes << " (" << (p.randomMode ? "random data" : "fixed patterns")
              << ")\n"
              << "bytes to write: up to " << p.PlannedBytes() << " ("
              << FormatSize(p.PlannedBytes(), "%2.2f") << ")\n";
    if (!p.refusal.empty()) std::cout << "refused: " << p.refusal << "\n";
}

// ---------------------------------------------------------------- registration

struct WipeArgs {
    int passes = 0;
    bool random = false;
    bool recursive = false;
    bool json = false;
    std::vector<std::string> paths;
    std::string mountPoint;
    DestructiveOptions wipeOpts, freeOpts, leftoverOpts;
};

void RegisterWipe(CLI::App& app, Env& env) {
    static WipeArgs a;

    auto* wipe = app.add_subcommand(
        "wipe", "Overwrite files in place and delete them for good (count + 1 passes)");
    wipe->add_option("PATH", a.paths, "Files to wipe; folders only with --recursive")->required();
    wipe->add_option("--passes", a.passes, "Overwrite count, 1 to 14 (default: the setting); "
                                           "count + 1 passes are written")
        ->check(CLI::Range(1, 14));
    wipe->add_flag("--random", a.random, "Random data instead of fixed patterns");
    wipe->add_flag("-r,--recursive", a.recursive,
                   "Wipe every file below the folders given, then remove the folders");
    wipe->add_flag("--json", a.json, "Print the result as JSON");
    AddDestructiveOptions(wipe, a.wipeOpts);
    wipe->callback([&env] {
        const int count = a.passes > 0 ? a.passes : env.DefaultPasses();
        WipePlan plan = PlanWipe(a.paths, count, a.recursive);
        size_t files = 0, links = 0;
        uint64_t bytes = 0, size = 0;
        for (const auto& t : plan.targets) {
            if (!t.refusal.empty()) continue;
            if (t.isLink) {
                ++links;
                continue;
            }
            ++files;
            bytes += t.bytesToWrite;
            size += t.size;
        }
        if (a.wipeOpts.dryRun) {
            for (const auto& t : plan.targets) {
                if (!t.refusal.empty())
                    std::cout << "refuse " << t.path << ": " << t.refusal << "\n";
                else if (t.isLink)
                    std::cout << "remove link " << t.path << " (not followed)\n";
                else
                    std::cout << "wipe " << t.path << " (" << FormatSize(t.size, "%2.2f") << ", "
                              << t.bytesToWrite << " bytes written)\n";
            }
            for (const auto& f : plan.folders) std::cout << "remove folder " << f << "\n";
            std::cout << files << (files == 1 ? " file, " : " files, ") << bytes
                      << " bytes to write in " << PassesText(plan.passes) << " each"
                      << (a.random ? " (random data)" : "") << "\n";
            return;
        }
        for (const auto& t : plan.targets)
            if (!t.refusal.empty()) {
                PrintError("not wiping " + t.path + ": " + t.refusal);
                env.Fail(kRefused);
            }
        if (files == 0 && links == 0 && plan.folders.empty()) return;
        if (!Confirm("Wipe " + std::to_string(files) + (files == 1 ? " file (" : " files (") +
                         FormatSize(size, "%2.2f") + ") with " + PassesText(plan.passes) +
                         "? They cannot be recovered afterwards.",
                     a.wipeOpts))
            return env.Fail(kRefused);

        InstallInterruptHandler();
        TerminalProgress progress;
        OpContext op{&progress, &InterruptFlag(), {}, env.Log()};
        op.SetRange(ProgressSink::Overall, 0, static_cast<int64_t>(files));
        wipe::CSecureFileWiper wiper;
        wiper.SetPassCount(count);
        nlohmann::json results = nlohmann::json::array();
        size_t wiped = 0;
        bool aborted = false;
        for (const auto& t : plan.targets) {
            if (!t.refusal.empty()) {
                results.push_back({{"path", t.path}, {"wiped", false}, {"reason", t.refusal}});
                continue;
            }
            if (op.Aborted()) {
                aborted = true;
                break;
            }
            if (t.isLink) {
                unlink(t.path.c_str());
                continue;
            }
            op.Status("Wiping " + t.path);
            const bool ok = wiper.WipeFile(t.path, false, a.random);
            op.Step(ProgressSink::Overall, 1);
            if (ok) {
                ++wiped;
                log::LogToFile(wiper.ErasedLine(t.path, plan.passes), env.Log());
            } else {
                progress.Finish();
                PrintError("could not wipe " + t.path +
                           " (read-only, in use by another program, or gone)");
                env.Fail(kFailed);
            }
            results.push_back({{"path", t.path},
                               {"wiped", ok},
                               {"size", t.size},
                               {"passes", plan.passes},
                               {"bytes_written", wiper.LastBytesWritten()}});
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
                       {"passes", plan.passes},
                       {"aborted", aborted},
                       {"files", results}});
        } else {
            std::cout << "Wiped " << wiped << (wiped == 1 ? " file" : " files") << " with "
                      << PassesText(plan.passes) << "\n";
        }
        if (aborted) {
            Note("Stopped: the remaining files were not touched.");
            env.Fail(kFailed);
        }
    });

    auto* fsp = app.add_subcommand(
        "free-space", "Overwrite the free space of a file system with temporary files");
    fsp->add_option("MOUNTPOINT", a.mountPoint, "Mount point of the file system")->required();
    fsp->add_option("--passes", a.passes, "Overwrite passes, 1 to 14 (default: the setting)")
        ->check(CLI::Range(1, 14));
    AddDestructiveOptions(fsp, a.freeOpts);
    fsp->callback([&env] {
        auto mount = MountPointArg(a.mountPoint, env);
        if (!mount) return;
        const int passes = a.passes > 0 ? a.passes : env.DefaultPasses();
        const wipe::FreeSpacePlan plan = wipe::PlanFreeSpace(mount->Root(), passes);
        if (a.freeOpts.dryRun) {
            PrintFreeSpacePlan(plan);
            return;
        }
        if (!plan.refusal.empty()) {
            PrintError(plan.refusal +
                       (plan.leftoverPresent ? " (run `tidewipe-cli leftovers` to remove it)" : ""));
            return env.Fail(kRefused);
        }
        if (plan.reservedBytes > 0)
            Note(FormatSize(plan.reservedBytes, "%2.2f") +
                 " reserved by the file system cannot be filled and is not cleaned.");
        if (!Confirm("Fill the free space of " + plan.root + " (" +
                         FormatSize(plan.freeBytes, "%2.2f") + ") with " + PassesText(passes) +
                         "?",
                     a.freeOpts))
            return env.Fail(kRefused);

        InstallInterruptHandler();
        TerminalProgress progress;
        OpContext op{&progress, &InterruptFlag(), {}, env.Log()};
        wipe::CFreeSpaceCleaner cleaner(&op);
        cleaner.logEnabled =
            env.Log() != nullptr && env.GetSettings().ReadWithDefault("LogFreespaceWiping") != 0;
        // The clean clears the abort flag when it starts; an early Ctrl-C still counts.
        const bool interruptedBefore = InterruptFlag().load() != 0;
        const int done = interruptedBefore ? 0 : cleaner.CleanFreeSpace({mount->mountPoint, passes});
        const bool aborted = interruptedBefore || InterruptFlag().load() != 0;
        progress.Finish();
        const std::string written = FormatSize(cleaner.BytesWritten(), "%2.2f");
        if (done < 0) {
            struct stat st{};
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
        std::cout << Str<147>() << ": " << plan.root << ", " << PassesText(done) << ", " << written
                  << " written\n";
    });

    auto* left = app.add_subcommand(
        "leftovers", "Remove the temporary folders an interrupted free space clean left behind");
    AddDestructiveOptions(left, a.leftoverOpts);
    left->callback([&env] {
        const auto found = wipe::FindLeftoverTempFolders();
        if (found.empty()) {
            std::cout << "No leftover temporary folders found.\n";
            return;
        }
        if (a.leftoverOpts.dryRun) {
            for (const auto& f : found) std::cout << "remove " << f << "\n";
            return;
        }
        if (!Confirm("Remove " + std::to_string(found.size()) + " leftover temporary folder" +
                         (found.size() == 1 ? "" : "s") + "?",
                     a.leftoverOpts))
            return env.Fail(kRefused);
        wipe::LeftoverSweep sweep;
        wipe::CleanLeftoverTempFolders(
            true, [](std::string_view text) { Note(std::string(text)); }, &sweep);
        for (const auto& f : sweep.removed) std::cout << "Removed " << f << "\n";
        for (const auto& f : sweep.kept) {
            PrintError("kept " + f + " (a clean is still using it, or it holds other files)");
            env.Fail(kFailed);
        }
    });
}

CommandRegistrar reg(RegisterWipe);

}  // namespace
}  // namespace tw::cli
