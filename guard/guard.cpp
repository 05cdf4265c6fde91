// SPDX-License-Identifier: GPL-3.0-or-later
#include "guard/guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "guard/schedule_watch.h"
#include "platform/drives.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/tree_ops.h"
#include "shell/startup.h"

namespace tw::guard {

namespace {

constexpr uint64_t kUsecPerSec = 1000000;
// The settings, the schedule and the set of bin folders are read again this often even
// when nobody says they changed (a writer that does not broadcast, a volume mounted).
constexpr uint64_t kTickUsec = 60 * kUsecPerSec;
// Events of one trashing come in a burst (index entry, then data): scan once after it.
constexpr uint64_t kScanDelayUsec = 100 * 1000;
constexpr uint32_t kTrashWatchMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR;

uint64_t NowUsec(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * kUsecPerSec +
           static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

bool SameValues(const std::vector<RegValue>& a, const std::vector<RegValue>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].keyPath != b[i].keyPath || a[i].name != b[i].name || a[i].type != b[i].type ||
            a[i].dword != b[i].dword || a[i].text != b[i].text)
            return false;
    }
    return true;
}

// An item is known by its index entry and that entry's change time: an item restored
// and trashed again under the same name is a new arrival.
std::string ItemKey(const recyclebin::RecycleBinItem& item) {
    struct stat st {};
    std::string key = item.infoPath;
    if (lstat(item.infoPath.c_str(), &st) == 0)
        key += "|" + std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) +
               "|" + std::to_string(st.st_ino);
    return key;
}

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

Guard::Guard(Options options) : options_(std::move(options)) {
    if (options_.programFolder.empty()) options_.programFolder = ProgramFolder();
    if (options_.lockFolder.empty()) options_.lockFolder = shell::RuntimeFolder();
}

Guard::~Guard() { Teardown(); }

void Guard::Note(const std::string& text) { std::cerr << "sentrel: " << text << std::endl; }

void Guard::LogLine(const std::string& text) {
    if (saveToLogfile_) log::LogToFile(text, &log_);
}

int Guard::Run(std::string* why) {
    if (!Setup(why)) {
        Teardown();
        return kExitRefused;
    }
    Note("Watchkeep started (pid " + std::to_string(getpid()) + ")");
    int r = sd_event_loop(loop_);
    if (r < 0) Note(std::string("event loop failed: ") + std::strerror(-r));
    Teardown();
    Note("Watchkeep stopped");
    return kExitOk;
}

bool Guard::Setup(std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (options_.lockFolder.empty())
        return fail("no private folder for the lock file ($XDG_RUNTIME_DIR or /tmp)");
    const std::string lockPath = options_.lockFolder + "/sentrel.lock";
    lockFd_ = shell::LockFile(lockPath, true, false);
    if (lockFd_ < 0) {
        if (errno != EWOULDBLOCK)
            return fail("cannot lock " + lockPath + ": " + std::strerror(errno));
        std::string pid;
        if (int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); fd >= 0) {
            char buf[32] = {};
            if (read(fd, buf, sizeof buf - 1) > 0)
                pid = std::to_string(std::strtoull(buf, nullptr, 10));
            close(fd);
        }
        return fail("Watchkeep is already running for this user" +
                    (pid.empty() || pid == "0" ? std::string() : " (pid " + pid + ")"));
    }
    const std::string pidText = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) == 0) (void)!pwrite(lockFd_, pidText.data(), pidText.size(), 0);

    // The signals are read through the loop; blocked before the worker thread starts,
    // so that it inherits the mask and never takes one itself.
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, sig);
    sigprocmask(SIG_BLOCK, &mask, nullptr);

    if (int r = sd_event_new(&loop_); r < 0)
        return fail(std::string("sd_event_new: ") + std::strerror(-r));
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        sd_event_source* s = nullptr;
        if (sd_event_add_signal(loop_, &s, sig, &Guard::OnSignalEvent, this) >= 0)
            signalSources_.push_back(s);
    }
    if (sd_event_add_time(loop_, &tickSource_, CLOCK_REALTIME, 0, 10 * 1000, &Guard::OnTickEvent,
                          this) < 0 ||
        sd_event_add_time(loop_, &scanSource_, CLOCK_MONOTONIC, 0, 10 * 1000, &Guard::OnScanEvent,
                          this) < 0)
        return fail("cannot set up the timers");
    sd_event_source_set_enabled(scanSource_, SD_EVENT_OFF);

    bus_ = std::make_unique<shell::MessageBus>();
    if (bus_->Connected()) {
        bus_->Listen([this](const shell::BusMessage& m) { OnMessage(m); });
        // The guard belongs to the session: when its bus goes away, so does it.
        bus_->OnLost([this] {
            Note("the session bus went away");
            Stop();
        });
        bus_->AttachEvent(loop_);
    } else {
        Note(bus_->Error() + "; running without messages");
    }
    shell::BroadcastLogLines(log_, *bus_);

    store_ = std::make_unique<RegistryStore>(RegistryStore::DefaultPath());
    // On a store it cannot read the guard would run on defaults: timed cleans of the
    // wrong drives, auto-wiping the user never chose. Refuse and say why instead.
    if (!store_->OpenError().empty())
        return fail("the settings store " + store_->Path() +
                    " cannot be used: " + store_->OpenError());
    settings_ = std::make_unique<Settings>(*store_);

    worker_ = std::thread([this] { WorkerLoop(); });

    ReadSettings();
    bus_->Broadcast(shell::Message::GuardStateMessage, 1);
    Tick();
    return true;
}

