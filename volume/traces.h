// SPDX-License-Identifier: GPL-3.0-or-later
// Trace wiping: for deleted files the search found, overwrite what is left of their
// data with the overwrite passes of platform/passes.h and clear the file-table record
// (NTFS) or the directory entries (FAT32) that still describe them.
//
// Every operation here writes the volume below its file system. The drive must have
// been opened for writing through CRawDriveRef::Open(source, true), which is the
// raw-write gate (an image file, or a block device nobody has mounted read-write).
// Three rules hold for every write:
//   - a cluster that belongs to a file now is never written: the allocation is
//     checked again on the volume right before each cluster is overwritten (NTFS: the
//     $Bitmap sector, FAT32: the FAT entry), not only from what the search saw;
//   - nothing inside the scrub guard is written on NTFS (boot sector, system records
//     0..22, and everything at or below the caller's protected start sector);
//   - a record is written back only when the rewritten bytes pass the fix-up check.
//
// A wipe runs in two steps, plan then execute: PlanTraceWipe lists the clusters that
// would be overwritten (what --dry-run shows), WipeFileTraces executes that same plan.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/error.h"
#include "platform/operation.h"
#include "platform/result.h"
#include "volume/fat32.h"
#include "volume/ntfs.h"
#include "volume/recoverable.h"

namespace tw::volume {

// The volume a selection of found items lives on. `drive` is the drive both the NTFS
// volume and the FAT table read through; open it for writing before a wipe.
struct TraceVolume {
    CRawDriveRef* drive = nullptr;
    NtfsVolume* ntfs = nullptr;  // for NTFS items: loaded by the search (runs, bitmap)
    FatTable* fat = nullptr;     // for FAT32 items
    // NTFS scrub guard: sectors at or below it are never written (0: only sector 0).
    uint64_t protectedStartSector = 0;
    // FAT32: the first clusters of the deleted folders the search found. They still list
    // deleted files, so no file's guessed cluster sequence overwrites them as its data:
    // the sequence passes over them as over taken clusters. Each is overwritten only as
    // its own folder's trace, after the files inside it.
    const std::unordered_set<uint32_t>* deletedFolderClusters = nullptr;
    // FAT32: the search walked deleted folders, so the files inside them are items too.
    bool deletedFoldersWalked = false;
    // Read the last pass over the clusters back from the volume (flushed, the cached copy
    // dropped) and compare it with what was written: a difference fails the item before
    // its record or entries are cleared, so a search still finds it to wipe again.
    bool verifyLastPass = false;
};

// What a wipe of one item will do, computed without writing anything.
struct TracePlan {
    FileSystemKind fs = FileSystemKind::Ntfs;
    uint32_t bytesPerCluster = 0;
    int passCount = 0;
    // Clusters to overwrite, in the order they are written (NTFS: run by run;
    // FAT32: the first cluster, then the following free ones).
    std::vector<uint64_t> clusters;
    uint64_t clustersInUse = 0;      // NTFS: allocated to a file again: left alone
    uint64_t clustersProtected = 0;  // NTFS: inside the scrub guard: left alone
    uint64_t clustersMissing = 0;    // FAT32: the volume ends before the item's size
    bool resident = false;           // NTFS: the data lives in the record, the scrub removes it
    // NTFS: the record scrubbed afterwards; FAT32: the directory cluster whose entries
    // are cleared afterwards.
    uint64_t recordSector = 0;
    uint32_t directoryCluster = 0;
    std::string refusal;  // non-empty: the item cannot be wiped (why); nothing is written
    // FAT32: refused because the deleted folder still lists deleted files and the search
    // did not walk deleted folders (the walk would list them, to be wiped first).
    bool needsFolderWalk = false;

