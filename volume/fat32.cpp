// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 boot sector, FAT entries, cluster chains and the directory walk that finds
// deleted files. See fat32.h for the layout of every structure read here.
#include "volume/fat32.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/bytes.h"
#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/utf8.h"
#include "volume/item_clusters.h"
#include "volume/search.h"

namespace tw::volume {

namespace {

using platform::Le16;
using platform::Le32;

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// A damaged boot sector: the field by its offset in the sector, and what it holds.
Error BootError(int textId, int64_t fieldOffset, uint64_t value = 0) {
    return Error(ErrorCode::Corrupt).At(fieldOffset).With(std::to_string(value)).Says(textId);
}

// Highest cluster number a FAT32 entry can name (0x0FFFFFF7 marks a bad cluster and
// everything above ends a chain).
constexpr uint32_t kMaxFat32Cluster = 0x0FFFFFF6;

// Unicode code points of code page 437. Bytes 0x20..0x7E are ASCII; the rest are the
// code page's glyphs (the control range included, as DOS drew it).
constexpr std::array<uint16_t, 32> kCp437Low = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9,
    0x2642, 0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7,
    0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC};
constexpr std::array<uint16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

using platform::AppendUtf8;

// Name bytes without their trailing padding (spaces; some writers pad with NULs).
std::string_view TrimPadding(const uint8_t* bytes, size_t length) {
    while (length > 0 && (bytes[length - 1] == ' ' || bytes[length - 1] == 0)) --length;
    return {reinterpret_cast<const char*>(bytes), length};
}

bool AllZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------
// Boot sector

Result<FatBootInfo> ParseFatBootSector(const uint8_t* s, size_t length, uint64_t driveBytes,
                                       FatKind kind) {
    if (!s || length < 512) return BootError(TextId<1120>, -1);
    FatBootInfo b;
    b.kind = kind;
    b.bytesPerSector = Le16(s + 0x0B);
    if (!IsPowerOfTwo(b.bytesPerSector) || b.bytesPerSector < 512 || b.bytesPerSector > 4096)
        return BootError(TextId<1121>, 0x0B, b.bytesPerSector);
    b.sectorsPerCluster = s[0x0D];
    if (!IsPowerOfTwo(b.sectorsPerCluster) || b.sectorsPerCluster > 128)
        return BootError(TextId<1122>, 0x0D, b.sectorsPerCluster);
    b.bytesPerCluster = b.bytesPerSector * b.sectorsPerCluster;
    b.fatStartSector = Le16(s + 0x0E);
    if (b.fatStartSector == 0) return BootError(TextId<1123>, 0x0E);
    b.fatCount = s[0x10];
    if (b.fatCount == 0) return BootError(TextId<1124>, 0x10);
    const uint16_t total16 = Le16(s + 0x13);
    b.totalSectors = total16 != 0 ? total16 : Le32(s + 0x20);
    if (b.totalSectors == 0) return BootError(TextId<1125>, 0x13);

    uint64_t rootDirSectors = 0;
    const uint16_t sectorsPerFat16 = Le16(s + 0x16);
    if (kind == FatKind::Fat32) {
        if (sectorsPerFat16 != 0) return BootError(TextId<1126>, 0x16, sectorsPerFat16);
        b.sectorsPerFat = Le32(s + 0x24);
        b.rootCluster = Le32(s + 0x2C);
    } else {
        b.sectorsPerFat = sectorsPerFat16;
        b.rootCluster = 2;
        const uint64_t rootEntries = Le16(s + 0x11);
        rootDirSectors = (rootEntries * kDirEntrySize + b.bytesPerSector - 1) / b.bytesPerSector;
    }
    if (b.sectorsPerFat == 0) return BootError(TextId<1127>, kind == FatKind::Fat32 ? 0x24 : 0x16);
    b.fatSizeBytes = static_cast<uint64_t>(b.sectorsPerFat) * b.bytesPerSector;
    b.dataStartSector =
        b.fatStartSector + static_cast<uint64_t>(b.fatCount) * b.sectorsPerFat + rootDirSectors;

    // The clusters that exist end where the volume ends: at its declared size, or earlier
    // when the drive (a truncated image) holds less. The walk never looks past either.
    uint64_t usableSectors = b.totalSectors;
    if (driveBytes != 0) usableSectors = std::min(usableSectors, driveBytes / b.bytesPerSector);
    if (b.dataStartSector >= usableSectors) return BootError(TextId<1128>, -1, b.dataStartSector);
    const uint64_t dataClusters = (usableSectors - b.dataStartSector) / b.sectorsPerCluster;
    if (dataClusters == 0) return BootError(TextId<1129>, -1);

    // Entries the FAT has room for (FAT12: 1.5 bytes, FAT16: 2, FAT32: 4).
    uint64_t fatEntries = 0;
    switch (kind) {
        case FatKind::Fat12:
            fatEntries = b.fatSizeBytes * 2 / 3;
            break;
        case FatKind::Fat16:
            fatEntries = b.fatSizeBytes / 2;
            break;
        case FatKind::Fat32:
            fatEntries = b.fatSizeBytes / 4;
            break;
    }
    if (fatEntries < 3) return BootError(TextId<1130>, -1, fatEntries);
    const uint64_t maxCluster =
        std::min<uint64_t>({dataClusters + 1, fatEntries - 1, kMaxFat32Cluster});
    b.maxCluster = static_cast<uint32_t>(maxCluster);

    if (kind == FatKind::Fat32 && (b.rootCluster < 2 || b.rootCluster > b.maxCluster))
        return BootError(TextId<1131>, 0x2C, b.rootCluster);
    return b;
}

Result<FatBootInfo> ReadFatBootInfo(CRawDriveRef& drive, FatKind kind) {
    uint8_t sector[kSectorSize];
    if (!drive.Read(0, sector, kSectorSize))
        return drive.Failure().value_or(Error(ErrorCode::Io, drive.Source()));
    return ParseFatBootSector(sector, sizeof sector, drive.SizeBytes(), kind);
}

std::string FatVariantName(const uint8_t* s, size_t length, uint64_t driveBytes) {
    if (!s || length < 512) return "";
    // Other file systems share the BIOS parameter block's first fields.
    if (std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0) return "";
    if (Le16(s + 0x16) == 0) return ParseFatBootSector(s, length, driveBytes).ok() ? "FAT32" : "";
    auto b = ParseFatBootSector(s, length, driveBytes, FatKind::Fat16);
    if (!b.ok()) return "";
    // The cluster count decides between FAT12 and FAT16, as on every FAT implementation.
    const uint64_t usable =
        driveBytes ? std::min(b->totalSectors, driveBytes / b->bytesPerSector) : b->totalSectors;
    const uint64_t clusters = (usable - b->dataStartSector) / b->sectorsPerCluster;
    return clusters < 4085 ? "FAT12" : "FAT16";
}

uint64_t ClusterToSector(uint64_t cluster, uint32_t sectorsPerCluster, uint64_t dataStartSector) {
    return (cluster - 2) * sectorsPerCluster + dataStartSector;
}

uint64_t ClusterDriveSector(const FatBootInfo& boot, uint64_t cluster) {
    return ToDriveSector(boot,
                         ClusterToSector(cluster, boot.sectorsPerCluster, boot.dataStartSector));
}

uint32_t EntryFirstCluster(const uint8_t* e) {
    return (static_cast<uint32_t>(Le16(e + 0x14)) << 16) | Le16(e + 0x1A);
}

uint64_t ToDriveSector(const FatBootInfo& boot, uint64_t volumeSector) {
    return volumeSector * (boot.bytesPerSector / kSectorSize);
}

// ---------------------------------------------------------------------------------
// FAT entries

uint32_t ReadFatEntry(uint32_t cluster, const FatBootInfo& boot, CRawDriveRef& drive) {
    const uint64_t byteInFat = static_cast<uint64_t>(cluster) * 4;
    if (byteInFat + 4 > boot.fatSizeBytes) return 0;
    const uint64_t sector = ToDriveSector(boot, boot.fatStartSector) + byteInFat / kSectorSize;
    uint8_t buf[kSectorSize];
    if (!drive.Read(sector, buf, kSectorSize)) return kFatEntryUnreadable;
    return Le32(buf + byteInFat % kSectorSize);
}

FatTable::FatTable(CRawDriveRef& drive, const FatBootInfo& boot) : drive_(drive), boot_(boot) {}

const FatTable::Piece& FatTable::Load(uint64_t index) {
    auto it = pieces_.find(index);
    if (it != pieces_.end()) return *it->second;
    // A full cache is simply emptied: walks move through the FAT mostly forward, and a
    // piece read again costs one large read.
    if (pieces_.size() >= kMaxCachedPieces) pieces_.clear();

    auto piece = std::make_unique<Piece>();
    const uint64_t start = index * kPieceBytes;
    const uint64_t length = std::min<uint64_t>(kPieceBytes, boot_.fatSizeBytes - start);
    const uint32_t sectors = static_cast<uint32_t>((length + kSectorSize - 1) / kSectorSize);
    piece->bytes.assign(static_cast<size_t>(sectors) * kSectorSize, 0);
    piece->sectorOk.assign(sectors, true);
    const uint64_t first = ToDriveSector(boot_, boot_.fatStartSector) + start / kSectorSize;
    ++reads_;
    if (!drive_.Read(first, piece->bytes.data(), sectors * kSectorSize)) {
        // Something in the piece cannot be read (an I/O error, a truncated image):
        // take what can be read sector by sector and mark the rest.
        for (uint32_t i = 0; i < sectors; ++i) {
            ++reads_;
            if (!drive_.Read(first + i, piece->bytes.data() + i * kSectorSize, kSectorSize))
                piece->sectorOk[i] = false;
        }
    }
    return *(pieces_[index] = std::move(piece));
}

uint32_t FatTable::Entry(uint32_t cluster) {
    const uint64_t byteInFat = static_cast<uint64_t>(cluster) * 4;
    if (byteInFat + 4 > boot_.fatSizeBytes) return 0;
    const Piece& p = Load(byteInFat / kPieceBytes);
    const uint64_t offset = byteInFat % kPieceBytes;
    if (!p.sectorOk[offset / kSectorSize]) return kFatEntryUnreadable;
    return Le32(p.bytes.data() + offset);
}

uint64_t FollowChain(uint32_t firstCluster, FatTable& fat, std::vector<uint32_t>& clusters,
                     const OpContext& op, uint64_t maxClusters, bool* stopped) {
    if (stopped) *stopped = false;
    if (maxClusters == 0) return 0;
    clusters.push_back(firstCluster);
    uint64_t count = 1;
    const uint32_t maxCluster = fat.Boot().maxCluster;
    if (firstCluster < 2 || firstCluster > maxCluster) return count;
    // Every cluster of a sound chain is distinct; the first one seen twice closes a
    // loop, however many clusters the loop runs through.
    std::unordered_set<uint32_t> seen{firstCluster};
    uint32_t current = firstCluster;
    while (count < maxClusters) {
        if (op.Stopped()) {
            if (stopped) *stopped = true;
            break;
        }
        const uint32_t next = fat.Entry(current) & kFatEntryMask;
        if (next == current) break;                // points to itself
        if (next < 2 || next > maxCluster) break;  // free, reserved, bad, end of chain
        if (!seen.insert(next).second) break;      // loop through several clusters
        clusters.push_back(next);
        ++count;
        current = next;
    }
    return count;
}

// ---------------------------------------------------------------------------------
// Names and times

FileTime DosDateTimeToFileTime(uint16_t date, uint16_t time) {
    if (date == 0) return 0;
    SystemTime st;
    st.year = 1980 + (date >> 9);
    st.month = (date >> 5) & 0x0F;
    st.day = date & 0x1F;
    st.hour = time >> 11;
    st.minute = (time >> 5) & 0x3F;
    st.second = (time & 0x1F) * 2;
    if (st.month < 1 || st.month > 12 || st.day < 1 || st.hour > 23 || st.minute > 59 ||
        st.second > 59)
        return 0;
    FileTime ft = 0;
    if (!SystemTimeToFileTime(st, &ft)) return 0;
    return ft;
}

std::string Cp437ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<uint8_t>(ch);
        if (c < 0x20)
            AppendUtf8(out, kCp437Low[c]);
        else if (c == 0x7F)
            AppendUtf8(out, 0x2302);
        else if (c >= 0x80)
            AppendUtf8(out, kCp437High[c - 0x80]);
        else
            out += static_cast<char>(c);
    }
    return out;
}

