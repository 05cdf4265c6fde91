// SPDX-License-Identifier: GPL-3.0-or-later
#include "cleanup/clean_steps.h"

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/rawio.h"
#include "platform/strings.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/store.h"
#include "volume/raw_drive.h"
#include "volume/search.h"
#include "volume/traces.h"

namespace tw::wipe {

namespace {

// File-system types under which an NTFS volume may be mounted: the kernel drivers,
// and ntfs-3g (FUSE: "fuseblk" for a device, "fuse" for an image file).
bool MayBeNtfs(const std::string& fsType) {
    return fsType == "ntfs" || fsType == "ntfs3" || fsType == "fuseblk" || fsType == "fuse" ||
           fsType == "fuse.ntfs-3g" || fsType == "fuse.ntfs";
}

// Names the kernel mounts FAT volumes under.
bool MayBeFat(const std::string& fsType) {
    return fsType == "vfat" || fsType == "msdos" || fsType == "fat";
}

// Opens `device` for the file-table step: first for reading, to see that it holds the
// file system `want` (else skipped with `otherText`), then for writing through the
// gate, which refuses a device someone has mounted read-write. False with `r.skipped`
// saying why when the step cannot go on.
bool OpenForTableStep(volume::CRawDriveRef& raw, const std::string& device, volume::DetectedFs want,
                      const std::string& otherText, StepResult& r) {
    uint8_t sector0[volume::kSectorSize];
    if (!raw.Open(device, false) || !raw.Read(0, sector0, volume::kSectorSize)) {
        r.skipped = TextWith(TextId<1543>, ErrorText(raw.LastError()));
        return false;
    }
    const bool matches = volume::DetectFileSystem(sector0, raw.SizeBytes()) == want;
    raw.Close();
    if (!matches) {
        r.skipped = otherText;
        return false;
    }
    if (!raw.Open(device, true)) {
        r.skipped = TextWith(TextId<1545>, ErrorText(raw.LastError()));
        return false;
    }
    return true;
}

// FAT32 keeps no deleted-record table: what lingers of deleted entries beyond the end of
// the live folders' listings is cleared. Deleted entries before the end marker stay for
// the search and trace wiping to find.
StepResult ClearFatTails(const OpContext& op, const std::string& device) {
    StepResult r;
    volume::CRawDriveRef raw;
    if (!OpenForTableStep(raw, device, volume::DetectedFs::Fat32, Str<1727>(), r)) return r;
    auto boot = volume::ReadFatBootInfo(raw);
    if (!boot) {
        r.skipped = TextWith(TextId<1543>, ErrorText(boot.error()));
        return r;
    }
    volume::FatTable fat(raw, *boot);
    volume::TraceCoverage cov;
    const Outcome o = volume::ClearFatDirectoryTails(op, raw, fat, true, cov);
    raw.Close();
    for (const std::string& line : volume::CoverageLines(cov)) log::LogToFile(line, op.Log());
    r.ran = true;
    r.aborted = o == Outcome::Stopped;
    if (o == Outcome::Failed) r.skipped = Str<1728>();
    return r;
}

}  // namespace

StepResult WipeWholeBin(const OpContext& op, int passes,
                        const std::optional<std::vector<std::string>>& trashDirs,
                        const std::string& binLockPath, bool verify, wipe::Receipt* receipt) {
    StepResult r;
    recyclebin::CRecycleBinStore store(binLockPath);
    if (trashDirs) {
        std::vector<recyclebin::BinFolder> bins;
        for (const auto& dir : *trashDirs) bins.push_back(recyclebin::BinFolderFor(dir));
        store.SetBinFolders(std::move(bins));
    } else {
        store.BuildBinFolders();
    }
    if (!store.Refresh()) {
        r.skipped = Str<1540>();
        return r;
    }
    r.ran = true;
    // The whole bin: data whose index file is damaged or gone is in no listing, so
    // nothing else would ever wipe it.
    std::vector<recyclebin::RecycleBinItem> all = store.Items();
    all.insert(all.end(), store.Orphans().begin(), store.Orphans().end());
    if (all.empty()) return r;
    const recyclebin::RunResult res = recyclebin::WipeItems(op, all, passes, false, verify);
    if (receipt) recyclebin::AddToReceipt(res, *receipt);
    r.aborted = res.aborted;
    return r;
}

StepResult ScrubDeletedRecords(const OpContext& op, const CleanupDrive& drive, bool resetJournal) {
    StepResult r;
    if (!drive.info) {
        r.skipped = Str<1531>();
        return r;
    }
    const DriveInfo& info = *drive.info;
    const bool fat = MayBeFat(info.fsType);
    if (!fat && !MayBeNtfs(info.fsType)) {
        r.skipped = TextWith(TextId<1541>, info.fsType);
        return r;
    }
    const platform::RawKind kind = platform::ClassifyRawSource(info.device);
    if (kind != platform::RawKind::RegularFile && kind != platform::RawKind::BlockDevice) {
        r.skipped = TextWith(TextId<1542>, info.device);
        return r;
    }
    if (fat) return ClearFatTails(op, info.device);
    // Writes go through the gate: an image file, or a device nobody has mounted
    // read-write. A live read-write device is refused here, and the step skipped.
    volume::CRawDriveRef raw;
    if (!OpenForTableStep(raw, info.device, volume::DetectedFs::Ntfs, Str<1544>(), r)) return r;
    volume::SearchContext ctx;
    ctx.driveText = info.Root();
    ctx.drive = &raw;
    ctx.mode = volume::SearchMode::Scrub;
    ctx.op = &op;
    ctx.wantStatus = false;
    volume::TraceCoverage coverage;
    ctx.onFound = [&coverage](const volume::RecoverableFile&) { ++coverage.records; };
    volume::NtfsVolume vol(raw);
    op.Status(std::string(S<476>) + "0");
    Outcome o = volume::SearchNtfs(ctx, vol);
    // The deleted records' names also linger in the folder indexes, and a deleted
    // folder is a record of its own.
    if (o == Outcome::Ok) {
        volume::TraceVolume tv{&raw, &vol, nullptr, 0};
        o = volume::WipeFolderTraces(op, tv, &coverage);
        // A refusal (a journal that is not clean) is logged with the coverage.
        if (o == Outcome::Ok && resetJournal) volume::ResetJournal(tv, &coverage);
    }
    raw.Close();
    if (vol.Failure()) {
        r.skipped = TextWith(TextId<1546>, ErrorText(*vol.Failure()));
        return r;
    }
    for (const std::string& line : volume::CoverageLines(coverage)) LogToFile(line, op.Log());
    r.ran = true;
    r.aborted = o == Outcome::Stopped;
    if (o == Outcome::Failed) r.skipped = Str<1547>();
    return r;
}

}  // namespace tw::wipe
