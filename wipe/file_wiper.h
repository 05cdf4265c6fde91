// SPDX-License-Identifier: GPL-3.0-or-later
// The file wipers: every place that destroys a file for good goes through one of them.
//
// A wipe overwrites the file's clusters in place with the passes of passes.h, truncates
// the file to nothing, renames it N times to random names of the same shape and deletes
// it. Three variants differ in who calls them and what they report:
//
//                      CSecureFileWiper       CProgressFileWiper     CRecycleFileWiper
//   used by            log wiping, the        deep clean             Trash wipe
//                      file viewer, `wipe`
//   probe open         read-write             read-write             read-only
//   cluster size       the file's volume      the file's volume      the caller's
//   buffer size        the cluster size       the caller's           the caller's cluster
//   write denied       chmod u+w and retry    chmod u+w and retry    chmod u+w and retry
//                      only when asked        always                 always
//   passes             N + 1                  N                      N
//   between chunks     -                      progress, status,      every 8th chunk the
//                                             counter, abort         bars step; abort
//   truncate to 0      always                 unless aborted         unless aborted
//   renaming           after overwrite        after overwrite        before the open,
//                                                                    only if renameAndDelete
//   delete             always                 always                 only if renameAndDelete
//
// Linux meanings: "read-only" is no write permission for the user; "clearing the
// attributes" is adding the user's write permission (chmod u+w). Files with the
// immutable or append-only flag ("system") and anything that is not a regular file
// (symbolic links are never followed) are refused untouched. The probe refuses a file
// another process holds locked ("in use"), whichever lock it took: flock, a POSIX record
// lock (fcntl) or an open file description lock. The plain and progress probes also
// refuse, before anything is written, a file whose folder would not let the renames and
// the delete happen (no write or search permission, or the sticky rule), so that a file
// is never overwritten and then left behind (WipeRefusal). Data a small file keeps inside
// its file record is first grown out of it (ScrubInlineData), so that no copy stays
// behind in the record. The overwrite is
// written with O_DIRECT from page-aligned buffers; where the file system refuses
// O_DIRECT (tmpfs, some FUSE file systems: EINVAL on open or on write) it is written
// buffered with an fdatasync after every pass, so that each pass reaches the disk
// before the next. Lengths are 64-bit: files of 4 GiB and more are overwritten over
// their whole length.
//
// Only the parts of the file that own space on the disk are overwritten
// (AllocatedRanges): the holes of a sparse file hold nothing to wipe, and writing into
// them would take free space the volume may not have. Each pass must overwrite all of
// those parts; a pass that writes less (a full volume, an I/O error) fails the wipe: the
// file is left where it is, not cut, renamed or deleted, and LastError() says what
// happened.
//
// A refusal or a failure is an Error (platform/error.h) whose code a caller can branch
// on: Locked, ReadOnly, Immutable (immutable or append-only), NotRegularFile,
// OnAnotherMount (a file something else is mounted over), NotFound (gone), Denied (the
// folder's rules), or the code of the errno of a failed call. Its text names the reason
// only (its subject is the file): the front ends show it after the file's name, as the
// lists of files they print do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/operation.h"
#include "platform/result.h"

namespace tw::wipe {

// The volume a file lives on, named by any path on it.
class CDriveGeometry {
  public:
    // Stores `path` (the file being wiped, or any path on the volume) as the root.
    // An empty path is refused: the root is left unchanged and false returned.
    bool SetRoot(const std::string& path);
    const std::string& Root() const { return root_; }

    // The file system's block size (statvfs f_frsize, else f_bsize): the cluster size
    // of this system. 0 for an empty root or when the query fails.
    uint32_t GetClusterSize() const;
    // The logical sector size of the block device under the root (sysfs), else 512.
    // 0 for an empty root or when the root cannot be examined.
    uint32_t GetSectorSize() const;

