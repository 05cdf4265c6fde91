// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/volume_select.h"

#include <set>

namespace tw::cli {

log::CActivityLogFile* RecoveryLog(Env& env) {
    log::CActivityLogFile* writer = env.Log();
    if (!writer || env.GetSettings().ReadWithDefault("logRecoverableDataOperations") == 0)
        return nullptr;
    return writer;
}

int Report(const volume::SessionStatus& status) {
    for (const std::string& line : status.lines) PrintError(line);
    switch (status.code) {
        case volume::SessionStatus::Ok:
            return kOk;
        case volume::SessionStatus::Refused:
            return kRefused;
        case volume::SessionStatus::Failed:
            break;
    }
    return kFailed;
}

void AddDeletedFoldersOption(CLI::App* cmd, bool& flag) {
    cmd->add_flag("--deleted-folders", flag,
                  "FAT32: also look inside deleted folders whose first cluster is still free "
                  "(only that cluster of the folder is read); their files are listed with "
                  "the deleted folder's name, its first character as \"?\", in the path");
}

void AddSelectionOptions(CLI::App* cmd, ItemSelection& sel) {
    auto* loc = cmd->add_option("--location", sel.locations,
                                "A found file, by the \"location\" that search --json prints "
                                "(NTFS: its record sector, FAT32: its first cluster); repeatable")
                    ->take_all();
    auto* all = cmd->add_flag("--all", sel.all, "Every file the search finds");
    loc->excludes(all);
    all->excludes(loc);
}

int SelectItems(const volume::CVolumeSession& vol, const ItemSelection& sel,
                const std::string& noneSelectedText,
                std::vector<const volume::RecoverableFile*>* out) {
    out->clear();
    if (sel.all) {
        for (const auto& f : vol.Found()) out->push_back(&f);
        return kOk;
    }
    if (sel.locations.empty()) {
        PrintError(noneSelectedText);
        return kUsage;
    }
    std::set<uint64_t> seen;
    for (uint64_t loc : sel.locations) {
        if (!seen.insert(loc).second) continue;
        const volume::RecoverableFile* f = vol.FindFound(loc);
        if (!f) {
            PrintError("no recoverable file at location " + std::to_string(loc) + " on " +
                       vol.Source().driveName);
            out->clear();
            return kUsage;
        }
        out->push_back(f);
    }
    return kOk;
}

}  // namespace tw::cli
