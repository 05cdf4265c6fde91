// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/slack.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <vector>

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/passes.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "wipe/deep_clean.h"
#include "wipe/file_wiper.h"
#include "wipe/journal_text.h"
#include "wipe/receipt.h"
#include "wipe/time_estimate.h"

namespace tw::wipe {
namespace {

// Both progress bars of a clean-up run span this range.
constexpr int64_t kProgressRange = 372;

// Position on the 0..372 bars for `done` of `total` (total > 0), without overflow.
int64_t ProgressPos(uint64_t done, uint64_t total) {
    return static_cast<int64_t>(static_cast<double>(kProgressRange) * static_cast<double>(done) /
                                static_cast<double>(total));
}

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void StageAt(const SlackSafety& safety, std::string_view stage) {
    if (safety.stageHook && *safety.stageHook) (*safety.stageHook)(stage);
}

// Someone is waiting to open or truncate the file: the lease is being broken.
bool LeaseBroken(int fd, bool leased) { return leased && fcntl(fd, F_GETLEASE) != F_WRLCK; }

// ------------------------------------------------------------ journal records

constexpr std::string_view kJournalHead = "TWSL1\n";
constexpr std::string_view kJournalPrefix = "slack-";
constexpr size_t kMaxRecordBytes = 16 * 1024;

struct SlackRecord {
    uint64_t dev = 0, ino = 0, size = 0, end = 0;
    bool hasBirth = false;
    timespec birth{}, atime{}, mtime{};
    std::string path;
};

uint64_t Fnv64(std::string_view s) {
    uint64_t h = 1469598103934665603ull;
    for (char c : s) h = (h ^ static_cast<uint8_t>(c)) * 1099511628211ull;
    return h;
}

using journal::ParseNumber;
using journal::ParseTime;
using journal::ReadFields;
using journal::TimeText;

// "TWSL1\n" key=value lines, "path=<length>:<bytes>\n", then "sum=<FNV-1a of all
// before it>\n": a record cut short or mixed with an older one never parses.
std::string SerializeRecord(const SlackRecord& r) {
    std::string s(kJournalHead);
    s += "dev=" + std::to_string(r.dev) + "\nino=" + std::to_string(r.ino) + "\n";
    s += "birth=" + (r.hasBirth ? TimeText(r.birth) : std::string("-")) + "\n";
    s += "size=" + std::to_string(r.size) + "\nend=" + std::to_string(r.end) + "\n";
    s += "atime=" + TimeText(r.atime) + "\nmtime=" + TimeText(r.mtime) + "\n";
    s += "path=" + std::to_string(r.path.size()) + ":" + r.path + "\n";
    s += "sum=" + std::to_string(Fnv64(s)) + "\n";
    return s;
}

bool ParseRecord(std::string_view s, SlackRecord* r) {
    const size_t sumAt = s.rfind("sum=");
    if (s.substr(0, kJournalHead.size()) != kJournalHead || sumAt == std::string_view::npos ||
        s.back() != '\n')
        return false;
    uint64_t sum = 0;
    if (!ParseNumber(s.substr(sumAt + 4, s.size() - sumAt - 5), &sum) ||
        sum != Fnv64(s.substr(0, sumAt)))
        return false;
    int seen = 0;
    const bool read =
        ReadFields(s, kJournalHead.size(), sumAt, "path", &r->path,
                   [&](std::string_view key, std::string_view v) {
                       bool ok = false;
                       if (key == "dev")
                           ok = ParseNumber(v, &r->dev);
                       else if (key == "ino")
                           ok = ParseNumber(v, &r->ino);
                       else if (key == "size")
                           ok = ParseNumber(v, &r->size);
                       else if (key == "end")
                           ok = ParseNumber(v, &r->end);
                       else if (key == "atime")
                           ok = ParseTime(v, &r->atime);
                       else if (key == "mtime")
                           ok = ParseTime(v, &r->mtime);
                       else if (key == "birth")
                           ok = (r->hasBirth = v != "-") ? ParseTime(v, &r->birth) : true;
                       seen += ok;
                       return ok;
                   });
    return read && seen == 7 && !r->path.empty() && r->path[0] == '/';
}

bool BirthOf(int fd, timespec* out) {
    struct statx sx {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) != 0 || !(sx.stx_mask & STATX_BTIME))
        return false;
    *out =
        timespec{static_cast<time_t>(sx.stx_btime.tv_sec), static_cast<long>(sx.stx_btime.tv_nsec)};
    return true;
}

enum class ReplayResult { Restored, Left, Pending };

// Puts one recorded file back (see ReplaySlackJournals).
ReplayResult ReplayRecord(const SlackRecord& r) {
    const int fd = open(r.path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ELOOP || errno == ENOTDIR || errno == ENXIO
                   ? ReplayResult::Left
                   : ReplayResult::Pending;
    struct stat st {};
    timespec birth{};
    const bool hasBirth = BirthOf(fd, &birth);
    bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_ino == r.ino &&
                ((r.hasBirth && hasBirth) ? SameTime(birth, r.birth) : st.st_dev == r.dev);
    const uint64_t size = same ? static_cast<uint64_t>(st.st_size) : 0;
    same = same && (size == r.size || size == r.end);
    if (!same) {
        close(fd);
        return ReplayResult::Left;
    }
    bool leased = false;
    if (!HoldFileForSlack(fd, &leased)) {
        close(fd);
        return ReplayResult::Pending;
    }
    bool ok = true;
    if (size != r.size) ok = ftruncate(fd, static_cast<off_t>(r.size)) == 0;
    const timespec times[2] = {r.atime, r.mtime};
    ok = ok && futimens(fd, times) == 0 && fsync(fd) == 0;
    ReleaseSlackHold(fd, leased);
    close(fd);
    return ok ? ReplayResult::Restored : ReplayResult::Pending;
}

}  // namespace

// ---------------------------------------------------------------- journal

std::string SlackJournalFolder() { return RegistryStore::ConfigHome() + "/slack-journal"; }

bool CSlackJournal::Open(const std::string& folder) {
    Close();
    // The parents as well: a fresh config home may not exist yet.
    for (size_t i = 1; i <= folder.size(); ++i)
        if (i == folder.size() || folder[i] == '/') mkdir(folder.substr(0, i).c_str(), 0700);
    std::string path = platform::JoinPath(folder, std::string(kJournalPrefix) + "XXXXXX");
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) return false;
    const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && dirFd >= 0 && fsync(dirFd) == 0;
    if (dirFd >= 0) close(dirFd);
    if (!ok) {
        unlink(path.c_str());
        close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool CSlackJournal::Record(int fd, const struct stat& st, uint64_t extendedTo) {
    if (fd_ < 0) return false;
    SlackRecord r;
    r.dev = st.st_dev;
    r.ino = st.st_ino;
    r.hasBirth = BirthOf(fd, &r.birth);
    r.size = static_cast<uint64_t>(st.st_size);
    r.end = extendedTo;
    r.atime = st.st_atim;
    r.mtime = st.st_mtim;
    char link[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(self.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof link || link[0] != '/') return false;
    r.path.assign(link, static_cast<size_t>(n));
    const std::string text = SerializeRecord(r);
    return platform::PwriteAll(fd_, text.data(), text.size(), 0) &&
           ftruncate(fd_, static_cast<off_t>(text.size())) == 0 && fdatasync(fd_) == 0;
}

void CSlackJournal::Clear() {
    if (fd_ >= 0 && ftruncate(fd_, 0) != 0) {
        // A record that cannot be dropped is harmless: the replay finds the file back
        // at its length and only sets its own times again.
    }
}

void CSlackJournal::Close() {
    if (fd_ < 0) return;
    Clear();
    fdatasync(fd_);
    unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
    path_.clear();
}

namespace {

// Journals of this user in `folder` whose run has ended, each opened and locked; the
// caller closes them.
std::vector<std::pair<std::string, int>> EndedJournals(const std::string& folder) {
    std::vector<std::pair<std::string, int>> out;
    DIR* dir = opendir(folder.c_str());
    if (!dir) return out;
    while (dirent* e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, kJournalPrefix.size(), kJournalPrefix) != 0) continue;
        const std::string path = platform::JoinPath(folder, name);
        const int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
            flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);  // another user's file, or the journal of a run still going
            continue;
        }
        out.emplace_back(path, fd);
    }
    closedir(dir);
    std::sort(out.begin(), out.end());
    return out;
}

