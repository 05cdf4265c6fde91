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
//    from the guard's own folder; a panel that cannot be started is logged;
//  - while EnableSecureDeletion is 1, wipes every item that arrives in the Trash with
//    NumOverwrites passes (inotify on every bin folder's info/ and files/), logging
//    when logAutoWiping is 1, and broadcasts BinChangedMessage after each item.
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
        std::vector<sd_event_source*> sources;  // info/ and files/
        std::set<std::string> known;            // items seen, by index path and stamp
        ino_t infoInode = 0;                    // info/ as it was when watched
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
    // Auto-wiping.
    void UpdateTrashWatch();
    void StopTrashWatch();
    bool WatchBin(const recyclebin::BinFolder& bin, bool fresh);
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
    static int OnInotifyEvent(sd_event_source* s, const inotify_event* e, void* self);

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
    std::atomic<bool> logAutoWiping_{false};
    bool saveToLogfile_ = false;
    std::string logFolder_;  // guarded by queueMu_: the worker logs there

    // Schedule.
    FileTime lastFired_ = 0;
    FileTime pendingDue_ = 0;  // 0: none

    // Auto-wiping: bins watched, by trash directory; scans asked for.
    std::map<std::string, WatchedBin> watched_;
    std::set<std::string> scanPending_;
    FileTime autoWipeSince_ = 0;  // UTC: items deleted since then count as arrivals

    // The worker and its queue.
    std::thread worker_;
    std::mutex queueMu_;
    std::condition_variable queueCv_;
    std::deque<recyclebin::RecycleBinItem> queue_;
    bool workerQuit_ = false;
    std::atomic<int> abort_{0};  // never set: a wipe in progress is always finished
};

}  // namespace tw::guard
