// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/file_wiper.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/passes.h"
#include "platform/strings.h"
#include "wipe/queued_writer.h"

namespace tw::wipe {

namespace {

// Writes go out in pieces of up to this many bytes: the pass buffer repeated. Big
// requests keep unbuffered writes near the device's speed; the bytes on disk are the
// same as writing the pass buffer once per piece of its size.
constexpr uint64_t kIoTarget = 4u << 20;
// Writes in flight at once for unbuffered passes.
constexpr unsigned kQueueDepth = 4;
// A pass buffer larger than this is refused like a failed allocation: no caller needs
// one, and a runaway size must not make the wiper touch gigabytes of memory.
constexpr uint32_t kMaxPassBuffer = 256u << 20;
// The rename wait: 100 ms between tries, 5 s at most.
constexpr int kRenameWaitTries = 50;
constexpr auto kRenameWaitStep = std::chrono::milliseconds(100);

bool HasDirect(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_DIRECT) != 0;
}

bool DropDirect(int fd) {
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0) return false;
    return fcntl(fd, F_SETFL, fl & ~O_DIRECT) == 0;
}

// The texts of the wipers' refusals and failures (resources/strings.tsv): each names
// the reason only, shown after the file's name.
constexpr int kLockedFlock = TextId<1250>;
constexpr int kLockedRecord = TextId<1251>;  // %3: the process holding it
constexpr int kLockedOfd = TextId<1252>;
constexpr int kLeased = TextId<1253>;
constexpr int kSymlink = TextId<1254>;
constexpr int kNotRegular = TextId<1255>;
constexpr int kImmutable = TextId<1256>;
constexpr int kAppendOnly = TextId<1257>;
constexpr int kNoWritePermission = TextId<1258>;
constexpr int kReadOnlyFs = TextId<1259>;
constexpr int kFolderDenies = TextId<1260>;  // %3: the folder
constexpr int kFolderSticky = TextId<1261>;  // %3: the folder
constexpr int kGone = TextId<1262>;
constexpr int kNotExaminable = TextId<1263>;
constexpr int kNotOpenable = TextId<1264>;
constexpr int kNotWritable = TextId<1265>;
constexpr int kNotDeleted = TextId<1266>;
constexpr int kPassShort = TextId<1267>;  // %3: the pass, %2: the bytes it overwrote
constexpr int kNoPassMemory = TextId<1268>;
constexpr int kNoPassBuffer = TextId<1269>;
constexpr int kMountedOver = TextId<1270>;
constexpr int kNoName = TextId<1271>;

Error Refused(ErrorCode code, const std::string& path, int text) {
    return Error(code, path).Says(text);
}

// A failed call on `path`: the code follows from `err`.
Error CallFailed(int err, const std::string& path, int text) {
    return Error::FromErrno(err, path).Says(text);
}

// Immutable or append-only, from the inode flags of an open file; nothing when neither
// is set or the file system keeps no such flags.
std::optional<Error> FlagRefusal(int fd, const std::string& path) {
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return std::nullopt;  // no flags on this fs
    if (flags & FS_IMMUTABLE_FL) return Refused(ErrorCode::Immutable, path, kImmutable);
    if (flags & FS_APPEND_FL) return Refused(ErrorCode::Immutable, path, kAppendOnly);
    return std::nullopt;
}

// The file is locked by someone else: an exclusive flock, or a POSIX record lock or an
// open file description lock on any part of it. The two kinds are independent of each
// other on Linux, so both are asked; neither is kept.
std::optional<Error> LockRefusal(int fd, const std::string& path) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return Refused(ErrorCode::Locked, path, kLockedFlock);
    } else {
        flock(fd, LOCK_UN);
    }
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;  // the whole file
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0) {
        // Kernels before open file description locks: ask for record locks only.
        fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        if (fcntl(fd, F_GETLK, &fl) != 0) return std::nullopt;
    }
    if (fl.l_type == F_UNLCK) return std::nullopt;
    if (fl.l_pid > 0)
        return Refused(ErrorCode::Locked, path, kLockedRecord).With(std::to_string(fl.l_pid));
    return Refused(ErrorCode::Locked, path, kLockedOfd);
}