std::string ReadSmallFile(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > kMaxRecordBytes)
        return {};
    std::string text(static_cast<size_t>(st.st_size), '\0');
    if (pread(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return {};
    return text;
}

}  // namespace

SlackReplay ReplaySlackJournals(const std::string& folder) {
    SlackReplay out;
    for (auto& [path, fd] : EndedJournals(folder)) {
        SlackRecord r;
        const std::string text = ReadSmallFile(fd);
        ReplayResult result = ReplayResult::Left;
        if (!text.empty() && ParseRecord(text, &r)) {
            result = ReplayRecord(r);
            (result == ReplayResult::Restored ? out.restored
             : result == ReplayResult::Left   ? out.left
                                              : out.pending)
                .push_back(r.path);
        }
        // An empty or unreadable record: the run died before it was complete, that is
        // before the file was made longer. Nothing to put back.
        if (result != ReplayResult::Pending) {
            unlink(path.c_str());
            if (ftruncate(fd, 0) != 0) {
                // unlinked already; a replay that had it open sees nothing to do
            }
        }
        close(fd);
    }
    return out;
}

std::vector<std::string> PendingSlackJournals(const std::string& folder) {
    std::vector<std::string> out;
    for (auto& [path, fd] : EndedJournals(folder)) {
        SlackRecord r;
        if (ParseRecord(ReadSmallFile(fd), &r)) out.push_back(r.path);
        close(fd);
    }
    return out;
}

