// SPDX-License-Identifier: GPL-3.0-or-later
// The drive walk shared by slack wiping, deep clean and the counting walk that feeds
// their progress and time estimate.
//
// Starting at a folder, the walker visits every folder below it and hands each ordinary
// file it may work on to the caller. What it never does, whatever the tree holds:
//   - follow a symbolic link (entries are examined with AT_SYMLINK_NOFOLLOW and folders
//     are entered with openat(O_NOFOLLOW | O_DIRECTORY) relative to their parent);
//   - leave the mount it started on: a mount point below the start is skipped, like
//     find -xdev, and that includes a bind mount of the same file system (which the
//     device number alone cannot tell apart: mounts are told apart by their mount ID,
//     from statx, else from /proc/self/mountinfo); a single file bind-mounted below the
//     start is skipped the same way;
//   - walk /proc, /sys or /dev (a start inside them is refused);
//   - hand over anything that is not a regular file.
// Folders skipped by name: ".", "..", "RECYCLED", "RECYCLER", "System Volume
// Information" (compared without regard to case, as on the volumes that carry them),
// the Trash folders ".Trash" and ".Trash-*" (the Trash has its own wipe), and the
// free-space cleaner's working folder. Files skipped: no write permission for the user
// ("read-only"; for root: no write bit at all), a name beginning with "." ("hidden"),
// the immutable or append-only flag ("system"), a lower-cased name that contains one of
// the protected substrings (ProtectedNameParts()), a deep clean's temporary copy or its
// journal, and, when asked, files with more than one hard link. The file wipe asks for
// every regular file instead (WalkOptions::everyFile) and judges each file itself.
//
// Each folder's entries are read completely and sorted by name before any of them is
// handled, so files created or renamed while the folder is being worked on (the deep
// clean's copies, a wiper's random names) are never picked up by the same walk.
// Before each file the walker calls the operation's pause check and stops when the
// abort flag is set; a file is never left half-handled by the walker itself.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/fileio.h"
#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/result.h"

namespace tw::wipe {

// The deep clean's temporary copy of a file is "<n>" + kCopySuffix in the file's own
// folder; while it exists, "<n>" + kCopySuffix + kJournalSuffix records whose copy it is.
inline constexpr std::string_view kCopySuffix = "vr3swt4sd456.rj3";
inline constexpr std::string_view kJournalSuffix = ".origin";
// The free-space cleaner's working folder at a volume's root.
inline constexpr std::string_view kFreeSpaceFolder = "17FA5B59-0C6D-4b88-800E-6FD9D2D0C90E";

// Why an entry was left out.
enum class SkipReason {
    NotRegular,        // symbolic link, device, FIFO, socket
    OtherFileSystem,   // a mount point: another file system, or a bind mount of any
    SkippedFolder,     // a folder skipped by name (recycle bins, Trash, cleaner's folder)
    PseudoFileSystem,  // /proc, /sys, /dev
    Hidden,            // name begins with "."
    ProtectedName,     // the lower-cased name contains a protected substring
    ReadOnly,          // the user may not write it
    System,            // immutable or append-only
    HardLinked,        // more than one hard link (only when the walk asks)
    TemporaryCopy,     // a deep clean's temporary copy or its journal
    Unreadable,        // could not be examined, opened or listed
};
// A short English phrase for plans and logs ("read-only", "hidden", ...).
const char* SkipReasonText(SkipReason reason);

// What the walker knows about a file: one statx of the entry, not following links.
struct FileFacts {
    uint64_t sizeBytes = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t nlink = 0;
    mode_t mode = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    timespec atime{}, mtime{};
    bool compressed = false;  // FS_COMPR_FL / STATX_ATTR_COMPRESSED
    bool system = false;      // immutable or append-only
    bool flagsKnown = false;  // the file system reported the two flags above
    uint64_t mountId = 0;     // the mount the entry was reached through
    bool mountIdKnown = false;
};

// One file handed to the caller. dirFd is the open folder and valid only during the
// call: open the file relative to it (openat with O_NOFOLLOW) so that a name swapped
// for a link between the listing and the open is refused.
struct WalkFile {
    int dirFd = -1;
    std::string folder;  // absolute path of the folder, without a trailing "/" ("/" for the root)
    std::string name;
    FileFacts facts;

    std::string Path() const;
};

struct WalkOptions {
    bool skipHardLinks = false;  // deep clean: a copy would break the link
    // The file wipe: every regular file is handed over and every folder entered,
    // whatever its name, permissions or flags (the caller refuses what it must, with its
    // own reasons). What stays: no links followed, no mount point entered, nothing in
    // /proc, /sys or /dev, nothing but regular files handed over.
    bool everyFile = false;
};

// Protected substrings of file names, lower case, in the order they are tested.
const std::vector<std::string_view>& ProtectedNameParts();
// The per-entry rules, exposed for tests and for callers that check a single name.
bool IsSkippedFolderName(std::string_view name);
bool IsProtectedFileName(std::string_view name);
bool IsTemporaryCopyName(std::string_view name);
// True for /proc, /sys and /dev and anything below them (path must be absolute and
// normalised).
bool IsPseudoFileSystemPath(std::string_view path);
// "/a/b" + "c" = "/a/b/c"; "/" + "c" = "/c".
using platform::JoinPath;

// Reads the facts of `name` in `dirFd` without following links. Gives false (errno set)
// when the entry cannot be examined. An empty name reads dirFd itself.
bool ReadFileFacts(int dirFd, const char* name, FileFacts* out);

// Whether the absolute, canonical `path` is the root of a mount (a mounted file system
// or a bind mount), judged by its mount ID against its parent's, else by
// /proc/self/mountinfo. "/" is one. False when it cannot be told.
bool IsMountRoot(const std::string& path);

class CDriveWalker {
  public:
    // Called for each file the walker hands over.
    std::function<void(const WalkFile&)> onFile;
    // Called for each entry left out (files and folders); path is the entry's path.
    std::function<void(const std::string& path, SkipReason)> onSkip;
    // Called when a folder has been opened, before its entries are read (the deep
    // clean restores leftover copies here), and after its last entry.
    std::function<void(int dirFd, const std::string& folder)> onFolderStart;
    std::function<void(int dirFd, const std::string& folder)> onFolderEnd;

