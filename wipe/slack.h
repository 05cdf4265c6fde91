// SPDX-License-Identifier: GPL-3.0-or-later
// File slack wiping: overwriting the space between a file's end and the end of the
// last cluster it occupies, without changing the file.
//
// Each file is made longer up to the end of its last cluster (here: file system block),
// the added bytes are overwritten N times with the pass table's patterns (the last of
// the N passes always all zeros, and one more zero pass when N > 1, so N = 3 in
// fixed-pattern mode writes 00, FF, 00, 00), every pass written and flushed to the disk
// before the next, and the file is cut back to its own length with its modification
// time restored (or set to the drive's deep-clean stamp, see WipeFileSlack).
//
// Nothing else may change the file meanwhile, and no moment of dying may leave it longer:
//   - the file is held: a write lease where the file system grants one (no other
//     process has it open, and anyone who opens or truncates it meanwhile waits until
//     the file is back; a pending open ends the passes early), otherwise flock and an
//     fcntl write lock; a file open elsewhere, or locked, is left alone. Its length is
//     checked again before it is cut back: a file someone else made longer or shorter
//     meanwhile is never cut;
//   - before it is made longer, a journal record naming it (path, inode, birth time,
//     its length, the length it is extended to, access and modification times) is
//     written and flushed. The record goes once the file is back. A later slack wipe,
//     deep clean or leftovers sweep of the same user replays the records of runs that
//     died: a file still at its extended length is cut back, and its times are put back.
//     The change time cannot be set back; it says when the file was repaired.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/registry.h"
#include "wipe/walker.h"

namespace tw::log {
class CActivityLogFile;
}

namespace tw::wipe {

// Slack of a file of sizeBytes on clusters of clusterSize bytes, all in 64 bits:
// clusters = ceil(size / cluster), allocated = clusters x cluster, slack = allocated - size
// (0 .. cluster - 1). A cluster size of 0 gives all zeros.
struct SlackGeometry {
    uint64_t clusters = 0;
    uint64_t allocatedBytes = 0;
    uint64_t slackBytes = 0;
};
SlackGeometry ComputeSlack(uint64_t sizeBytes, uint32_t clusterSize);

// What the per-file log line is built from.
struct SlackLogRecord {
    bool noSlack = false;
    uint64_t fileSize = 0;
    bool result = false;
    uint64_t clusters = 0;
    uint64_t slackLength = 0;
    std::string path;
    bool compressed = false;
    uint64_t bytesWritten = 0;  // over every pass that was written
    bool readBackDone = false;  // the last pass was read back (whatever it found)
    // With the read-back asked for: why the last pass did not read back as written (a
    // Mismatch at the file offset, or the failed read); empty when it did.
    std::optional<Error> readBack;
};

// Sees each slack pass after it was written and flushed: the pass index (0-based, the
// extra zero pass is index N), the bytes written and their count. A test seam; the
// file already holds these bytes at its slack when it is called.
using SlackPassObserver = std::function<void(int pass, const uint8_t* data, size_t length)>;
// Test seam: called at each step of a file's slack wipe, so that a test can end the
// process there. Steps: "recorded" (journal record flushed, file not yet longer),
// "extended", "pass" (after each pass), "cut" (own length again, times not yet back),
// "restored" (times back, the record not yet dropped).
using SlackStageHook = std::function<void(std::string_view stage)>;

// ---------------------------------------------------------------- the journal

// The folder of this user's slack journals: <config home>/slack-journal.
std::string SlackJournalFolder();

// One run's journal: a file "slack-XXXXXX" in the journal folder, locked (flock) for
// as long as the run holds it, so a replay never touches the journal of a live run.
class CSlackJournal {
  public:
    CSlackJournal() = default;
    ~CSlackJournal() { Close(); }
    CSlackJournal(const CSlackJournal&) = delete;
    CSlackJournal& operator=(const CSlackJournal&) = delete;
    CSlackJournal(CSlackJournal&& other) noexcept { *this = std::move(other); }
    CSlackJournal& operator=(CSlackJournal&& other) noexcept {
        if (this != &other) {
            Close();
            fd_ = std::exchange(other.fd_, -1);
            path_ = std::move(other.path_);
        }
        return *this;
    }

    // Makes the folder (0700) when missing and a new journal file in it.
    bool Open(const std::string& folder);
    bool IsOpen() const { return fd_ >= 0; }
    // Before the open file `fd` (whose facts are `st`) is extended to `extendedTo`
    // bytes: what puts it back, written and flushed.
    bool Record(int fd, const struct stat& st, uint64_t extendedTo);
    // The file is back: the record goes (made durable by the next Record or Close).
    void Clear();
    // Drops the journal file.
    void Close();