bool HoldFileForSlack(int fd, bool* leased, bool tryLease) {
    *leased = false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno != EINVAL) return false;
    // The kernel signals a lease holder when someone waits for the file; SIGURG does
    // nothing unless asked for, so the signal cannot end this process, and the passes
    // look at the lease instead (F_GETLEASE).
    if (!tryLease) return true;
    fcntl(fd, F_SETSIG, SIGURG);
    // EAGAIN/EBUSY: someone else has the file open. A reader that only looks (this
    // process's own counting walk, an indexer) closes it again at once: a few short
    // tries before the file counts as in use. Anything else: no leases here (file
    // system, another user's file without CAP_LEASE): the locks must do.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
            *leased = true;
            return true;
        }
        if (errno != EAGAIN && errno != EBUSY) return true;
        usleep(5000);
    }
    return false;
}

void ReleaseSlackHold(int fd, bool leased) {
    if (leased) fcntl(fd, F_SETLEASE, F_UNLCK);
}

std::optional<Error> HoldRefusal(int dirFd, const std::string& name, bool inUseToo) {
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = openat(dirFd, name.c_str(), O_RDONLY | kFlags);
    if (fd < 0 && errno == EACCES) fd = openat(dirFd, name.c_str(), O_WRONLY | kFlags);
    if (fd < 0) {
        if (errno == EACCES) return Error(ErrorCode::Denied, name).Says(TextId<1272>);
        return Error::FromErrno(errno, name).Says(TextId<1264>);  // cannot be opened
    }
    std::optional<Error> why;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK)) {
        why = Error(ErrorCode::Locked, name).Says(TextId<1273>);
    } else if (inUseToo) {
        fcntl(fd, F_SETSIG, SIGURG);
        if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0)
            fcntl(fd, F_SETLEASE, F_UNLCK);
        else if (errno == EAGAIN || errno == EBUSY)
            why = Error(ErrorCode::Locked, name).Says(TextId<1274>);
    }
    close(fd);  // the flock goes with it
    return why;
}

