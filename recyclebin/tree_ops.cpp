// SPDX-License-Identifier: GPL-3.0-or-later
#include "recyclebin/tree_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <vector>

#include "platform/fileio.h"
#include "wipe/file_wiper.h"

namespace tw::recyclebin {
namespace {

// Deeper trees than this are not walked further: a guard against runaway recursion,
// far beyond what PATH_MAX lets a real tree reach.
constexpr int kMaxDepth = 2048;

using platform::JoinPath;

// The names in `folder` except "." and ".."; false when the folder cannot be listed.
bool ListNames(const std::string& folder, std::vector<std::string>* names) {
    DIR* dir = opendir(folder.c_str());
    if (!dir) return false;
    errno = 0;
    while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names->push_back(std::move(n));
        errno = 0;
    }
    bool ok = errno == 0;
    closedir(dir);
    return ok;
}

// Calls `visit(path, stat)` for `path` and, for a folder on the starting file system,
// for everything below it (parents before children). `visit` returns false to stop.
bool Walk(const std::string& path, dev_t dev, int depth,
          const std::function<bool(const std::string&, const struct stat&)>& visit) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return true;
    if (!visit(path, st)) return false;
    if (!S_ISDIR(st.st_mode) || st.st_dev != dev || depth >= kMaxDepth) return true;
    std::vector<std::string> names;
    ListNames(path, &names);
    for (const auto& n : names)
        if (!Walk(JoinPath(path, n), dev, depth + 1, visit)) return false;
    return true;
}

bool WalkFrom(const std::string& path,
              const std::function<bool(const std::string&, const struct stat&)>& visit) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return false;
    return Walk(path, st.st_dev, 0, visit);
}

Result<void> CopyFileData(int in, int out, const std::string& from) {
    // copy_file_range first (in-kernel, any file system pair on current kernels), then
    // a plain read/write loop where it is not available.
    for (;;) {
        ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n == 0) return {};
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
            errno == EBADF)
            break;
        return Error::FromErrno(from).Says(kCannotCopy);
    }
    std::vector<char> buf(1 << 20);
    for (;;) {
        ssize_t n = read(in, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Error::FromErrno(from).Says(kCannotRead);
        if (n == 0) return {};
        if (!platform::WriteAll(out, buf.data(), static_cast<size_t>(n)))
            return Error::FromErrno(from).Says(kCannotWriteCopy);
    }
}

