// SPDX-License-Identifier: GPL-3.0-or-later
#include "recyclebin/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

#include "platform/drives.h"
#include "platform/fileio.h"
#include "recyclebin/tree_ops.h"

namespace tw::recyclebin {
namespace {

constexpr const char kInfoSuffix[] = ".trashinfo";
constexpr size_t kInfoSuffixLen = sizeof(kInfoSuffix) - 1;

// A real folder (not a link) owned by `uid`.
bool IsOwnFolder(const std::string& path, uid_t uid) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
}

// Reads a regular file (links not followed) of at most `limit` bytes.
bool ReadSmallFile(const std::string& path, size_t limit, std::string* out) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > limit) {
        close(fd);
        return false;
    }
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || out->size() + static_cast<size_t>(n) > limit) {
            close(fd);
            return n == 0;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

}  // namespace

std::string RecycleBinItem::OriginalPath() const {
    return platform::JoinPath(originalFolder, displayName);
}

std::string ExtensionOf(const std::string& name) {
    auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return "";
    return name.substr(dot + 1);
}

std::string DataHome() {
    if (const char* x = getenv("XDG_DATA_HOME"); x && x[0] == '/') return x;
    std::string home = HomeFolder();
    if (!home.empty() && home.back() == '/') home.pop_back();
    return home + "/.local/share";
}

std::string HomeTrashPath() { return DataHome() + "/Trash"; }

bool IsSharedTrashUsable(const std::string& topdir) {
    struct stat st {};
    const std::string shared = (topdir == "/" ? "" : topdir) + "/.Trash";
    return lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX);
}

std::vector<BinFolder> VolumeBinFolders(const std::string& topdir, uid_t uid) {
    std::vector<BinFolder> out;
    const std::string base = topdir == "/" ? "" : topdir;
    const std::string uidText = std::to_string(uid);
    if (IsSharedTrashUsable(topdir)) {
        std::string p = base + "/.Trash/" + uidText;
        if (IsOwnFolder(p, uid)) out.push_back(BinFolder{p, topdir, false});
    }
    std::string alt = base + "/.Trash-" + uidText;
    if (IsOwnFolder(alt, uid)) out.push_back(BinFolder{alt, topdir, false});
    return out;
}

namespace {

bool AtOrBelow(const std::string& path, const std::string& folder) {
    std::string f = folder;
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    if (f == "/") return true;
    return path.compare(0, f.size(), f) == 0 && (path.size() == f.size() || path[f.size()] == '/');
}

}  // namespace

std::vector<std::string> TrashVolumes(const BinScope& scope) {
    std::vector<std::string> out;
    if (scope.homeOnly) return out;
    for (const auto& d : ListMounts()) {
        if (!IsLocal(d.type)) continue;
        if (!scope.volumesUnder.empty() &&
            std::none_of(scope.volumesUnder.begin(), scope.volumesUnder.end(),
                         [&](const std::string& f) { return AtOrBelow(d.mountPoint, f); }))
            continue;
        // A folder mounted over twice (or a bind mount of it) is one volume here.
        if (std::find(out.begin(), out.end(), d.mountPoint) == out.end())
            out.push_back(d.mountPoint);
    }
    return out;
}

std::vector<BinFolder> CurrentBinFolders(const BinScope& scope) {
    std::vector<BinFolder> out;
    std::set<std::pair<dev_t, ino_t>> seen;
    auto add = [&](BinFolder b) {
        struct stat st {};
        if (stat(b.path.c_str(), &st) == 0) {
            if (!seen.insert({st.st_dev, st.st_ino}).second) return;
        }
        out.push_back(std::move(b));
    };
    add(BinFolder{HomeTrashPath(), DataHome(), true});
    const uid_t uid = getuid();
    for (const auto& top : TrashVolumes(scope))
        for (auto& b : VolumeBinFolders(top, uid)) add(std::move(b));
    return out;
}

BinFolder BinFolderFor(const std::string& trashDir) {
    std::string p = trashDir;
    if (p.empty() || p[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd)) p = std::string(cwd) + "/" + p;
    }
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const std::string name = BaseName(p);
    const std::string parent = ParentOf(p);
    auto allDigits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (name.rfind(".Trash-", 0) == 0 && allDigits(name.substr(7)))
        return BinFolder{p, parent, false};
    if (allDigits(name) && BaseName(parent) == ".Trash")
        return BinFolder{p, ParentOf(parent), false};
    const std::string home = HomeTrashPath();
    char real[PATH_MAX], realHome[PATH_MAX];
    const bool isHome =
        p == home || (realpath(p.c_str(), real) && realpath(home.c_str(), realHome) &&
                      std::string(real) == realHome);
    return BinFolder{p, parent, isHome};
}