std::optional<Error> SlackRefusal(int dirFd, const std::string& name, bool hasSlack) {
    constexpr int kNoWritePermission = TextId<1275>;
    if (faccessat(dirFd, name.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == EACCES || errno == EPERM)
            return Error(ErrorCode::Denied, name).Says(kNoWritePermission);
        return Error::FromErrno(errno, name).Says(kNoWritePermission);
    }
    if (!hasSlack) return std::nullopt;
    return HoldRefusal(dirFd, name, true);
}

SlackGeometry ComputeSlack(uint64_t sizeBytes, uint32_t clusterSize) {
    SlackGeometry g;
    if (clusterSize == 0) return g;
    g.clusters = sizeBytes / clusterSize + (sizeBytes % clusterSize != 0 ? 1 : 0);
    g.allocatedBytes = g.clusters * clusterSize;
    g.slackBytes = g.allocatedBytes - sizeBytes;
    return g;
}

int SlackPassesWritten(int passCount) {
    const int n = std::max(1, passCount);
    return n + (n > 1 ? 1 : 0);
}

void AddToReceipt(const SlackLogRecord& rec, Receipt& receipt) {
    if (rec.noSlack) return;  // nothing of it was erased, nothing refused
    AddFileToReceipt(receipt, rec.path, rec.bytesWritten, rec.result, rec.readBack,
                     "in use, locked, or its slack could not be written");
}

std::vector<std::string> SlackPassPatterns(int passCount, bool randomMode) {
    const int n = std::max(1, passCount);
    std::vector<std::string> rows = PassPatterns(n - 1, randomMode);
    rows.resize(static_cast<size_t>(SlackPassesWritten(n)), "0x00");
    return rows;
}

