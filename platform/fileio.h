// SPDX-License-Identifier: GPL-3.0-or-later
// Small file helpers the engine needs everywhere: a descriptor owner, writes that
// finish (short writes and EINTR handled), a rename that never replaces, path joining.
// Failures are reported as false with errno set, like the system calls they wrap.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace tw::platform {

// Owns one file descriptor and closes it when it goes; movable, not copyable.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }

    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    explicit operator bool() const { return ok(); }
    // Closes the descriptor held (if any) and takes `fd` instead.
    void Reset(int fd = -1);
    // Gives up ownership without closing.
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// Writes all `size` bytes, going on after short writes and EINTR. False with errno set
// when a write fails (a write that takes nothing counts as ENOSPC); *written, when
// given, receives the bytes written either way.
bool WriteAll(int fd, const void* data, size_t size, size_t* written = nullptr);
// The same at `offset` (pwrite), the file offset left alone.
bool PwriteAll(int fd, const void* data, size_t size, off_t offset, size_t* written = nullptr);
inline bool WriteAll(int fd, std::string_view text) {
    return WriteAll(fd, text.data(), text.size());
}

// Renames `from` (relative to dirFd, AT_FDCWD for the working folder) to `to` (relative
// to toDirFd) only when `to` does not exist: RENAME_NOREPLACE, and where the file system
// does not take the flag, RenameNoReplaceFallback. False with errno set (EEXIST when the
// name is taken); nothing that was at `to` is ever replaced.
bool RenameNoReplace(int dirFd, const std::string& from, int toDirFd, const std::string& to);
bool RenameNoReplace(const std::string& from, const std::string& to);

// The no-replace move without the flag, for file systems that lack it: a hard link to
// the new name and an unlink of the old one (the link refuses a taken name); a folder
// gets an empty folder made under the new name (mkdir refuses a taken name) which the
// rename then takes the place of (a rename replaces only an empty folder). Never a
// look-then-rename, which would race with whoever creates the name in between.
bool RenameNoReplaceFallback(int dirFd, const std::string& from, int toDirFd,
                             const std::string& to);

// `folder` + "/" + `name`, without a doubled slash when `folder` ends in one; `name`
// alone when `folder` is empty.
std::string JoinPath(std::string_view folder, std::string_view name);

// The folder holding `path`: "." for a bare name, "/" for a name in the root.
std::string ParentOf(const std::string& path);
// The last component of `path` (all of it when it has no "/").
std::string BaseName(const std::string& path);

}  // namespace tw::platform