// ---------------------------------------------------------------- CEnumLock

CEnumLock::CEnumLock(std::string path) : path_(path.empty() ? DefaultPath() : std::move(path)) {}

CEnumLock::~CEnumLock() {
    Release();
    if (fd_ >= 0) close(fd_);
}

std::string CEnumLock::DefaultPath() {
    const uid_t uid = getuid();
    if (const char* r = getenv("XDG_RUNTIME_DIR"); r && r[0] == '/') {
        std::string folder = std::string(r) + "/tidewipe";
        mkdir(folder.c_str(), 0700);
        if (IsOwnFolder(folder, uid)) return folder + "/recyclebin.lock";
    }
    std::string folder = "/tmp/tidewipe-" + std::to_string(uid);
    mkdir(folder.c_str(), 0700);
    // A folder someone else made in /tmp could let them hold the lock for ever; then
    // the lock is taken in the user's own data folder instead.
    if (IsOwnFolder(folder, uid)) return folder + "/recyclebin.lock";
    return DataHome() + "/tidewipe-recyclebin.lock";
}

bool CEnumLock::Acquire(unsigned timeoutMs) {
    if (held_) return true;
    if (fd_ < 0) {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0) return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            held_ = true;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CEnumLock::Release() {
    if (held_ && fd_ >= 0) flock(fd_, LOCK_UN);
    held_ = false;
}

// ---------------------------------------------------------------- CBinWatcher

CBinWatcher::~CBinWatcher() { Stop(); }

bool CBinWatcher::Watch(const std::vector<BinFolder>& bins) {
    Stop();
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    constexpr uint32_t kInfoEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
    for (const auto& b : bins) {
        struct stat st {};
        // The index folder when it exists; else the trash directory, to see info/ appear.
        std::string target = b.InfoFolder();
        if (stat(target.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) target = b.path;
        int wd = inotify_add_watch(fd_, target.c_str(), kInfoEvents | IN_ONLYDIR | IN_DONT_FOLLOW);
        if (wd >= 0) watched_.push_back(Watched{wd, b.path});
    }
    if (watched_.empty()) Stop();
    return Active();
}

void CBinWatcher::Stop() {
    if (fd_ >= 0) close(fd_);  // closing the descriptor drops every watch
    fd_ = -1;
    watched_.clear();
}

std::vector<std::string> CBinWatcher::ReadChanges() {
    std::vector<std::string> changed;
    if (fd_ < 0) return changed;
    alignas(inotify_event) char buf[16384];
    for (;;) {
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            for (const auto& w : watched_)
                if (w.wd == ev->wd &&
                    std::find(changed.begin(), changed.end(), w.trashDir) == changed.end())
                    changed.push_back(w.trashDir);
        }
    }
    return changed;
}

// ---------------------------------------------------------------- CRecycleBinStore

CRecycleBinStore::CRecycleBinStore(std::string lockPath) : enumLock_(std::move(lockPath)) {}

void CRecycleBinStore::BuildBinFolders(const BinScope& scope) {
    binFolders = CurrentBinFolders(scope);
}

const BinFolder* CRecycleBinStore::FolderOf(const std::string& itemPath) const {
    for (const auto& b : binFolders)
        if (itemPath.size() > b.path.size() && itemPath.compare(0, b.path.size(), b.path) == 0 &&
            itemPath[b.path.size()] == '/')
            return &b;
    return nullptr;
}

namespace {

// The parts of an item its data gives: kind, size and last write time.
void DescribeData(RecycleBinItem& item, const struct stat& st) {
    item.isFolder = S_ISDIR(st.st_mode);
    item.size = item.isFolder ? TreeSize(item.physicalPath)
                              : (S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0);
    item.modified = FileTimeFromTimespec(st.st_mtim);
}

}  // namespace

void CRecycleBinStore::ListBinFolder(const BinFolder& bin, std::vector<RecycleBinItem>* out,
                                     int* skipped, std::vector<RecycleBinItem>* orphans) {
    const std::string infoDir = bin.InfoFolder();
    std::vector<std::string> names;
    if (DIR* dir = opendir(infoDir.c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string n = e->d_name;
            if (n.size() > kInfoSuffixLen &&
                n.compare(n.size() - kInfoSuffixLen, kInfoSuffixLen, kInfoSuffix) == 0)
                names.push_back(std::move(n));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());

    std::set<std::string> indexed;  // trash names with a readable index entry
    for (const auto& n : names) {
        RecycleBinItem item;
        item.trashName = n.substr(0, n.size() - kInfoSuffixLen);
        item.infoPath = platform::JoinPath(infoDir, n);
        item.physicalPath = platform::JoinPath(bin.FilesFolder(), item.trashName);
        item.binFolder = bin.path;

        std::string text;
        std::optional<TrashInfo> info;
        if (ReadSmallFile(item.infoPath, kMaxTrashInfoBytes, &text)) info = ParseTrashInfo(text);
        if (!info) {
            if (skipped) ++*skipped;
            continue;
        }
        indexed.insert(item.trashName);
        struct stat st {};
        // An index entry without its data has nothing to restore or wipe.
        if (lstat(item.physicalPath.c_str(), &st) != 0) continue;

        std::string original = info->path;
        if (original[0] != '/') {
            const std::string& base = bin.topdir;
            original = (base == "/" ? "" : base) + "/" + original;
        }
        item.displayName = BaseName(original);
        item.originalFolder = ParentOf(original);
        item.extension = ExtensionOf(item.displayName);
        DescribeData(item, st);
        if (info->date) {
            item.deletedText = DisplayDate(*info->date);
            item.deleted = DeletionDateToFileTime(*info->date);
        }
        out->push_back(std::move(item));
    }

    if (!orphans) return;
    std::vector<std::string> data;
    if (DIR* dir = opendir(bin.FilesFolder().c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && !indexed.count(n)) data.push_back(std::move(n));
        }
        closedir(dir);
    }
    std::sort(data.begin(), data.end());
    for (const auto& n : data) {
        RecycleBinItem item;
        item.trashName = n;
        item.displayName = n;
        item.infoPath = platform::JoinPath(infoDir, n) + kInfoSuffix;
        item.physicalPath = platform::JoinPath(bin.FilesFolder(), n);
        item.binFolder = bin.path;
        item.extension = ExtensionOf(n);
        item.noIndex = true;
        struct stat st {};
        if (lstat(item.physicalPath.c_str(), &st) != 0) continue;
        DescribeData(item, st);
        orphans->push_back(std::move(item));
    }
}

bool CRecycleBinStore::Refresh() {
    // A lock file that cannot be made at all (no writable runtime folder) must not make
    // the bin unlistable: then the listing goes ahead unserialised.
    if (!enumLock_.Acquire(kEnumTimeoutMs) && enumLock_.Usable()) return false;
    std::vector<RecycleBinItem> fresh, orphans;
    int skipped = 0;
    for (const auto& b : binFolders) ListBinFolder(b, &fresh, &skipped, &orphans);
    enumLock_.Release();

    std::set<std::string> selected;
    for (const auto& it : items_)
        if (it.selected) selected.insert(it.infoPath);
    for (auto& it : fresh) it.selected = selected.count(it.infoPath) != 0;
    items_ = std::move(fresh);
    orphans_ = std::move(orphans);
    skipped_ = skipped;
    return true;
}

bool CRecycleBinStore::NormaliseAttributes(const std::string& path) {
    for (const auto& b : binFolders) {
        if (b.path != path) continue;
        // The items in files/, each with everything below it; files/ itself is the
        // trash's own folder, not data.
        const std::string files = b.FilesFolder();
        bool found = false;
        if (DIR* dir = opendir(files.c_str())) {
            while (dirent* e = readdir(dir)) {
                const std::string n = e->d_name;
                if (n != "." && n != ".." &&
                    MakeTreeWritable(platform::JoinPath(files, n), nullptr))
                    found = true;
            }
            closedir(dir);
        }
        return found;
    }
    return MakeTreeWritable(path, nullptr);
}

bool CRecycleBinStore::RegisterChangeNotifications(bool on) {
    if (!on) {
        watcher_.Stop();
        return true;
    }
    if (watcher_.Active()) return true;
    return watcher_.Watch(binFolders);
}

}  // namespace tw::recyclebin