bool WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int passCount,
                      bool randomMode, const OpContext* progress, FileTime stamp,
                      const SlackPassObserver* observer, const SlackSafety& safety,
                      SlackPassReport* report) {
    if (report) {
        report->bytesWritten = 0;
        report->readBackDone = false;
        report->readBackError.reset();
    }
    if (slackBytes == 0) return true;
    struct stat st {};
    if (fstat(fd, &st) != 0) return false;
    const timespec ownTime = st.st_mtim;
    const int n = std::max(1, passCount);
    // The file must still be as long as the caller says: a file that grew would be cut.
    if (static_cast<uint64_t>(st.st_size) != sizeBytes) return false;

    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(slackBytes));
    } catch (const std::bad_alloc&) {
        return false;
    }

    // What puts the file back is on the disk before the file is made longer.
    if (safety.journal && !safety.journal->Record(fd, st, sizeBytes + slackBytes)) return false;
    StageAt(safety, "recorded");

    // Reach the end of the last cluster; nothing has been written if this fails.
    if (ftruncate(fd, static_cast<off_t>(sizeBytes + slackBytes)) != 0) {
        if (safety.journal) safety.journal->Clear();
        return false;
    }
    fdatasync(fd);
    StageAt(safety, "extended");
    bool ok = true;

    const int total = SlackPassesWritten(n);
    if (progress) progress->SetRange(ProgressSink::Current, 0, total);
    for (int i = 0; i < total && ok; ++i) {
        if (LeaseBroken(fd, safety.leased)) {
            ok = false;  // someone waits for the file: it goes back at once
            if (safety.leaseBroken) *safety.leaseBroken = true;
            break;
        }
        // The last of the N passes and the extra one leave zeros behind, whatever the
        // mode: slack that reads as zeros looks like any freshly written file's.
        if (i >= n - 1)
            std::memset(buffer.data(), 0, buffer.size());
        else
            FillPassBuffer(buffer.data(), buffer.size(), i + 1, randomMode);
        if (progress) progress->Step(ProgressSink::Current, 1);
        size_t wrote = 0;
        ok = platform::PwriteAll(fd, buffer.data(), buffer.size(), static_cast<off_t>(sizeBytes),
                                 &wrote) &&
             fdatasync(fd) == 0;
        if (report) report->bytesWritten += wrote;
        if (ok && observer && *observer) (*observer)(i, buffer.data(), buffer.size());
        if (ok) StageAt(safety, "pass");
    }
    // The last pass read back while the slack is still part of the file: once the file
    // is cut, its slack can no longer be read through it. The read-back opens the file
    // anew, which a lease held by this very process would make wait; the journal, not
    // the lease, is what puts the file back after a crash.
    if (ok && report && report->readBack) {
        if (safety.leased) fcntl(fd, F_SETLEASE, F_UNLCK);
        report->readBackError =
            ReadBackMatches(fd, sizeBytes, slackBytes, buffer.data(), buffer.size(), 0);
        report->readBackDone = true;
        if (report->readBackError) ok = false;
    }

    // The file gets its own length back whatever happened to the passes, unless
    // something else changed its length meanwhile (only possible without a lease): then
    // cutting would cut that off too. Its time is not compared: some file systems
    // (FUSE ones) report a time of their own once their cache expires.
    struct stat now {};
    if (fstat(fd, &now) != 0) {
        // The record stays: a replay settles the file once it can be looked at.
        if (progress) progress->SetPos(ProgressSink::Current, 0);
        return false;
    }
    if (static_cast<uint64_t>(now.st_size) != sizeBytes + slackBytes) {
        if (safety.journal) safety.journal->Clear();
        if (progress) progress->SetPos(ProgressSink::Current, 0);
        return false;
    }
    if (ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) ok = false;
    fdatasync(fd);
    StageAt(safety, "cut");
    const timespec times[2] = {{0, UTIME_OMIT}, stamp != 0 ? TimespecFromFileTime(stamp) : ownTime};
    if (futimens(fd, times) != 0) ok = false;
    // The times are on the disk before the record that could put them back goes.
    fsync(fd);
    StageAt(safety, "restored");
    if (safety.journal) safety.journal->Clear();
    if (progress) progress->SetPos(ProgressSink::Current, 0);
    return ok;
}

CSlackWiper::CSlackWiper(RegistryStore* store)
    : productWord(Str<209>()),
      couldNotText(Str<254>()),
      wipedText(Str<253>()),
      wipedDirText(Str<256>()),
      wipingText(Str<351>()),
      overwritesWord(Str<170>()),
      overwriteWord(Str<171>()),
      store_(store) {
    SeedWipeRandom(static_cast<uint32_t>(time(nullptr)));
}

FileTime CSlackWiper::StampFor(const std::string& driveText, const struct stat& st) {
    if (!store_) return 0;
    if (!inWalk_ || !driveCached_ || cachedDrive_ != driveText) {
        cachedStamp_ = ReadDeepCleanStamp(*store_, driveText);
        cachedNotCleaned_ = ReadNotDeepCleaned(*store_, driveText);
        cachedDrive_ = driveText;
        driveCached_ = true;
    }
    FileFacts facts;
    facts.ino = st.st_ino;
    facts.nlink = st.st_nlink;
    facts.mtime = st.st_mtim;
    return CountsAsDeepCleaned(facts, cachedStamp_, cachedNotCleaned_) ? cachedStamp_ : 0;
}

uint32_t CSlackWiper::ClusterFor(int fd) const {
    if (clusterSize != 0) return clusterSize;
    struct statvfs sv {};
    if (fstatvfs(fd, &sv) != 0) return 0;
    unsigned long size = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    return size > (1u << 30) ? 0 : static_cast<uint32_t>(size);
}

