// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/free_space.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/passes.h"
#include "platform/storage_facts.h"
#include "platform/strings.h"
#include "wipe/file_wiper.h"
#include "wipe/queued_writer.h"
#include "wipe/slack.h"

namespace tw::wipe {

namespace {

// Chunks per system call: 8 x 400 KiB = 3200 KiB, a multiple of 128 KiB, so FUSE file
// systems receive whole requests and the device sees large writes.
constexpr uint32_t kChunksPerWrite = 8;
// Requests in flight at once.
constexpr unsigned kQueueDepth = 4;

std::string WithSlash(std::string root) {
    if (root.empty() || root.back() != '/') root += '/';
    return root;
}

std::string WithoutSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A compressed file system makes every pass random data: a constant pattern would be
// compressed away instead of covering the free blocks. Compression is a flag on the
// folder (chattr +c) or an option of the mount (`facts`, when they could be read).
bool IsCompressedVolume(const std::string& root, const StorageFacts* facts) {
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        int flags = 0;
        const bool compr = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_COMPR_FL);
        close(fd);
        if (compr) return true;
    }
    return facts && std::find(facts->caveats.begin(), facts->caveats.end(), Caveat::Compressed) !=
                        facts->caveats.end();
}

bool IsTempFileName(const std::string& name, const std::string& stem, const std::string& ext) {
    const std::string tail = "." + ext;
    return name.size() >= stem.size() + tail.size() && name.compare(0, stem.size(), stem) == 0 &&
           name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
}

// ext4's "write the journal's blocks home now" request (Linux 5.13+, needs
// CAP_SYS_ADMIN). Not in the exported headers yet.
constexpr unsigned long kExt4IocCheckpoint = _IOW('f', 43, uint32_t);

// Ends a pass: everything it wrote reaches the disk before the next pass starts (on
// FUSE file systems such as ntfs-3g even "unbuffered" writes may sit in the daemon's
// device cache). On ext4 the fill files' own metadata (extent blocks, the folder's
// block) is allocated from the free space and written through the journal; freed again
// before the journal is written back to its home location, such a block would keep its
// old content on the disk. A checkpoint commits the journal, writes every such block in
// place while the files still exist, and flushes the device; where it is not available
// (other file systems, no privilege) a sync of the file system does the flushing.
void SettleJournal(const std::string& folder) {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    uint32_t flags = 0;
    if (ioctl(fd, kExt4IocCheckpoint, &flags) != 0) syncfs(fd);
    close(fd);
}

// The clusters ext4 keeps back for metadata on the file system holding `path`
// (/sys/fs/ext4/<device>/reserved_clusters); 0 elsewhere.
uint64_t Ext4HeldBackClusters(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    char link[PATH_MAX];
    const std::string dev = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                            std::to_string(minor(st.st_dev));
    if (realpath(dev.c_str(), link) == nullptr) return 0;
    const std::string name = std::string(link).substr(std::string(link).find_last_of('/') + 1);
    std::ifstream in("/sys/fs/ext4/" + name + "/reserved_clusters");
    uint64_t clusters = 0;
    if (!(in >> clusters)) return 0;
    return clusters;
}

// What the file system can take now, by the plan's rule: root fills f_bfree less what
// ext4 holds back, everybody else f_bavail.
uint64_t UsableBytes(const FreeSpacePlan& plan) {
    struct statvfs sv {};
    if (statvfs(plan.folder.c_str(), &sv) != 0) return 0;
    const uint64_t frag = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    if (geteuid() != 0) return static_cast<uint64_t>(sv.f_bavail) * frag;
    const uint64_t free = static_cast<uint64_t>(sv.f_bfree) * frag;
    return free > plan.reservedBytes ? free - plan.reservedBytes : 0;
}

enum class RemoveResult { Removed, InUse, Failed };

