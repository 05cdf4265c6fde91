// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/drives.h"
#include "platform/strings.h"

namespace tw {

std::string ProgramKey() { return "Software\\Quillon\\" + Str<209>(); }
std::string ValuePath(const std::string& name) { return ProgramKey() + "\\" + name; }

const std::vector<DwordSetting>& DwordSettings() {
    static const std::vector<DwordSetting> kValues = {
        {"showTrayIcon", 1},
        {"SaveToLogfile", 1},
        {"EnableSecureDeletion", 0},
        {"NumOverwrites", 3},
        {"LoadCorselWhenWindowsStarts", 1},
        {"LogFreespaceWiping", 1},
        {"ShowDesktopActivityIndicator", 1},
        {"DeepClean", 0},
        {"DeepCleanUnfragmented", 0},
        {"WipeFileSlacks", 0},
        {"WipeDirectoryEntries", 1},
        {"WipeSwapFileOnCleanFreeSpacePage", 1},
        {"CleanFreeSpace", 1},
        {"shutdownafterCFS", 0},
        {"wipeRecycleBinCFS", 0},
        {"ScheduledDeepClean", 0},
        {"ScheduledDeepCleanUnfragmented", 0},
        {"ScheduledWipeFileSlacks", 0},
        {"ScheduledWipeDirectoryEntries", 0},
        {"ScheduledWipeSwapFileOnCleanFreeSpacePage", 0},
        {"ScheduledCleanFreeSpace", 1},
        {"ScheduledshutdownafterCFS", 0},
        {"ScheduledwipeRecycleBinCFS", 0},
        // Read every wipe's last pass back from the disk; keep a receipt of each run.
        {"VerifyLastPass", 0},
        {"WriteReceipts", 0},
        // Trim the free space after a free space clean where the device takes discards.
        {"TrimAfterFreeSpace", 1},
    };
    return kValues;
}

const std::vector<DwordSetting>& LoggingSettings() {
    static const std::vector<DwordSetting> kValues = {
        {"extensiveLogging", 0},
        {"logCookieWiping", 0},
        {"logAutoWiping", 0},
        {"logInternetCleanup", 0},
        {"logFileUsageTracksWiping", 0},
        {"logRecoverableDataOperations", 0},
        {"logJunkfileWiping", 0},
    };
    return kValues;
}

// The eight switches of a manual clean, in the order they are saved.
static const char* const kManualTasks[] = {"wipeRecycleBinCFS",
                                           "CleanFreeSpace",
                                           "DeepClean",
                                           "DeepCleanUnfragmented",
                                           "WipeFileSlacks",
                                           "WipeDirectoryEntries",
                                           "WipeSwapFileOnCleanFreeSpacePage",
                                           "shutdownafterCFS"};

std::string Settings::Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

Settings::Settings(RegistryStore& store)
    : installDirectory(ValuePath("InstallDirectory"), kNotYetSet, true, &store),
      logLocation(ValuePath("LogLocation"), kNotYetSet, true, &store),
      restoredFilesLocation(ValuePath("RestoredFilesLocation"), kNotYetSet, true, &store),
      store_(store),
      programFolder_(ProgramFolder()) {
    // Every DWORD is read with the sentinel as its default: the missing-value rule below
    // turns the sentinel into the real default and writes it.
    for (const auto* table : {&DwordSettings(), &LoggingSettings()})
        for (const auto& s : *table)
            dwords_[Lower(s.name)] =
                std::make_unique<CRegDwordValue>(ValuePath(s.name), kMissingSentinel, true, &store);
}

CRegDwordValue& Settings::Dword(const std::string& name) { return *dwords_.at(Lower(name)); }

uint32_t Settings::ReadWithDefault(const std::string& name) {
    uint32_t realDefault = 0;
    for (const auto* table : {&DwordSettings(), &LoggingSettings()})
        for (const auto& s : *table)
            if (Lower(s.name) == Lower(name)) realDefault = s.defaultValue;
    CRegDwordValue& v = Dword(name);
    uint32_t value = v.Read();
    if (value == kMissingSentinel) {
        v = realDefault;
        return realDefault;
    }
    return value;
}

int Settings::OverwritePasses() {
    return static_cast<int>(std::clamp<uint32_t>(ReadWithDefault("NumOverwrites"), 1, 7));
}

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsWritableDirectory(const std::string& path) {
    return IsDirectory(path) && access(path.c_str(), W_OK | X_OK) == 0;
}

void MakeFolders(const std::string& path) {
    std::string partial;
    for (size_t i = 0; i <= path.size(); ++i) {
        if ((i == path.size() || path[i] == '/') && !partial.empty()) mkdir(partial.c_str(), 0700);
        if (i < path.size()) partial += path[i];
    }
}

// Where a log folder goes when the folder the rules name cannot be created or written
// by this user (a system-wide install, a read-only root): the same leaf name under the
// user's state folder, so that a program installed for all users still logs.
std::string StateFolderFor(const std::string& leaf) {
    std::string base;
    if (const char* s = getenv("XDG_STATE_HOME"); s && s[0] == '/')
        base = s;
    else
        base = HomeFolder() + "/.local/state";
    std::string folder = base + "/tidewipe/" + leaf;
    MakeFolders(folder);
    return folder;
}

// Creates `folder` (an existing one is no error) private to the user: the log names the
// files that were wiped. When it is not a folder this user may write afterwards, answers
// the state-folder stand-in with the same leaf.
std::string CreateLogFolder(const std::string& folder, const std::string& leaf) {
    mkdir(folder.c_str(), 0700);
    if (IsWritableDirectory(folder)) return folder;
    return StateFolderFor(leaf);
}

}  // namespace