// Something is mounted over the file (a bind mount of another file, or of this one):
// the overwrite would reach the file mounted there, and the renames and the delete
// would fail on the mount point, so the wipe would destroy another file's data and
// report this one as not deleted.
bool MountedOver(const std::string& path, dev_t dev) {
    struct statx sx {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    // Kernels without the attribute: a file on another device than its folder.
    struct stat dir {};
    return stat(platform::ParentOf(path).c_str(), &dir) == 0 && dir.st_dev != dev;
}

// Everything that would stop the wipe of `path` part way, found before anything is
// changed: what it is, its flags, its permission, the folder's permission to rename and
// delete it (the sticky rule included), and locks held by others. `plain` is the plain
// and progress wipers' rule (the file itself must be writable, opened read-write); the
// Trash wiper opens read-only and gives a read-only file its write permission itself.
std::optional<Error> Refusal(const std::string& path, bool plain, uint64_t* lengthBytes) {
    if (path.empty()) return Refused(ErrorCode::Invalid, path, kNoName);
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? Refused(ErrorCode::NotFound, path, kGone)
                               : CallFailed(errno, path, kNotExaminable);
    if (S_ISLNK(st.st_mode)) return Refused(ErrorCode::NotRegularFile, path, kSymlink);
    if (!S_ISREG(st.st_mode)) return Refused(ErrorCode::NotRegularFile, path, kNotRegular);
    if (MountedOver(path, st.st_dev)) return Refused(ErrorCode::OnAnotherMount, path, kMountedOver);

    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        std::optional<Error> flags = FlagRefusal(fd, path);
        close(fd);
        if (flags) return flags;
    }
    if (plain) {
        if ((st.st_mode & S_IWUSR) == 0)
            return Refused(ErrorCode::ReadOnly, path, kNoWritePermission);
        if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
            return Refused(ErrorCode::ReadOnly, path,
                           errno == EROFS ? kReadOnlyFs : kNoWritePermission);
        // The renames and the delete need write and search permission on the folder,
        // and in a sticky folder (like /tmp) ownership of the file or of the folder.
        const std::string folder = platform::ParentOf(path);
        if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
            return Error(ErrorCode::Denied, path, errno).Says(kFolderDenies).With(folder);
        struct stat dir {};
        const uid_t me = geteuid();
        if (stat(folder.c_str(), &dir) == 0 && (dir.st_mode & S_ISVTX) && me != 0 &&
            me != st.st_uid && me != dir.st_uid)
            return Refused(ErrorCode::Denied, path, kFolderSticky).With(folder);
    }
    fd = open(path.c_str(),
              (plain ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == EWOULDBLOCK) return Refused(ErrorCode::Locked, path, kLeased);
        return CallFailed(errno, path, kNotOpenable);
    }
    std::optional<Error> why;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = Refused(ErrorCode::NotRegularFile, path, kNotRegular);
    else
        why = LockRefusal(fd, path);
    close(fd);
    if (!why && lengthBytes) *lengthBytes = static_cast<uint64_t>(st.st_size);
    return why;
}

// The probe of each variant (see Refusal). Gives the length; `why` gets the reason of a
// refusal.
bool Probe(const std::string& path, bool readWrite, uint64_t* lengthBytes, Error* why) {
    std::optional<Error> refusal = Refusal(path, readWrite, lengthBytes);
    if (!refusal) return true;
    *why = std::move(*refusal);
    return false;
}

