// SPDX-License-Identifier: GPL-3.0-or-later
#include "wipe/slack.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "log/activity_log.h"
#include "platform/strings.h"
#include "wipe/deep_clean.h"
#include "wipe/passes.h"
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

bool PwriteAll(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

SlackGeometry ComputeSlack(uint64_t sizeBytes, uint32_t clusterSize) {
    SlackGeometry g;
    if (clusterSize == 0) return g;
    g.clusters = sizeBytes / clusterSize + (sizeBytes % clusterSize != 0 ? 1 : 0);
    g.allocatedBytes = g.clusters * clusterSize;
    g.slackBytes = g.allocatedBytes - sizeBytes;
    return g;
}

bool WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int passCount,
                      bool randomMode, const OpContext* progress, FileTime stamp,
                      const SlackPassObserver* observer) {
    if (slackBytes == 0) return true;
    struct stat st{};
    if (fstat(fd, &st) != 0) return false;
    const timespec ownTime = st.st_mtim;
    const int n = std::max(1, passCount);

    std::vector<uint8_t> buffer;
    try {
        buffer.resize(static_cast<size_t>(slackBytes));
    } catch (const std::bad_alloc&) {
        return false;
    }

    // Reach the end of the last cluster; nothing has been written if this fails.
    if (ftruncate(fd, static_cast<off_t>(sizeBytes + slackBytes)) != 0) return false;
    fdatasync(fd);

    const int total = n + (n > 1 ? 1 : 0);
    if (progress) progress->SetRange(ProgressSink::Current, 0, total);
    bool ok = true;
    for (int i = 0; i < total && ok; ++i) {
        // The last of the N passes and the extra one leave zeros behind, whatever the
        // mode: slack that reads as zeros looks like any freshly written file's.
        if (i >= n - 1)
            std::memset(buffer.data(), 0, buffer.size());
        else
            FillPassBuffer(buffer.data(), buffer.size(), i + 1, randomMode);
        if (progress) progress->Step(ProgressSink::Current, 1);
        ok = PwriteAll(fd, buffer.data(), buffer.size(), sizeBytes) && fdatasync(fd) == 0;
        if (ok && observer && *observer) (*observer)(i, buffer.data(), buffer.size());
    }

    // The file gets its own length back whatever happened to the passes.
    if (ftruncate(fd, static_cast<off_t>(sizeBytes)) != 0) ok = false;
    fdatasync(fd);
    const timespec times[2] = {{0, UTIME_OMIT}, stamp != 0 ? TimespecFromFileTime(stamp) : ownTime};
    if (futimens(fd, times) != 0) ok = false;
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

bool CSlackWiper::WriteSlackPasses(int fd, uint64_t slackBytes, uint64_t sizeBytes, int count,
                                   bool randomMode, FileTime stamp) const {
    return wipe::WriteSlackPasses(fd, slackBytes, sizeBytes, count, randomMode, progressPage, stamp,
                                  passObserver ? &passObserver : nullptr);
}

uint32_t CSlackWiper::ClusterFor(int fd) const {
    if (clusterSize != 0) return clusterSize;
    struct statvfs sv{};
    if (fstatvfs(fd, &sv) != 0) return 0;
    unsigned long size = sv.f_frsize ? sv.f_frsize : sv.f_bsize;
    return size > (1u << 30) ? 0 : static_cast<uint32_t>(size);
}

std::string CSlackWiper::SlackLogLine(const SlackLogRecord& r, uint32_t cluster) const {
    std::string line;
    if (r.noSlack)
        line = "No slack to wipe in file: ";
    else
        line = (r.result ? wipedText : couldNotText) + ": ";
    line += r.path;
    if (r.compressed) line += " (Compressed) ";
    line += " File Size: " + std::to_string(r.fileSize) + " (b)";
    line += " Cluster size: " + std::to_string(cluster);
    line += " Number Of Clusters: " + std::to_string(r.clusters);
    if (!r.noSlack) line += " Total slack wiped: " + std::to_string(r.slackLength) + " (b)";
    return line;
}

void CSlackWiper::LogSlackResult(const SlackLogRecord& record) const {
    if (!logOn || !logWriter || !detailLog) return;
    log::LogToFile(SlackLogLine(record, clusterSize), logWriter);
}

bool CSlackWiper::WipeFileSlack(const std::string& folder, const std::string& name, uint64_t size,
                                bool randomMode, bool listItem, bool keepOwnTime,
                                const std::string& driveText) {
    int dirFd = open(folder.empty() ? "." : folder.c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool r = WipeAt(dirFd, folder, name, size, nullptr, false, randomMode, listItem, keepOwnTime,
                    driveText);
    if (dirFd >= 0) close(dirFd);
    return r;
}

bool CSlackWiper::WipeFileSlack(const WalkFile& file, bool randomMode, bool listItem,
                                bool keepOwnTime, const std::string& driveText) {
    return WipeAt(file.dirFd, file.folder, file.name, file.facts.sizeBytes, &file.facts,
                  file.facts.compressed, randomMode, listItem, keepOwnTime, driveText);
}

bool CSlackWiper::WipeAt(int dirFd, const std::string& folder, const std::string& name,
                         uint64_t size, const FileFacts* expected, bool compressed, bool randomMode,
                         bool listItem, bool keepOwnTime, const std::string& driveText) {
    SlackLogRecord rec;
    rec.path = JoinPath(folder, name);
    rec.compressed = compressed;
    rec.fileSize = size;

    // Write access, no link followed, no blocking on a FIFO put in the file's place;
    // then it must be the regular file we were given, and no one may hold it locked
    // (the closest this system has to opening without sharing).
    int fd = dirFd >= 0 ? openat(dirFd, name.c_str(),
                                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                        : -1;
    struct stat st{};
    if (fd >= 0) {
        bool same = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    (!expected || (st.st_ino == expected->ino && st.st_dev == expected->dev)) &&
                    flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!same) {
            close(fd);
            fd = -1;
        }
    }

    uint32_t cluster = clusterSize;
    if (fd >= 0) {
        cluster = ClusterFor(fd);
        rec.fileSize = static_cast<uint64_t>(st.st_size);
        const SlackGeometry g = ComputeSlack(rec.fileSize, cluster);
        rec.clusters = g.clusters;
        rec.slackLength = g.slackBytes;

        FileTime stamp = 0;
        if (!keepOwnTime && store_) {
            const FileTime driveStamp = ReadDeepCleanStamp(*store_, driveText);
            if (driveStamp != 0 && FileTimeFromTimespec(st.st_mtim) <= driveStamp) stamp = driveStamp;
        }
        if (cluster == 0) {
            rec.result = false;  // no geometry: nothing can be computed, nothing written
        } else if (g.slackBytes == 0) {
            rec.noSlack = true;
            rec.result = true;
        } else {
            rec.result = WriteSlackPasses(fd, g.slackBytes, rec.fileSize, passCount, randomMode, stamp);
        }
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
    lastRecord = rec;
    if (listItem && onListItem) onListItem(rec);
    if (logOn && logWriter && detailLog) log::LogToFile(SlackLogLine(rec, cluster), logWriter);
    return rec.result;
}

Outcome CSlackWiper::WipeSlacks(const OpContext& op, const std::string& start,
                                const std::string& driveText, const CCountingWalk* counts) {
    filesWiped = filesNoSlack = filesFailed = slackBytesWiped = 0;
    const OpContext* savedProgress = progressPage;
    progressPage = &op;
    CTimeRemaining estimate;
    estimate.Start();
    op.SetRange(ProgressSink::Overall, 0, kProgressRange);
    op.TimeText(estimate.Text());
    uint64_t done = 0;

    CDriveWalker walker;
    walker.onFile = [&](const WalkFile& f) {
        if (counts) {
            const uint64_t total = counts->Record().files.load();
            if (total > 0) {
                if (estimate.Update(std::min(done, total), total)) op.TimeText(estimate.Text());
                op.SetPos(ProgressSink::Overall,
                          ProgressPos(std::min(done, total), total));
            }
        }
        op.Status(wipingText + " " + f.Path());
        WipeFileSlack(f, f.facts.compressed, false, false, driveText);
        ++done;
    };
    walker.onFolderEnd = [&](int, const std::string& folder) {
        if (logOn && logWriter) log::LogToFile(wipedDirText + ": " + folder, logWriter);
    };
    Outcome r = walker.Walk(op, start);
    if (r == Outcome::Failed) walkError_ = walker.error();
    if (r == Outcome::Ok) op.SetPos(ProgressSink::Overall, kProgressRange);
    progressPage = savedProgress;
    return r;
}

}  // namespace tw::wipe
