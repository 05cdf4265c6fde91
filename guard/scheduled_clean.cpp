// SPDX-License-Identifier: GPL-3.0-or-later
#include "guard/scheduled_clean.h"

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/settings.h"
#include "shell/messages.h"

namespace tw::guard {

wipe::CleanupSummary RunScheduledClean(Operation& op, RegistryStore& store,
                                       const ScheduledCleanOptions& options) {
    Settings settings(store);
    // The stored program folder is the panel's: the guard's own folder is named only in
    // a store that has none yet (as the guard's settings reader does).
    const std::string install = settings.installDirectory.Read();
    if (install != kNotYetSet) settings.SetProgramFolder(install);
    settings.LoadSettings();
    log::CActivityLogFile writer;
    writer.SetFolder(settings.LogFolder());
    if (options.bus) shell::BroadcastLogLines(writer, *options.bus);
    log::CActivityLogFile* log = settings.ReadWithDefault("SaveToLogfile") ? &writer : nullptr;

    op.SetLog(log);

    wipe::CCleanupRun run(settings);
    wipe::CleanupRequest request;
    request.scheduled = true;
    request.trashDirs = options.trashDirs;
    wipe::CleanupSummary summary = run.Start(op, wipe::SetUpRun(run, request));
    if (!summary.started) log::LogToFile(TextWith(TextId<1595>, summary.notStartedReason), log);
    // No window to show the countdown in: a shutdown is due only when the schedule
    // chose it, and then it goes ahead.
    run.Shutdown(summary, [](wipe::CProceedCancelDialog&) { return true; });
    return summary;
}

}  // namespace tw::guard
