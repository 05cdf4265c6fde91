// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/fileio.h"
#include "platform/rawio.h"
#include "platform/strings.h"
#include "platform/utf8.h"
#include "volume/item_clusters.h"
#include "volume/search.h"
#include "volume/traces.h"

namespace tw::volume {

// ---------------------------------------------------------------------------------
// Names

namespace {

constexpr size_t kNameMax = 255;  // NAME_MAX of the file systems we write to
// An extension longer than this is not worth keeping when a name must be cut.
constexpr size_t kMaxKeptExtension = 32;

// Splits at the last "." that is not the first character: {stem, ".ext"}.
std::pair<std::string, std::string> SplitExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return {name, ""};
    return {name.substr(0, dot), name.substr(dot)};
}

// Cuts a name to maxBytes, keeping a short extension whole.
std::string FitName(const std::string& name, size_t maxBytes) {
    if (name.size() <= maxBytes) return name;
    auto [stem, ext] = SplitExtension(name);
    if (ext.size() > kMaxKeptExtension || ext.size() + 1 > maxBytes)
        return platform::CutUtf8(name, maxBytes);
    return platform::CutUtf8(stem, maxBytes - ext.size()) + ext;
}

}  // namespace

std::string SafeFileName(const std::string& name, const std::string& fallback, size_t maxBytes) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        size_t n = platform::Utf8SequenceAt(name, i);
        if (n == 0) {
            out += '_';  // a stray byte: never let it reach the file system as is
            ++i;
            continue;
        }
        if (n == 1 && (c < 0x20 || c == 0x7F || c == '/'))
            out += '_';
        else
            out.append(name, i, n);
        i += n;
    }
    // A leading "-" would read as an option to every tool the user runs on the file.
    if (!out.empty() && out[0] == '-') out[0] = '_';
    out = FitName(out, maxBytes);
    if (out.empty() || out == "." || out == "..")
        return fallback.empty() ? std::string("_") : SafeFileName(fallback, "", maxBytes);
    return out;
}

std::string RecoveredFileName(const RecoverableFile& item) {
    const std::string fallback = "#recovered-" + std::to_string(item.location);
    if (item.name.empty()) return fallback;
    // The first character of a deleted name is lost on FAT (it holds the deletion mark),
    // and recovered files are marked the same way on both file systems.
    size_t first = platform::Utf8SequenceAt(item.name, 0);
    if (first == 0) first = 1;
    std::string s = "#";
    for (size_t i = first; i < item.name.size(); ++i)
        if (item.name[i] != ' ') s += item.name[i];
    return SafeFileName(s, fallback);
}

std::string CandidateName(const std::string& name, unsigned n) {
    if (n <= 1) return name;
    auto [stem, ext] = SplitExtension(name);
    const std::string suffix = " (" + std::to_string(n) + ")";
    if (ext.size() > kMaxKeptExtension) {
        stem = name;
        ext.clear();
    }
    const size_t room = kNameMax - suffix.size() - ext.size();
    return platform::CutUtf8(stem, room) + suffix + ext;
}

// ---------------------------------------------------------------------------------
// The folder

std::string FolderCheckText(FolderCheck check) {
    switch (check) {
        case FolderCheck::NotSet:
            return Str<410>();
        case FolderCheck::NotAccessible:
            return Str<409>();
        case FolderCheck::OnSource:
            return Str<426>();
        case FolderCheck::Ok:
            break;
    }
    return {};
}

RecoveryFolder::~RecoveryFolder() {
    if (fd_ >= 0) ::close(fd_);
}

FolderCheck RecoveryFolder::Refuse(FolderProblem problem, std::string text) {
    problem_ = problem;
    problemText_ = std::move(text);
    return FolderCheck::NotAccessible;
}

std::string RecoveryFolder::PathOf(const std::string& name) const {
    return platform::JoinPath(path_, name);
}

