// SPDX-License-Identifier: GPL-3.0-or-later
// File recovery: copying what is left of a deleted file the search found into a new
// file in a recovery folder.
//
// Recovery reads the volume raw and writes only inside the recovery folder:
//   - The folder is opened once (O_DIRECTORY | O_NOFOLLOW) and every file is created
//     relative to that descriptor with O_CREAT | O_EXCL | O_NOFOLLOW, so a link planted
//     in the folder is never followed and an existing file is never replaced: a taken
//     name gets " (2)", " (3)", ... before its extension.
//   - Names come from the volume, which may be damaged or crafted: they are made safe
//     (no "/", no control characters, never "." or "..", never a leading "-", at most
//     255 bytes) before they reach the file system.
//   - A folder on the volume being recovered from (while it is mounted) is refused:
//     every file written there could land on the very clusters being recovered.
//
// NTFS recovery only reads the volume. FAT32 recovery clears the file's directory
// entry afterwards (so the file is not listed again), but only when the drive was
// opened for writing through the raw-write gate and the file was recovered in full.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/operation.h"
#include "volume/fat32.h"
#include "volume/ntfs.h"
#include "volume/recoverable.h"

namespace tw::volume {

// ---- Names ----

// The name a recovered file is written under: the item's name with its first character
// (a whole UTF-8 character) replaced by "#" and every space removed (?OCUMENT.TXT gives
// #OCUMENT.TXT), then made safe by SafeFileName. An empty name gives
// "#recovered-<location>".
std::string RecoveredFileName(const RecoverableFile& item);

// A name that is one plain entry of a folder: "/" and control characters (below 0x20,
// 0x7F) become "_", invalid UTF-8 bytes become "_", a leading "-" becomes "_", and
// the result is cut (on a character boundary, keeping a short extension) to `maxBytes`
// bytes. "", "." and ".." give `fallback` (itself made safe).
std::string SafeFileName(const std::string& name, const std::string& fallback,
                         size_t maxBytes = 255);

// The n-th candidate for a taken name: n = 1 is the name itself, n >= 2 inserts " (n)"
// before the extension ("#OC.TXT" -> "#OC (2).TXT"; "#OC" -> "#OC (2)"), cutting the
// stem so the result stays within 255 bytes.
std::string CandidateName(const std::string& name, unsigned n);

// ---- The recovery folder ----

enum class FolderCheck {
    Ok,
    NotSet,         // no folder given: text 410
    NotAccessible,  // cannot be opened as a folder (missing, not a folder, a link): 409
    OnSource,       // on the mounted volume being recovered from: 426
};

// The text shown for a folder check (410, 409, 426; "" for Ok).
std::string FolderCheckText(FolderCheck check);

// Why a folder is NotAccessible.
enum class FolderProblem {
    None,
    Missing,       // no such folder (or a parent is missing)
    Link,          // the path is a symbolic link: never followed
    NotAFolder,    // a plain file or something else that is not a folder
    NoPermission,  // cannot be written or entered by this user, or a read-only file system
    Other,         // any other error of open()
};

// The recovery folder, held open by descriptor for the whole operation.
class RecoveryFolder {
  public:
    RecoveryFolder() = default;
    ~RecoveryFolder();
    RecoveryFolder(const RecoveryFolder&) = delete;
    RecoveryFolder& operator=(const RecoveryFolder&) = delete;

    // Opens `path` (O_DIRECTORY | O_NOFOLLOW: the path itself must be a folder, not a
    // link to one) and checks that it is not on the volume `rawSource` (an image file
    // or block device) while that is mounted: the folder's device is compared with the
    // device of every mount of the source (the block device itself, a loop device
    // backed by the image, or a FUSE mount of the image). `rawSource` "" skips that
    // check. *mountPoint receives the source's mount point for OnSource.
    FolderCheck Open(const std::string& path, const std::string& rawSource,
                     std::string* mountPoint = nullptr);
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    // After NotAccessible: what is wrong, and a sentence saying so ("is a symbolic
    // link ...", "is not a folder", "cannot be written: Permission denied").
    FolderProblem Problem() const { return problem_; }
    const std::string& ProblemText() const { return problemText_; }
    // Path of an entry of the folder, for messages.
    std::string PathOf(const std::string& name) const;

  private:
    FolderCheck Refuse(FolderProblem problem, std::string text);

