// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/plans.h"

#include "wipe/deep_clean.h"

namespace tw::wipe {

SlackWipePlan PlanSlackWipe(const OpContext& op, const std::string& folder, uint32_t clusterSize,
                            int passCount, const std::string& journalFolder) {
    SlackWipePlan plan;
    plan.passesWritten = SlackPassesWritten(passCount);
    plan.pendingJournals = PendingSlackJournals(journalFolder);
    WalkerRecord rec;
    plan.outcome = CCountingWalk::Count(
        op, folder, 0, {}, rec,
        [&](const WalkFile& f, bool) {
            const SlackGeometry g = ComputeSlack(f.facts.sizeBytes, clusterSize);
            if (auto why = SlackRefusal(f.dirFd, f.name, g.slackBytes > 0)) {
                plan.refused.emplace_back(f.Path(), std::move(*why));
                return;
            }
            plan.slackBytes += g.slackBytes;
            if (g.slackBytes) ++plan.filesWithSlack;
            plan.files.push_back({f.Path(), f.facts.sizeBytes, g.slackBytes});
        },
        [&](const std::string& p, SkipReason r) { plan.skipped.emplace_back(p, r); }, &plan.error);
    plan.filesCounted = rec.files.load();
    return plan;
}

WalkOptions DeepCleanWalkOptions() {
    WalkOptions o;
    o.skipHardLinks = true;
    return o;
}

DeepCleanPlan PlanDeepClean(const OpContext& op, RegistryStore& store, const std::string& folder,
                            const std::string& driveText, bool reclean) {
    DeepCleanPlan plan;
    plan.lastStamp = ReadDeepCleanStamp(store, driveText);
    const std::set<uint64_t> notCleaned = ReadNotDeepCleaned(store, driveText);
    WalkerRecord rec;
    plan.outcome = CCountingWalk::Count(
        op, folder, plan.lastStamp, DeepCleanWalkOptions(), rec,
        [&](const WalkFile& f, bool) {
            if (!reclean && CountsAsDeepCleaned(f.facts, plan.lastStamp, notCleaned)) {
                plan.upToDate.push_back(f.Path());
            } else if (auto why = DeepCleanRefusal(f)) {
                plan.refused.emplace_back(f.Path(), std::move(*why));
            } else {
                plan.bytesToClean += f.facts.sizeBytes;
                plan.files.push_back({f.Path(), f.facts.sizeBytes, 0});
            }
        },
        [&](const std::string& p, SkipReason r) { plan.skipped.emplace_back(p, r); }, &plan.error);
    return plan;
}

}  // namespace tw::wipe