FolderCheck RecoveryFolder::Open(const std::string& path, const std::string& rawSource,
                                 std::string* mountPoint) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_ = path;
    problem_ = FolderProblem::None;
    problemText_.clear();
    if (path.empty()) return FolderCheck::NotSet;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            return Refuse(FolderProblem::Link, Str<1450>());
        if (err == ENOTDIR && ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            return Refuse(FolderProblem::NotAFolder, Str<1451>());
        if (err == ENOENT) return Refuse(FolderProblem::Missing, Str<1452>());
        if (err == EACCES || err == EPERM)
            return Refuse(FolderProblem::NoPermission, TextWith(TextId<1453>, std::strerror(err)));
        return Refuse(FolderProblem::Other, TextWith(TextId<1453>, std::strerror(err)));
    }
    if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EACCES || err == EPERM || err == EROFS)
            return Refuse(FolderProblem::NoPermission, TextWith(TextId<1454>, std::strerror(err)));
        return Refuse(FolderProblem::Other, TextWith(TextId<1454>, std::strerror(err)));
    }
    if (!rawSource.empty() && FolderIsOnSource(fd, rawSource, mountPoint)) {
        ::close(fd);
        return FolderCheck::OnSource;
    }
    fd_ = fd;
    return FolderCheck::Ok;
}

namespace {

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    return ::realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

}  // namespace

