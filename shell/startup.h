// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel's start-up without its windows: the installation check, one panel
// per user, the process privileges, the command-line switches, the launch of the
// resident guard and the clean requests a scheduled start sends.
//
// The panel calls, in this order:
//   CStartup s(config);
//   if (s.Start() != CStartup::Outcome::Run) return;    // not installed / another panel
//   ... build the main window ...
//   s.InitPrivilegesAndSwitches();                      // privileges, guardActive
//   s.Publish();                                        // from now on later starts end
//   ... pages, settings, "-rb" (ShowRecycleBinFirst) ...
//   s.BroadcastGuardQueries();
//   ... the pages' own initialisation ...
//   s.BroadcastCleanRequests();                          // "-cfs" 0x522, "-cfsm" 0x521
//
// Single instance. A named lock stands in for the named mutex and mapping: an flock on
// a file in RuntimeFolder(). The start-up lock ("<name>.startup") serialises panels
// that start at the same moment; the instance lock ("CInstanceChecker_MMF_<name>.lock",
// holding the panel's pid) is held for the panel's whole life. The kernel drops both
// when the process dies, however it dies, so a killed panel never blocks a later one.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/messages.h"

namespace tw::shell {

// File names of the programs in the program folder.
inline constexpr const char* kGuardProgram = "sentrel";
inline constexpr const char* kPanelProgram = "tidewipe";
// The single-instance name of the control panel.
inline constexpr const char* kPanelInstanceName = "Corsel Control Panel";

// The folder of this user's lock files: $XDG_RUNTIME_DIR/tidewipe, else
// /tmp/tidewipe-<uid>. Created with mode 0700 when missing. The /tmp folder is used only
// when it is a real folder (not a link) owned by this user, with no access for others
// (its mode is corrected when it is ours): anything else there could be planted by
// another user. "" when no usable folder can be had.
std::string RuntimeFolder();

// Opens (creating, mode 0600, never through a link) and flocks `path`. `wait` blocks
// until the lock is had; otherwise a lock held elsewhere fails at once with errno
// EWOULDBLOCK. The descriptor (close-on-exec) holds the lock; -1 on failure.
int LockFile(const std::string& path, bool exclusive, bool wait);

// True when `path` names an existing file this process may open for reading; false for
// "" and for folders.
bool FileOpens(const std::string& path);

// Starts the program `argv[0]` (an absolute path, or relative to the current folder)
// with arguments, detached: in its own session, from "/", with standard input and output
// on /dev/null, no other descriptors, default signal handling and an empty signal mask,
// and not a child of the caller (so it is never left as a zombie and outlives the
// caller). The environment is passed on. True when the program was executed; false
// when it could not be (errno-style reason in *why when given).
bool LaunchDetached(const std::vector<std::string>& argv, std::string* why = nullptr);
// Starts the resident guard at `path` with no arguments, detached.
bool LaunchResidentGuard(const std::string& path);
// ProgramFolder() + kGuardProgram: where the panel and the CLI find the guard.
std::string ResidentGuardPath();

// The process privileges the panel needs. manageVolume: raw access to volumes
// (effective root or CAP_SYS_ADMIN). shutdown: may power the machine off (effective
// root, CAP_SYS_BOOT, or a process of a login session, which logind lets power off).
struct Privileges {
    uint32_t manageVolumePrivilege = 0;
    uint32_t shutdownPrivilege = 0;
};
Privileges QueryPrivileges();

// The whole command line: the arguments joined with single blanks, the program's own
// path first.
std::string CommandLineText(int argc, const char* const* argv);

// The switches found in a command line. Each is a plain, case-sensitive substring
// search over the whole line, the program path included; "-cfs" is a prefix of
// "-cfsm", so a line with "-cfsm" has both.
struct CommandLineSwitches {
    bool cfs = false;   // "-cfs": scheduled clean, request 0x522
    bool cfsm = false;  // "-cfsm": forced scheduled clean, request 0x521
    bool rb = false;    // "-rb": show the Recycle Bin page first
};
CommandLineSwitches FindSwitches(std::string_view commandLine);

// One panel per user. See the top of this file for the files it uses.
class CInstanceChecker {
  public:
    // `folder` "" = RuntimeFolder().
    explicit CInstanceChecker(std::string name = kPanelInstanceName, std::string folder = "");
    virtual ~CInstanceChecker();
    CInstanceChecker(const CInstanceChecker&) = delete;
    CInstanceChecker& operator=(const CInstanceChecker&) = delete;

