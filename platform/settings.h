// SPDX-License-Identifier: GPL-3.0-or-later
// The program's lasting settings: one access object per value under the program key,
// the missing-value rule, and the load and save orders the panel, the CLI and the
// guard share.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace tw {

// "Software\Quillon\Tidewipe": every value path is this, a backslash and the name.
std::string ProgramKey();
std::string ValuePath(const std::string& name);

// Text of a string value that was never set.
inline constexpr const char* kNotYetSet = "Not yet set";
// Read default that marks a DWORD value as missing; a stored 99 counts as missing too.
inline constexpr uint32_t kMissingSentinel = 99;

// The DWORD values in their load order, with the default written when one is missing.
struct DwordSetting {
    const char* name;
    uint32_t defaultValue;
};
const std::vector<DwordSetting>& DwordSettings();    // program settings and task switches
const std::vector<DwordSetting>& LoggingSettings();  // extensiveLogging ... logJunkfileWiping

// The two drive sets: manual clean ("cfs") and scheduled clean ("sch"), one DWORD 1 per
// chosen drive named by the drive's text (its mount point).
inline constexpr const char* kManualDrives = "cfs";
inline constexpr const char* kScheduledDrives = "sch";

class Settings {
  public:
    // `store` must outlive the object. Every access object is built with forceRead set,
    // so a value changed by another process is seen at the next read.
    explicit Settings(RegistryStore& store);

    // The folder the program runs from (ProgramFolder() unless a test says otherwise).
    void SetProgramFolder(std::string folder) { programFolder_ = std::move(folder); }
    // Where the "twlogs" fallback goes (FirstLocalDriveRoot() unless a test says otherwise).
    // A root of "/" or none at all sends it to $XDG_STATE_HOME/tidewipe/twlogs instead.
    void SetFirstDriveRoot(std::function<std::string()> f) { firstDriveRoot_ = std::move(f); }
    // Called by SaveSettings with lParam 0 after writing: the settings-changed broadcast.
    void SetChangedNotifier(std::function<void(int)> f) { notifyChanged_ = std::move(f); }

    // Reads everything in the fixed order; creates missing values with their defaults;
    // resolves the log folder (LogFolder()).
    void LoadSettings();
    // Writes the log and guard settings in the fixed order, then notifies.
    void SaveSettings();
    // The manual task switches, then LoadCorselWhenWindowsStarts and RestoredFilesLocation.
    void SaveManualTaskSet();

    // A DWORD value by name (any of DwordSettings() or LoggingSettings()).
    CRegDwordValue& Dword(const std::string& name);
    bool HasDword(const std::string& name) const { return dwords_.count(Lower(name)) != 0; }
    // Reads a DWORD by the missing-value rule: 99 or missing becomes the default, written.
    uint32_t ReadWithDefault(const std::string& name);
    // NumOverwrites by that rule, kept between 1 and 7: the passes every wipe uses.
    int OverwritePasses();

    CRegStringValue installDirectory, logLocation, restoredFilesLocation;

    // The log folder resolved by LoadSettings.
    const std::string& LogFolder() const { return logFolder_; }
    // The stored LogLocation that LoadSettings had to replace because it was not an
    // existing folder given by an absolute path; "" when it was kept.
    const std::string& ReplacedLogLocation() const { return logFolderReplaced_; }

    // Drive sets.
    std::vector<std::string> DriveSet(const std::string& subKey);
    void SetDriveSet(const std::string& subKey, const std::vector<std::string>& drives);

    RegistryStore& Store() { return store_; }

  private:
    static std::string Lower(std::string s);
    std::string ResolveLogFolder();

    RegistryStore& store_;
    std::map<std::string, std::unique_ptr<CRegDwordValue>> dwords_;  // by lower-case name
    std::string programFolder_;
    std::string logFolder_;
    std::string logFolderReplaced_;
    std::function<void(int)> notifyChanged_;
    std::function<std::string()> firstDriveRoot_;
};

// Why `folder` cannot be the log folder, "" when it can: it must be an absolute path of
// an existing folder this user owns that not every user may write. With `create` a missing
// folder is made first (mode 0700, missing parents included).
std::string LogFolderProblem(const std::string& folder, bool create);

// The autostart entry of the guard: $XDG_CONFIG_HOME/autostart/<name>.desktop whose Exec
// is `data`. allUsers writes under /etc/xdg/autostart instead.
bool SetRunValue(const std::string& name, const std::string& data, bool allUsers);
bool DeleteRunValue(const std::string& name, bool allUsers);
std::string RunValuePath(const std::string& name, bool allUsers);

}  // namespace tw
