// SPDX-License-Identifier: GPL-3.0-or-later
// settings list|get|set, log path|list|show|write.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "cli/cli.h"
#include "log/wipe/log_wipe.h"
#include "platform/fileio.h"
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

bool SameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The text values of the program key. They exist from the first start on, except the
// recovery folder, which nothing writes until the user chooses one.
bool IsKnownString(const std::string& key, const std::string& name) {
    if (key != ProgramKey()) return false;
    for (const char* known : {"InstallDirectory", "LogLocation", "RestoredFilesLocation"})
        if (SameName(name, known)) return true;
    return false;
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
                nlohmann::json o{{"type", TypeName(v.type)}};
                JsonName(o, "name", RelativeKey(v.keyPath) + v.name);
                if (v.type == RegType::Dword)
                    o["value"] = v.dword;
                else
                    JsonName(o, "value", v.text);
                arr.push_back(o);
            }
            PrintJson(arr);
            return;
        }
        for (auto& v : values) {
            std::cout << Printable(RelativeKey(v.keyPath) + v.name) << "\t" << TypeName(v.type)
                      << "\t";
            if (v.type == RegType::Dword)
                std::cout << v.dword;
            else
                std::cout << Printable(v.text);
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
            Out(s);
        } else if (IsKnownString(key, name)) {
            PrintError("'" + getName + "' is not set yet");
            env.Fail(kFailed);
        } else {
            PrintError("no value named '" + getName + "'");
            env.Fail(kFailed);
        }
    });

    static std::string setName, setValue;
    static bool create = false;
    auto* set = settings->add_subcommand(
        "set", "Change one value; a known value keeps its type (REG_DWORD or REG_SZ)");
    set->add_option("NAME", setName, "Value name")->required();
    set->add_option("VALUE", setValue, "New value")->required();
    set->add_flag("--create", create,
                  "With LogLocation: make the folder (mode 0700) when it does not exist");
    set->callback([&env] {
        Settings& st = env.GetSettings();
        std::string key, name;
        SplitName(setName, &key, &name);
        uint32_t oldDword = 0;
        std::string oldText;
        bool isString = env.Store().ReadString(key, name, &oldText) || IsKnownString(key, name);
        if (isString && SameName(name, "LogLocation")) {
            // Checked now: a folder that is not there would be replaced at the next start.
            if (std::string why = LogFolderProblem(setValue, create); !why.empty()) {
                PrintError(why);
                env.Fail(kUsage);
                return;
            }
        } else if (isString && SameName(name, "RestoredFilesLocation") &&
                   (setValue.empty() || setValue[0] != '/')) {
            PrintError("RestoredFilesLocation must be an absolute path");
            env.Fail(kUsage);
            return;
        }
        bool isDword =
            st.HasDword(name) || env.Store().ReadDword(key, name, &oldDword) || key != ProgramKey();
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
                PrintError("'" + setName +
                           "' is a REG_DWORD: VALUE must be a number from 0 to 4294967295");
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

// "YYYY-MM-DD" naming a real day; anything else is a usage error.
CLI::Validator DateValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            unsigned y = 0, m = 0, d = 0;
            int used = 0;
            if (text.size() == 10 &&
                std::sscanf(text.c_str(), "%4u-%2u-%2u%n", &y, &m, &d, &used) == 3 && used == 10 &&
                std::chrono::year_month_day(std::chrono::year(static_cast<int>(y)),
                                            std::chrono::month(m), std::chrono::day(d))
                    .ok())
                return "";
            return "not a date of the form YYYY-MM-DD: " + text;
        },
        "YYYY-MM-DD");
}

// Prints a log file from `fd` as plain lines (records end in CR CR LF on disk), a block at
// a time: a log may be far larger than memory. A line longer than kMaxLine is printed in
// pieces. False when reading failed.
bool ShowLog(int fd) {
    constexpr size_t kBlock = 1 << 16, kMaxLine = 1 << 20;
    std::string line;
    auto flush = [&line](bool endOfLine) {
        size_t keep = line.size();
        while (keep > 0 && line[keep - 1] == '\r') --keep;
        if (endOfLine) {
            std::cout << Printable(std::string_view(line).substr(0, keep)) << '\n';
            line.clear();
        } else {
            // A piece of a long line: CRs at its end may close the record, so they wait
            // (unless there is nothing else).
            if (keep == 0) keep = line.size();
            std::cout << Printable(std::string_view(line).substr(0, keep));
            line.erase(0, keep);
        }
    };
    std::vector<char> buf(kBlock);
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        const char* p = buf.data();
        const char* end = p + n;
        while (p < end) {
            const char* nl =
                static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl ? nl : end;
            line.append(p, static_cast<size_t>(stop - p));
            if (nl)
                flush(true);
            else if (line.size() >= kMaxLine)
                flush(false);
            p = nl ? nl + 1 : end;
        }
    }
    if (!line.empty()) flush(true);
    std::cout.flush();
    return true;
}

