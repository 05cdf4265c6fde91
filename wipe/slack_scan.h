// SPDX-License-Identifier: GPL-3.0-or-later
// The slack enumeration: which live files of a folder tree have slack that can still
// hold old data, and the slack bytes of one such file as they lie on the volume.
//
// A file has slack when its size is not a whole number of clusters (here: the file
// system's fragment size, the same size the slack wiper uses) AND its last cluster is a
// cluster of its own on the disk. The file system is asked where the last cluster lies
// (FIEMAP, with FIEMAP_FLAG_SYNC so that data waiting for delayed allocation gets its
// place first):
//   - a normal extent: the file is listed with its last cluster number;
//   - a hole, inline data (ext4 inline_data, btrfs inline extents), a packed tail
//     (NOT_ALIGNED, DATA_TAIL), an extent whose place is not known yet (UNKNOWN,
//     DELALLOC) or whose bytes are not the file's bytes (ENCODED, DATA_ENCRYPTED): the
//     file has no slack cluster that could be shown, and it is not listed;
//   - the file system does not answer FIEMAP (ntfs-3g and other FUSE file systems,
//     tmpfs, overlay), or it answers with addresses that are not byte offsets on the
//     mounted device (btrfs): the file is listed with its last cluster "unknown". Only
//     when the allocation the file system reports (st_blocks) is smaller than one
//     cluster is such a file left out: its data lives in the file record (a small
//     NTFS file under ntfs-3g) and no cluster holds slack.
//
// The walk is the slack wipe's (wipe/walker.h): the same folders and files are skipped
// (links are never followed, other file systems below the start are not entered, only
// regular files, no read-only, hidden, system or protected names). A file with several
// hard links is listed once, under the first name the walk meets: its slack is one place
// on the disk.
//
// Everything here only reads. The slack bytes are read below the file system from the
// mounted volume's device or image file, opened read-only by the caller; the file must
// be unchanged between locating its last cluster and reading it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/result.h"
#include "wipe/walker.h"

namespace tw::wipe {

// Where the last cluster of a file lies, as far as its file system tells.
enum class ClusterPlace {
    OnDisk,     // a cluster of its own at a known byte offset on the mounted device
    Unknown,    // the file system does not say (or says in another address space)
    NotOnDisk,  // no cluster of its own: hole, inline or packed data, not placed yet,
                // encoded extent, or less than one cluster allocated at all
};

struct LastClusterPlace {
    ClusterPlace place = ClusterPlace::Unknown;
    uint64_t byteOffset = 0;  // OnDisk: byte offset of the cluster on the device
};

// Locates the last cluster of the open regular file `fd` of sizeBytes (> 0) on
// clusters of clusterSize bytes. `allocatedBytes` is what the file system reports as
// allocated (st_blocks x 512); it decides only when FIEMAP cannot.
LastClusterPlace LocateLastCluster(int fd, uint64_t sizeBytes, uint32_t clusterSize,
                                   uint64_t allocatedBytes);

// The Windows-style attribute bits of a live file, for the 13-character attribute text
// of the search (volume::AttributeText): read-only 0x1 (no write permission for this
// user), hidden 0x2 (name begins with "."), system 0x4 (immutable or append-only),
// compressed 0x800, encrypted 0x4000, normal 0x80 when none of these is set.
uint32_t LiveAttributeBits(std::string_view name, bool writable, bool system, bool compressed,
                           bool encrypted);

// One file with slack.
struct SlackItem {
    std::string path;    // absolute
    std::string folder;  // absolute, without a trailing "/" ("/" for the root)
    std::string name;
    uint64_t sizeBytes = 0;
    uint64_t slackBytes = 0;  // clusterSize - size % clusterSize (1 .. clusterSize - 1)
    uint32_t clusterSize = 0;
    bool lastClusterKnown = false;
    uint64_t lastCluster = 0;  // physical byte offset / clusterSize, when known
    FileTime created = 0;      // birth time, 0 when the file system keeps none
    FileTime modified = 0;
    uint32_t attributeBits = 0;  // see LiveAttributeBits
    bool compressed = false;
    dev_t dev = 0;
    ino_t ino = 0;

