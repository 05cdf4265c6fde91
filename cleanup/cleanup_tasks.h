// SPDX-License-Identifier: GPL-3.0-or-later
// The eight switches of a drive clean-up, as the clean-up page, the schedule page, the
// guard and the CLI name and store them.
//
// Each switch is stored twice under the program key: once for a manual clean (the
// clean-up page's own set) and once for the timed clean (the "Scheduled..." values).
// The table's order is the order of the page's task rows and of the plan text.
//
// Header only: the scheduler (which stores the scheduled set) and the clean-up run (which
// reads both sets) share it without a link dependency between their libraries.
#pragma once

#include <array>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drives.h"
#include "platform/settings.h"
#include "platform/strings.h"

namespace tw::wipe {

enum class Task : int {
    RecycleBin = 0,  // wipe every Trash item
    FreeSpace,       // fill the free space with wipe files, then remove them
    DeepClean,       // rewrite each file onto free clusters, wipe the old copy
    Reclean,         // deep clean files even when cleaned before
    Slack,           // overwrite the slack behind each file
    TableEntries,    // scrub deleted NTFS file records
    Swap,            // overwrite the swap areas
    Shutdown,        // power off after the last drive
};
inline constexpr size_t kTaskCount = 8;

struct TaskInfo {
    Task task;
    const char* cliName;         // short name on the command line
    int rowTextId;               // the task row's text
    const char* manualValue;     // settings value of the manual clean
    const char* scheduledValue;  // settings value of the timed clean
    int planLineId;              // line of the plan text; 0 when the task has none
    int descriptionId;           // what the task does: the row's tool tip
};

inline constexpr std::array<TaskInfo, kTaskCount> kTasks = {{
    {Task::RecycleBin, "recycle-bin", 432, "wipeRecycleBinCFS", "ScheduledwipeRecycleBinCFS", 459,
     445},
    {Task::FreeSpace, "free-space", 199, "CleanFreeSpace", "ScheduledCleanFreeSpace", 458, 442},
    {Task::DeepClean, "deep-clean", 200, "DeepClean", "ScheduledDeepClean", 457, 441},
    {Task::Reclean, "reclean", 471, "DeepCleanUnfragmented", "ScheduledDeepCleanUnfragmented", 0,
     472},
    {Task::Slack, "slack", 198, "WipeFileSlacks", "ScheduledWipeFileSlacks", 456, 443},
    {Task::TableEntries, "table-entries", 233, "WipeDirectoryEntries",
     "ScheduledWipeDirectoryEntries", 455, 440},
    {Task::Swap, "swap", 235, "WipeSwapFileOnCleanFreeSpacePage",
     "ScheduledWipeSwapFileOnCleanFreeSpacePage", 0, 439},
    {Task::Shutdown, "shutdown", 197, "shutdownafterCFS", "ScheduledshutdownafterCFS", 454, 438},
}};

inline const TaskInfo& InfoOf(Task t) { return kTasks[static_cast<size_t>(t)]; }

// Which switches are on.
struct TaskSet {
    std::array<bool, kTaskCount> on{};

    bool operator[](Task t) const { return on[static_cast<size_t>(t)]; }
    void Set(Task t, bool value) { on[static_cast<size_t>(t)] = value; }
    bool Any() const {
        for (bool b : on)
            if (b) return true;
        return false;
    }
    bool operator==(const TaskSet&) const = default;
};

// The task named `name` on the command line; false for an unknown name.
inline bool TaskFromCliName(std::string_view name, Task* out) {
    for (const auto& info : kTasks)
        if (name == info.cliName) {
            *out = info.task;
            return true;
        }
    return false;
}

// "recycle-bin, free-space, ..." for help texts and error messages.
inline std::string CliTaskNames() {
    std::string names;
    for (const auto& info : kTasks)
        names += (names.empty() ? "" : ", ") + std::string(info.cliName);
    return names;
}

// The stored set: the manual values or the "Scheduled..." values, each read by the
// missing-value rule of the settings (a missing one is created with its default).
inline TaskSet LoadTaskSet(Settings& settings, bool scheduled) {
    TaskSet set;
    for (const auto& info : kTasks)
        set.Set(info.task,
                settings.ReadWithDefault(scheduled ? info.scheduledValue : info.manualValue) != 0);
    return set;
}

// Writes every switch of `set` as 1 or 0.
inline void StoreTaskSet(Settings& settings, const TaskSet& set, bool scheduled) {
    for (const auto& info : kTasks)
        settings.Dword(scheduled ? info.scheduledValue : info.manualValue) =
            set[info.task] ? 1u : 0u;
}

// The plan text: the plan lines of the chosen tasks in table order, joined with ". ".
// Re-clean and swap have no plan line.
inline std::string PlanText(const TaskSet& set) {
    std::string text;
    for (const auto& info : kTasks) {
        if (!set[info.task] || info.planLineId == 0) continue;
        if (!text.empty()) text += ". ";
        text += std::string(Text(info.planLineId));
    }
    return text;
}

// The mounted file system whose mount point is `text` (a trailing "/" and symbolic
// links in the path are allowed); nothing when `text` names no mount point. Drive
// sets name drives by mount point, so a folder inside a drive is no drive.
inline std::optional<DriveInfo> DriveByMountPoint(const std::string& text) {
    char real[PATH_MAX];
    if (text.empty() || !realpath(text.c_str(), real)) return std::nullopt;
    const std::string path = real;
    std::optional<DriveInfo> found;
    // The last mount on a mount point is the one visible there.
    for (auto& d : ListMounts())
        if (d.mountPoint == path) found = d;
    return found;
}

}  // namespace tw::wipe
