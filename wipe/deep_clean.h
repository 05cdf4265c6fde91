// SPDX-License-Identifier: GPL-3.0-or-later
// Deep clean: removing the residue beneath existing files and defragmenting them on the
// way. For each file a fresh copy is written beside it (the file system places it in
// free space), the file itself is wiped with the pass table, and the copy takes its
// place under its own name. The drive then carries a stamp in the settings store, every
// cleaned file gets that stamp as its modification time, and later runs skip files not
// modified since, unless asked to clean them again.
//
// A file is never lost, whatever moment the process dies at:
//   1. the copy's name "<n>vr3swt4sd456.rj3" must be free (a file of that name means
//      the file is not cleaned); the content is copied (holes stay holes), mode, owner
//      and extended attributes are carried over, the copy is flushed (fsync), the sizes
//      are compared and the original is checked to be unchanged since the copy began;
//   2. a journal "<n>vr3swt4sd456.rj3.origin" naming the original (its name, inode,
//      owner, size and times) says "complete" and is flushed, and the copy has its name
//      (where the file system takes O_TMPFILE the copy is written unnamed and linked
//      under its name only now; elsewhere it is created under its name at the start,
//      with the journal first saying "copying") - only then is the original wiped
//      (passes, truncation, renaming, deletion);
//   3. the copy is renamed to the original name, the folder flushed, the journal
//      removed, and the modification time set to the stamp (or the slack wiped).
// The first thing a later deep clean does in a folder is to settle what such a journal
// describes: a copy still "copying" is removed (the original was never touched); a
// "complete" copy is removed when the original is still there and identical, is put in
// place when the original's name is free or holds the (partly wiped) original, and is
// left under its own name when the name now holds another file. Only journals owned by
// the user running the clean are acted upon.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/registry.h"
#include "wipe/walker.h"

namespace tw::log {
class CActivityLogFile;
}

namespace tw::wipe {

class CProgressFileWiper;
class CSlackJournal;

// ---------------------------------------------------------------- the drive stamp

// "Software\Quillon\Tidewipe\dc" + drive text: the key of a drive's stamp. The drive
// text is the mount point the run was started on (the same text the slack wipe reads).
std::string DeepCleanKey(const std::string& driveText);
// The stamp (UTC FILETIME from "lastDeepCleanLo"/"lastDeepCleanHi"), 0 when none.
FileTime ReadDeepCleanStamp(RegistryStore& store, const std::string& driveText);
bool WriteDeepCleanStamp(RegistryStore& store, const std::string& driveText, FileTime stamp);
// Removes the stamp and the list below (a drive that was never cleaned).
bool ClearDeepCleanStamp(RegistryStore& store, const std::string& driveText);

// The files the last completed deep clean of the drive went over but could not clean
// (their inode numbers, value "notCleaned"): the stamp does not cover them, so the next
// run takes them up again whatever their time, and the slack wipe never gives them the
// stamp.
std::set<uint64_t> ReadNotDeepCleaned(RegistryStore& store, const std::string& driveText);
bool WriteNotDeepCleaned(RegistryStore& store, const std::string& driveText,
                         const std::set<uint64_t>& inodes);
// Whether the drive's deep clean counts the file as cleaned: not modified after the
// stamp, not on the list above, and not a hard-linked file (those are never cleaned).
bool CountsAsDeepCleaned(const FileFacts& facts, FileTime stamp,
                         const std::set<uint64_t>& notCleaned);

// Why a deep clean of the file would be refused now ("" when it would run): what a dry
// run shows. The clean reads the file, writes a copy beside it with the file's owner,
// and wipes and replaces the file, so it needs read and write access to the file and
// write access to its folder, the file's owner (unless run as root), and the file not
// locked. Changes nothing.
std::optional<Error> DeepCleanRefusal(const WalkFile& file);

// ---------------------------------------------------------------- the cleaner

class CDeepCleaner {
  public:
    // `store` holds the stamps and must outlive the cleaner. Loads the texts.
    explicit CDeepCleaner(RegistryStore& store);
    ~CDeepCleaner();
    CDeepCleaner(const CDeepCleaner&) = delete;
    CDeepCleaner& operator=(const CDeepCleaner&) = delete;

    uint32_t clusterSize = 0;     // of the drive; 0: asked of each file's file system
    int passCount = 1;            // N passes over each original
    bool alsoWipeSlacks = false;  // the slack task runs in the same run
    bool reclean = false;         // clean files not modified since the last stamp too
    bool logOn = false;           // per-file lines need logOn, logWriter and detailLog
    bool detailLog = false;
    log::CActivityLogFile* logWriter = nullptr;

    // Texts (string table).
    std::string couldNotText, deepCleaningText, dirDoneText, underneathText, defragText, ofWord,
        overwriteWord, overwritesWord, productWord;

