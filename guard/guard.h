// SPDX-License-Identifier: GPL-3.0-or-later
// Watchkeep, the resident guard: one per user, in the foreground of its own session.
//
// What it does:
//  - answers GuardQueryMessage (and the two other start-up queries) with
//    GuardStateMessage 1, announces itself with GuardStateMessage 1 when it starts and
//    with GuardStateMessage 0 when it stops (GuardStopMessage, SIGTERM, SIGINT);
//  - reads the shared settings at start, on SettingsChangedMessage, on SIGHUP and once
//    a minute; when reading them created missing values it broadcasts
//    ReloadSettingsMessage so that a running panel sees them;
//  - fires the timed clean when the schedule is due (schedule_watch.h): a panel that
//    runs gets CleanRequestMessage 0x522, otherwise the panel is started with "-cfs"
//    from the guard's own folder. When the panel cannot be started (no display in
//    this session, no panel program beside the guard, or its start failed) the guard
//    runs the scheduled clean-up itself, as `tidewipe-cli clean --scheduled` does, on
//    a thread of its own (scheduled_clean.h), and logs that it did;
//  - while EnableSecureDeletion is 1, wipes every item that arrives in the Trash with
//    NumOverwrites passes, logging when logAutoWiping is 1, and broadcasts
//    BinChangedMessage after each item. The set of trash folders follows the machine:
//    /proc/self/mountinfo (POLLPRI) tells of mounts and unmounts, and an inotify watch
//    on each volume's top folder, its .Trash and its trash folders tells when
//    .Trash-$uid, .Trash/$uid, files/ or info/ appear. A trash folder found late is
//    scanned as soon as it is watched, so that items which arrived before its watch
//    are wiped too. Each trash folder watched and dropped is logged (logAutoWiping).
//
// Everything runs in one sd-event loop; wiping runs on one worker thread so that the
// guard keeps answering while a large item is overwritten.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/activity_log.h"
#include "platform/filetime.h"
#include "platform/operation.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "recyclebin/store.h"
#include "shell/messages.h"

struct sd_event;
struct sd_event_source;
struct signalfd_siginfo;
struct inotify_event;

namespace tw::guard {

// Exit statuses of sentrel.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // another guard runs, or it cannot start at all

class Guard {
  public:
    struct Options {
        std::string programFolder;  // "" = ProgramFolder(); where the panel is started from
        std::string lockFolder;     // "" = shell::RuntimeFolder()
        // Auto-wipe only the home trash, not the trash folders of other volumes.
        bool homeTrashOnly = false;
        // When not empty: only the volumes mounted at or below one of these folders
        // count (besides the home trash), for auto-wiping and for the Recycle Bin step
        // of a clean-up the guard runs itself.
        std::vector<std::string> volumesUnder;
    };

    explicit Guard(Options options);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    // Runs until asked to stop. kExitRefused, with the reason in *why, when another
    // guard of this user runs or the guard cannot set itself up.
    int Run(std::string* why);

  private:
    struct WatchedBin {
        recyclebin::BinFolder bin;
        std::set<std::string> known;  // items seen, by index path and stamp
        ino_t infoInode = 0;          // info/ as it was when watched
        bool dead = false;            // the kernel dropped a watch (unmount, removal)
    };

    bool Setup(std::string* why);
    void Teardown();
    void OnMessage(const shell::BusMessage& m);
    void Stop();

    // Settings.
    void ReadSettings();
    // Schedule.
    void Tick();
    void ArmTick(FileTime nowLocal);
    void FireScheduledClean();
    // Runs the scheduled clean-up here, on cleanThread_, when none runs yet.
    void RunScheduledCleanHere();
    void StopScheduledClean();
    // Auto-wiping.
    recyclebin::BinScope Scope() const;
    void UpdateTrashWatch();
    void StopTrashWatch();
    bool WatchBin(const recyclebin::BinFolder& bin, bool fresh);
    void DropBin(const std::string& path);
    // The folders whose changes can make a trash folder appear: each volume's top
    // folder, its .Trash, and the trash folders themselves (for files/ and info/).
    void UpdateStructureWatch(const std::vector<std::string>& volumes);
    // inotify watches by folder: several folders may share one (the same inode).
    bool AddWatch(const std::string& folder, uint32_t mask);
    void RemoveWatch(const std::string& folder);
    void ScheduleUpdate();
    // Lists the bin and queues the items not seen before that arrived at or after
    // `arrivedSince` (UTC; 0: every new item, UINT64_MAX: none, only remember them).
    void ScanBin(WatchedBin& w, FileTime arrivedSince);
    void ScheduleScan(const std::string& binPath);
    void RunScans();
    void WorkerLoop();
    void Note(const std::string& text);
    // An activity-log line of the guard itself, when logging is on.
    void LogLine(const std::string& text);

    static int OnSignalEvent(sd_event_source* s, const signalfd_siginfo* si, void* self);
    static int OnTickEvent(sd_event_source* s, uint64_t usec, void* self);
    static int OnScanEvent(sd_event_source* s, uint64_t usec, void* self);
    static int OnInotifyReadable(sd_event_source* s, int fd, uint32_t revents, void* self);
    static int OnMountsChanged(sd_event_source* s, int fd, uint32_t revents, void* self);
    void OnInotifyEvent(const inotify_event& e);

    Options options_;
    sd_event* loop_ = nullptr;
    sd_event_source* tickSource_ = nullptr;
    sd_event_source* scanSource_ = nullptr;
    std::vector<sd_event_source*> signalSources_;
    int lockFd_ = -1;

    std::unique_ptr<shell::MessageBus> bus_;
    std::unique_ptr<RegistryStore> store_;
    std::unique_ptr<Settings> settings_;
    log::CActivityLogFile log_;  // the loop's writer; the worker has its own
    bool stopping_ = false;

    // Settings as last read.
    bool autoWipe_ = false;
    std::atomic<int> passes_{3};
    std::atomic<bool> verifyLastPass_{false};  // VerifyLastPass
    std::atomic<bool> writeReceipts_{false};   // WriteReceipts
    std::atomic<bool> logAutoWiping_{false};
    bool saveToLogfile_ = false;
    std::string logFolder_;  // guarded by queueMu_: the worker logs there

    // Schedule.
    FileTime lastFired_ = 0;
    FileTime pendingDue_ = 0;  // 0: none

    // Auto-wiping: bins watched, by trash directory; scans asked for.
    std::map<std::string, WatchedBin> watched_;
    std::set<std::string> structure_;  // folders watched for new trash folders
    std::set<std::string> scanPending_;
    bool updatePending_ = false;  // the set of trash folders may have changed
    int inotifyFd_ = -1;
    sd_event_source* inotifySource_ = nullptr;
    std::map<std::string, int> wdOf_;                 // watched folder -> watch
    std::map<int, std::set<std::string>> foldersOf_;  // watch -> folders
    int mountsFd_ = -1;                               // /proc/self/mountinfo
    sd_event_source* mountsSource_ = nullptr;
    FileTime autoWipeSince_ = 0;  // UTC: items deleted since then count as arrivals

    // The worker and its queue.
    std::thread worker_;
    std::mutex queueMu_;
    std::condition_variable queueCv_;
    std::deque<recyclebin::RecycleBinItem> queue_;
    bool workerQuit_ = false;  // a wipe in progress is always finished

    // A scheduled clean-up run by the guard itself.
    std::thread cleanThread_;
    std::atomic<bool> cleanRunning_{false};
    // Its operation: stopped when the guard stops (ends after the current file).
    std::shared_ptr<Operation> cleanOp_;
};

}  // namespace tw::guard