    // "CInstanceChecker_MMF_" + name.
    virtual std::string MappingName() const;
    // What PublishFirstInstance writes into the lock file: this process's id.
    virtual uint64_t WindowToPublish() const;

    // Waits for and takes the start-up lock. False when the lock folder is unusable
    // (the panel then runs unguarded, as when a mapping cannot be made).
    bool AcquireStartupLock();
    // True when another process holds the instance lock. Call it holding the start-up
    // lock: the test takes the instance lock for a moment.
    bool OtherInstanceRunning();
    // Unless another instance runs: takes the instance lock for the life of this
    // object, writes WindowToPublish() into the file, releases the start-up lock, true.
    bool PublishFirstInstance();
    void ReleaseStartupLock();

    bool Published() const { return instanceFd_ >= 0; }
    const std::string& Name() const { return name_; }
    std::string LockPath() const;
    std::string StartupLockPath() const;

    // For other programs (the guard): whether a panel of `name` runs or is starting,
    // asked without ever disturbing a panel's start. The published process id comes
    // in *window when one runs and it can be read.
    static bool InstanceRunning(const std::string& name = kPanelInstanceName,
                                const std::string& folder = "", uint64_t* window = nullptr);

  private:
    std::string name_, folder_;
    int startupFd_ = -1;
    int instanceFd_ = -1;
};

// The control panel's start-up object. It decides and broadcasts; the panel shows the
// message boxes it asks for and builds the windows.
class CStartup {
  public:
    struct Config {
        std::string commandLine;    // CommandLineText(argc, argv)
        std::string programFolder;  // "" = ProgramFolder(); ends in "/"
        std::string lockFolder;     // "" = RuntimeFolder()
        MessageBus* bus = nullptr;  // null or disconnected: broadcasts are dropped
        // A plain message box: text id and caption id of the string table. Empty: none.
        std::function<void(int textId, int captionId)> showMessage;
    };

    enum class Outcome {
        Run,            // go on and build the main window
        NotInstalled,   // the guard's program file is missing (message 103 shown)
        OtherInstance,  // another panel runs: end silently
    };

    explicit CStartup(Config config);

    // Called by Start() once the single-instance test has passed, before the guard is
    // launched: the panel checks the display there.
    void SetBeforeGuardLaunch(std::function<void()> f) { beforeGuardLaunch_ = std::move(f); }

    // Application start: builds residentProgramPath; ends with NotInstalled (message
    // 103, caption 125) when that file does not open; takes the start-up lock and ends
    // with OtherInstance, silently, when another panel runs; launches the guard
    // (message 103 and go on when that fails). Run otherwise.
    Outcome Start();
    // The privilege flags, and guardActive when the line holds "-cfs" or "-cfsm".
    void InitPrivilegesAndSwitches();
    // Publishes this panel; later starts end at Start(). False when it could not be
    // published (this panel still runs).
    bool Publish();
    // "-rb": the Recycle Bin page is shown first.
    bool ShowRecycleBinFirst() const { return switches_.rb; }
    // The three guard state queries, lParam 1.
    void BroadcastGuardQueries();
    // "-cfs": CleanRequestMessage 0x522; then "-cfsm": 0x521.
    void BroadcastCleanRequests();

    const CommandLineSwitches& Switches() const { return switches_; }

    std::string residentProgramPath;
    uint32_t manageVolumePrivilege = 0;
    uint32_t shutdownPrivilege = 0;
    uint32_t guardActive = 0;
    bool guardLaunched = false;
    CInstanceChecker instanceChecker;

  private:
    void Show(int textId, int captionId);
    void Send(Message m, int32_t lparam);

    Config config_;
    CommandLineSwitches switches_;
    std::function<void()> beforeGuardLaunch_;
};

}  // namespace tw::shell
