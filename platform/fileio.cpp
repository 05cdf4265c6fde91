// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fileio.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace tw::platform {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) close(fd_);
    fd_ = fd;
}

namespace {

// The loop both writes share: `put(data, size, done)` writes from `done` on.
template <typename Put>
bool WriteLoop(const void* data, size_t size, size_t* written, Put put) {
    const auto* p = static_cast<const uint8_t*>(data);
    size_t done = 0;
    bool ok = true;
    while (done < size) {
        ssize_t n = put(p + done, size - done, done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written) *written = done;
    return ok;
}

}  // namespace

bool WriteAll(int fd, const void* data, size_t size, size_t* written) {
    return WriteLoop(data, size, written,
                     [fd](const uint8_t* p, size_t n, size_t) { return ::write(fd, p, n); });
}

bool PwriteAll(int fd, const void* data, size_t size, off_t offset, size_t* written) {
    return WriteLoop(data, size, written, [fd, offset](const uint8_t* p, size_t n, size_t done) {
        return ::pwrite(fd, p, n, offset + static_cast<off_t>(done));
    });
}

bool RenameNoReplace(int dirFd, const std::string& from, int toDirFd, const std::string& to) {
    if (renameat2(dirFd, from.c_str(), toDirFd, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    return RenameNoReplaceFallback(dirFd, from, toDirFd, to);
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    return RenameNoReplace(AT_FDCWD, from, AT_FDCWD, to);
}

bool RenameNoReplaceFallback(int dirFd, const std::string& from, int toDirFd,
                             const std::string& to) {
    struct stat st {};
    if (fstatat(dirFd, from.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISDIR(st.st_mode)) {
        if (mkdirat(toDirFd, to.c_str(), 0700) != 0) return false;
        if (renameat(dirFd, from.c_str(), toDirFd, to.c_str()) == 0) return true;
        const int e = errno;
        unlinkat(toDirFd, to.c_str(), AT_REMOVEDIR);  // only while still empty
        errno = e;
        return false;
    }
    // Without AT_SYMLINK_FOLLOW a link to a symbolic link links the link itself.
    if (linkat(dirFd, from.c_str(), toDirFd, to.c_str(), 0) != 0) return false;
    if (unlinkat(dirFd, from.c_str(), 0) == 0) return true;
    const int e = errno;
    unlinkat(toDirFd, to.c_str(), 0);
    errno = e;
    return false;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/') out += '/';
    out += name;
    return out;
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace tw::platform