std::string LogFolderProblem(const std::string& folder, bool create) {
    if (folder.empty() || folder[0] != '/')
        return "the log folder must be given as an absolute path (\"" + folder + "\" is not one)";
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT) return folder + ": " + strerror(errno);
        if (!create) return folder + " does not exist (add --create to make it)";
        MakeFolders(folder);
        if (stat(folder.c_str(), &st) != 0)
            return "cannot create " + folder + ": " + strerror(errno);
    }
    if (!S_ISDIR(st.st_mode)) return folder + " is not a folder";
    // Whoever else may create files there could plant today's log file (or a link in
    // its place) before the program writes to it. (Group write is left to the user: with
    // a private group per user it is common and harmless.)
    if (st.st_uid != geteuid()) return folder + " belongs to another user";
    if (st.st_mode & S_IWOTH)
        return folder + " can be written by every user; choose a folder only you can write";
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        return "cannot write to " + folder + ": " + strerror(errno);
    return "";
}

std::string Settings::ResolveLogFolder() {
    logFolderReplaced_.clear();
    std::string folder = logLocation.Read();
    if (folder == kNotYetSet) {
        // The install folder was stored a moment ago; should that have failed, its
        // default text must not become part of a path.
        std::string install = installDirectory.Read();
        if (install == kNotYetSet || install.empty()) install = programFolder_;
        folder = CreateLogFolder(install + "logfiles", "logfiles");
        logLocation = folder;
    }
    // A relative folder would depend on where the program happens to be started.
    if (folder.empty() || folder[0] != '/' || !IsDirectory(folder)) {
        logFolderReplaced_ = folder;
        const std::string leaf = Str<227>();  // "twlogs"
        const std::string root = firstDriveRoot_ ? firstDriveRoot_() : FirstLocalDriveRoot();
        // The first drive's root is the root of the system on Linux (or there is none,
        // and the folder would land wherever the program was started): never make
        // folders there, use the user's state folder.
        folder =
            root.empty() || root == "/" ? StateFolderFor(leaf) : CreateLogFolder(root + leaf, leaf);
        logLocation = folder;
    }
    return folder;
}

