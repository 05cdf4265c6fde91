// SPDX-License-Identifier: GPL-3.0-or-later
// recover SOURCE [--to DIR] (--location N ... | --all) [--dry-run] [--keep-entries]
// clusters SOURCE --location N [--json]
// dump SOURCE --cluster C [--hex]
//
// Recovery of the deleted files the search finds, and the data viewer's two views of a
// volume: the clusters of one found file, and one cluster as hex or filtered text.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "cli/cli.h"
#include "cli/volume_select.h"
#include "platform/fileio.h"
#include "platform/settings.h"
#include "platform/strings.h"
#include "volume/item_clusters.h"
#include "volume/recovery.h"
#include "volume/search.h"

namespace tw::cli {
namespace {

std::string ItemPath(const volume::RecoverableFile& f) {
    return platform::JoinPath(f.folder, f.name);
}

struct RecoverOptions {
    std::string source, to;
    ItemSelection sel;
    bool dryRun = false;
    bool keepEntries = false;
    bool deletedFolders = false;
};

void RunRecover(Env& env, const RecoverOptions& o) {
    // What the page checks before it starts: a folder, and a selection.
    std::string folderPath = o.to;
    if (folderPath.empty()) {
        folderPath = env.GetSettings().restoredFilesLocation.Read();
        if (folderPath == kNotYetSet) folderPath.clear();
    }
    if (folderPath.empty()) {
        PrintError(volume::FolderCheckText(volume::FolderCheck::NotSet));
        env.Fail(kUsage);
        return;
    }
    if (!o.sel.all && o.sel.locations.empty()) {
        PrintError(Str<321>());
        env.Fail(kUsage);
        return;
    }
    volume::CVolumeSession vol;
    if (int rc = Report(vol.Resolve(o.source)); rc != kOk) return env.Fail(rc);
    const std::string& raw = vol.Source().raw;

    // The folder is checked before the search, which may take long, and a dry run
    // checks it as the real run would. A missing folder is made (the last component
    // only: a mistyped parent is an error, not a new tree). A folder that cannot be used
    // is named with the reason; a link (never followed) or a folder this user may not
    // write is a refusal.
    auto refuseFolder = [&env](const std::string& what, const volume::RecoveryFolder& f) {
        PrintError(what + ": " + f.ProblemText());
        const volume::FolderProblem p = f.Problem();
        env.Fail(p == volume::FolderProblem::Link || p == volume::FolderProblem::NoPermission
                     ? kRefused
                     : kFailed);
    };
    auto refuseOnSource = [&env](const std::string& what, const std::string& mountPoint) {
        PrintError(what + " the volume being recovered from (mounted at " + mountPoint +
                   "): recovering there could overwrite the files being recovered.");
        PrintError(volume::FolderCheckText(volume::FolderCheck::OnSource));
        env.Fail(kRefused);
    };
    struct stat st {};
    const bool missing = ::lstat(folderPath.c_str(), &st) != 0 && errno == ENOENT;
    volume::RecoveryFolder folder;
    if (missing) {
        // Making the folder is already a write: not on the volume being recovered from,
        // and only where this user may write.
        std::string parent = folderPath;
        while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
        const size_t slash = parent.rfind('/');
        parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : parent.substr(0, slash));
        volume::RecoveryFolder parentFolder;
        std::string mountPoint;
        const volume::FolderCheck check = parentFolder.Open(parent, raw, &mountPoint);
        if (check == volume::FolderCheck::OnSource)
            return refuseOnSource(folderPath + " would be made on", mountPoint);
        if (check != volume::FolderCheck::Ok)
            return refuseFolder(folderPath + " cannot be made: " + parent, parentFolder);
    }
    if (missing && !o.dryRun && ::mkdir(folderPath.c_str(), 0700) != 0) {
        const int err = errno;
        PrintError(folderPath + ": cannot make the folder: " + std::strerror(err));
        env.Fail(err == EACCES || err == EPERM || err == EROFS ? kRefused : kFailed);
        return;
    }
    if (!(missing && o.dryRun)) {
        std::string mountPoint;
        volume::FolderCheck check = folder.Open(folderPath, raw, &mountPoint);
        if (check == volume::FolderCheck::OnSource)
            return refuseOnSource(folderPath + " is on", mountPoint);
        if (check != volume::FolderCheck::Ok) return refuseFolder(folderPath, folder);
    }