bool FolderIsOnSource(int folderFd, const std::string& rawSource, std::string* mountPoint) {
    struct stat folder {
    }, src{};
    if (::fstat(folderFd, &folder) != 0 || ::stat(rawSource.c_str(), &src) != 0) return false;
    const std::string realSource = RealPath(rawSource);
    // The devices a mount of the source shows: the block device itself, or the loop
    // devices an image is attached to.
    std::set<dev_t> devices;
    if (S_ISBLK(src.st_mode)) devices.insert(src.st_rdev);
    if (S_ISREG(src.st_mode) && !realSource.empty()) devices = platform::LoopDevicesOf(realSource);
    for (const DriveInfo& d : ListMounts()) {
        bool ofSource = devices.count(static_cast<dev_t>(d.devId)) != 0;
        // A FUSE driver (ntfs-3g) mounts the image file itself: the mount's source is
        // the image's path.
        if (!ofSource && !realSource.empty() && !d.device.empty() && d.device[0] == '/')
            ofSource = RealPath(d.device) == realSource;
        if (!ofSource) continue;
        struct stat mp {};
        const bool sameDevice =
            static_cast<uint64_t>(folder.st_dev) == d.devId ||
            (::stat(d.mountPoint.c_str(), &mp) == 0 && mp.st_dev == folder.st_dev);
        if (sameDevice) {
            if (mountPoint) *mountPoint = d.mountPoint;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------
// Writing

bool WriteBufferToFile(RecoveryFolder& folder, const std::string& name,
                       std::span<const uint8_t> buffer, uint32_t chunkSize, const OpContext& op,
                       bool append, RecoveredOutput* out) {
    out->error.clear();
    if (!append) {
        if (!folder.IsOpen()) {
            out->error = Str<1455>();
            return false;
        }
        // Never replace, never follow: O_EXCL fails on any existing entry, a link
        // included, and the next candidate name is tried.
        constexpr unsigned kMaxCandidates = 100000;
        int fd = -1;
        std::string taken;
        for (unsigned n = 1; n <= kMaxCandidates && fd < 0; ++n) {
            taken = CandidateName(name, n);
            fd = ::openat(folder.Fd(), taken.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0 && errno != EEXIST) {
                out->error = folder.PathOf(taken) + ": " + std::strerror(errno);
                return false;
            }
        }
        if (fd < 0) {
            out->error = TextWith(TextId<1456>, folder.PathOf(name));
            return false;
        }
        out->fd = fd;
        out->name = taken;
        out->written = 0;
        out->stopped = false;
    } else if (out->fd < 0) {
        out->error = Str<1457>();
        return false;
    }
    const size_t chunk = chunkSize == 0 ? std::max<size_t>(buffer.size(), 1) : chunkSize;
    size_t at = 0;
    while (at < buffer.size()) {
        if (op.Stopped()) {
            out->stopped = true;
            break;
        }
        const size_t n = std::min(chunk, buffer.size() - at);
        // A write that takes nothing is reported as ENOSPC.
        if (!platform::WriteAll(out->fd, buffer.data() + at, n)) {
            out->error = folder.PathOf(out->name) + ": " + std::strerror(errno);
            return false;
        }
        at += n;
        out->written += n;
        op.Step(ProgressSink::Current);
        op.Step(ProgressSink::Overall);
    }
    return true;
}

bool FinishOutput(RecoveredOutput* out, uint64_t exactSize, bool cut) {
    if (out->fd < 0) return true;
    bool ok = true;
    if (cut) {
        if (::ftruncate(out->fd, static_cast<off_t>(exactSize)) != 0) {
            out->error = TextWith(TextId<1458>, std::strerror(errno));
            ok = false;
        } else {
            out->written = exactSize;
        }
    }
    if (::fsync(out->fd) != 0 && errno != EINVAL) {
        out->error = TextWith(TextId<1459>, std::strerror(errno));
        ok = false;
    }
    if (::close(out->fd) != 0 && ok) {
        out->error = TextWith(TextId<1460>, std::strerror(errno));
        ok = false;
    }
    out->fd = -1;
    return ok;
}

// ---------------------------------------------------------------------------------
// Recovery

namespace {

// Reads byteCount bytes at byte `at` of the drive, whatever their alignment to
// 512-byte sectors.
bool ReadBytesAt(CRawDriveRef& drive, uint64_t at, uint64_t byteCount, uint8_t* dst) {
    if (byteCount == 0) return true;
    if (at > drive.SizeBytes() || byteCount > drive.SizeBytes() - at) return false;
    const uint64_t first = at / kSectorSize;
    const uint64_t last = (at + byteCount + kSectorSize - 1) / kSectorSize;
    const uint64_t span = (last - first) * kSectorSize;
    if (span > (64u << 20)) return false;
    if (at % kSectorSize == 0 && byteCount % kSectorSize == 0)
        return drive.Read(first, dst, static_cast<uint32_t>(span));
    std::vector<uint8_t> buf(static_cast<size_t>(span));
    if (!drive.Read(first, buf.data(), static_cast<uint32_t>(span))) return false;
    std::memcpy(dst, buf.data() + (at - first * kSectorSize), static_cast<size_t>(byteCount));
    return true;
}

// One cluster of the output: where it comes from on the volume, or zeros.
struct Slot {
    bool read = false;
    uint64_t byteOffset = 0;  // on the drive, when read
};

// Gathers clusters in batches, reads each batch with as few reads as the layout allows
// (a failed read is retried cluster by cluster; what still fails is zeros) and hands
// it to WriteBufferToFile.
class ClusterStream {
  public:
    ClusterStream(CRawDriveRef& drive, uint32_t bytesPerCluster, RecoveryFolder& folder,
                  const std::string& name, const OpContext& op, RecoverResult& result)
        : drive_(drive),
          bpc_(bytesPerCluster),
          folder_(folder),
          name_(name),
          op_(op),
          result_(result) {
        batch_ = std::max<size_t>(1, (1u << 20) / bpc_);
    }

    // False when the writing failed (result.error set) or was stopped (out.stopped).
    bool Add(Slot s) {
        slots_.push_back(s);
        return slots_.size() < batch_ || Flush();
    }

    bool Flush() {
        if (slots_.empty()) return true;
        buffer_.assign(slots_.size() * static_cast<size_t>(bpc_), 0);
        for (size_t i = 0; i < slots_.size();) {
            if (!slots_[i].read) {
                ++i;
                continue;
            }
            size_t j = i + 1;
            while (j < slots_.size() && slots_[j].read &&
                   slots_[j].byteOffset == slots_[j - 1].byteOffset + bpc_)
                ++j;
            uint8_t* dst = buffer_.data() + i * bpc_;
            if (!ReadBytesAt(drive_, slots_[i].byteOffset, (j - i) * uint64_t{bpc_}, dst)) {
                for (size_t k = i; k < j; ++k) {
                    uint8_t* one = buffer_.data() + k * bpc_;
                    if (!ReadBytesAt(drive_, slots_[k].byteOffset, bpc_, one)) {
                        std::memset(one, 0, bpc_);
                        ++result_.clustersUnread;
                    }
                }
            }
            i = j;
        }
        slots_.clear();
        bool ok = WriteBufferToFile(folder_, name_, buffer_, bpc_, op_, started_, &out_);
        started_ = true;
        if (!ok) result_.error = out_.error;
        return ok && !out_.stopped;
    }

    RecoveredOutput& Output() { return out_; }

  private:
    CRawDriveRef& drive_;
    uint32_t bpc_;
    RecoveryFolder& folder_;
    const std::string& name_;
    const OpContext& op_;
    RecoverResult& result_;
    size_t batch_;
    std::vector<Slot> slots_;
    std::vector<uint8_t> buffer_;
    RecoveredOutput out_;
    bool started_ = false;
};

// Removes the output of a recovery that failed or was stopped, so that nothing
// half-written is left behind looking like a recovered file. Only the file this
// recovery made is removed: while it is open, the name must still lead to its inode
// (a file already closed by a failed FinishOutput was made moments ago under that name).
void DiscardOutput(RecoveryFolder& folder, RecoveredOutput& out, RecoverResult& r) {
    struct stat mine {
    }, named{};
    const bool same =
        out.fd < 0 || (::fstat(out.fd, &mine) == 0 &&
                       ::fstatat(folder.Fd(), out.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                       mine.st_dev == named.st_dev && mine.st_ino == named.st_ino);
    if (out.fd >= 0) ::close(out.fd);
    out.fd = -1;
    if (same && ::unlinkat(folder.Fd(), out.name.c_str(), 0) == 0) {
        r.fileName.clear();
        r.bytesWritten = 0;
        return;
    }
    r.fileName = out.name;
    r.bytesWritten = out.written;
    r.note = TextWith(TextId<1461>, folder.PathOf(out.name));
}

// Ends the output: a finished file is cut to `size` and flushed; the file of a failed
// or stopped recovery is removed.
void Finish(ClusterStream& stream, RecoveryFolder& folder, RecoverResult& r, uint64_t size) {
    RecoveredOutput& out = stream.Output();
    r.fileName = out.name;
    if (out.fd < 0) return;
    if (r.outcome == Outcome::Ok && !FinishOutput(&out, size, true)) {
        if (r.error.empty()) r.error = out.error;
        r.outcome = Outcome::Failed;
    }
    if (r.outcome == Outcome::Ok) {
        r.bytesWritten = out.written;
        return;
    }
    DiscardOutput(folder, out, r);
}

RecoverResult RecoverResident(const OpContext& op, NtfsVolume& vol, const RecoverableFile& item,
                              RecoveryFolder& folder, const std::string& name) {
    RecoverResult r;
    r.clusters = 1;
    MftRecordNumber n = 0;
    std::vector<uint8_t> rec;
    if (!vol.SectorToRecord(item.location, &n) || !vol.ReadRecord(n, &rec)) {
        r.error = TextWith(TextId<1462>, std::to_string(item.location));
        return r;
    }
    FileRecordHeader h;
    if (!ParseRecordHeader(rec, &h) || h.signature != kFileSignature) {
        r.error = TextWith(TextId<1463>, std::to_string(item.location));
        return r;
    }
    // Reused by another file since the search: its data is not this file's.
    if (h.flags & (kRecordInUse | kRecordDirectory)) {
        r.error = Str<1464>();
        return r;
    }
    if (!ApplyFixup(rec, h.usaOffset, h.usaCount)) {
        r.error = Str<1465>();
        return r;
    }
    std::vector<AttributeRef> attrs;
    ListAttributes(rec, &attrs);
    const AttributeRef* data = nullptr;
    for (const AttributeRef& a : attrs) {
        if (a.header.type != kAttrData || a.header.nonResident) continue;
        // The unnamed stream is the file's content; a named one only when there is no
        // unnamed one.
        if (!data || (a.header.name.empty() && !data->header.name.empty())) data = &a;
    }
    if (!data) {
        r.error = Str<1466>();
        return r;
    }
    op.SetRange(ProgressSink::Current, 0, 1);
    op.SetPos(ProgressSink::Current, 0);
    RecoveredOutput out;
    const uint32_t chunk = static_cast<uint32_t>(std::max<size_t>(data->value.size(), 1));
    if (!WriteBufferToFile(folder, name, data->value, chunk, op, false, &out)) {
        r.error = out.error;
        if (out.fd >= 0) DiscardOutput(folder, out, r);
        return r;
    }
    if (data->value.empty()) {
        op.Step(ProgressSink::Current);
        op.Step(ProgressSink::Overall);
    }
    r.fileName = out.name;
    if (out.stopped) {
        r.outcome = Outcome::Stopped;
        DiscardOutput(folder, out, r);
        return r;
    }
    if (!FinishOutput(&out, data->value.size(), true)) {
        r.error = out.error;
        DiscardOutput(folder, out, r);
        return r;
    }
    r.bytesWritten = out.written;
    r.outcome = Outcome::Ok;
    r.complete = true;
    return r;
}

RecoverResult RecoverNtfs(const OpContext& op, RecoveryVolume& vol, const RecoverableFile& item,
                          RecoveryFolder& folder, const std::string& name) {
    RecoverResult r;
    NtfsVolume& ntfs = *vol.ntfs;
    const NtfsBootInfo& b = ntfs.Boot();
    const uint32_t bpc = b.bytesPerCluster;
    const std::vector<DataRun> runs = NtfsItemRuns(ntfs, item);
    if (bpc == 0 || runs.empty()) {
        r.error = Str<1421>();
        return r;
    }
    // What the runs hold is what is written: a size beyond them (a damaged or crafted
    // record) is missing data, never made up as zeros.
    const uint64_t want = ItemClusterCount(item.size, bpc);
    const uint64_t held = want - std::min(want, MissingClusters(runs, item.size, bpc));
    r.clusters = held;
    op.SetRange(ProgressSink::Current, 0, static_cast<int64_t>(held));
    op.SetPos(ProgressSink::Current, 0);
    ClusterStream stream(*vol.drive, bpc, folder, name, op, r);
    uint64_t taken = 0;
    bool going = true;
    for (const DataRun& run : runs) {
        for (uint64_t i = 0; going && i < run.clusterCount && taken < want; ++i, ++taken) {
            Slot s;
            if (!run.sparse) {
                const ClusterIndex c = run.lcn + i;
                if (c >= b.totalClusters) {
                    ++r.clustersUnread;
                } else if (ntfs.IsClusterInUse(c)) {
                    // Another file owns it now: its bytes are not this file's.
                    ++r.clustersZeroed;
                } else {
                    s.read = true;
                    s.byteOffset = c * bpc;
                }
            }
            going = stream.Add(s);
        }
        if (!going || taken >= want) break;
    }
    if (going) going = stream.Flush();
    const bool failed = !r.error.empty();
    r.outcome =
        failed ? Outcome::Failed : (stream.Output().stopped ? Outcome::Stopped : Outcome::Ok);
    // The runs end before the size says: the file ends where they do.
    if (r.outcome == Outcome::Ok && taken < want) r.clustersMissing = want - taken;
    Finish(stream, folder, r, std::min<uint64_t>(item.size, taken * bpc));
    return r;
}

RecoverResult RecoverFat(const OpContext& op, RecoveryVolume& vol, const RecoverableFile& item,
                         RecoveryFolder& folder, const std::string& name) {
    RecoverResult r;
    FatTable& fat = *vol.fat;
    const FatBootInfo& b = fat.Boot();
    const uint32_t bpc = b.bytesPerCluster;
    const uint64_t want = ItemClusterCount(item.size, bpc);
    r.clusters = want;
    if (item.location < 2 || item.location > b.maxCluster) {
        r.error = TextWith(TextId<1467>, std::to_string(item.location));
        return r;
    }
    bool stopped = false;
    const std::vector<uint32_t> clusters =
        FatItemClusters(fat, static_cast<uint32_t>(item.location), want, op, &stopped);
    if (stopped) {
        r.outcome = Outcome::Stopped;
        return r;
    }
    op.SetRange(ProgressSink::Current, 0, static_cast<int64_t>(want));
    op.SetPos(ProgressSink::Current, 0);
    ClusterStream stream(*vol.drive, bpc, folder, name, op, r);
    bool going = true;
    for (uint32_t c : clusters) {
        Slot s;
        s.read = true;
        s.byteOffset = ClusterDriveSector(b, c) * kSectorSize;
        if (!(going = stream.Add(s))) break;
    }
    if (going) going = stream.Flush();
    const bool failed = !r.error.empty();
    r.outcome =
        failed ? Outcome::Failed : (stream.Output().stopped ? Outcome::Stopped : Outcome::Ok);
    // The volume ends before the size says: the file ends with the last cluster there is.
    if (r.outcome == Outcome::Ok) r.clustersMissing = want - clusters.size();
    Finish(stream, folder, r, std::min<uint64_t>(item.size, uint64_t{clusters.size()} * bpc));
    return r;
}

}  // namespace

RecoverResult RecoverFile(const OpContext& op, RecoveryVolume& vol, const RecoverableFile& item,
                          RecoveryFolder& folder) {
    const std::string name = RecoveredFileName(item);
    op.Status(Str<407>() + item.name);
    RecoverResult r;
    if (!vol.drive || !vol.drive->IsOpen()) {
        r.error = Str<1433>();
        return r;
    }
    if (item.fs == FileSystemKind::Ntfs) {
        if (!vol.ntfs) {
            r.error = Str<1468>();
            return r;
        }
        r = item.resident ? RecoverResident(op, *vol.ntfs, item, folder, name)
                          : RecoverNtfs(op, vol, item, folder, name);
    } else {
        if (!vol.fat) {
            r.error = Str<1469>();
            return r;
        }
        r = RecoverFat(op, vol, item, folder, name);
    }
    if (r.outcome != Outcome::Ok) return r;
    r.complete = r.clustersZeroed == 0 && r.clustersUnread == 0 && r.clustersMissing == 0;

    if (item.fs == FileSystemKind::Fat32) {
        // Clearing the entry makes the file unrecoverable by any other tool: only after
        // every byte came back, and only where raw writes are allowed.
        if (!r.complete) {
            r.note = Str<1470>();
        } else if (!vol.clearFatEntries || !vol.drive->IsWritable()) {
            r.note = Str<1471>();
        } else {
            auto cleared = ClearFatDirectoryEntries(
                *vol.drive, *vol.fat, static_cast<uint32_t>(item.directoryCluster), item.name,
                static_cast<uint32_t>(item.location), item.folderDeleted);
            if (cleared && cleared->shortEntries > 0)
                r.entryCleared = true;
            else if (cleared)
                r.note = Str<1472>();
            else
                r.note = Str<1473>();
        }
    }
    return r;
}

RecoveryRunResult RecoverFiles(
    const OpContext& op, RecoveryVolume& vol, const std::vector<const RecoverableFile*>& items,
    RecoveryFolder& folder,
    const std::function<void(const RecoverableFile&, const RecoverResult&)>& onItem) {
    RecoveryRunResult run;
    LogToFile(Str<396>(), op.Log());
    op.Status(Str<397>());
    uint32_t bpc = 0;
    if (vol.ntfs) bpc = vol.ntfs->Boot().bytesPerCluster;
    if (vol.fat) bpc = vol.fat->Boot().bytesPerCluster;
    int64_t total = 0;
    for (const RecoverableFile* f : items) {
        uint64_t n = f->resident ? 1 : ItemClusterCount(f->size, bpc);
        // NTFS: only what the runs hold is read (RecoverNtfs).
        if (!f->resident && f->fs == FileSystemKind::Ntfs && vol.ntfs)
            n -= std::min(n, MissingClusters(NtfsItemRuns(*vol.ntfs, *f), f->size, bpc));
        total += static_cast<int64_t>(n);
    }
    op.SetRange(ProgressSink::Overall, 0, total);
    op.SetPos(ProgressSink::Overall, 0);
    for (const RecoverableFile* f : items) {
        op.PauseCheck();
        if (op.Stopped()) {
            run.stopped = true;
            break;
        }
        RecoverResult r = RecoverFile(op, vol, *f, folder);
        switch (r.outcome) {
            case Outcome::Ok:
                ++run.recovered;
                LogToFile(Str<393>() + " " + folder.Path() + Str<394>() + " " + r.fileName,
                          op.Log());
                break;
            case Outcome::Stopped:
                run.stopped = true;
                break;
            default:
                ++run.failed;
                LogToFile(Str<395>() + " " + f->name, op.Log());
                break;
        }
        if (onItem) onItem(*f, r);
        if (run.stopped) break;
    }
    return run;
}

}  // namespace tw::volume
