// SPDX-License-Identifier: GPL-3.0-or-later
// Free space cleaning: overwrite every block of a file system that no file owns, through
// the file system itself. A folder with a fixed name is made at the root, filled with
// 1 GiB temporary files written with the pass patterns until the file system is full,
// once per pass, and removed again.
//
//   folder      <root>17FA5B59-0C6D-4b88-800E-6FD9D2D0C90E
//   files       <folder>/zpqmalowjxy68<n>.qlx, n = 1, 2, ...; 1 GiB each (2621 chunks)
//   chunk       409,600 bytes: one pass buffer, written from offset 0 of each file
//   file count  free bytes / 1 GiB + 1
//   progress    0..372 on both bars
//
// Linux: the files are written with O_DIRECT (buffered with fdatasync where the file
// system refuses it), several chunks per system call, and flushed before they are
// closed; a full file system (ENOSPC or a short write) ends a file quietly. Free bytes
// are what this process may fill: f_bfree for root (reserved blocks included, minus the
// clusters ext4 holds back for its metadata), f_bavail otherwise, and the log says how
// much stays untouched. On ext4 the journal is checkpointed after every pass, so that
// the fill files' own metadata blocks are written in place before they are freed. A root the user
// may not write to gets the folder in the user's home instead, when the home lies on the same file
// system; otherwise the clean is refused. While a clean runs it holds an advisory lock on its
// folder, so a sweep never removes the files of a running clean.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/error.h"
#include "platform/operation.h"

namespace tw::wipe {

inline constexpr uint64_t kFreeSpaceFileBytes = 1073741824;  // 1 GiB per temporary file
inline constexpr uint32_t kFreeSpaceChunk = 409600;          // one pass buffer, 400 KiB
inline constexpr uint32_t kFreeSpaceChunksPerFile =
    static_cast<uint32_t>(kFreeSpaceFileBytes / kFreeSpaceChunk);  // 2621
inline constexpr int kFreeSpaceProgressRange = 372;

// What one clean would do on a file system, worked out without writing anything (the
// CLI's --dry-run and the confirmation show it; the clean runs from the same figures).
struct FreeSpacePlan {
    std::string root;            // mount point with a trailing "/"
    std::string folder;          // where the temporary folder goes (no trailing "/")
    bool folderInHome = false;   // the root is not writable: the home folder is used
    uint64_t freeBytes = 0;      // what this process can fill
    uint64_t reservedBytes = 0;  // free blocks no file of ours can take (reserved for
                                 // root, or held back by ext4 for its metadata)
    uint64_t fileCount = 0;      // free bytes / 1 GiB + 1
    uint64_t totalChunks = 0;    // free bytes / chunk
    uint32_t blockSize = 4096;   // the file system's block: the smallest fill write
    int passes = 0;
    bool randomMode = false;       // compressed file system: random-data passes
    bool leftoverPresent = false;  // a temporary folder from an earlier run is there
    std::string refusal;           // non-empty: the clean cannot run, and why
    std::string caveatLine;        // what an overwrite reaches on this volume (VolumeCaveatLine)
    bool trimHelps = false;        // the device takes discards and a trim helps (TrimHelps)

    // Bytes the fill writes over all passes (at most; a full disk ends it).
    uint64_t PlannedBytes() const { return freeBytes * static_cast<uint64_t>(passes); }
};

// Plans a clean of the file system whose root is `root` (a mount point, with or
// without the trailing "/") with `passes` passes.
FreeSpacePlan PlanFreeSpace(const std::string& root, int passes);

// The task the clean-up page hands over per drive.
struct FreeSpaceTask {
    std::string root;   // mount point
    int passCount = 1;  // N
    // After the fill files are removed, trim the file system's free space (FITRIM) when
    // its device takes discards and a trim helps there (flash, an image file). Off:
    // the TrimAfterFreeSpace setting is 0, or --no-trim.
    bool trim = true;
};

// What became of the trim after a clean.
struct TrimOutcome {
    enum class State : uint8_t {
        NotRun,       // the clean did not get as far (refused, stopped, failed)
        TurnedOff,    // FreeSpaceTask::trim was off
        Rotational,   // takes discards, but a rotational disk: not worth it
        Unsupported,  // the device or the file system does not take discards
        Failed,       // FITRIM failed otherwise (errnum says why); the clean still counts
        Trimmed,      // done: bytes is what the file system reported as trimmed
    };
    State state = State::NotRun;
    uint64_t bytes = 0;
    int errnum = 0;
};

// Trims the free space of the file system mounted at `root` (FITRIM over its whole
// range) when `facts` say its device takes discards and TrimHelps. Never a failure of
// the clean: refusals are states of the outcome. The ioctl goes to the file system
// whose root is given; callers pass only a volume they are cleaning.
TrimOutcome TrimFreeSpace(const std::string& root);
// The log line for an outcome ("" for NotRun).
std::string TrimOutcomeLine(const TrimOutcome& t, const std::string& root);

class CFreeSpaceCleaner {
  public:
    CFreeSpaceCleaner();

