// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/volume_select.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "platform/drives.h"
#include "platform/rawio.h"
#include "volume/item_clusters.h"

namespace tw::cli {

bool Resolve(const std::string& source, ResolvedSource* out, std::string* error) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        *error = source + ": no such file, device or folder";
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        auto mount = MountOf(source);
        if (!mount) {
            *error = source + ": cannot tell which file system holds this folder";
            return false;
        }
        auto kind = platform::ClassifyRawSource(mount->device);
        if (kind != platform::RawKind::BlockDevice && kind != platform::RawKind::RegularFile) {
            *error = source + ": the file system mounted at " + mount->mountPoint +
                     " has no device to read (" + mount->device + ")";
            return false;
        }
        out->raw = mount->device;
        out->driveText = mount->Root();
        out->driveName = mount->mountPoint;
        return true;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        *error = source + ": not a volume image file, block device or mounted folder";
        return false;
    }
    out->raw = source;
    out->driveText = "/";
    out->driveName = source;
    if (S_ISBLK(st.st_mode)) {
        for (const DriveInfo& d : ListMounts())
            if (d.devId == st.st_rdev) {
                out->driveText = d.Root();
                out->driveName = d.mountPoint;
                break;
            }
    }
    return true;
}

log::CActivityLogFile* RecoveryLog(Env& env) {
    log::CActivityLogFile* writer = env.Log();
    if (!writer || env.GetSettings().ReadWithDefault("logRecoverableDataOperations") == 0)
        return nullptr;
    return writer;
}

uint32_t SelectedVolume::BytesPerCluster() const {
    return fs == volume::FileSystemKind::Ntfs ? ntfsBoot.bytesPerCluster : fatBoot.bytesPerCluster;
}

uint64_t SelectedVolume::FirstCluster() const { return fs == volume::FileSystemKind::Ntfs ? 0 : 2; }

uint64_t SelectedVolume::LastCluster() const {
    if (fs == volume::FileSystemKind::Fat32) return fatBoot.maxCluster;
    return ntfsBoot.totalClusters == 0 ? 0 : ntfsBoot.totalClusters - 1;
}

bool SelectedVolume::ReadCluster(uint64_t cluster, std::vector<uint8_t>* out) {
    if (fs == volume::FileSystemKind::Ntfs)
        return volume::ReadCluster(drive, ntfsBoot, cluster, out);
    return volume::ReadCluster(drive, fatBoot, cluster, out);
}

namespace {

// Opens the drive as the command needs it once the search (which reads only) is done.
int OpenForAccess(const OpenOptions& opts, SelectedVolume* v) {
    const std::string& raw = v->source.raw;
    if (opts.access != RawAccess::ReadOnly) {
        if (v->drive.Open(raw, true)) {
            v->writable = true;
            return kOk;
        }
        if (opts.access == RawAccess::Write) {
            PrintError(v->drive.LastError());
            return kRefused;
        }
        v->writeRefusal = v->drive.LastError();
    }
    if (!v->drive.Open(raw, false)) {
        PrintError(v->drive.LastError());
        return kFailed;
    }
    return kOk;
}

}  // namespace