  private:
    std::string root_;
};

// Renames the file at `path` passCount times. Each new name keeps the folder part and
// the name's length; every byte of the name except '.' becomes a random lower-case
// letter ('a'..'z'), so dots (and with them the extension's place) survive. A file
// without write permission for the user first gets it (chmod u+w). A rename never
// replaces an existing file (RENAME_NOREPLACE; a taken name is a failed rename).
// On return `path` names where the file actually is: the last successful new name, or
// the old name when no rename succeeded. After the last successful rename it waits,
// 100 ms between tries and at most 5 seconds, until the file opens for reading under
// its new name (a file the user may not read is not waited for). True if the last
// rename succeeded. passCount < 1 renames nothing and gives false. A stop of `op` (may
// be null) ends that wait early.
bool ScrambleName(std::string& path, int passCount, const OpContext* op = nullptr);

// True if `path` opens for reading (the handle is closed at once); false for an empty
// path or a failed open. Symbolic links are not followed.
bool CanOpenForRead(const std::string& path);

// Small files can keep their data inside the file record (NTFS resident data under
// ntfs-3g, ext4 inline data) instead of in a cluster of their own. No overwrite reaches
// data there: growing the file to whole clusters for the passes makes the file system
// move the data out to a cluster and leaves the old bytes in the record's unused space,
// and moving the file between folders shifts the record's attributes with the same
// effect. ScrubInlineData fills that space first: for a regular file of 1 to 4095 bytes
// (an empty one too, by path) whose data has no cluster yet (st_blocks below one
// cluster), it overwrites the data with zeros in place and then grows the file with
// zeros 8 bytes at a time (the record's alignment) until the file system moves the data
// out to a cluster or 4096 bytes are reached. The file is left longer and all zeros;
// the caller wipes it next. Any other file is left as it is. clusterSize 0 means 4096.
//
// On a file open for writing: O_DIRECT, when set, is lifted for the small writes and put
// back. False when a write failed.
bool ScrubInlineData(int fd, uint32_t clusterSize);
// By path: links are not followed, and a file another program holds a lock on is not
// changed (false), as the wipers refuse it.
bool ScrubInlineData(const std::string& path, uint32_t clusterSize);

// A stretch of a file: `length` bytes from `offset`.
struct ByteRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// The parts of the open file `fd`, within its first lengthBytes, that own space on the
// disk, in order, widened to whole blocks (st_blksize) and cut at lengthBytes: from
// FIEMAP (unwritten and delayed extents count; delayed data is written out first), else
// from SEEK_DATA/SEEK_HOLE, else the whole length. Empty for a length of 0.
std::vector<ByteRange> AllocatedRanges(int fd, uint64_t lengthBytes);
// The bytes the ranges cover.
uint64_t RangeBytes(const std::vector<ByteRange>& ranges);

// Why the plain wiper would refuse `path` without changing anything, nothing when
// nothing stands in the way: it does not exist (NotFound), a symbolic link or not a
// regular file (NotRegularFile), something is mounted over it (OnAnotherMount),
// immutable or append-only (Immutable), no write permission or a read-only file system
// (ReadOnly), the folder's permission or sticky rule (Denied, with the folder as
// detail), locked or leased by another program (Locked), or a failed call (its errno's
// code). Hard links are the caller's call.
std::optional<Error> WipeRefusal(const std::string& path);

// Reads `length` bytes of the open file `fd` from `offset` back from the disk (a handle
// of its own: O_DIRECT, else after fdatasync with the cached pages dropped) and
// compares them with `pattern` repeated, the byte at `offset` being
// pattern[patternPhase % patternSize]. Nothing when all match; else a Mismatch at the
// first differing offset (also where the file ends early), or why the read failed.
std::optional<Error> ReadBackMatches(int fd, uint64_t offset, uint64_t length,
                                     const uint8_t* pattern, uint64_t patternSize,
                                     uint64_t patternPhase);

// One stretch of a file to read back: `length` bytes from `offset`, the byte at
// `offset` being pattern[phase % patternSize].
struct ReadBackPart {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t phase = 0;
};
// The same for several stretches of one file (in order of offset) with one handle: the
// reads run several requests ahead of the compare (io_uring, where there is one), so
// that the device is never idle while a piece is compared. The first difference in
// file order is the one reported.
std::optional<Error> ReadBackMatches(int fd, const std::vector<ReadBackPart>& parts,
                                     const uint8_t* pattern, uint64_t patternSize);

// The passes the plain wipe writes for a pass count of N: N + 1.
int PlainWipePasses(int passCount);

// What the plain wipe of `path` with pass count N would write, found without changing
// anything: the parts of its length raised to whole clusters (of the wiper's drive)
// that own space on the disk, N + 1 times. The holes of a sparse file are not written.
struct FileWipeEstimate {
    uint64_t sizeBytes = 0;
    uint64_t bytesToWrite = 0;
};
FileWipeEstimate EstimatePlainWipe(const std::string& path, int passCount);

// Removes `folder` and everything below it without overwriting anything. Entries
// without write permission for the user are made writable first; symbolic links are
// removed, never followed. The first failure stops the walk and gives false; true once
// the folder itself is removed.
bool DeleteFolderTree(const std::string& folder);

// The plain wiper, and the base of the other two.
class CSecureFileWiper {
  public:
    // Loads the four log words and reseeds the calling thread's random generator with
    // the time in whole seconds.
    CSecureFileWiper();

