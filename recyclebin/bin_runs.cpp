// SPDX-License-Identifier: GPL-3.0-or-later
#include "recyclebin/bin_runs.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/strings.h"
#include "platform/utf8.h"
#include "recyclebin/trashinfo.h"
#include "recyclebin/tree_ops.h"
#include "wipe/file_wiper.h"

namespace tw::recyclebin {
namespace {

constexpr size_t kShortNameChars = 30;
constexpr size_t kNameMax = 255;  // bytes in one file name on the file systems in use
constexpr int kMaxNameTries = 10000;

using platform::JoinPath;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> ListNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(std::move(n));
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The entry of `folder` whose inode number is `ino`, or "". Compared by lstat: FUSE
// file systems do not always give the real number in the listing.
std::string FindByInode(const std::string& folder, ino_t ino) {
    for (const auto& n : ListNames(folder)) {
        struct stat st {};
        const std::string p = JoinPath(folder, n);
        if (lstat(p.c_str(), &st) == 0 && st.st_ino == ino) return p;
    }
    return "";
}

void Record(const OpContext& op, RunResult& r, const RecycleBinItem& item, bool ok,
            std::string message) {
    ObjectOutcome o;
    o.name = item.displayName;
    o.originalPath = item.OriginalPath();
    o.isFolder = item.isFolder;
    o.ok = ok;
    o.message = std::move(message);
    r.objects.push_back(std::move(o));
    if (ok)
        ++r.succeeded;
    else
        ++r.failed;
    log::LogToFile(LogLine(r.mode, item.isFolder, ok, item.displayName), op.Log());
}

void Finish(const OpContext& op, RunResult& r) {
    r.summaryLine = SummaryLine(r.mode, r.counters);
    if (!r.summaryLine.empty()) {
        log::LogToFile(r.summaryLine, op.Log());
        op.Status(r.summaryLine);
    }
    r.endMessage = EndMessage(r.mode, r.succeeded);
}

constexpr int kTextDataGone = TextId<1230>;
constexpr int kTextMove = TextId<1239>;

// ---------------------------------------------------------------- restore

// Moves one item's data back. Empty string on success, else why not.
std::string RestoreOne(const RecycleBinItem& item, RunCounters& c) {
    const std::string target = item.OriginalPath();
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0) return CollisionMessage(item.displayName);
    if (lstat(item.physicalPath.c_str(), &st) != 0)
        return ErrorText(Error::FromErrno(item.displayName).Says(kTextDataGone));
    if (auto r = MakeFolders(item.originalFolder); !r) return ErrorText(r.error());

    int err = MoveNoReplace(item.physicalPath, target);
    if (err == EEXIST) return CollisionMessage(item.displayName);
    if (err == EXDEV) {
        // The trash is on another file system than the original folder (another
        // program put it there): copy, then take the data out of the trash.
        if (auto r = CopyTree(item.physicalPath, target); !r) {
            if (r.error().code == ErrorCode::Exists) return CollisionMessage(item.displayName);
            return ErrorText(r.error());
        }
        if (!RemoveTree(item.physicalPath))
            return ErrorText(Error::FromErrno(item.physicalPath).Says(TextId<1231>));
    } else if (err != 0) {
        return ErrorText(Error::FromErrno(err, item.physicalPath).With(target).Says(kTextMove));
    }
    unlink(item.infoPath.c_str());
    if (item.isFolder)
        ++c.folders;
    else
        ++c.files;
    c.bytes += item.size;
    return "";
}

// ---------------------------------------------------------------- wipe

// What the files of a wipe run wrote, and the first one that did not read back.
struct WipeTally {
    uint64_t bytes = 0;
    std::string mismatch;
};

struct Wiping {
    WipeTally* tally = nullptr;
    const OpContext& op;
    wipe::CRecycleFileWiper& wiper;  // the run's: its progress count goes on across items
    RunCounters& c;
    int passes;
    bool plain = false;      // the abort came: delete what is left without overwriting
    bool detail = false;     // a log line for each file wiped inside a folder object
    std::string folderTop;   // the folder object's data, where the walk starts
    std::string folderName;  // its display name, for those lines