// Empties and removes one temporary folder: every "zpqmalowjxy68*.qlx" in it is cut to
// length 0 and deleted, then the folder is removed (which fails if anything else is in
// it). A folder whose lock is held belongs to a clean that is still running: left alone.
RemoveResult RemoveTempFolder(const std::string& folder, const OpContext* op) {
    int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) return RemoveResult::Failed;
    if (flock(dfd, LOCK_EX | LOCK_NB) != 0) {
        close(dfd);
        return RemoveResult::InUse;
    }
    const std::string stem(S<132>), ext(S<189>);
    int listFd = dup(dfd);
    DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) close(listFd);
        close(dfd);
        return RemoveResult::Failed;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (IsTempFileName(name, stem, ext)) names.push_back(std::move(name));
    }
    closedir(dir);
    for (const auto& name : names) {
        int fd = openat(dfd, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            // Cut to nothing first; if that fails, deleting frees the blocks all the same.
            [[maybe_unused]] const int cut = ftruncate(fd, 0);
            close(fd);
        }
        unlinkat(dfd, name.c_str(), 0);
        if (op) op->Step(ProgressSink::Current, 1);
    }
    const bool removed = rmdir(folder.c_str()) == 0;
    close(dfd);  // the lock goes with the last handle
    return removed ? RemoveResult::Removed : RemoveResult::Failed;
}

// One temporary file being filled: O_DIRECT where the file system takes it, several
// chunks per request and several requests in flight.
class FillFile {
  public:
    // Called after each completed request with the bytes it wrote; false stops the
    // fill (abort).
    using Step = std::function<bool(uint64_t bytes)>;

    explicit FillFile(QueuedWriter& queue) : queue_(queue) {}

    // Keep the ranges the file system took, to read them back before the file closes.
    void KeepWritten(bool keep) { keep_ = keep; }
    // Reads every range the file system took back from the disk and compares it with
    // the chunk repeated from offset 0. Nothing when all matches.
    std::optional<Error> ReadBack(const uint8_t* buffer, uint32_t chunk) {
        queue_.Drain();
        std::sort(written_.begin(), written_.end());
        // Requests that met are read back as one stretch: fewer, larger reads.
        std::vector<ReadBackPart> parts;
        for (const auto& [offset, bytes] : written_) {
            if (!parts.empty() && parts.back().offset + parts.back().length == offset)
                parts.back().length += bytes;
            else
                parts.push_back({offset, bytes, offset});
        }
        return ReadBackMatches(fd_, parts, buffer, chunk);
    }
    ~FillFile() { Close(); }

    bool Open(const std::string& path) {
        const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
        fd_ = open(path.c_str(), flags | O_DIRECT, 0600);
        if (fd_ < 0 && errno == EINVAL) fd_ = open(path.c_str(), flags, 0600);
        direct_ = fd_ >= 0 && (fcntl(fd_, F_GETFL) & O_DIRECT) != 0;
        full_ = false;
        return fd_ >= 0;
    }