    // The pass count N. No range check: callers pass 1..7 (or 3 for log wiping); the
    // pass table covers up to 14, the plain wipe writes N + 1.
    void SetPassCount(int n) { passCount = n; }
    int PassCount() const { return passCount; }

    // Plain wipe: probe (WipeRefusal), raise the length to a whole number of clusters,
    // write passes 1..N+1 with one cluster as buffer, truncate to 0, rename N times,
    // delete. When the overwrite open is denied and clearAttributesOnDenied is set, adds
    // u+w and retries once. Done when the final delete succeeded; else the Error says
    // why (also kept as LastError()): the file is untouched when the probe or the
    // overwrite open failed, and left in place when a pass fell short.
    // A stop of `op` (may be null) ends the wait after the renames early.
    Result<void> WipeFile(const std::string& path, bool clearAttributesOnDenied, bool randomMode,
                          const OpContext* op = nullptr);

    // The pass loop on an already open file `fd` (opened for writing, O_DIRECT or not):
    // the plain wipe's N + 1 passes with a pass buffer of bufferSize bytes over the
    // allocated parts of the file's current length, then truncation to 0. False when the
    // buffer cannot be allocated (nothing written then) or when a pass overwrote less
    // than all of those parts (the file is then not truncated). A failed write ends that
    // pass; later passes are still tried.
    bool WritePasses(int fd, uint32_t bufferSize, bool randomMode);

    // "Erased <path> with <count> overwrites" ("overwrite" for a count of 1): the log
    // line built from the four words below.
    std::string ErasedLine(const std::string& path, int count) const;

    // Bytes the last pass loop of this wiper actually wrote, over all its passes.
    uint64_t LastBytesWritten() const { return lastBytesWritten_; }
    // Whether the last pass loop read its last pass back and found it as written.
    bool LastVerified() const { return lastVerified_; }

    // Read the last pass back before the file is cut, renamed and deleted: unbuffered
    // (O_DIRECT, else after a flush with the cached pages dropped), compared with the
    // pass buffer. A difference, or a read that ends early, fails the wipe with a
    // Mismatch error at the first differing offset; the file is then left in place.
    bool verifyLastPass = false;
    // Why the last WipeFile or pass loop failed (meaningful after a failure only).
    const Error& LastError() const { return lastError_; }

    // Renames by the rule of the free ScrambleName with this wiper's pass count.
    bool ScrambleName(std::string& path, const OpContext* op = nullptr) const {
        return wipe::ScrambleName(path, passCount, op);
    }

    std::string erasedWord;      // "Erased"
    std::string overwritesWord;  // "overwrites"
    std::string overwriteWord;   // "overwrite"
    std::string withWord;        // "with"
    int64_t timeValue = 0;       // kept for callers; unused by the wipe itself
    CDriveGeometry drive;        // the volume of the file being wiped

