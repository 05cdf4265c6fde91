// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/traces.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "log/activity_log.h"
#include "platform/bytes.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/passes.h"
#include "platform/strings.h"
#include "volume/item_clusters.h"
#include "volume/ntfs_index.h"

namespace tw::volume {

namespace {

constexpr int kMaxPasses = 14;  // the pass table's largest scheme
// A long name of 255 characters takes 20 slots of 13.
constexpr int kMaxLongNameSlots = 20;

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// A deleted 8.3 entry as the search reports them: marked 0xE5, or a free slot (0x00)
// that still holds an old entry's bytes; never a long-name slot or a volume label.
bool IsDeletedShortEntry(const uint8_t* e) {
    if ((e[0x0B] & kAttrVolumeLabel) != 0) return false;  // also every long-name slot
    if (e[0] == kDeletedMark) return true;
    return e[0] == 0x00 && !AllZero(e + 1, kDirEntrySize - 1);
}

// A deleted long-name slot: its order byte is overwritten by the deletion mark.
bool IsDeletedLongNameSlot(const uint8_t* s) {
    return s[0] == kDeletedMark && s[0x0B] == kAttrLongName && s[0x0C] == 0 && s[0x1A] == 0 &&
           s[0x1B] == 0;
}

// An 8.3 entry in use: not free, not deleted, not "." or "..", not a long-name slot or
// a volume label.
bool IsLiveShortEntry(const uint8_t* e) {
    return (e[0x0B] & kAttrVolumeLabel) == 0 && e[0] != 0x00 && e[0] != kDeletedMark && e[0] != '.';
}

// A long-name slot that kept its order byte.
bool IsLiveLongNameSlot(const uint8_t* s) {
    return s[0] != 0x00 && s[0] != kDeletedMark && s[0x0B] == kAttrLongName && s[0x0C] == 0 &&
           s[0x1A] == 0 && s[0x1B] == 0;
}

// Whether `checksum` can be that of the deleted entry `e`. The deletion overwrote the
// first name byte, and the checksum is a one-to-one function of that byte: exactly one
// first byte fits. The slots belong to the entry only when that byte is one a short
// name can start with.
bool ChecksumFits(const uint8_t* e, uint8_t checksum) {
    uint8_t name[11];
    std::memcpy(name, e, 11);
    for (int c = 0; c < 256; ++c) {
        name[0] = static_cast<uint8_t>(c);
        if (ShortNameChecksum(name) != checksum) continue;
        if (c == 0x05) return true;  // stands for a first byte 0xE5
        if (c < 0x20 || c == kDeletedMark || (c >= 'a' && c <= 'z')) return false;
        return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
    }
    return false;
}

void ClearSlot(uint8_t* e) {
    e[0] = kDeletedMark;
    std::memset(e + 1, 0, kDirEntrySize - 1);
}

// The cluster whose FAT entry points to `cluster` (its predecessor in a chain); 0 when
// none does.
uint32_t PreviousCluster(FatTable& fat, uint32_t cluster) {
    const uint32_t maxCluster = fat.Boot().maxCluster;
    for (uint32_t c = 2; c <= maxCluster && c != 0; ++c)
        if ((fat.Entry(c) & kFatEntryMask) == cluster) return c;
    return 0;
}

// Whether NTFS cluster c is allocated now, read from the $Bitmap on the volume rather
// than from the copy the search loaded: the last look before the cluster is written.
// A bit that cannot be read, or that the bitmap does not cover, counts as in use.
bool NtfsClusterInUseOnDisk(NtfsVolume& vol, ClusterIndex c) {
    const NtfsBootInfo& b = vol.Boot();
    if (c >= b.totalClusters) return true;
    const uint64_t byteIndex = c / 8;
    uint64_t covered = 0;
    for (const DataRun& r : vol.BitmapRuns()) {
        const uint64_t runBytes = r.clusterCount * b.bytesPerCluster;
        if (byteIndex < covered + runBytes) {
            if (r.sparse) return true;
            const uint64_t at = r.lcn * b.bytesPerCluster + (byteIndex - covered);
            uint8_t sector[kSectorSize];
            if (!vol.Drive().Read(at / kSectorSize, sector, kSectorSize)) return true;
            return ((sector[at % kSectorSize] >> (c % 8)) & 1) != 0;
        }
        covered += runBytes;
    }
    return true;
}

TracePlan PlanNtfs(const OpContext& op, const TraceVolume& vol, const RecoverableFile& item,
                   TracePlan plan) {
    NtfsVolume& nv = *vol.ntfs;
    const NtfsBootInfo& b = nv.Boot();
    plan.bytesPerCluster = b.bytesPerCluster;
    plan.resident = item.resident;
    plan.recordSector = item.location;
    MftRecordNumber n = 0;
    if (!nv.SectorToRecord(item.location, &n)) {
        plan.refusal = TextWith(TextId<1420>, std::to_string(item.location));
        return plan;
    }
    // Resident data goes with the record scrub; the runs kept for the record (those of
    // named streams too: they belong to the file's traces) are overwritten.
    const std::vector<DataRun>* runs = nv.FileRunsOf(item.location, item.sequence);
    if (runs == nullptr) {
        if (!item.resident) plan.refusal = Str<1421>();
        return plan;
    }
    const uint64_t sectorsPerCluster = b.bytesPerCluster / kSectorSize;
    uint64_t tested = 0;
    for (const DataRun& r : *runs) {
        if (r.sparse) continue;
        for (uint64_t i = 0; i < r.clusterCount; ++i) {
            const ClusterIndex c = r.lcn + i;
            if (nv.IsClusterInUse(c))
                ++plan.clustersInUse;
            else if (ScrubGuardProtects(b, c * sectorsPerCluster, sectorsPerCluster,
                                        vol.protectedStartSector))
                ++plan.clustersProtected;
            else
                plan.clusters.push_back(c);
            if ((++tested & 0xFFFF) == 0 && op.Stopped()) return plan;
        }
    }
    return plan;
}

TracePlan PlanFat(const OpContext& op, const TraceVolume& vol, const RecoverableFile& item,
                  TracePlan plan) {
    FatTable& fat = *vol.fat;
    const FatBootInfo& boot = fat.Boot();
    plan.bytesPerCluster = boot.bytesPerCluster;
    plan.directoryCluster = static_cast<uint32_t>(item.directoryCluster);
    if (item.location < 2 || item.location > boot.maxCluster) {
        plan.refusal = TextWith(TextId<1422>, std::to_string(item.location));
        return plan;
    }
    if (item.directoryCluster < 2 || item.directoryCluster > boot.maxCluster) {
        plan.refusal = Str<1423>();
        return plan;
    }
    const auto first = static_cast<uint32_t>(item.location);
    if ((fat.Entry(first) & kFatEntryMask) != kFatFree) {
        plan.refusal = TextWith(TextId<1424>, std::to_string(first));
        return plan;
    }
    if (item.isFolder) {
        // Overwriting a folder that still lists deleted files would orphan them: their
        // data stays on the volume with nothing left to find it by.
        if (item.entriesInside > 0 && !vol.deletedFoldersWalked) {
            plan.refusal = TextWith(TextId<1720>, std::to_string(item.entriesInside));
            plan.needsFolderWalk = true;
            return plan;
        }
        // Its chain was freed with it: the first cluster is the only one known.
        plan.clusters.push_back(first);
        return plan;
    }
    const uint64_t count = ItemClusterCount(item.size, boot.bytesPerCluster);
    for (uint32_t c : FatItemClusters(fat, first, count, op, nullptr, vol.deletedFolderClusters))
        plan.clusters.push_back(c);
    // A first cluster that is a deleted folder's counts as the file's, though not listed.
    const uint64_t listed = plan.clusters.size() + (vol.deletedFolderClusters &&
                                                    vol.deletedFolderClusters->count(first) != 0);
    plan.clustersMissing = count > listed ? count - listed : 0;
    return plan;
}

// Clusters are overwritten in batches of this many bytes: every pass goes over the
// whole batch and is flushed before the next pass starts.
constexpr size_t kBatchBytes = 4u << 20;

// Scrubs the item's record in place, as far as the guard and the record allow.
void ScrubItemRecord(TraceVolume& vol, const RecoverableFile& item, TraceWipeResult& res) {
    NtfsVolume& nv = *vol.ntfs;
    const NtfsBootInfo& b = nv.Boot();
    MftRecordNumber n = 0;
    if (!nv.SectorToRecord(item.location, &n)) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1420>, std::to_string(item.location));
        return;
    }
    if (ScrubGuardProtects(b, item.location, b.sectorsPerRecord, vol.protectedStartSector)) {
        res.note = Str<1425>();
        return;
    }
    std::vector<uint8_t> rec;
    if (!nv.ReadRecord(n, &rec)) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1426>, std::to_string(n), ErrorText(nv.Drive().LastError()));
        return;
    }
    FileRecordHeader h;
    if (!ParseRecordHeader(rec, &h) || h.signature != kFileSignature) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1427>, std::to_string(n));
        return;
    }
    if (h.flags & (kRecordInUse | kRecordDirectory)) {
        // Taken by another file since the search: what it holds now is that file's.
        res.note = Str<1428>();
        return;
    }
    std::vector<uint8_t> scrubbed = rec;
    if (!ScrubDeletedRecord(scrubbed)) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1429>, std::to_string(n));
        return;
    }
    // The volume must read the record back: write only bytes that pass the fix-up.
    std::vector<uint8_t> check = scrubbed;
    FileRecordHeader sh;
    if (!ParseRecordHeader(check, &sh) || !ApplyFixup(check, sh.usaOffset, sh.usaCount)) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1430>, std::to_string(n));
        return;
    }
    if (!nv.WriteRecord(n, scrubbed)) {
        res.outcome = Outcome::Failed;
        res.error = TextWith(TextId<1431>, std::to_string(n), ErrorText(nv.Drive().LastError()));
        return;
    }
    res.bytesWritten += scrubbed.size();
    res.recordScrubbed = true;
}

}  // namespace

