// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/rawio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "platform/drives.h"

namespace tw::platform {

namespace {

constexpr int kTextNotRawSource = TextId<1030>;
constexpr int kTextRefusedNotRawSource = TextId<1031>;
constexpr int kTextRefusedMounted = TextId<1032>;
constexpr int kTextRefusedBusy = TextId<1033>;
constexpr int kTextRefusedChanged = TextId<1034>;

std::string ReadSmallFile(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

}  // namespace

std::set<dev_t> LoopDevicesOf(const std::string& realImage) {
    std::set<dev_t> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/block", ec)) {
        const std::string base = e.path().filename().string();
        if (base.rfind("loop", 0) != 0) continue;
        if (ReadSmallFile(e.path().string() + "/loop/backing_file") != realImage) continue;
        auto addDev = [&out](const std::string& devFile) {
            unsigned maj = 0, min = 0;
            if (std::sscanf(ReadSmallFile(devFile).c_str(), "%u:%u", &maj, &min) == 2)
                out.insert(makedev(maj, min));
        };
        addDev(e.path().string() + "/dev");
        std::error_code ec2;
        for (const auto& p : std::filesystem::directory_iterator(e.path(), ec2))
            if (p.path().filename().string().rfind(base + "p", 0) == 0)
                addDev(p.path().string() + "/dev");
    }
    return out;
}

RawKind ClassifyRawSource(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return RawKind::Missing;
    if (S_ISREG(st.st_mode)) return RawKind::RegularFile;
    if (S_ISBLK(st.st_mode)) return RawKind::BlockDevice;
    return RawKind::Other;
}

Result<int> OpenRawForRead(const std::string& path) {
    RawKind kind = ClassifyRawSource(path);
    if (kind == RawKind::Missing) return Error::FromErrno(errno ? errno : ENOENT, path);
    if (kind == RawKind::Other) return Error(ErrorCode::Unsupported, path).Says(kTextNotRawSource);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Error::FromErrno(path);
    return fd;
}

bool IsMountedReadWrite(const std::string& path, std::string* where) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream ss;
    ss << in.rdbuf();
    for (const DriveInfo& d : ParseMountInfo(ss.str())) {
        if (d.devId == st.st_rdev && !d.readOnly) {
            if (where) *where = d.mountPoint;
            return true;
        }
    }
    return false;
}

// A volume image can be mounted directly (ntfs-3g, fuse2fs): then its path is the
// mount's source.
static bool IsImageMountedReadWrite(const std::string& path, std::string* where) {
    char real[PATH_MAX];
    if (!::realpath(path.c_str(), real)) return false;
    // A kernel file system mounts the image through a loop device; a FUSE driver
    // (ntfs-3g) names the image file itself as the mount's source.
    const std::set<dev_t> loops = LoopDevicesOf(real);
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream ss;
    ss << in.rdbuf();
    for (const DriveInfo& d : ParseMountInfo(ss.str())) {
        if (d.readOnly) continue;
        bool ofImage = loops.count(static_cast<dev_t>(d.devId)) != 0;
        char src[PATH_MAX];
        if (!ofImage && !d.device.empty() && d.device[0] == '/' &&
            ::realpath(d.device.c_str(), src))
            ofImage = std::strcmp(src, real) == 0;
        if (ofImage) {
            if (where) *where = d.mountPoint;
            return true;
        }
    }
    return false;
}

Result<int> OpenRawForWrite(const std::string& path) {
    const RawKind kind = ClassifyRawSource(path);
    if (kind == RawKind::Missing) return Error::FromErrno(errno ? errno : ENOENT, path);
    if (kind == RawKind::Other)
        return Error(ErrorCode::Unsupported, path).Says(kTextRefusedNotRawSource);
    const bool image = kind == RawKind::RegularFile;

    // Writing below a mounted read-write file system corrupts it: refuse.
    std::string where;
    if (image ? IsImageMountedReadWrite(path, &where) : IsMountedReadWrite(path, &where))
        return Error(ErrorCode::Mounted, path).With(where).Says(kTextRefusedMounted);

    int fd;
    if (image) {
        // An image file: never create one, never follow a link swapped in meanwhile
        // for the final component.
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ELOOP) {
            // The path itself is a link to a regular file: open what it names, then
            // make sure it still is a regular file.
            fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        }
    } else {
        // The kernel enforces the same with O_EXCL: it fails while the device is mounted
        // or held exclusively by anyone else.
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_EXCL);
        if (fd < 0 && errno == EBUSY) return Error(ErrorCode::Busy, path).Says(kTextRefusedBusy);
    }
    if (fd < 0) return Error::FromErrno(path);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (image ? !S_ISREG(st.st_mode) : !S_ISBLK(st.st_mode))) {
        ::close(fd);
        return Error(ErrorCode::Changed, path).Says(kTextRefusedChanged);
    }
    return fd;
}

}  // namespace tw::platform
