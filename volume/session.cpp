// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/session.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "platform/drives.h"
#include "platform/error.h"
#include "platform/rawio.h"

namespace tw::volume {

bool ResolveVolumeSource(const std::string& source, VolumeSource* out, std::string* error) {
    struct stat st {};
    if (::stat(source.c_str(), &st) != 0) {
        *error = TextWith(TextId<1410>, source);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        auto mount = MountOf(source);
        if (!mount) {
            *error = TextWith(TextId<1411>, source);
            return false;
        }
        auto kind = platform::ClassifyRawSource(mount->device);
        if (kind != platform::RawKind::BlockDevice && kind != platform::RawKind::RegularFile) {
            *error = TextWith(TextId<1412>, source, mount->mountPoint, mount->device);
            return false;
        }
        out->raw = mount->device;
        out->driveText = mount->Root();
        out->driveName = mount->mountPoint;
        return true;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        *error = TextWith(TextId<1413>, source);
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

SessionStatus CVolumeSession::Resolve(const std::string& source) {
    source_ = {};
    std::string error;
    if (!ResolveVolumeSource(source, &source_, &error))
        return SessionStatus::Fail(SessionStatus::Failed, error);
    return {};
}

std::string CVolumeSession::WriteRefusal() const {
    CRawDriveRef probe;
    if (probe.Open(source_.raw, true)) return {};
    return ErrorText(probe.LastError());
}

SearchReport CVolumeSession::Search(const OpContext& op, const SessionSearchOptions& options) {
    SearchContext ctx;
    ctx.driveText = source_.driveText;
    ctx.drive = &drive_;
    ctx.op = &op;
    ctx.wantDetails = options.details;
    ctx.walkDeletedFolders = options.deletedFolders;
    ctx.onFound = options.onFound;
    ctx.keepFound = options.keepFound;
    // The volume objects refer to the drive, which the search reopens: they go first.
    fat_.reset();
    ntfs_.reset();
    writable_ = false;
    lastSearch_ = SearchDrive(ctx, source_.raw, source_.driveName, &ntfs_);
    found_ = std::move(ctx.found);
    walkedDeletedFolders_ = options.deletedFolders;
    deletedFolderClusters_.clear();
    for (const RecoverableFile& f : found_)
        if (f.fs == FileSystemKind::Fat32 && f.isFolder)
            deletedFolderClusters_.insert(static_cast<uint32_t>(f.location));
    // Callers pick items by location, often all of them: one lookup each, not a scan.
    byLocation_.clear();
    byLocation_.reserve(found_.size());
    for (size_t i = 0; i < found_.size(); ++i) byLocation_.emplace(found_[i].location, i);
    if (lastSearch_.end != SearchEnd::Unsupported && lastSearch_.end != SearchEnd::Failed)
        fs_ = lastSearch_.fs;
    return lastSearch_;
}

SessionStatus CVolumeSession::SearchStatus(const SearchReport& report) {
    switch (report.end) {
        case SearchEnd::Unsupported:
            return SessionStatus::Fail(SessionStatus::Refused, report.message);
        case SearchEnd::Failed: {
            SessionStatus s{SessionStatus::Failed, {}};
            if (report.error) s.lines.push_back(ErrorText(*report.error));
            s.lines.push_back(report.message);
            return s;
        }
        case SearchEnd::Aborted:
            return SessionStatus::Fail(SessionStatus::Failed, report.message);
        case SearchEnd::Completed:
            break;
    }
    return {};
}

const RecoverableFile* CVolumeSession::FindFound(uint64_t location) const {
    auto it = byLocation_.find(location);
    return it == byLocation_.end() ? nullptr : &found_[it->second];
}

SessionStatus CVolumeSession::DetectFileSystem() {
    const std::string& raw = source_.raw;
    fat_.reset();
    ntfs_.reset();
    writable_ = false;
    if (!drive_.Open(raw, false))
        return SessionStatus::Fail(SessionStatus::Failed, ErrorText(drive_.LastError()));
    // Too small for a boot sector: no file system, as the search says too.
    const auto unsupported = [this, &raw] {
        return SessionStatus::Fail(
            SessionStatus::Refused,
            UnsupportedFileSystemText(source_.driveName, FileSystemName(raw)));
    };
    if (drive_.SizeBytes() < kSectorSize) return unsupported();
    uint8_t sector0[kSectorSize];
    if (!drive_.Read(0, sector0, kSectorSize))
        return SessionStatus::Fail(SessionStatus::Failed,
                                   TextWith(TextId<1414>, raw, ErrorText(drive_.LastError())));
    const DetectedFs kind = volume::DetectFileSystem(sector0, drive_.SizeBytes());
    if (kind == DetectedFs::Other) return unsupported();
    fs_ = kind == DetectedFs::Ntfs ? FileSystemKind::Ntfs : FileSystemKind::Fat32;
    return {};
}

SessionStatus CVolumeSession::OpenForAccess(RawAccess access) {
    const std::string& raw = source_.raw;
    writable_ = false;
    accessRefusal_.clear();
    bool opened = false;
    if (access != RawAccess::ReadOnly) {
        opened = writable_ = drive_.Open(raw, true);
        if (!opened && access == RawAccess::Write)
            return SessionStatus::Fail(SessionStatus::Refused, ErrorText(drive_.LastError()));
        if (!opened) accessRefusal_ = ErrorText(drive_.LastError());
    }
    if (!opened && !drive_.Open(raw, false))
        return SessionStatus::Fail(SessionStatus::Failed, ErrorText(drive_.LastError()));

    if (fs_ == FileSystemKind::Ntfs) {
        if (ntfs_ && ntfs_->Boot().bytesPerCluster != 0) {
            ntfsBoot_ = ntfs_->Boot();
        } else if (Error why; !ReadNtfsBootInfo(drive_, &ntfsBoot_, &why)) {
            return SessionStatus::Fail(SessionStatus::Failed, raw + ": " + ErrorText(why));
        }
    } else {
        auto boot = ReadFatBootInfo(drive_);
        if (!boot)
            return SessionStatus::Fail(SessionStatus::Failed, raw + ": " + ErrorText(boot.error()));
        fatBoot_ = *boot;
        fat_ = std::make_unique<FatTable>(drive_, fatBoot_);
    }
    return {};
}

SessionStatus CVolumeSession::Open(const OpContext& op, const std::string& source,
                                   const SessionOpenOptions& options) {
    if (SessionStatus s = Resolve(source); !s.IsOk()) return s;
    if (options.access == RawAccess::Write)
        if (std::string why = WriteRefusal(); !why.empty())
            return SessionStatus::Fail(SessionStatus::Refused, why);
    if (options.search) {
        if (SessionStatus s = SearchStatus(Search(op, options.searchOptions)); !s.IsOk()) return s;
    } else if (SessionStatus s = DetectFileSystem(); !s.IsOk()) {
        return s;
    }
    return OpenForAccess(options.access);
}

uint32_t CVolumeSession::BytesPerCluster() const {
    return fs_ == FileSystemKind::Ntfs ? ntfsBoot_.bytesPerCluster : fatBoot_.bytesPerCluster;
}

uint64_t CVolumeSession::FirstCluster() const { return fs_ == FileSystemKind::Ntfs ? 0 : 2; }

uint64_t CVolumeSession::LastCluster() const {
    if (fs_ == FileSystemKind::Fat32) return fatBoot_.maxCluster;
    return ntfsBoot_.totalClusters == 0 ? 0 : ntfsBoot_.totalClusters - 1;
}

bool CVolumeSession::ReadCluster(uint64_t cluster, std::vector<uint8_t>* out) {
    if (fs_ == FileSystemKind::Ntfs) return volume::ReadCluster(drive_, ntfsBoot_, cluster, out);
    return volume::ReadCluster(drive_, fatBoot_, cluster, out);
}

std::vector<ItemCluster> CVolumeSession::ItemClusters(const OpContext& op,
                                                      const RecoverableFile& item, bool* stopped) {
    *stopped = false;
    std::vector<ItemCluster> clusters;
    if (fs_ == FileSystemKind::Ntfs) {
        if (ntfs_) clusters = NtfsItemClusters(*ntfs_, item);
        return clusters;
    }
    if (!fat_) return clusters;
    for (uint32_t c : FatItemClusters(*fat_, static_cast<uint32_t>(item.location),
                                      ItemClusterCount(item.size, BytesPerCluster()), op, stopped))
        clusters.push_back({c, false});
    return clusters;
}

std::vector<RecoveryPlanItem> CVolumeSession::PlanRecovery(
    const std::vector<const RecoverableFile*>& items, int folderFd) {
    std::vector<RecoveryPlanItem> plan;
    std::set<std::string> planned;
    // The first candidate name that is free in the folder and not planned already, as
    // the recovery's no-replace create picks it.
    const auto freeName = [&](const std::string& name) {
        for (unsigned n = 1;; ++n) {
            std::string c = CandidateName(name, n);
            struct stat st {};
            const bool taken =
                planned.count(c) != 0 ||
                (folderFd >= 0 && ::fstatat(folderFd, c.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0);
            if (!taken) {
                planned.insert(c);
                return c;
            }
        }
    };
    const uint32_t bpc = BytesPerCluster();
    for (const RecoverableFile* f : items) {
        RecoveryPlanItem p;
        p.item = f;
        p.fileName = freeName(RecoveredFileName(*f));
        p.bytesHeld = f->size;
        if (ntfs_ && !f->resident && f->fs == FileSystemKind::Ntfs && bpc != 0) {
            const uint64_t missing = MissingClusters(NtfsItemRuns(*ntfs_, *f), f->size, bpc);
            if (missing > 0) {
                const uint64_t want = ItemClusterCount(f->size, bpc);
                p.bytesHeld = std::min<uint64_t>(f->size, (want - std::min(want, missing)) * bpc);
            }
        }
        plan.push_back(std::move(p));
    }
    return plan;
}

RecoveryRunResult CVolumeSession::Recover(
    const OpContext& op, const std::vector<const RecoverableFile*>& items, RecoveryFolder& folder,
    bool clearFatEntries,
    const std::function<void(const RecoverableFile&, const RecoverResult&)>& onItem) {
    RecoveryVolume rv;
    rv.drive = &drive_;
    rv.ntfs = ntfs_.get();
    rv.fat = fat_.get();
    rv.clearFatEntries = fs_ == FileSystemKind::Fat32 && clearFatEntries && drive_.IsWritable();
    return RecoverFiles(op, rv, items, folder, onItem);
}

TraceVolume CVolumeSession::Traces() {
    return {
        &drive_,       ntfs_.get(), fat_.get(), 0, &deletedFolderClusters_, walkedDeletedFolders_,
        verifyLastPass};
}

SessionStatus CVolumeSession::SearchAgain(const OpContext& op,
                                          const std::vector<RecoverableFile>& wiped,
                                          std::vector<std::string>* stillFound) const {
    stillFound->clear();
    // A session of its own: this one's list is what was shown and wiped, and stays so.
    CVolumeSession fresh;
    fresh.source_ = source_;
    SessionSearchOptions options;
    options.deletedFolders = walkedDeletedFolders_;
    if (SessionStatus s = SearchStatus(fresh.Search(op, options)); !s.IsOk()) return s;
    fresh.CloseDrive();
    // By location and name: the folder is not known to every step (the record scrub
    // finds records without their folders).
    std::set<std::pair<uint64_t, std::string>> listed;
    for (const RecoverableFile& f : fresh.Found()) listed.emplace(f.location, f.name);
    for (const RecoverableFile& f : wiped)
        if (listed.count({f.location, f.name})) stillFound->push_back(TraceItemText(f));
    return {};
}

TracePlan CVolumeSession::PlanTraceWipe(const OpContext& op, const RecoverableFile& item,
                                        int passCount) {
    return volume::PlanTraceWipe(op, Traces(), item, passCount);
}

std::vector<const RecoverableFile*> CVolumeSession::TraceWipeOrder(
    const std::vector<const RecoverableFile*>& items) const {
    return volume::TraceWipeOrder(found_, items);
}

TraceRunResult CVolumeSession::WipeTraces(
    const OpContext& op, const std::vector<const RecoverableFile*>& items, int passCount,
    const std::function<void(const RecoverableFile&, const TraceWipeResult&)>& onItem) {
    TraceVolume tv = Traces();
    return WipeTracesOfFiles(op, tv, TraceWipeOrder(items), passCount, onItem);
}

Outcome CVolumeSession::ClearDirectoryTails(const OpContext& op, bool write,
                                            TraceCoverage& coverage) {
    if (fs_ != FileSystemKind::Fat32 || !fat_) return Outcome::Ok;
    return ClearFatDirectoryTails(op, drive_, *fat_, write, coverage);
}

bool CVolumeSession::LoadNtfs(Error* error) {
    ntfs_ = std::make_unique<NtfsVolume>(drive_);
    if (ntfs_->Load()) return true;
    *error = ntfs_->Failure().value_or(Error(ErrorCode::Corrupt, source_.raw));
    return false;
}

Outcome CVolumeSession::ScrubDeletedRecords(
    const OpContext& op, const std::function<void(const RecoverableFile&)>& onScrubbed,
    TraceCoverage* coverage) {
    ntfs_ = std::make_unique<NtfsVolume>(drive_);
    TraceCoverage local;
    TraceCoverage& cov = coverage ? *coverage : local;
    SearchContext ctx;
    ctx.driveText = source_.driveText;
    ctx.drive = &drive_;
    ctx.mode = SearchMode::Scrub;
    ctx.op = &op;
    ctx.wantStatus = false;
    ctx.onFound = [&](const RecoverableFile& f) {
        ++cov.records;
        if (onScrubbed) onScrubbed(f);
    };
    const Outcome o = SearchNtfs(ctx, *ntfs_);
    if (o != Outcome::Ok) return o;
    return WipeFolderTraces(op, &cov);
}

Outcome CVolumeSession::WipeFolderTraces(const OpContext& op, TraceCoverage* coverage) {
    TraceVolume tv = Traces();
    return volume::WipeFolderTraces(op, tv, coverage);
}

bool CVolumeSession::ResetJournal(TraceCoverage* coverage) {
    TraceVolume tv = Traces();
    return volume::ResetJournal(tv, coverage);
}

}  // namespace tw::volume