    // Fills the free space of task.root with task.passCount passes and removes the
    // temporary files again. Gives the number of passes completed; 0 when there was
    // nothing to do, the folder could not be made (also when one is left from an
    // earlier run) or the clean was refused (LastRefusal() says why); -1 when a pass
    // could not be written at all (no usable buffer, no temporary file could be made);
    // the files are removed then too where possible. A stop ends the passes after the
    // current chunk and removes the files; a stop asked for before the call (or before
    // the folder is made) writes nothing and gives 0. `op` carries progress, the stop
    // and the log writer.
    int CleanFreeSpace(const OpContext& op, const FreeSpaceTask& task);

    // Bytes written by the last clean over all its passes.
    uint64_t BytesWritten() const { return bytesWritten_; }
    // Why the last clean did nothing ("" when it ran).
    const std::string& LastRefusal() const { return refusal_; }
    // The plan the last clean ran from.
    const FreeSpacePlan& LastPlan() const { return plan_; }
    // What became of the trim after the last clean.
    const TrimOutcome& LastTrim() const { return trim_; }

    // Why the read-back of the last pass failed (a Mismatch at the offset in the fill
    // file named as subject, or a failed read); nothing when it passed or did not run.
    const std::optional<Error>& VerifyError() const { return verifyError_; }

    // Read each fill file of the last pass back from the disk before it is removed
    // (see file_wiper.h's ReadBackMatches); a difference fails the clean (-1).
    bool verifyLastPass = false;
    bool logEnabled = false;  // lines are logged only when set and op.Log() is given
    // The two prefixes the page sets: before the running status line, and the
    // completion text (followed by " (<n> overwrites)").
    std::string statusPrefix;
    std::string completedPrefix;

    // Texts loaded at construction.
    std::string wipingText, estimatingText, estimatedText, locatedText, freeSpaceInText,
        clustersForCleaningText, cleanedText, clustersText, finalizingText, overwriteWord,
        overwritesWord, fileStem, fileExtension;

  private:
    // One pass over every temporary file; false when the pass could not be written.
    bool FillPass(const OpContext& op, const FreeSpacePlan& plan, const uint8_t* buffer,
                  int passIndex, const std::string& freeText);
    std::string CountText(int n) const;

    uint64_t bytesWritten_ = 0;
    std::string refusal_;
    std::optional<Error> verifyError_;
    FreeSpacePlan plan_;
    TrimOutcome trim_;
};

// What a sweep found.
struct LeftoverSweep {
    std::vector<std::string> removed;  // temporary folders removed
    std::vector<std::string> kept;     // found but in use by a running clean, or not removable
    // Files an interrupted slack wipe of this user had left longer (see slack.h):
    std::vector<std::string> slackRestored;  // put back to their length and times
    std::vector<std::string> slackLeft;      // changed since: left as they are
    std::vector<std::string> slackPending;   // could not be opened now: kept for later
};

// Removes temporary folders left by interrupted cleans from every local mounted file
// system (fixed and RAM disk) and from the home folder fallback, and replays the
// journals of this user's interrupted slack wipes. When showMessage is set, the first
// folder found makes `message` receive text 106 once. `sweep` (may be null) receives
// what was removed, kept and put back. True if a temporary folder was found.
bool CleanLeftoverTempFolders(bool showMessage,
                              const std::function<void(std::string_view)>& message = {},
                              LeftoverSweep* sweep = nullptr, const OpContext* op = nullptr);

// The same sweep over the given roots (mount points or folders that would hold the
// temporary folder); the slack journals too.
bool SweepLeftoverTempFolders(const std::vector<std::string>& roots, bool showMessage,
                              const std::function<void(std::string_view)>& message = {},
                              LeftoverSweep* sweep = nullptr, const OpContext* op = nullptr);

// The temporary folders present under the given roots, without touching them (each
// once, symbolic links not counted). With no roots: every place the sweep looks.
std::vector<std::string> FindLeftoverTempFolders(const std::vector<std::string>& roots = {});

// The temporary folder's path for a root or home folder ("<root>/17FA5B59-...").
std::string TempFolderFor(const std::string& root);

}  // namespace tw::wipe