std::string ShortNameText(const uint8_t* entry) {
    uint8_t name[8];
    std::memcpy(name, entry, 8);
    if (name[0] == 0x05) name[0] = kDeletedMark;  // a real first byte 0xE5 is stored as 0x05
    std::string text = Cp437ToUtf8(TrimPadding(name, 8));
    const std::string_view ext = TrimPadding(entry + 8, 3);
    if (!ext.empty()) text += "." + Cp437ToUtf8(ext);
    return text;
}

std::string DeletedEntryName(const uint8_t* entry) {
    // The deletion mark overwrote the first byte: the name's first character is lost.
    std::string name = "?" + Cp437ToUtf8(TrimPadding(entry + 1, 7));
    const std::string_view ext = TrimPadding(entry + 8, 3);
    if (!ext.empty()) name += "." + Cp437ToUtf8(ext);
    return name;
}

// ---------------------------------------------------------------------------------
// Directory walk

namespace {

// Reads every cluster of a directory's chain into one buffer; consecutive clusters go in
// one read. `ok` gets one flag per cluster: false where the cluster could not be read.
void ReadDirectoryClusters(FatWalk& walk, const std::vector<uint32_t>& chain,
                           std::vector<uint8_t>& buffer, std::vector<bool>& ok) {
    const FatBootInfo& boot = walk.fat.Boot();
    const uint32_t bpc = boot.bytesPerCluster;
    buffer.assign(chain.size() * bpc, 0);
    ok.assign(chain.size(), true);
    constexpr uint32_t kMaxReadBytes = 1024 * 1024;
    size_t i = 0;
    while (i < chain.size()) {
        size_t run = 1;
        while (i + run < chain.size() && chain[i + run] == chain[i] + run &&
               (run + 1) * bpc <= kMaxReadBytes)
            ++run;
        const uint64_t sector = ClusterDriveSector(boot, chain[i]);
        uint8_t* dest = buffer.data() + i * bpc;
        if (!walk.ctx.drive->Read(sector, dest, static_cast<uint32_t>(run * bpc))) {
            for (size_t k = 0; k < run; ++k) {
                const uint64_t s = ClusterDriveSector(boot, chain[i + k]);
                if (!walk.ctx.drive->Read(s, dest + k * bpc, bpc)) {
                    std::memset(dest + k * bpc, 0, bpc);
                    ok[i + k] = false;
                    ++walk.stats.unreadableClusters;
                }
            }
        }
        i += run;
    }
}

// How many entries the deleted folder starting at `cluster` still lists (0 when the
// cluster no longer holds it or cannot be read).
uint32_t EntriesInside(FatWalk& walk, uint32_t cluster) {
    std::vector<uint8_t> bytes;
    if (!ReadCluster(*walk.ctx.drive, walk.fat.Boot(), cluster, &bytes)) return 0;
    return DeletedFolderEntryCount(bytes.data(), bytes.size());
}

void ReportCandidate(FatWalk& walk, const uint8_t* e, const std::string& name,
                     uint32_t firstCluster, uint32_t directoryCluster, const std::string& path,
                     bool inDeletedFolder) {
    RecoverableFile f;
    f.name = name;
    f.folderDeleted = inDeletedFolder;
    f.isFolder = (e[0x0B] & kAttrDirectory) != 0;
    if (f.isFolder) f.entriesInside = EntriesInside(walk, firstCluster);
    f.attributes = AttributeText(e[0x0B]);
    f.size = Le32(e + 0x1C);
    f.location = firstCluster;
    f.created = DosDateTimeToFileTime(Le16(e + 0x10), Le16(e + 0x0E));
    f.modified = DosDateTimeToFileTime(Le16(e + 0x18), Le16(e + 0x16));
    f.folder = path;
    f.recoverability = 100;
    f.resident = false;
    f.fs = FileSystemKind::Fat32;
    f.directoryCluster = directoryCluster;
    SearchContext& ctx = walk.ctx;
    ctx.Add(f);
    if (ctx.wantStatus) ctx.Op().Status(SearchStatusText(ctx.foundCount));
}

}  // namespace