// Gives the user write permission on a regular file or folder ("clearing the
// attributes"). Symbolic links are left alone: chmod would follow them.
bool AddUserWrite(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return false;
    if (st.st_mode & S_IWUSR) return true;
    return chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool UserMayWrite(const std::string& path) {
    return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

// "Read-only": the owner's write bit is off, or this user may not write. The mode bit
// counts for root too, so a read-only file means the same whoever runs the wipe.
bool IsReadOnly(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
    return (st.st_mode & S_IWUSR) == 0 || !UserMayWrite(path);
}

bool PassBufferUsable(uint32_t size) { return size != 0 && size <= kMaxPassBuffer; }

std::string ScrambledName(const std::string& name) {
    std::string out = name;
    for (char& c : out)
        if (c != '.') c = WipeRandomLetter();
    return out;
}

uint32_t ReadSysfsNumber(const std::string& file) {
    std::ifstream in(file);
    uint64_t v = 0;
    if (!(in >> v) || v == 0 || v > (1u << 20)) return 0;
    return static_cast<uint32_t>(v);
}

}  // namespace

// ---------------------------------------------------------------- reading back

namespace {

// The read-back goes in pieces of this size, this many read ahead of the compare: big
// enough for unbuffered reads near the device's speed, small enough that the buffers
// (touched for the first time on every read-back) cost little to set up.
constexpr uint64_t kReadPiece = 2u << 20;
constexpr unsigned kReadDepth = 4;

// Where the `n` bytes at `data` first differ from `pattern` repeated, the first of them
// standing for pattern[phase % patternSize]; n when all match. Compared a pattern's
// length at a time; the byte-wise look only finds where.
uint64_t FirstDifference(const uint8_t* data, uint64_t n, const uint8_t* pattern,
                         uint64_t patternSize, uint64_t phase) {
    uint64_t pos = phase % patternSize;
    for (uint64_t i = 0; i < n;) {
        const uint64_t run = std::min<uint64_t>(n - i, patternSize - pos);
        if (std::memcmp(data + i, pattern + pos, static_cast<size_t>(run)) != 0) {
            uint64_t k = 0;
            while (data[i + k] == pattern[pos + k]) ++k;
            return i + k;
        }
        i += run;
        pos = 0;
    }
    return n;
}

// The read-back's buffers, page-aligned for unbuffered reads: anonymous memory in huge
// pages where the kernel gives them on request, so that the buffers are set up with a
// few page faults rather than one per 4 KiB (with the zeroing of a heap buffer, that
// was a good part of a verified wipe's time).
class ReadBuffers {
  public:
    explicit ReadBuffers(size_t size) : size_(size) {
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        data_ = static_cast<uint8_t*>(p);
        madvise(p, size, MADV_HUGEPAGE);  // a hint; small pages work as well
    }
    ~ReadBuffers() {
        if (data_) munmap(data_, size_);
    }
    ReadBuffers(const ReadBuffers&) = delete;
    ReadBuffers& operator=(const ReadBuffers&) = delete;
    uint8_t* data() const { return data_; }

  private:
    uint8_t* data_ = nullptr;
    size_t size_;
};

}  // namespace

std::optional<Error> ReadBackMatches(int fd, uint64_t offset, uint64_t length,
                                     const uint8_t* pattern, uint64_t patternSize,
                                     uint64_t patternPhase) {
    return ReadBackMatches(fd, {ReadBackPart{offset, length, patternPhase}}, pattern, patternSize);
}

std::optional<Error> ReadBackMatches(int fd, const std::vector<ReadBackPart>& parts,
                                     const uint8_t* pattern, uint64_t patternSize) {
    struct Piece {
        uint64_t offset, size, phase;
    };
    std::vector<Piece> pieces;
    uint64_t largest = 0;
    for (const ReadBackPart& part : parts)
        for (uint64_t at = 0; at < part.length; at += kReadPiece) {
            pieces.push_back(
                {part.offset + at, std::min(kReadPiece, part.length - at), part.phase + at});
            largest = std::max(largest, pieces.back().size);
        }
    if (pieces.empty()) return std::nullopt;
    if (patternSize == 0) return Error(ErrorCode::Invalid);
    // A handle of its own: the writer's may be write-only, and O_DIRECT is asked for on
    // it alone. Where the file system refuses unbuffered reads, the written pages are
    // flushed and dropped from the cache, so the reads come from the disk.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    platform::UniqueFd rfd(open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!rfd && errno == EINVAL) rfd.Reset(open(self.c_str(), O_RDONLY | O_CLOEXEC));
    if (!rfd) return Error::FromErrno({}).Says(kCannotOpen);
    auto dropCache = [&] {
        fdatasync(fd);
        for (const ReadBackPart& part : parts)
            posix_fadvise(rfd.get(), static_cast<off_t>(part.offset),
                          static_cast<off_t>(part.length), POSIX_FADV_DONTNEED);
    };
    if (!HasDirect(rfd.get())) dropCache();

    // One buffer per read in flight; piece i is read into slot i % slots. The queue is
    // declared after the buffers: it waits for its reads before they are freed.
    const size_t slots = std::min<size_t>(kReadDepth, pieces.size());
    const uint64_t slotSize = (largest + 4095) / 4096 * 4096;
    ReadBuffers in(static_cast<size_t>(slots * slotSize));
    if (!in.data()) return Error(ErrorCode::Io).Says(kNoPassMemory);
    // A single piece (a slack tail, a few clusters) is read at once, without setting up
    // a queue.
    std::optional<QueuedWriter> queue;
    if (pieces.size() > 1) queue.emplace(static_cast<unsigned>(slots), QueuedWriter::Use::Reads);
    bool queueing = queue && queue->Ok();
    std::vector<int64_t> result(slots, 0);
    std::vector<uint8_t> arrived(slots, 0);
    auto slotOf = [&](size_t i) { return in.data() + (i % slots) * slotSize; };

    size_t queued = 0;  // pieces handed to the queue, in order
    for (size_t i = 0; i < pieces.size(); ++i) {
        while (queueing && queued < pieces.size() && queued < i + slots) {
            const Piece& q = pieces[queued];
            arrived[queued % slots] = 0;
            if (!queue->QueueRead(rfd.get(), slotOf(queued), static_cast<size_t>(q.size), q.offset,
                                  queued)) {
                queueing = false;  // the rest one request at a time
                break;
            }
            ++queued;
        }
        const Piece& p = pieces[i];
        uint8_t* data = slotOf(i);
        uint64_t got = 0;
        if (i < queued) {
            uint64_t tag = 0;
            int64_t res = 0;
            while (!arrived[i % slots] && queue->Next(&tag, &res)) {
                arrived[tag % slots] = 1;
                result[tag % slots] = res;
            }
            if (arrived[i % slots] && result[i % slots] > 0)
                got = static_cast<uint64_t>(result[i % slots]);
        }
        // What the queue did not read (none, or it failed, or it came back short: the
        // end of the file, or a range not aligned for unbuffered reads) is read here.
        while (got < p.size) {
            const ssize_t n = pread(rfd.get(), data + got, static_cast<size_t>(p.size - got),
                                    static_cast<off_t>(p.offset + got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EINVAL && HasDirect(rfd.get()) && DropDirect(rfd.get())) {
                dropCache();  // this range is not aligned for unbuffered reads
                continue;
            }
            if (n < 0)
                return Error::FromErrno({})
                    .Says(kCannotRead)
                    .At(static_cast<int64_t>(p.offset + got));
            if (n == 0) break;  // the file ends before what was written
            got += static_cast<uint64_t>(n);
        }
        const uint64_t same = FirstDifference(data, got, pattern, patternSize, p.phase);
        if (same < p.size)
            return Error(ErrorCode::Mismatch).At(static_cast<int64_t>(p.offset + same));
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- CDriveGeometry

bool CDriveGeometry::SetRoot(const std::string& path) {
    if (path.empty()) return false;
    root_ = path;
    return true;
}

uint32_t CDriveGeometry::GetClusterSize() const {
    if (root_.empty()) return 0;
    struct statvfs sv {};
    if (statvfs(root_.c_str(), &sv) != 0) return 0;
    uint64_t size = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    if (size == 0 || size > (1u << 30)) return 0;
    return static_cast<uint32_t>(size);
}

uint32_t CDriveGeometry::GetSectorSize() const {
    if (root_.empty()) return 0;
    struct stat st {};
    if (stat(root_.c_str(), &st) != 0) return 0;
    const std::string dev = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                            std::to_string(minor(st.st_dev));
    if (uint32_t v = ReadSysfsNumber(dev + "/queue/logical_block_size")) return v;
    // A partition keeps its queue on the whole disk, one folder up.
    if (uint32_t v = ReadSysfsNumber(dev + "/../queue/logical_block_size")) return v;
    return 512;
}

// ---------------------------------------------------------------- free helpers

bool CanOpenForRead(const std::string& path) {
    if (path.empty()) return false;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool ScrambleName(std::string& path, int passCount, const OpContext* op) {
    if (passCount < 1 || path.empty()) return false;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return false;

    if (IsReadOnly(path)) AddUserWrite(path);

    // `current` always names where the file is, so a failed rename in the middle never
    // leaves the caller with a name that does not exist.
    std::string current = path;
    bool lastOk = false;
    for (int i = 0; i < passCount; ++i) {
        std::string next = folder + ScrambledName(name);
        lastOk = next != current && platform::RenameNoReplace(current, next);
        if (lastOk) current = next;
    }
    if (lastOk) {
        for (int t = 0; t < kRenameWaitTries; ++t) {
            if (CanOpenForRead(current)) break;
            // Permission does not come back by waiting; only a file still settling does.
            if (errno == EACCES || errno == EPERM || errno == ELOOP) break;
            // A stop ends the wait: the file is deleted under the name it has now.
            if (!(op ? op : &IdleOperation())->WaitFor(kRenameWaitStep)) break;
        }
    }
    path = current;
    return lastOk;
}

bool DeleteFolderTree(const std::string& folder) {
    struct stat top {};
    if (folder.empty() || lstat(folder.c_str(), &top) != 0 || !S_ISDIR(top.st_mode)) return false;
    if (IsReadOnly(folder)) AddUserWrite(folder);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return false;
    const std::string base = folder.back() == '/' ? folder : folder + "/";
    bool ok = true;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string child = base + name;
        struct stat st {};
        if (lstat(child.c_str(), &st) != 0) {
            ok = false;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            // Never descend into another file system mounted below the folder.
            if (st.st_dev != top.st_dev || !DeleteFolderTree(child)) {
                ok = false;
                break;
            }
        } else {
            if (S_ISREG(st.st_mode) && IsReadOnly(child)) AddUserWrite(child);
            if (unlink(child.c_str()) != 0) {
                ok = false;
                break;
            }
        }
        errno = 0;
    }
    if (ok && errno != 0) ok = false;  // a listing error, not the end of the list
    closedir(dir);
    if (!ok) return false;
    return rmdir(folder.c_str()) == 0;
}

// ---------------------------------------------------------------- record-resident data

bool ScrubInlineData(int fd, uint32_t clusterSize) {
    constexpr off_t kLimit = 4096;
    constexpr size_t kStep = 8;
    if (clusterSize == 0) clusterSize = 4096;
    struct stat st {};
    auto inRecord = [&] {
        return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kLimit &&
               static_cast<uint64_t>(st.st_blocks) * 512 < clusterSize;
    };
    if (!inRecord()) return true;
    // Writes of a few bytes at odd offsets: unbuffered I/O would refuse them.
    const int flags = fcntl(fd, F_GETFL);
    const bool direct = flags >= 0 && (flags & O_DIRECT) != 0;
    if (direct && fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0) return false;
    static const char zeros[kLimit] = {};
    off_t len = st.st_size;
    bool ok = len == 0 || platform::PwriteAll(fd, zeros, static_cast<size_t>(len), 0);
    // First up to the record's 8-byte alignment, then 8 bytes per write.
    while (ok && len < kLimit && inRecord()) {
        const size_t n = kStep - static_cast<size_t>(len % kStep);
        ok = platform::PwriteAll(fd, zeros, n, len);
        len += static_cast<off_t>(n);
    }
    if (ok) ok = fdatasync(fd) == 0;
    if (direct) fcntl(fd, F_SETFL, flags);
    return ok;
}

bool ScrubInlineData(const std::string& path, uint32_t clusterSize) {
    int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    // A file another program holds locked is in use: the wipers refuse it, so it is not
    // changed here either.
    const bool ok = !LockRefusal(fd, path) && ScrubInlineData(fd, clusterSize);
    close(fd);
    return ok;
}

// ---------------------------------------------------------------- allocated ranges

namespace {

// The file's extents from FIEMAP (unwritten and delayed ones included: they own blocks
// or will). False when the file system does not map extents this way.
bool MapExtents(int fd, uint64_t lengthBytes, const std::function<void(uint64_t, uint64_t)>& add) {
    constexpr unsigned kBatch = 128;
    std::vector<uint64_t> mem((sizeof(fiemap) + kBatch * sizeof(fiemap_extent)) / sizeof(uint64_t) +
                              1);
    uint64_t start = 0;
    bool first = true;
    while (start < lengthBytes) {
        std::fill(mem.begin(), mem.end(), 0);
        auto* fm = reinterpret_cast<fiemap*>(mem.data());
        fm->fm_start = start;
        fm->fm_length = lengthBytes - start;
        // The first call writes delayed data out, so that it has its blocks.
        fm->fm_flags = first ? FIEMAP_FLAG_SYNC : 0;
        fm->fm_extent_count = kBatch;
        if (ioctl(fd, FS_IOC_FIEMAP, fm) != 0) return false;
        first = false;
        if (fm->fm_mapped_extents == 0) break;
        bool last = false;
        for (unsigned i = 0; i < fm->fm_mapped_extents; ++i) {
            const fiemap_extent& e = fm->fm_extents[i];
            add(e.fe_logical, e.fe_logical + e.fe_length);
            start = std::max<uint64_t>(start, e.fe_logical + e.fe_length);
            if (e.fe_flags & FIEMAP_EXTENT_LAST) last = true;
        }
        if (last) break;
    }
    return true;
}

// The data regions by SEEK_DATA/SEEK_HOLE. False when the file system does not tell.
bool SeekDataRegions(int fd, uint64_t lengthBytes,
                     const std::function<void(uint64_t, uint64_t)>& add) {
    off_t pos = 0;
    while (static_cast<uint64_t>(pos) < lengthBytes) {
        const off_t data = lseek(fd, pos, SEEK_DATA);
        if (data < 0) return errno == ENXIO;  // ENXIO: no data after pos
        const off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0 || hole <= data) return false;
        add(static_cast<uint64_t>(data), static_cast<uint64_t>(hole));
        pos = hole;
    }
    return true;
}

}  // namespace

std::vector<ByteRange> AllocatedRanges(int fd, uint64_t lengthBytes) {
    std::vector<ByteRange> out;
    if (lengthBytes == 0) return out;
    struct stat st {};
    const uint64_t block = fstat(fd, &st) == 0 && st.st_blksize > 0 ? st.st_blksize : 4096;
    auto add = [&](uint64_t from, uint64_t to) {
        from = from / block * block;
        if (to > lengthBytes) to = lengthBytes;
        to = std::min(lengthBytes, (to + block - 1) / block * block);
        if (from >= to) return;
        if (!out.empty() && from <= out.back().offset + out.back().length) {
            out.back().length = std::max(out.back().length, to - out.back().offset);
            return;
        }
        out.push_back({from, to - from});
    };
    if (MapExtents(fd, lengthBytes, add)) return out;
    out.clear();
    if (SeekDataRegions(fd, lengthBytes, add)) return out;
    // Nothing tells where the data is: all of it counts.
    return {{0, lengthBytes}};
}

uint64_t RangeBytes(const std::vector<ByteRange>& ranges) {
    uint64_t total = 0;
    for (const ByteRange& r : ranges) total += r.length;
    return total;
}

std::optional<Error> WipeRefusal(const std::string& path) { return Refusal(path, true, nullptr); }

// ---------------------------------------------------------------- CSecureFileWiper

CSecureFileWiper::CSecureFileWiper()
    : erasedWord(S<169>), overwritesWord(S<170>), overwriteWord(S<171>), withWord(S<172>) {
    SeedWipeRandom(static_cast<uint32_t>(time(nullptr)));
}

std::string CSecureFileWiper::ErasedLine(const std::string& path, int count) const {
    return erasedWord + " " + path + " " + withWord + " " + std::to_string(count) + " " +
           (count == 1 ? overwriteWord : overwritesWord);
}

int CSecureFileWiper::OpenForOverwrite(const std::string& path, bool clearOnDenied) {
    auto attempt = [&path]() {
        int fd = open(path.c_str(), O_WRONLY | O_DIRECT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0 && errno == EINVAL)  // this file system refuses O_DIRECT
            fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        return fd;
    };
    // A read-only file is denied even to root, like the attribute it stands for.
    int fd = -1;
    if (IsReadOnly(path))
        errno = EACCES;
    else
        fd = attempt();
    if (fd < 0 && (errno == EACCES || errno == EPERM) && clearOnDenied && AddUserWrite(path))
        fd = attempt();
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;  // the name now leads to something that is not a regular file
        return -1;
    }
    return fd;
}

bool CSecureFileWiper::ExtendToCluster(int fd, uint64_t lengthBytes, uint32_t clusterSize) {
    if (clusterSize == 0 || lengthBytes == 0 || lengthBytes % clusterSize == 0) return true;
    const uint64_t raised = (lengthBytes / clusterSize + 1) * clusterSize;
    return ftruncate(fd, static_cast<off_t>(raised)) == 0;
}

bool CSecureFileWiper::RunPasses(int fd, uint32_t bufferSize, bool randomMode, int passes,
                                 ChunkHooks& hooks, bool* aborted) {
    if (aborted) *aborted = false;
    lastBytesWritten_ = 0;
    if (!PassBufferUsable(bufferSize)) {
        lastError_ = Error(ErrorCode::Invalid).Says(kNoPassBuffer);
        return false;
    }
    struct stat st {};
    const uint64_t length = fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    // Only what holds data on the disk is overwritten: writing into a hole would take
    // new space (a sparse file can be far larger than the free space) and reach nothing
    // of the old data.
    const std::vector<ByteRange> ranges = AllocatedRanges(fd, length);
    const uint64_t planned = RangeBytes(ranges);

    // The write buffer holds the pass buffer repeated; it is no bigger than the file
    // needs (rounded up to whole pass buffers).
    const uint64_t perWrite = std::max<uint64_t>(1, kIoTarget / bufferSize);
    const uint64_t needed = std::max<uint64_t>(1, (planned + bufferSize - 1) / bufferSize);
    const uint64_t copies = std::min(perWrite, needed);
    AlignedBuffer io(static_cast<size_t>(copies * bufferSize));
    if (!io.Ok()) io = AlignedBuffer(bufferSize);
    if (!io.Ok()) {
        lastError_ = Error(ErrorCode::Io).Says(kNoPassMemory);
        return false;
    }
    uint8_t* buf = io.data();

    // The writes of one pass: each range cut into pieces of at most the write buffer.
    struct Piece {
        uint64_t offset, size;
    };
    std::vector<Piece> pieces;
    for (const ByteRange& r : ranges)
        for (uint64_t at = 0; at < r.length; at += io.size())
            pieces.push_back({r.offset + at, std::min<uint64_t>(io.size(), r.length - at)});
    auto chunksOf = [bufferSize](uint64_t bytes) { return (bytes + bufferSize - 1) / bufferSize; };

    bool direct = HasDirect(fd);
    bool stopped = false;
    QueuedWriter queue(kQueueDepth);
    std::optional<Error> shortfall;  // the first pass that wrote less than planned, and why

    for (int pass = 1; pass <= passes && !stopped; ++pass) {
        hooks.BeforePass(pass, passes, length);
        FillPassBuffer(buf, bufferSize, pass, randomMode);
        for (size_t at = bufferSize; at < io.size(); at += bufferSize)
            std::memcpy(buf + at, buf, bufferSize);

        std::vector<uint8_t> done(pieces.size(), 0);
        uint64_t passBytes = 0;
        int failure = 0;     // errno of the write that ended the pass
        bool ended = false;  // a write failed: the rest of this pass is given up

        if (direct && queue.Ok()) {
            // Several unbuffered writes in flight. What they leave undone (the queue
            // failed, or unbuffered I/O was refused with EINVAL) the loop below writes
            // one piece at a time.
            size_t next = 0;
            bool queueFailed = false, directRefused = false;
            for (;;) {
                while (!queueFailed && !directRefused && !ended && !stopped &&
                       next < pieces.size() && queue.InFlight() < queue.Depth()) {
                    const Piece& p = pieces[next];
                    if (!hooks.BeforeChunk(p.size, chunksOf(p.size))) {
                        stopped = true;
                        break;
                    }
                    iovec v{buf, static_cast<size_t>(p.size)};
                    if (!queue.Queue(fd, &v, 1, p.offset, next)) {
                        queueFailed = true;
                        break;
                    }
                    ++next;
                }
                uint64_t tag = 0;
                int64_t res = 0;
                if (!queue.Next(&tag, &res)) break;  // nothing in flight any more
                const Piece& p = pieces[tag];
                hooks.AfterChunk(p.size, chunksOf(p.size));
                if (res > 0) lastBytesWritten_ += static_cast<uint64_t>(res);
                if (res == static_cast<int64_t>(p.size)) {
                    done[tag] = 1;
                    passBytes += p.size;
                } else if (res == -EINVAL) {
                    directRefused = true;
                } else if (!ended) {
                    ended = true;  // a failed write ends the pass, as one at a time
                    failure = res < 0 ? static_cast<int>(-res) : ENOSPC;
                }
            }
            if (directRefused && DropDirect(fd)) direct = false;
        }
        for (size_t i = 0; i < pieces.size() && !ended && !stopped; ++i) {
            if (done[i]) continue;
            const Piece& p = pieces[i];
            const uint64_t chunks = chunksOf(p.size);
            if (!hooks.BeforeChunk(p.size, chunks)) {
                stopped = true;
                break;
            }
            uint64_t wrote = 0;
            int err = 0;
            while (wrote < p.size) {
                size_t n = 0;
                const bool all = platform::PwriteAll(fd, buf + wrote, p.size - wrote,
                                                     static_cast<off_t>(p.offset + wrote), &n);
                wrote += n;
                lastBytesWritten_ += n;
                if (all) break;
                err = errno;
                if (err == EINVAL && direct && DropDirect(fd)) {
                    // The file system (or this piece's alignment) refuses unbuffered
                    // I/O: go on buffered and flush each pass instead.
                    direct = false;
                    continue;
                }
                break;
            }
            hooks.AfterChunk(p.size, chunks);
            passBytes += wrote;
            if (wrote == p.size) continue;
            ended = true;  // a failed write ends this pass; the next is still tried
            failure = err;
        }
        // Unbuffered writes are on the device when they return. Buffered ones are
        // flushed here, so that every pass reaches the disk before the next starts.
        if (!direct && fdatasync(fd) != 0 && !stopped && !ended) {
            ended = true;
            failure = errno;
        }
        if (!stopped && (ended || passBytes < planned) && !shortfall)
            shortfall = Error(failure ? CodeForErrno(failure) : ErrorCode::NoSpace, {}, failure)
                            .Says(kPassShort)
                            .At(static_cast<int64_t>(passBytes))
                            .With(std::to_string(pass));
    }
    // The last pass, read back: every range holds the write buffer repeated from its
    // start (each piece is the write buffer's first bytes, and the write buffer holds
    // whole pass buffers).
    lastVerified_ = false;
    if (verifyLastPass && !stopped && !shortfall && passes >= 1) {
        std::vector<ReadBackPart> parts;
        for (const ByteRange& r : ranges) parts.push_back({r.offset, r.length, 0});
        shortfall = ReadBackMatches(fd, parts, buf, io.size());
        lastVerified_ = !shortfall;
    }
    // A pass that fell short leaves the file as it is, so that the failure is reported
    // and the file still there to wipe again. Otherwise cut to nothing. No flush: the
    // file is renamed and deleted next, and a flush here costs seconds on some FUSE
    // file systems.
    if (shortfall) {
        lastError_ = std::move(*shortfall);
        hooks.AfterPasses(stopped);
        if (aborted) *aborted = stopped;
        return false;
    }
    [[maybe_unused]] const bool cut = !stopped && ftruncate(fd, 0) == 0;
    hooks.AfterPasses(stopped);
    if (aborted) *aborted = stopped;
    return true;
}

int PlainWipePasses(int passCount) { return passCount + 1; }

FileWipeEstimate EstimatePlainWipe(const std::string& path, int passCount) {
    FileWipeEstimate e;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return e;
    e.sizeBytes = static_cast<uint64_t>(st.st_size);
    CDriveGeometry drive;
    drive.SetRoot(platform::ParentOf(path));  // its cluster size outlives the file
    uint64_t cluster = drive.GetClusterSize();
    if (cluster == 0) cluster = 4096;
    const uint64_t raised = (e.sizeBytes + cluster - 1) / cluster * cluster;
    uint64_t allocated = raised;
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        allocated = RangeBytes(AllocatedRanges(fd, raised));
        close(fd);
    }
    e.bytesToWrite = allocated * static_cast<uint64_t>(PlainWipePasses(passCount));
    return e;
}

bool CSecureFileWiper::WritePasses(int fd, uint32_t bufferSize, bool randomMode) {
    ChunkHooks none;
    return RunPasses(fd, bufferSize, randomMode, PlainWipePasses(passCount), none, nullptr);
}

Result<void> CSecureFileWiper::WipeFile(const std::string& path, bool clearAttributesOnDenied,
                                        bool randomMode, const OpContext* op) {
    lastBytesWritten_ = 0;
    lastError_ = Error();
    uint64_t length = 0;
    if (!Probe(path, true, &length, &lastError_)) return lastError_;
    drive.SetRoot(platform::ParentOf(path));  // its cluster size outlives the file
    uint32_t cluster = drive.GetClusterSize();
    if (cluster == 0) cluster = 4096;
    int fd = OpenForOverwrite(path, clearAttributesOnDenied);
    if (fd < 0) return Failed(CallFailed(errno, path, kNotWritable));
    // Data kept in the file record would stay there once the file grows out of it.
    if (length > 0) ScrubInlineData(fd, cluster);
    ExtendToCluster(fd, length, cluster);
    const bool wrote = WritePasses(fd, cluster, randomMode);
    close(fd);
    // A pass that fell short (or had no buffer) did not overwrite everything: deleting
    // the file now would report a wipe that never happened, so it stays where it is.
    if (!wrote) return Shortfall(path);
    return RenameAndDelete(path, op);
}

Result<void> CSecureFileWiper::Failed(Error why) {
    lastError_ = std::move(why);
    return lastError_;
}

Result<void> CSecureFileWiper::Shortfall(const std::string& path) {
    lastError_.subject = path;
    return lastError_;
}

Result<void> CSecureFileWiper::RenameAndDelete(const std::string& path, const OpContext* op) {
    std::string last = path;
    ScrambleName(last, op);
    if (unlink(last.c_str()) == 0) return {};
    return Failed(CallFailed(errno, path, kNotDeleted));
}

// ---------------------------------------------------------------- CProgressFileWiper

CProgressFileWiper::CProgressFileWiper() : ofWord(S<206>) {}

void CProgressFileWiper::SetStatusText(std::string callerText) {
    if (callerText.size() > 33) callerText = callerText.substr(0, 33) + "...";
    statusText_ = std::move(callerText);
}

bool CProgressFileWiper::WritePasses(const OpContext& op, int fd, uint32_t bufferSize,
                                     bool randomMode) {
    struct Hooks : ChunkHooks {
        CProgressFileWiper& w;
        const OpContext& op;
        uint32_t bufferSize;
        uint64_t length = 0;
        uint64_t passWritten = 0;
        Hooks(CProgressFileWiper& wiper, const OpContext& o, uint32_t size)
            : w(wiper), op(o), bufferSize(size) {}

        void BeforePass(int, int passes, uint64_t lengthBytes) override {
            length = lengthBytes;
            passWritten = 0;
            const int64_t range =
                static_cast<int64_t>(lengthBytes / bufferSize) * static_cast<int64_t>(passes);
            op.SetRange(ProgressSink::Current, 0, std::max<int64_t>(1, range));
        }
        bool BeforeChunk(uint64_t bytes, uint64_t) override {
            if (op.Stopped()) return false;
            if (w.bytesWritten) *w.bytesWritten += bytes;
            passWritten += bytes;
            if (w.showStatus && w.showStatus2) {
                op.Status(w.statusText_ + " (" + FormatSize(passWritten, "%2.0f") + " " + w.ofWord +
                          " " + FormatSize(length, "%2.0f") + ")");
            }
            return true;
        }
        void AfterChunk(uint64_t, uint64_t chunks) override {
            op.Step(ProgressSink::Current, static_cast<int64_t>(chunks));
        }
        void AfterPasses(bool) override { op.SetPos(ProgressSink::Current, 0); }
    } hooks(*this, op, bufferSize);
    return RunPasses(fd, bufferSize, randomMode, passCount, hooks, &aborted_);
}

Result<void> CProgressFileWiper::WipeFile(const OpContext& op, const std::string& path,
                                          bool randomMode, uint32_t bufferSize) {
    aborted_ = false;
    lastError_ = Error();
    uint64_t length = 0;
    if (!Probe(path, true, &length, &lastError_)) return lastError_;
    drive.SetRoot(platform::ParentOf(path));  // its cluster size outlives the file
    uint32_t cluster = drive.GetClusterSize();
    if (cluster == 0) cluster = 4096;
    if (bufferSize == 0) bufferSize = cluster;
    // Refused before anything changes.
    if (!PassBufferUsable(bufferSize))
        return Failed(Error(ErrorCode::Invalid, path).Says(kNoPassBuffer));
    int fd = OpenForOverwrite(path, true);
    if (fd < 0) return Failed(CallFailed(errno, path, kNotWritable));
    if (length > 0) ScrubInlineData(fd, cluster);
    ExtendToCluster(fd, length, cluster);
    const bool wrote = WritePasses(op, fd, bufferSize, randomMode);
    close(fd);
    if (!wrote) return Shortfall(path);  // not all overwritten: keep the file, report it
    return RenameAndDelete(path, &op);
}

// ---------------------------------------------------------------- CRecycleFileWiper

bool CRecycleFileWiper::WritePasses(const OpContext& op, int fd, uint32_t bufferSize,
                                    bool randomMode) {
    struct Hooks : ChunkHooks {
        CRecycleFileWiper& w;
        const OpContext& op;
        Hooks(CRecycleFileWiper& wiper, const OpContext& o) : w(wiper), op(o) {}
        bool BeforeChunk(uint64_t, uint64_t) override { return !op.Stopped(); }
        void AfterChunk(uint64_t, uint64_t chunks) override {
            // Every 8th chunk, counted across all files this wiper overwrites, moves the
            // bars: the remainder carries over to the next file of the same run.
            const uint64_t total = w.chunkCarry_ + chunks;
            w.chunkCarry_ = static_cast<uint32_t>(total % 8);
            const int64_t steps = static_cast<int64_t>(total / 8);
            if (steps == 0) return;
            if (w.progressTick) op.Step(ProgressSink::Current, steps);
            if (w.stepOverall) op.Step(ProgressSink::Overall, steps);
        }
    } hooks(*this, op);
    return RunPasses(fd, bufferSize, randomMode, passCount, hooks, &aborted_);
}

Result<void> CRecycleFileWiper::WipeFile(const OpContext& op, const std::string& path,
                                         bool randomMode, uint32_t clusterSize,
                                         bool renameAndDelete) {
    aborted_ = false;
    lastError_ = Error();
    uint64_t length = 0;
    if (!Probe(path, false, &length, &lastError_)) return lastError_;
    std::string current = path;
    drive.SetRoot(platform::ParentOf(current));  // the renames keep the folder
    if (clusterSize == 0) clusterSize = drive.GetClusterSize();
    if (clusterSize == 0) clusterSize = 4096;
    // A rename shifts the attributes of the file's record: data still kept there would
    // leave a copy behind. (Where this open is denied, the scrub after the overwrite
    // open below still covers the growth.)
    if (renameAndDelete && length > 0) ScrubInlineData(current, clusterSize);
    if (renameAndDelete) ScrambleName(current, &op);

    int fd = OpenForOverwrite(current, true);
    if (fd < 0) return Failed(CallFailed(errno, path, kNotWritable));
    bool wrote = true;
    if (length == 0) {
        close(fd);
        if (renameAndDelete) ScrambleName(current, &op);
    } else {
        ScrubInlineData(fd, clusterSize);
        ExtendToCluster(fd, length, clusterSize);
        wrote = WritePasses(op, fd, clusterSize, randomMode);
        close(fd);
    }
    if (!wrote) return Shortfall(path);  // not all overwritten: keep the file, report it
    if (!renameAndDelete) return {};
    if (unlink(current.c_str()) == 0) return {};
    return Failed(CallFailed(errno, path, kNotDeleted));
}

}  // namespace tw::wipe
