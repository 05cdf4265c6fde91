// SPDX-License-Identifier: GPL-3.0-or-later
// What the Recycle Bin manager does to the bin: restore items to where they came from,
// wipe them beyond recovery, empty the bin, and send files to it.
//
// Restore and wipe are one run over the chosen items in order, with the abort flag
// checked between objects, a status line per object, one activity-log line per object,
// a summary line and an end message. Failures are outcomes of single objects; the run
// goes on with the next one.
//
// Wiping happens in place, inside the trash directory: the data is overwritten with
// the Trash variant of the file wiper (renamed, overwritten, deleted), then the index
// entry is removed. Nothing outside the trash directory is touched, so a file that now
// stands at the item's original path is never moved or changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/operation.h"
#include "platform/result.h"
#include "recyclebin/store.h"
#include "wipe/receipt.h"

namespace tw::recyclebin {

enum class RunMode { Restore, Wipe };

// What a run did. files counts file objects and, when wiping, the files wiped inside
// folder objects; folders counts folder objects and, when wiping, the folders removed
// inside them; bytes sums the sizes of the objects that succeeded.
struct RunCounters {
    uint64_t files = 0;
    uint64_t folders = 0;
    uint64_t bytes = 0;
};

// One object of a run.
struct ObjectOutcome {
    std::string name;          // display name
    std::string originalPath;  // where it came from
    bool isFolder = false;
    bool ok = false;
    std::string message;  // why it failed ("" on success); for a restore refused
                          // because the name is taken, the texts 420, name, 421, 422
};

struct RunResult {
    RunMode mode = RunMode::Restore;
    RunCounters counters;
    int succeeded = 0;                   // objects restored or wiped
    int failed = 0;                      // objects attempted that did not succeed
    bool aborted = false;                // the abort flag stopped the run before its last object
    std::vector<ObjectOutcome> objects;  // the attempted objects, in run order
    std::string summaryLine;             // SummaryLine(mode, counters)
    std::string endMessage;              // EndMessage(mode, succeeded)
    uint64_t bytesWritten = 0;           // a wipe: bytes overwritten, over all passes
    std::string verifyFailure;           // a wipe: the first file that did not read back
};

// " Restoring object" / " Wiping object", the running number, "of", the total and the
// name (ShortenName), separated by single blanks.
std::string RunStatusText(RunMode mode, int number, int total, const std::string& name);
// A name of up to 30 characters as it is; a longer one cut to its first 30 characters
// (UTF-8 characters, never inside one) followed by "...".
std::string ShortenName(const std::string& name);
// "Wiped 3 files in 1 folder from the recycle bin.", "Restored 1 file from the recycle
// bin.", "Wiped 2 folders from the recycle bin."; "" when both counts are 0.
std::string SummaryLine(RunMode mode, const RunCounters& c);
// Restore: 519 for one object, "<n> " + 518 for several, 529 for none. Wipe: 525,
// "<n> " + 524, 528.
std::string EndMessage(RunMode mode, int objects);
// "Restored file: <name> from the recycle bin", "Could not wipe folder: <name> from
// the recycle bin", ...
std::string LogLine(RunMode mode, bool isFolder, bool ok, const std::string& name);
// 420 + " " + name + " " + 421 + " " + 422.
std::string CollisionMessage(const std::string& name);

// Whether `item` names data and an index entry inside one trash directory (data in
// <trash>/files/, index in <trash>/info/<name>.trashinfo). Runs refuse anything else:
// no item built from outside the store can make them write elsewhere.
bool IsWellFormedItem(const RecycleBinItem& item);

// Why WipeItems would refuse `item` without touching it ("" when it would try): not a
// well-formed item, data gone, or a file with hard links outside the bin. A dry run
// shows the same refusals as the real run.
std::string WipeRefusal(const RecycleBinItem& item);

// Moves each item back to its original path, creating missing parent folders. An item
// whose original path is taken (by anything, even a dangling link) is refused with
// CollisionMessage and stays in the bin; nothing is ever replaced. Across file systems
// the data is copied (modes and times kept, links not followed) and then removed from
// the trash. The index entry is removed after the data has moved. Item modes are kept.
RunResult RestoreItems(const OpContext& op, const std::vector<RecycleBinItem>& items);

// Wipes each item in place with `passes` passes (fixed patterns): its data is made
// writable, each file overwritten, renamed and deleted, each emptied folder removed,
// and the index entry removed once the data is gone. An item holding a file with more
// than one hard link is refused untouched (its content is also reachable outside the
// bin). When the abort flag is set in the middle of a folder, the rest of that folder
// is deleted without overwriting (the object counts as not wiped) and the run ends.
// `detailLines` adds a log line for each file wiped inside a folder object ("Wiped file:
// <folder>/<path inside> from the recycle bin"), for extensive logging. With
// `verifyLastPass` each file's last pass is read back; a file that does not read back as
// written is not wiped (it stays) and the first such error is verifyFailure.
RunResult WipeItems(const OpContext& op, const std::vector<RecycleBinItem>& items, int passes,
                    bool detailLines = false, bool verifyLastPass = false);

// WipeItems, recorded: with `logFolder` set, a receipt of the run (`command`: what ran
// it) is written into that folder's receipts folder. Answers the run; `receiptProblem`
// gets the text saying the receipt could not be written, when it could not.
RunResult WipeItemsWithReceipt(const OpContext& op, const std::vector<RecycleBinItem>& items,
                               int passes, bool detailLines, bool verifyLastPass,
                               const std::string& command, const std::string& logFolder,
                               std::string* receiptProblem);

// Adds what a wipe run did to `receipt`: its objects (by original path), its bytes and,
// when the read-back was asked for, its result.
void AddToReceipt(const RunResult& r, wipe::Receipt& receipt);

struct EmptyResult {
    int removed = 0;  // data entries removed from files/
    int failed = 0;   // entries that could not be removed
    bool aborted = false;
};
// Removes everything the bin folders hold (files/, info/ and the folder-size cache)
// without overwriting anything. Shows 338 "The recycle bin has been emptied, but not
// wiped." as the status and logs it through op.Log() (null: no line).
EmptyResult EmptyBin(const OpContext& op, const std::vector<BinFolder>& bins);

// Where SendToBin put a file.
struct PutResult {
    std::string trashDir;    // the trash directory used
    std::string trashName;   // its name there
    std::string dataPath;    // <trashDir>/files/<trashName>
    std::string infoPath;    // <trashDir>/info/<trashName>.trashinfo
    std::string storedPath;  // the Path= value written (decoded)
    bool copied = false;     // moved by copy and delete (another file system)
};

// Sends `path` (file, folder or link; a link is trashed itself, never its target) to
// the bin the way every program sharing the Trash does:
//  - the trash directory: the home trash when the item is on the home trash's file
//    system; else on the item's volume $topdir/.Trash/$uid when $topdir/.Trash is
//    usable (created 0700 when missing), else $topdir/.Trash-$uid (created 0700);
//  - the index entry is created first, with O_EXCL, under a name free in both info/ and
//    files/ ("name", "name_1", "name_2", ...); only then the data is moved in. A
//    failed move removes the index entry again;
//  - Path= is absolute in the home trash and relative to $topdir in a volume's trash;
//  - across file systems (a bind mount) the item is copied, then the original removed.
// Refused: "", "." and "..", "/", a trash directory, anything inside one or holding one.
Result<PutResult> SendToBin(const std::string& path);

}  // namespace tw::recyclebin
