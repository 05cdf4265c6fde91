// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/slack_scan.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <locale.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/rawio.h"
#include "platform/strings.h"
#include "wipe/slack.h"

namespace tw::wipe {
namespace {

constexpr uint32_t kSector = 512;
// Both progress bars of the analysis page span this range, as in the clean-up run.
constexpr int64_t kProgressRange = 372;

// Extent flags that mean the bytes at the extent's place are not the file's own
// cluster: not placed yet, not the file's plain bytes, or shared with metadata or other
// files' tails.
constexpr uint32_t kNoClusterFlags = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                     FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_ENCRYPTED |
                                     FIEMAP_EXTENT_NOT_ALIGNED | FIEMAP_EXTENT_DATA_INLINE |
                                     FIEMAP_EXTENT_DATA_TAIL;

// File systems whose FIEMAP physical addresses are byte offsets on the one device they
// are mounted from. btrfs, for one, answers with addresses of its own chunk space,
// which would read another file's bytes if taken as device offsets.
bool PhysicalIsDeviceOffset(int fd) {
    struct statfs sf {};
    if (fstatfs(fd, &sf) != 0) return false;
    switch (static_cast<unsigned long>(sf.f_type)) {
        case EXT4_SUPER_MAGIC:  // also ext2 and ext3
        case XFS_SUPER_MAGIC:
        case MSDOS_SUPER_MAGIC:
            return true;
        default:
            return false;
    }
}

uint32_t ClusterSizeOf(int fd) {
    struct statvfs sv {};
    if (fstatvfs(fd, &sv) != 0) return 0;
    const unsigned long size = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    return size > (1u << 30) ? 0 : static_cast<uint32_t>(size);
}

FileTime FromStatx(const statx_timestamp& t) {
    return FileTimeFromTimespec(
        timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
}

// Opens a file only to read it: no link followed, no blocking on a FIFO put in its
// place, and no access time changed where the owner (or root) may ask for that.
int OpenForLook(int dirFd, const char* name) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dirFd, name, kFlags | O_NOATIME);
    if (fd < 0 && errno == EPERM) fd = openat(dirFd, name, kFlags);
    return fd;
}

struct LookFacts {
    uint64_t size = 0, allocated = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    FileTime created = 0, modified = 0;
    bool regular = false, compressed = false, encrypted = false, system = false;
};

bool Look(int fd, LookFacts* out) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0)
        return false;
    LookFacts f;
    f.size = sx.stx_size;
    f.allocated = sx.stx_blocks * 512;
    f.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    f.ino = static_cast<ino_t>(sx.stx_ino);
    f.mtime =
        timespec{static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
    f.modified = FromStatx(sx.stx_mtime);
    if (sx.stx_mask & STATX_BTIME) f.created = FromStatx(sx.stx_btime);
    f.regular = S_ISREG(sx.stx_mode);
    f.compressed = (sx.stx_attributes & STATX_ATTR_COMPRESSED) != 0;
    f.encrypted = (sx.stx_attributes & STATX_ATTR_ENCRYPTED) != 0;
    f.system = (sx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
    *out = f;
    return true;
}

bool SameFile(const LookFacts& a, const LookFacts& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

std::string FormatLocal(const char* format, time_t t) {
    // Day and month names in English whatever the user's locale, as in the log.
    static locale_t classic = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    tm local{};
    if (!localtime_r(&t, &local)) return {};
    char buf[128];
    const size_t n = strftime_l(buf, sizeof buf, format, &local, classic);
    return std::string(buf, n);
}

// Drops the cached pages of a byte range of a device or image file. The file system
// writes file data past the device's own page cache, so a page cached by an earlier raw
// read (an earlier view, a search) would still show what the slack held before a wipe.
void ForgetCachedRange(const std::string& source, uint64_t offset, uint64_t length) {
    const Result<int> fd = platform::OpenRawForRead(source);
    if (!fd) return;
    posix_fadvise(fd.value(), static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_DONTNEED);
    close(fd.value());
}

}  // namespace

// ---------------------------------------------------------------- locating

LastClusterPlace LocateLastCluster(int fd, uint64_t sizeBytes, uint32_t clusterSize,
                                   uint64_t allocatedBytes) {
    LastClusterPlace r;
    if (sizeBytes == 0 || clusterSize == 0) {
        r.place = ClusterPlace::NotOnDisk;
        return r;
    }
    const uint64_t lastStart = (sizeBytes - 1) / clusterSize * clusterSize;

    // One extent is enough for the last cluster; a few leave room for a file system
    // that reports the range in small pieces.
    constexpr uint32_t kExtents = 8;
    std::vector<uint64_t> storage(
        (sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / sizeof(uint64_t) + 1, 0);
    auto* fm = reinterpret_cast<fiemap*>(storage.data());
    auto ask = [&](uint32_t flags) {
        std::fill(storage.begin(), storage.end(), 0);
        fm->fm_start = lastStart;
        fm->fm_length = sizeBytes - lastStart;
        fm->fm_flags = flags;
        fm->fm_extent_count = kExtents;
        return ioctl(fd, FS_IOC_FIEMAP, fm) == 0;
    };
    // FIEMAP_FLAG_SYNC gives delayed-allocation data its place first. A file system
    // that refuses the flag (EBADR) is asked again after its data was flushed.
    bool answered = ask(FIEMAP_FLAG_SYNC);
    if (!answered && errno == EBADR) {
        fdatasync(fd);
        answered = ask(0);
    }
    if (!answered) {
        // No map. Less than one cluster allocated in all means the data lives in the
        // file's record (a small file under ntfs-3g): no cluster holds its slack.
        r.place = allocatedBytes < clusterSize ? ClusterPlace::NotOnDisk : ClusterPlace::Unknown;
        return r;
    }

    const fiemap_extent* hit = nullptr;
    const uint32_t mapped = std::min(fm->fm_mapped_extents, kExtents);
    for (uint32_t i = 0; i < mapped; ++i) {
        const fiemap_extent& e = fm->fm_extents[i];
        if (e.fe_logical <= lastStart && sizeBytes - 1 < e.fe_logical + e.fe_length) {
            hit = &e;
            break;
        }
    }
    if (!hit || (hit->fe_flags & kNoClusterFlags) != 0) {
        r.place = ClusterPlace::NotOnDisk;  // a hole, or no cluster of the file's own
        return r;
    }
    if (!PhysicalIsDeviceOffset(fd)) {
        r.place = ClusterPlace::Unknown;
        return r;
    }
    const uint64_t physical = hit->fe_physical + (lastStart - hit->fe_logical);
    if (physical % clusterSize != 0 || physical < hit->fe_physical) {
        r.place = ClusterPlace::Unknown;
        return r;
    }
    r.place = ClusterPlace::OnDisk;
    r.byteOffset = physical;
    return r;
}

uint32_t LiveAttributeBits(std::string_view name, bool writable, bool system, bool compressed,
                           bool encrypted) {
    uint32_t bits = 0;
    if (!writable) bits |= 0x1;
    if (!name.empty() && name[0] == '.') bits |= 0x2;
    if (system) bits |= 0x4;
    if (compressed) bits |= 0x800;
    if (encrypted) bits |= 0x4000;
    return bits != 0 ? bits : 0x80;
}

std::string SlackItem::LastClusterText() const {
    return lastClusterKnown ? std::to_string(lastCluster) : Str<1337>();
}

// ---------------------------------------------------------------- texts

std::string SlackResultText(size_t n) {
    if (n == 0) return Str<1330>();
    if (n == 1) return TextWith(TextId<1331>, S<344>);
    return TextWith(TextId<1332>, S<344>, std::to_string(n));
}

std::string SlackStatusText(size_t n) {
    return TextWith(n == 1 ? TextId<1333> : TextId<1334>, S<344>, std::to_string(n));
}

std::string DetailSizeText(uint64_t bytes) {
    if (bytes < 1024) return TextWith(TextId<1335>, std::to_string(bytes));
    return TextWith(TextId<1336>, FormatSize(bytes, "%2.2f"), std::to_string(bytes));
}

std::string DetailTimeText(FileTime time) {
    if (time == 0) return Str<1337>();
    return FormatLocal("%A, %B %d, %Y - %H:%M:%S", static_cast<time_t>(UnixFromFileTime(time)));
}

std::string SlackDetailsText(const SlackItem& item, std::string_view attributeText) {
    std::string t = Str<1338>() + "\n" + std::string(53, '-') + "\n";
    t += TextWith(TextId<1339>, item.name) + "\n";
    t += TextWith(TextId<1340>, DetailSizeText(item.sizeBytes)) + "\n";
    t += TextWith(TextId<1341>, DetailSizeText(item.slackBytes)) + "\n";
    t += TextWith(TextId<1342>, DetailTimeText(item.created)) + "\n";
    t += TextWith(TextId<1343>, DetailTimeText(item.modified)) + "\n";
    t += TextWith(TextId<1344>, attributeText) + "\n";
    t += TextWith(TextId<1345>, item.compressed ? S<1346> : S<1347>) + "\n";
    t += TextWith(TextId<1348>, item.LastClusterText());
    return t;
}

// ---------------------------------------------------------------- the enumeration

SlackVerdict ExamineSlack(const WalkFile& file, uint32_t clusterSize, SlackItem* item) {
    // The walker's size decides the cheap cases without opening the file.
    if (clusterSize == 0 || ComputeSlack(file.facts.sizeBytes, clusterSize).slackBytes == 0)
        return SlackVerdict::NoSlack;
    const int fd = OpenForLook(file.dirFd, file.name.c_str());
    if (fd < 0) return SlackVerdict::Unreadable;
    LookFacts f;
    if (!Look(fd, &f) || !f.regular || f.ino != file.facts.ino || f.dev != file.facts.dev) {
        close(fd);
        return SlackVerdict::Unreadable;
    }
    const SlackGeometry g = ComputeSlack(f.size, clusterSize);
    if (g.slackBytes == 0) {
        close(fd);
        return SlackVerdict::NoSlack;
    }
    const LastClusterPlace place = LocateLastCluster(fd, f.size, clusterSize, f.allocated);
    close(fd);
    if (place.place == ClusterPlace::NotOnDisk) return SlackVerdict::NotOnDisk;

    SlackItem it;
    it.path = file.Path();
    it.folder = file.folder;
    it.name = file.name;
    it.sizeBytes = f.size;
    it.slackBytes = g.slackBytes;
    it.clusterSize = clusterSize;
    it.lastClusterKnown = place.place == ClusterPlace::OnDisk;
    it.lastCluster = it.lastClusterKnown ? place.byteOffset / clusterSize : 0;
    it.created = f.created;
    it.modified = f.modified;
    it.compressed = f.compressed;
    const bool writable =
        faccessat(file.dirFd, file.name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
    it.attributeBits = LiveAttributeBits(file.name, writable, f.system, f.compressed, f.encrypted);
    it.dev = f.dev;
    it.ino = f.ino;
    *item = std::move(it);
    return SlackVerdict::Listed;
}

SlackScanReport CSlackScanner::Scan(const OpContext& op, const std::string& start,
                                    const std::string& driveName, const CCountingWalk* counts) {
    found_.clear();
    filesExamined = withoutSlack = notOnDisk = placeUnknown = 0;
    SlackScanReport rep;
    log::LogToFile(TextWith(TextId<1349>, driveName), op.Log());
    op.Status(SlackStatusText(0));
    op.SetRange(ProgressSink::Overall, 0, kProgressRange);

    // The walk never leaves the start's file system: one cluster size serves every file.
    uint32_t clusterSize = 0;
    if (const int dirFd = open(start.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        clusterSize = ClusterSizeOf(dirFd);
        close(dirFd);
    }
    std::set<std::pair<dev_t, ino_t>> seen;  // a file with several names is one slack
    CDriveWalker walker;
    walker.onSkip = [&](const std::string& path, SkipReason reason) {
        if (onSkip) onSkip(path, SkipReasonText(reason));
    };
    walker.onFile = [&](const WalkFile& file) {
        ++filesExamined;
        if (counts) {
            const uint64_t total = counts->Record().files.load();
            if (total > 0)
                op.SetPos(ProgressSink::Overall,
                          static_cast<int64_t>(static_cast<double>(kProgressRange) *
                                               static_cast<double>(std::min(filesExamined, total)) /
                                               static_cast<double>(total)));
        }
        SlackItem item;
        switch (ExamineSlack(file, clusterSize, &item)) {
            case SlackVerdict::NoSlack:
                ++withoutSlack;
                break;
            case SlackVerdict::NotOnDisk:
                ++notOnDisk;
                if (onSkip) onSkip(file.Path(), Str<1350>());
                break;
            case SlackVerdict::Unreadable:
                if (onSkip) onSkip(file.Path(), SkipReasonText(SkipReason::Unreadable));
                break;
            case SlackVerdict::Listed:
                if (!seen.insert({item.dev, item.ino}).second) break;
                if (!item.lastClusterKnown) ++placeUnknown;
                found_.push_back(std::move(item));
                if (onFound) onFound(found_.back());
                op.Status(SlackStatusText(found_.size()));
                break;
        }
    };

    const Outcome o = walker.Walk(op, start);
    const std::string result = SlackResultText(found_.size());
    switch (o) {
        case Outcome::Failed:
            rep.end = SlackScanEnd::Failed;
            rep.error = walker.error();
            rep.message = TextWith(TextId<1351>, ErrorText(rep.error));
            break;
        case Outcome::Stopped:
            rep.end = SlackScanEnd::Aborted;
            rep.message = TextWith(TextId<1352>, result);
            break;
        default:
            rep.end = SlackScanEnd::Completed;
            rep.message = TextWith(TextId<1353>, result);
            op.SetPos(ProgressSink::Overall, kProgressRange);
            break;
    }
    log::LogToFile(rep.message, op.Log());
    op.Status(rep.message);
    return rep;
}

// ---------------------------------------------------------------- the slack bytes

const std::string& SlackViewDeniedText() {
    static const std::string text = Str<1354>();
    return text;
}

Result<std::string> SlackViewSource(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return Error::FromErrno(path);
    const auto mount = MountOf(path);
    if (!mount) return Error(ErrorCode::NotFound, path).Says(TextId<1355>);
    // A bind mount or a subvolume whose files carry another device number than the mount
    // point: the device named by the mount may not be the one holding the file.
    if (mount->devId != st.st_dev) return Error(ErrorCode::Unsupported, path).Says(TextId<1356>);
    const auto kind = platform::ClassifyRawSource(mount->device);
    if (kind != platform::RawKind::BlockDevice && kind != platform::RawKind::RegularFile)
        return Error(ErrorCode::Unsupported, mount->device)
            .With(mount->mountPoint)
            .Says(TextId<1357>);
    return mount->device;
}

Result<FileSlackBytes> ReadFileSlack(const std::string& path, const SectorReader& read) {
    const platform::UniqueFd holder(OpenForLook(AT_FDCWD, path.c_str()));
    if (!holder) return Error::FromErrno(path);
    const int fd = holder.get();

    LookFacts before;
    if (!Look(fd, &before)) return Error::FromErrno(path);
    if (!before.regular) return Error(ErrorCode::NotRegularFile, path).Says(TextId<1358>);
    const uint32_t cluster = ClusterSizeOf(fd);
    if (cluster == 0 || cluster % kSector != 0)
        return Error(ErrorCode::Unsupported, path).Says(TextId<1359>);
    const SlackGeometry g = ComputeSlack(before.size, cluster);
    if (g.slackBytes == 0) return Error(ErrorCode::Invalid, path).Says(TextId<1360>);
    const LastClusterPlace place = LocateLastCluster(fd, before.size, cluster, before.allocated);
    if (place.place == ClusterPlace::NotOnDisk)
        return Error(ErrorCode::Unsupported, path).Says(TextId<1361>);
    if (place.place == ClusterPlace::Unknown)
        return Error(ErrorCode::Unsupported, path).Says(TextId<1362>);

    if (auto source = SlackViewSource(path); source.ok())
        ForgetCachedRange(source.value(), place.byteOffset, cluster);

    FileSlackBytes out;
    out.path = path;
    out.sizeBytes = before.size;
    out.clusterSize = cluster;
    out.byteOffset = place.byteOffset;
    out.lastCluster = place.byteOffset / cluster;
    out.slackOffset = static_cast<size_t>(before.size % cluster);
    out.cluster.assign(cluster, 0);
    if (!read || !read(place.byteOffset / kSector, out.cluster.data(), cluster))
        return Error(ErrorCode::Io, path)
            .At(static_cast<int64_t>(out.lastCluster))
            .Says(TextId<1363>);

    // The bytes are the file's only if nothing moved meanwhile: same size, same time,
    // same place.
    LookFacts after;
    const bool same = Look(fd, &after) && SameFile(before, after) && [&] {
        const LastClusterPlace again = LocateLastCluster(fd, after.size, cluster, after.allocated);
        return again.place == ClusterPlace::OnDisk && again.byteOffset == place.byteOffset;
    }();
    if (!same) return Error(ErrorCode::Changed, path).Says(TextId<1364>);
    return out;
}

}  // namespace tw::wipe