    CommandOperation progress(RecoveryLog(env));
    Operation& op = progress.Op();
    volume::SessionSearchOptions so;
    so.deletedFolders = o.deletedFolders;
    const volume::SessionStatus searched = volume::CVolumeSession::SearchStatus(vol.Search(op, so));
    progress.Finish();
    if (int rc = Report(searched); rc != kOk) return env.Fail(rc);
    std::vector<const volume::RecoverableFile*> items;
    if (int rc = SelectItems(vol, o.sel, Str<321>(), &items); rc != kOk) return env.Fail(rc);

    // FAT32 entries are cleared after a full recovery, which is a raw write: only where
    // the gate allows it, otherwise the entries are left and the user is told. A dry run
    // asks the gate too (opening for writing writes nothing).
    const bool fat32 = vol.Fs() == volume::FileSystemKind::Fat32;
    const bool clearEntries = fat32 && !o.keepEntries && !items.empty();
    std::string keepReason;
    if (clearEntries && o.dryRun) keepReason = vol.WriteRefusal();
    const volume::SessionStatus opened =
        vol.OpenForAccess(clearEntries && !o.dryRun ? volume::RawAccess::WriteIfAllowed
                                                    : volume::RawAccess::ReadOnly);
    if (int rc = Report(opened); rc != kOk) return env.Fail(rc);
    if (clearEntries && !o.dryRun) keepReason = vol.AccessRefusal();
    if (items.empty()) {
        std::cout << vol.LastSearch().message << "\n";
        return;
    }

    if (o.dryRun) {
        std::cout << "Would recover " << items.size() << (items.size() == 1 ? " file" : " files")
                  << " to " << Printable(folderPath)
                  << (missing ? " (the folder would be made)" : "") << ":\n";
        for (const volume::RecoveryPlanItem& p :
             vol.PlanRecovery(items, missing ? -1 : folder.Fd())) {
            const volume::RecoverableFile& f = *p.item;
            std::string line = "  " + ItemPath(f) + " -> " +
                               platform::JoinPath(folderPath, p.fileName) + " (" +
                               std::to_string(f.size) + " bytes, " +
                               std::to_string(f.recoverability) + "% recoverable";
            if (p.bytesHeld < f.size)
                line += "; its runs hold only " + std::to_string(p.bytesHeld) + " bytes";
            Out(line + ")");
        }
        if (fat32 && !o.keepEntries && keepReason.empty())
            std::cout << "The directory entry of each file recovered in full would be cleared.\n";
        else if (fat32 && !o.keepEntries)
            Out("Directory entries would be left as they are: " + keepReason);
        return;
    }

    if (fat32 && !keepReason.empty())
        Note("Directory entries will be left as they are: " + keepReason);