void Settings::LoadSettings() {
    // 1. The program's own folder.
    if (installDirectory.Read() != programFolder_) installDirectory = programFolder_;
    // 2. The log folder.
    logFolder_ = ResolveLogFolder();
    // 3. The recovery folder is only read here, never written.
    restoredFilesLocation.Read();
    // 4, 5. Every DWORD in table order, then the logging values.
    for (const auto* table : {&DwordSettings(), &LoggingSettings()})
        for (const auto& s : *table) ReadWithDefault(s.name);
}

void Settings::SaveSettings() {
    // 1. SaveToLogfile and LogLocation were assigned by the caller (log page).
    uint32_t logging = ReadWithDefault("SaveToLogfile") ? 1 : 0;
    // 2. One switch drives every log category.
    for (const char* name :
         {"LogFreespaceWiping", "logCookieWiping", "logAutoWiping", "logInternetCleanup",
          "logFileUsageTracksWiping", "logRecoverableDataOperations", "logJunkfileWiping"})
        Dword(name) = logging;
    Dword("extensiveLogging") = 0;
    // 3, 4. Write them all in order, then tell the other programs.
    for (const char* name :
         {"SaveToLogfile", "LogFreespaceWiping", "logCookieWiping", "logAutoWiping",
          "logInternetCleanup", "logFileUsageTracksWiping", "logRecoverableDataOperations",
          "logJunkfileWiping", "extensiveLogging", "EnableSecureDeletion",
          "ShowDesktopActivityIndicator", "NumOverwrites", "DeepClean", "DeepCleanUnfragmented"})
        Dword(name).Write();
    logLocation.Write();
    if (notifyChanged_) notifyChanged_(0);
}

void Settings::SaveManualTaskSet() {
    for (const char* name : kManualTasks) Dword(name).Write();
    Dword("LoadCorselWhenWindowsStarts").Write();
    restoredFilesLocation.Write();
}

std::vector<std::string> Settings::DriveSet(const std::string& subKey) {
    std::vector<std::string> drives;
    for (const auto& v : store_.ListValues(ProgramKey() + "\\" + subKey))
        if (v.type == RegType::Dword && v.dword == 1) drives.push_back(v.name);
    return drives;
}

void Settings::SetDriveSet(const std::string& subKey, const std::vector<std::string>& drives) {
    const std::string key = ProgramKey() + "\\" + subKey;
    // A drive that is not chosen has no value at all.
    for (const auto& v : store_.ListValues(key))
        if (std::find(drives.begin(), drives.end(), v.name) == drives.end())
            store_.DeleteValue(key, v.name);
    for (const auto& d : drives) store_.WriteDword(key, d, 1);
}

std::string RunValuePath(const std::string& name, bool allUsers) {
    std::string base;
    if (allUsers) {
        base = "/etc/xdg";
    } else if (const char* x = getenv("XDG_CONFIG_HOME"); x && *x) {
        base = x;
    } else {
        base = HomeFolder() + "/.config";
    }
    return base + "/autostart/" + name + ".desktop";
}

// Quotes a program path for the Exec key of a desktop entry.
static std::string QuoteExec(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += "\\\\";
        out += c;
    }
    return out + "\"";
}

bool SetRunValue(const std::string& name, const std::string& data, bool allUsers) {
    const std::string path = RunValuePath(name, allUsers);
    MakeFolders(path.substr(0, path.rfind('/')));
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "[Desktop Entry]\n"
            << "Type=Application\n"
            << "Name=" << name << "\n"
            << "Exec=" << QuoteExec(data) << "\n"
            << "X-GNOME-Autostart-enabled=true\n"
            << "NoDisplay=true\n";
        if (!out.flush()) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
}

bool DeleteRunValue(const std::string& name, bool allUsers) {
    return unlink(RunValuePath(name, allUsers).c_str()) == 0;
}

}  // namespace tw