    // Writes `chunks` copies of the `chunk`-byte buffer from offset 0, until done, full
    // or stopped. Gives the bytes written. `usable()` tells how many bytes the file
    // system can still take: near the end the fill writes what it says, one request at
    // a time, instead of running into "no space" with several requests in flight (on
    // ext4 every refused allocation waits for a journal commit).
    uint64_t Fill(const uint8_t* buffer, uint32_t chunk, uint32_t chunks, uint32_t minPiece,
                  const std::function<uint64_t()>& usable, const Step& step) {
        const uint64_t end = static_cast<uint64_t>(chunks) * chunk;
        const uint64_t request = static_cast<uint64_t>(kChunksPerWrite) * chunk;
        uint64_t total = 0;
        uint64_t pos = 0;  // first byte not yet handed to a request
        bool stop = false;
        bool nearEnd = false;
        if (direct_ && queue_.Ok()) {
            // Requests complete in any order; a request the file system did not take
            // whole leaves a range that is filled afterwards, one request at a time.
            std::vector<std::pair<uint64_t, uint64_t>> missed;  // offset, bytes
            bool trouble = false;
            const uint64_t budget = usable();
            const uint64_t margin = 2ull * queue_.Depth() * request;
            iovec iov[kChunksPerWrite];
            for (auto& v : iov) v = {const_cast<uint8_t*>(buffer), chunk};
            while (queue_.InFlight() > 0 || (pos < end && !trouble && !stop && !nearEnd)) {
                while (queue_.InFlight() < queue_.Depth() && pos < end && !trouble && !stop) {
                    const uint64_t bytes = std::min(request, end - pos);
                    if (pos + bytes + margin > budget) {
                        nearEnd = true;
                        break;
                    }
                    if (!queue_.Queue(fd_, iov, static_cast<int>((bytes + chunk - 1) / chunk), pos,
                                      pos)) {
                        trouble = true;  // go on one request at a time from `pos`
                        break;
                    }
                    pos += bytes;
                }
                uint64_t at = 0;
                int64_t res = 0;
                if (!queue_.Next(&at, &res)) break;
                const uint64_t want = std::min(request, end - at);
                const uint64_t got = res > 0 ? static_cast<uint64_t>(res) : 0;
                total += got;
                Took(at, got);
                if (got < want) {
                    trouble = true;
                    if (res == -EINVAL) DropDirect();
                    missed.emplace_back(at + got, want - got);
                }
                if (!step(got)) stop = true;
            }
            std::sort(missed.begin(), missed.end());
            for (const auto& [offset, bytes] : missed) {
                if (full_ || stop) break;
                const uint64_t got = WriteRange(buffer, chunk, offset, bytes, minPiece);
                total += got;
                if (!step(got)) stop = true;
            }
        }
        // One request at a time: without io_uring, buffered, near the end, or after
        // trouble above.
        while (pos < end && !full_ && !stop) {
            uint64_t bytes = std::min(request, end - pos);
            if (nearEnd) {
                const uint64_t room = usable() / minPiece * minPiece;
                if (room == 0) {
                    full_ = true;  // full, without asking the file system to refuse
                    lastErrno_ = ENOSPC;
                    break;
                }
                bytes = std::min(bytes, room);
            }
            const uint64_t got = WriteRange(buffer, chunk, pos, bytes, minPiece);
            total += got;
            pos += got;
            if (got == 0 && !full_) full_ = true;  // no progress: give up on this file
            if (!step(got)) stop = true;
        }
        return total;
    }

    bool Full() const { return full_; }
    // Why the file ended early (ENOSPC for a full file system), 0 if it did not.
    int LastError() const { return lastErrno_; }

    void Close() {
        if (fd_ < 0) return;
        queue_.Drain();
        // Unbuffered writes are on the device already; the pass ends with a sync of the
        // whole file system (SettleJournal). Buffered ones are flushed file by file.
        if (!direct_) fdatasync(fd_);
        close(fd_);
        fd_ = -1;
    }

  private:
    void Took(uint64_t offset, uint64_t bytes) {
        if (keep_ && bytes > 0) written_.emplace_back(offset, bytes);
    }

    void DropDirect() {
        const int fl = fcntl(fd_, F_GETFL);
        if (direct_ && fl >= 0 && fcntl(fd_, F_SETFL, fl & ~O_DIRECT) == 0) direct_ = false;
    }

    // Writes `bytes` at `offset`, the content being the chunk repeated from offset 0 of
    // the file. When the file system runs out of room, the rest is tried in smaller
    // pieces down to one block (`minPiece`), so the last free blocks are filled too;
    // only then is the file full. A write error other than a full file system also ends
    // the file.
    uint64_t WriteRange(const uint8_t* buffer, uint32_t chunk, uint64_t offset, uint64_t bytes,
                        uint32_t minPiece) {
        uint64_t piece = bytes;
        uint64_t done = 0;
        while (done < bytes && !full_) {
            const uint64_t size = std::min(piece, bytes - done);
            iovec iov[kChunksPerWrite + 2];
            int n = 0;
            for (uint64_t at = 0; at < size && n < static_cast<int>(kChunksPerWrite) + 2; ++n) {
                const uint32_t in = static_cast<uint32_t>((offset + done + at) % chunk);
                const uint64_t len = std::min<uint64_t>(chunk - in, size - at);
                iov[n].iov_base = const_cast<uint8_t*>(buffer + in);
                iov[n].iov_len = static_cast<size_t>(len);
                at += len;
            }
            ssize_t r = pwritev(fd_, iov, n, static_cast<off_t>(offset + done));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && errno == EINVAL && direct_) {
                DropDirect();  // unbuffered writes refused here: go on buffered
                if (!direct_) continue;
            }
            if (r > 0) {
                Took(offset + done, static_cast<uint64_t>(r));
                done += static_cast<uint64_t>(r);
                continue;
            }
            const int err = r < 0 ? errno : ENOSPC;
            if ((err == ENOSPC || err == EDQUOT) && piece > minPiece) {
                piece = std::max<uint64_t>(minPiece, (piece / 4) / minPiece * minPiece);
                continue;
            }
            lastErrno_ = err;
            full_ = true;
        }
        return done;
    }

    QueuedWriter& queue_;
    int fd_ = -1;
    bool direct_ = false;
    bool full_ = false;
    int lastErrno_ = 0;
    bool keep_ = false;
    std::vector<std::pair<uint64_t, uint64_t>> written_;  // offset, bytes
};

}  // namespace