uint8_t ShortNameChecksum(const uint8_t* name11) {
    uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

TracePlan PlanTraceWipe(const OpContext& op, const TraceVolume& vol, const RecoverableFile& item,
                        int passCount) {
    TracePlan plan;
    plan.fs = item.fs;
    plan.passCount = passCount;
    if (passCount < 1 || passCount > kMaxPasses) {
        plan.refusal = TextWith(TextId<1432>, std::to_string(kMaxPasses));
        return plan;
    }
    if (!vol.drive || !vol.drive->IsOpen()) {
        plan.refusal = Str<1433>();
        return plan;
    }
    if (item.fs == FileSystemKind::Ntfs) {
        if (!vol.ntfs) {
            plan.refusal = Str<1434>();
            return plan;
        }
        return PlanNtfs(op, vol, item, std::move(plan));
    }
    if (!vol.fat) {
        plan.refusal = Str<1435>();
        return plan;
    }
    return PlanFat(op, vol, item, std::move(plan));
}

TraceWipeResult WipeFileTraces(const OpContext& op, TraceVolume& vol, const RecoverableFile& item,
                               int passCount) {
    TraceWipeResult res;
    TracePlan plan = PlanTraceWipe(op, vol, item, passCount);
    if (!plan.refusal.empty()) {
        res.error = plan.refusal;
        res.needsFolderWalk = plan.needsFolderWalk;
        return res;
    }
    if (op.Stopped()) {
        res.outcome = Outcome::Stopped;
        return res;
    }
    CRawDriveRef& drive = *vol.drive;
    if (!drive.IsWritable()) {
        res.error = Str<1436>();
        return res;
    }
    res.clustersInUse = plan.clustersInUse;
    res.clustersProtected = plan.clustersProtected;
    if (plan.fs == FileSystemKind::Fat32 && item.isFolder && !plan.clusters.empty()) {
        // A first cluster with no end marker in it: the folder went on, in clusters
        // nothing records now.
        std::vector<uint8_t> bytes;
        if (ReadCluster(drive, vol.fat->Boot(), plan.clusters[0], &bytes) &&
            StartsAsFolder(bytes.data())) {
            bool ended = false;
            for (size_t off = 0; off + kDirEntrySize <= bytes.size() && !ended;
                 off += kDirEntrySize)
                ended = bytes[off] == 0x00;
            res.folderCutShort = !ended;
        }
    }

    const uint32_t bpc = plan.bytesPerCluster;
    const int64_t steps = static_cast<int64_t>(plan.clusters.size()) * passCount;
    op.SetRange(ProgressSink::Current, 0, std::max<int64_t>(steps, 1));
    op.SetPos(ProgressSink::Current, 0);
    // Writes land in the kernel's cache, which would keep only the last pass of each
    // cluster: every pass must reach the disk before the next, so each is flushed. To
    // flush once per pass and batch rather than once per pass and cluster, the passes go
    // over a batch of clusters at a time. Each cluster has its own slice of the buffer,
    // because a pass derives its bytes from what the previous pass left there.
    const size_t batchClusters = std::max<size_t>(1, kBatchBytes / bpc);
    wipe::AlignedBuffer buffer(batchClusters * bpc);
    if (!buffer.Ok()) {
        res.error = Str<1437>();
        return res;
    }
    std::vector<uint64_t> batch;  // drive sectors of the clusters to overwrite
    batch.reserve(batchClusters);
    std::vector<uint8_t> back(vol.verifyLastPass ? batchClusters * bpc : 0);
    // The last pass as the disk holds it: read back from the volume once the pass is
    // flushed and the cached copy dropped, compared with what the slices held. Clusters
    // that follow each other on the volume are read in one piece (their slices follow
    // each other in the buffer too).
    auto readBack = [&]() -> Outcome {
        const uint64_t sectorsPerCluster = bpc / kSectorSize;
        for (size_t i = 0; i < batch.size();) {
            size_t j = i + 1;
            while (j < batch.size() && batch[j] == batch[j - 1] + sectorsPerCluster) ++j;
            const auto bytes = static_cast<uint32_t>((j - i) * bpc);
            drive.DropCached(batch[i], bytes);
            if (!drive.Read(batch[i], back.data(), bytes)) {
                res.readBack = drive.LastError();
                res.error = ErrorText(*res.readBack);
                return Outcome::Failed;
            }
            const uint8_t* wrote = buffer.data() + i * bpc;
            if (std::memcmp(wrote, back.data(), bytes) != 0) {
                const auto diff = std::mismatch(wrote, wrote + bytes, back.data());
                res.readBack =
                    Error(ErrorCode::Mismatch, drive.Source())
                        .At(static_cast<int64_t>(batch[i] * kSectorSize) + (diff.first - wrote));
                res.error = ErrorText(*res.readBack);
                return Outcome::Failed;
            }
            i = j;
        }
        return Outcome::Ok;
    };
    auto wipeBatch = [&]() -> Outcome {
        for (int pass = 1; pass <= passCount; ++pass) {
            for (size_t i = 0; i < batch.size(); ++i) {
                if (pass > 1 || i > 0) {
                    op.PauseCheck();
                    if (op.Stopped()) return Outcome::Stopped;
                }
                uint8_t* slice = buffer.data() + i * bpc;
                wipe::FillPassBuffer(slice, bpc, pass, false);
                if (!drive.Write(batch[i], slice, bpc)) {
                    res.error = ErrorText(drive.LastError());
                    return Outcome::Failed;
                }
                res.bytesWritten += bpc;
                if (pass == passCount) ++res.clustersWiped;  // its last pass is written
                op.Step(ProgressSink::Current);
            }
            if (!drive.Flush()) {
                res.error = ErrorText(drive.LastError());
                return Outcome::Failed;
            }
        }
        if (vol.verifyLastPass)
            if (const Outcome o = readBack(); o != Outcome::Ok) return o;
        batch.clear();
        return Outcome::Ok;
    };

    const bool ntfs = plan.fs == FileSystemKind::Ntfs;
    for (uint64_t c : plan.clusters) {
        op.PauseCheck();
        if (op.Stopped()) {
            res.outcome = Outcome::Stopped;
            return res;
        }
        // Allocation may have changed since the plan was made: the last look is taken
        // on the volume itself, just before the batch holding the cluster is written.
        bool inUse;
        uint64_t sector;
        if (ntfs) {
            inUse = NtfsClusterInUseOnDisk(*vol.ntfs, c);
            sector = c * bpc / kSectorSize;
        } else {
            const uint32_t entry = ReadFatEntry(static_cast<uint32_t>(c), vol.fat->Boot(), drive);
            inUse = entry == kFatEntryUnreadable || (entry & kFatEntryMask) != kFatFree;
            sector = ClusterDriveSector(vol.fat->Boot(), static_cast<uint32_t>(c));
        }
        if (inUse) {
            ++res.clustersInUse;
            op.Step(ProgressSink::Current, passCount);
            continue;
        }
        batch.push_back(sector);
        if (batch.size() < batchClusters) continue;
        if (const Outcome o = wipeBatch(); o != Outcome::Ok) {
            res.outcome = o;
            return res;
        }
    }
    if (!batch.empty()) {
        if (const Outcome o = wipeBatch(); o != Outcome::Ok) {
            res.outcome = o;
            return res;
        }
    }
    op.PauseCheck();
    if (op.Stopped()) {
        res.outcome = Outcome::Stopped;
        return res;
    }

    res.outcome = Outcome::Ok;
    // The record or entry is only reported gone once it is on the disk.
    auto flushed = [&drive, &res] {
        if (res.outcome == Outcome::Ok && !drive.Flush()) {
            res.outcome = Outcome::Failed;
            res.error = ErrorText(drive.LastError());
        }
    };
    if (ntfs) {
        ScrubItemRecord(vol, item, res);
        flushed();
        return res;
    }
    auto cleared =
        ClearFatDirectoryEntries(drive, *vol.fat, plan.directoryCluster, item.name,
                                 static_cast<uint32_t>(item.location), item.folderDeleted);
    if (!cleared) {
        res.outcome = Outcome::Failed;
        res.error = ErrorText(cleared.error());
        return res;
    }
    res.entriesCleared = cleared->shortEntries;
    res.longNameEntriesCleared = cleared->longNameEntries;
    res.bytesWritten += (cleared->shortEntries + cleared->longNameEntries) ? bpc : 0;
    if (cleared->shortEntries == 0) res.note = Str<1438>();
    flushed();
    return res;
}

Result<FatEntryClearing> ClearFatDirectoryEntries(CRawDriveRef& drive, FatTable& fat,
                                                  uint32_t directoryCluster,
                                                  const std::string& name, uint32_t firstCluster,
                                                  bool inDeletedFolder) {
    const FatBootInfo& boot = fat.Boot();
    // The texts name the directory cluster as %2 (the error's offset).
    const auto fault = [&drive, directoryCluster](ErrorCode code, int textId, int err = 0) {
        return Error(code, drive.Source(), err).At(directoryCluster).Says(textId);
    };
    if (!drive.IsWritable()) return Error(ErrorCode::ReadOnly, drive.Source()).Says(TextId<1436>);
    if (directoryCluster < 2 || directoryCluster > boot.maxCluster)
        return fault(ErrorCode::Invalid, TextId<1439>);
    // The cluster is about to be written: it must still belong to a directory chain,
    // or, in a deleted folder, still be free and hold that folder.
    const uint32_t entry = ReadFatEntry(directoryCluster, boot, drive);
    if (entry == kFatEntryUnreadable) return fault(ErrorCode::Io, TextId<1440>, EIO);
    if (!inDeletedFolder && (entry & kFatEntryMask) == kFatFree)
        return fault(ErrorCode::Changed, TextId<1441>);
    if (inDeletedFolder && (entry & kFatEntryMask) != kFatFree)
        return fault(ErrorCode::Changed, TextId<1721>);

    std::vector<uint8_t> cur, prev;
    if (!ReadCluster(drive, boot, directoryCluster, &cur))
        return fault(ErrorCode::Io, TextId<1442>, EIO);
    if (inDeletedFolder && !StartsAsFolder(cur.data()))
        return fault(ErrorCode::Changed, TextId<1721>);
    uint32_t prevCluster = 0;
    bool prevLooked = false, prevChanged = false, curChanged = false;
    const auto perCluster = static_cast<int64_t>(cur.size() / kDirEntrySize);
    // Slot k places before entry i: in this cluster, or at the end of the previous one.
    auto slotBefore = [&](int64_t i, int k) -> uint8_t* {
        const int64_t pos = i - k;
        if (pos >= 0) return cur.data() + pos * kDirEntrySize;
        // A deleted folder's chain is gone: only its first cluster is known.
        if (pos < -perCluster || inDeletedFolder) return nullptr;
        if (!prevLooked) {
            prevLooked = true;
            prevCluster = PreviousCluster(fat, directoryCluster);
            if (prevCluster != 0 && !ReadCluster(drive, boot, prevCluster, &prev)) prev.clear();
        }
        if (prev.size() != cur.size()) return nullptr;
        return prev.data() + (perCluster + pos) * kDirEntrySize;
    };

    FatEntryClearing done;
    for (int64_t i = 0; i < perCluster; ++i) {
        uint8_t* e = cur.data() + i * kDirEntrySize;
        // In a deleted folder an entry may have kept its first byte (the folder was
        // deleted without its files): the search lists it under its full name.
        const bool keptName = inDeletedFolder && IsLiveShortEntry(e);
        if (keptName ? ShortNameText(e) != name
                     : !IsDeletedShortEntry(e) || DeletedEntryName(e) != name)
            continue;
        if (firstCluster != 0 && EntryFirstCluster(e) != firstCluster) continue;
        // The long name written before it, in slots that share one checksum.
        int checksum = -1;
        for (int k = 1; k <= kMaxLongNameSlots; ++k) {
            uint8_t* s = slotBefore(i, k);
            if (!s || !(IsDeletedLongNameSlot(s) || (keptName && IsLiveLongNameSlot(s)))) break;
            if (checksum < 0) {
                if (keptName ? ShortNameChecksum(e) != s[0x0D] : !ChecksumFits(e, s[0x0D])) break;
                checksum = s[0x0D];
            } else if (s[0x0D] != checksum) {
                break;
            }
            ClearSlot(s);
            ++done.longNameEntries;
            if (i - k < 0)
                prevChanged = true;
            else
                curChanged = true;
        }
        ClearSlot(e);
        ++done.shortEntries;
        curChanged = true;
    }
    if (prevChanged) {
        const uint32_t pe = ReadFatEntry(prevCluster, boot, drive);
        if (pe == kFatEntryUnreadable || (pe & kFatEntryMask) != directoryCluster ||
            !drive.Write(ClusterDriveSector(boot, prevCluster), prev.data(),
                         static_cast<uint32_t>(prev.size())))
            return Error(ErrorCode::Io, drive.Source(), EIO).At(prevCluster).Says(TextId<1443>);
    }
    if (curChanged && !drive.Write(ClusterDriveSector(boot, directoryCluster), cur.data(),
                                   static_cast<uint32_t>(cur.size())))
        return fault(ErrorCode::Io, TextId<1444>, EIO).With(ErrorText(drive.LastError()));
    return done;
}

namespace {

constexpr MftRecordNumber kLogFileRecord = 2;
// Largest index bitmap read into memory, and most index blocks a folder is taken to
// have: far beyond any real folder, small enough for a crafted size to cost nothing.
constexpr uint64_t kMaxIndexBitmapBytes = 1u << 20;
constexpr uint64_t kMaxIndexBlocks = kMaxIndexBitmapBytes * 8;
constexpr uint64_t kFolderBatchRecords = 64;

// One stretch of the volume: its byte offset and length.
struct Piece {
    uint64_t byte = 0;
    uint64_t length = 0;
};

// Where the bytes [at, at + length) of a stream with `runs` lie on the volume; empty
// when any of them is sparse or beyond the runs.
std::vector<Piece> PiecesOf(const std::vector<DataRun>& runs, uint32_t bpc, uint64_t at,
                            uint64_t length) {
    std::vector<Piece> pieces;
    uint64_t start = 0;
    for (const DataRun& r : runs) {
        if (length == 0) break;
        const uint64_t runBytes = r.clusterCount * bpc;
        if (at < start + runBytes) {
            if (r.sparse) return {};
            const uint64_t take = std::min(length, start + runBytes - at);
            pieces.push_back({r.lcn * bpc + (at - start), take});
            at += take;
            length -= take;
        }
        start += runBytes;
    }
    if (length != 0) return {};
    return pieces;
}

bool ReadPieces(CRawDriveRef& drive, const std::vector<Piece>& pieces, std::vector<uint8_t>* out) {
    out->clear();
    for (const Piece& p : pieces) {
        const size_t at = out->size();
        out->resize(at + p.length);
        if (!drive.Read(p.byte / kSectorSize, out->data() + at, static_cast<uint32_t>(p.length)))
            return false;
    }
    return true;
}

bool PiecesProtected(const TraceVolume& vol, const std::vector<Piece>& pieces) {
    for (const Piece& p : pieces)
        if (ScrubGuardProtects(vol.ntfs->Boot(), p.byte / kSectorSize, p.length / kSectorSize,
                               vol.protectedStartSector))
            return true;
    return false;
}

bool WritePieces(CRawDriveRef& drive, const std::vector<Piece>& pieces,
                 std::span<const uint8_t> bytes) {
    uint64_t at = 0;
    for (const Piece& p : pieces) {
        if (!drive.Write(p.byte / kSectorSize, bytes.data() + at, static_cast<uint32_t>(p.length)))
            return false;
        at += p.length;
    }
    return true;
}

// What a folder record says about its index ($I30): the block size from its root, the
// runs of its allocation and its bitmap.
struct FolderIndex {
    uint32_t blockSize = 0;
    uint64_t allocatedBytes = 0;
    std::vector<DataRun> runs;
    std::vector<uint8_t> bitmap;
    bool haveBitmap = false;
    bool damaged = false;
};

bool IsI30(const AttributeHeader& h) { return h.name == u"$I30"; }

void TakeIndexAttribute(NtfsVolume& nv, const AttributeRef& a, FolderIndex& fi) {
    const AttributeHeader& h = a.header;
    const NtfsBootInfo& b = nv.Boot();
    if (!IsI30(h)) return;
    if (h.type == kAttrIndexRoot && !h.nonResident && a.value.size() >= 0x10) {
        fi.blockSize = platform::Le32(a.value.data() + 0x08);
    } else if (h.type == kAttrIndexAllocation && h.nonResident) {
        bool bad = false;
        DecodeDataRuns(a.value, 0, {}, h.realSize, b.totalClusters, &fi.runs, &bad);
        if (bad) fi.damaged = true;
        // Only the first extent carries the sizes.
        if (h.firstVcn == 0) fi.allocatedBytes = h.allocatedSize;
    } else if (h.type == kAttrBitmap) {
        if (!h.nonResident) {
            fi.bitmap.assign(a.value.begin(), a.value.end());
            fi.haveBitmap = true;
        } else {
            std::vector<DataRun> runs;
            bool bad = false;
            DecodeDataRuns(a.value, 0, {}, h.realSize, b.totalClusters, &runs, &bad);
            fi.haveBitmap =
                !bad && nv.ReadRuns(runs, std::min(h.realSize, kMaxIndexBitmapBytes), &fi.bitmap);
        }
    }
}

// The index of folder record n (`fixed`: fixed up). A large or fragmented folder keeps
// the extents of its index allocation in records of its own, named by its attribute
// list in the order of their first VCN.
FolderIndex ReadFolderIndex(NtfsVolume& nv, MftRecordNumber n, std::span<const uint8_t> fixed) {
    FolderIndex fi;
    std::vector<AttributeRef> attrs;
    if (!ListAttributes(fixed, &attrs)) fi.damaged = true;
    const AttributeRef* list = nullptr;
    for (const AttributeRef& a : attrs)
        if (a.header.type == kAttrAttributeList) list = &a;
    for (const AttributeRef& a : attrs) {
        const bool listed = a.header.type == kAttrIndexAllocation || a.header.type == kAttrBitmap;
        if (!list || !listed) TakeIndexAttribute(nv, a, fi);
    }
    if (!list) return fi;
    std::vector<uint8_t> listBytes;
    std::span<const uint8_t> entries = list->value;
    if (list->header.nonResident) {
        std::vector<DataRun> runs;
        bool bad = false;
        DecodeDataRuns(list->value, 0, {}, list->header.realSize, nv.Boot().totalClusters, &runs,
                       &bad);
        if (bad ||
            !nv.ReadRuns(runs, std::min(list->header.realSize, kMaxIndexBitmapBytes), &listBytes)) {
            fi.damaged = true;
            return fi;
        }
        entries = listBytes;
    }
    std::vector<uint8_t> ext;
    std::vector<AttributeRef> extAttrs;
    for (const AttributeListEntry& e : ParseAttributeList(entries)) {
        if (e.type != kAttrIndexAllocation && e.type != kAttrBitmap) continue;
        std::span<const uint8_t> rec = fixed;
        if (e.record != n) {
            FileRecordHeader h;
            if (!nv.ReadRecord(e.record, &ext) || !ParseRecordHeader(ext, &h) ||
                h.baseRecord != n || !ApplyFixup(ext, h.usaOffset, h.usaCount)) {
                fi.damaged = true;
                continue;
            }
            rec = ext;
        }
        extAttrs.clear();
        ListAttributes(rec, &extAttrs);
        bool found = false;
        for (const AttributeRef& a : extAttrs) {
            if (a.header.type != e.type || !IsI30(a.header) || a.header.firstVcn != e.lowestVcn)
                continue;
            TakeIndexAttribute(nv, a, fi);
            found = true;
            break;
        }
        if (!found) fi.damaged = true;
    }
    return fi;
}

// Only bytes the file system will read back as a valid record are written.
bool PassesFixup(std::span<const uint8_t> rec) {
    std::vector<uint8_t> check(rec.begin(), rec.end());
    FileRecordHeader h;
    return ParseRecordHeader(check, &h) && ApplyFixup(check, h.usaOffset, h.usaCount);
}

// A deleted folder: its free index clusters, then its record.
bool WipeDeletedFolder(TraceVolume& vol, MftRecordNumber n, std::span<const uint8_t> raw,
                       std::span<const uint8_t> fixed, TraceCoverage& cov) {
    NtfsVolume& nv = *vol.ntfs;
    const NtfsBootInfo& b = nv.Boot();
    const FolderIndex fi = ReadFolderIndex(nv, n, fixed);
    if (!fi.damaged && !fi.runs.empty()) {
        const std::vector<uint8_t> zeros(b.bytesPerCluster, 0);
        const uint64_t spc = b.bytesPerCluster / kSectorSize;
        for (const DataRun& r : fi.runs) {
            if (r.sparse) continue;
            for (uint64_t i = 0; i < r.clusterCount; ++i) {
                const ClusterIndex c = r.lcn + i;
                if (nv.IsClusterInUse(c) || NtfsClusterInUseOnDisk(nv, c)) {
                    ++cov.indexClustersInUse;
                } else if (ScrubGuardProtects(b, c * spc, spc, vol.protectedStartSector)) {
                    ++cov.protectedLeft;
                } else {
                    if (!vol.drive->Write(c * spc, zeros.data(), b.bytesPerCluster)) return false;
                    ++cov.indexClusters;
                }
            }
        }
    } else if (fi.damaged) {
        ++cov.indexDamaged;
    }
    if (ScrubGuardProtects(b, nv.RecordToSector(n), b.sectorsPerRecord, vol.protectedStartSector)) {
        ++cov.protectedLeft;
        return true;
    }
    std::vector<uint8_t> rec(raw.begin(), raw.end());
    if (!ScrubDeletedRecord(rec, true) || !PassesFixup(rec)) {
        ++cov.recordsLeft;
        return true;
    }
    if (!nv.WriteRecord(n, rec)) return false;
    ++cov.folderRecords;
    return true;
}

// A live folder: the unused part of each index block, then of its record.
bool ClearLiveFolder(TraceVolume& vol, MftRecordNumber n, std::span<const uint8_t> raw,
                     std::span<const uint8_t> fixed, TraceCoverage& cov) {
    NtfsVolume& nv = *vol.ntfs;
    const NtfsBootInfo& b = nv.Boot();
    const FolderIndex fi = ReadFolderIndex(nv, n, fixed);
    const uint32_t bs = fi.blockSize;
    if (fi.damaged) {
        ++cov.indexDamaged;
    } else if (!fi.runs.empty()) {
        if (bs < kSectorSize || bs > 65536 || (bs & (bs - 1)) != 0) {
            ++cov.indexDamaged;
        } else {
            const uint64_t blocks = std::min(fi.allocatedBytes / bs, kMaxIndexBlocks);
            std::vector<uint8_t> block;
            for (uint64_t i = 0; i < blocks; ++i) {
                const bool inUse = !fi.haveBitmap || i / 8 >= fi.bitmap.size() ||
                                   ((fi.bitmap[i / 8] >> (i % 8)) & 1) != 0;
                const std::vector<Piece> pieces = PiecesOf(fi.runs, b.bytesPerCluster, i * bs, bs);
                if (pieces.empty() || !ReadPieces(*vol.drive, pieces, &block)) {
                    if (inUse) ++cov.indexDamaged;
                    continue;
                }
                const SlackScrub s = ScrubIndexBlock(block, inUse);
                // An unused block that never held an index is no trace of one.
                if (s == SlackScrub::Damaged && inUse) ++cov.indexDamaged;
                if (s != SlackScrub::Scrubbed) continue;
                if (PiecesProtected(vol, pieces)) {
                    ++cov.protectedLeft;
                    continue;
                }
                if (!WritePieces(*vol.drive, pieces, block)) return false;
                ++cov.indexSlack;
            }
        }
    }
    std::vector<uint8_t> rec(raw.begin(), raw.end());
    const SlackScrub s = ScrubFolderRecordSlack(rec);
    if (s == SlackScrub::Damaged) ++cov.indexDamaged;
    if (s != SlackScrub::Scrubbed) return true;
    if (ScrubGuardProtects(b, nv.RecordToSector(n), b.sectorsPerRecord, vol.protectedStartSector)) {
        ++cov.protectedLeft;
        return true;
    }
    if (!PassesFixup(rec)) {
        ++cov.indexDamaged;
        return true;
    }
    if (!nv.WriteRecord(n, rec)) return false;
    ++cov.recordSlack;
    return true;
}

// Zeroes the tail of one directory's chain from its end marker on, cluster by cluster.
// `ended` carries, across the clusters of the chain, whether the end marker was met.
// Subdirectories found before the end marker go to `pending`.
struct TailWalk {
    const OpContext& op;
    CRawDriveRef& drive;
    FatTable& fat;
    bool write;
    TraceCoverage& cov;
    std::unordered_set<uint32_t> seen;              // every directory cluster walked
    std::vector<std::pair<uint32_t, int>> pending;  // first cluster, depth
};

Outcome ClearTailsOf(TailWalk& w, uint32_t first, int depth) {
    const FatBootInfo& boot = w.fat.Boot();
    std::vector<uint32_t> chain;
    bool stopped = false;
    const uint64_t maxClusters =
        (kMaxDirectoryBytes + boot.bytesPerCluster - 1) / boot.bytesPerCluster;
    FollowChain(first, w.fat, chain, w.op, maxClusters, &stopped);
    if (stopped) return Outcome::Stopped;
    bool ended = false;
    std::vector<uint8_t> bytes;
    for (uint32_t c : chain) {
        // A loop, or a chain running into another directory's: each cluster once.
        if (c < 2 || c > boot.maxCluster || !w.seen.insert(c).second) break;
        w.op.PauseCheck();
        if (w.op.Stopped()) return Outcome::Stopped;
        ++w.cov.fatDirectoryClusters;
        if (!ReadCluster(w.drive, boot, c, &bytes)) {
            ++w.cov.fatDirectoryClustersFailed;
            continue;
        }
        size_t tail = ended ? 0 : bytes.size();
        for (size_t off = 0; !ended && off + kDirEntrySize <= bytes.size(); off += kDirEntrySize) {
            const uint8_t* e = bytes.data() + off;
            if (e[0] == 0x00) {
                ended = true;
                tail = off;
                break;
            }
            const bool folder = (e[0x0B] & kAttrDirectory) != 0 &&
                                (e[0x0B] & kAttrVolumeLabel) == 0 && e[0] != kDeletedMark &&
                                e[0] != '.';
            if (folder && depth < kMaxDirectoryDepth)
                w.pending.emplace_back(EntryFirstCluster(e), depth + 1);
        }
        // Past the end marker every slot is free to the file system. One that still looks
        // in use stays all the same: some drivers list entries past the end marker, and
        // such a slot may be a file they show.
        bool changed = false;
        for (size_t off = tail; off + kDirEntrySize <= bytes.size(); off += kDirEntrySize) {
            uint8_t* e = bytes.data() + off;
            if (IsLiveShortEntry(e) || IsLiveLongNameSlot(e)) {
                ++w.cov.fatTailEntriesKept;
                continue;
            }
            if (AllZero(e, kDirEntrySize)) continue;
            std::memset(e, 0, kDirEntrySize);
            changed = true;
        }
        if (!changed) continue;
        ++w.cov.fatTailsCleared;
        if (!w.write) continue;
        // Written only while the cluster still belongs to a directory chain.
        const uint32_t entry = ReadFatEntry(c, boot, w.drive);
        if (entry == kFatEntryUnreadable || (entry & kFatEntryMask) == kFatFree) {
            --w.cov.fatTailsCleared;
            ++w.cov.fatDirectoryClustersFailed;
            continue;
        }
        if (!w.drive.Write(ClusterDriveSector(boot, c), bytes.data(),
                           static_cast<uint32_t>(bytes.size())))
            return Outcome::Failed;
    }
    return Outcome::Ok;
}

}  // namespace

Outcome WipeFolderTraces(const OpContext& op, TraceVolume& vol, TraceCoverage* coverage) {
    TraceCoverage& cov = *coverage;
    if (!vol.ntfs || !vol.drive || !vol.drive->IsWritable()) return Outcome::Failed;
    NtfsVolume& nv = *vol.ntfs;
    const uint64_t count = nv.RecordCount();
    const uint32_t rs = nv.Boot().recordSize;
    std::vector<uint8_t> batch, one;
    for (MftRecordNumber first = 0; first < count; first += kFolderBatchRecords) {
        op.PauseCheck();
        if (op.Stopped()) return Outcome::Stopped;
        const uint64_t n = std::min(kFolderBatchRecords, count - first);
        const bool batchOk = nv.ReadRecords(first, n, &batch);
        for (uint64_t k = 0; k < n; ++k) {
            std::span<const uint8_t> raw;
            if (batchOk) {
                raw = std::span<const uint8_t>(batch).subspan(k * rs, rs);
            } else {
                if (!nv.ReadRecord(first + k, &one)) continue;
                raw = one;
            }
            FileRecordHeader h;
            if (!ParseRecordHeader(raw, &h) || h.signature != kFileSignature ||
                !(h.flags & kRecordDirectory) || h.baseRecord != 0 || h.bytesInUse == 0)
                continue;
            std::vector<uint8_t> fixed(raw.begin(), raw.end());
            if (!ApplyFixup(fixed, h.usaOffset, h.usaCount)) {
                ++cov.indexDamaged;
                continue;
            }
            const bool ok = (h.flags & kRecordInUse)
                                ? ClearLiveFolder(vol, first + k, raw, fixed, cov)
                                : WipeDeletedFolder(vol, first + k, raw, fixed, cov);
            if (!ok) return Outcome::Failed;
        }
    }
    return vol.drive->Flush() ? Outcome::Ok : Outcome::Failed;
}

bool ResetJournal(TraceVolume& vol, TraceCoverage* coverage) {
    TraceCoverage& cov = *coverage;
    cov.journalAsked = true;
    auto refuse = [&cov](std::string why) {
        cov.journalRefusal = std::move(why);
        return false;
    };
    if (!vol.ntfs || !vol.drive || !vol.drive->IsWritable()) return refuse(Str<1436>());
    NtfsVolume& nv = *vol.ntfs;
    const NtfsBootInfo& b = nv.Boot();
    std::vector<uint8_t> rec;
    if (!nv.ReadRecord(kLogFileRecord, &rec))
        return refuse(TextWith(TextId<1713>, ErrorText(vol.drive->LastError())));
    FileRecordRequest req;
    req.record = rec;
    req.includeInUse = true;
    req.wantFolder = false;
    std::vector<DataRun> runs;
    if (nv.ParseFileRecord(req, 0, false, false, 0) != RecordOutcome::RecordInUse ||
        req.fileName != "$LogFile" || req.resident)
        return refuse(Str<1712>());
    for (const DataRun& r : req.runs)
        if (r.name.empty()) runs.push_back(r);
    // Both restart pages: the page size is read from the first, 4 KiB as a rule.
    std::vector<uint8_t> start;
    const uint64_t startBytes = std::min<uint64_t>(req.dataSize, 64u << 10);
    if (startBytes == 0 || !nv.ReadRuns(runs, startBytes, &start))
        return refuse(TextWith(TextId<1713>, ErrorText(vol.drive->LastError())));
    switch (JournalStateOf(start)) {
        case JournalState::Empty:
            cov.journalReset = true;  // nothing of the volume's history is left in it
            return true;
        case JournalState::Dirty:
            return refuse(Str<1711>());
        case JournalState::Damaged:
            return refuse(Str<1712>());
        case JournalState::Clean:
            break;
    }
    const uint64_t spc = b.bytesPerCluster / kSectorSize;
    for (const DataRun& r : runs)
        if (!r.sparse &&
            ScrubGuardProtects(b, r.lcn * spc, r.clusterCount * spc, vol.protectedStartSector))
            return refuse(Str<1715>());
    const std::vector<uint8_t> fill(std::min<uint64_t>(1u << 20, 256ull * b.bytesPerCluster), 0xFF);
    for (const DataRun& r : runs) {
        if (r.sparse) continue;
        uint64_t at = r.lcn * b.bytesPerCluster;
        uint64_t left = r.clusterCount * b.bytesPerCluster;
        while (left > 0) {
            const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(left, fill.size()));
            if (!vol.drive->Write(at / kSectorSize, fill.data(), chunk))
                return refuse(TextWith(TextId<1714>, ErrorText(vol.drive->LastError())));
            at += chunk;
            left -= chunk;
        }
    }
    if (!vol.drive->Flush())
        return refuse(TextWith(TextId<1714>, ErrorText(vol.drive->LastError())));
    cov.journalReset = true;
    return true;
}

