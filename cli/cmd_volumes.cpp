// SPDX-License-Identifier: GPL-3.0-or-later
// volumes [--json] [--all]: every mounted volume and every block device with its storage
// facts and what an overwrite there reaches or cannot; and the caveat lines the
// destructive commands print in their plans and log in their runs.
#include <iostream>
#include <set>

#include "cli/cli.h"
#include "cli/volume_facts.h"
#include "platform/format.h"

namespace tw::cli {

std::vector<StorageFacts> VolumesOf(const std::vector<std::string>& paths) {
    std::vector<StorageFacts> out;
    std::set<std::string> seen;
    for (const auto& p : paths) {
        auto f = FactsForPath(p);
        if (!f.ok()) continue;
        const std::string key = f->mountPoint.empty() ? f->source : f->mountPoint;
        if (seen.insert(key).second) out.push_back(std::move(*f));
    }
    return out;
}

nlohmann::json CaveatJson(const StorageFacts& f) {
    nlohmann::json j = nlohmann::json::object();
    JsonName(j, "volume", f.mountPoint.empty() ? f.path : f.mountPoint);
    j["fsType"] = f.fsType;
    nlohmann::json keys = nlohmann::json::array();
    for (Caveat c : f.caveats) keys.push_back(std::string(CaveatKey(c)));
    j["caveats"] = keys;
    j["caveat"] = CaveatText(f.caveats);
    return j;
}

nlohmann::json CaveatsJson(const std::vector<std::string>& paths) {
    nlohmann::json a = nlohmann::json::array();
    for (const auto& f : VolumesOf(paths)) a.push_back(CaveatJson(f));
    return a;
}

void PrintCaveats(const std::vector<std::string>& paths) {
    for (const auto& f : VolumesOf(paths))
        if (const std::string line = VolumeCaveatLine(f); !line.empty()) Out(line);
}

void LogCaveats(const std::vector<std::string>& paths, log::CActivityLogFile* log) {
    if (log == nullptr) return;
    for (const auto& f : VolumesOf(paths))
        if (const std::string line = VolumeCaveatLine(f); !line.empty()) log::LogToFile(line, log);
}

nlohmann::json FactsJson(const StorageFacts& f) {
    nlohmann::json j = nlohmann::json::object();
    JsonName(j, "path", f.path);
    if (!f.mountPoint.empty()) {
        JsonName(j, "mountPoint", f.mountPoint);
        j["fsType"] = f.fsType;
        JsonName(j, "source", f.source);
        j["mountOptions"] = f.mountOptions;
        JsonName(j, "superOptions", f.superOptions);
    }
    if (f.space)
        j["space"] = {{"totalBytes", f.space->totalBytes},
                      {"freeBytes", f.space->freeBytes},
                      {"availableBytes", f.space->availableBytes},
                      {"blockSize", f.space->blockSize},
                      {"magic", f.space->magic}};
    j["features"] = {{"copyOnWrite", f.copyOnWrite},       {"logStructured", f.logStructured},
                     {"dataJournal", f.dataJournal},       {"compression", f.compression},
                     {"subvolume", f.subvolume},           {"overlay", f.overlay},
                     {"memoryOnly", f.memoryOnly},         {"network", f.network},
                     {"nonRotational", f.nonRotational},   {"encrypted", f.encrypted},
                     {"acceptsDiscard", f.acceptsDiscard}, {"removable", f.removable}};
    j["model"] = f.model;
    j["serial"] = f.serial;
    nlohmann::json devs = nlohmann::json::array();
    for (const auto& d : f.devices) {
        nlohmann::json dj = {{"name", d.name},
                             {"path", d.path},
                             {"kind", std::string(BlockKindKey(d.kind))},
                             {"depth", d.depth},
                             {"sizeBytes", d.sizeBytes},
                             {"rotational", d.rotational},
                             {"removable", d.removable},
                             {"readOnly", d.readOnly},
                             {"discardGranularity", d.discardGranularity},
                             {"discardMaxBytes", d.discardMaxBytes},
                             {"model", d.model},
                             {"serial", d.serial}};
        if (!d.dmName.empty()) dj["dmName"] = d.dmName;
        if (!d.backingFile.empty()) JsonName(dj, "backingFile", d.backingFile);
        devs.push_back(std::move(dj));
    }
    j["devices"] = devs;
    nlohmann::json keys = nlohmann::json::array();
    for (Caveat c : f.caveats) keys.push_back(std::string(CaveatKey(c)));
    j["caveats"] = keys;
    j["caveat"] = CaveatText(f.caveats);
    j["trimHelps"] = TrimHelps(f);
    return j;
}

namespace {

std::string DeviceText(const BlockDeviceFacts& d) {
    std::string s = d.name + " (" + std::string(BlockKindKey(d.kind));
    if (d.sizeBytes) s += ", " + FormatSize(d.sizeBytes, "%2.2f");
    if (d.kind == BlockDeviceFacts::Kind::Disk || d.kind == BlockDeviceFacts::Kind::Memory)
        s += d.rotational ? ", rotational" : ", non-rotational";
    if (d.AcceptsDiscard()) s += ", takes discards";
    if (d.removable) s += ", removable";
    if (!d.model.empty()) s += ", model " + d.model;
    if (!d.serial.empty()) s += ", serial " + d.serial;
    if (!d.dmName.empty()) s += ", mapping " + d.dmName;
    if (!d.backingFile.empty()) s += ", image " + d.backingFile;
    return s + ")";
}

void PrintFacts(const StorageFacts& f) {
    std::string head;
    if (!f.mountPoint.empty()) {
        head = f.mountPoint + "  " + f.fsType + " on " + f.source;
        if (f.space)
            head += ", " + FormatSize(f.space->totalBytes, "%2.2f") + ", " +
                    FormatSize(f.space->availableBytes, "%2.2f") + " free";
    } else {
        head = f.path;
    }
    Out(head);
    std::string features;
    auto add = [&features](const std::string& s) {
        features += (features.empty() ? "" : ", ") + s;
    };
    if (!f.compression.empty()) add("compression " + f.compression);
    if (!f.subvolume.empty()) add("subvolume " + f.subvolume);
    if (f.dataJournal) add("data=journal");
    if (!features.empty()) Out("  features: " + features);
    for (const auto& d : f.devices) Out("  " + std::string(2 * d.depth, ' ') + DeviceText(d));
    Out("  overwrite: " + CaveatText(f.caveats));
}

struct VolumesOptions {
    bool json = false;
    bool all = false;
};

void RegisterVolumes(CLI::App& app, Env& env) {
    static VolumesOptions o;
    auto* cmd = app.add_subcommand(
        "volumes",
        "List every mounted volume and every block device with its storage facts (file "
        "system, mount options, the device stack down to the disk, rotational or flash, "
        "discards, encryption) and what an overwrite there reaches or cannot.");
    cmd->add_flag("--json", o.json, "Print the facts as JSON");
    cmd->add_flag("--all", o.all, "Also list pseudo file systems (proc, sysfs, cgroup...)");
    cmd->callback([&env] {
        (void)env;
        const auto volumes = ListVolumeFacts(o.all);
        const auto devices = ListBlockDeviceFacts();
        if (o.json) {
            nlohmann::json v = nlohmann::json::array(), d = nlohmann::json::array();
            for (const auto& f : volumes) v.push_back(FactsJson(f));
            for (const auto& f : devices) d.push_back(FactsJson(f));
            PrintJson({{"volumes", v}, {"devices", d}});
            return;
        }
        std::cout << "Mounted volumes:\n";
        for (const auto& f : volumes) PrintFacts(f);
        std::cout << "\nBlock devices:\n";
        for (const auto& f : devices) PrintFacts(f);
    });
}

CommandRegistrar reg(RegisterVolumes);

}  // namespace
}  // namespace tw::cli