  protected:
    // What a variant does around the chunks of the pass loop.
    struct ChunkHooks {
        virtual ~ChunkHooks() = default;
        // Before pass `pass` (1-based) of `passes` over `lengthBytes`.
        virtual void BeforePass(int /*pass*/, int /*passes*/, uint64_t /*lengthBytes*/) {}
        // Before one write of `bytes` that covers `chunks` pass buffers; false stops
        // the pass loop (abort): nothing more is written and the file is not truncated.
        virtual bool BeforeChunk(uint64_t /*bytes*/, uint64_t /*chunks*/) { return true; }
        // After that write, whatever its result.
        virtual void AfterChunk(uint64_t /*bytes*/, uint64_t /*chunks*/) {}
        // After the last pass (also after an abort).
        virtual void AfterPasses(bool /*aborted*/) {}
    };
    // The shared pass loop: `passes` passes over the allocated ranges, buffers of
    // bufferSize, hooks around each write; truncates to 0 at the end unless a hook
    // stopped it or a pass fell short. `aborted` (may be null) tells whether a hook
    // stopped it. False when no buffer could be allocated or a pass fell short.
    bool RunPasses(int fd, uint32_t bufferSize, bool randomMode, int passes, ChunkHooks& hooks,
                   bool* aborted);
    // Opens `path` for the overwrite: write-only, O_DIRECT when the file system takes
    // it, no symbolic links; on EACCES/EPERM and when clearOnDenied, adds u+w and
    // retries once. -1 on failure.
    static int OpenForOverwrite(const std::string& path, bool clearOnDenied);
    // Extends the open file to the next multiple of clusterSize (no-op for 0, for an
    // empty file or when already a multiple). False if the extension failed.
    static bool ExtendToCluster(int fd, uint64_t lengthBytes, uint32_t clusterSize);
    // Sets LastError() and gives it back as a failed result.
    Result<void> Failed(Error why);
    // The pass loop's failure (LastError()) as the failure of the wipe of `path`.
    Result<void> Shortfall(const std::string& path);
    // The end of a wipe: ScrambleName, then delete. Done when the delete succeeded.
    Result<void> RenameAndDelete(const std::string& path, const OpContext* op = nullptr);

    int passCount = 1;
    uint64_t lastBytesWritten_ = 0;
    bool lastVerified_ = false;
    Error lastError_;
};

// The deep clean's wiper: N passes with the caller's buffer size, progress on the
// Current bar, the status line "<text> (<written> of <size>)", the caller's byte
// counter, and abort between chunks.
class CProgressFileWiper : public CSecureFileWiper {
  public:
    CProgressFileWiper();

    // Probe (WipeRefusal), raise the length to whole clusters of the
    // file's volume, write passes 1..N with a bufferSize buffer (0: one cluster),
    // truncate to 0 unless aborted, rename N times, delete. Always adds u+w and retries
    // when the overwrite open is denied. Done when the final delete succeeded; an Error
    // with the file untouched when the probe or the overwrite open fails. An abort
    // stops the passes after the current chunk; the file is still renamed and deleted.
    // Progress and the stop come from `op`.
    Result<void> WipeFile(const OpContext& op, const std::string& path, bool randomMode,
                          uint32_t bufferSize);
    // The N-pass loop with progress on an open file (truncates unless aborted).
    bool WritePasses(const OpContext& op, int fd, uint32_t bufferSize, bool randomMode);

    // The caller's text for the status line; longer than 33 characters it is cut to
    // its first 33 followed by "...".
    void SetStatusText(std::string callerText);
    // Whether the last WipeFile/WritePasses was stopped by the abort flag.
    bool WasAborted() const { return aborted_; }

    uint64_t* bytesWritten = nullptr;  // caller's counter, may be null: += each chunk
    bool showStatus = false;           // the status line is written only when both
    bool showStatus2 = false;          //   flags are set
    std::string ofWord;                // "of"

  private:
    std::string statusText_;
    bool aborted_ = false;
};

// The Trash wiper: N passes with the caller's cluster size; renames (and deletes) only
// when asked, before the overwrite open.
class CRecycleFileWiper : public CSecureFileWiper {
  public:
    // Probe (read-only open: the kind of file, its flags and locks held by others),
    // then if renameAndDelete ScrambleName (which also gives a
    // read-only file its write permission), open for the overwrite (adding u+w and
    // retrying when denied), raise the length to whole clusterSize units (0: the file's
    // volume's cluster), write passes 1..N with a clusterSize buffer, truncate to 0
    // unless aborted, and if renameAndDelete delete it. An empty file is not written;
    // with renameAndDelete it is renamed a second time and deleted. Done when the
    // overwrite ran (with renameAndDelete: when the delete succeeded); an Error with the
    // file untouched when the probe fails.
    Result<void> WipeFile(const OpContext& op, const std::string& path, bool randomMode,
                          uint32_t clusterSize, bool renameAndDelete);
    // The N-pass loop with the every-8th-chunk progress step on an open file.
    bool WritePasses(const OpContext& op, int fd, uint32_t bufferSize, bool randomMode);
    bool WasAborted() const { return aborted_; }

    bool progressTick = false;  // step the Current bar every 8th chunk
    bool stepOverall = false;   // step the Overall bar with it

  private:
    bool aborted_ = false;
    uint32_t chunkCarry_ = 0;  // chunks toward the next progress step, across files
};

}  // namespace tw::wipe
