// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/deep_clean.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/format.h"
#include "platform/settings.h"
#include "platform/strings.h"
#include "wipe/file_wiper.h"
#include "wipe/journal_text.h"
#include "wipe/plans.h"
#include "wipe/receipt.h"
#include "wipe/slack.h"
#include "wipe/time_estimate.h"

namespace tw::wipe {
namespace {

constexpr int64_t kProgressRange = 372;

// Position on the 0..372 bars for `done` of `total` (total > 0), without overflow.
int64_t ProgressPos(uint64_t done, uint64_t total) {
    return static_cast<int64_t>(static_cast<double>(kProgressRange) * static_cast<double>(done) /
                                static_cast<double>(total));
}
constexpr size_t kCopyChunk = 1 << 20;
constexpr size_t kMaxJournalBytes = 64 * 1024;
constexpr const char* kStampLo = "lastDeepCleanLo";
constexpr const char* kStampHi = "lastDeepCleanHi";
constexpr const char* kNotCleaned = "notCleaned";

// ------------------------------------------------------------ small I/O helpers

// Reads up to `length` bytes at `offset`; the count read, -1 on error.
ssize_t ReadFull(int fd, char* data, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

using platform::UniqueFd;

// Facts of an entry without following links, with the birth time when the file system
// keeps one.
struct EntryFacts {
    bool exists = false;
    bool regular = false;
    ino_t ino = 0;
    uid_t uid = 0;
    uint64_t size = 0;
    bool hasBirth = false;
    timespec birth{};
};

EntryFacts Examine(int dirFd, const char* name) {
    EntryFacts e;
    struct statx sx {};
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0)
        return e;
    e.exists = true;
    e.regular = S_ISREG(sx.stx_mode);
    e.ino = static_cast<ino_t>(sx.stx_ino);
    e.uid = sx.stx_uid;
    e.size = sx.stx_size;
    e.hasBirth = (sx.stx_mask & STATX_BTIME) != 0;
    e.birth =
        timespec{static_cast<time_t>(sx.stx_btime.tv_sec), static_cast<long>(sx.stx_btime.tv_nsec)};
    return e;
}

bool SameContent(int dirFd, const std::string& a, const std::string& b) {
    UniqueFd fa(openat(dirFd, a.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    UniqueFd fb(openat(dirFd, b.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fa.ok() || !fb.ok()) return false;
    std::vector<char> ba(kCopyChunk), bb(kCopyChunk);
    for (uint64_t at = 0;; at += kCopyChunk) {
        ssize_t na = ReadFull(fa.get(), ba.data(), kCopyChunk, at);
        ssize_t nb = ReadFull(fb.get(), bb.data(), kCopyChunk, at);
        if (na < 0 || nb < 0 || na != nb) return false;
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) return false;
        if (static_cast<size_t>(na) < kCopyChunk) return true;
    }
}

std::string ShortPath(const std::string& path) {
    if (path.size() <= 30) return path;
    return "..." + path.substr(path.size() - 27);
}

// ------------------------------------------------------------ the journal

// Beside each copy while it exists: whose copy it is and how far the clean got.
//   "TWDC1\n" "state=<w|c>\n" then "key=value\n" lines, ending with
//   "name=<length>:<the original name's bytes>\n" (names may hold any byte but "/").
// State 'w': the copy is being written, the original is untouched. State 'c': the copy
// is complete and flushed; the original may be partly or wholly wiped.
struct Journal {
    char state = 'w';
    uint64_t copyIno = 0;
    uint64_t ino = 0;
    uint32_t uid = 0;
    bool hasBirth = false;
    timespec birth{};
    uint64_t size = 0;
    timespec atime{}, mtime{};
    std::string name;
};
constexpr size_t kStateOffset = 12;  // "TWDC1\nstate=" is 12 bytes

using journal::ParseNumber;
using journal::ParseTime;
using journal::ReadFields;
using journal::TimeText;

std::string SerializeJournal(const Journal& j) {
    std::string s = "TWDC1\nstate=";
    s += j.state;
    s += "\ncopy-ino=" + std::to_string(j.copyIno) + "\n";
    s += "ino=" + std::to_string(j.ino) + "\n";
    s += "uid=" + std::to_string(j.uid) + "\n";
    s += "birth=" + (j.hasBirth ? TimeText(j.birth) : std::string("-")) + "\n";
    s += "size=" + std::to_string(j.size) + "\n";
    s += "atime=" + TimeText(j.atime) + "\n";
    s += "mtime=" + TimeText(j.mtime) + "\n";
    s += "name=" + std::to_string(j.name.size()) + ":" + j.name + "\n";
    return s;
}

bool ParseJournal(std::string_view s, Journal* j) {
    constexpr std::string_view kHead = "TWDC1\nstate=";
    if (s.substr(0, kHead.size()) != kHead || s.size() < kHead.size() + 2) return false;
    j->state = s[kHead.size()];
    if ((j->state != 'w' && j->state != 'c') || s[kHead.size() + 1] != '\n') return false;
    bool haveCopyIno = false, haveIno = false, haveUid = false, haveSize = false, haveA = false,
         haveM = false, haveBirth = false;
    const bool read = ReadFields(s, kHead.size() + 2, s.size(), "name", &j->name,
                                 [&](std::string_view key, std::string_view value) {
                                     if (key == "copy-ino")
                                         return haveCopyIno = ParseNumber(value, &j->copyIno);
                                     if (key == "ino") return haveIno = ParseNumber(value, &j->ino);
                                     if (key == "uid") return haveUid = ParseNumber(value, &j->uid);
                                     if (key == "size")
                                         return haveSize = ParseNumber(value, &j->size);
                                     if (key == "atime") return haveA = ParseTime(value, &j->atime);
                                     if (key == "mtime") return haveM = ParseTime(value, &j->mtime);
                                     if (key == "birth") {
                                         j->hasBirth = value != "-";
                                         return haveBirth =
                                                    !j->hasBirth || ParseTime(value, &j->birth);
                                     }
                                     return false;
                                 });
    // A plain name in this folder, nothing else.
    if (!read || j->name.empty() || j->name == "." || j->name == ".." ||
        j->name.find('/') != std::string::npos || j->name.find('\0') != std::string::npos)
        return false;
    return haveCopyIno && haveIno && haveUid && haveSize && haveA && haveM && haveBirth;
}

bool WriteJournal(int dirFd, const std::string& name, const Journal& j) {
    UniqueFd fd(
        openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.ok()) return false;
    const std::string text = SerializeJournal(j);
    if (!platform::PwriteAll(fd.get(), text.data(), text.size(), 0) || fsync(fd.get()) != 0) {
        fd.Reset();
        unlinkat(dirFd, name.c_str(), 0);
        return false;
    }
    return fsync(dirFd) == 0;
}

bool MarkJournalComplete(int dirFd, const std::string& name) {
    UniqueFd fd(openat(dirFd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) return false;
    const char c = 'c';
    return platform::PwriteAll(fd.get(), &c, 1, kStateOffset) && fdatasync(fd.get()) == 0;
}

enum class JournalRead {
    Ok,
    Damaged,  // this user's journal, but empty or cut short
    Foreign,  // not a journal this user wrote, or unreadable: never acted upon
};

JournalRead ReadJournal(int dirFd, const std::string& name, Journal* j) {
    UniqueFd fd(openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.ok()) return JournalRead::Foreign;
    struct stat st {};
    // Only a journal this user wrote is trusted: another user's file of that name must
    // not make us rename or remove anything.
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        static_cast<uint64_t>(st.st_size) > kMaxJournalBytes)
        return JournalRead::Foreign;
    std::string text(static_cast<size_t>(st.st_size), '\0');
    if (ReadFull(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        return JournalRead::Foreign;
    if (ParseJournal(text, j)) return JournalRead::Ok;
    // What a journal cut short by the process's death looks like: a prefix of one.
    Journal probe;
    probe.name = "x";
    const std::string head = SerializeJournal(probe).substr(0, 6);
    return text.compare(0, std::min(text.size(), head.size()), head, 0,
                        std::min(text.size(), head.size())) == 0
               ? JournalRead::Damaged
               : JournalRead::Foreign;
}

// "<digits>vr3swt4sd456.rj3.origin" -> "<digits>vr3swt4sd456.rj3"; "" for other names.
std::string CopyNameOfJournal(std::string_view name) {
    const size_t tail = kCopySuffix.size() + kJournalSuffix.size();
    if (name.size() <= tail) return {};
    std::string_view digits = name.substr(0, name.size() - tail);
    if (name.substr(digits.size(), kCopySuffix.size()) != kCopySuffix ||
        name.substr(name.size() - kJournalSuffix.size()) != kJournalSuffix)
        return {};
    for (char c : digits)
        if (c < '0' || c > '9') return {};
    return std::string(name.substr(0, name.size() - kJournalSuffix.size()));
}

// ------------------------------------------------------------ settling a copy

enum class Settled {
    OriginalKept,  // the original is intact: the copy was removed
    CopyPlaced,    // the copy now holds the original's name
    CopyKept,      // another file holds the name: the copy stays under its own name
    Failed,        // nothing could be done now (the journal stays for the next run)
};

// Puts a complete copy where it belongs (see the header's recovery rules).
Settled SettleCopy(int dirFd, const std::string& copyName, const Journal& j) {
    const EntryFacts copy = Examine(dirFd, copyName.c_str());
    if (!copy.exists || !copy.regular || copy.ino != j.copyIno || copy.size != j.size)
        return Settled::Failed;
    const EntryFacts orig = Examine(dirFd, j.name.c_str());
    if (!orig.exists) {
        if (!platform::RenameNoReplace(dirFd, copyName, dirFd, j.name)) return Settled::Failed;
        fsync(dirFd);
        return Settled::CopyPlaced;
    }
    // The name still holds the original file (same inode, and the same birth time
    // where the file system keeps one: an inode number alone may have been reused).
    const bool isOriginal =
        orig.regular && orig.ino == j.ino && orig.uid == j.uid &&
        (!j.hasBirth || !orig.hasBirth ||
         (orig.birth.tv_sec == j.birth.tv_sec && orig.birth.tv_nsec == j.birth.tv_nsec));
    if (!isOriginal) return Settled::CopyKept;
    if (orig.size == j.size && SameContent(dirFd, j.name, copyName)) {
        if (unlinkat(dirFd, copyName.c_str(), 0) != 0) return Settled::Failed;
        fsync(dirFd);
        return Settled::OriginalKept;
    }
    // The original was (partly) overwritten: the complete copy replaces it.
    if (renameat(dirFd, copyName.c_str(), dirFd, j.name.c_str()) != 0) return Settled::Failed;
    fsync(dirFd);
    return Settled::CopyPlaced;
}

// ------------------------------------------------------------ copying

// Copies every extended attribute. An attribute that cannot be set fails the copy,
// except the security label, which the new file receives from the policy.
bool CopyXattrs(int src, int dst) {
    ssize_t len = flistxattr(src, nullptr, 0);
    if (len < 0) return errno == ENOTSUP || errno == ENOSYS;
    if (len == 0) return true;
    std::vector<char> names(static_cast<size_t>(len));
    len = flistxattr(src, names.data(), names.size());
    if (len < 0) return false;
    for (size_t at = 0; at < static_cast<size_t>(len);) {
        const char* name = names.data() + at;
        at += std::strlen(name) + 1;
        ssize_t vlen = fgetxattr(src, name, nullptr, 0);
        if (vlen < 0) return false;
        std::vector<char> value(static_cast<size_t>(vlen) + 1);
        vlen = fgetxattr(src, name, value.data(), value.size());
        if (vlen < 0) return false;
        if (fsetxattr(dst, name, value.data(), static_cast<size_t>(vlen), 0) != 0 &&
            std::strcmp(name, "security.selinux") != 0)
            return false;
    }
    return true;
}

// Gives an unnamed (O_TMPFILE) file its name; never replaces an existing one.
bool LinkUnnamed(int fd, int dirFd, const std::string& name) {
    if (linkat(fd, "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

// ---------------------------------------------------------------- stamp

std::string DeepCleanKey(const std::string& driveText) { return ProgramKey() + "\\dc" + driveText; }

FileTime ReadDeepCleanStamp(RegistryStore& store, const std::string& driveText) {
    uint32_t lo = 0, hi = 0;
    const std::string key = DeepCleanKey(driveText);
    if (!store.ReadDword(key, kStampLo, &lo) || !store.ReadDword(key, kStampHi, &hi)) return 0;
    return (static_cast<FileTime>(hi) << 32) | lo;
}

bool WriteDeepCleanStamp(RegistryStore& store, const std::string& driveText, FileTime stamp) {
    const std::string key = DeepCleanKey(driveText);
    bool ok = store.WriteDword(key, kStampLo, static_cast<uint32_t>(stamp & 0xFFFFFFFFu));
    ok = store.WriteDword(key, kStampHi, static_cast<uint32_t>(stamp >> 32)) && ok;
    return ok;
}

bool ClearDeepCleanStamp(RegistryStore& store, const std::string& driveText) {
    const std::string key = DeepCleanKey(driveText);
    bool ok = store.DeleteValue(key, kStampLo);
    ok = store.DeleteValue(key, kStampHi) && ok;
    store.DeleteValue(key, kNotCleaned);  // usually not there
    return ok;
}

std::set<uint64_t> ReadNotDeepCleaned(RegistryStore& store, const std::string& driveText) {
    std::set<uint64_t> out;
    std::string text;
    if (!store.ReadString(DeepCleanKey(driveText), kNotCleaned, &text)) return out;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find(' ', pos);
        if (end == std::string::npos) end = text.size();
        uint64_t ino = 0;
        if (ParseNumber(std::string_view(text).substr(pos, end - pos), &ino)) out.insert(ino);
        pos = end + 1;
    }
    return out;
}

bool WriteNotDeepCleaned(RegistryStore& store, const std::string& driveText,
                         const std::set<uint64_t>& inodes) {
    const std::string key = DeepCleanKey(driveText);
    if (inodes.empty()) {
        std::string old;
        return !store.ReadString(key, kNotCleaned, &old) || store.DeleteValue(key, kNotCleaned);
    }
    std::string text;
    for (uint64_t ino : inodes) text += (text.empty() ? "" : " ") + std::to_string(ino);
    return store.WriteString(key, kNotCleaned, text);
}

bool CountsAsDeepCleaned(const FileFacts& facts, FileTime stamp,
                         const std::set<uint64_t>& notCleaned) {
    return CleanedSince(facts, stamp) && facts.nlink <= 1 && notCleaned.count(facts.ino) == 0;
}

std::optional<Error> DeepCleanRefusal(const WalkFile& file) {
    const char* name = file.name.c_str();
    if (faccessat(file.dirFd, name, R_OK | W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0)
        return Error(ErrorCode::Denied, file.name).Says(TextId<1276>);
    if (faccessat(file.dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return Error(ErrorCode::Denied, file.name).Says(TextId<1277>);
    if (geteuid() != 0 && file.facts.uid != geteuid())
        return Error(ErrorCode::Denied, file.name).Says(TextId<1278>);
    return HoldRefusal(file.dirFd, file.name, false);
}

// ---------------------------------------------------------------- cleaner

CDeepCleaner::CDeepCleaner(RegistryStore& store)
    : couldNotText(Str<252>()),
      deepCleaningText(Str<251>()),
      dirDoneText(Str<202>()),
      underneathText(Str<418>()),
      defragText(Str<517>()),
      ofWord(Str<206>()),
      overwriteWord(Str<171>()),
      overwritesWord(Str<170>()),
      productWord(Str<209>()),
      slackJournalFolder(SlackJournalFolder()),
      store_(store),
      wiper_(std::make_unique<CProgressFileWiper>()) {}

CDeepCleaner::~CDeepCleaner() = default;

void CDeepCleaner::NoteNotCleaned(int dirFd, const std::string& name) {
    struct stat st {};
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
        notCleaned_.insert(st.st_ino);
}

void CDeepCleaner::LogFileLine(bool cleaned, const WalkFile& file,
                               const std::string& copyPath) const {
    if (!logOn || !logWriter || !detailLog) return;
    std::string line = (cleaned ? deepCleaningText : couldNotText) + ": " + file.Path();
    if (file.facts.compressed) line += S<1317>;
    line += TextWith(TextId<1318>, std::to_string(file.facts.sizeBytes));
    line += TextWith(TextId<1322>, copyPath);
    log::LogToFile(line, logWriter);
}

int CDeepCleaner::RestoreLeftoverCopies(int dirFd, const std::string& folder) {
    std::vector<std::string> journals;
    {
        int listFd = dup(dirFd);
        DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
        if (!dir) {
            if (listFd >= 0) close(listFd);
            return 0;
        }
        rewinddir(dir);
        while (dirent* e = readdir(dir))
            if (!CopyNameOfJournal(e->d_name).empty()) journals.emplace_back(e->d_name);
        closedir(dir);
    }
    std::sort(journals.begin(), journals.end());

    int restored = 0;
    auto note = [this](const std::string& text) {
        if (logOn && logWriter) log::LogToFile(text, logWriter);
    };
    for (const std::string& jname : journals) {
        const std::string copyName = CopyNameOfJournal(jname);
        Journal j;
        const EntryFacts copy = Examine(dirFd, copyName.c_str());
        const JournalRead jr = ReadJournal(dirFd, jname, &j);
        if (jr == JournalRead::Foreign) continue;  // not ours: left alone
        if (jr == JournalRead::Damaged) {
            // Ours but never completed: the process died while writing it, before any
            // data went into the copy. An empty copy (or none) goes with it.
            if (copy.exists && (!copy.regular || copy.size != 0)) continue;
            if (copy.exists) unlinkat(dirFd, copyName.c_str(), 0);
            unlinkat(dirFd, jname.c_str(), 0);
            fsync(dirFd);
            continue;
        }
        const bool copyIsOurs = copy.exists && copy.regular && copy.ino == j.copyIno;
        if (!copyIsOurs) {
            // No copy of ours under the name: it was put in place before the journal
            // went, or never got its name; a file there now is someone else's and stays.
            unlinkat(dirFd, jname.c_str(), 0);
            fsync(dirFd);
            continue;
        }
        if (j.state == 'w') {
            // Interrupted while copying: the original was never touched.
            unlinkat(dirFd, copyName.c_str(), 0);
            unlinkat(dirFd, jname.c_str(), 0);
            fsync(dirFd);
            ++copiesRemoved;
            continue;
        }
        const Settled s = SettleCopy(dirFd, copyName, j);
        if (s == Settled::Failed) continue;
        unlinkat(dirFd, jname.c_str(), 0);
        fsync(dirFd);
        const std::string original = JoinPath(folder, j.name);
        if (s == Settled::CopyPlaced) {
            ++copiesRestored;
            ++restored;
            note(TextWith(TextId<1325>, original));
        } else if (s == Settled::OriginalKept) {
            ++copiesRemoved;
        } else {
            ++copiesKept;
            note(TextWith(TextId<1326>, JoinPath(folder, copyName), original));
        }
    }
    return restored;
}

bool CDeepCleaner::DeepCleanFile(const OpContext& op, const WalkFile& file, FileTime stamp) {
    fileWritten_ = 0;
    fileReadBack_.reset();
    fileReadBackDone_ = false;
    const bool cleaned = CleanFile(op, file, stamp);
    if (fileReadBackDone_) ++filesReadBack;
    if (onFileDone) onFileDone({file.Path(), cleaned, fileWritten_, fileReadBack_});
    return cleaned;
}

bool CDeepCleaner::CleanFile(const OpContext& op, const WalkFile& file, FileTime stamp) {
    const std::string path = file.Path();
    const std::string copyName = std::to_string(copyCounter_++) + std::string(kCopySuffix);
    const std::string journalName = copyName + std::string(kJournalSuffix);
    const std::string copyPath = JoinPath(file.folder, copyName);
    const int dirFd = file.dirFd;
    const uint64_t size = file.facts.sizeBytes;

    bool copyNamed = false;    // the copy has its name in the folder
    bool journalMade = false;  // the journal is in the folder
    auto notCleaned = [&]() {
        if (copyNamed) unlinkat(dirFd, copyName.c_str(), 0);
        if (journalMade) unlinkat(dirFd, journalName.c_str(), 0);
        if (copyNamed || journalMade) fsync(dirFd);
        NoteNotCleaned(dirFd, file.name);
        bytesNotCleaned += size;
        ++filesNotCleaned;
        LogFileLine(false, file, copyPath);
        return false;
    };

    // The original, read-only; it must still be the file the walker examined.
    UniqueFd src(openat(dirFd, file.name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat before {};
    if (!src.ok() || fstat(src.get(), &before) != 0 || !S_ISREG(before.st_mode) ||
        before.st_ino != file.facts.ino || before.st_dev != file.facts.dev || before.st_nlink > 1)
        return notCleaned();
    const EntryFacts origFacts = Examine(dirFd, file.name.c_str());

    // The copy's name must be free: an existing file of that name is never replaced.
    struct stat taken {};
    if (fstatat(dirFd, copyName.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return notCleaned();

    Journal j;
    j.ino = before.st_ino;
    j.uid = before.st_uid;
    j.hasBirth = origFacts.exists && origFacts.hasBirth;
    j.birth = origFacts.birth;
    j.size = static_cast<uint64_t>(before.st_size);
    j.atime = before.st_atim;
    j.mtime = before.st_mtim;
    j.name = file.name;

    // Where the file system can, the copy is written as an unnamed file and given its
    // name only once it is complete and its journal says so: a death before that leaves
    // nothing behind. Elsewhere it is created under its name, with the journal first
    // saying "copying".
    UniqueFd dst(openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    const bool unnamed = dst.ok();
    struct stat copySt {};
    if (!unnamed) {
        dst.Reset(openat(dirFd, copyName.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!dst.ok()) return notCleaned();
        copyNamed = true;
        if (fstat(dst.get(), &copySt) != 0) return notCleaned();
        j.state = 'w';
        j.copyIno = copySt.st_ino;
        if (!WriteJournal(dirFd, journalName, j)) return notCleaned();
        journalMade = true;
    } else if (fstat(dst.get(), &copySt) != 0) {
        return notCleaned();
    }

    // Copy the data region by region: holes stay holes (they have no clusters to
    // clean), and abort is honoured between pieces.
    std::vector<char> buffer(kCopyChunk);
    const uint64_t total = j.size;
    uint64_t copied = 0;
    int lastPercent = -1;
    bool ok = true;
    bool seekable = true;
    uint64_t pos = 0;
    while (ok && pos < total) {
        uint64_t dataAt = pos, holeAt = total;
        if (seekable) {
            off_t d = lseek(src.get(), static_cast<off_t>(pos), SEEK_DATA);
            if (d < 0 && errno == ENXIO) break;  // only a hole remains
            if (d < 0) {
                seekable = false;
            } else {
                dataAt = static_cast<uint64_t>(d);
                off_t h = lseek(src.get(), d, SEEK_HOLE);
                holeAt = h < 0 ? total : std::min<uint64_t>(total, static_cast<uint64_t>(h));
            }
        }
        for (uint64_t at = dataAt; ok && at < holeAt;) {
            if (op.Stopped()) {
                ok = false;
                break;
            }
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, holeAt - at));
            ssize_t n = ReadFull(src.get(), buffer.data(), want, at);
            if (n <= 0 ||
                !platform::PwriteAll(dst.get(), buffer.data(), static_cast<size_t>(n), at)) {
                ok = false;
                break;
            }
            at += static_cast<uint64_t>(n);
            if (copied == 0) Stage("copying", copyPath);
            copied += static_cast<uint64_t>(n);
            const int percent =
                static_cast<int>(100.0 * static_cast<double>(at) / static_cast<double>(total));
            if (percent != lastPercent) {
                lastPercent = percent;
                op.Status(defragText + " " + ShortPath(path) + " " +
                          StrPrintf("%2.0f", static_cast<double>(percent)) + "%");
            }
        }
        pos = holeAt;
    }
    if (!ok) return notCleaned();
    if (ftruncate(dst.get(), static_cast<off_t>(total)) != 0) return notCleaned();

    // Owner before mode (a change of owner clears set-id bits), then the attributes and
    // the original times; the stamp is given only once the file is clean.
    if ((before.st_uid != copySt.st_uid || before.st_gid != copySt.st_gid) &&
        fchown(dst.get(), before.st_uid, before.st_gid) != 0)
        return notCleaned();
    if (fchmod(dst.get(), before.st_mode & 07777) != 0 || !CopyXattrs(src.get(), dst.get()))
        return notCleaned();
    const timespec times[2] = {before.st_atim, before.st_mtim};
    if (futimens(dst.get(), times) != 0) return notCleaned();
    if (fsync(dst.get()) != 0 || (copyNamed && fsync(dirFd) != 0)) return notCleaned();

    // The copy must match the original, and the original must not have changed while
    // it was read (a writer in between would leave a copy of neither version).
    struct stat after {
    }, copyAfter{};
    if (fstat(src.get(), &after) != 0 || fstat(dst.get(), &copyAfter) != 0 ||
        after.st_size != before.st_size || copyAfter.st_size != before.st_size ||
        after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
        after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
        after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
        after.st_ctim.tv_nsec != before.st_ctim.tv_nsec || op.Stopped())
        return notCleaned();
    src.Reset();

    if (unnamed) {
        // Journal first ("complete"), then the name: a death in between leaves a journal
        // whose copy never appeared, which the next run simply removes.
        j.state = 'c';
        j.copyIno = copySt.st_ino;
        if (!WriteJournal(dirFd, journalName, j)) return notCleaned();
        journalMade = true;
        if (!LinkUnnamed(dst.get(), dirFd, copyName)) return notCleaned();
        copyNamed = true;
        if (fsync(dirFd) != 0) return notCleaned();
    } else {
        if (!MarkJournalComplete(dirFd, journalName)) return notCleaned();
        j.state = 'c';
    }
    dst.Reset();

    Stage("copied", copyPath);

    // Wipe the original where it lies.
    op.Status(underneathText + " " + ShortPath(path));
    wiper_->SetPassCount(passCount);
    wiper_->bytesWritten = &bytesWritten;
    wiper_->showStatus = wiper_->showStatus2 = true;
    wiper_->SetStatusText(underneathText + " " + path);
    wiper_->verifyLastPass = verifyLastPass;
    const Result<void> wipe = wiper_->WipeFile(op, path, file.facts.compressed, 0);
    const bool wiped = wipe.ok();
    fileWritten_ += wiper_->LastBytesWritten();
    const bool differs = !wiped && verifyLastPass && wipe.error().code == ErrorCode::Mismatch;
    fileReadBackDone_ = (wiped && wiper_->LastVerified()) || differs;
    if (differs) {
        fileReadBack_ = wipe.error();
        fileReadBack_->subject = path;
    }
    const bool complete = wiped && !wiper_->WasAborted();
    Stage("wiped", copyPath);

    // Whatever the wipe did, the content goes back under its name: the copy takes the
    // name (freed by the wipe, or still holding what is left of the original), or is
    // dropped when the original turned out to be untouched.
    const Settled s = SettleCopy(dirFd, copyName, j);
    if (s == Settled::Failed) {
        // The journal stays: the next deep clean of this folder settles the copy.
        NoteNotCleaned(dirFd, file.name);
        NoteNotCleaned(dirFd, copyName);
        bytesNotCleaned += size;
        ++filesNotCleaned;
        LogFileLine(false, file, copyPath);
        return false;
    }
    if (s == Settled::CopyPlaced) Stage("placed", copyPath);
    unlinkat(dirFd, journalName.c_str(), 0);
    fsync(dirFd);
    if (s != Settled::CopyPlaced || !complete) {
        // Not cleaned: the file keeps its own times (already on the copy), so the next
        // run takes it up again.
        if (s == Settled::CopyKept && logOn && logWriter)
            log::LogToFile(TextWith(TextId<1327>, copyPath, path), logWriter);
        NoteNotCleaned(dirFd, file.name);
        if (s == Settled::CopyKept) NoteNotCleaned(dirFd, copyName);
        bytesNotCleaned += size;
        ++filesNotCleaned;
        LogFileLine(false, file, copyPath);
        return false;
    }

    // The clean copy is in place: give it the stamp, wiping its slack on the way when
    // the slack task runs too.
    UniqueFd fd(openat(dirFd, file.name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat placed {};
    if (fd.ok() && fstat(fd.get(), &placed) == 0 && placed.st_ino == copySt.st_ino) {
        bool timed = false;
        bool leased = false;
        if (alsoWipeSlacks && HoldFileForSlack(fd.get(), &leased)) {
            // The same safety as the slack wipe's: journalled, held, never cut back
            // when changed. A file that cannot have it just gets the stamp below.
            uint32_t cluster = clusterSize;
            struct statvfs sv {};
            if (cluster == 0 && fstatvfs(fd.get(), &sv) == 0)
                cluster = static_cast<uint32_t>(sv.f_frsize ? sv.f_frsize : sv.f_bsize);
            const SlackGeometry g = ComputeSlack(size, cluster);
            if (!slackJournal_) slackJournal_ = std::make_unique<CSlackJournal>();
            if (g.slackBytes > 0 &&
                (slackJournal_->IsOpen() || slackJournal_->Open(slackJournalFolder))) {
                SlackSafety safety;
                safety.journal = slackJournal_.get();
                safety.leased = leased;
                SlackPassReport report;
                report.readBack = verifyLastPass;
                timed = WriteSlackPasses(fd.get(), g.slackBytes, size, passCount, false, &op, stamp,
                                         nullptr, safety, &report);
                fileWritten_ += report.bytesWritten;
                if (report.readBackError && !fileReadBack_) {
                    fileReadBack_ = std::move(report.readBackError);
                    fileReadBack_->subject = path;
                }
            }
            ReleaseSlackHold(fd.get(), leased);
        }
        if (!timed) {
            const timespec t[2] = {{0, UTIME_OMIT}, TimespecFromFileTime(stamp)};
            futimens(fd.get(), t);
        }
    }
    bytesCleaned += size;
    ++filesCleaned;
    LogFileLine(true, file, copyPath);
    return true;
}

Outcome CDeepCleaner::Run(const OpContext& op, const std::string& start,
                          const std::string& driveText, const CCountingWalk* counts) {
    bytesCleaned = bytesNotCleaned = filesCleaned = filesNotCleaned = filesUpToDate = 0;
    copiesRestored = copiesRemoved = copiesKept = bytesWritten = 0;
    filesReadBack = 0;
    notCleaned_.clear();
    ReplaySlackJournals(slackJournalFolder);

    // The new stamp is taken now, so every file this run cleans is given a time not
    // later than it, but stored only once the whole tree was gone over.
    const FileTime oldStamp = ReadDeepCleanStamp(store_, driveText);
    const std::set<uint64_t> oldNotCleaned = ReadNotDeepCleaned(store_, driveText);
    newStamp_ = 0;
    if (!SystemTimeToFileTime(GetSystemTime(), &newStamp_)) newStamp_ = NowFileTime();

    CTimeRemaining estimate(op);
    op.SetRange(ProgressSink::Overall, 0, kProgressRange);
    op.TimeText(estimate.Text());
    uint64_t doneBytes = 0, doneFiles = 0;

    CDriveWalker walker;
    walker.options = DeepCleanWalkOptions();
    walker.onFolderStart = [this](int dirFd, const std::string& folder) {
        RestoreLeftoverCopies(dirFd, folder);
    };
    walker.onFile = [&](const WalkFile& f) {
        if (!reclean && CountsAsDeepCleaned(f.facts, oldStamp, oldNotCleaned)) {
            ++filesUpToDate;
            return;
        }
        if (counts) {
            // By bytes once the totals are known, by files until then.
            const WalkerRecord& rec = counts->Record();
            uint64_t done = doneFiles, total = rec.WorkFiles(reclean);
            if (counts->Finished()) {
                done = doneBytes;
                total = rec.WorkBytes(reclean);
            }
            if (total > 0) {
                done = std::min(done, total);
                if (estimate.Update(done, total)) op.TimeText(estimate.Text());
                op.SetPos(ProgressSink::Overall, ProgressPos(done, total));
            }
        }
        op.Status(deepCleaningText + " " + ShortPath(f.Path()));
        DeepCleanFile(op, f, newStamp_);
        doneBytes += f.facts.sizeBytes;
        ++doneFiles;
    };
    walker.onFolderEnd = [this](int, const std::string& folder) {
        if (logOn && logWriter) log::LogToFile(dirDoneText + ": " + folder, logWriter);
    };
    const Outcome r = walker.Walk(op, start);
    if (r == Outcome::Failed) walkError_ = walker.error();
    if (r == Outcome::Ok) {
        // The list before the stamp: a death in between leaves the old stamp with the
        // new list, which covers no file the old pair did not. The stamp's low half goes
        // first, so a stamp torn between its halves is never later than the new one.
        WriteNotDeepCleaned(store_, driveText, notCleaned_);
        WriteDeepCleanStamp(store_, driveText, newStamp_);
        op.SetPos(ProgressSink::Overall, kProgressRange);
    }
    // Otherwise the old stamp and list stay: files this run never reached must not
    // look cleaned to the next one.
    if (slackJournal_) slackJournal_->Close();
    return r;
}

void AddToReceipt(const CDeepCleaner::FileDone& f, Receipt& receipt) {
    AddFileToReceipt(receipt, f.path, f.bytesWritten, f.cleaned, f.readBack,
                     "not cleaned: it keeps its content under its own name");
}

}  // namespace tw::wipe
