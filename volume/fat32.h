// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 on-disk structures and the FAT32 walk of the recoverable-file search.
//
// The boot sector is parsed from its own bytes (never from what the mounted file system
// reports), every field checked before it is used. FAT entries are read through a cache
// that fetches the table in large pieces. Cluster chains, directory sizes and directory
// depth are bounded so that a damaged or hostile volume can neither hang the walk nor
// make it read outside its buffers. All multi-byte fields are little-endian.
//
// Two kinds of sector appear below. "Volume sectors" are the volume's own logical
// sectors of bytesPerSector bytes (512 to 4096): every field of FatBootInfo counts in
// them. "Drive sectors" are the 512-byte sectors CRawDriveRef addresses; ToDriveSector
// converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/result.h"
#include "volume/recoverable.h"

namespace tw::volume {

// Which FAT variant a boot sector is read as. FAT12 and FAT16 keep sectors per FAT in
// the 16-bit field at 0x16 and have a fixed root directory before the data area.
enum class FatKind { Fat12, Fat16, Fat32 };

// Boot-sector layout (offsets within sector 0):
//   0x0B u16 bytes per sector          0x0D u8  sectors per cluster
//   0x0E u16 reserved sectors (= first FAT sector)
//   0x10 u8  number of FATs            0x11 u16 root directory entries (FAT12/16)
//   0x13 u16 total sectors (0: see 0x20)
//   0x16 u16 sectors per FAT (FAT12/16; 0 on FAT32)
//   0x20 u32 total sectors             0x24 u32 sectors per FAT (FAT32)
//   0x2C u32 root directory cluster (FAT32)
struct FatBootInfo {
    uint32_t bytesPerSector = 0;     // 0x0B: 512, 1024, 2048 or 4096
    uint32_t sectorsPerCluster = 0;  // 0x0D: a power of two, 1 to 128
    uint32_t bytesPerCluster = 0;    // bytesPerSector x sectorsPerCluster
    uint32_t fatStartSector = 0;     // 0x0E: reserved sectors, where the first FAT starts
    uint32_t fatCount = 0;           // 0x10
    uint32_t sectorsPerFat = 0;      // 0x24 (FAT32) or 0x16 (FAT12/16)
    uint32_t rootCluster = 0;        // 0x2C (FAT32); 2 for FAT12/16
    uint64_t dataStartSector = 0;    // first sector of cluster 2
    uint64_t fatSizeBytes = 0;       // sectorsPerFat x bytesPerSector: one FAT
    uint64_t totalSectors = 0;       // 0x13 or 0x20
    // Highest cluster number that exists: the data area and the FAT both end there.
    // Valid clusters are 2..maxCluster.
    uint32_t maxCluster = 0;
    FatKind kind = FatKind::Fat32;
};

// FAT entry values (the top four bits of a FAT32 entry are reserved and masked off by
// every test below).
inline constexpr uint32_t kFatEntryMask = 0x0FFFFFFF;
inline constexpr uint32_t kFatFree = 0;
inline constexpr uint32_t kFatBad = 0x0FFFFFF7;
inline constexpr uint32_t kFatEndOfChain = 0x0FFFFFF8;  // this value and above end a chain
// What an entry reads as when its FAT sector cannot be read: non-zero (so a deleted file
// whose first cluster cannot be checked is not claimed to be recoverable) and above
// kFatEndOfChain (so a chain ends there).
inline constexpr uint32_t kFatEntryUnreadable = 0xFFFFFFFF;

// Directory entry (32 bytes):
//   0x00 8 bytes name, space padded (0xE5: deleted; 0x00: free; 0x05 stands for 0xE5;
//        0x2E: "." or "..")
//   0x08 3 bytes extension      0x0B u8 attributes (0x08 volume label, 0x10 directory,
//                                        0x0F long-name entry)
//   0x0E u16 creation time      0x10 u16 creation date
//   0x14 u16 first cluster, high half
//   0x16 u16 modification time  0x18 u16 modification date
//   0x1A u16 first cluster, low half
//   0x1C u32 file size in bytes
inline constexpr size_t kDirEntrySize = 32;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
inline constexpr uint8_t kAttrLongName = 0x0F;
inline constexpr uint8_t kDeletedMark = 0xE5;

// A directory holds at most 65536 entries (2 MiB); a chain that claims more is damaged
// and is read only that far.
inline constexpr uint64_t kMaxDirectoryBytes = 65536 * kDirEntrySize;
// Deepest directory nesting walked. Real trees stay far below it (a path is at most
// 260 characters); the bound keeps a crafted tree from exhausting the stack.
inline constexpr int kMaxDirectoryDepth = 128;

// Parses a boot sector held in memory. `sector` must hold at least 512 bytes; fewer
// fail. `driveBytes` is the size of the volume the sector came from (0: unknown, not
// checked). Fails with a Corrupt error (the field's offset in the sector, its value as
// detail) when any field is out of
// range: bytes per sector not 512..4096 and a power of two, sectors per cluster not a
// power of two up to 128, no reserved sectors, no FAT, a FAT or data area that does not
// fit inside the total sectors (or the drive), or a root cluster outside 2..maxCluster.
// A FAT32 sector must have its 16-bit sectors-per-FAT field 0 and the 32-bit one set.
Result<FatBootInfo> ParseFatBootSector(const uint8_t* sector, size_t length, uint64_t driveBytes,
                                       FatKind kind = FatKind::Fat32);

// Reads drive sector 0 and parses it (ParseFatBootSector with the drive's size). An
// unreadable sector fails as well as a damaged one (with the drive's error).
Result<FatBootInfo> ReadFatBootInfo(CRawDriveRef& drive, FatKind kind = FatKind::Fat32);

// What a boot sector says it is, judged from its own fields the way the kernel and
// blkid do: a valid FAT boot sector with a zero 16-bit sectors-per-FAT field is FAT32,
// otherwise FAT12 or FAT16 by its cluster count. "" when it is not a FAT boot sector.
// For the unsupported-file-system message.
std::string FatVariantName(const uint8_t* sector, size_t length, uint64_t driveBytes);

// First volume sector of a cluster: (cluster - 2) x sectorsPerCluster + dataStartSector.
// Cluster numbers below 2 are not data clusters; callers check the range first.
uint64_t ClusterToSector(uint64_t cluster, uint32_t sectorsPerCluster, uint64_t dataStartSector);

// The 512-byte drive sector where a volume sector starts.
uint64_t ToDriveSector(const FatBootInfo& boot, uint64_t volumeSector);
// The drive sector where data cluster `cluster` (2..maxCluster) starts.
uint64_t ClusterDriveSector(const FatBootInfo& boot, uint64_t cluster);

// Reads one FAT entry with a single sector read (no cache): the 32-bit value as stored
// in the first FAT, reserved bits included. 0 for a cluster whose entry lies beyond the
// FAT; kFatEntryUnreadable when the FAT sector cannot be read.
uint32_t ReadFatEntry(uint32_t cluster, const FatBootInfo& boot, CRawDriveRef& drive);

// The first FAT, read through a cache of large pieces: a walk of many directories asks
// for entries all over the table, and one sector read per entry is the slow case.
class FatTable {
  public:
    // Bytes read at once; the cache keeps at most kMaxCachedPieces pieces.
    static constexpr uint32_t kPieceBytes = 256 * 1024;
    static constexpr size_t kMaxCachedPieces = 64;