  private:
    int fd_ = -1;
    std::string path_;
};

// What a replay did.
struct SlackReplay {
    std::vector<std::string> restored;  // files put back to their length and times
    std::vector<std::string> left;      // changed or replaced since: left as they are
    std::vector<std::string> pending;   // could not be opened now: kept for next time
};

// Replays the journals of runs that ended without dropping them (their lock is free)
// in `folder`; only journals owned by this user are read. A file is acted upon only
// when it is still the same file (inode, and birth time or device) and its length is
// either its own or the extended one; anything else means it changed meanwhile.
SlackReplay ReplaySlackJournals(const std::string& folder);
// Journals in `folder` that a replay would act upon (ended runs, non-empty).
std::vector<std::string> PendingSlackJournals(const std::string& folder);

// ---------------------------------------------------------------- the pass loop

// How the pass loop keeps the file safe: the journal to record it in (may be null:
// nothing to replay after a crash), whether a write lease is held (the passes end
// early when someone waits to open the file), and the step hook.
struct SlackSafety {
    CSlackJournal* journal = nullptr;
    bool leased = false;
    bool* leaseBroken = nullptr;  // set when the passes ended because someone waited
    const SlackStageHook* stageHook = nullptr;
};

// Holds the open file `fd` (open for writing) for a slack wipe: a write lease where
// offered (and `tryLease`), else flock and an fcntl write lock. False when the file is
// open elsewhere or locked. `leased` says which hold was taken.
bool HoldFileForSlack(int fd, bool* leased, bool tryLease = true);
// Gives up the lease (the locks go with the descriptor).
void ReleaseSlackHold(int fd, bool leased);

// Why the file `name` in the open folder could not be held as HoldFileForSlack holds it
// (Locked: locked by another program, and with `inUseToo` in use by another program;
// Denied or the errno's code when it cannot be opened), nothing when it could. Only
// looks: the file is opened without writing, its locks are queried, and a lease taken
// for a moment is given up at once. The Error's subject is `name`; its text names the
// reason only.
std::optional<Error> HoldRefusal(int dirFd, const std::string& name, bool inUseToo);
// Why a slack wipe of the file would be refused now (no write permission, or for a
// file with slack the reasons above), nothing when it would run: what a dry run shows.
std::optional<Error> SlackRefusal(int dirFd, const std::string& name, bool hasSlack);

// The pass loop on an open file (fd open for writing). slackBytes past sizeBytes are
// added to the file, written with `passCount` passes (at least one) and the extra zero
// pass, each flushed (fdatasync), and cut off again. The modification time becomes
// `stamp` when it is not 0, else the time the file had when the call began (nanoseconds
// kept; the access time is left alone). `progress` (may be null) is stepped on its
// Current bar before each pass. False when the file could not be extended (nothing
// written, length and time unchanged) or when a write or flush failed (the remaining
// passes are not written; the file is still cut back and its time set). A slack of 0
// writes nothing and gives true. With `safety`, the file is recorded in the journal
// before it is extended (no journal record, no extension), a pending open ends the
// passes (false), and a file whose length changed under the passes is not cut
// back (false).
// The passes written over a slack when `passCount` are asked for: at least one, and one
// more zero pass when more than one.
int SlackPassesWritten(int passCount);
// The pattern of each of those passes ("0x00", "0xFF", "random", ...), in order: the
// pass table's rows, then zeros from the last of the N passes on.
std::vector<std::string> SlackPassPatterns(int passCount, bool randomMode);

struct Receipt;
// A receipt's entry for one file the slack wipe handed over (none for a file without
// slack): the bytes written, why it was not erased, and a failed read-back, which fails
// the receipt's check.
void AddToReceipt(const SlackLogRecord& rec, Receipt& receipt);

// What the pass loop is asked beyond the passes, and what it tells back.
struct SlackPassReport {
    // Read the last pass back from the disk before the file is cut back (unbuffered, as
    // ReadBackMatches reads). A difference fails the call; the file is still cut back.
    // A lease is given up for the read (the read-back's own open would wait for it).
    bool readBack = false;
    uint64_t bytesWritten = 0;           // out: over every pass written
    bool readBackDone = false;           // out: the last pass was read back
    std::optional<Error> readBackError;  // out: Mismatch at the file offset, or the failed read
};

bool WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int passCount,
                      bool randomMode, const OpContext* progress, FileTime stamp,
                      const SlackPassObserver* observer = nullptr, const SlackSafety& safety = {},
                      SlackPassReport* report = nullptr);

// The per-drive slack processor of a clean-up run.
class CSlackWiper {
  public:
    // `store` (may be null: no deep-clean stamps) holds the drives' stamps. Loads the
    // texts and reseeds the calling thread's random generator.
    explicit CSlackWiper(RegistryStore* store = nullptr);

