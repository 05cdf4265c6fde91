// SPDX-License-Identifier: GPL-3.0-or-later
// What the volume commands share: turning SOURCE (an image file, a block device or a
// mounted folder) into the raw source to read, opening it, running the recoverable-file
// search to get the found items back, and picking items by --location / --all.
//
// Used by search, recover, clusters, dump and wipe-traces. Every function here prints
// its own error ("tidewipe-cli: ...") and returns the exit code to give (kOk when it
// went on), so a command only has to pass a failure on with env.Fail(code).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "volume/fat32.h"
#include "volume/ntfs.h"
#include "volume/recoverable.h"
#include "volume/search.h"

namespace tw::cli {

struct ResolvedSource {
    std::string raw;        // image file or block device to read
    std::string driveText;  // folder shown for root items
    std::string driveName;  // how messages name the drive
};

// A mounted folder is read through the device (or image file) mounted there; a block
// device or image file is read as it is. False with *error set when SOURCE is missing,
// is some other kind of file, or is a folder whose file system has no device.
bool Resolve(const std::string& source, ResolvedSource* out, std::string* error);

// The activity log of the search, recovery and trace wiping: the writer when activity
// logging is on (SaveToLogfile, the master switch) and so is the category these
// operations log under (logRecoverableDataOperations); null otherwise.
log::CActivityLogFile* RecoveryLog(Env& env);

// How the drive is left open once the volume is loaded.
enum class RawAccess {
    ReadOnly,        // reads only
    Write,           // raw writes needed: a refusal of the write gate ends with kRefused
    WriteIfAllowed,  // writes wanted where the gate allows them, else read-only
};

struct OpenOptions {
    RawAccess access = RawAccess::ReadOnly;
    // Run the search and keep what it found; false only detects the file system and
    // loads its geometry (dump).
    bool search = true;
    // The search's progress, stop and log lines (null: none shown, never stopped,
    // nothing logged).
    const OpContext* op = nullptr;
    bool deletedFolders = false;  // FAT32: walk deleted folders too (--deleted-folders)
};

// An opened NTFS or FAT32 volume with the search's results. Not copyable: the NTFS
// volume and the FAT table hold references to `drive`.
struct SelectedVolume {
    ResolvedSource source;
    volume::FileSystemKind fs = volume::FileSystemKind::Ntfs;
    volume::CRawDriveRef drive;                  // open (read-only or writable) on success
    std::unique_ptr<volume::NtfsVolume> ntfs;    // NTFS: boot info, runs kept by the search, bitmap
    volume::NtfsBootInfo ntfsBoot;               // NTFS geometry (also without a search)
    volume::FatBootInfo fatBoot;                 // FAT32 geometry
    std::unique_ptr<volume::FatTable> fat;       // FAT32
    std::vector<volume::RecoverableFile> found;  // what the search listed, in its order
    std::string searchMessage;                   // "Completed search for recoverable files ..."
    bool writable = false;
    std::string writeRefusal;  // WriteIfAllowed: the gate's reason when writes are not allowed

    SelectedVolume() = default;
    SelectedVolume(const SelectedVolume&) = delete;
    SelectedVolume& operator=(const SelectedVolume&) = delete;

    uint32_t BytesPerCluster() const;
    // Valid cluster numbers: FirstCluster() .. LastCluster() (FAT32 from 2, NTFS from 0).
    uint64_t FirstCluster() const;
    uint64_t LastCluster() const;
    // Reads one cluster (bounds-checked); false when outside the volume or unreadable.
    bool ReadCluster(uint64_t cluster, std::vector<uint8_t>* out);
};

// Resolves and opens SOURCE, refuses file systems other than NTFS and FAT32 (kRefused,
// with the unsupported-file-system message exactly as the search shows it), runs the
// search when asked (a failed search: kFailed; a search stopped by Ctrl-C: kFailed),
// then opens the drive as `opts.access` says. An unreadable source is kFailed; a raw
// write the gate refuses is kRefused with the gate's sentence. Returns kOk on success.
int OpenSelectedVolume(const std::string& source, const OpenOptions& opts, SelectedVolume* out);

// --deleted-folders: the FAT32 search also walks deleted folders. Every command that
// picks found items by location takes it, so that the items such a search lists can be
// named again.
void AddDeletedFoldersOption(CLI::App* cmd, bool& flag);

// --location N (repeatable) and --all: which found items a command works on.
struct ItemSelection {
    std::vector<uint64_t> locations;
    bool all = false;
};
// Adds the two options (mutually exclusive) with help texts that say what a location
// is: the "location" field of `search --json`.
void AddSelectionOptions(CLI::App* cmd, ItemSelection& sel);

// The selected items, in the order given (duplicates once each), or every found item
// for --all. Neither option: prints `noneSelectedText` (e.g. "Please select one or more
// files to recover") and returns kUsage. A location the search did not list: prints
// "no recoverable file at location N on SOURCE" and returns kUsage, nothing selected.
// --all with nothing found selects nothing and returns kOk.
int SelectItems(const SelectedVolume& vol, const ItemSelection& sel,
                const std::string& noneSelectedText,
                std::vector<const volume::RecoverableFile*>* out);

}  // namespace tw::cli
