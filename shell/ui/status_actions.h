// SPDX-License-Identifier: GPL-3.0-or-later
// What the status page's tiles do, apart from the tiles: each switch against the
// settings store, the guard and the schedule, and the facts the page shows beside them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/settings.h"
#include "scheduler/schedule.h"

namespace tw::ui {

// The autostart entry's name.
inline constexpr const char* kAutostartName = "TidewipeMemoryResident";

struct StatusHooks {
    // A message box by string ids; `warning` asks for the exclamation icon.
    std::function<void(int textId, int captionId, bool warning)> message;
    std::function<bool()> guardRunning;       // empty: not running
    std::function<bool()> launchGuard;        // empty: cannot be started
    std::function<void(bool on)> autoWiping;  // tell the Recycle Bin page and indicator
    std::function<void(bool on)> logging;     // tell the pages that show the switch
};

class StatusActions {
  public:
    StatusActions(Settings& settings, sched::CSchedulePageModel& schedule, StatusHooks hooks);

    // Each answers the state the tile is to show afterwards.
    bool SetAutoWiping(bool on);
    bool SetLoadOnStartup(bool on);
    bool SetLogging(bool on);
    bool SetTimedCleaning(bool on);

    bool AutoWiping();
    bool LoadOnStartup();
    bool Logging();
    bool TimedCleaning();

  private:
    Settings& settings_;
    sched::CSchedulePageModel& schedule_;
    StatusHooks hooks_;
};

// Used and free bytes of the file system holding `path`; false when unknown.
bool SpaceOf(const std::string& path, uint64_t* used, uint64_t* free);
// Swap space not in use (SwapFree of /proc/meminfo), in bytes; -1 when unknown.
int64_t UnusedSwapBytes();

}  // namespace tw::ui