void Guard::Teardown() {
    if (worker_.joinable()) {
        size_t left = 0;
        {
            std::lock_guard lock(queueMu_);
            workerQuit_ = true;
            left = queue_.size();
            queue_.clear();
        }
        queueCv_.notify_all();
        // The item being wiped is finished: stopping half-way would leave part of it
        // unwiped on the disk.
        worker_.join();
        if (left) Note(std::to_string(left) + " item(s) left in the Trash unwiped");
    }
    StopTrashWatch();
    if (bus_) {
        // The stop is announced only once nothing is being wiped any more.
        if (lockFd_ >= 0) bus_->Broadcast(shell::Message::GuardStateMessage, 0);
        bus_->DetachEvent();
        bus_.reset();
    }
    if (tickSource_) tickSource_ = sd_event_source_disable_unref(tickSource_);
    if (scanSource_) scanSource_ = sd_event_source_disable_unref(scanSource_);
    for (auto* s : signalSources_) sd_event_source_disable_unref(s);
    signalSources_.clear();
    if (loop_) loop_ = sd_event_unref(loop_);
    settings_.reset();
    store_.reset();
    if (lockFd_ >= 0) {
        close(lockFd_);
        lockFd_ = -1;
    }
}

void Guard::Stop() {
    if (stopping_) return;
    stopping_ = true;
    sd_event_exit(loop_, 0);
}

void Guard::OnMessage(const shell::BusMessage& m) {
    if (!m.id || stopping_) return;
    switch (*m.id) {
        case shell::Message::GuardQueryMessage:
        case shell::Message::GuardQuery2Message:
        case shell::Message::GuardQuery3Message:
            bus_->Broadcast(shell::Message::GuardStateMessage, 1);
            break;
        case shell::Message::GuardStopMessage:
            Note("asked to stop by process " + std::to_string(m.sender));
            Stop();
            break;
        case shell::Message::SettingsChangedMessage:
            Tick();
            break;
        default:
            break;
    }
}

int Guard::OnSignalEvent(sd_event_source*, const signalfd_siginfo* si, void* self) {
    auto* g = static_cast<Guard*>(self);
    if (si->ssi_signo == SIGHUP)
        g->Tick();
    else
        g->Stop();
    return 0;
}

int Guard::OnTickEvent(sd_event_source*, uint64_t, void* self) {
    static_cast<Guard*>(self)->Tick();
    return 0;
}

int Guard::OnScanEvent(sd_event_source*, uint64_t, void* self) {
    static_cast<Guard*>(self)->RunScans();
    return 0;
}

// ---- settings ----

void Guard::ReadSettings() {
    const auto before = store_->ListAll();
    // The panel's folder is the panel's to record: the guard keeps what is stored and
    // names its own folder only in a store that has none yet.
    const std::string install = settings_->installDirectory.Read();
    settings_->SetProgramFolder(install == kNotYetSet ? options_.programFolder : install);
    settings_->LoadSettings();
    if (!SameValues(before, store_->ListAll()))
        bus_->Broadcast(shell::Message::ReloadSettingsMessage, 0);

    autoWipe_ = settings_->ReadWithDefault("EnableSecureDeletion") == 1;
    const uint32_t passes = settings_->ReadWithDefault("NumOverwrites");
    passes_ = passes < 1 ? 1 : (passes > 7 ? 7 : static_cast<int>(passes));
    logAutoWiping_ = settings_->ReadWithDefault("logAutoWiping") == 1;
    saveToLogfile_ = settings_->ReadWithDefault("SaveToLogfile") == 1;
    log_.SetFolder(settings_->LogFolder());
    std::lock_guard lock(queueMu_);
    logFolder_ = settings_->LogFolder();
}

