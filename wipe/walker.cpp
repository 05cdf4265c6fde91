// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/error.h"

namespace tw::wipe {
namespace {

// Deeper than this a tree is either hostile or broken; its lower folders are reported
// as unreadable rather than risking the descriptor limit and the stack.
constexpr int kMaxDepth = 1024;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool UnderPrefix(std::string_view path, std::string_view prefix) {
    if (path.size() < prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

// The user may write the file: access(W_OK) with the effective ids. root passes that
// test for every file on a writable mount, so for root a file without any write bit
// counts as read-only, the way the read-only attribute holds for administrators too.
bool UserMayWrite(int dirFd, const char* name, mode_t mode) {
    if (faccessat(dirFd, name, W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (geteuid() == 0 && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
    return true;
}

// "\040" and the other octal escapes of a mountinfo field.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string oct = field.substr(i + 1, 3);
            if (oct.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(oct, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

// Every mount point of this process's mount table (the fifth field of mountinfo).
std::vector<std::string> ReadMountPoints() {
    std::vector<std::string> points;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        size_t at = 0;
        for (int field = 0; field < 4 && at != std::string::npos; ++field) {
            at = line.find(' ', at);
            if (at != std::string::npos) ++at;
        }
        if (at == std::string::npos) continue;
        const size_t end = line.find(' ', at);
        points.push_back(UnescapeMountField(
            line.substr(at, end == std::string::npos ? std::string::npos : end - at)));
    }
    return points;
}

bool InMountTable(const std::vector<std::string>& points, const std::string& path) {
    return std::find(points.begin(), points.end(), path) != points.end();
}

}  // namespace

const char* SkipReasonText(SkipReason reason) {
    switch (reason) {
        case SkipReason::NotRegular:
            return S<1255>.data();
        case SkipReason::OtherFileSystem:
            return S<1382>.data();
        case SkipReason::SkippedFolder:
            return S<1383>.data();
        case SkipReason::PseudoFileSystem:
            return S<1384>.data();
        case SkipReason::Hidden:
            return S<1385>.data();
        case SkipReason::ProtectedName:
            return S<1386>.data();
        case SkipReason::ReadOnly:
            return S<1387>.data();
        case SkipReason::System:
            return S<1388>.data();
        case SkipReason::HardLinked:
            return S<1389>.data();
        case SkipReason::TemporaryCopy:
            return S<1390>.data();
        case SkipReason::Unreadable:
            return S<1263>.data();
    }
    return S<1391>.data();
}

std::string WalkFile::Path() const { return JoinPath(folder, name); }

const std::vector<std::string_view>& ProtectedNameParts() {
    static const std::vector<std::string_view> parts = {
        "desktop.ini", "info", "ntldr", "schedlgu.txt", ".ttf", ".sys", ".com",
        ".dll",        ".cpl", ".vxd",  ".exe",         ".dat", ".ldb", ".fon"};
    return parts;
}

bool IsSkippedFolderName(std::string_view name) {
    if (name == "." || name == "..") return true;
    if (EqualsNoCase(name, "RECYCLED") || EqualsNoCase(name, "RECYCLER") ||
        EqualsNoCase(name, "System Volume Information"))
        return true;
    // The Trash of a volume (freedesktop.org: ".Trash/$uid" and ".Trash-$uid"): it has
    // its own wipe, and deep-cleaning trashed files would only rewrite what is to go.
    if (name == ".Trash" || name.substr(0, 7) == ".Trash-") return true;
    // The free-space cleaner's files are removed by it or by the leftover sweep.
    return EqualsNoCase(name, kFreeSpaceFolder);
}

bool IsProtectedFileName(std::string_view name) {
    const std::string lower = LowerAscii(name);
    for (auto part : ProtectedNameParts())
        if (lower.find(part) != std::string::npos) return true;
    return false;
}

bool IsTemporaryCopyName(std::string_view name) {
    return name.find(kCopySuffix) != std::string_view::npos;
}

bool IsPseudoFileSystemPath(std::string_view path) {
    return UnderPrefix(path, "/proc") || UnderPrefix(path, "/sys") || UnderPrefix(path, "/dev");
}

bool ReadFileFacts(int dirFd, const char* name, FileFacts* out) {
    struct statx sx {};
    const int empty = name[0] == '\0' ? AT_EMPTY_PATH : 0;
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_SYNC_AS_STAT | empty,
              STATX_BASIC_STATS | STATX_MNT_ID, &sx) != 0)
        return false;
    constexpr unsigned kNeeded = STATX_TYPE | STATX_MODE | STATX_INO | STATX_SIZE;
    if ((sx.stx_mask & kNeeded) != kNeeded) {
        errno = EIO;
        return false;
    }
    FileFacts f;
    f.sizeBytes = sx.stx_size;
    f.dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    f.ino = static_cast<ino_t>(sx.stx_ino);
    f.nlink = sx.stx_nlink;
    f.mode = sx.stx_mode;
    f.uid = sx.stx_uid;
    f.gid = sx.stx_gid;
    f.atime =
        timespec{static_cast<time_t>(sx.stx_atime.tv_sec), static_cast<long>(sx.stx_atime.tv_nsec)};
    f.mtime =
        timespec{static_cast<time_t>(sx.stx_mtime.tv_sec), static_cast<long>(sx.stx_mtime.tv_nsec)};
    constexpr uint64_t kFlags = STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_COMPRESSED;
    f.flagsKnown = (sx.stx_attributes_mask & kFlags) == kFlags;
    f.compressed = (sx.stx_attributes & STATX_ATTR_COMPRESSED) != 0;
    f.system = (sx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
    f.mountIdKnown = (sx.stx_mask & STATX_MNT_ID) != 0;
    f.mountId = f.mountIdKnown ? sx.stx_mnt_id : 0;
    *out = f;
    return true;
}

bool IsMountRoot(const std::string& path) {
    if (path == "/") return true;
    if (path.empty() || path[0] != '/') return false;
    const std::string parent = platform::ParentOf(path);
    FileFacts self, up;
    if (!ReadFileFacts(AT_FDCWD, path.c_str(), &self) ||
        !ReadFileFacts(AT_FDCWD, parent.c_str(), &up))
        return false;
    if (self.dev != up.dev) return true;
    if (self.mountIdKnown && up.mountIdKnown) return self.mountId != up.mountId;
    return InMountTable(ReadMountPoints(), path);
}

bool CDriveWalker::OnOtherMount(const FileFacts& facts, const std::string& path) {
    if (facts.dev != dev_) return true;
    if (mountIdKnown_ && facts.mountIdKnown) return facts.mountId != mountId_;
    // No mount IDs from this kernel: a bind mount of the same file system has the same
    // device number, so the mount table has to tell.
    if (!mountPointsRead_) {
        mountPoints_ = ReadMountPoints();
        mountPointsRead_ = true;
    }
    return InMountTable(mountPoints_, path);
}

void CDriveWalker::Skip(const std::string& path, SkipReason reason) {
    ++entriesSkipped;
    if (onSkip) onSkip(path, reason);
}

Outcome CDriveWalker::Walk(const OpContext& op, const std::string& start) {
    foldersVisited = filesVisited = entriesSkipped = 0;
    flagsIoctlWorks_ = true;
    char* real = realpath(start.c_str(), nullptr);
    if (!real) {
        error_ = Error::FromErrno(start).Says(TextId<1392>);
        return Outcome::Failed;
    }
    start_ = real;
    std::free(real);
    if (IsPseudoFileSystemPath(start_)) {
        error_ = Error(ErrorCode::Unsupported, start_).Says(TextId<1393>);
        return Outcome::Failed;
    }
    int fd = open(start_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error_ = Error::FromErrno(start_).Says(TextId<1394>);
        return Outcome::Failed;
    }
    FileFacts top;
    if (!ReadFileFacts(fd, "", &top)) {
        error_ = Error::FromErrno(start_).Says(TextId<1395>);
        close(fd);
        return Outcome::Failed;
    }
    dev_ = top.dev;
    mountId_ = top.mountId;
    mountIdKnown_ = top.mountIdKnown;
    mountPoints_.clear();
    mountPointsRead_ = false;
    Outcome r = WalkFolder(op, fd, start_, 0);
    close(fd);
    return r;
}

Outcome CDriveWalker::WalkFolder(const OpContext& op, int dirFd, const std::string& folder,
                                 int depth) {
    if (onFolderStart) onFolderStart(dirFd, folder);

    // Read the whole listing first (see the header: nothing created during the walk of
    // this folder is picked up).
    std::vector<std::string> names;
    {
        int listFd = dup(dirFd);
        DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0) close(listFd);
            Skip(folder, SkipReason::Unreadable);
            return Outcome::Ok;
        }
        rewinddir(dir);  // the duplicate shares the position of dirFd
        while (dirent* e = readdir(dir)) {
            std::string_view n = e->d_name;
            if (n == "." || n == "..") continue;
            names.emplace_back(n);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());

    for (const std::string& name : names) {
        if (op.Stopped()) return Outcome::Stopped;
        const std::string path = JoinPath(folder, name);
        FileFacts facts;
        if (!ReadFileFacts(dirFd, name.c_str(), &facts)) {
            // Gone since the listing (a file removed by someone else) is no news.
            if (errno != ENOENT) Skip(path, SkipReason::Unreadable);
            continue;
        }

        const bool allFiles = options.everyFile;
        if (S_ISDIR(facts.mode)) {
            if (!allFiles && IsSkippedFolderName(name)) {
                Skip(path, SkipReason::SkippedFolder);
                continue;
            }
            if (IsPseudoFileSystemPath(path)) {
                Skip(path, SkipReason::PseudoFileSystem);
                continue;
            }
            if (OnOtherMount(facts, path)) {
                Skip(path, SkipReason::OtherFileSystem);
                continue;
            }
            if (depth + 1 > kMaxDepth) {
                Skip(path, SkipReason::Unreadable);
                continue;
            }
            int childFd =
                openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0) {
                Skip(path, errno == ELOOP || errno == ENOTDIR ? SkipReason::NotRegular
                                                              : SkipReason::Unreadable);
                continue;
            }
            // The folder must still be the one examined: a rename or a mount in between
            // could otherwise lead the walk onto another file system or mount.
            FileFacts opened;
            if (!ReadFileFacts(childFd, "", &opened) || opened.ino != facts.ino ||
                OnOtherMount(opened, path)) {
                close(childFd);
                Skip(path, SkipReason::OtherFileSystem);
                continue;
            }
            ++foldersVisited;
            Outcome r = WalkFolder(op, childFd, path, depth + 1);
            close(childFd);
            if (r == Outcome::Stopped) return r;
            continue;
        }

        if (!S_ISREG(facts.mode)) {
            Skip(path, SkipReason::NotRegular);
            continue;
        }
        // A file can be a mount point too (a bind mount of a single file).
        if (OnOtherMount(facts, path)) {
            Skip(path, SkipReason::OtherFileSystem);
            continue;
        }
        if (!allFiles && !PassesFileRules(dirFd, path, name, facts)) continue;
        if (options.skipHardLinks && facts.nlink > 1) {
            Skip(path, SkipReason::HardLinked);
            continue;
        }

        if (!op.PauseCheck()) return Outcome::Stopped;
        ++filesVisited;
        if (onFile) onFile(WalkFile{dirFd, folder, name, facts});
    }

    if (onFolderEnd) onFolderEnd(dirFd, folder);
    return Outcome::Ok;
}

bool CDriveWalker::PassesFileRules(int dirFd, const std::string& path, const std::string& name,
                                   FileFacts& facts) {
    if (IsTemporaryCopyName(name)) {
        Skip(path, SkipReason::TemporaryCopy);
        return false;
    }
    if (name[0] == '.') {
        Skip(path, SkipReason::Hidden);
        return false;
    }
    if (IsProtectedFileName(name)) {
        Skip(path, SkipReason::ProtectedName);
        return false;
    }
    if (!facts.flagsKnown && flagsIoctlWorks_) {
        // The file system does not report the flags through statx: ask the inode.
        int fd =
            openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0) {
            int flags = 0;
            if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
                facts.system = (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
                facts.compressed = (flags & FS_COMPR_FL) != 0;
                facts.flagsKnown = true;
            } else if (errno == ENOTTY || errno == EINVAL || errno == EOPNOTSUPP ||
                       errno == ENOSYS) {
                flagsIoctlWorks_ = false;  // same answer for every file here
            }
            close(fd);
        }
    }
    if (facts.system) {
        Skip(path, SkipReason::System);
        return false;
    }
    if (!UserMayWrite(dirFd, name.c_str(), facts.mode)) {
        Skip(path, SkipReason::ReadOnly);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- counting walk

bool CleanedSince(const FileFacts& facts, FileTime stamp) {
    return stamp != 0 && FileTimeFromTimespec(facts.mtime) <= stamp;
}

Outcome CCountingWalk::Count(const OpContext& op, const std::string& start, FileTime stamp,
                             WalkOptions options, WalkerRecord& record,
                             const std::function<void(const WalkFile&, bool)>& onFile,
                             const std::function<void(const std::string&, SkipReason)>& onSkip,
                             Error* error) {
    CDriveWalker walker;
    walker.options = options;
    walker.onSkip = onSkip;
    walker.onFolderStart = [&record](int, const std::string&) { record.folders.fetch_add(1); };
    walker.onFile = [&](const WalkFile& f) {
        record.files.fetch_add(1);
        const bool cleaned = CleanedSince(f.facts, stamp);
        if (cleaned) {
            record.previouslyCleaned.fetch_add(1);
            record.previouslyCleanedBytes.fetch_add(f.facts.sizeBytes);
        } else {
            record.toClean.fetch_add(1);
            record.toCleanBytes.fetch_add(f.facts.sizeBytes);
        }
        if (onFile) onFile(f, cleaned);
    };
    Outcome r = walker.Walk(op, start);
    // The start folder itself is not one of the folders below it.
    if (r != Outcome::Failed && record.folders.load() > 0) record.folders.fetch_sub(1);
    if (r == Outcome::Failed && error) *error = walker.error();
    record.finished.store(true);
    return r;
}

CCountingWalk::~CCountingWalk() { Join(); }

void CCountingWalk::Start(const OpContext& op, const std::string& start, FileTime stamp,
                          WalkOptions options) {
    Join();
    record_.finished.store(false);
    // The thread reads the run's operation: its pause holds the count at the next file
    // and its stop ends it, as they do the cleaning walk.
    thread_ = std::thread([this, &op, start, stamp, options] {
        result_.store(Count(op, start, stamp, options, record_, {}, {}));
    });
}

void CCountingWalk::Join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace tw::wipe
