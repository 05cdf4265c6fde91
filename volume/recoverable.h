// SPDX-License-Identifier: GPL-3.0-or-later
// What the recoverable-file search finds and what it is given: the result record of one
// deleted file, and the context the search driver passes to the NTFS and FAT32 walks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/filetime.h"
#include "platform/operation.h"
#include "volume/raw_drive.h"

namespace tw::volume {

enum class FileSystemKind { Ntfs, Fat32 };

// One deleted file that may still be recovered.
struct RecoverableFile {
    FileTime created = 0, modified = 0;  // UTC file times; 0 when unknown
    std::string name;                    // UTF-8; empty when the record kept only a DOS name
    std::string attributes;              // 13 characters, see AttributeText
    int recoverability = 0;              // percent of the data still unallocated, 0..100
    uint64_t size = 0;                   // bytes
    uint64_t location = 0;               // NTFS: sector of the file record; FAT32: first cluster
    std::string folder;                  // folder path as text, or "< Folder has been deleted >"
    bool resident = false;               // NTFS: the data lives inside the record
    FileSystemKind fs = FileSystemKind::Ntfs;
    uint64_t directoryCluster = 0;  // FAT32: cluster of the directory holding the entry
    bool folderDeleted = false;     // FAT32: found by walking a deleted folder (its path
                                    // names the deleted folders with "?" first)
    // FAT32: the item is a deleted folder, and how many deleted entries (files and
    // folders deleted with it) its first cluster still lists; 0 when none, or when the
    // cluster holds no folder any more.
    bool isFolder = false;
    uint32_t entriesInside = 0;
    std::string details;    // NTFS: data-run summary + reallocated block, when asked
    uint16_t sequence = 0;  // NTFS: the record's sequence number when it was found
};

// The 13-character attribute text: each position is "-" unless its bit is set:
// a archive 0x20, c compressed 0x800, d directory 0x10 or bit 28, e encrypted 0x4000,
// h hidden 0x2, i bit 28, n normal 0x80, o offline 0x1000, p reparse point 0x400,
// r read-only 0x1, s system 0x4, t temporary 0x100; the 13th is always "-".
std::string AttributeText(uint32_t attributeBits);

enum class SearchMode { Search, Scrub };

// What the search driver hands to the file-system walks.
struct SearchContext {
    std::string
        driveText;  // shown as the folder of root items: mount point + "/", or "/" for an image
    CRawDriveRef* drive = nullptr;  // opened by the driver
    SearchMode mode = SearchMode::Search;
    // The operation the search runs in (progress, stop, pause, log); must outlive the
    // call. Null: an idle one (nothing shown, never stopped).
    const OpContext* op = nullptr;
    const OpContext& Op() const { return op ? *op : IdleOperation(); }
    bool wantStatus = true;              // show the running count in the status text
    bool wantDetails = false;            // fill RecoverableFile::details
    std::vector<RecoverableFile> found;  // appended in the order found (when keepFound)
    size_t foundCount = 0;               // files found so far, kept or not
    // False: found files are only handed to onFound, never kept in `found` (a caller
    // that prints them as they come and needs no list afterwards).
    bool keepFound = true;
    std::function<void(const RecoverableFile&)> onFound;  // live display; may be empty
    uint64_t protectedStartSector = 0;  // scrub guard: records at or below it are left alone
    // FAT32: also walk deleted folders whose first cluster is free (WalkDirectory).
    // Off by default: a deleted folder's cluster may hold anything by now.
    bool walkDeletedFolders = false;

    // Lists one found file: counts it, keeps it (moved out of `f`; unless !keepFound,
    // when `f` is left as it was) and shows it.
    void Add(RecoverableFile& f) {
        ++foundCount;
        if (!keepFound) {
            if (onFound) onFound(f);
            return;
        }
        found.push_back(std::move(f));
        if (onFound) onFound(found.back());
    }
};

}  // namespace tw::volume