    Wiping(const OpContext& o, wipe::CRecycleFileWiper& runWiper, RunCounters& counters, int n)
        : op(o), wiper(runWiper), c(counters), passes(n) {
        wiper.SetPassCount(n);
        wiper.progressTick = true;
    }

    // Overwrites and deletes one regular file. 1: wiped; 0: gone, not (fully) wiped;
    // -1: still there, not wiped.
    int WipeRegular(const std::string& path, uint64_t size) {
        if (!plain && op.Stopped()) plain = true;
        if (plain) return unlink(path.c_str()) == 0 ? 0 : -1;
        wipe::CDriveGeometry geo;
        geo.SetRoot(path);
        uint32_t cluster = geo.GetClusterSize();
        if (cluster == 0) cluster = 4096;
        const uint64_t chunks = (size + cluster - 1) / cluster * static_cast<uint64_t>(passes);
        op.SetRange(ProgressSink::Current, 0,
                    static_cast<int64_t>(std::max<uint64_t>(1, chunks / 8)));

        // The wiper first fills what a small file's record keeps of its data (copies
        // left there when the item was moved into the trash), then overwrites it.
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return -1;
        const ino_t ino = st.st_ino;
        const Result<void> done = wiper.WipeFile(op, path, false, cluster, true);
        const bool ok = done.ok();
        if (tally) {
            tally->bytes += wiper.LastBytesWritten();
            if (!ok && done.error().code == ErrorCode::Mismatch && tally->mismatch.empty())
                tally->mismatch = ErrorText(done.error());
        }
        if (ok && !wiper.WasAborted()) return 1;
        // The wiper renames before it overwrites: a file it did not get rid of may now
        // sit under a random name. Find it by its inode (the file still exists, so the
        // number cannot have been reused).
        std::string where = lstat(path.c_str(), &st) == 0 ? path : std::string();
        if (!ok && where.empty()) where = FindByInode(ParentOf(path), ino);
        if (wiper.WasAborted()) {
            plain = true;  // the rest goes without overwriting
            if (!where.empty()) unlink(where.c_str());
            return lstat(where.c_str(), &st) == 0 ? -1 : 0;
        }
        if (where.empty()) return 0;
        if (where != path) MoveNoReplace(where, path);  // give it its name back
        return -1;
    }

    // "Wiped file: <folder>/<path inside it> from the recycle bin" (or its failure).
    // The walk starts at folderTop, so every path below begins with it.
    void LogInside(const std::string& path, bool ok) {
        log::LogToFile(
            LogLine(RunMode::Wipe, false, ok, folderName + path.substr(folderTop.size())),
            op.Log());
    }