std::string CSlackWiper::SlackLogLine(const SlackLogRecord& r, uint32_t cluster) const {
    std::string line;
    if (r.noSlack)
        line = TextWith(TextId<1316>, r.path);
    else
        line = (r.result ? wipedText : couldNotText) + ": " + r.path;
    if (r.compressed) line += S<1317>;
    line += TextWith(TextId<1318>, std::to_string(r.fileSize));
    line += TextWith(TextId<1319>, std::to_string(cluster));
    line += TextWith(TextId<1320>, std::to_string(r.clusters));
    if (!r.noSlack) line += TextWith(TextId<1321>, std::to_string(r.slackLength));
    return line;
}

void CSlackWiper::LogSlackResult(const SlackLogRecord& record) const {
    if (!logOn || !logWriter || !detailLog) return;
    log::LogToFile(SlackLogLine(record, clusterSize), logWriter);
}

bool CSlackWiper::WipeFileSlack(const std::string& folder, const std::string& name, uint64_t size,
                                bool randomMode, bool listItem, bool keepOwnTime,
                                const std::string& driveText, const OpContext* op) {
    int dirFd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool r = WipeAt(dirFd, folder, name, size, nullptr, false, randomMode, listItem, keepOwnTime,
                    driveText, op);
    if (dirFd >= 0) close(dirFd);
    return r;
}

bool CSlackWiper::WipeFileSlack(const WalkFile& file, bool randomMode, bool listItem,
                                bool keepOwnTime, const std::string& driveText,
                                const OpContext* op) {
    return WipeAt(file.dirFd, file.folder, file.name, file.facts.sizeBytes, &file.facts,
                  file.facts.compressed, randomMode, listItem, keepOwnTime, driveText, op);
}