// ---- schedule ----

void Guard::Tick() {
    if (stopping_) return;
    ReadSettings();
    UpdateTrashWatch();

    const ScheduleSnapshot snap = ReadSchedule(*store_);
    const FileTime now = NowLocal();
    std::optional<FileTime> due = NextDue(snap, now, lastFired_);
    if (due && *due <= now) {
        if (FireNow(*due, now)) {
            FireScheduledClean();
        } else {
            // Its minute has gone by (the machine slept through it): a late request
            // would be refused by the panel anyway.
            SystemTime when;
            FileTimeToSystemTime(*due, &when);
            Note("missed the timed clean due " + sched::ScheduleDateText(when));
        }
        lastFired_ = *due;
        due = NextDue(snap, now, lastFired_);
    }
    pendingDue_ = due ? *due : 0;
    ArmTick(now);
}

void Guard::ArmTick(FileTime nowLocal) {
    uint64_t waitUsec = kTickUsec;
    if (pendingDue_ > nowLocal) {
        // Local wall clock to a real-time deadline: the same distance from now. A clock
        // or zone change in between is corrected at the next tick, a minute later.
        const uint64_t untilDue = (pendingDue_ - nowLocal) / 10 + 1000;
        waitUsec = std::min(waitUsec, untilDue);
    } else if (pendingDue_ != 0) {
        waitUsec = 1000;
    }
    sd_event_source_set_time(tickSource_, NowUsec(CLOCK_REALTIME) + waitUsec);
    sd_event_source_set_enabled(tickSource_, SD_EVENT_ONESHOT);
}

void Guard::FireScheduledClean() {
    uint64_t panel = 0;
    if (shell::CInstanceChecker::InstanceRunning(shell::kPanelInstanceName, options_.lockFolder,
                                                 &panel)) {
        Note("timed clean due: asking the running panel (pid " + std::to_string(panel) + ")");
        bus_->Broadcast(shell::Message::CleanRequestMessage, shell::kCleanScheduled);
        return;
    }
    const std::string program = options_.programFolder + shell::kPanelProgram;
    std::string why;
    if (shell::LaunchDetached({program, "-cfs"}, &why)) {
        Note("timed clean due: started " + program + " -cfs");
        return;
    }
    const std::string line = "Scheduled clean-up could not be started: " + why;
    Note(line);
    LogLine(line);
}

// ---- auto-wiping ----

void Guard::UpdateTrashWatch() {
    if (!autoWipe_) {
        if (!watched_.empty()) Note("Recycle Bin auto-wiping off");
        StopTrashWatch();
        return;
    }
    const bool starting = watched_.empty();
    if (starting) {
        autoWipeSince_ = NowFileTime();
        // The home trash is watched even before anything was ever trashed: create its
        // folders now, as the first trashing program would.
        const std::string home = recyclebin::HomeTrashPath();
        (void)recyclebin::MakeFolders(recyclebin::DataHome());
        for (const std::string& dir : {home, home + "/files", home + "/info"})
            mkdir(dir.c_str(), 0700);
    }
    recyclebin::CRecycleBinStore store;
    if (options_.homeTrashOnly) {
        recyclebin::BinFolder home;
        home.path = recyclebin::HomeTrashPath();
        home.topdir = recyclebin::DataHome();
        home.isHome = true;
        store.SetBinFolders({home});
    } else {
        store.BuildBinFolders();
    }
    std::set<std::string> present;
    for (const auto& bin : store.BinFolders()) {
        present.insert(bin.path);
        auto it = watched_.find(bin.path);
        // A trash folder removed and made again has a new inode: watch the new one.
        if (it != watched_.end() && InodeOf(bin.InfoFolder()) != it->second.infoInode) {
            for (auto* s : it->second.sources) sd_event_source_disable_unref(s);
            watched_.erase(it);
            it = watched_.end();
        }
        if (it == watched_.end()) {
            WatchBin(bin, starting);
        } else {
            ScanBin(it->second, 0);  // catches what an overflowed event queue lost
        }
    }
    for (auto it = watched_.begin(); it != watched_.end();) {
        if (present.count(it->first)) {
            ++it;
            continue;
        }
        for (auto* s : it->second.sources) sd_event_source_disable_unref(s);
        it = watched_.erase(it);
    }
    if (starting && !watched_.empty())
        Note("Recycle Bin auto-wiping on (" + std::to_string(watched_.size()) +
             " trash folder(s), " + std::to_string(passes_.load()) + " pass(es))");
}