    // Wipes everything below `dir` and removes it. True when the folder is gone;
    // `allWiped` becomes false when anything was deleted without a full overwrite or
    // could not be wiped.
    bool WipeFolder(const std::string& dir, dev_t dev, bool& allWiped) {
        for (const auto& n : ListNames(dir)) {
            const std::string p = JoinPath(dir, n);
            struct stat st {};
            if (lstat(p.c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
                if (st.st_dev != dev) {  // never into another file system
                    allWiped = false;
                    continue;
                }
                const bool wasPlain = plain;
                if (WipeFolder(p, dev, allWiped) && !wasPlain && !plain) ++c.folders;
            } else if (S_ISREG(st.st_mode)) {
                int r = WipeRegular(p, static_cast<uint64_t>(st.st_size));
                if (r == 1)
                    ++c.files;
                else
                    allWiped = false;
                if (detail) LogInside(p, r == 1);
            } else if (unlink(p.c_str()) != 0) {  // links, FIFOs: no data of their own
                allWiped = false;
            }
        }
        return rmdir(dir.c_str()) == 0;
    }
};

// Wipes one item in place. "" on success, else why not. *abortedInside tells that the
// abort came in the middle of it (the run ends after it).
std::string WipeOne(const OpContext& op, wipe::CRecycleFileWiper& wiper, const RecycleBinItem& item,
                    int passes, bool detail, RunCounters& c, bool* abortedInside,
                    WipeTally& tally) {
    if (std::string why = WipeRefusal(item); !why.empty()) return why;
    struct stat st {};
    if (lstat(item.physicalPath.c_str(), &st) != 0)
        return ErrorText(Error::FromErrno(item.displayName).Says(kTextDataGone));

    MakeTreeWritable(item.physicalPath, nullptr);
    Wiping w(op, wiper, c, passes);
    w.tally = &tally;
    w.detail = detail && op.Log();
    w.folderTop = item.physicalPath;
    w.folderName = item.displayName;
    bool gone = false, wiped = false;
    if (S_ISDIR(st.st_mode)) {
        // Files wiped inside count even when the folder as a whole does not succeed:
        // they are gone for good.
        bool allWiped = true;
        gone = w.WipeFolder(item.physicalPath, st.st_dev, allWiped);
        wiped = gone && allWiped && !w.plain;
        if (wiped) ++c.folders;
    } else if (S_ISREG(st.st_mode)) {
        int r = w.WipeRegular(item.physicalPath, static_cast<uint64_t>(st.st_size));
        gone = r >= 0;
        wiped = r == 1;
        if (wiped) ++c.files;
    } else {
        // A trashed link or FIFO holds no data beyond its name: removing it is all.
        gone = wiped = unlink(item.physicalPath.c_str()) == 0;
        if (wiped) ++c.files;
    }
    *abortedInside = w.plain;
    // The index entry goes with the data, so the bin never lists an item that is gone,
    // and stays while any of it is left.
    if (gone) unlink(item.infoPath.c_str());
    if (wiped) {
        c.bytes += item.size;
        return "";
    }
    if (w.plain) return Str<1510>();
    return gone ? Str<1511>() : TextWith(TextId<1512>, item.physicalPath);
}

// The loop shared by restore and wipe. `one(item, counters, stop)` handles one object
// and gives "" on success or why it failed; it sets *stop to end the run after it.
template <typename Fn>
RunResult Run(const OpContext& op, RunMode mode, const std::vector<RecycleBinItem>& items, Fn one) {
    RunResult r;
    r.mode = mode;
    const int total = static_cast<int>(items.size());
    op.SetRange(ProgressSink::Overall, 0, std::max(1, total));
    op.SetPos(ProgressSink::Overall, 0);
    for (int i = 0; i < total; ++i) {
        if (!op.PauseCheck()) {
            r.aborted = true;
            break;
        }
        const RecycleBinItem& item = items[static_cast<size_t>(i)];
        op.Status(RunStatusText(mode, i + 1, total, item.displayName));
        if (op.Stopped()) {  // asked while the status was shown: this object is not begun
            r.aborted = true;
            break;
        }
        std::string why;
        bool stop = false;
        if (!IsWellFormedItem(item))
            why = TextWith(TextId<1513>, item.physicalPath);
        else
            why = one(item, r.counters, &stop);
        Record(op, r, item, why.empty(), why);
        op.SetPos(ProgressSink::Overall, i + 1);
        if (stop) {
            r.aborted = i + 1 < total || op.Stopped();
            break;
        }
    }
    Finish(op, r);
    return r;
}

// ---------------------------------------------------------------- send to the bin

struct Candidate {
    BinFolder bin;
    bool relative;  // Path= relative to bin.topdir
};

dev_t DeviceOfNearest(std::string path) {
    struct stat st {};
    while (!path.empty()) {
        if (stat(path.c_str(), &st) == 0) return st.st_dev;
        if (path == "/") break;
        path = ParentOf(path);
    }
    return static_cast<dev_t>(-1);
}

bool IsInside(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

std::string RealOrSelf(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// Creates a trash directory and its two folders for this user, mode 0700.
Result<void> PrepareTrashDir(const BinFolder& bin) {
    if (bin.isHome) {
        if (auto r = MakeFolders(ParentOf(bin.path)); !r) return r;
    }
    for (const std::string& d : {bin.path, bin.InfoFolder(), bin.FilesFolder()}) {
        if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST)
            return Error::FromErrno(d).Says(kCannotCreate);
        struct stat st {};
        // Never write through a link planted where a trash folder should be.
        if (lstat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (!bin.isHome && st.st_uid != getuid()))
            return Error(ErrorCode::NotFolder, d).Says(TextId<1232>);
    }
    return {};
}

Result<PutResult> PutInto(const Candidate& cand, const std::string& absolute) {
    const BinFolder& bin = cand.bin;
    // A trash directory itself, or a folder holding one, is never sent to the bin (a
    // copy across file systems would never end).
    const std::string realTrash = RealOrSelf(bin.path);
    if (IsInside(absolute, realTrash) || IsInside(realTrash, absolute))
        return Error(ErrorCode::Invalid, absolute).Says(TextId<1233>);

    std::string stored = absolute;
    if (cand.relative) {
        const std::string& top = bin.topdir;
        stored = top == "/" ? absolute.substr(1) : absolute.substr(top.size() + 1);
    }
    const std::string content = FormatTrashInfo(stored, time(nullptr));
    // The trash name is only an identifier (Path= keeps the real name): shorten it so
    // "<name>_<n>.trashinfo" always fits in one file name.
    const std::string base = platform::CutUtf8(BaseName(absolute), kNameMax - 10 - 8);

    for (int i = 0; i < kMaxNameTries; ++i) {
        const std::string name = i == 0 ? base : base + "_" + std::to_string(i);
        PutResult res;
        res.trashDir = bin.path;
        res.trashName = name;
        res.infoPath = JoinPath(bin.InfoFolder(), name) + ".trashinfo";
        res.dataPath = JoinPath(bin.FilesFolder(), name);
        res.storedPath = stored;

        int fd =
            open(res.infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return Error::FromErrno(res.infoPath).Says(kCannotCreate);
        }
        struct stat st {};
        if (lstat(res.dataPath.c_str(), &st) == 0) {  // data left without an index entry
            close(fd);
            unlink(res.infoPath.c_str());
            continue;
        }
        bool written = platform::WriteAll(fd, content);
        if (written && fsync(fd) != 0) written = false;
        Error writeError = Error::FromErrno(res.infoPath).Says(kCannotWrite);
        if (close(fd) != 0) written = false;
        if (!written) {
            unlink(res.infoPath.c_str());
            return writeError;
        }

        int err = MoveNoReplace(absolute, res.dataPath);
        if (err == 0) return res;
        if (err == EEXIST) {  // taken since the check: try the next name
            unlink(res.infoPath.c_str());
            continue;
        }
        if (err != EXDEV) {
            unlink(res.infoPath.c_str());
            return Error::FromErrno(err, absolute).With(res.dataPath).Says(kTextMove);
        }
        if (auto r = CopyTree(absolute, res.dataPath); !r) {
            unlink(res.infoPath.c_str());
            return r.error();
        }
        res.copied = true;
        // The copy is complete: from here the bin holds the data, so a failed removal
        // of the original leaves the item in the bin rather than losing anything.
        if (!RemoveTree(absolute)) return Error::FromErrno(absolute).Says(TextId<1234>);
        return res;
    }
    return Error(ErrorCode::Exists, bin.InfoFolder()).Says(TextId<1235>);
}

}  // namespace

// ---------------------------------------------------------------- texts

std::string ShortenName(const std::string& name) {
    size_t chars = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
        if (chars == kShortNameChars) return name.substr(0, i) + "...";
        ++chars;
    }
    return name;
}

std::string RunStatusText(RunMode mode, int number, int total, const std::string& name) {
    std::string s = mode == RunMode::Restore ? Str<1508>() : Str<1509>();
    return s + " " + std::to_string(number) + " " + Str<206>() + " " + std::to_string(total) + " " +
           ShortenName(name);
}

std::string SummaryLine(RunMode mode, const RunCounters& c) {
    if (c.files == 0 && c.folders == 0) return "";
    std::string s = mode == RunMode::Restore ? Str<362>() : Str<335>();
    auto fileWord = [&] { return c.files == 1 ? Str<284>() : Str<349>(); };
    auto folderWord = [&] { return c.folders == 1 ? Str<342>() : Str<343>(); };
    if (c.files != 0) {
        s += " " + std::to_string(c.files) + " " + fileWord();
        if (c.folders != 0)
            s += " " + Str<341>() + " " + std::to_string(c.folders) + " " + folderWord();
    } else {
        s += " " + std::to_string(c.folders) + " " + folderWord();
    }
    return s + " " + Str<339>();
}

std::string EndMessage(RunMode mode, int objects) {
    if (mode == RunMode::Restore) {
        if (objects == 0) return Str<529>();
        if (objects == 1) return Str<519>();
        return std::to_string(objects) + " " + Str<518>();
    }
    if (objects == 0) return Str<528>();
    if (objects == 1) return Str<525>();
    return std::to_string(objects) + " " + Str<524>();
}

std::string LogLine(RunMode mode, bool isFolder, bool ok, const std::string& name) {
    // [wipe][failed][folder]
    static constexpr int kLines[2][2][2] = {
        {{TextId<1500>, TextId<1501>}, {TextId<1502>, TextId<1503>}},
        {{TextId<1504>, TextId<1505>}, {TextId<1506>, TextId<1507>}}};
    return TextWith(kLines[mode == RunMode::Restore ? 0 : 1][ok ? 0 : 1][isFolder ? 1 : 0], name);
}

std::string CollisionMessage(const std::string& name) {
    return Str<420>() + " " + name + " " + Str<421>() + " " + Str<422>();
}

bool IsWellFormedItem(const RecycleBinItem& item) {
    if (item.trashName.empty() || item.trashName == "." || item.trashName == ".." ||
        item.trashName.find('/') != std::string::npos || item.binFolder.empty() ||
        item.displayName.empty())
        return false;
    return item.physicalPath == item.binFolder + "/files/" + item.trashName &&
           item.infoPath == item.binFolder + "/info/" + item.trashName + ".trashinfo";
}

std::string WipeRefusal(const RecycleBinItem& item) {
    if (!IsWellFormedItem(item)) return TextWith(TextId<1513>, item.physicalPath);
    struct stat st {};
    if (lstat(item.physicalPath.c_str(), &st) != 0)
        return ErrorText(Error::FromErrno(item.displayName).Says(kTextDataGone));
    const std::string shared = FindSharedInode(item.physicalPath);
    if (!shared.empty()) return TextWith(TextId<1514>, shared);
    return "";
}

// ---------------------------------------------------------------- runs

RunResult RestoreItems(const OpContext& op, const std::vector<RecycleBinItem>& items) {
    return Run(op, RunMode::Restore, items, [](const RecycleBinItem& item, RunCounters& c, bool*) {
        return RestoreOne(item, c);
    });
}

RunResult WipeItems(const OpContext& op, const std::vector<RecycleBinItem>& items, int passes,
                    bool detailLines, bool verifyLastPass) {
    wipe::CRecycleFileWiper wiper;
    wiper.verifyLastPass = verifyLastPass;
    WipeTally tally;
    RunResult r = Run(op, RunMode::Wipe, items,
                      [&op, &wiper, &tally, passes, detailLines](const RecycleBinItem& item,
                                                                 RunCounters& c, bool* stop) {
                          return WipeOne(op, wiper, item, passes, detailLines, c, stop, tally);
                      });
    r.bytesWritten = tally.bytes;
    r.verifyFailure = tally.mismatch;
    return r;
}

RunResult WipeItemsWithReceipt(const OpContext& op, const std::vector<RecycleBinItem>& items,
                               int passes, bool detailLines, bool verifyLastPass,
                               const std::string& command, const std::string& logFolder,
                               std::string* receiptProblem) {
    wipe::Receipt receipt =
        wipe::StartReceipt(command, items.empty() ? std::string() : items.front().physicalPath);
    receipt.targetPath = "trash";
    receipt.passes = passes;
    receipt.verifyRequested = verifyLastPass;
    RunResult r = WipeItems(op, items, passes, detailLines, verifyLastPass);
    if (logFolder.empty() || r.objects.empty()) return r;
    AddToReceipt(r, receipt);
    const std::string problem = wipe::KeepReceipt(receipt, logFolder);
    if (!problem.empty() && receiptProblem) *receiptProblem = problem;
    return r;
}

void AddToReceipt(const RunResult& r, wipe::Receipt& receipt) {
    for (const ObjectOutcome& o : r.objects)
        receipt.items.push_back({o.originalPath.empty() ? o.name : o.originalPath, 0, o.ok,
                                 o.ok ? std::string() : o.message});
    receipt.bytesOverwritten += r.bytesWritten;
    if (!r.verifyFailure.empty()) wipe::NoteReadBackFailure(receipt, r.verifyFailure);
    wipe::ConcludeReadBack(receipt, r.succeeded > 0);
    if (r.aborted)
        receipt.outcome = "stopped";
    else if (r.failed > 0 && receipt.outcome == "completed")
        receipt.outcome = "failed";
}

EmptyResult EmptyBin(const OpContext& op, const std::vector<BinFolder>& bins) {
    EmptyResult r;
    for (const auto& b : bins) {
        struct stat st {};
        if (lstat(b.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        for (const auto& n : ListNames(b.FilesFolder())) {
            if (op.Stopped()) {
                r.aborted = true;
                break;
            }
            if (RemoveTree(JoinPath(b.FilesFolder(), n)))
                ++r.removed;
            else
                ++r.failed;
        }
        if (r.aborted) break;
        // Index entries go after the data, and only where the data is gone: data that
        // could not be removed stays listed instead of becoming invisible.
        for (const auto& n : ListNames(b.InfoFolder())) {
            if (!EndsWith(n, ".trashinfo")) continue;
            struct stat data {};
            const std::string name = n.substr(0, n.size() - 10);
            if (lstat(JoinPath(b.FilesFolder(), name).c_str(), &data) != 0)
                unlink(JoinPath(b.InfoFolder(), n).c_str());
        }
        unlink((b.path + "/directorysizes").c_str());
    }
    op.Status(S<338>);
    log::LogToFile(S<338>, op.Log());
    return r;
}

Result<PutResult> SendToBin(const std::string& pathIn) {
    std::string path = pathIn;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string base = BaseName(path);
    if (path.empty() || path == "/" || base.empty() || base == "." || base == "..")
        return Error(ErrorCode::Invalid, pathIn).Says(TextId<1236>);

    // The original location as the index records it: the real parent folder (links in
    // the folder part resolved) and the item's own name (never resolved).
    std::string parent = path.find('/') == std::string::npos ? "." : ParentOf(path);
    char buf[PATH_MAX];
    if (!realpath(parent.c_str(), buf)) return Error::FromErrno(parent).Says(kCannotResolve);
    const std::string realParent = buf;
    const std::string absolute = JoinPath(realParent, base);
    struct stat st {};
    if (lstat(absolute.c_str(), &st) != 0) return Error::FromErrno(absolute).Says(kCannotExamine);

    std::vector<Candidate> candidates;
    const std::string homeTrash = HomeTrashPath();
    if (DeviceOfNearest(homeTrash) == st.st_dev) {
        candidates.push_back({BinFolder{homeTrash, DataHome(), true}, false});
    } else {
        auto mount = MountOf(realParent);
        struct stat top {};
        if (!mount || stat(mount->mountPoint.c_str(), &top) != 0 || top.st_dev != st.st_dev)
            return Error(ErrorCode::OnAnotherMount, absolute).Says(TextId<1237>);
        const std::string& topdir = mount->mountPoint;
        const std::string baseDir = topdir == "/" ? "" : topdir;
        const std::string uidText = std::to_string(getuid());
        if (IsSharedTrashUsable(topdir))
            candidates.push_back({BinFolder{baseDir + "/.Trash/" + uidText, topdir, false}, true});
        candidates.push_back({BinFolder{baseDir + "/.Trash-" + uidText, topdir, false}, true});
    }
    // The first trash directory that can be prepared takes the item; a failed move of
    // the item itself would fail the same way in the next one.
    Error last = Error(ErrorCode::NotFound, absolute).Says(TextId<1238>);
    for (const auto& c : candidates) {
        if (auto r = PrepareTrashDir(c.bin); !r) {
            last = r.error();
            continue;
        }
        return PutInto(c, absolute);
    }
    return last;
}

}  // namespace tw::recyclebin