bool StartsAsFolder(const uint8_t* e) {
    return std::memcmp(e, ".          ", 11) == 0 && (e[0x0B] & kAttrDirectory) != 0;
}

uint32_t DeletedFolderEntryCount(const uint8_t* cluster, size_t bytes) {
    if (bytes < kDirEntrySize || !StartsAsFolder(cluster)) return 0;
    uint32_t n = 0;
    for (size_t off = 0; off + kDirEntrySize <= bytes; off += kDirEntrySize) {
        const uint8_t* e = cluster + off;
        if (AllZero(e, kDirEntrySize)) break;
        if ((e[0x0B] & kAttrVolumeLabel) != 0 || e[0] == '.') continue;
        ++n;
    }
    return n;
}

Outcome WalkDirectory(FatWalk& walk, uint32_t firstCluster, const std::string& path, int depth,
                      bool deleted) {
    const FatBootInfo& boot = walk.fat.Boot();
    SearchContext& ctx = walk.ctx;
    if (depth > kMaxDirectoryDepth) {
        ++walk.stats.tooDeep;
        return Outcome::Ok;
    }
    if (firstCluster < 2 || firstCluster > boot.maxCluster) {
        ++walk.stats.badSubdirectories;
        return Outcome::Ok;
    }
    // FAT has no hard links: a directory met twice is a cycle (or two entries sharing
    // one cluster) and is walked only once.
    if (!walk.walkedDirectories.insert(firstCluster).second) {
        ++walk.stats.directoryLoops;
        return Outcome::Ok;
    }
    ++walk.stats.directoriesWalked;

    std::vector<uint32_t> chain;
    bool stopped = false;
    const uint64_t maxClusters =
        (kMaxDirectoryBytes + boot.bytesPerCluster - 1) / boot.bytesPerCluster;
    FollowChain(firstCluster, walk.fat, chain, ctx.Op(), maxClusters, &stopped);
    if (stopped) return Outcome::Stopped;
    // Directories never share clusters. A chain that runs into clusters already walked
    // is cut there, so that however the chains are knotted no cluster is read as a
    // directory twice and the whole walk stays linear in the volume's size.
    for (size_t i = 0; i < chain.size(); ++i) {
        if (!walk.directoryClusters.insert(chain[i]).second) {
            ++walk.stats.sharedChains;
            chain.resize(i);
            break;
        }
    }
    if (chain.empty()) return Outcome::Ok;

    std::vector<uint8_t> buffer;
    std::vector<bool> clusterOk;
    ReadDirectoryClusters(walk, chain, buffer, clusterOk);
    if (deleted && (!clusterOk[0] || !StartsAsFolder(buffer.data()))) {
        ++walk.stats.deletedFoldersGone;
        return Outcome::Ok;
    }

    const uint32_t bpc = boot.bytesPerCluster;
    for (size_t off = 0; off + kDirEntrySize <= buffer.size(); off += kDirEntrySize) {
        if (ctx.Op().Stopped()) return Outcome::Stopped;
        const size_t clusterIndex = off / bpc;
        if (!clusterOk[clusterIndex]) {
            // Nothing is known of an unreadable cluster; go on with the next one.
            off = (clusterIndex + 1) * bpc - kDirEntrySize;
            continue;
        }
        const uint8_t* e = buffer.data() + off;
        if (AllZero(e, kDirEntrySize)) break;  // end of the directory
        const uint8_t attr = e[0x0B];
        if ((attr & kAttrVolumeLabel) != 0) continue;  // volume label, or a long-name entry
        const uint8_t first = e[0];
        const bool live = first != 0x00 && first != kDeletedMark;
        const bool isFolder = (attr & kAttrDirectory) != 0;
        if (first == '.') continue;  // "." and ".." (no other short name starts so)
        if (live && !deleted) {
            if (isFolder) {
                const Outcome o =
                    WalkDirectory(walk, EntryFirstCluster(e),
                                  platform::JoinPath(path, ShortNameText(e)), depth + 1);
                if (o == Outcome::Stopped) return o;
            }
            continue;
        }
        // A deleted entry, a free one that still holds an old entry's bytes, or any
        // entry of a deleted folder (deleted with it, whatever its first byte says).
        const uint32_t cluster = EntryFirstCluster(e);
        if (cluster <= 1) continue;  // an empty file never had a cluster
        if (cluster > boot.maxCluster) {
            ++walk.stats.candidatesOutOfRange;
            continue;
        }
        if ((walk.fat.Entry(cluster) & kFatEntryMask) != kFatFree) {
            ++walk.stats.candidatesReused;
            continue;
        }
        const std::string name = live ? ShortNameText(e) : DeletedEntryName(e);
        ReportCandidate(walk, e, name, cluster, chain[clusterIndex], path, deleted);
        // Opt-in: a deleted folder whose first cluster is free may still list its files.
        if (isFolder && ctx.walkDeletedFolders) {
            const Outcome o =
                WalkDirectory(walk, cluster, platform::JoinPath(path, name), depth + 1, true);
            if (o == Outcome::Stopped) return o;
        }
    }
    return Outcome::Ok;
}

Outcome SearchFat32(SearchContext& ctx, Error* error) {
    if (!ctx.drive) return Outcome::Failed;
    auto boot = ReadFatBootInfo(*ctx.drive, FatKind::Fat32);
    if (!boot.ok()) {
        if (error) *error = boot.error();
        return Outcome::Failed;
    }
    FatTable fat(*ctx.drive, *boot);
    FatWalk walk{ctx, fat, {}, {}, {}};
    const std::string root = ctx.driveText.empty() ? "/" : ctx.driveText;
    return WalkDirectory(walk, boot->rootCluster, root, 0);
}

}  // namespace tw::volume
