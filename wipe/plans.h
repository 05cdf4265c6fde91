// SPDX-License-Identifier: GPL-3.0-or-later
// What a slack wipe or a deep clean would do, found without changing anything: the
// plans a dry run and the panel show. They walk as the real runs walk and apply the
// same rules (the pass count, the files counted as cleaned, the refusals), so a plan
// never promises what the run would not do.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/registry.h"
#include "platform/result.h"
#include "wipe/slack.h"
#include "wipe/walker.h"

namespace tw::wipe {

// What both plans leave out: the walk's skips, and the files the run would refuse
// (with the reason the run would give).
struct PlanExclusions {
    std::vector<std::pair<std::string, Error>> refused;       // path, why
    std::vector<std::pair<std::string, SkipReason>> skipped;  // path, why
};

struct PlannedFile {
    std::string path;
    uint64_t sizeBytes = 0;
    uint64_t slackBytes = 0;  // slack wipe only
};

struct SlackWipePlan : PlanExclusions {
    std::vector<std::string> pendingJournals;  // left by slack wipes that died: replayed first
    std::vector<PlannedFile> files;            // the files the run would hand to the passes
    uint64_t filesCounted = 0;                 // every file the walk counted, refused ones too
    uint64_t filesWithSlack = 0;
    uint64_t slackBytes = 0;
    int passesWritten = 0;          // passes over each slack, the extra zero pass included
    Outcome outcome = Outcome::Ok;  // Failed: the walk could not start (error says why)
    Error error;

    uint64_t BytesToWrite() const { return slackBytes * static_cast<uint64_t>(passesWritten); }
};

// The slack wipe of every file below `folder` with `passCount` passes on clusters of
// `clusterSize` bytes, as CSlackWiper::WipeSlacks would run it; journals are looked for
// in `journalFolder`.
SlackWipePlan PlanSlackWipe(const OpContext& op, const std::string& folder, uint32_t clusterSize,
                            int passCount, const std::string& journalFolder = SlackJournalFolder());

struct DeepCleanPlan : PlanExclusions {
    FileTime lastStamp = 0;             // the drive's stamp; 0: never deep cleaned
    std::vector<PlannedFile> files;     // the files the run would clean
    std::vector<std::string> upToDate;  // not modified since the last deep clean: left
    uint64_t bytesToClean = 0;
    Outcome outcome = Outcome::Ok;  // Failed: the walk could not start (error says why)
    Error error;
};

// The deep clean of the files below `folder`, keyed by `driveText` in `store`, as
// CDeepCleaner::Run would run it (with `reclean`: the files the last stamp covers too).
DeepCleanPlan PlanDeepClean(const OpContext& op, RegistryStore& store, const std::string& folder,
                            const std::string& driveText, bool reclean);

// The walk options of a deep clean: its counting walk must match its cleaning walk.
WalkOptions DeepCleanWalkOptions();

}  // namespace tw::wipe