// log wipe: the question's facts, then the wipe of the files that begin with the log
// title. The stored overwrite count plays no part: the wiper is given 3 passes.
void WipeLog(Env& env, const DestructiveOptions& opts) {
    const std::string folder = env.GetSettings().LogFolder();
    const std::vector<std::string> paths = log::LogFilePaths(folder);
    if (paths.empty()) {
        Out(Str<167>());
        return;
    }
    int logs = 0;
    for (const std::string& path : paths) {
        const bool isLog = log::BeginsWithLogTitle(path);
        logs += isLog ? 1 : 0;
        if (opts.dryRun || !isLog)
            Out((isLog ? "wipe " : "keep ") + path +
                (isLog ? std::string() : "  (does not begin with \"" + Str<195>() + "\")"));
    }
    if (logs == 0) {
        Out(Str<167>());
        return;
    }
    const std::string facts = std::to_string(logs) + (logs == 1 ? " log file" : " log files") +
                              ", " + std::to_string(log::kLogWipePasses) + " passes";
    if (opts.dryRun) {
        Out(facts);
        return;
    }
    Out(log::LogWipeQuestion(folder));
    if (!Confirm(facts + ". Wipe them? They cannot be restored afterwards.", opts))
        return env.Fail(kRefused);
    Out(Str<165>());
    // No log writer: a line about the wipe would make today's log file again.
    CommandOperation progress(nullptr);
    const log::LogWipeOutcome r = log::WipeLogFiles(progress.Op(), folder);
    progress.Finish();
    for (const Error& e : r.failed) PrintError("could not wipe " + e.subject + ": " + ErrorText(e));
    if (r.stopped) {
        PrintError(Str<1621>());
        return env.Fail(kFailed);
    }
    if (!r.failed.empty()) {
        PrintError(Str<1620>());
        return env.Fail(kFailed);
    }
    Out(Str<166>());
}

void RegisterLog(CLI::App& app, Env& env) {
    auto* logCmd = app.add_subcommand("log", "The daily activity log files");
    logCmd->require_subcommand(1);

    logCmd->add_subcommand("path", "Print the path of today's log file")->callback([&env] {
        Out(env.LogWriter().GetTodaysFileName());
    });

    static bool json = false;
    auto* list = logCmd->add_subcommand("list", "List the log files, oldest first");
    list->add_flag("--json", json, "Print JSON");
    list->callback([&env] {
        const std::string folder = env.GetSettings().LogFolder();
        nlohmann::json arr = nlohmann::json::array();
        for (const std::string& path : log::LogFilePaths(folder)) {
            const std::string n = platform::BaseName(path);
            struct stat st {};
            stat(path.c_str(), &st);
            std::string date = n.substr(0, 10);
            std::replace(date.begin(), date.end(), '_', '-');
            if (json) {
                nlohmann::json o{{"date", date}, {"size", st.st_size}};
                JsonName(o, "path", path);
                arr.push_back(std::move(o));
            } else {
                std::cout << Printable(date) << "\t" << st.st_size << "\t" << Printable(path)
                          << "\n";
            }
        }
        if (json) PrintJson(arr);
    });

    static std::string date;
    auto* show = logCmd->add_subcommand("show", "Print a day's log (default: today)");
    show->add_option("DATE", date, "YYYY-MM-DD")->check(DateValidator());
    show->callback([&env] {
        const std::string folder = env.GetSettings().LogFolder();
        std::string path;
        if (date.empty()) {
            path = env.LogWriter().GetTodaysFileName();
        } else {
            std::string stem = date;
            std::replace(stem.begin(), stem.end(), '-', '_');
            for (const std::string& p : log::LogFilePaths(folder))
                if (platform::BaseName(p).rfind(stem + "_", 0) == 0) path = p;
            if (path.empty()) {
                PrintError("no log file for " + date + " in " + folder);
                env.Fail(kFailed);
                return;
            }
        }
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
            PrintError("no log file yet for today (" + path + ")");
            env.Fail(kFailed);
            return;
        }
        Result<int> opened = log::OpenLogFile(path, O_RDONLY);
        if (!opened) {
            PrintError("not showing the log: " + ErrorText(opened.error()));
            env.Fail(kRefused);
            return;
        }
        const int fd = *opened;
        if (!ShowLog(fd)) {
            PrintError(path + ": " + strerror(errno));
            env.Fail(kFailed);
        }
        close(fd);
    });

    static DestructiveOptions wipeOpts;
    auto* wipeCmd = logCmd->add_subcommand(
        "wipe",
        "Overwrite and delete every log file of the log folder (3 passes); files that only "
        "carry the log extension are kept");
    AddDestructiveOptions(wipeCmd, wipeOpts);
    wipeCmd->callback([&env] { WipeLog(env, wipeOpts); });

    static std::string message;
    auto* write = logCmd->add_subcommand("write", "Append one line to today's log");
    write->add_option("MESSAGE", message, "The text (printable ASCII is kept)")->required();
    write->callback([&env] {
        if (!env.LogWriter().WriteLine(message)) {
            PrintError("nothing written: " + ErrorText(env.LogWriter().LastError()));
            env.Fail(kFailed);
        }
    });
}

CommandRegistrar regSettings(RegisterSettings);
CommandRegistrar regLog(RegisterLog);

}  // namespace
}  // namespace tw::cli