std::string TempFolderFor(const std::string& root) {
    const std::string base = WithoutSlash(root);
    return (base == "/" ? "" : base) + "/" + std::string(S<131>);
}

FreeSpacePlan PlanFreeSpace(const std::string& rootIn, int passes) {
    FreeSpacePlan plan;
    plan.passes = passes;
    plan.root = WithSlash(rootIn);
    plan.folder = TempFolderFor(plan.root);
    if (passes < 1) {
        plan.refusal = Str<1370>();
        return plan;
    }
    struct stat st {};
    if (rootIn.empty() || stat(plan.root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        plan.refusal = TextWith(TextId<1371>, plan.root);
        return plan;
    }
    struct statvfs sv {};
    if (statvfs(plan.root.c_str(), &sv) != 0) {
        plan.refusal = TextWith(TextId<1372>, plan.root);
        return plan;
    }
    if (sv.f_flag & ST_RDONLY) {
        plan.refusal = TextWith(TextId<1373>, plan.root);
        return plan;
    }
    const uint64_t frag = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    plan.blockSize = static_cast<uint32_t>(std::clamp<uint64_t>(frag, 512, 1u << 20));
    // Root may fill the blocks ext4 reserves for it; everybody else stops at f_bavail.
    // ext4 also holds back a few clusters for its own metadata (2%, at most 4096
    // clusters) that no file can take, root's included.
    if (geteuid() == 0) {
        const uint64_t held = std::min<uint64_t>(Ext4HeldBackClusters(plan.root), sv.f_bfree);
        plan.freeBytes = static_cast<uint64_t>(sv.f_bfree - held) * frag;
        plan.reservedBytes = held * frag;
    } else {
        plan.freeBytes = static_cast<uint64_t>(sv.f_bavail) * frag;
        if (sv.f_bfree > sv.f_bavail)
            plan.reservedBytes = static_cast<uint64_t>(sv.f_bfree - sv.f_bavail) * frag;
    }
    if (faccessat(AT_FDCWD, plan.root.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        // A root this user may not write to ("/" for a normal user): the folder goes
        // into the home folder when that fills the same file system.
        const std::string home = HomeFolder();
        struct stat hs {};
        if (stat(home.c_str(), &hs) == 0 && hs.st_dev == st.st_dev &&
            faccessat(AT_FDCWD, home.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
            plan.folder = TempFolderFor(home);
            plan.folderInHome = true;
        } else {
            plan.refusal = TextWith(TextId<1374>, plan.root);
            return plan;
        }
    }
    plan.fileCount = plan.freeBytes / kFreeSpaceFileBytes + 1;
    plan.totalChunks = plan.freeBytes / kFreeSpaceChunk;
    auto facts = FactsForPath(plan.root);
    plan.randomMode = IsCompressedVolume(plan.root, facts.ok() ? &*facts : nullptr);
    if (facts.ok()) {
        plan.caveatLine = VolumeCaveatLine(*facts);
        plan.trimHelps = TrimHelps(*facts);
    }
    struct stat ls {};
    if (lstat(plan.folder.c_str(), &ls) == 0) {
        plan.leftoverPresent = true;
        plan.refusal = TextWith(TextId<1375>, plan.folder);
    }
    return plan;
}

// ---------------------------------------------------------------- CFreeSpaceCleaner

CFreeSpaceCleaner::CFreeSpaceCleaner()
    : completedPrefix(S<147>),
      wipingText(S<140>),
      estimatingText(S<141>),
      estimatedText(S<142>),
      locatedText(S<265>),
      freeSpaceInText(S<266>),
      clustersForCleaningText(S<267>),
      cleanedText(S<271>),
      clustersText(S<272>),
      finalizingText(S<323>),
      overwriteWord(S<171>),
      overwritesWord(S<170>),
      fileStem(S<132>),
      fileExtension(S<189>) {}

std::string CFreeSpaceCleaner::CountText(int n) const {
    return StrPrintf("%i", n) + " " + (n == 1 ? overwriteWord : overwritesWord);
}

int CFreeSpaceCleaner::CleanFreeSpace(const OpContext& op, const FreeSpaceTask& task) {
    bytesWritten_ = 0;
    refusal_.clear();
    verifyError_.reset();
    plan_ = FreeSpacePlan{};
    trim_ = TrimOutcome{};
    // A stop asked for before the call (or during the flush and the plan below) is
    // honoured before anything is written: the stop flag is the caller's, and nothing
    // here clears it.
    if (op.Stopped()) return 0;
    // Blocks of files deleted moments ago become allocatable once the journal commits:
    // commit first, so the fill can reach them and the free count is current.
    if (int rfd = open(task.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); rfd >= 0) {
        syncfs(rfd);
        close(rfd);
    }
    plan_ = PlanFreeSpace(task.root, task.passCount);
    const FreeSpacePlan& plan = plan_;
    if (op.Stopped()) return 0;
    if (!plan.refusal.empty() && !plan.leftoverPresent) {
        refusal_ = plan.refusal;
        return 0;
    }
    if (plan.freeBytes == 0) {
        refusal_ = TextWith(TextId<1376>, plan.root);
        return 0;
    }
    // The folder also fails to appear when one is left from an earlier run: nothing is
    // written then, and the next sweep removes the leftover.
    if (mkdir(plan.folder.c_str(), 0700) != 0) {
        refusal_ = plan.leftoverPresent ? plan.refusal
                                        : TextWith(TextId<1377>, plan.folder, std::strerror(errno));
        return 0;
    }
    // Held until the files are gone: a sweep elsewhere leaves this folder alone.
    int lockFd = open(plan.folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (lockFd >= 0) flock(lockFd, LOCK_EX | LOCK_NB);

    const int passes = task.passCount;
    const std::string freeText = FormatSize(plan.freeBytes, "%2.2f");
    log::CActivityLogFile* logWriter = logEnabled ? op.Log() : nullptr;
    for (auto bar : {ProgressSink::Current, ProgressSink::Overall})
        op.SetRange(bar, 0, kFreeSpaceProgressRange);
    op.Status(statusPrefix + wipingText + " " + plan.root + TextWith(TextId<1378>, freeText));
    std::string located = locatedText + " " + freeText;
    if (plan.reservedBytes > 0)
        located += TextWith(TextId<1379>, FormatSize(plan.reservedBytes, "%2.2f"));
    log::LogToFile(located, logWriter);

    int completed = 0;
    bool failed = false;
    AlignedBuffer buffer(kFreeSpaceChunk);
    if (!buffer.Ok()) {
        failed = true;
    } else {
        for (int pass = 0; pass < passes && !op.Stopped(); ++pass) {
            FillPassBuffer(buffer.data(), kFreeSpaceChunk, pass + 1, plan.randomMode);
            if (!FillPass(op, plan, buffer.data(), pass, freeText)) {
                failed = true;
                break;
            }
            SettleJournal(plan.folder);
            if (op.Stopped()) break;
            ++completed;
        }
    }
    // A last pass that does not read back as written is a failed clean.
    if (verifyError_) failed = true;
    if (!op.Stopped() && !failed) {
        for (auto bar : {ProgressSink::Current, ProgressSink::Overall})
            op.SetPos(bar, kFreeSpaceProgressRange);
        op.Status(completedPrefix + " (" + CountText(passes) + ")");
    }
    op.Status(finalizingText);
    // Our own folder first (we hold its lock), then whatever earlier runs left anywhere.
    close(lockFd);
    RemoveTempFolder(plan.folder, &op);
    CleanLeftoverTempFolders(false, {}, nullptr, &op);

    log::LogToFile(cleanedText + " " + FormatSize(bytesWritten_, "%2.2f"), logWriter);
    // The blocks the fill files held are free again: on flash the drive still keeps the
    // old pages it remapped until it is told they are unused, and an image file keeps
    // every block the fill allocated. A stopped clean leaves it (a trim can take long).
    if (!op.Stopped()) {
        if (!task.trim) {
            trim_.state = TrimOutcome::State::TurnedOff;
        } else {
            op.Status(finalizingText);
            trim_ = TrimFreeSpace(plan.root);
        }
        log::LogToFile(TrimOutcomeLine(trim_, plan.root), logWriter);
    }
    return failed ? -1 : completed;
}

TrimOutcome TrimFreeSpace(const std::string& root) {
    TrimOutcome t;
    auto facts = FactsForPath(root);
    if (!facts.ok() || !facts->acceptsDiscard) {
        t.state = TrimOutcome::State::Unsupported;
        return t;
    }
    if (!TrimHelps(*facts)) {
        t.state = TrimOutcome::State::Rotational;
        return t;
    }
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        t.state = TrimOutcome::State::Failed;
        t.errnum = errno;
        return t;
    }
    // Blocks freed in a transaction not yet committed are not free to FITRIM (ext4
    // skips them): commit the removal of the fill files first.
    syncfs(fd);
    fstrim_range range{};
    range.start = 0;
    range.len = UINT64_MAX;
    range.minlen = 0;
    if (ioctl(fd, FITRIM, &range) == 0) {
        t.state = TrimOutcome::State::Trimmed;
        t.bytes = range.len;  // the kernel puts the bytes trimmed here
    } else {
        t.errnum = errno;
        // No discard support below the file system, or a file system (FUSE, tmpfs)
        // without the request at all.
        t.state = (t.errnum == EOPNOTSUPP || t.errnum == ENOTTY || t.errnum == ENOSYS)
                      ? TrimOutcome::State::Unsupported
                      : TrimOutcome::State::Failed;
    }
    close(fd);
    return t;
}

std::string TrimOutcomeLine(const TrimOutcome& t, const std::string& root) {
    switch (t.state) {
        case TrimOutcome::State::NotRun:
            return "";
        case TrimOutcome::State::TurnedOff:
            return TextWith(TextId<1756>, root);
        case TrimOutcome::State::Rotational:
            return TextWith(TextId<1757>, root);
        case TrimOutcome::State::Unsupported:
            return TextWith(TextId<1754>, root);
        case TrimOutcome::State::Failed:
            return TextWith(TextId<1755>, root, std::strerror(t.errnum));
        case TrimOutcome::State::Trimmed:
            return TextWith(TextId<1753>, FormatSize(t.bytes, "%2.2f"), root);
    }
    return "";
}

bool CFreeSpaceCleaner::FillPass(const OpContext& op, const FreeSpacePlan& plan,
                                 const uint8_t* buffer, int passIndex,
                                 const std::string& freeText) {
    const int passes = plan.passes;
    const uint64_t total = std::max<uint64_t>(1, plan.totalChunks) * static_cast<uint64_t>(passes);
    uint64_t chunksThisPass = 0;
    uint64_t filesOpened = 0;
    QueuedWriter queue(kQueueDepth);
    auto report = [&]() {
        const uint64_t done = chunksThisPass + static_cast<uint64_t>(passIndex) *
                                                   std::max<uint64_t>(1, plan.totalChunks);
        const int64_t pos = static_cast<int64_t>(
            std::min<uint64_t>(kFreeSpaceProgressRange, kFreeSpaceProgressRange * done / total));
        for (auto bar : {ProgressSink::Current, ProgressSink::Overall}) op.SetPos(bar, pos);
        op.Status(statusPrefix + wipingText + " " + plan.root + " " +
                  TextWith(TextId<1380>,
                           FormatSize(bytesWritten_ / static_cast<uint64_t>(passes), "%2.2f"),
                           freeText, CountText(passes)));
    };

    for (uint64_t f = 1; f <= plan.fileCount && !op.Stopped(); ++f) {
        const std::string path = plan.folder + "/" + fileStem +
                                 StrPrintf("%.d", static_cast<int>(f)) + "." + fileExtension;
        FillFile file(queue);
        if (!file.Open(path)) {
            chunksThisPass += kFreeSpaceChunksPerFile;
            report();
            continue;
        }
        ++filesOpened;
        const bool readBack = verifyLastPass && passIndex + 1 == passes;
        file.KeepWritten(readBack);
        const uint64_t chunksBeforeFile = chunksThisPass;
        uint64_t bytesThisFile = 0;
        // Every file is written from offset 0: no part of it is left unwritten.
        file.Fill(
            buffer, kFreeSpaceChunk, kFreeSpaceChunksPerFile, plan.blockSize,
            [&]() { return UsableBytes(plan); },
            [&](uint64_t bytes) {
                // Progress follows the bytes that landed, not the chunks asked for:
                // near the end several requests in flight come back short.
                bytesWritten_ += bytes;
                bytesThisFile += bytes;
                chunksThisPass = chunksBeforeFile + bytesThisFile / kFreeSpaceChunk;
                report();
                return !op.Stopped();
            });
        if (readBack && !op.Stopped() && !verifyError_) {
            verifyError_ = file.ReadBack(buffer, kFreeSpaceChunk);
            if (verifyError_) verifyError_->subject = path;
        }
        file.Close();
        if (!op.PauseCheck()) break;
    }
    return filesOpened > 0;
}

// ---------------------------------------------------------------- leftovers

namespace {

// Every place a temporary folder may be: the root of each local mounted file system
// (fixed and RAM disk) and the home folder, where cleans of unwritable roots put it.
std::vector<std::string> SweepRoots() {
    std::vector<std::string> roots;
    for (const auto& d : ListMounts())
        if (d.type == DriveType::Fixed || d.type == DriveType::RamDisk) roots.push_back(d.Root());
    roots.push_back(HomeFolder());
    return roots;
}

}  // namespace

std::vector<std::string> FindLeftoverTempFolders(const std::vector<std::string>& rootsIn) {
    const std::vector<std::string> roots = rootsIn.empty() ? SweepRoots() : rootsIn;
    std::vector<std::string> found;
    std::set<std::pair<dev_t, ino_t>> seen;
    for (const auto& root : roots) {
        if (root.empty()) continue;
        const std::string folder = TempFolderFor(root);
        struct stat st {};
        if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (seen.insert({st.st_dev, st.st_ino}).second) found.push_back(folder);
    }
    return found;
}

bool SweepLeftoverTempFolders(const std::vector<std::string>& roots, bool showMessage,
                              const std::function<void(std::string_view)>& message,
                              LeftoverSweep* sweep, const OpContext* op) {
    bool found = false, shown = false;
    SlackReplay slack = ReplaySlackJournals(SlackJournalFolder());
    if (sweep) {
        sweep->slackRestored = std::move(slack.restored);
        sweep->slackLeft = std::move(slack.left);
        sweep->slackPending = std::move(slack.pending);
    }
    if (roots.empty()) return false;  // no roots given: nothing to sweep
    for (const auto& folder : FindLeftoverTempFolders(roots)) {
        found = true;
        if (showMessage && !shown && message) {
            message(S<106>);
            shown = true;
        }
        const RemoveResult r = RemoveTempFolder(folder, op);
        if (sweep) (r == RemoveResult::Removed ? sweep->removed : sweep->kept).push_back(folder);
    }
    return found;
}

bool CleanLeftoverTempFolders(bool showMessage,
                              const std::function<void(std::string_view)>& message,
                              LeftoverSweep* sweep, const OpContext* op) {
    return SweepLeftoverTempFolders(SweepRoots(), showMessage, message, sweep, op);
}

}  // namespace tw::wipe
