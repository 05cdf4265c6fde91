// SPDX-License-Identifier: GPL-3.0-or-later
// Two steps of the clean-up run that drive the Trash and volume libraries: the wipe of
// every Trash item and the scrub of deleted NTFS file records. The run calls them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cleanup/cleanup_run.h"
#include "platform/operation.h"
#include "wipe/receipt.h"

namespace tw::wipe {

// Wipes every item of the bin with `passes` passes (the Recycle Bin page's wipe of all
// items). `trashDirs`: the trash directories to wipe; none: the whole bin (the home
// trash and every local volume's), as the Recycle Bin page lists it. `binLockPath`: the
// Trash enumeration lock ("" = the shared default). Skipped when the bin cannot be
// listed (another program holds its lock).
// With `verify` each file's last pass is read back; `receipt` (may be null) gets what
// the wipe did.
StepResult WipeWholeBin(const OpContext& op, int passes,
                        const std::optional<std::vector<std::string>>& trashDirs,
                        const std::string& binLockPath, bool verify = false,
                        wipe::Receipt* receipt = nullptr);

// Scrubs the deleted file records of the NTFS volume mounted as `drive`, written back
// through the raw-write gate, then the folder traces (volume::WipeFolderTraces) and,
// with `resetJournal`, the journal (volume::ResetJournal); on a FAT32 volume clears the
// unused tails of its live directory clusters instead (ClearFatDirectoryTails). The log
// gets what was covered and what was not. Skipped, with the reason, when the file system
// is neither, its device cannot be read directly, or the gate refuses to write it (a block
// device mounted read-write). The status shows "Wiping empty MFT records. Checking " with
// the record number reached.
StepResult ScrubDeletedRecords(const OpContext& op, const CleanupDrive& drive,
                               bool resetJournal = false);

}  // namespace tw::wipe
