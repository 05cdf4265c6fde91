// SPDX-License-Identifier: GPL-3.0-or-later
// Wiping the activity log: every file of the log folder with the log extension that
// begins with the log title is overwritten and deleted by the plain file wiper.
//
// Files that carry the extension but not the title were written by something else and
// are left exactly as they are; so are symbolic links and anything that is not a
// regular file (the title check opens without following links). The wipe always uses
// the pass count kLogWipePasses, given to its own wiper: the user's stored overwrite
// count is never read nor changed, so there is nothing to put back afterwards.
#pragma once

#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/operation.h"

namespace tw::log {

// The pass count of a log wipe (the plain wiper writes it plus one passes).
inline constexpr int kLogWipePasses = 3;

// Paths of the entries of `folder` whose name ends in "." + the log extension, that are
// not folders, sorted by name. Empty when the folder cannot be listed (also when it
// does not exist).
std::vector<std::string> LogFilePaths(const std::string& folder);

// True when the file opens (no link followed) and its first bytes are the log title.
bool BeginsWithLogTitle(const std::string& path);

// `path` cut to at most maxChars bytes the way a path is shortened for a dialog: the
// start of the path, "...", and the last component ("/home/u/.../logfiles"); when even
// that does not fit, the start of the last component followed by "...". Never cuts a
// UTF-8 sequence in two.
std::string CompactPath(const std::string& path, size_t maxChars);

// The wipe question: "Would you like to wipe the logfiles (all files with the extension
// lnt from the folder <folder, at most 80 characters> ) ?".
std::string LogWipeQuestion(const std::string& folder);

struct LogWipeOutcome {
    int found = 0;                     // files with the log extension
    int wiped = 0;                     // log files overwritten and deleted
    std::vector<std::string> notLogs;  // left untouched: not beginning with the title
    std::vector<Error> failed;         // log files the wiper refused or could not wipe
    bool stopped = false;              // a stop ended the run before the last file
    bool Ok() const { return failed.empty() && !stopped; }
};

// Wipes the log files of `folder` (above). The Overall bar goes from 0 to the number of
// files and steps once per file; a stop is honoured between files. Nothing is written to
// the activity log (a line would create today's file again): `op`'s writer is not used.
LogWipeOutcome WipeLogFiles(const OpContext& op, const std::string& folder);

}  // namespace tw::log
