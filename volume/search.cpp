// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/search.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/strings.h"
#include "volume/fat32.h"

extern char** environ;

namespace tw::volume {

std::string AttributeText(uint32_t bits) {
    struct Letter {
        char c;
        uint32_t mask;
    };
    static constexpr Letter kLetters[12] = {
        {'a', 0x20},   {'c', 0x800},  {'d', 0x10 | (1u << 28)},
        {'e', 0x4000}, {'h', 0x2},    {'i', 1u << 28},
        {'n', 0x80},   {'o', 0x1000}, {'p', 0x400},
        {'r', 0x1},    {'s', 0x4},    {'t', 0x100},
    };
    std::string text(13, '-');
    for (size_t i = 0; i < 12; ++i)
        if (bits & kLetters[i].mask) text[i] = kLetters[i].c;
    return text;
}

DetectedFs DetectFileSystem(std::span<const uint8_t> s, uint64_t driveBytes, std::string* fatName) {
    if (s.size() < kSectorSize) return DetectedFs::Other;
    if (std::memcmp(s.data() + 3, "NTFS", 4) == 0) return DetectedFs::Ntfs;
    std::string fat = FatVariantName(s.data(), s.size(), driveBytes);
    if (fat == "FAT32") return DetectedFs::Fat32;
    // A FAT32 boot sector whose fields the variant test rejects but which says so
    // itself, with the FAT32 shape (no 16-bit FAT size).
    bool fat16Size0 = s[0x16] == 0 && s[0x17] == 0;
    if (fat.empty() && fat16Size0 && std::memcmp(s.data() + 0x52, "FAT32   ", 8) == 0)
        return DetectedFs::Fat32;
    if (fatName) *fatName = fat;
    return DetectedFs::Other;
}

namespace {

// Runs a program with arguments (no shell) and returns its standard output.
std::string RunCapture(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string out;
    if (rc == 0) {
        char buf[256];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) out.append(buf, static_cast<size_t>(n));
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    close(fds[0]);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string SuperblockName(const std::string& source) {
    CRawDriveRef d;
    if (!d.Open(source)) return {};
    std::vector<uint8_t> b(4096, 0);
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(4096, d.SizeBytes() / 512 * 512));
    if (n < 512 || !d.Read(0, b.data(), n)) return {};
    if (std::memcmp(b.data() + 3, "EXFAT   ", 8) == 0) return "exfat";
    std::string fat = FatVariantName(b.data(), 512, d.SizeBytes());
    if (!fat.empty()) return fat;
    if (n >= 2048 && b[1080] == 0x53 && b[1081] == 0xEF) return "ext4";
    return {};
}

}  // namespace

std::string FileSystemName(const std::string& source) {
    std::string type = RunCapture({"blkid", "-p", "-o", "value", "-s", "TYPE", source});
    if (type == "vfat") {
        // FAT16 and FAT12 are all "vfat" to blkid; its VERSION tells them apart.
        std::string version = RunCapture({"blkid", "-p", "-o", "value", "-s", "VERSION", source});
        if (!version.empty()) return version;
    }
    if (!type.empty()) return type;
    std::string own = SuperblockName(source);
    return own.empty() ? Str<1337>() : own;
}

std::string UnsupportedFileSystemText(const std::string& drive, const std::string& fsName) {
    return TextWith(TextId<1400>, drive, fsName);
}

std::string SearchResultText(size_t n) {
    if (n == 0) return " (" + Str<352>() + ")";
    if (n == 1) return " (" + Str<344>() + " 1 " + Str<354>() + ")";
    return " (" + Str<344>() + " " + std::to_string(n) + " " + Str<353>() + ")";
}

std::string SearchStatusText(size_t n) {
    return Str<274>() + " (" + Str<344>() + ": " + std::to_string(n) + " " + Str<416>() + " " +
           (n == 1 ? Str<284>() : Str<349>()) + ")";
}

uint64_t MissingClusters(const std::vector<DataRun>& runs, uint64_t size,
                         uint32_t bytesPerCluster) {
    if (bytesPerCluster == 0) return 0;
    const uint64_t needed = size / bytesPerCluster + (size % bytesPerCluster != 0 ? 1 : 0);
    uint64_t covered = 0;
    for (const DataRun& r : runs) {
        if (!r.name.empty()) continue;  // a named stream's runs are not the file's
        covered += std::min(r.clusterCount, needed - covered);
        if (covered == needed) return 0;
    }
    return needed - covered;
}

int Recoverability(const NtfsVolume& volume, const std::vector<DataRun>& runs, uint64_t missing,
                   const OpContext& op, uint64_t* reallocated, std::string* list) {
    uint64_t total = 0, inUse = 0;
    for (const DataRun& r : runs) {
        if (r.sparse) continue;
        total += r.clusterCount;
        for (uint64_t i = 0; i < r.clusterCount; ++i) {
            ClusterIndex c = r.lcn + i;
            if (volume.IsClusterInUse(c)) {
                ++inUse;
                if (list) *list += std::to_string(c) + " ";
            }
            // Large files: let the user stop between pieces of the walk.
            if ((i & 0xFFFF) == 0xFFFF) {
                if (op.Stopped()) return -1;
            }
        }
    }
    if (reallocated) *reallocated = inUse;
    const uint64_t lost = inUse + missing;
    total += missing;
    if (lost == 0 || total == 0) return 100;
    return 100 - static_cast<int>(100.0 * static_cast<double>(lost) / static_cast<double>(total));
}

namespace {

// A file found in the current batch, waiting for the test of its first data sector.
// Its runs are not kept: they are read again from its record when asked for.
struct Pending {
    RecoverableFile file;
    Lba firstDataSector = 0;  // 0: nothing to test (resident)
    bool keep = true;
};

// What the loop works with from batch to batch, its storage kept: the request each
// record is parsed into, the files found in the batch (the first `used` of `items`)
// and the first-data-sector reads with their buffer.
struct Batch {
    FileRecordRequest req;
    std::vector<Pending> items;
    size_t used = 0;
    std::vector<SectorRead> reads;
    std::vector<uint8_t> bytes;
};

// One record of the loop. Search mode adds what it finds to the batch. Returns Stopped
// when the stop flag ended a bitmap walk, Failed when a scrub write failed.
Outcome HandleRecord(SearchContext& ctx, NtfsVolume& vol, MftRecordNumber n,
                     std::span<const uint8_t> rec, Batch& batch) {
    FileRecordHeader h;
    if (!ParseRecordHeader(rec, &h) || h.signature != kFileSignature) return Outcome::Ok;
    if (h.flags & kRecordDirectory) vol.RememberDirectory(n, NtfsVolume::FactsOf(rec));
    // In-use records and directories end the parse at once; spare the copy.
    if (h.flags & (kRecordInUse | kRecordDirectory)) return Outcome::Ok;

    FileRecordRequest& req = batch.req;
    req.ClearOutputs();
    req.record = rec;
    req.recordSector = vol.RecordToSector(n);
    req.wantDetails = ctx.wantDetails;
    req.wantFolder = ctx.mode == SearchMode::Search;
    // Search mode tests the first data sectors batch by batch. Scrub mode does not test
    // them at all: a record whose data has been overwritten (by a free-space clean,
    // say) still names the file and must be scrubbed as well.
    req.deferUniformCheck = true;
    RecordOutcome o = vol.ParseFileRecord(req, 0, false, false, 0);

    if (ctx.mode == SearchMode::Scrub) {
        if (o != RecordOutcome::DeletedFound && o != RecordOutcome::DeletedEmpty)
            return Outcome::Ok;
        const NtfsBootInfo& b = vol.Boot();
        if (req.recordSector == 0 ||
            ScrubGuardProtects(b, req.recordSector, b.sectorsPerRecord, ctx.protectedStartSector))
            return Outcome::Ok;
        std::vector<uint8_t> copy(rec.begin(), rec.end());
        if (!ScrubDeletedRecord(copy)) return Outcome::Ok;
        // Only bytes the file system will read back as a valid record are written.
        std::vector<uint8_t> check = copy;
        FileRecordHeader sh;
        if (!ParseRecordHeader(check, &sh) || !ApplyFixup(check, sh.usaOffset, sh.usaCount))
            return Outcome::Ok;
        if (!vol.WriteRecord(n, copy)) return Outcome::Failed;
        if (ctx.onFound) {
            RecoverableFile f;
            f.name = req.fileName;
            f.size = req.dataSize;
            f.location = req.recordSector;
            f.resident = req.resident;
            f.fs = FileSystemKind::Ntfs;
            f.attributes = req.attributeText.empty() ? AttributeText(0) : req.attributeText;
            ctx.onFound(f);
        }
        return Outcome::Ok;
    }

    if (o != RecordOutcome::DeletedFound) return Outcome::Ok;
    int recoverability = 100;
    std::string list;
    uint64_t reallocated = 0;
    uint64_t missing = 0;
    if (!req.resident) {
        // A size the runs do not hold (a damaged or crafted record) is missing data,
        // not recoverable data.
        missing = MissingClusters(req.runs, req.dataSize, vol.Boot().bytesPerCluster);
        recoverability = Recoverability(vol, req.runs, missing, ctx.Op(), &reallocated,
                                        ctx.wantDetails ? &list : nullptr);
        if (recoverability < 0) return Outcome::Stopped;
    }
    if (recoverability <= 0) return Outcome::Ok;

    // Every field is set: the item's storage is reused from an earlier batch.
    if (batch.used == batch.items.size()) batch.items.emplace_back();
    Pending& p = batch.items[batch.used];
    RecoverableFile& f = p.file;
    f.created = req.created;
    f.modified = req.modified;
    f.name.assign(req.fileName);
    if (req.attributeText.empty())
        f.attributes = AttributeText(0);
    else
        f.attributes.assign(req.attributeText);
    f.recoverability = recoverability;
    f.size = req.dataSize;
    f.location = req.recordSector;
    f.sequence = req.sequence;
    f.resident = req.resident;
    f.fs = FileSystemKind::Ntfs;
    f.directoryCluster = 0;
    f.folderDeleted = false;
    f.isFolder = false;
    f.entriesInside = 0;
    if (req.folderName.empty())
        f.folder.assign(Str<350>());
    else if (req.folderName == ".")
        f.folder.assign(ctx.driveText);
    else
        f.folder.assign(req.folderName);
    f.details.clear();
    if (ctx.wantDetails) {
        f.details.assign(req.details);
        if (reallocated > 0)
            f.details += "\n\n" + TextWith(TextId<1401>, std::to_string(reallocated)) +
                         "\n--------------------------------\n" + list;
        if (missing > 0) f.details += "\n\n" + TextWith(TextId<1402>, std::to_string(missing));
    }
    p.firstDataSector = req.resident ? 0 : req.firstDataSector;
    p.keep = true;
    ++batch.used;
    return Outcome::Ok;
}

// Tests the first data sector of every file found in the batch, all of them read
// together in disk order (scattered single-sector reads, one per file, were the slow
// part of the search), then lists the files that pass in the order they were found.
// A sector that cannot be read does not count as overwritten.
void FlushPending(SearchContext& ctx, NtfsVolume& vol, Batch& batch) {
    const std::span<Pending> pending(batch.items.data(), batch.used);
    std::vector<SectorRead>& reads = batch.reads;
    reads.clear();
    for (const Pending& p : pending)
        if (p.firstDataSector != 0)
            reads.push_back({p.firstDataSector, nullptr, kSectorSize, false});
    std::sort(reads.begin(), reads.end(),
              [](const SectorRead& a, const SectorRead& b) { return a.sector < b.sector; });
    batch.bytes.resize(reads.size() * kSectorSize);
    for (size_t k = 0; k < reads.size(); ++k)
        reads[k].buffer = batch.bytes.data() + k * kSectorSize;
    vol.Drive().ReadScattered(reads);
    for (Pending& p : pending) {
        if (p.firstDataSector == 0) continue;
        // Files may share a first sector (crafted or damaged records): any read of it
        // tells.
        auto it = std::lower_bound(
            reads.begin(), reads.end(), p.firstDataSector,
            [](const SectorRead& r, uint64_t sector) { return r.sector < sector; });
        const auto* bytes = static_cast<const uint8_t*>(it->buffer);
        if (it->ok && IsUniformSector(std::span<const uint8_t>(bytes, kSectorSize)))
            p.keep = false;  // overwritten already
    }
    for (Pending& p : pending)
        if (p.keep) ctx.Add(p.file);
    // The running count, once per batch: what the status shows at the batch's end.
    if (ctx.wantStatus && !pending.empty()) ctx.Op().Status(SearchStatusText(ctx.foundCount));
    batch.used = 0;
}

}  // namespace

Outcome SearchNtfs(SearchContext& ctx, NtfsVolume& vol) {
    // A volume whose metadata cannot be read was never searched: saying "none found"
    // would tell the user there is nothing to recover.
    if (!vol.Load()) return Outcome::Failed;
    const NtfsBootInfo& b = vol.Boot();
    uint64_t count = vol.RecordCount();
    ctx.Op().SetRange(ProgressSink::Current, 0, static_cast<int64_t>(count));
    // Large sequential batches: the $MFT is read in big transfers rather than one
    // record at a time, of 256 KiB: small enough to stay in the processor's cache
    // between the kernel's copy and the parse (4 MiB batches spilled out of it), and a
    // buffer of few pages to fault in (a 1 MiB one cost more than the extra reads).
    const uint64_t batch = std::max<uint64_t>(1, (256u << 10) / b.recordSize);
    std::vector<uint8_t> buf, one;
    Batch found;
    for (MftRecordNumber first = 0; first < count;) {
        uint64_t n = std::min(batch, count - first);
        ctx.Op().PauseCheck();
        if (ctx.Op().Stopped()) return Outcome::Stopped;
        if (ctx.mode == SearchMode::Scrub) ctx.Op().Status(Str<476>() + std::to_string(first));
        bool batchOk = vol.ReadRecords(first, n, &buf);
        Outcome o = Outcome::Ok;
        for (uint64_t k = 0; k < n && o == Outcome::Ok; ++k) {
            MftRecordNumber rn = first + k;
            if (rn < kSystemRecords) continue;
            if (ctx.Op().Stopped()) {
                o = Outcome::Stopped;
                break;
            }
            std::span<const uint8_t> rec;
            if (batchOk) {
                rec = std::span<const uint8_t>(buf).subspan(k * b.recordSize, b.recordSize);
            } else {
                // A bad sector somewhere in the batch: read its records one by one and
                // pass over those that cannot be read.
                if (!vol.ReadRecord(rn, &one)) continue;
                rec = one;
            }
            o = HandleRecord(ctx, vol, rn, rec, found);
        }
        // What was found before a stop is still listed.
        FlushPending(ctx, vol, found);
        if (o != Outcome::Ok) return o;
        if (ctx.Op().Stopped()) return Outcome::Stopped;
        first += n;
        ctx.Op().SetPos(ProgressSink::Current, static_cast<int64_t>(first));
    }
    return Outcome::Ok;
}

SearchReport SearchDrive(SearchContext& ctx, const std::string& source,
                         const std::string& driveName, std::unique_ptr<NtfsVolume>* volumeOut) {
    SearchReport rep;
    CRawDriveRef& drive = *ctx.drive;
    bool forWrite = ctx.mode == SearchMode::Scrub;
    uint8_t sector0[kSectorSize];
    // Too small to hold a boot sector: no file system at all, which is not a read error.
    if (drive.Open(source, forWrite) && drive.SizeBytes() < kSectorSize) {
        drive.Close();
        rep.end = SearchEnd::Unsupported;
        rep.fsName = FileSystemName(source);
        rep.message = UnsupportedFileSystemText(driveName, rep.fsName);
        return rep;
    }
    if (!drive.IsOpen() || !drive.Read(0, sector0, kSectorSize)) {
        rep.error = drive.Failure().value_or(Error(ErrorCode::Io, source));
        drive.Close();
        rep.end = SearchEnd::Failed;
        rep.message = Str<1403>();
        LogToFile(TextWith(TextId<1404>, driveName), ctx.Op().Log());
        LogToFile(rep.message, ctx.Op().Log());
        return rep;
    }
    std::string fatName;
    DetectedFs kind = DetectFileSystem(sector0, drive.SizeBytes(), &fatName);
    if (kind == DetectedFs::Other) {
        drive.Close();
        rep.end = SearchEnd::Unsupported;
        rep.fsName = FileSystemName(source);
        rep.message = UnsupportedFileSystemText(driveName, rep.fsName);
        return rep;
    }
    rep.fs = kind == DetectedFs::Ntfs ? FileSystemKind::Ntfs : FileSystemKind::Fat32;
    rep.fsName = kind == DetectedFs::Ntfs ? "NTFS" : "FAT32";

    ctx.Op().Status(Str<274>());
    LogToFile(TextWith(TextId<1404>, driveName), ctx.Op().Log());
    ctx.found.clear();
    ctx.foundCount = 0;
    Outcome o;
    if (kind == DetectedFs::Ntfs) {
        auto vol = std::make_unique<NtfsVolume>(drive);
        o = SearchNtfs(ctx, *vol);
        if (o == Outcome::Failed) rep.error = vol->Failure();
        if (volumeOut) *volumeOut = std::move(vol);
    } else {
        Error fatError;
        o = SearchFat32(ctx, &fatError);
        if (o == Outcome::Failed) rep.error = std::move(fatError);
    }
    // Scrubbed records are only gone once they are on the disk, not in the kernel's cache.
    if (forWrite && o == Outcome::Ok && !drive.Flush()) {
        o = Outcome::Failed;
        rep.error = drive.Failure();
    }
    drive.Close();

    std::string result = SearchResultText(ctx.foundCount);
    switch (o) {
        case Outcome::Stopped:
            rep.end = SearchEnd::Aborted;
            rep.message = TextWith(TextId<1405>, result);
            break;
        case Outcome::Failed:
            rep.end = SearchEnd::Failed;
            rep.message = Str<1403>();
            break;
        default:
            rep.end = SearchEnd::Completed;
            rep.message = TextWith(TextId<1406>, result);
            break;
    }
    LogToFile(rep.message, ctx.Op().Log());
    ctx.Op().Status(rep.message);
    return rep;
}

}  // namespace tw::volume
