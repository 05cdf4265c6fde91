// SPDX-License-Identifier: GPL-3.0-or-later
// The scheduled clean-up without a window: what the guard does when a timed clean is
// due and no panel can be started (a server, a systemd user session without a desktop,
// no panel installed). It is the same run as `tidewipe-cli clean --scheduled`: the
// scheduled task set on the scheduled drives, NumOverwrites passes, the engine's
// Recycle Bin and NTFS steps, the same log lines in the day's log. Nobody can answer a
// countdown, so a shutdown the schedule asks for proceeds at once
// ($TIDEWIPE_POWEROFF_COMMAND, else "systemctl poweroff"); without that task nothing
// is shut down.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cleanup/cleanup_run.h"
#include "platform/operation.h"
#include "platform/registry.h"

namespace tw::shell {
class MessageBus;
}

namespace tw::guard {

struct ScheduledCleanOptions {
    // The trash directories the Recycle Bin step may wipe; none: the whole bin.
    std::optional<std::vector<std::string>> trashDirs;
    shell::MessageBus* bus = nullptr;  // log lines are announced there (may be null)
};

// Runs it on the calling thread in `op` (which the guard stops from another thread; its
// log writer is set here) with the settings of `store`; returns when it has ended. A
// run that does not start logs "Scheduled clean-up could not be started: " and why.
wipe::CleanupSummary RunScheduledClean(Operation& op, RegistryStore& store,
                                       const ScheduledCleanOptions& options);

}  // namespace tw::guard
