// SPDX-License-Identifier: GPL-3.0-or-later
// The recoverable-file search: which file system a volume holds, the NTFS record loop
// (search and scrub modes), and the driver that opens the drive, runs the NTFS or FAT32
// walk and builds the result texts and log lines.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/result.h"
#include "volume/ntfs.h"
#include "volume/recoverable.h"

namespace tw::volume {

enum class DetectedFs { Ntfs, Fat32, Other };

// What sector 0 says: "NTFS" at offset 3, or a FAT32 boot sector. Anything else is
// Other. `fatName` receives the FAT variant name ("FAT16", ...) when the sector is a FAT
// boot sector of another kind.
DetectedFs DetectFileSystem(std::span<const uint8_t> sector0, uint64_t driveBytes,
                            std::string* fatName = nullptr);

// The name of the file system on `source` as blkid reports it (TYPE; for vfat the FAT
// variant), else from a few superblock signatures; "unknown" when nothing matches.
std::string FileSystemName(const std::string& source);

// "Tidewipe cannot search for recoverable data on drive <drive> because it is formatted
// with an unsupported file system ( <fs> ) "
std::string UnsupportedFileSystemText(const std::string& drive, const std::string& fsName);

// " (None found)", " (Found 1 recoverable file)", " (Found n recoverable files)".
std::string SearchResultText(size_t count);

// "Searching for recoverable files (Found: n recoverable file[s])".
std::string SearchStatusText(size_t count);

// Clusters a file of `size` bytes needs beyond those its runs cover (sparse runs
// count as covered): what a damaged or crafted record claims but no run holds.
uint64_t MissingClusters(const std::vector<DataRun>& runs, uint64_t size, uint32_t bytesPerCluster);

// 100 when none of the clusters of the runs is allocated now and none is missing,
// else 100 - floor(100 x (reallocated + missing) / (total + missing)), total being the
// clusters of the runs on the volume and `missing` those MissingClusters counts.
// Sparse runs are not tested. When `list` is given, the reallocated clusters are
// appended to it ("c c c "). *reallocated receives the count. Returns -1 when the stop
// flag was raised during the walk.
int Recoverability(const NtfsVolume& volume, const std::vector<DataRun>& runs, uint64_t missing,
                   const OpContext& op, uint64_t* reallocated, std::string* list);

// The NTFS record loop over an opened drive (ctx.drive). Loads the volume (boot sector,
// $MFT and $Bitmap records, the bitmap) into `volume`, then reads the $MFT in large
// sequential batches and handles every record from record 23 on. Search mode appends
// the deleted files with data left to ctx.found; scrub mode rewrites every deleted
// record (DeletedFound or DeletedEmpty, whether or not its data was overwritten
// already) outside the scrub guard (ScrubGuardProtects with ctx.protectedStartSector),
// writes only records that pass the fix-up check, shows "Wiping empty MFT records.
// Checking <n>" per batch, calls ctx.onFound once for every record it scrubbed (name,
// size, location; nothing is appended to ctx.found) and needs a drive opened for
// writing. Failed, with volume.Failure() saying why, when the metadata cannot be loaded
// (a damaged boot sector, an image cut short, a damaged $MFT or $Bitmap record: nothing
// was searched), and when a scrub write fails (Error() stays empty); Stopped when the
// stop flag was raised.
Outcome SearchNtfs(SearchContext& ctx, NtfsVolume& volume);

enum class SearchEnd {
    Completed,    // "Completed search for recoverable files" + result text
    Aborted,      // "Aborted search for recoverable files" + result text
    Failed,       // "Could not locate recoverable files on selected drive"; error says why
    Unsupported,  // the unsupported-file-system message; nothing searched, nothing logged
};

struct SearchReport {
    SearchEnd end = SearchEnd::Failed;
    FileSystemKind fs = FileSystemKind::Ntfs;
    std::string fsName;          // NTFS, FAT32, or what blkid reports
    std::string message;         // the line shown (and logged, except Unsupported)
    std::optional<Error> error;  // for Failed: why the drive could not be read or the
                                 // volume's metadata is damaged (the field or record named)
};

// The whole search for one volume. A source smaller than one sector, or whose sector 0
// is neither NTFS nor FAT32, is Unsupported. `source` is an image file or a block device;
// `driveName` names the drive in the messages and log lines (its mount point, or the
// image path). ctx.drive must be set; it is opened read-only (read-write in scrub mode)
// and closed at the end. ctx.found is cleared first. When `volumeOut` is given it
// receives the NTFS volume (runs, bitmap) for recovery; the drive must then stay open
// by the caller reopening it.
SearchReport SearchDrive(SearchContext& ctx, const std::string& source,
                         const std::string& driveName,
                         std::unique_ptr<NtfsVolume>* volumeOut = nullptr);

}  // namespace tw::volume