bool CSlackWiper::WipeAt(int dirFd, const std::string& folder, const std::string& name,
                         uint64_t size, const FileFacts* expected, bool compressed, bool randomMode,
                         bool listItem, bool keepOwnTime, const std::string& driveText,
                         const OpContext* op) {
    SlackLogRecord rec;
    rec.path = JoinPath(folder, name);
    rec.compressed = compressed;
    rec.fileSize = size;

    // Write access, no link followed, no blocking on a FIFO put in the file's place;
    // then it must be the regular file we were given, and it must be ours alone while
    // it is longer than its own length (see HoldFileForSlack).
    int fd = dirFd >= 0 ? openat(dirFd, name.c_str(),
                                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                        : -1;
    struct stat st {};
    bool leased = false;
    if (fd >= 0) {
        bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    (!expected || (st.st_ino == expected->ino && st.st_dev == expected->dev));
        if (!same) {
            close(fd);
            fd = -1;
        }
    }

    uint32_t cluster = clusterSize;
    if (fd >= 0) {
        cluster = ClusterFor(fd);
        // A file with slack is held before its length is taken for good: the length
        // it has once no one else may change it. When someone opens it during the
        // passes (a reader that only looks, such as this run's own counting walk), the
        // file goes back at once and the wipe starts over once they had their turn.
        for (int attempt = 0;; ++attempt) {
            bool held = true;
            if (cluster != 0 &&
                ComputeSlack(static_cast<uint64_t>(st.st_size), cluster).slackBytes > 0)
                held = HoldFileForSlack(fd, &leased, useLease) && fstat(fd, &st) == 0;
            rec.fileSize = static_cast<uint64_t>(st.st_size);
            const SlackGeometry g = ComputeSlack(rec.fileSize, cluster);
            rec.clusters = g.clusters;
            rec.slackLength = g.slackBytes;

            const FileTime stamp = keepOwnTime ? 0 : StampFor(driveText, st);
            bool broken = false;
            if (cluster == 0 || !held) {
                rec.result = false;  // no geometry, or in use or locked: nothing written
            } else if (g.slackBytes == 0) {
                rec.noSlack = true;
                rec.result = true;
            } else if (!journal_.IsOpen() && !journal_.Open(journalFolder)) {
                rec.result = false;  // without a journal a death could leave the file longer
            } else {
                SlackSafety safety;
                safety.journal = &journal_;
                safety.leased = leased;
                safety.leaseBroken = &broken;
                safety.stageHook = &stageHook;
                SlackPassReport report;
                report.readBack = verifyLastPass;
                rec.result =
                    wipe::WriteSlackPasses(fd, g.slackBytes, rec.fileSize, passCount, randomMode,
                                           op, stamp, &passObserver, safety, &report);
                rec.bytesWritten += report.bytesWritten;
                rec.readBack = std::move(report.readBackError);
                rec.readBackDone = report.readBackDone;
                if (rec.readBack) rec.readBack->subject = rec.path;
            }
            if (!broken || attempt == 2 || fstat(fd, &st) != 0) break;
            ReleaseSlackHold(fd, leased);
            leased = false;
            usleep(5000);
        }
        ReleaseSlackHold(fd, leased);
        close(fd);
    } else {
        const SlackGeometry g = ComputeSlack(size, cluster);
        rec.clusters = g.clusters;
        rec.slackLength = g.slackBytes;
        rec.result = false;
    }

    if (rec.noSlack)
        ++filesNoSlack;
    else if (rec.result) {
        ++filesWiped;
        slackBytesWiped += rec.slackLength;
    } else
        ++filesFailed;
    if (rec.readBack) ++filesReadBackFailed;
    if (rec.readBackDone) ++filesReadBack;
    bytesWritten += rec.bytesWritten;
    lastRecord = rec;
    if (listItem && onListItem) onListItem(rec);
    if (onFileDone) onFileDone(rec);
    if (logOn && logWriter && detailLog) log::LogToFile(SlackLogLine(rec, cluster), logWriter);
    return rec.result;
}

Outcome CSlackWiper::WipeSlacks(const OpContext& op, const std::string& start,
                                const std::string& driveText, const CCountingWalk* counts) {
    filesWiped = filesNoSlack = filesFailed = slackBytesWiped = 0;
    bytesWritten = filesReadBack = filesReadBackFailed = 0;
    // Files a slack wipe that died left longer are put back before anything else.
    const SlackReplay replayed = ReplaySlackJournals(journalFolder);
    if (logOn && logWriter) {
        for (const std::string& p : replayed.restored)
            log::LogToFile(TextWith(TextId<1323>, p), logWriter);
        for (const std::string& p : replayed.left)
            log::LogToFile(TextWith(TextId<1324>, p), logWriter);
    }
    driveCached_ = false;
    inWalk_ = true;
    CTimeRemaining estimate(op);
    op.SetRange(ProgressSink::Overall, 0, kProgressRange);
    op.TimeText(estimate.Text());
    uint64_t done = 0;

    CDriveWalker walker;
    walker.onFile = [&](const WalkFile& f) {
        if (counts) {
            const uint64_t total = counts->Record().files.load();
            if (total > 0) {
                if (estimate.Update(std::min(done, total), total)) op.TimeText(estimate.Text());
                op.SetPos(ProgressSink::Overall, ProgressPos(std::min(done, total), total));
            }
        }
        op.Status(wipingText + " " + f.Path());
        WipeFileSlack(f, f.facts.compressed, false, false, driveText, &op);
        ++done;
    };
    walker.onFolderEnd = [&](int, const std::string& folder) {
        if (logOn && logWriter) log::LogToFile(wipedDirText + ": " + folder, logWriter);
    };
    Outcome r = walker.Walk(op, start);
    if (r == Outcome::Failed) walkError_ = walker.error();
    if (r == Outcome::Ok) op.SetPos(ProgressSink::Overall, kProgressRange);
    inWalk_ = false;
    journal_.Close();
    return r;
}

}  // namespace tw::wipe