    int fd_ = -1;
    std::string path_;
    FolderProblem problem_ = FolderProblem::None;
    std::string problemText_;
};

// True when the folder open as `folderFd` lies on a mounted file system whose source
// is `rawSource` (see RecoveryFolder::Open). *mountPoint receives that mount point.
bool FolderIsOnSource(int folderFd, const std::string& rawSource, std::string* mountPoint);

// ---- Writing ----

// One output file while it is written.
struct RecoveredOutput {
    int fd = -1;
    std::string name;      // the name it was created under (after collisions)
    uint64_t written = 0;  // bytes written so far
    bool stopped = false;  // the stop flag ended the writing
    std::string error;     // why the last call failed
};

// Writes `buffer` in chunks of `chunkSize` bytes (the last one shorter) to a file in the
// folder. append false: a new file is created under the first free candidate of `name`
// (CandidateName; never replacing anything, never following a link) and out->fd/name
// are set; append true: the writing continues in out->fd. After each chunk both
// progress bars step by one and the sink is pumped; the stop flag is tested before each
// chunk and a stop leaves what was written (out->stopped). False when the file cannot
// be created or a write fails (out->error says why); a stop is not a failure. The file
// stays open: FinishOutput closes it.
bool WriteBufferToFile(RecoveryFolder& folder, const std::string& name,
                       std::span<const uint8_t> buffer, uint32_t chunkSize, const OpContext& op,
                       bool append, RecoveredOutput* out);

// Cuts the file to `exactSize` bytes (extending it with zeros when less was written)
// unless `cut` is false, flushes it to disk and closes it. False when the flush or the
// cut fails.
bool FinishOutput(RecoveredOutput* out, uint64_t exactSize, bool cut);

// ---- Recovery ----

// The volume a selection of found items lives on, as the search left it.
struct RecoveryVolume {
    CRawDriveRef* drive = nullptr;  // open; writable only when entries may be cleared
    NtfsVolume* ntfs = nullptr;     // NTFS items: loaded by the search (runs, bitmap)
    FatTable* fat = nullptr;        // FAT32 items
    // FAT32: the directory entry is cleared after a full recovery only when this is set
    // (the caller opened the drive for writing through the gate). Cleared the way the
    // trace wiper clears it (ClearFatDirectoryEntries of volume/traces.h).
    bool clearFatEntries = false;
};

struct RecoverResult {
    Outcome outcome = Outcome::Failed;  // Ok, Stopped, Failed (no file left for either)
    std::string fileName;               // name in the folder ("" when none is left)
    uint64_t bytesWritten = 0;          // size of the file on disk at the end
    uint64_t clusters = 0;              // clusters read for the item
    uint64_t clustersZeroed = 0;        // NTFS: allocated again, written as zeros
    uint64_t clustersUnread = 0;        // read failures, written as zeros
    // Clusters the size needs that are not there (FAT32: the volume ended first; NTFS:
    // the runs end before the size): the file is cut where the data ends.
    uint64_t clustersMissing = 0;
    bool complete = false;      // every byte of the item came from its own clusters
    bool entryCleared = false;  // FAT32
    std::string note;           // why the entry was left (FAT32), or that a partial file stayed
    std::string error;          // why it failed
};

// Recovers one item into `folder`:
//   NTFS resident: the record (at item.location) is read again and its unnamed $DATA
//     value written in one piece. A record in use again by now is not recovered.
//   NTFS non-resident: the item's runs in order, cluster by cluster: a cluster allocated
//     again now gives zero bytes in its place, a sparse run gives zeros, a cluster that
//     cannot be read gives zeros; at most ItemClusterCount(size) clusters are taken.
//   FAT32: the FatItemClusters sequence (first cluster, then the following free ones).
// The output is written in cluster-sized chunks through WriteBufferToFile under
// RecoveredFileName(item) and cut to the item's exact size, or to the end of the last
// cluster there is when the runs (or the volume) end first: those clusters are counted
// missing, never written as zeros. A stop ends the writing at the next chunk; the file
// of a stopped or failed recovery is removed and nothing is cleared. FAT32: after a
// complete recovery, the item's directory entry is cleared when vol.clearFatEntries.
// Progress: the Current bar spans the item's clusters; both bars step per cluster.
RecoverResult RecoverFile(const OpContext& op, RecoveryVolume& vol, const RecoverableFile& item,
                          RecoveryFolder& folder);

// The whole operation over a selection: logs "Started data recovery operation", shows
// "Recovering selected files" and "Recovering File: <name>" per item, logs
// "Recovered data to: <folder> Recovered file: <name>" or "Could not recover file
// <name>" per item. The Overall bar spans the clusters of every item. Stops at the
// first item the stop flag ends. `onItem` (may be empty) is told each item's result.
struct RecoveryRunResult {
    size_t recovered = 0;
    size_t failed = 0;
    bool stopped = false;
};
RecoveryRunResult RecoverFiles(
    const OpContext& op, RecoveryVolume& vol, const std::vector<const RecoverableFile*>& items,
    RecoveryFolder& folder,
    const std::function<void(const RecoverableFile&, const RecoverResult&)>& onItem = {});

}  // namespace tw::volume
