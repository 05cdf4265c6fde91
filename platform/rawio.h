// SPDX-License-Identifier: GPL-3.0-or-later
// The one gate for opening a volume below its file system.
//
// Reads use a strictly read-only open. Every open for writing goes through
// OpenRawForWrite, which allows only two kinds of target:
//   - a regular file (a volume image the user made or chose) that is not mounted
//     read-write, neither directly (ntfs-3g and other FUSE drivers mount image files
//     themselves) nor through a loop device it backs, and
//   - a block device that is not mounted read-write, opened O_EXCL so that the kernel
//     refuses it while any file system (or another exclusive opener) holds it.
// Everything else (a mounted read-write device, a character device, a folder, a link
// to any of these) is refused with a reason.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

#include "platform/result.h"

namespace tw::platform {

enum class RawKind { Missing, RegularFile, BlockDevice, Other };

// What `path` is, following symbolic links (a /dev/disk/by-* link names a device).
RawKind ClassifyRawSource(const std::string& path);

// Opens `path` read-only (O_RDONLY | O_CLOEXEC). Gives the descriptor (the caller
// closes it), or the error: NotFound and the other errno codes, Unsupported for what is
// neither an image file nor a block device.
Result<int> OpenRawForRead(const std::string& path);

// Opens `path` for reading and writing if the gate allows it (see above). Gives the
// descriptor, or why it was refused: Unsupported (not an image or a block device),
// Mounted (detail: the mount point), Busy (held exclusively), Changed (swapped while
// being opened), or the errno of the open.
Result<int> OpenRawForWrite(const std::string& path);

// The devices (major:minor) of the loop devices whose backing file is the image
// `realImage` (a resolved path), with their partitions: what a mount of the image
// through a loop device shows as its device.
std::set<dev_t> LoopDevicesOf(const std::string& realImage);

// True when the block device `path` (resolved through links) is mounted read-write,
// per /proc/self/mountinfo (major:minor match). *where receives the mount point.
bool IsMountedReadWrite(const std::string& path, std::string* where);

}  // namespace tw::platform