    op.TimeText("Ctrl-C: " + Str<413>());
    size_t inPart = 0;  // recovered, but with clusters zeroed, unreadable or missing
    auto onItem = [&](const volume::RecoverableFile& f, const volume::RecoverResult& r) {
        progress.Finish();
        if (r.outcome == Outcome::Ok && !r.complete) ++inPart;
        const std::string where = platform::JoinPath(folder.Path(), r.fileName);
        if (r.outcome == Outcome::Failed) {
            PrintError(Str<395>() + " " + ItemPath(f) + ": " + r.error);
            if (!r.note.empty()) PrintError("  " + r.note);
            return;
        }
        if (r.outcome == Outcome::Stopped) {
            Out("stopped: " + ItemPath(f) + " (" +
                (r.fileName.empty() ? "the partial file was removed" : r.note) + ")");
            return;
        }
        std::string line =
            ItemPath(f) + " -> " + where + " (" + std::to_string(r.bytesWritten) + " bytes";
        if (r.clustersZeroed)
            line +=
                ", " + std::to_string(r.clustersZeroed) + " reallocated clusters written as zeros";
        if (r.clustersUnread)
            line +=
                ", " + std::to_string(r.clustersUnread) + " unreadable clusters written as zeros";
        if (r.clustersMissing)
            line += " of " + std::to_string(f.size) + ": " + std::to_string(r.clustersMissing) +
                    " clusters missing, the file ends where its data does";
        if (r.entryCleared) line += ", directory entry cleared";
        line += ")";
        Out(line);
        std::cout << std::flush;
        if (!r.note.empty() && f.fs == volume::FileSystemKind::Fat32 && !o.keepEntries)
            Note("  " + r.note);
    };
    const volume::RecoveryRunResult run = vol.Recover(op, items, folder, !o.keepEntries, onItem);
    progress.Finish();
    Out(Str<393>() + " " + folder.Path() + " (" + std::to_string(run.recovered) + " of " +
        std::to_string(items.size()) + (items.size() == 1 ? " file" : " files") + " recovered" +
        (inPart ? ", " + std::to_string(inPart) + " of them only in part" : std::string()) +
        (run.failed ? ", " + std::to_string(run.failed) + " failed" : std::string()) +
        (run.stopped ? ", stopped" : "") + ")");
    if (run.failed || run.stopped) env.Fail(kFailed);
}

void RegisterRecover(CLI::App& app, Env& env) {
    static RecoverOptions o;
    auto* cmd = app.add_subcommand(
        "recover",
        "Recover deleted files that search finds into a folder. NTFS volumes are only read. "
        "On FAT32 the directory entry of a file recovered in full is cleared afterwards "
        "where raw writes are allowed (an image not mounted read-write, or an unmounted "
        "device); --keep-entries leaves it. A recovered file never replaces an existing "
        "one: a taken name gets \" (2)\", \" (3)\", ... Exit 1 if any file failed.");
    cmd->add_option("SOURCE", o.source, "Volume image file, block device or mounted folder")
        ->required();
    cmd->add_option("--to", o.to,
                    "Folder to recover into (made when missing; default: the "
                    "RestoredFilesLocation setting). Must not be on SOURCE while it is mounted");
    AddSelectionOptions(cmd, o.sel);
    cmd->add_flag("--dry-run", o.dryRun, "List what would be written where; change nothing");
    cmd->add_flag("--keep-entries", o.keepEntries,
                  "FAT32: leave the directory entries of recovered files as they are");
    AddDeletedFoldersOption(cmd, o.deletedFolders);
    cmd->callback([&env] { RunRecover(env, o); });
}

// ---- clusters ----

struct ClustersOptions {
    std::string source;
    uint64_t location = 0;
    bool json = false;
    bool deletedFolders = false;
};

void RunClusters(Env& env, const ClustersOptions& o) {
    CommandOperation progress;
    Operation& op = progress.Op();
    volume::SessionOpenOptions oo;
    oo.searchOptions.deletedFolders = o.deletedFolders;
    // Looking at a file's clusters changes nothing: its search is not logged.
    volume::CVolumeSession vol;
    int rc = Report(vol.Open(op, o.source, oo));
    progress.Finish();
    if (rc != kOk) return env.Fail(rc);
    ItemSelection sel;
    sel.locations.push_back(o.location);
    std::vector<const volume::RecoverableFile*> items;
    if ((rc = SelectItems(vol, sel, "", &items)) != kOk) return env.Fail(rc);
    const volume::RecoverableFile& f = *items.front();
    bool stopped = false;
    const std::vector<volume::ItemCluster> clusters = vol.ItemClusters(op, f, &stopped);
    if (stopped) return env.Fail(kFailed);
    uint64_t reallocated = 0;
    for (const auto& c : clusters) reallocated += c.inUse ? 1 : 0;
    if (o.json) {
        nlohmann::json arr = nlohmann::json::array();
        for (const auto& c : clusters)
            arr.push_back({{"cluster", c.cluster}, {"reallocated", c.inUse}});
        PrintJson(arr);
        if (f.resident)
            Note(f.name + ": resident: the data lives in the file record at sector " +
                 std::to_string(f.location));
        return;
    }
    Out("File: " + ItemPath(f) + " (" + std::to_string(f.size) + " bytes)");
    if (f.resident) {
        std::cout << "Resident: the data lives in the file record at sector " << f.location << "\n";
        return;
    }
    std::cout << "Clusters: " << clusters.size() << " of " << vol.BytesPerCluster() << " bytes";
    if (vol.Fs() == volume::FileSystemKind::Ntfs)
        std::cout << ", " << reallocated << " reallocated";
    else
        std::cout << " (the first cluster, then the free clusters after it)";
    std::cout << "\n";
    for (const auto& c : clusters)
        std::cout << c.cluster << (c.inUse ? "  reallocated" : "") << "\n";
}

void RegisterClusters(CLI::App& app, Env& env) {
    static ClustersOptions o;
    auto* cmd = app.add_subcommand(
        "clusters",
        "List the clusters of a deleted file that search finds: its runs on NTFS (clusters "
        "allocated again to another file are marked \"reallocated\"), on FAT32 its first "
        "cluster and the free clusters that follow it");
    cmd->add_option("SOURCE", o.source, "Volume image file, block device or mounted folder")
        ->required();
    cmd->add_option("--location", o.location,
                    "The file, by the \"location\" that search --json prints")
        ->required();
    cmd->add_flag("--json", o.json, "Print a JSON array of {cluster, reallocated}");
    AddDeletedFoldersOption(cmd, o.deletedFolders);
    cmd->callback([&env] { RunClusters(env, o); });
}

// ---- dump ----

struct DumpOptions {
    std::string source;
    uint64_t cluster = 0;
    bool hex = false;
};

void PrintHex(const std::vector<uint8_t>& b) {
    char line[96];
    for (size_t off = 0; off < b.size(); off += 16) {
        int n = std::snprintf(line, sizeof line, "%08zx ", off);
        std::string text = std::string(line, static_cast<size_t>(n));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) text += ' ';
            if (off + i < b.size()) {
                std::snprintf(line, sizeof line, " %02x", b[off + i]);
                text += line;
                uint8_t c = b[off + i];
                ascii += c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
            } else {
                text += "   ";
            }
        }
        std::cout << text << "  |" << ascii << "|\n";
    }
}

