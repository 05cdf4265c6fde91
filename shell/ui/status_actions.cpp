// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/status_actions.h"

#include <fstream>
#include <sstream>

#include "platform/drives.h"
#include "shell/startup.h"

namespace tw::ui {

StatusActions::StatusActions(Settings& settings, sched::CSchedulePageModel& schedule,
                             StatusHooks hooks)
    : settings_(settings), schedule_(schedule), hooks_(std::move(hooks)) {}

bool StatusActions::SetAutoWiping(bool on) {
    const bool running = hooks_.guardRunning && hooks_.guardRunning();
    if (on && !running && !(hooks_.launchGuard && hooks_.launchGuard())) {
        if (hooks_.message) hooks_.message(103, 125, true);
        return false;
    }
    settings_.Dword("EnableSecureDeletion") = on ? 1 : 0;
    if (hooks_.autoWiping) hooks_.autoWiping(on);
    settings_.SaveSettings();
    return on;
}

bool StatusActions::SetLoadOnStartup(bool on) {
    settings_.Dword("LoadCorselWhenWindowsStarts") = on ? 1 : 0;
    const std::string path = settings_.installDirectory.Read() + shell::kGuardProgram;
    if (on)
        SetRunValue(kAutostartName, path, false);
    else
        DeleteRunValue(kAutostartName, false);
    return on;
}

bool StatusActions::SetLogging(bool on) {
    if (hooks_.logging) hooks_.logging(on);
    // SaveSettings carries the switch to every log category, clears extensive logging,
    // writes them and announces the change.
    settings_.Dword("SaveToLogfile") = on ? 1 : 0;
    settings_.SaveSettings();
    return on;
}

bool StatusActions::SetTimedCleaning(bool on) {
    if (on) return schedule_.EnableFromStatusPage();
    schedule_.Disable();
    return false;
}

bool StatusActions::AutoWiping() { return settings_.ReadWithDefault("EnableSecureDeletion") != 0; }
bool StatusActions::LoadOnStartup() {
    return settings_.ReadWithDefault("LoadCorselWhenWindowsStarts") != 0;
}
bool StatusActions::Logging() { return settings_.ReadWithDefault("SaveToLogfile") != 0; }
bool StatusActions::TimedCleaning() { return sched::SchedulerActive(settings_.Store()) != 0; }

bool SpaceOf(const std::string& path, uint64_t* used, uint64_t* free) {
    auto space = GetFreeSpace(path);
    if (!space || space->totalBytes == 0) return false;
    *free = space->availableBytes;
    *used = space->totalBytes - space->freeBytes;
    return true;
}

int64_t UnusedSwapBytes() {
    std::ifstream in("/proc/meminfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("SwapFree:", 0) != 0) continue;
        std::istringstream fields(line.substr(9));
        int64_t kib = -1;
        fields >> kib;
        return kib < 0 ? -1 : kib * 1024;
    }
    return -1;
}

}  // namespace tw::ui
