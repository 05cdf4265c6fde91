// SPDX-License-Identifier: GPL-3.0-or-later
#include "guard/guard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
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
#include "guard/scheduled_clean.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/storage_facts.h"
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
// In info/ and files/: an index entry written, data moved in.
constexpr uint32_t kTrashEvents = IN_CLOSE_WRITE | IN_MOVED_TO;
// In a top folder, .Trash or a trash folder: a folder made or moved in.
constexpr uint32_t kStructureEvents = IN_CREATE | IN_MOVED_TO;

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

bool IsRealFolder(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether a name appearing in a structure folder can make a trash folder: ".Trash",
// ".Trash-$uid", "$uid" (in .Trash), "files" or "info" (in a trash folder).
bool StructureName(std::string_view name) {
    const std::string uid = std::to_string(getuid());
    return name == ".Trash" || name == ".Trash-" + uid || name == uid || name == "files" ||
           name == "info";
}

// A panel can be shown in this session only with a display to show it on.
bool HaveDisplay() {
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* v = getenv(var); v && *v) return true;
    return false;
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
    Note(TextWith(TextId<1560>, std::to_string(getpid())));
    int r = sd_event_loop(loop_);
    if (r < 0) Note(TextWith(TextId<1561>, std::strerror(-r)));
    Teardown();
    Note(Str<1562>());
    return kExitOk;
}

bool Guard::Setup(std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (options_.lockFolder.empty()) return fail(Str<1563>());
    const std::string lockPath = options_.lockFolder + "/sentrel.lock";
    lockFd_ = shell::LockFile(lockPath, true, false);
    if (lockFd_ < 0) {
        if (errno != EWOULDBLOCK)
            return fail(TextWith(TextId<1564>, lockPath, std::strerror(errno)));
        std::string pid;
        if (int fd = open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); fd >= 0) {
            char buf[32] = {};
            if (read(fd, buf, sizeof buf - 1) > 0)
                pid = std::to_string(std::strtoull(buf, nullptr, 10));
            close(fd);
        }
        return fail(pid.empty() || pid == "0" ? Str<1565>() : TextWith(TextId<1566>, pid));
    }
    const std::string pidText = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) == 0)
        (void)platform::PwriteAll(lockFd_, pidText.data(), pidText.size(), 0);

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
        return fail(Str<1567>());
    sd_event_source_set_enabled(scanSource_, SD_EVENT_OFF);

    bus_ = std::make_unique<shell::MessageBus>();
    if (bus_->Connected()) {
        bus_->Listen([this](const shell::BusMessage& m) { OnMessage(m); });
        // The guard belongs to the session: when its bus goes away, so does it.
        bus_->OnLost([this] {
            Note(Str<1568>());
            Stop();
        });
        bus_->AttachEvent(loop_);
    } else {
        Note(TextWith(TextId<1569>, bus_->Error()));
    }
    shell::BroadcastLogLines(log_, *bus_);

    inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd_ < 0 || sd_event_add_io(loop_, &inotifySource_, inotifyFd_, EPOLLIN,
                                          &Guard::OnInotifyReadable, this) < 0)
        return fail(TextWith(TextId<1570>, std::strerror(errno)));
    if (!options_.homeTrashOnly) {
        // The mount table signals every mount and unmount with POLLPRI.
        mountsFd_ = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        if (mountsFd_ < 0 || sd_event_add_io(loop_, &mountsSource_, mountsFd_, EPOLLPRI,
                                             &Guard::OnMountsChanged, this) < 0)
            Note(Str<1571>());
    }

    store_ = std::make_unique<RegistryStore>(RegistryStore::DefaultPath());
    // On a store it cannot read the guard would run on defaults: timed cleans of the
    // wrong drives, auto-wiping the user never chose. Refuse and say why instead.
    if (!store_->OpenError().empty())
        return fail(TextWith(TextId<1572>, store_->Path(), store_->OpenError()));
    settings_ = std::make_unique<Settings>(*store_);

    worker_ = std::thread([this] { WorkerLoop(); });

    ReadSettings();
    bus_->Broadcast(shell::Message::GuardStateMessage, 1);
    Tick();
    return true;
}

