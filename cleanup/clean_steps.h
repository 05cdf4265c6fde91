// SPDX-License-Identifier: GPL-3.0-or-later
// The clean-up run's steps that live above the wiping engine: the wipe of every Trash
// item and the scrub of deleted NTFS file records. The run (cleanup/cleanup_run.h) sits
// below the Trash and volume libraries, so whoever starts a run (the clean-up page, the
// clean-request handler, the CLI) binds these into it with BindEngineSteps.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cleanup/cleanup_run.h"
#include "platform/operation.h"

namespace tw::sched {

struct EngineStepOptions {
    // The trash directories the Recycle Bin step wipes. None: the whole bin (the home
    // trash and every local volume's), as the Recycle Bin page lists it.
    std::optional<std::vector<std::string>> trashDirs;
    // The Trash enumeration lock ("" = the shared default).
    std::string binLockPath;
};

// Wipes every item of the bin with `passes` passes (the Recycle Bin page's wipe of all
// items). Skipped when the bin cannot be listed (another program holds its lock).
wipe::StepResult WipeWholeBin(const OpContext& op, int passes, const EngineStepOptions& options);

// Scrubs the deleted file records of the NTFS volume mounted as `drive`, written back
// through the raw-write gate. Skipped, with the reason, when the file system is not
// NTFS, its device cannot be read directly, or the gate refuses to write it (a block
// device mounted read-write). The status shows "Wiping empty MFT records. Checking "
// with the record number reached.
wipe::StepResult ScrubDeletedRecords(const OpContext& op, const wipe::CleanupDrive& drive);

// Binds both into `run`.
void BindEngineSteps(wipe::CCleanupRun& run, EngineStepOptions options = {});

}  // namespace tw::sched