void Guard::StopTrashWatch() {
    for (auto& [path, w] : watched_)
        for (auto* s : w.sources) sd_event_source_disable_unref(s);
    watched_.clear();
    scanPending_.clear();
}

bool Guard::WatchBin(const recyclebin::BinFolder& bin, bool fresh) {
    WatchedBin w;
    w.bin = bin;
    for (const std::string& dir : {bin.InfoFolder(), bin.FilesFolder()}) {
        sd_event_source* s = nullptr;
        if (sd_event_add_inotify(loop_, &s, dir.c_str(), kTrashWatchMask, &Guard::OnInotifyEvent,
                                 this) < 0) {
            for (auto* src : w.sources) sd_event_source_disable_unref(src);
            return false;  // not there yet: tried again at the next tick
        }
        w.sources.push_back(s);
    }
    w.infoInode = InodeOf(bin.InfoFolder());
    auto& added = watched_[bin.path] = std::move(w);
    // Items already there when auto-wiping starts stay; a trash folder found later
    // (a volume's, made by its first trashing) may hold arrivals from before it was
    // found: those deleted since auto-wiping started are wiped.
    ScanBin(added, fresh ? UINT64_MAX : autoWipeSince_);
    return true;
}

void Guard::ScanBin(WatchedBin& w, FileTime arrivedSince) {
    std::vector<recyclebin::RecycleBinItem> items;
    int skipped = 0;
    recyclebin::CRecycleBinStore::ListBinFolder(w.bin, &items, &skipped);
    std::set<std::string> now;
    std::vector<recyclebin::RecycleBinItem> arrivals;
    for (auto& item : items) {
        std::string key = ItemKey(item);
        if (!w.known.count(key)) {
            const bool counts =
                arrivedSince == 0 || (arrivedSince != UINT64_MAX && item.deleted != 0 &&
                                      item.deleted + kFileTimePerSecond >= arrivedSince);
            if (counts) arrivals.push_back(item);
        }
        now.insert(std::move(key));
    }
    w.known = std::move(now);
    if (arrivals.empty()) return;
    {
        std::lock_guard lock(queueMu_);
        for (auto& item : arrivals) queue_.push_back(std::move(item));
    }
    queueCv_.notify_one();
}

int Guard::OnInotifyEvent(sd_event_source* s, const inotify_event* e, void* self) {
    auto* g = static_cast<Guard*>(self);
    for (auto& [path, w] : g->watched_) {
        if ((e->mask & IN_Q_OVERFLOW) ||
            std::find(w.sources.begin(), w.sources.end(), s) != w.sources.end())
            g->ScheduleScan(path);
    }
    return 0;
}

void Guard::ScheduleScan(const std::string& binPath) {
    scanPending_.insert(binPath);
    int enabled = SD_EVENT_OFF;
    sd_event_source_get_enabled(scanSource_, &enabled);
    if (enabled != SD_EVENT_OFF) return;
    sd_event_source_set_time(scanSource_, NowUsec(CLOCK_MONOTONIC) + kScanDelayUsec);
    sd_event_source_set_enabled(scanSource_, SD_EVENT_ONESHOT);
}

void Guard::RunScans() {
    auto pending = std::move(scanPending_);
    scanPending_.clear();
    for (const auto& path : pending)
        if (auto it = watched_.find(path); it != watched_.end()) ScanBin(it->second, 0);
}

void Guard::WorkerLoop() {
    log::CActivityLogFile workerLog;
    shell::BroadcastLogLines(workerLog, *bus_);
    for (;;) {
        recyclebin::RecycleBinItem item;
        std::string logFolder;
        {
            std::unique_lock lock(queueMu_);
            queueCv_.wait(lock, [this] { return workerQuit_ || !queue_.empty(); });
            if (workerQuit_) return;
            item = std::move(queue_.front());
            queue_.pop_front();
            if (logAutoWiping_) logFolder = logFolder_;
        }
        workerLog.SetFolder(logFolder);
        OpContext op;
        op.abort = &abort_;
        op.log = logFolder.empty() ? nullptr : &workerLog;
        recyclebin::RunResult r = recyclebin::WipeItems(op, {item}, passes_.load());
        if (r.succeeded > 0)
            Note("wiped " + item.physicalPath);
        else
            Note("could not wipe " + item.physicalPath +
                 (r.objects.empty() || r.objects[0].message.empty() ? ""
                                                                    : ": " + r.objects[0].message));
        bus_->Broadcast(shell::Message::BinChangedMessage, 0);
    }
}

}  // namespace tw::guard