int OpenSelectedVolume(const std::string& source, const OpenOptions& opts, SelectedVolume* v) {
    std::string error;
    if (!Resolve(source, &v->source, &error)) {
        PrintError(error);
        return kFailed;
    }
    const std::string& raw = v->source.raw;

    // A write the gate will refuse is refused before the (possibly long) search.
    if (opts.access == RawAccess::Write) {
        volume::CRawDriveRef probe;
        if (!probe.Open(raw, true)) {
            PrintError(probe.LastError());
            return kRefused;
        }
    }

    if (!opts.search) {
        if (!v->drive.Open(raw, false)) {
            PrintError(v->drive.LastError());
            return kFailed;
        }
        uint8_t sector0[volume::kSectorSize];
        // Too small for a boot sector: no file system, as the search says too.
        if (v->drive.SizeBytes() < volume::kSectorSize) {
            PrintError(volume::UnsupportedFileSystemText(v->source.driveName,
                                                         volume::FileSystemName(raw)));
            return kRefused;
        }
        if (!v->drive.Read(0, sector0, volume::kSectorSize)) {
            PrintError(raw + ": cannot read the boot sector: " + v->drive.LastError());
            return kFailed;
        }
        volume::DetectedFs kind = volume::DetectFileSystem(sector0, v->drive.SizeBytes());
        if (kind == volume::DetectedFs::Other) {
            PrintError(volume::UnsupportedFileSystemText(v->source.driveName,
                                                         volume::FileSystemName(raw)));
            return kRefused;
        }
        v->fs = kind == volume::DetectedFs::Ntfs ? volume::FileSystemKind::Ntfs
                                                 : volume::FileSystemKind::Fat32;
    } else {
        volume::SearchContext ctx;
        ctx.driveText = v->source.driveText;
        ctx.drive = &v->drive;
        ctx.op = opts.op;
        ctx.walkDeletedFolders = opts.deletedFolders;
        volume::SearchReport rep = volume::SearchDrive(ctx, raw, v->source.driveName, &v->ntfs);
        switch (rep.end) {
            case volume::SearchEnd::Unsupported:
                PrintError(rep.message);
                return kRefused;
            case volume::SearchEnd::Failed:
                if (!rep.error.empty()) PrintError(rep.error);
                PrintError(rep.message);
                return kFailed;
            case volume::SearchEnd::Aborted:
                PrintError(rep.message);
                return kFailed;
            case volume::SearchEnd::Completed:
                break;
        }
        v->fs = rep.fs;
        v->found = std::move(ctx.found);
        v->searchMessage = rep.message;
    }

    if (int rc = OpenForAccess(opts, v); rc != kOk) return rc;

    if (v->fs == volume::FileSystemKind::Ntfs) {
        if (v->ntfs && v->ntfs->Boot().bytesPerCluster != 0) {
            v->ntfsBoot = v->ntfs->Boot();
        } else if (std::string why; !volume::ReadNtfsBootInfo(v->drive, &v->ntfsBoot, &why)) {
            PrintError(raw + ": the NTFS boot sector is damaged: " + why);
            return kFailed;
        }
    } else {
        auto boot = volume::ReadFatBootInfo(v->drive);
        if (!boot) {
            PrintError(raw + ": damaged " + boot.error().Message());
            return kFailed;
        }
        v->fatBoot = *boot;
        v->fat = std::make_unique<volume::FatTable>(v->drive, v->fatBoot);
    }
    return kOk;
}

void AddDeletedFoldersOption(CLI::App* cmd, bool& flag) {
    cmd->add_flag("--deleted-folders", flag,
                  "FAT32: also look inside deleted folders whose first cluster is still free "
                  "(only that cluster of the folder is read); their files are listed with "
                  "the deleted folder's name, its first character as \"?\", in the path");
}

void AddSelectionOptions(CLI::App* cmd, ItemSelection& sel) {
    auto* loc = cmd->add_option("--location", sel.locations,
                                "A found file, by the \"location\" that search --json prints "
                                "(NTFS: its record sector, FAT32: its first cluster); repeatable")
                    ->take_all();
    auto* all = cmd->add_flag("--all", sel.all, "Every file the search finds");
    loc->excludes(all);
    all->excludes(loc);
}

int SelectItems(const SelectedVolume& vol, const ItemSelection& sel,
                const std::string& noneSelectedText,
                std::vector<const volume::RecoverableFile*>* out) {
    out->clear();
    if (sel.all) {
        for (const auto& f : vol.found) out->push_back(&f);
        return kOk;
    }
    if (sel.locations.empty()) {
        PrintError(noneSelectedText);
        return kUsage;
    }
    std::set<uint64_t> seen;
    for (uint64_t loc : sel.locations) {
        if (!seen.insert(loc).second) continue;
        auto it =
            std::find_if(vol.found.begin(), vol.found.end(),
                         [loc](const volume::RecoverableFile& f) { return f.location == loc; });
        if (it == vol.found.end()) {
            PrintError("no recoverable file at location " + std::to_string(loc) + " on " +
                       vol.source.driveName);
            out->clear();
            return kUsage;
        }
        out->push_back(&*it);
    }
    return kOk;
}

}  // namespace tw::cli
