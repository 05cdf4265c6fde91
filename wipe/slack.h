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
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/filetime.h"
#include "platform/opcontext.h"
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
};

// Sees each slack pass after it was written and flushed: the pass index (0-based, the
// extra zero pass is index N), the bytes written and their count. A test seam; the
// file already holds these bytes at its slack when it is called.
using SlackPassObserver = std::function<void(int pass, const uint8_t* data, size_t length)>;

// The pass loop on an open file (fd open for writing). slackBytes past sizeBytes are
// added to the file, written with `passCount` passes (at least one) and the extra zero
// pass, each flushed (fdatasync), and cut off again. The modification time becomes
// `stamp` when it is not 0, else the time the file had when the call began (nanoseconds
// kept; the access time is left alone). `progress` (may be null) is stepped on its
// Current bar before each pass. False when the file could not be extended (nothing
// written, length and time unchanged) or when a write or flush failed (the remaining
// passes are not written; the file is still cut back and its time set). A slack of 0
// writes nothing and gives true.
bool WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int passCount,
                      bool randomMode, const OpContext* progress, FileTime stamp,
                      const SlackPassObserver* observer = nullptr);

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
    const OpContext* progressPage = nullptr;  // stepped before each pass; may be null
    SlackPassObserver passObserver;           // test seam, may be empty
    // Called with the file's record when WipeFileSlack is told the file is shown in a
    // list (the page updates that item).
    std::function<void(const SlackLogRecord&)> onListItem;

    std::string productWord;                       // "Tidewipe"
    std::string couldNotText, wipedText, wipedDirText, wipingText, overwritesWord, overwriteWord;

    // The whole per-file operation on folder/name. `size` is the size the caller saw;
    // the slack is computed from the size the file has once it is open (a file that
    // grew in between would otherwise be cut back below its new end). The modification
    // time afterwards is the drive's deep-clean stamp (the "dc" key of `driveText`)
    // when the drive has one, keepOwnTime is clear and the file was not modified after
    // the stamp; otherwise the file keeps its own time. A file modified after the
    // stamp keeps its time because moving it back to the stamp would lose the real
    // time and make the next deep clean take the file as already cleaned. False when
    // the file cannot be opened (in use, denied, no longer a regular file) or the
    // passes failed; true also when there was no slack.
    bool WipeFileSlack(const std::string& folder, const std::string& name, uint64_t size,
                       bool randomMode, bool listItem, bool keepOwnTime,
                       const std::string& driveText);
    // The same for a file handed over by the walker: opened relative to its folder,
    // and refused when the name no longer holds the file the walker examined.
    bool WipeFileSlack(const WalkFile& file, bool randomMode, bool listItem, bool keepOwnTime,
                       const std::string& driveText);

    // The pass loop with this wiper's observer and progress.
    bool WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int count,
                          bool randomMode, FileTime stamp) const;

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
    // "Wiped file slacks in directory: <folder>" is logged when logging is on.
    Outcome WipeSlacks(const OpContext& op, const std::string& start, const std::string& driveText,
                       const CCountingWalk* counts = nullptr);
    const Error& WalkError() const { return walkError_; }

    // Totals of the last WipeSlacks (and of single-file calls since construction).
    uint64_t filesWiped = 0, filesNoSlack = 0, filesFailed = 0, slackBytesWiped = 0;
    SlackLogRecord lastRecord;

private:
    bool WipeAt(int dirFd, const std::string& folder, const std::string& name, uint64_t size,
                const FileFacts* expected, bool compressed, bool randomMode, bool listItem,
                bool keepOwnTime, const std::string& driveText);
    // The cluster size to use for an open file.
    uint32_t ClusterFor(int fd) const;

    RegistryStore* store_;
    Error walkError_;
};

}  // namespace tw::wipe