std::vector<std::string> CoverageLines(const TraceCoverage& c) {
    std::vector<std::string> lines;
    auto add = [&lines](uint64_t n, int id) {
        if (n != 0) lines.push_back(TextWith(id, std::to_string(n)));
    };
    add(c.records, TextId<1700>);
    add(c.folderRecords, TextId<1701>);
    add(c.indexClusters, TextId<1702>);
    add(c.indexSlack, TextId<1703>);
    add(c.recordSlack, TextId<1704>);
    if (c.journalAsked)
        lines.push_back(c.journalReset ? Str<1705>() : TextWith(TextId<1706>, c.journalRefusal));
    add(c.recordsLeft, TextId<1707>);
    add(c.indexClustersInUse, TextId<1708>);
    add(c.indexDamaged, TextId<1709>);
    add(c.protectedLeft, TextId<1710>);
    const auto n = [](uint64_t v) { return std::to_string(v); };
    if (c.fatDirectoryClusters > 0)
        lines.push_back(TextWith(TextId<1722>, n(c.fatTailsCleared), n(c.fatDirectoryClusters)));
    if (c.fatDeletedFolders > 0 || c.fatDeletedFolderFiles > 0)
        lines.push_back(TextWith(TextId<1723>, n(c.fatDeletedFolders), n(c.fatDeletedFolderFiles)));
    if (c.fatFoldersNotWalked > 0)
        lines.push_back(TextWith(TextId<1724>, n(c.fatFoldersNotWalked)));
    if (c.fatFoldersCutShort > 0) lines.push_back(TextWith(TextId<1725>, n(c.fatFoldersCutShort)));
    if (c.fatDirectoryClustersFailed > 0)
        lines.push_back(TextWith(TextId<1726>, n(c.fatDirectoryClustersFailed)));
    if (c.fatTailEntriesKept > 0) lines.push_back(TextWith(TextId<1729>, n(c.fatTailEntriesKept)));
    return lines;
}