void Guard::Teardown() {
    StopScheduledClean();
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
        if (left) Note(TextWith(TextId<1573>, std::to_string(left)));
    }
    StopTrashWatch();
    if (inotifySource_) inotifySource_ = sd_event_source_disable_unref(inotifySource_);
    if (mountsSource_) mountsSource_ = sd_event_source_disable_unref(mountsSource_);
    if (inotifyFd_ >= 0) close(inotifyFd_);
    if (mountsFd_ >= 0) close(mountsFd_);
    inotifyFd_ = mountsFd_ = -1;
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
            Note(TextWith(TextId<1574>, std::to_string(m.sender)));
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
    passes_ = settings_->OverwritePasses();
    logAutoWiping_ = settings_->ReadWithDefault("logAutoWiping") == 1;
    verifyLastPass_ = settings_->ReadWithDefault("VerifyLastPass") == 1;
    writeReceipts_ = settings_->ReadWithDefault("WriteReceipts") == 1;
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
            Note(TextWith(TextId<1575>, sched::ScheduleDateText(when)));
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
        Note(TextWith(TextId<1576>, std::to_string(panel)));
        bus_->Broadcast(shell::Message::CleanRequestMessage, shell::kCleanScheduled);
        return;
    }
    const std::string program = options_.programFolder + shell::kPanelProgram;
    std::string why;
    if (!HaveDisplay()) {
        why = Str<1577>();
    } else if (access(program.c_str(), X_OK) != 0) {
        why = std::strerror(errno);
    } else if (shell::LaunchDetached({program, "-cfs"}, &why)) {
        Note(TextWith(TextId<1578>, program));
        return;
    }
    const std::string line = TextWith(TextId<1579>, program, why);
    Note(line);
    LogLine(line);
    RunScheduledCleanHere();
}

void Guard::RunScheduledCleanHere() {
    if (cleanRunning_) {
        Note(Str<1580>());
        return;
    }
    if (cleanThread_.joinable()) cleanThread_.join();
    ScheduledCleanOptions o;
    // A guard kept to some volumes keeps its Recycle Bin step to them as well.
    if (options_.homeTrashOnly || !options_.volumesUnder.empty()) {
        o.trashDirs.emplace();
        for (const auto& b : recyclebin::CurrentBinFolders(Scope())) o.trashDirs->push_back(b.path);
    }
    o.bus = bus_.get();
    cleanOp_ = std::make_shared<Operation>();
    cleanRunning_ = true;
    cleanThread_ = std::thread([this, o, op = cleanOp_] {
        // A store of its own: the loop keeps using the guard's.
        RegistryStore store(RegistryStore::DefaultPath());
        const wipe::CleanupSummary s = RunScheduledClean(*op, store, o);
        if (!s.started)
            Note(TextWith(TextId<1581>, s.notStartedReason));
        else
            Note(TextWith(s.aborted ? TextId<1582> : TextId<1583>) +
                 (s.shutdownProceeded ? TextWith(TextId<1584>, std::to_string(s.powerOffStatus))
                                      : std::string()));
        cleanRunning_ = false;
    });
}

void Guard::StopScheduledClean() {
    if (!cleanThread_.joinable()) return;
    if (cleanRunning_) Note(Str<1585>());
    if (cleanOp_) cleanOp_->Stop();
    cleanThread_.join();
}

// ---- auto-wiping ----

recyclebin::BinScope Guard::Scope() const {
    recyclebin::BinScope scope;
    scope.homeOnly = options_.homeTrashOnly;
    scope.volumesUnder = options_.volumesUnder;
    return scope;
}