    WalkOptions options;

    // Walks from `start` (a folder; made absolute and canonical first). Ok when the
    // walk finished, Stopped when the abort flag ended it, Failed when the start could
    // not be opened, is not a folder or lies in /proc, /sys or /dev (error() then says
    // why). Folders below the start that cannot be opened are reported through onSkip
    // and the walk goes on.
    Outcome Walk(const OpContext& op, const std::string& start);
    const Error& error() const { return error_; }
    // The canonical start of the last walk.
    const std::string& StartPath() const { return start_; }

    // Folders entered below the start, files handed over, entries skipped.
    uint64_t foldersVisited = 0, filesVisited = 0, entriesSkipped = 0;

  private:
    Outcome WalkFolder(const OpContext& op, int dirFd, const std::string& folder, int depth);
    void Skip(const std::string& path, SkipReason reason);

    // Whether the entry (facts read through dirFd/name, absolute `path`) lies on
    // another mount than the start.
    bool OnOtherMount(const FileFacts& facts, const std::string& path);
    // The name, flag and permission rules for one regular file (reported through Skip
    // when it fails one); may fill in the flags of `facts`.
    bool PassesFileRules(int dirFd, const std::string& path, const std::string& name,
                         FileFacts& facts);

    dev_t dev_ = 0;
    uint64_t mountId_ = 0;
    bool mountIdKnown_ = false;
    std::vector<std::string> mountPoints_;  // from mountinfo, when statx gives no mount ID
    bool mountPointsRead_ = false;
    std::string start_;
    Error error_;
    bool flagsIoctlWorks_ = true;  // cleared when the file system answers it with ENOTTY
};

// The counting walk's totals. Written by the counting thread, read by the cleaning
// walk while the count is still going: every field is atomic on its own (the totals
// are estimates until `finished`).
struct WalkerRecord {
    std::atomic<uint64_t> files{0};
    std::atomic<uint64_t> previouslyCleaned{0}, previouslyCleanedBytes{0};
    std::atomic<uint64_t> toClean{0}, toCleanBytes{0};
    std::atomic<uint64_t> folders{0};
    std::atomic<bool> finished{false};

    // The work a run will do: files and bytes to clean, plus the previously cleaned
    // ones when they are cleaned again.
    uint64_t WorkFiles(bool reclean) const {
        return toClean.load() + (reclean ? previouslyCleaned.load() : 0);
    }
    uint64_t WorkBytes(bool reclean) const {
        return toCleanBytes.load() + (reclean ? previouslyCleanedBytes.load() : 0);
    }
};

// Whether a file counts as cleaned by the deep clean whose stamp is `stamp`: its
// modification time is not later than the stamp. No stamp (0): never.
bool CleanedSince(const FileFacts& facts, FileTime stamp);

// The counting walk ("Analyzing files"): the same walk as the cleaning walks, counting
// files (previously cleaned or to clean, with their bytes) and folders. It runs on a
// thread of its own so that cleaning can start at once, in the operation of the run it
// counts for: that operation's pause holds it at the next file and its stop ends it.
class CCountingWalk {
  public:
    CCountingWalk() = default;
    ~CCountingWalk();
    CCountingWalk(const CCountingWalk&) = delete;
    CCountingWalk& operator=(const CCountingWalk&) = delete;

    // Starts the thread. `op` is the run's operation and must outlive the walk (the
    // destructor waits for the thread). `stamp` is the drive's deep-clean stamp read
    // before the run stored a new one (0: none).
    void Start(const OpContext& op, const std::string& start, FileTime stamp, WalkOptions options);
    // Waits for the thread to end (no-op when none runs).
    void Join();

    const WalkerRecord& Record() const { return record_; }
    bool Finished() const { return record_.finished.load(); }
    // How the walk ended; meaningful once Finished().
    Outcome Result() const { return result_.load(); }

    // The same count on the calling thread, with every skipped entry reported (the
    // plan of a dry run). `onFile` (may be empty) sees each counted file and whether
    // it counts as previously cleaned.
    static Outcome Count(const OpContext& op, const std::string& start, FileTime stamp,
                         WalkOptions options, WalkerRecord& record,
                         const std::function<void(const WalkFile&, bool cleaned)>& onFile,
                         const std::function<void(const std::string&, SkipReason)>& onSkip,
                         Error* error = nullptr);

  private:
    WalkerRecord record_;
    std::atomic<Outcome> result_{Outcome::Ok};
    std::thread thread_;
};

}  // namespace tw::wipe