Outcome ClearFatDirectoryTails(const OpContext& op, CRawDriveRef& drive, FatTable& fat, bool write,
                               TraceCoverage& coverage) {
    if (write && !drive.IsWritable()) return Outcome::Failed;
    TailWalk w{op, drive, fat, write, coverage, {}, {}};
    w.pending.emplace_back(fat.Boot().rootCluster, 0);
    while (!w.pending.empty()) {
        const auto [first, depth] = w.pending.back();
        w.pending.pop_back();
        if (const Outcome o = ClearTailsOf(w, first, depth); o != Outcome::Ok) return o;
    }
    if (write && !drive.Flush()) return Outcome::Failed;
    return Outcome::Ok;
}

std::vector<const RecoverableFile*> TraceWipeOrder(
    const std::vector<RecoverableFile>& found, const std::vector<const RecoverableFile*>& items) {
    std::vector<const RecoverableFile*> out;
    std::unordered_set<const RecoverableFile*> taken;
    std::vector<const RecoverableFile*> folders;
    for (const RecoverableFile* f : items) {
        if (!taken.insert(f).second) continue;
        if (f->fs == FileSystemKind::Fat32 && f->isFolder)
            folders.push_back(f);
        else
            out.push_back(f);
    }
    // What lies inside a chosen folder comes with it: its path starts with the folder's.
    for (size_t i = 0; i < folders.size(); ++i) {
        const std::string path = TraceItemText(*folders[i]);
        for (const RecoverableFile& f : found) {
            const bool inside = f.folderDeleted &&
                                (f.folder == path || (f.folder.size() > path.size() &&
                                                      f.folder.compare(0, path.size(), path) == 0 &&
                                                      f.folder[path.size()] == '/'));
            if (!inside || !taken.insert(&f).second) continue;
            if (f.isFolder)
                folders.push_back(&f);
            else
                out.push_back(&f);
        }
    }
    // A folder goes after everything inside it: the deepest first.
    const auto depth = [](const RecoverableFile* f) {
        const std::string t = TraceItemText(*f);
        return std::count(t.begin(), t.end(), '/');
    };
    std::stable_sort(
        folders.begin(), folders.end(),
        [&](const RecoverableFile* a, const RecoverableFile* b) { return depth(a) > depth(b); });
    out.insert(out.end(), folders.begin(), folders.end());
    return out;
}

