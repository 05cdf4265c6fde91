// SPDX-License-Identifier: GPL-3.0-or-later
// The storage facts as the commands show them: the `volumes` listing, and the caveat
// line every destructive command's plan prints and its run logs for each volume it
// writes on (the text itself is the engine's, platform/storage_facts.h).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "log/activity_log.h"
#include "platform/storage_facts.h"

namespace tw::cli {

// The volumes `paths` lie on, each once, in the order first met (paths that do not
// resolve are left out).
std::vector<StorageFacts> VolumesOf(const std::vector<std::string>& paths);

// Every fact of one volume or device as JSON (the `volumes --json` record).
nlohmann::json FactsJson(const StorageFacts& f);
// The short record a plan's JSON carries per volume: where, the file system, the
// caveat keys and the caveat text.
nlohmann::json CaveatJson(const StorageFacts& f);
nlohmann::json CaveatsJson(const std::vector<std::string>& paths);

// Prints (a plan) or logs (a run) the caveat line of each volume the paths lie on.
void PrintCaveats(const std::vector<std::string>& paths);
void LogCaveats(const std::vector<std::string>& paths, log::CActivityLogFile* log);

}  // namespace tw::cli