    FatTable(CRawDriveRef& drive, const FatBootInfo& boot);
    // As ReadFatEntry, served from the cache.
    uint32_t Entry(uint32_t cluster);
    const FatBootInfo& Boot() const { return boot_; }
    // Number of reads sent to the drive so far (for tests of the caching).
    uint64_t ReadCount() const { return reads_; }

  private:
    struct Piece {
        std::vector<uint8_t> bytes;
        std::vector<bool> sectorOk;  // one flag per drive sector of the piece
    };
    const Piece& Load(uint64_t index);

    CRawDriveRef& drive_;
    FatBootInfo boot_;
    std::unordered_map<uint64_t, std::unique_ptr<Piece>> pieces_;  // by piece index
    uint64_t reads_ = 0;
};

// Follows a cluster chain from `firstCluster`, appending each cluster to `clusters`;
// returns how many were appended. The first cluster is always appended. The chain ends
// at an end-of-chain, free, bad or out-of-range entry, at a cluster that was already
// visited (a loop, whether on itself or through several clusters), after `maxClusters`
// clusters, or when ctx asks to stop (*stopped is set then, when given).
uint64_t FollowChain(uint32_t firstCluster, FatTable& fat, std::vector<uint32_t>& clusters,
                     const OpContext& op, uint64_t maxClusters = UINT64_MAX,
                     bool* stopped = nullptr);

// Counts of what a walk passed over because it was damaged; kept for tests and logs.
struct FatWalkStats {
    uint64_t directoriesWalked = 0;
    uint64_t directoryLoops = 0;     // a subdirectory already walked (a cycle or shared cluster)
    uint64_t sharedChains = 0;       // a directory chain running into another directory's clusters
    uint64_t tooDeep = 0;            // subdirectories below kMaxDirectoryDepth
    uint64_t badSubdirectories = 0;  // live subdirectory whose first cluster is out of range
    uint64_t unreadableClusters = 0;
    uint64_t candidatesOutOfRange = 0;  // deleted entry whose first cluster is past the volume
    uint64_t candidatesReused = 0;      // deleted entry whose first cluster is in use again
    uint64_t deletedFoldersGone = 0;    // deleted folder whose first cluster holds no folder now
};

// State of one search's directory walk.
struct FatWalk {
    SearchContext& ctx;
    FatTable& fat;
    std::unordered_set<uint32_t> walkedDirectories;  // first clusters, across the whole walk
    std::unordered_set<uint32_t> directoryClusters;  // every cluster of every walked directory
    FatWalkStats stats;
};

// Walks the directory starting at `firstCluster` whose path text is `path` (the root's
// is ctx.driveText; a subdirectory's is its parent's path, "/" and its 8.3 name), then
// each live subdirectory depth first in entry order. The directory's whole chain (at
// most kMaxDirectoryBytes) is read before its entries are visited; an all-zero entry
// ends it. Long-name entries and volume labels are passed over; "." and ".." are never
// descended into. A deleted entry (first byte 0xE5, or 0x00 with other bytes set) whose
// first cluster is a data cluster that is free in the FAT is reported: name "?" + name
// bytes 1..7 + "." + extension (when not blank), the entry's size, times and
// attributes, the first cluster as location, recoverability 100. Appended to
// ctx.found, then ctx.onFound is called and, when ctx.wantStatus, the status shows the
// running count. `depth` is 0 for the root.
//
// Deleted folders are not descended into unless ctx.walkDeletedFolders: then a
// deleted folder entry reported as above is walked with `deleted` set. Its chain was
// freed with it, so only its first cluster is read, and only when that cluster still
// starts with the folder's "." entry. Every entry there counts as deleted (a live-
// looking one keeps its full name), its folders are walked the same way, and each item
// is reported with folderDeleted set and the deleted folder's "?" name in its path.
// Stopped when the stop flag was seen, Ok otherwise (damage is counted in stats).
Outcome WalkDirectory(FatWalk& walk, uint32_t firstCluster, const std::string& path, int depth = 0,
                      bool deleted = false);

// A deleted folder's first cluster still holds the folder when it starts with its "."
// entry; anything else has taken the cluster since. `e` is the cluster's first entry.
bool StartsAsFolder(const uint8_t* e);

// The entries a deleted folder's first cluster (`bytes` bytes) still lists: every 8.3
// entry before the first all-zero one, "." and ".." aside, whatever its first byte
// (deleted with the folder or not). 0 when the cluster does not start as a folder.
uint32_t DeletedFolderEntryCount(const uint8_t* cluster, size_t bytes);

// DOS date and time (as stored in a directory entry) to a FILETIME, taking the fields
// as they stand (FAT keeps the writer's wall clock, with no zone). 0 when the date is
// 0 or its fields are out of range.
FileTime DosDateTimeToFileTime(uint16_t date, uint16_t time);

// Code page 437 bytes to UTF-8 (the code page DOS names are written in). Bytes below
// 0x20 and 0x7F become their code-page glyphs, so no control character leaves here.
std::string Cp437ToUtf8(std::string_view bytes);

// An 8.3 name as text: the name bytes with trailing padding removed, then "." and the
// trimmed extension when it is not blank. A first byte 0x05 stands for 0xE5.
std::string ShortNameText(const uint8_t* entry);
// The name the search lists for a deleted 8.3 entry, whose first byte holds the
// deletion mark: "?" + name bytes 1..7 + "." + extension (when not blank).
std::string DeletedEntryName(const uint8_t* entry);
// The first cluster of a directory entry (high half at 0x14, low half at 0x1A).
uint32_t EntryFirstCluster(const uint8_t* entry);

// Reads the boot sector through ctx.drive, walks the directory tree from the root and
// appends every deleted file whose first cluster is still free to ctx.found (and calls
// ctx.onFound for each). Failed when the boot sector is unreadable or damaged (nothing
// is searched; *error, when given, names the field), Stopped when the stop flag ended
// the walk, Ok otherwise.
Outcome SearchFat32(SearchContext& ctx, Error* error = nullptr);

}  // namespace tw::volume
