// SPDX-License-Identifier: GPL-3.0-or-later
// settings list|get|set, log path|list|show|write.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/cli.h"
#include "platform/strings.h"

namespace tw::cli {
namespace {

std::string TypeName(RegType t) { return t == RegType::Dword ? "REG_DWORD" : "REG_SZ"; }

// "Software\Quillon\Tidewipe\cfs" -> "cfs\"; the program key itself -> "".
std::string RelativeKey(const std::string& keyPath) {
    const std::string base = ProgramKey();
    if (keyPath.size() > base.size() && keyPath.compare(0, base.size(), base) == 0)
        return keyPath.substr(base.size() + 1) + "\\";
    return keyPath == base ? "" : keyPath + "\\";
}

// NAME may name a sub-key value: "cfs\/home" is the value "/home" under the cfs key.
void SplitName(const std::string& name, std::string* key, std::string* value) {
    auto pos = name.rfind('\\');
    if (pos == std::string::npos) {
        *key = ProgramKey();
        *value = name;
    } else {
        *key = ProgramKey() + "\\" + name.substr(0, pos);
        *value = name.substr(pos + 1);
    }
}

void RegisterSettings(CLI::App& app, Env& env) {
    auto* settings = app.add_subcommand("settings", "Show and change the stored settings");
    settings->require_subcommand(1);

    static bool json = false;
    auto* list = settings->add_subcommand("list", "List every stored value");
    list->add_flag("--json", json, "Print JSON");
    list->callback([&env] {
        env.GetSettings();  // creates missing values with their defaults
        auto values = env.Store().ListAll();
        if (json) {
            nlohmann::json arr = nlohmann::json::array();
            for (auto& v : values) {
                nlohmann::json o{{"name", RelativeKey(v.keyPath) + v.name},
                                 {"type", TypeName(v.type)}};
                if (v.type == RegType::Dword)
                    o["value"] = v.dword;
                else
                    o["value"] = v.text;
                arr.push_back(o);
            }
            PrintJson(arr);
            return;
        }
        for (auto& v : values) {
            std::cout << RelativeKey(v.keyPath) << v.name << "\t" << TypeName(v.type) << "\t";
            if (v.type == RegType::Dword)
                std::cout << v.dword;
            else
                std::cout << v.text;
            std::cout << "\n";
        }
    });

    static std::string getName;
    auto* get = settings->add_subcommand("get", "Print one value");
    get->add_option("NAME", getName, "Value name, e.g. NumOverwrites or cfs\\/home")->required();
    get->callback([&env] {
        env.GetSettings();
        std::string key, name;
        SplitName(getName, &key, &name);
        uint32_t d = 0;
        std::string s;
        if (env.Store().ReadDword(key, name, &d)) {
            std::cout << d << "\n";
        } else if (env.Store().ReadString(key, name, &s)) {
            std::cout << s << "\n";
        } else {
            PrintError("no value named '" + getName + "'");
            env.Fail(kFailed);
        }
    });

    static std::string setName, setValue;
    auto* set = settings->add_subcommand(
        "set", "Change one value; a known value keeps its type (REG_DWORD or REG_SZ)");
    set->add_option("NAME", setName, "Value name")->required();
    set->add_option("VALUE", setValue, "New value")->required();
    set->callback([&env] {
        Settings& st = env.GetSettings();
        std::string key, name;
        SplitName(setName, &key, &name);
        uint32_t oldDword = 0;
        std::string oldText;
        bool isString = env.Store().ReadString(key, name, &oldText);
        bool isDword = st.HasDword(name) || env.Store().ReadDword(key, name, &oldDword) ||
                       key != ProgramKey();
        if (!isString && !isDword) {
            PrintError("unknown value '" + setName + "'; see 'tidewipe-cli settings list'");
            env.Fail(kUsage);
            return;
        }
        bool ok;
        if (isString) {
            ok = env.Store().WriteString(key, name, setValue);
        } else {
            char* end = nullptr;
            unsigned long v = std::strtoul(setValue.c_str(), &end, 0);
            if (setValue.empty() || *end != '\0' || v > 0xFFFFFFFFul || setValue[0] == '-') {
                PrintError("'" + setName + "' is a REG_DWORD: VALUE must be a number from 0 to 4294967295");
                env.Fail(kUsage);
                return;
            }
            if (name == "NumOverwrites" && (v < 1 || v > 7)) {
                PrintError("NumOverwrites must be between 1 and 7");
                env.Fail(kUsage);
                return;
            }
            ok = env.Store().WriteDword(key, name, static_cast<uint32_t>(v));
        }
        if (!ok) {
            PrintError("could not write '" + setName + "' to " + env.Store().Path());
            env.Fail(kFailed);
            return;
        }
        AnnounceSettingsChanged(1);
    });
}

std::vector<std::string> LogFiles(const std::string& folder) {
    std::vector<std::string> names;
    const std::string ext = "." + Str<163>();
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > ext.size() && n.compare(n.size() - ext.size(), ext.size(), ext) == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void RegisterLog(CLI::App& app, Env& env) {
    auto* logCmd = app.add_subcommand("log", "The daily activity log files");
    logCmd->require_subcommand(1);

    logCmd->add_subcommand("path", "Print the path of today's log file")->callback([&env] {
        std::cout << env.LogWriter().GetTodaysFileName() << "\n";
    });

    static bool json = false;
    auto* list = logCmd->add_subcommand("list", "List the log files, oldest first");
    list->add_flag("--json", json, "Print JSON");
    list->callback([&env] {
        const std::string folder = env.GetSettings().LogFolder();
        nlohmann::json arr = nlohmann::json::array();
        for (auto& n : LogFiles(folder)) {
            std::string path = folder + "/" + n;
            struct stat st {};
            stat(path.c_str(), &st);
            std::string date = n.substr(0, 10);
            std::replace(date.begin(), date.end(), '_', '-');
            if (json) {
                arr.push_back({{"date", date}, {"path", path}, {"size", st.st_size}});
            } else {
                std::cout << date << "\t" << st.st_size << "\t" << path << "\n";
            }
        }
        if (json) PrintJson(arr);
    });

    static std::string date;
    auto* show = logCmd->add_subcommand("show", "Print a day's log (default: today)");
    show->add_option("DATE", date, "YYYY-MM-DD");
    show->callback([&env] {
        const std::string folder = env.GetSettings().LogFolder();
        std::string path;
        if (date.empty()) {
            path = env.LogWriter().GetTodaysFileName();
        } else {
            std::string stem = date;
            std::replace(stem.begin(), stem.end(), '-', '_');
            for (auto& n : LogFiles(folder))
                if (n.rfind(stem + "_", 0) == 0) path = folder + "/" + n;
            if (path.empty()) {
                PrintError("no log file for " + date + " in " + folder);
                env.Fail(kFailed);
                return;
            }
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            PrintError("no log file yet for today (" + path + ")");
            env.Fail(kFailed);
            return;
        }
        // Records end in CR CR LF on disk; print plain lines.
        std::string line;
        while (std::getline(in, line)) {
            while (!line.empty() && line.back() == '\r') line.pop_back();
            std::cout << line << "\n";
        }
    });

    static std::string message;
    auto* write = logCmd->add_subcommand("write", "Append one line to today's log");
    write->add_option("MESSAGE", message, "The text (printable ASCII is kept)")->required();
    write->callback([&env] {
        if (!env.LogWriter().WriteLine(message)) {
            PrintError("nothing written: the message is empty after filtering, or the log folder " +
                       env.GetSettings().LogFolder() + " cannot be written");
            env.Fail(kFailed);
        }
    });
}

CommandRegistrar regSettings(RegisterSettings);
CommandRegistrar regLog(RegisterLog);

}  // namespace
}  // namespace tw::cli
