// SPDX-License-Identifier: GPL-3.0-or-later
// A volume session: one source (a mounted folder, a block device or an image file) from
// the device behind it, through the search, to the recovery or the trace wiping of what
// the search found. The terminal's volume commands and the panel's analysis page both
// work through it; they only ask and show.
//
// The steps, in order: Resolve names the device; Search (or DetectFileSystem when only
// the geometry is wanted) finds out what the volume holds; OpenForAccess opens the drive
// as the next step needs it, raw writes only through the platform's raw-write gate, and
// loads the geometry. Open runs the three. What the search found stays in the session,
// so that recovery and trace wiping act on the very list that was shown, and the plans
// (what a recovery or a trace wipe would do) are made from it too.
//
// Not copyable or movable: the NTFS volume and the FAT table hold references to the
// session's drive.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/operation.h"
#include "volume/fat32.h"
#include "volume/item_clusters.h"
#include "volume/ntfs.h"
#include "volume/raw_drive.h"
#include "volume/recoverable.h"
#include "volume/recovery.h"
#include "volume/search.h"
#include "volume/traces.h"

namespace tw::volume {

// Where a source is read, and how it is named.
struct VolumeSource {
    std::string raw;        // image file or block device to read
    std::string driveText;  // folder shown for root items
    std::string driveName;  // how messages name the drive
};

// A mounted folder is read through the device (or image file) mounted there; a block
// device or image file is read as it is. False with *error set when `source` is
// missing, is some other kind of file, or is a folder whose file system has no device.
bool ResolveVolumeSource(const std::string& source, VolumeSource* out, std::string* error);

// How the drive is left open for the step after the search.
enum class RawAccess {
    ReadOnly,        // reads only
    Write,           // raw writes needed: the gate's refusal ends the step (Refused)
    WriteIfAllowed,  // writes where the gate allows them, else read-only (WriteRefusal says why)
};

// How a step ended, and what to tell the user, line by line, in order.
struct SessionStatus {
    enum Code { Ok, Refused, Failed };
    Code code = Ok;
    std::vector<std::string> lines;

    bool IsOk() const { return code == Ok; }
    static SessionStatus Fail(Code code, std::string line) { return {code, {std::move(line)}}; }
};

struct SessionSearchOptions {
    bool details = false;         // keep the data runs and reallocated clusters of each item
    bool deletedFolders = false;  // FAT32: walk deleted folders too
    // Sees each item as it is found (a list that fills while the search runs); may be
    // empty. Called on the searching thread.
    std::function<void(const RecoverableFile&)> onFound;
    // False: the items are only handed to onFound and Found() stays empty (a caller
    // that prints them as they come: nothing can be recovered from that session).
    bool keepFound = true;
};

// What Open runs.
struct SessionOpenOptions {
    RawAccess access = RawAccess::ReadOnly;
    bool search = true;  // false: only detect the file system and load its geometry
    SessionSearchOptions searchOptions;
};

// One item of a recovery plan: the name it would get in the folder, and how much of it
// its runs still hold.
struct RecoveryPlanItem {
    const RecoverableFile* item = nullptr;
    std::string fileName;
    uint64_t bytesHeld = 0;  // bytes its clusters hold: below the size when some are missing
};

class CVolumeSession {
  public:
    CVolumeSession() = default;
    CVolumeSession(const CVolumeSession&) = delete;
    CVolumeSession& operator=(const CVolumeSession&) = delete;

    // Step 1: which device `source` is read through. Failed when it cannot be used.
    SessionStatus Resolve(const std::string& source);
    const VolumeSource& Source() const { return source_; }

    // The raw-write gate's answer for the resolved source, asked without writing
    // (opening for writing writes nothing): "" when raw writes are allowed, else the
    // gate's sentence. What a dry run or a refusal before a long search needs.
    std::string WriteRefusal() const;

    // Step 2a: the search. The drive is read only; what it finds replaces what an
    // earlier search found, and is kept even when the search was stopped. The report
    // says how it ended; SearchStatus turns it into a step's status.
    SearchReport Search(const OpContext& op, const SessionSearchOptions& options = {});
    static SessionStatus SearchStatus(const SearchReport& report);
    const std::vector<RecoverableFile>& Found() const { return found_; }
    const SearchReport& LastSearch() const { return lastSearch_; }
    // The found item at `location` (the "location" the search lists), null when none.
    const RecoverableFile* FindFound(uint64_t location) const;

    // Step 2b, instead of a search: reads the boot sector and says which file system the
    // volume holds. Refused (the unsupported-file-system message) for anything but NTFS
    // and FAT32, or a source too small for a boot sector; Failed when unreadable.
    SessionStatus DetectFileSystem();

    // Step 3: opens the drive as `access` says and loads the geometry (the NTFS boot
    // sector, the FAT32 boot sector and table). Refused when a raw write is needed and
    // the gate refuses it; Failed when the source cannot be read or its boot sector is
    // damaged.
    SessionStatus OpenForAccess(RawAccess access);

    // The three steps as the volume commands run them. A raw write the gate would
    // refuse is refused before the search, which may take long.
    SessionStatus Open(const OpContext& op, const std::string& source,
                       const SessionOpenOptions& options);