    uint32_t clusterSize = 0;  // bytes per cluster; 0: asked of each file's file system
    int passCount = 1;         // N
    bool logOn = false;        // a per-file line needs logOn, logWriter and detailLog
    bool detailLog = false;
    log::CActivityLogFile* logWriter = nullptr;
    SlackPassObserver passObserver;  // test seam, may be empty
    SlackStageHook stageHook;        // test seam, may be empty
    // Test seam: without the lease the locks alone hold the file, so that a test can
    // open it between passes (an open would wait for the lease, here in the same thread).
    bool useLease = true;
    // Where this wiper's journal goes (and whose leftovers WipeSlacks replays first).
    std::string journalFolder = SlackJournalFolder();
    // Called with the file's record when WipeFileSlack is told the file is shown in a
    // list (the page updates that item).
    std::function<void(const SlackLogRecord&)> onListItem;
    // Called with every file's record once its slack wipe is over (a receipt lists them).
    std::function<void(const SlackLogRecord&)> onFileDone;
    // Read the last pass of every slack back from the disk (SlackPassReport::readBack); a
    // file whose slack does not read back as written counts as not wiped.
    bool verifyLastPass = false;

    std::string productWord;  // "Tidewipe"
    std::string couldNotText, wipedText, wipedDirText, wipingText, overwritesWord, overwriteWord;

    // The whole per-file operation on folder/name. `size` is the size the caller saw;
    // the slack is computed from the size the file has once it is open (a file that
    // grew in between would otherwise be cut back below its new end). The modification
    // time afterwards is the drive's deep-clean stamp (the "dc" key of `driveText`)
    // when the drive has one, keepOwnTime is clear and the deep clean counts the file
    // as cleaned (CountsAsDeepCleaned); otherwise the file keeps its own time. Moving
    // any other file to the stamp would make the next deep clean skip a file whose old
    // clusters were never wiped. False when the file cannot be opened or held (in use,
    // locked, denied, no longer a regular file), the journal cannot be written, or the
    // passes failed; true also when there was no slack. `op` (may be null) has its
    // Current bar stepped before each pass.
    bool WipeFileSlack(const std::string& folder, const std::string& name, uint64_t size,
                       bool randomMode, bool listItem, bool keepOwnTime,
                       const std::string& driveText, const OpContext* op = nullptr);
    // The same for a file handed over by the walker: opened relative to its folder,
    // and refused when the name no longer holds the file the walker examined.
    bool WipeFileSlack(const WalkFile& file, bool randomMode, bool listItem, bool keepOwnTime,
                       const std::string& driveText, const OpContext* op = nullptr);

    // Writes the per-file line (when logOn, logWriter and detailLog are all set).
    void LogSlackResult(const SlackLogRecord& record) const;
    // The per-file line:
    //   "No slack to wipe in file: " | "Wiped slack in file: " | "Could not wipe slack in file: "
    //   + path [+ " (Compressed) "] + " File Size: " + size + " (b)"
    //   + " Cluster size: " + cluster + " Number Of Clusters: " + clusters
    //   [+ " Total slack wiped: " + slack + " (b)"   unless no slack]
    std::string SlackLogLine(const SlackLogRecord& record, uint32_t cluster) const;

    // Wipes the slack of every file the walker hands over below `start`. Compressed
    // files are written in random-data mode, the others in fixed-pattern mode. Status
    // "Wiping slack in file: <path>"; the Overall bar (0..372) and the time estimate
    // follow the counting walk's file totals when `counts` is given. After each folder
    // "Wiped file slacks in directory: <folder>" is logged when logging is on. First of
    // all the journals of slack wipes that died are replayed.
    Outcome WipeSlacks(const OpContext& op, const std::string& start, const std::string& driveText,
                       const CCountingWalk* counts = nullptr);
    const Error& WalkError() const { return walkError_; }

    // Totals of the last WipeSlacks (and of single-file calls since construction).
    uint64_t filesWiped = 0, filesNoSlack = 0, filesFailed = 0, slackBytesWiped = 0;
    uint64_t bytesWritten = 0;         // over every pass of every file
    uint64_t filesReadBack = 0;        // files whose last pass was read back
    uint64_t filesReadBackFailed = 0;  // of filesFailed: the read-back found a difference
    SlackLogRecord lastRecord;

  private:
    bool WipeAt(int dirFd, const std::string& folder, const std::string& name, uint64_t size,
                const FileFacts* expected, bool compressed, bool randomMode, bool listItem,
                bool keepOwnTime, const std::string& driveText, const OpContext* op);
    // The cluster size to use for an open file.
    uint32_t ClusterFor(int fd) const;
    // The time to give a file after its passes (0: its own).
    FileTime StampFor(const std::string& driveText, const struct stat& st);

    RegistryStore* store_;
    Error walkError_;
    CSlackJournal journal_;
    // The drive's stamp and the files its deep clean could not clean, read once per
    // WipeSlacks (single-file calls read them each time).
    bool inWalk_ = false, driveCached_ = false;
    std::string cachedDrive_;
    FileTime cachedStamp_ = 0;
    std::set<uint64_t> cachedNotCleaned_;
};

}  // namespace tw::wipe
