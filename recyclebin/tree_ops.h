// SPDX-License-Identifier: GPL-3.0-or-later
// File-tree helpers of the Trash: sizing, making data writable, moving without ever
// replacing, and the copy that stands in for a move across file systems.
//
// Every walk here works on the entries themselves: symbolic links are never followed
// (a link is an entry of its own, copied or removed as a link), and a walk never
// enters another file system mounted below its start.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileio.h"
#include "platform/result.h"
#include "wipe/file_wiper.h"

namespace tw::recyclebin {

// The sum of the sizes of the regular files at or below `path` (a file gives its own
// size). Unreadable folders add nothing.
uint64_t TreeSize(const std::string& path);

// Gives the user write permission on `path` and everything below it: regular files get
// u+w, folders u+rwx (a folder must be listable and writable for its entries to be
// wiped and removed). Links and special files are left alone. True if at least one
// entry was found; `failures` (may be null) counts entries whose mode could not be set.
bool MakeTreeWritable(const std::string& path, int* failures);

// The first regular file at or below `path` that has more than one hard link, or ""
// when there is none. Overwriting such a file would destroy the content of its other
// names, which live outside the Trash.
std::string FindSharedInode(const std::string& path);

// Creates `folder` and any missing parents (mode 0777 less the umask, like mkdir -p).
// True when the folder exists as a folder afterwards.
Result<void> MakeFolders(const std::string& folder);

// Moves `from` to `to` unless something already exists at `to`. 0 on success, else the
// errno: EEXIST when `to` is taken, EXDEV across file systems (platform::RenameNoReplace,
// which never falls back to a check before the rename).
int MoveNoReplace(const std::string& from, const std::string& to);

// Copies `from` (file, folder tree, link, FIFO) to `to`, which must not exist: files
// are created with O_EXCL and folders with mkdir, so nothing that exists is ever
// replaced. Modes and times (nanoseconds) are kept, and ownership when running as
// root. Device nodes and sockets are refused. On failure what this call created at
// `to` is removed again and the error returned; `from` is never changed.
Result<void> CopyTree(const std::string& from, const std::string& to);

// Removes `path`: a folder with everything below it (wipe::DeleteFolderTree), anything
// else with unlink. Nothing is overwritten. True when it no longer exists.
bool RemoveTree(const std::string& path);

// Small files can keep their data inside the file record (NTFS resident data, ext4
// inline data); moving such a file into the Trash shifts the record's attributes and
// leaves a copy of the data's tail in the record's unused space. The file wipers fill
// that space before they rename or grow a file (wipe/file_wiper.h).
using wipe::ScrubInlineData;

using platform::BaseName;
using platform::ParentOf;

}  // namespace tw::recyclebin