void KeepOwnerAndTimes(const std::string& to, const struct stat& st) {
    // Only root may give a file to someone else; for anyone else the copy is theirs.
    if (geteuid() == 0 && lchown(to.c_str(), st.st_uid, st.st_gid) != 0) {
        // Some file systems (FAT, FUSE mounts) have no owners: keep going.
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// `created` is set once the entry at `to` has been made by this call.
Result<void> CopyOne(const std::string& from, const std::string& to, dev_t dev, int depth,
                     bool* created) {
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return Error::FromErrno(from).Says(kCannotExamine);
    if (S_ISREG(st.st_mode)) {
        int in = open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (in < 0) return Error::FromErrno(from).Says(kCannotOpen);
        int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (out < 0) {
            Error e = Error::FromErrno(to).Says(kCannotCreate);
            close(in);
            return e;
        }
        *created = true;
        Result<void> r = CopyFileData(in, out, from);
        close(in);
        if (r && fsync(out) != 0) r = Error::FromErrno(to).Says(kCannotFlush);
        if (close(out) != 0 && r) r = Error::FromErrno(to).Says(kCannotClose);
        if (!r) return r;
        KeepOwnerAndTimes(to, st);
        if (chmod(to.c_str(), st.st_mode & 07777) != 0)
            return Error::FromErrno(to).Says(kCannotChmod);
        return {};
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = readlink(from.c_str(), target.data(), target.size() - 1);
        if (n < 0) return Error::FromErrno(from).Says(kCannotReadLink);
        target[static_cast<size_t>(n)] = '\0';
        if (symlink(target.data(), to.c_str()) != 0)
            return Error::FromErrno(to).Says(kCannotCreate);
        *created = true;
        KeepOwnerAndTimes(to, st);
        return {};
    }
    if (S_ISFIFO(st.st_mode)) {
        if (mkfifo(to.c_str(), st.st_mode & 07777) != 0)
            return Error::FromErrno(to).Says(kCannotCreate);
        *created = true;
        KeepOwnerAndTimes(to, st);
        return {};
    }
    if (S_ISDIR(st.st_mode)) {
        if (st.st_dev != dev) return Error(ErrorCode::OnAnotherMount, from).Says(TextId<1215>);
        if (depth >= kMaxDepth) return Error(ErrorCode::TooDeep, from);
        if (mkdir(to.c_str(), 0700) != 0) return Error::FromErrno(to).Says(kCannotCreate);
        *created = true;
        std::vector<std::string> names;
        if (!ListNames(from, &names)) return Error::FromErrno(from).Says(kCannotList);
        for (const auto& n : names) {
            bool child = false;
            if (auto r = CopyOne(JoinPath(from, n), JoinPath(to, n), dev, depth + 1, &child); !r)
                return r;
        }
        // The folder's own mode last, so a read-only folder could still be filled.
        if (chmod(to.c_str(), st.st_mode & 07777) != 0)
            return Error::FromErrno(to).Says(kCannotChmod);
        KeepOwnerAndTimes(to, st);
        return {};
    }
    return Error(ErrorCode::Unsupported, from).Says(TextId<1216>);
}

}  // namespace

uint64_t TreeSize(const std::string& path) {
    uint64_t total = 0;
    WalkFrom(path, [&total](const std::string&, const struct stat& st) {
        if (S_ISREG(st.st_mode)) total += static_cast<uint64_t>(st.st_size);
        return true;
    });
    return total;
}

bool MakeTreeWritable(const std::string& path, int* failures) {
    bool found = false;
    WalkFrom(path, [&](const std::string& p, const struct stat& st) {
        mode_t want = 0;
        if (S_ISREG(st.st_mode))
            want = S_IWUSR;
        else if (S_ISDIR(st.st_mode))
            want = S_IRWXU;
        else
            return true;
        found = true;
        if ((st.st_mode & want) != want && chmod(p.c_str(), (st.st_mode & 07777) | want) != 0 &&
            failures)
            ++*failures;
        return true;
    });
    return found;
}

std::string FindSharedInode(const std::string& path) {
    std::string found;
    WalkFrom(path, [&found](const std::string& p, const struct stat& st) {
        if (S_ISREG(st.st_mode) && st.st_nlink > 1) {
            found = p;
            return false;
        }
        return true;
    });
    return found;
}

Result<void> MakeFolders(const std::string& folder) {
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return {};
        return Error(ErrorCode::NotFolder, folder);
    }
    if (errno != ENOENT) return Error::FromErrno(folder).Says(kCannotExamine);
    const std::string parent = ParentOf(folder);
    if (parent != folder && parent != "." && parent != "/")
        if (auto r = MakeFolders(parent); !r) return r;
    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        return Error::FromErrno(folder).Says(kCannotCreate);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return Error(ErrorCode::NotFolder, folder);
    return {};
}

int MoveNoReplace(const std::string& from, const std::string& to) {
    return platform::RenameNoReplace(from, to) ? 0 : errno;
}

Result<void> CopyTree(const std::string& from, const std::string& to) {
    struct stat st {};
    if (lstat(from.c_str(), &st) != 0) return Error::FromErrno(from).Says(kCannotExamine);
    const dev_t dev = st.st_dev;
    if (lstat(to.c_str(), &st) == 0) return Error(ErrorCode::Exists, to);
    bool created = false;
    Result<void> r = CopyOne(from, to, dev, 0, &created);
    // Only what this call created (O_EXCL, mkdir) is taken away again.
    if (!r && created) RemoveTree(to);
    return r;
}

bool RemoveTree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISDIR(st.st_mode)) return wipe::DeleteFolderTree(path);
    return unlink(path.c_str()) == 0;
}

}  // namespace tw::recyclebin