void Guard::UpdateTrashWatch() {
    updatePending_ = false;
    if (!autoWipe_) {
        if (!watched_.empty()) Note(Str<1586>());
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
    const recyclebin::BinScope scope = Scope();
    const std::vector<std::string> volumes = recyclebin::TrashVolumes(scope);
    std::set<std::string> present;
    for (const auto& bin : recyclebin::CurrentBinFolders(scope)) {
        present.insert(bin.path);
        auto it = watched_.find(bin.path);
        // A trash folder removed and made again has a new inode, a volume mounted again
        // new watches: watch them afresh.
        if (it != watched_.end() &&
            (it->second.dead || InodeOf(bin.InfoFolder()) != it->second.infoInode)) {
            DropBin(bin.path);
            it = watched_.end();
        }
        if (it == watched_.end()) {
            WatchBin(bin, starting);
        } else {
            ScanBin(it->second, 0);  // catches what an overflowed event queue lost
        }
    }
    std::vector<std::string> gone;
    for (const auto& [path, w] : watched_)
        if (!present.count(path)) gone.push_back(path);
    for (const auto& path : gone) DropBin(path);
    UpdateStructureWatch(volumes);
    if (starting && !watched_.empty())
        Note(TextWith(TextId<1587>, std::to_string(watched_.size()),
                      std::to_string(passes_.load())));
}

void Guard::StopTrashWatch() {
    std::vector<std::string> all;
    for (const auto& [path, w] : watched_) all.push_back(path);
    for (const auto& path : all) DropBin(path);
    for (const auto& folder : std::set<std::string>(structure_)) RemoveWatch(folder);
    structure_.clear();
    scanPending_.clear();
    updatePending_ = false;
}

bool Guard::WatchBin(const recyclebin::BinFolder& bin, bool fresh) {
    if (!AddWatch(bin.InfoFolder(), kTrashEvents)) return false;
    if (!AddWatch(bin.FilesFolder(), kTrashEvents)) {
        RemoveWatch(bin.InfoFolder());
        return false;  // not there yet: its creation is watched for, and the tick retries
    }
    WatchedBin w;
    w.bin = bin;
    w.infoInode = InodeOf(bin.InfoFolder());
    auto& added = watched_[bin.path] = std::move(w);
    Note(TextWith(TextId<1588>, bin.path));
    if (logAutoWiping_) log::LogToFile(TextWith(TextId<1589>, bin.path), &log_);
    // Items already there when auto-wiping starts stay; a trash folder found later
    // (a volume's, made by its first trashing, or on a volume mounted since) may hold
    // arrivals from before its watch: those deleted since auto-wiping started are wiped.
    ScanBin(added, fresh ? UINT64_MAX : autoWipeSince_);
    return true;
}

void Guard::DropBin(const std::string& path) {
    auto it = watched_.find(path);
    if (it == watched_.end()) return;
    RemoveWatch(it->second.bin.InfoFolder());
    RemoveWatch(it->second.bin.FilesFolder());
    watched_.erase(it);
    scanPending_.erase(path);
    Note(TextWith(TextId<1590>, path));
    if (logAutoWiping_) log::LogToFile(TextWith(TextId<1591>, path), &log_);
}

void Guard::UpdateStructureWatch(const std::vector<std::string>& volumes) {
    std::set<std::string> want;
    const std::string uid = std::to_string(getuid());
    auto addIfFolder = [&want](const std::string& path) {
        if (IsRealFolder(path)) want.insert(path);
    };
    addIfFolder(recyclebin::HomeTrashPath());
    for (const auto& top : volumes) {
        const std::string base = top == "/" ? "" : top;
        want.insert(top);
        addIfFolder(base + "/.Trash");
        addIfFolder(base + "/.Trash/" + uid);
        addIfFolder(base + "/.Trash-" + uid);
    }
    for (const auto& folder : std::set<std::string>(structure_))
        if (!want.count(folder)) {
            RemoveWatch(folder);
            structure_.erase(folder);
        }
    for (const auto& folder : want) {
        if (structure_.count(folder)) continue;
        // A top folder this user may not read gets no watch: no trash folder of theirs
        // can appear there anyway, and it is looked at again at every tick.
        if (AddWatch(folder, kStructureEvents)) structure_.insert(folder);
    }
}

bool Guard::AddWatch(const std::string& folder, uint32_t mask) {
    if (wdOf_.count(folder)) return true;
    // IN_MASK_ADD: the same folder reached under two names keeps both masks.
    const int wd = inotify_add_watch(inotifyFd_, folder.c_str(),
                                     mask | IN_ONLYDIR | IN_DONT_FOLLOW | IN_MASK_ADD);
    if (wd < 0) return false;
    wdOf_[folder] = wd;
    foldersOf_[wd].insert(folder);
    return true;
}

void Guard::RemoveWatch(const std::string& folder) {
    auto it = wdOf_.find(folder);
    if (it == wdOf_.end()) return;
    const int wd = it->second;
    wdOf_.erase(it);
    auto f = foldersOf_.find(wd);
    if (f == foldersOf_.end()) return;
    f->second.erase(folder);
    if (f->second.empty()) {
        foldersOf_.erase(f);
        inotify_rm_watch(inotifyFd_, wd);  // fails harmlessly when the kernel dropped it
    }
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

int Guard::OnInotifyReadable(sd_event_source*, int fd, uint32_t, void* self) {
    auto* g = static_cast<Guard*>(self);
    alignas(inotify_event) char buf[16384];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            g->OnInotifyEvent(*e);
        }
    }
    return 0;
}