    FileSystemKind Fs() const { return fs_; }
    bool Writable() const { return writable_; }
    // WriteIfAllowed: the gate's reason when it did not allow writes ("" when it did).
    const std::string& AccessRefusal() const { return accessRefusal_; }
    CRawDriveRef& Drive() { return drive_; }
    NtfsVolume* Ntfs() { return ntfs_.get(); }
    FatTable* Fat() { return fat_.get(); }
    void CloseDrive() { drive_.Close(); }

    // Geometry, once OpenForAccess succeeded.
    uint32_t BytesPerCluster() const;
    // Valid cluster numbers: FirstCluster() .. LastCluster() (FAT32 from 2, NTFS from 0).
    uint64_t FirstCluster() const;
    uint64_t LastCluster() const;
    // Reads one cluster (bounds-checked); false when outside the volume or unreadable.
    bool ReadCluster(uint64_t cluster, std::vector<uint8_t>* out);
    // The clusters of a found item: its runs on NTFS, on FAT32 its first cluster and the
    // free clusters after it. *stopped is set when the stop flag ended the FAT32 walk.
    std::vector<ItemCluster> ItemClusters(const OpContext& op, const RecoverableFile& item,
                                          bool* stopped);

    // What a recovery of `items` into the open folder `folderFd` (-1: a folder still to
    // be made) would write: each item's name there (a taken name, or one planned for an
    // earlier item, gets the next candidate) and the bytes its clusters hold.
    std::vector<RecoveryPlanItem> PlanRecovery(const std::vector<const RecoverableFile*>& items,
                                               int folderFd);
    // Recovers `items` into `folder`. FAT32 entries of files recovered in full are
    // cleared when `clearFatEntries` and the drive was opened for writing.
    RecoveryRunResult Recover(
        const OpContext& op, const std::vector<const RecoverableFile*>& items,
        RecoveryFolder& folder, bool clearFatEntries,
        const std::function<void(const RecoverableFile&, const RecoverResult&)>& onItem);

    // What a trace wipe of `item` with `passCount` passes would write (nothing written).
    TracePlan PlanTraceWipe(const OpContext& op, const RecoverableFile& item, int passCount);
    // The order WipeTraces takes `items` in (TraceWipeOrder over what the search found):
    // the files inside a chosen deleted folder come with it, before it.
    std::vector<const RecoverableFile*> TraceWipeOrder(
        const std::vector<const RecoverableFile*>& items) const;
    // Wipes the traces of `items`, in TraceWipeOrder; needs the drive opened for
    // writing. No file's data is written over the first cluster of a deleted folder the
    // search found.
    TraceRunResult WipeTraces(
        const OpContext& op, const std::vector<const RecoverableFile*>& items, int passCount,
        const std::function<void(const RecoverableFile&, const TraceWipeResult&)>& onItem);

    // Read the last pass of every cluster a trace wipe overwrites back from the volume
    // (TraceVolume::verifyLastPass).
    bool verifyLastPass = false;
    // After a trace wipe: searches the volume again, in a session of its own opened as
    // this one's search was (read only, deleted folders walked when they were), and puts
    // in *stillFound the names (TraceItemText) of the `wiped` items it still lists: the
    // same name at the same location. The search's failure is the status.
    SessionStatus SearchAgain(const OpContext& op, const std::vector<RecoverableFile>& wiped,
                              std::vector<std::string>* stillFound) const;

    // FAT32: zeroes the unused tails of the live folders' directory clusters
    // (ClearFatDirectoryTails; `write` false only counts them). Ok and nothing counted
    // on NTFS.
    Outcome ClearDirectoryTails(const OpContext& op, bool write, TraceCoverage& coverage);

    // NTFS: loads the metadata ($MFT, $Bitmap) without searching; false with the reason.
    bool LoadNtfs(Error* error);
    // NTFS: scrubs every deleted file record (the drive opened for writing); onScrubbed
    // sees each. Failed with Ntfs()->Failure() set when the metadata cannot be read, with
    // it empty when a write failed; Stopped by the stop flag.
    // The folder traces are wiped after the records (WipeFolderTraces): *coverage (when
    // given) receives what both covered.
    Outcome ScrubDeletedRecords(const OpContext& op,
                                const std::function<void(const RecoverableFile&)>& onScrubbed,
                                TraceCoverage* coverage = nullptr);
    // NTFS, the drive opened for writing and the volume loaded (by a search or LoadNtfs):
    // the folder traces (volume::WipeFolderTraces) and the journal (volume::ResetJournal).
    Outcome WipeFolderTraces(const OpContext& op, TraceCoverage* coverage);
    bool ResetJournal(TraceCoverage* coverage);

  private:
    // The drive and volume objects with what the last search knew of deleted folders, as
    // every trace operation takes them.
    TraceVolume Traces();

    VolumeSource source_;
    FileSystemKind fs_ = FileSystemKind::Ntfs;
    CRawDriveRef drive_;  // before the volume objects, which refer to it
    std::unique_ptr<NtfsVolume> ntfs_;
    NtfsBootInfo ntfsBoot_;
    FatBootInfo fatBoot_;
    std::unique_ptr<FatTable> fat_;
    std::vector<RecoverableFile> found_;
    std::unordered_map<uint64_t, size_t> byLocation_;  // the first found item at each location
    SearchReport lastSearch_;
    bool writable_ = false;
    std::string accessRefusal_;
    bool walkedDeletedFolders_ = false;
    // The first clusters of the deleted FAT32 folders found: no file's data is written
    // over them.
    std::unordered_set<uint32_t> deletedFolderClusters_;
};

}  // namespace tw::volume