std::string TraceItemText(const RecoverableFile& item) {
    return platform::JoinPath(item.folder, item.name);
}

TraceRunResult WipeTracesOfFiles(
    const OpContext& op, TraceVolume& vol, const std::vector<const RecoverableFile*>& items,
    int passCount,
    const std::function<void(const RecoverableFile&, const TraceWipeResult&)>& onItem) {
    TraceRunResult run;
    LogToFile(S<399>, op.Log());
    op.Status(S<398>);
    op.SetRange(ProgressSink::Overall, 0, static_cast<int64_t>(items.size()));
    op.SetPos(ProgressSink::Overall, 0);
    // As every wiper does: a new seed for the pass patterns of this operation.
    wipe::SeedWipeRandom(static_cast<uint32_t>(std::time(nullptr)));
    for (const RecoverableFile* item : items) {
        op.PauseCheck();
        if (op.Stopped()) {
            run.stopped = true;
            break;
        }
        const std::string text = TraceItemText(*item);
        op.Status(Str<408>() + text);
        TraceWipeResult r = WipeFileTraces(op, vol, *item, passCount);
        TraceCoverage& cov = run.coverage;
        if (r.outcome == Outcome::Ok && item->fs == FileSystemKind::Fat32) {
            if (item->isFolder) {
                ++cov.fatDeletedFolders;
                if (r.folderCutShort) ++cov.fatFoldersCutShort;
            } else if (item->folderDeleted) {
                ++cov.fatDeletedFolderFiles;
            }
        }
        if (r.needsFolderWalk) ++cov.fatFoldersNotWalked;
        if (r.outcome == Outcome::Ok) {
            ++run.wiped;
            LogToFile(Str<400>() + " " + text, op.Log());
        } else if (r.outcome == Outcome::Stopped) {
            run.stopped = true;
        } else {
            ++run.failed;
            LogToFile(Str<401>() + " " + text, op.Log());
        }
        if (onItem) onItem(*item, r);
        op.Step(ProgressSink::Overall);
        if (run.stopped) break;
    }
    LogToFile(run.stopped ? S<414> : S<402>, op.Log());
    op.Status(run.stopped ? S<414> : S<402>);
    return run;
}

}  // namespace tw::volume