void RunDump(Env& env, const DumpOptions& o) {
    volume::SessionOpenOptions oo;
    oo.search = false;
    volume::CVolumeSession vol;
    if (int rc = Report(vol.Open(Operation(), o.source, oo)); rc != kOk) return env.Fail(rc);
    if (o.cluster < vol.FirstCluster() || o.cluster > vol.LastCluster()) {
        PrintError("cluster " + std::to_string(o.cluster) + " is outside the volume (clusters " +
                   std::to_string(vol.FirstCluster()) + " to " + std::to_string(vol.LastCluster()) +
                   ")");
        env.Fail(kUsage);
        return;
    }
    std::vector<uint8_t> bytes;
    if (!vol.ReadCluster(o.cluster, &bytes)) {
        PrintError("cannot read cluster " + std::to_string(o.cluster) + ": " +
                   ErrorText(vol.Drive().LastError()));
        env.Fail(kFailed);
        return;
    }
    if (o.hex) {
        PrintHex(bytes);
        return;
    }
    const std::string text = volume::FilteredText(bytes);
    for (size_t i = 0; i < text.size(); i += 64) std::cout << text.substr(i, 64) << "\n";
}

void RegisterDump(CLI::App& app, Env& env) {
    static DumpOptions o;
    auto* cmd = app.add_subcommand(
        "dump",
        "Show one cluster of an NTFS or FAT32 volume as filtered text (printable ASCII, "
        "every other byte as '.', 64 bytes a line) or, with --hex, as a hex dump "
        "(offset, 16 bytes, |ASCII|)");
    cmd->add_option("SOURCE", o.source, "Volume image file, block device or mounted folder")
        ->required();
    cmd->add_option("--cluster", o.cluster,
                    "Cluster number (NTFS from 0, FAT32 from 2, as clusters prints them)")
        ->required();
    cmd->add_flag("--hex", o.hex, "Hex dump instead of filtered text");
    cmd->callback([&env] { RunDump(env, o); });
}

CommandRegistrar reg([](CLI::App& app, Env& env) {
    RegisterRecover(app, env);
    RegisterClusters(app, env);
    RegisterDump(app, env);
});

}  // namespace
}  // namespace tw::cli