    uint64_t BytesToWrite() const {
        return static_cast<uint64_t>(clusters.size()) * bytesPerCluster *
               static_cast<uint64_t>(passCount < 0 ? 0 : passCount);
    }
};

// Builds the plan for `item` on `vol` (the NTFS volume for NTFS items, the FAT table
// for FAT32 items). Reads only.
TracePlan PlanTraceWipe(const OpContext& op, const TraceVolume& vol, const RecoverableFile& item,
                        int passCount);

// What the wipe of one item did.
struct TraceWipeResult {
    Outcome outcome = Outcome::Failed;  // Ok, Stopped (nothing cleared), Failed (error)
    uint64_t clustersWiped = 0;         // clusters every pass was written over
    uint64_t clustersInUse = 0;         // left alone: a file owns them now
    uint64_t clustersProtected = 0;     // left alone: scrub guard
    uint64_t bytesWritten = 0;          // cluster passes and the record / directory writes
    bool recordScrubbed = false;        // NTFS
    uint32_t entriesCleared = 0;        // FAT32 short entries
    uint32_t longNameEntriesCleared = 0;
    // FAT32 deleted folder: its first cluster was full, so the folder may have gone on
    // in clusters nothing records any more (their entries could not be cleared).
    bool folderCutShort = false;
    bool needsFolderWalk = false;  // FAT32: refused as TracePlan::needsFolderWalk says
    std::string note;   // what was left alone and why (record reused, guard), for the log
    std::string error;  // why it failed
    // With verifyLastPass: why the read-back failed (a Mismatch at the byte offset on the
    // volume, or the failed read); empty when it passed or did not run.
    std::optional<Error> readBack;
};

// Wipes the traces of one found item with `passCount` passes (1..14, fixed-pattern mode):
//   NTFS: every cluster of every run the search kept for the record (the file's and
//         those of its non-resident named streams) that is free now and outside the
//         guard gets every pass; then, unless stopped, the item's record is read again, scrubbed
//         (ScrubDeletedRecord) and written back where the guard allows. A resident
//         file's data goes with the record scrub.
//   FAT32: every cluster of the item's sequence (FatItemClusters) gets every pass;
//         then, unless stopped, its directory entries are cleared
//         (ClearFatDirectoryEntries, matching the item's name and first cluster).
// Progress: the Current bar has the range clusters x passes and moves one step per
// pass written. The stop flag is tested between clusters and between passes; a stop
// leaves the record or the entries as they were (outcome Stopped). A cluster that is
// found allocated at the moment of writing is skipped and counted as in use.
TraceWipeResult WipeFileTraces(const OpContext& op, TraceVolume& vol, const RecoverableFile& item,
                               int passCount);

// What ClearFatDirectoryEntries changed.
struct FatEntryClearing {
    uint32_t shortEntries = 0;     // 8.3 entries cleared
    uint32_t longNameEntries = 0;  // long-name slots cleared
};

// Clears the directory entries of a deleted FAT32 file in the directory cluster
// `directoryCluster` (RecoverableFile::directoryCluster: the cluster that held the
// entry). With `inDeletedFolder` the cluster is the first one of a deleted folder
// (RecoverableFile::folderDeleted): it must then be free and still start as a folder,
// and an entry that kept its full name (ShortNameText) matches too, with the long-name
// slots before it whatever their first byte. Every deleted 8.3 entry there (first byte 0xE5, or
// 0x00 with bytes left behind; not a long-name entry, not a volume label) whose name rebuilt as the
// search shows it ("?" + name bytes 1..7, "." + extension) equals `name`, and whose first cluster
// equals `firstCluster` unless that is 0, gets bytes 1..31 set to zero; its first byte becomes (or
// stays) 0xE5, so the slot reads as deleted and the directory does not end there. The deleted
// long-name slots right before such an entry (0xE5, attribute 0x0F, one checksum shared by all of
// them that fits the 8.3 name) still hold the file's long name and are cleared the same way,
// including slots at the end of the directory's previous cluster (found through the FAT). Fails
// without writing when the drive is not writable, the cluster is not a data cluster or its FAT
// entry is free (no directory owns it now), or a read or write fails. Finding nothing to clear is
// not a failure.
Result<FatEntryClearing> ClearFatDirectoryEntries(CRawDriveRef& drive, FatTable& fat,
                                                  uint32_t directoryCluster,
                                                  const std::string& name, uint32_t firstCluster,
                                                  bool inDeletedFolder = false);

// What wiping the traces on a volume covered beyond the items' own clusters and
// records, and what it had to leave. Each file system fills its own block.
struct TraceCoverage {
    // NTFS
    uint64_t records = 0;             // deleted file records scrubbed
    uint64_t folderRecords = 0;       // deleted folder records scrubbed
    uint64_t indexClusters = 0;       // free index clusters of deleted folders overwritten
    uint64_t indexSlack = 0;          // index blocks of live folders with their unused part cleared
    uint64_t recordSlack = 0;         // live folder records with their unused space cleared
    bool journalAsked = false;        // a journal reset was asked for
    bool journalReset = false;        // $LogFile emptied (or found empty)
    uint64_t recordsLeft = 0;         // deleted records not scrubbed (unreadable, reused)
    uint64_t indexClustersInUse = 0;  // a deleted folder's index clusters a file owns now
    uint64_t indexDamaged = 0;        // index blocks and folder records that do not parse
    uint64_t protectedLeft = 0;       // records and clusters within the scrub guard
    std::string journalRefusal;       // why the journal was not reset
    // FAT32
    uint64_t fatDirectoryClusters = 0;        // clusters of live folders looked at for a tail
    uint64_t fatTailsCleared = 0;             // of them, those whose unused tail was zeroed
    uint64_t fatDeletedFolders = 0;           // deleted folders wiped (first cluster and entries)
    uint64_t fatDeletedFolderFiles = 0;       // files wiped inside deleted folders
    uint64_t fatFoldersNotWalked = 0;         // deleted folders left: they list files not walked
    uint64_t fatFoldersCutShort = 0;          // deleted folders that may have gone on past the
                                              // first cluster, the only one known
    uint64_t fatDirectoryClustersFailed = 0;  // live folder clusters not read or written
    uint64_t fatTailEntriesKept = 0;          // slots past an end marker that look in use: left
};

// The lines the log and the terminal show for `c`: what was covered, then what was not
// (only the counts that are not zero; the journal when it was asked for).
std::vector<std::string> CoverageLines(const TraceCoverage& c);

// Zeroes the unused tail of every directory cluster of the live folder tree: from the
// end marker (the first slot whose first byte is 0x00) to the end of the folder's
// chain, where names and bytes of entries long gone may linger. Slots before the end
// marker are never touched, in use or not; a slot past it that looks in use (an 8.3
// entry or a long-name slot whose first byte is neither 0x00 nor 0xE5) is left too,
// and counted: some drivers still list such entries. Each cluster is written only when
// its tail changes, and only while its FAT entry still says it is in use (read again
// right before the write). With `write` false nothing is written and the counts say
// what would be. Loops and shared chains are walked once; depth is bounded as in the
// search. Counts go to `coverage` (a cluster that cannot be read is counted as failed
// and passed over). Stopped by the stop flag; Failed when `write` is asked of a drive
// not open for writing, or when a write or the flush fails.
Outcome ClearFatDirectoryTails(const OpContext& op, CRawDriveRef& drive, FatTable& fat, bool write,
                               TraceCoverage& coverage);

// The order a selection is wiped in. Every FAT32 deleted folder of the selection brings
// the found items inside it (`found`, by path) with it, and comes after them: its files
// are wiped first, while its cluster still lists them, then the folder itself, the
// deepest folders first. Everything else keeps its order.
std::vector<const RecoverableFile*> TraceWipeOrder(
    const std::vector<RecoverableFile>& found, const std::vector<const RecoverableFile*>& items);

// The checksum a long-name slot (offset 0x0D) carries of its 11-byte 8.3 name.
uint8_t ShortNameChecksum(const uint8_t* name11);

// The whole operation over a selection: logs "Started recoverable file trace wiping
// operation", shows "Wiping traces of selected files" and "Wiping File: <name>" per
// item, logs "Wiped traces of file <name>" or "Could not wipe traces of file <name>",
// and ends with "Recoverable file trace wiping operation completed" or "... aborted".
// The Overall bar counts items. `onItem` (may be empty) is told each item's result.
struct TraceRunResult {
    size_t wiped = 0;
    size_t failed = 0;
    bool stopped = false;
    TraceCoverage coverage;
};
TraceRunResult WipeTracesOfFiles(
    const OpContext& op, TraceVolume& vol, const std::vector<const RecoverableFile*>& items,
    int passCount,
    const std::function<void(const RecoverableFile&, const TraceWipeResult&)>& onItem = {});

// The folder traces of an NTFS volume (vol.ntfs loaded, the drive open for writing),
// record by record through the $MFT:
//   - a deleted folder record (its in-use flag cleared): the clusters of its index
//     allocation that are free (in the loaded bitmap and in the $Bitmap on the volume,
//     read right before the write) and outside the guard are overwritten with zeros;
//     then the record is scrubbed as a deleted file record is (ScrubDeletedRecord),
//     which removes its name, times and the entries of its index root;
//   - a live folder: each block of its index allocation is read and its unused part
//     cleared (ScrubIndexBlock; blocks its index bitmap marks unused become empty), and
//     its record's unused space too (ScrubFolderRecordSlack). Damaged blocks and
//     records are left alone and counted.
// Every write obeys the scrub guard. Stopped by the stop flag between records; Failed
// when a write fails.
Outcome WipeFolderTraces(const OpContext& op, TraceVolume& vol, TraceCoverage* coverage);

// Resets the journal of an NTFS volume that is not mounted (the drive open for writing
// through the gate, which refuses a volume mounted read-write): when the restart pages
// of $LogFile say the volume was unmounted cleanly, every cluster of its data is filled
// with 0xFF, as the file system's own tools leave it; the volume then mounts with
// nothing to replay. A journal that is not clean (it would be replayed), damaged or
// unreadable is left alone: false with coverage->journalRefusal saying why.
bool ResetJournal(TraceVolume& vol, TraceCoverage* coverage);

// The name an item is logged and shown under: its folder and name.
std::string TraceItemText(const RecoverableFile& item);

}  // namespace tw::volume