    // The last cluster in decimal, or "unknown".
    std::string LastClusterText() const;
};

// " (Did not find any slacks)", " (Found 1 slack)", " (Found n slacks)".
std::string SlackResultText(size_t count);
// "Searching for recoverable slacks (Found: n slack[s])": the running status.
std::string SlackStatusText(size_t count);

// The size text of the details: 1024 bytes or more as FormatSize(bytes, "%2.2f") +
// " (" + bytes + " bytes)", a smaller size as bytes + " (b)".
std::string DetailSizeText(uint64_t bytes);
// A file time as "%A, %B %d, %Y - %H:%M:%S" in local time with English day and month
// names; "unknown" for 0.
std::string DetailTimeText(FileTime time);

// The details text (the list's info tip) of a slack item, lines joined with "\n":
//   RIGHT CLICK TO VIEW CONTENTS / 53 "-" / File name / File length / Slack Length /
//   Created Time / Modified Time / Attributes / Compressed / the location line
//   "Last cluster of the file: " + LastClusterText().
// `attributeText` is volume::AttributeText(item.attributeBits) (the 13-character text
// lives with the search, one layer above this one).
std::string SlackDetailsText(const SlackItem& item, std::string_view attributeText);

enum class SlackScanEnd {
    Completed,  // "Completed search for recoverable slacks" + result text
    Aborted,    // "Aborted search for recoverable slacks" + result text
    Failed,     // the start could not be walked: message says why
};

struct SlackScanReport {
    SlackScanEnd end = SlackScanEnd::Failed;
    std::string message;  // the line shown and logged
    Error error;          // Failed: why
};

// The slack enumeration of a folder tree.
class CSlackScanner {
  public:
    // Sees each item as it is found (live display); may be empty.
    std::function<void(const SlackItem&)> onFound;
    // Sees each entry the walk left out, and each file left out because it has no slack
    // cluster (reason "no cluster of its own on the disk"); may be empty.
    std::function<void(const std::string& path, std::string_view reason)> onSkip;

    // Walks `start`, appending every file with slack to found() (cleared first), in
    // walk order. `driveName` names the drive in the log ("Beginning search for
    // recoverable slacks on <driveName>", then the end message; only when op.Log() is
    // set). The status shows SlackStatusText after each find; the Overall bar
    // (0..372) follows `counts` (the counting walk of the same start) when given. The
    // abort flag ends the walk between files (Aborted, with what was found so far).
    SlackScanReport Scan(const OpContext& op, const std::string& start,
                         const std::string& driveName, const CCountingWalk* counts = nullptr);

    const std::vector<SlackItem>& found() const { return found_; }
    // Files examined, and those with a known, an unknown or no slack cluster.
    uint64_t filesExamined = 0, withoutSlack = 0, notOnDisk = 0, placeUnknown = 0;

  private:
    std::vector<SlackItem> found_;
};

enum class SlackVerdict {
    Listed,      // has slack: *item filled (its last cluster known or not)
    NoSlack,     // empty, or a whole number of clusters long
    NotOnDisk,   // no cluster of its own holds its slack (see the header comment)
    Unreadable,  // could not be opened, or is no longer the file the walker examined
};
// Examines one file handed over by the walker, on clusters of clusterSize bytes.
SlackVerdict ExamineSlack(const WalkFile& file, uint32_t clusterSize, SlackItem* item);

// ---------------------------------------------------------------- the slack bytes

// "It is not possible to view individual file slacks on your system because Tidewipe is
// unable to gain sufficient access to your filing system. To fix this problem, try
// running the program from a user account with Administrator privileges."
const std::string& SlackViewDeniedText();

// The raw source to read a file's slack from: the device (or image file, for a FUSE or
// loop mount of an image) of the mount that holds `path`. Fails when the mount has no
// device or image behind it (tmpfs, overlay, network), or the path does not lie on it.
Result<std::string> SlackViewSource(const std::string& path);

// Reads whole 512-byte sectors of that source: sector N at byte N x 512. The viewer
// passes volume::CRawDriveRef::Read of the source opened read-only.
using SectorReader = std::function<bool(uint64_t sector, void* buffer, uint32_t byteCount)>;

// The last cluster of a live file, as it lies on the volume.
struct FileSlackBytes {
    std::string path;
    uint64_t sizeBytes = 0;
    uint32_t clusterSize = 0;
    uint64_t lastCluster = 0;      // byteOffset / clusterSize
    uint64_t byteOffset = 0;       // of the cluster on the volume
    std::vector<uint8_t> cluster;  // clusterSize bytes
    size_t slackOffset = 0;        // where the slack begins in `cluster` (size % clusterSize)

    std::span<const uint8_t> Slack() const {
        return std::span<const uint8_t>(cluster).subspan(slackOffset);
    }
};

// Reads the last cluster of `path` (a regular file; a link is not followed) through
// `read`, and gives it with the place where its slack begins. Fails, with a reason,
// when the file has no slack, its last cluster has no known place on the disk, the read
// fails, or the file changed between locating the cluster and reading it (size,
// modification time or place; try again). The volume's cached pages of that cluster are
// dropped before the read: a read through the device's cache could otherwise show bytes
// the file system has since overwritten.
Result<FileSlackBytes> ReadFileSlack(const std::string& path, const SectorReader& read);

}  // namespace tw::wipe
