// SPDX-License-Identifier: GPL-3.0-or-later
// Mounted file systems: the Linux stand-in for drive letters. A drive's text is its
// mount point; its root is the mount point with a trailing "/".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw {

enum class DriveType { Unknown, Fixed, Removable, Remote, CdRom, RamDisk };

// A description of one mounted file system, apart from any open handle.
struct DriveInfo {
    std::string mountPoint;  // "/home" (no trailing slash, except "/")
    std::string device;      // "/dev/sda2", or the source text of a virtual fs
    std::string fsType;      // "ext4", "ntfs3", "fuseblk", ...
    std::string label;       // volume label when known
    DriveType type = DriveType::Unknown;
    bool readOnly = false;
    uint64_t devId = 0;  // st_dev of the mount point

    // Mount point with a trailing "/".
    std::string Root() const { return mountPoint == "/" ? "/" : mountPoint + "/"; }
};

// Parse /proc/self/mountinfo text (exposed for tests).
std::vector<DriveInfo> ParseMountInfo(const std::string& text);
// The mounted file systems of this process, in mount order, without the pseudo file
// systems (proc, sysfs, cgroup, devpts, ...).
std::vector<DriveInfo> ListMounts();
// The mount that holds `path` (the longest mount point prefix of its real path).
std::optional<DriveInfo> MountOf(const std::string& path);
// Whether a type counts as local (fixed, removable or RAM disk).
bool IsLocal(DriveType t);

// Root of the first local mounted file system that is neither remote, CD nor unknown,
// in mount order; "" when there is none.
std::string FirstLocalDriveRoot();

struct FreeSpace {
    uint64_t availableBytes = 0;  // what this user may fill (f_bavail)
    uint64_t freeBytes = 0;       // all free blocks (f_bfree), reserved ones included
    uint64_t totalBytes = 0;
    uint32_t blockSize = 0;  // the file system's block size: the cluster size here
};
std::optional<FreeSpace> GetFreeSpace(const std::string& path);

// The folder of the running program, always ending in "/".
std::string ProgramFolder();

// $HOME, or the passwd entry's home folder.
std::string HomeFolder();

}  // namespace tw