int Guard::OnMountsChanged(sd_event_source*, int, uint32_t, void* self) {
    static_cast<Guard*>(self)->ScheduleUpdate();
    return 0;
}

void Guard::OnInotifyEvent(const inotify_event& e) {
    if (e.mask & IN_Q_OVERFLOW) {
        // Events were lost: list every trash folder and look for new ones.
        for (const auto& [path, w] : watched_) scanPending_.insert(path);
        ScheduleUpdate();
        return;
    }
    auto f = foldersOf_.find(e.wd);
    if (f == foldersOf_.end()) return;
    if (e.mask & IN_IGNORED) {
        // The kernel dropped the watch (the folder went, its volume was unmounted):
        // whatever used it is set up again, or let go, at the update.
        for (const auto& folder : f->second) {
            wdOf_.erase(folder);
            structure_.erase(folder);
            for (auto& [path, w] : watched_)
                if (folder == w.bin.InfoFolder() || folder == w.bin.FilesFolder()) w.dead = true;
        }
        foldersOf_.erase(f);
        ScheduleUpdate();
        return;
    }
    const std::string_view name = e.len ? std::string_view(e.name) : std::string_view();
    for (const auto& folder : f->second) {
        if (structure_.count(folder) && (e.mask & kStructureEvents) && StructureName(name))
            ScheduleUpdate();
        for (const auto& [path, w] : watched_)
            if ((e.mask & kTrashEvents) &&
                (folder == w.bin.InfoFolder() || folder == w.bin.FilesFolder()))
                ScheduleScan(path);
    }
}

void Guard::ScheduleUpdate() {
    updatePending_ = true;
    ScheduleScan("");
}

void Guard::ScheduleScan(const std::string& binPath) {
    if (!binPath.empty()) scanPending_.insert(binPath);
    int enabled = SD_EVENT_OFF;
    sd_event_source_get_enabled(scanSource_, &enabled);
    if (enabled != SD_EVENT_OFF) return;
    sd_event_source_set_time(scanSource_, NowUsec(CLOCK_MONOTONIC) + kScanDelayUsec);
    sd_event_source_set_enabled(scanSource_, SD_EVENT_ONESHOT);
}

void Guard::RunScans() {
    // New folders first: their watch comes with a scan of its own.
    if (updatePending_ && !stopping_) UpdateTrashWatch();
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
        std::string logFolder, receiptsIn;
        {
            std::unique_lock lock(queueMu_);
            queueCv_.wait(lock, [this] { return workerQuit_ || !queue_.empty(); });
            if (workerQuit_) return;
            item = std::move(queue_.front());
            queue_.pop_front();
            if (logAutoWiping_) logFolder = logFolder_;
            if (writeReceipts_) receiptsIn = logFolder_;
        }
        workerLog.SetFolder(logFolder);
        Operation op(nullptr, logFolder.empty() ? nullptr : &workerLog);
        // As every run on the command line does: the log says what an overwrite on this
        // item's volume cannot reach (copy-on-write, flash, encryption...).
        if (op.Log() != nullptr)
            if (const std::string caveat = VolumeCaveatLine(item.physicalPath); !caveat.empty())
                log::LogToFile(caveat, op.Log());
        std::string receiptProblem;
        recyclebin::RunResult r = recyclebin::WipeItemsWithReceipt(
            op, {item}, passes_.load(), false, verifyLastPass_.load(), "auto-wipe", receiptsIn,
            &receiptProblem);
        if (!receiptProblem.empty()) Note(receiptProblem);
        if (r.succeeded > 0)
            Note(TextWith(TextId<1592>, item.physicalPath));
        else
            Note(r.objects.empty() || r.objects[0].message.empty()
                     ? TextWith(TextId<1593>, item.physicalPath)
                     : TextWith(TextId<1594>, item.physicalPath, r.objects[0].message));
        bus_->Broadcast(shell::Message::BinChangedMessage, 0);
    }
}

}  // namespace tw::guard