    // Counters of the last Run (bytes by file size).
    uint64_t bytesCleaned = 0, bytesNotCleaned = 0;
    uint64_t filesCleaned = 0, filesNotCleaned = 0, filesUpToDate = 0;
    uint64_t copiesRestored = 0, copiesRemoved = 0, copiesKept = 0;
    // Bytes the wiper wrote (its counter; the time estimate of the panel reads it).
    uint64_t bytesWritten = 0;

    // Read the last pass over each original back from the disk before the copy takes
    // its place (CSecureFileWiper::verifyLastPass; with alsoWipeSlacks the slack's last
    // pass too). An original that does not read back as written counts as not cleaned;
    // its content goes back under its name as after any wipe that failed.
    bool verifyLastPass = false;
    uint64_t filesReadBack = 0;  // files whose originals were read back
    // What became of one file the walk handed over (a receipt lists them).
    struct FileDone {
        std::string path;
        bool cleaned = false;
        uint64_t bytesWritten = 0;      // over the passes on the original (and its slack)
        std::optional<Error> readBack;  // why the read-back failed, when it did
    };
    std::function<void(const FileDone&)> onFileDone;

    // The cleaning walk over `start`, keyed by `driveText`: reads the old stamp, takes
    // the new one (now, UTC) and cleans every file the old one does not cover (every
    // file with `reclean`), giving each the new stamp as its modification time. Only a
    // run that went over the whole tree stores the new stamp, with the list of the
    // files it could not clean (list first, then the stamp): a run stopped by the abort
    // flag, or a process that dies, leaves the old stamp and list, so files it did not
    // reach never count as cleaned. Journals of slack wipes that died are replayed
    // first.
    // `counts` (may be null) is the counting walk started for this run: its totals
    // drive the Overall bar (0..372) and the time-remaining text. Ok, Stopped, or Failed
    // when the walk could not start (WalkError() says why).
    Outcome Run(const OpContext& op, const std::string& start, const std::string& driveText,
                const CCountingWalk* counts = nullptr);
    const Error& WalkError() const { return walkError_; }
    // The stamp the last Run stored (and gave the cleaned files).
    FileTime NewStamp() const { return newStamp_; }

    // Deep cleans one file handed over by the walker with the stamp to give it. True
    // when the file was cleaned (its content now lives in fresh clusters under its own
    // name); false when it was left as it was (or, after a failure, its content was put
    // back under its own name).
    bool DeepCleanFile(const OpContext& op, const WalkFile& file, FileTime stamp);

    // Settles the journals of an earlier, interrupted clean in the open folder (see
    // the header). Returns the number of copies restored to their names.
    int RestoreLeftoverCopies(int dirFd, const std::string& folder);

    // Where the slack passes over cleaned files (alsoWipeSlacks) keep their journal.
    std::string slackJournalFolder;

    // The copy's counter: the next copy is "<counter>vr3swt4sd456.rj3".
    void SetCopyCounter(uint64_t n) { copyCounter_ = n; }
    // Test seam: called at each stage of a file's clean with the copy's path, so that a
    // test can end the process there and check what the next run makes of it. Stages:
    // "copying" (journal written, first piece of data copied), "copied" (copy complete
    // and flushed, journal says so, original untouched), "wiped" (the wipe returned,
    // the copy not yet in place), "placed" (the copy holds the name, the journal is
    // still there).
    std::function<void(std::string_view stage, const std::string& copyPath)> stageHook;

  private:
    bool CleanFile(const OpContext& op, const WalkFile& file, FileTime stamp);
    void LogFileLine(bool cleaned, const WalkFile& file, const std::string& copyPath) const;
    // Notes what now holds the name of a file that was not cleaned (and the copy, when
    // it stays under its own name) for the list of files the stamp does not cover.
    void NoteNotCleaned(int dirFd, const std::string& name);
    void Stage(std::string_view stage, const std::string& copyPath) const {
        if (stageHook) stageHook(stage, copyPath);
    }

    RegistryStore& store_;
    std::unique_ptr<CProgressFileWiper> wiper_;  // built once: its construction reseeds
    Error walkError_;
    FileTime newStamp_ = 0;
    uint64_t copyCounter_ = 1;
    std::set<uint64_t> notCleaned_;
    std::unique_ptr<CSlackJournal> slackJournal_;
    // The file being cleaned: what was written over it and the read-back's failure.
    uint64_t fileWritten_ = 0;
    std::optional<Error> fileReadBack_;
    bool fileReadBackDone_ = false;
};

struct Receipt;
// A receipt's entry for one file the deep clean handed over: the bytes written over its
// original, why it was not cleaned, and a failed read-back, which fails the receipt's
// check.
void AddToReceipt(const CDeepCleaner::FileDone& f, Receipt& receipt);

}  // namespace tw::wipe
