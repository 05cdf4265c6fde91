// SPDX-License-Identifier: GPL-3.0-or-later
// What the volume commands share on top of the engine's volume session: the options
// that pick found items (--location / --all, --deleted-folders), the selection, and the
// printing of a session step's status.
//
// Used by search, recover, clusters, dump, wipe-traces and scrub-mft. Every function
// here prints its own error ("tidewipe-cli: ...") and returns the exit code to give (kOk
// when it went on), so a command only has to pass a failure on with env.Fail(code).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "volume/recoverable.h"
#include "volume/session.h"

namespace tw::cli {

// The activity log of the search, recovery and trace wiping: the writer when activity
// logging is on (SaveToLogfile, the master switch) and so is the category these
// operations log under (logRecoverableDataOperations); null otherwise.
log::CActivityLogFile* RecoveryLog(Env& env);

// Prints what a session step has to say (as errors) and returns the exit code it ends
// with: kOk, kRefused or kFailed.
int Report(const volume::SessionStatus& status);

// --deleted-folders: the FAT32 search also walks deleted folders. Every command that
// picks found items by location takes it, so that the items such a search lists can be
// named again.
void AddDeletedFoldersOption(CLI::App* cmd, bool& flag);

// --location N (repeatable) and --all: which found items a command works on.
struct ItemSelection {
    std::vector<uint64_t> locations;
    bool all = false;
};
// Adds the two options (mutually exclusive) with help texts that say what a location
// is: the "location" field of `search --json`.
void AddSelectionOptions(CLI::App* cmd, ItemSelection& sel);

// The selected items, in the order given (duplicates once each), or every found item
// for --all. Neither option: prints `noneSelectedText` (e.g. "Please select one or more
// files to recover") and returns kUsage. A location the search did not list: prints
// "no recoverable file at location N on SOURCE" and returns kUsage, nothing selected.
// --all with nothing found selects nothing and returns kOk.
int SelectItems(const volume::CVolumeSession& vol, const ItemSelection& sel,
                const std::string& noneSelectedText,
                std::vector<const volume::RecoverableFile*>* out);

}  // namespace tw::cli
