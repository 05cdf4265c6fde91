// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/raw_drive.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifdef TW_HAVE_URING
#include <liburing.h>
#endif

#include "platform/fileio.h"
#include "platform/rawio.h"

namespace tw::volume {

namespace {

constexpr int kTextClosed = TextId<1052>;
constexpr int kTextRead = TextId<1053>;
constexpr int kTextOpenedReadOnly = TextId<1056>;
constexpr int kTextWrite = TextId<1057>;
constexpr int kTextReadOutside = TextId<1058>;
constexpr int kTextWriteOutside = TextId<1059>;

// Errors of this layer carry the sector number where other layers put a byte offset:
// the texts say "at sector %2".
int64_t Sector(uint64_t sector) { return static_cast<int64_t>(sector); }

}  // namespace

void CRawDrive::ReadScattered(std::span<SectorRead> reads) {
    for (SectorRead& r : reads) r.ok = ReadSectors(r.sector, r.buffer, r.byteCount);
}

// ---- CRawDriveImage / CRawDriveDevice ----

struct CRawDriveImage::Ring {
#ifdef TW_HAVE_URING
    static constexpr unsigned kDepth = 256;
    io_uring ring{};
    bool live = false;
    ~Ring() {
        if (live) io_uring_queue_exit(&ring);
    }
#endif
};

CRawDriveImage::~CRawDriveImage() { CRawDriveImage::Close(); }

bool CRawDriveImage::OpenVolume(const std::string& source, bool forWrite) {
    Close();
    failure_.reset();
    source_ = source;
    Result<int> opened =
        forWrite ? platform::OpenRawForWrite(source) : platform::OpenRawForRead(source);
    if (!opened) {
        failure_ = opened.error();
        return false;
    }
    fd_ = *opened;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        failure_ = Error::FromErrno(source);
        Close();
        return false;
    }
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd_, BLKGETSIZE64, &bytes) != 0) {
            failure_ = Error(ErrorCode::Io, source, errno).Says(TextId<1050>);
            Close();
            return false;
        }
        size_ = bytes;
    } else {
        size_ = static_cast<uint64_t>(st.st_size);
    }
    writable_ = forWrite;
    return true;
}

bool CRawDriveDevice::OpenVolume(const std::string& source, bool forWrite) {
    if (platform::ClassifyRawSource(source) != platform::RawKind::BlockDevice) {
        failure_ = Error(ErrorCode::Unsupported, source).Says(TextId<1051>);
        return false;
    }
    if (!CRawDriveImage::OpenVolume(source, forWrite)) return false;
    // A file system mounted on the device writes file data straight to the disk, past the
    // device's own page cache, which may still hold what those sectors held before: a
    // raw read would then show a deleted file's old bytes, or slack that was wiped.
    // Dropping the device's clean cached pages makes every read come from the disk.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_DONTNEED);
    return true;
}

void CRawDriveImage::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    size_ = 0;
    writable_ = false;
}

bool CRawDriveImage::ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) {
    if (fd_ < 0) {
        failure_ = Error(ErrorCode::Invalid, source_).Says(kTextClosed);
        return false;
    }
    auto* p = static_cast<uint8_t*>(buffer);
    uint64_t offset = sector * kSectorSize;
    uint32_t done = 0;
    // The one place where short transfers are continued.
    while (done < byteCount) {
        ssize_t n = ::pread(fd_, p + done, byteCount - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            failure_ = Error(ErrorCode::Io, source_, errno).At(Sector(sector)).Says(kTextRead);
            return false;
        }
        if (n == 0) {
            failure_ = Error(ErrorCode::ShortRead, source_).At(Sector(sector)).Says(TextId<1054>);
            return false;
        }
        done += static_cast<uint32_t>(n);
    }
    return true;
}

void CRawDriveImage::ReadScattered(std::span<SectorRead> reads) {
#ifdef TW_HAVE_URING
    if (!ring_ && !ringFailed_ && fd_ >= 0) {
        const char* off = std::getenv("TIDEWIPE_NO_IO_URING");
        auto ring = std::make_unique<Ring>();
        ring->live = !(off && *off && std::strcmp(off, "0") != 0) &&
                     io_uring_queue_init(Ring::kDepth, &ring->ring, 0) == 0;
        if (ring->live)
            ring_ = std::move(ring);
        else
            ringFailed_ = true;
    }
    size_t at = 0;
    while (ring_ && fd_ >= 0 && at < reads.size()) {
        const unsigned n = static_cast<unsigned>(std::min<size_t>(Ring::kDepth, reads.size() - at));
        for (unsigned i = 0; i < n; ++i) {
            SectorRead& r = reads[at + i];
            r.ok = false;
            io_uring_sqe* sqe = io_uring_get_sqe(&ring_->ring);
            io_uring_prep_read(sqe, fd_, r.buffer, r.byteCount, r.sector * kSectorSize);
            io_uring_sqe_set_data64(sqe, at + i);
        }
        int submitted;
        do {
            submitted = io_uring_submit_and_wait(&ring_->ring, n);
        } while (submitted == -EINTR);
        unsigned reaped = 0;
        const unsigned expect = submitted > 0 ? static_cast<unsigned>(submitted) : 0;
        while (reaped < expect) {
            io_uring_cqe* cqe = nullptr;
            int w;
            do {
                w = io_uring_wait_cqe(&ring_->ring, &cqe);
            } while (w == -EINTR);
            if (w < 0 || cqe == nullptr) break;
            SectorRead& r = reads[io_uring_cqe_get_data64(cqe)];
            // A short or failed piece is read again below, which continues a short
            // transfer and keeps the error of one that fails.
            r.ok = cqe->res == static_cast<int>(r.byteCount);
            io_uring_cqe_seen(&ring_->ring, cqe);
            ++reaped;
        }
        if (expect < n || reaped < expect) {
            // The ring broke down: what it did not finish is read without it, and so
            // is every later batch.
            ring_.reset();
            ringFailed_ = true;
        }
        for (unsigned i = 0; i < n; ++i) {
            SectorRead& r = reads[at + i];
            if (!r.ok) r.ok = ReadSectors(r.sector, r.buffer, r.byteCount);
        }
        at += n;
    }
    if (at < reads.size()) CRawDrive::ReadScattered(reads.subspan(at));
#else
    CRawDrive::ReadScattered(reads);
#endif
}

bool CRawDriveImage::FlushWrites() {
    if (fd_ < 0) return false;
    if (!writable_) return true;
    if (::fdatasync(fd_) != 0) {
        failure_ = Error(ErrorCode::Io, source_, errno).Says(TextId<1055>);
        return false;
    }
    return true;
}

void CRawDriveImage::DropCached(uint64_t sector, uint64_t byteCount) {
    if (fd_ >= 0)
        posix_fadvise(fd_, static_cast<off_t>(sector * kSectorSize), static_cast<off_t>(byteCount),
                      POSIX_FADV_DONTNEED);
}

bool CRawDriveImage::WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) {
    if (fd_ < 0 || !writable_) {
        failure_ = Error(ErrorCode::ReadOnly, source_).Says(kTextOpenedReadOnly);
        return false;
    }
    // A write that takes nothing is reported as ENOSPC.
    if (!platform::PwriteAll(fd_, buffer, byteCount, static_cast<off_t>(sector * kSectorSize))) {
        failure_ = Error(ErrorCode::Io, source_, errno).At(Sector(sector)).Says(kTextWrite);
        return false;
    }
    return true;
}

// ---- CRawDriveMemory ----

bool CRawDriveMemory::OpenVolume(const std::string& source, bool forWrite) {
    open_ = true;
    writable_ = forWrite;
    source_ = source;
    failure_.reset();
    return true;
}

bool CRawDriveMemory::ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) {
    ++readCalls;
    uint64_t offset = sector * kSectorSize;
    if (!open_ || offset > bytes_.size() || byteCount > bytes_.size() - offset) {
        failure_ = Error(ErrorCode::Invalid, source_).At(Sector(sector)).Says(kTextReadOutside);
        return false;
    }
    std::memcpy(buffer, bytes_.data() + offset, byteCount);
    return true;
}

bool CRawDriveMemory::WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) {
    ++writeCalls;
    uint64_t offset = sector * kSectorSize;
    if (!open_ || !writable_ || offset > bytes_.size() || byteCount > bytes_.size() - offset) {
        failure_ = Error(writable_ ? ErrorCode::Invalid : ErrorCode::ReadOnly, source_)
                       .At(Sector(sector))
                       .Says(writable_ ? kTextWriteOutside : kTextOpenedReadOnly);
        return false;
    }
    std::memcpy(bytes_.data() + offset, buffer, byteCount);
    return true;
}

// ---- CRawDriveFaulty ----

bool CRawDriveFaulty::OpenVolume(const std::string& source, bool forWrite) {
    bool ok = inner_->OpenVolume(source, forWrite);
    failure_ = inner_->Failure();
    return ok;
}

bool CRawDriveFaulty::Hits(const std::set<uint64_t>& s, uint64_t sector, uint32_t byteCount,
                           uint64_t* first) const {
    uint64_t end = sector + (byteCount + kSectorSize - 1) / kSectorSize;
    auto it = s.lower_bound(sector);
    if (it == s.end() || *it >= end) return false;
    *first = *it;
    return true;
}

bool CRawDriveFaulty::ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) {
    uint64_t bad = 0;
    if (Hits(failSectors, sector, byteCount, &bad)) {
        failure_ = Error(ErrorCode::Io, inner_->Source(), EIO).At(Sector(bad)).Says(kTextRead);
        return false;
    }
    if (Hits(shortSectors, sector, byteCount, &bad)) {
        // Deliver what lies before the bad sector, then report the short read.
        uint32_t good = static_cast<uint32_t>((bad - sector) * kSectorSize);
        if (good > 0) inner_->ReadSectors(sector, buffer, good);
        failure_ = Error(ErrorCode::ShortRead, inner_->Source()).At(Sector(bad)).Says(TextId<1061>);
        return false;
    }
    bool ok = inner_->ReadSectors(sector, buffer, byteCount);
    failure_ = inner_->Failure();
    return ok;
}

bool CRawDriveFaulty::WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) {
    uint64_t bad = 0;
    if (Hits(failSectors, sector, byteCount, &bad)) {
        failure_ = Error(ErrorCode::Io, inner_->Source(), EIO).At(Sector(bad)).Says(kTextWrite);
        return false;
    }
    bool ok = inner_->WriteSectors(sector, buffer, byteCount);
    failure_ = inner_->Failure();
    return ok;
}

// ---- CRawDriveRef ----

CRawDriveRef::CRawDriveRef(std::unique_ptr<CRawDrive> backend)
    : drive_(std::move(backend)), given_(drive_ != nullptr) {}

CRawDriveRef::~CRawDriveRef() { Close(); }

bool CRawDriveRef::Open(const std::string& source, bool forWrite) {
    Close();
    source_ = source;
    failure_.reset();
    if (!given_) {
        switch (platform::ClassifyRawSource(source)) {
            case platform::RawKind::BlockDevice:
                drive_ = std::make_unique<CRawDriveDevice>();
                break;
            case platform::RawKind::RegularFile:
                drive_ = std::make_unique<CRawDriveImage>();
                break;
            case platform::RawKind::Missing:
                failure_ = Error(ErrorCode::NotFound, source);
                return false;
            case platform::RawKind::Other:
                failure_ = Error(ErrorCode::Unsupported, source).Says(TextId<1030>);
                return false;
        }
    }
    if (!drive_) {
        failure_ = Error(ErrorCode::Invalid, source).Says(TextId<1062>);
        return false;
    }
    if (!drive_->OpenVolume(source, forWrite)) {
        failure_ = drive_->Failure();
        return false;
    }
    open_ = true;
    writable_ = forWrite;
    return true;
}

void CRawDriveRef::Close() {
    if (drive_) drive_->Close();
    open_ = false;
    writable_ = false;
}

void CRawDriveRef::ReadScattered(std::span<SectorRead> reads) {
    bool allValid = true;
    for (SectorRead& r : reads) {
        r.ok = r.buffer != nullptr && Check(r.sector, r.byteCount, false);
        allValid = allValid && r.ok;
    }
    if (reads.empty() || !open_ || !drive_) return;
    if (allValid) {
        drive_->ReadScattered(reads);
    } else {
        // Only the pieces that passed the check reach the backend.
        std::vector<SectorRead> valid;
        for (const SectorRead& r : reads)
            if (r.ok) valid.push_back(r);
        drive_->ReadScattered(valid);
        size_t k = 0;
        for (SectorRead& r : reads)
            if (r.ok) r.ok = valid[k++].ok;
    }
    for (const SectorRead& r : reads)
        if (!r.ok && drive_->Failure()) failure_ = drive_->Failure();
}

uint64_t CRawDriveRef::SizeBytes() const { return open_ && drive_ ? drive_->SizeBytes() : 0; }

bool CRawDriveRef::Check(uint64_t sector, uint32_t byteCount, bool write) {
    if (!open_ || !drive_) {
        failure_ = Error(ErrorCode::Invalid, source_).Says(kTextClosed);
        return false;
    }
    if (byteCount == 0 || byteCount % kSectorSize != 0) {
        failure_ =
            Error(ErrorCode::Invalid, source_).With(std::to_string(byteCount)).Says(TextId<1060>);
        return false;
    }
    uint64_t size = drive_->SizeBytes();
    uint64_t sectors = size / kSectorSize;
    uint64_t count = byteCount / kSectorSize;
    if (sector >= sectors || count > sectors - sector) {
        failure_ = Error(ErrorCode::Invalid, source_)
                       .At(Sector(sector))
                       .Says(write ? kTextWriteOutside : kTextReadOutside);
        return false;
    }
    return true;
}

bool CRawDriveRef::Read(uint64_t sector, void* buffer, uint32_t byteCount) {
    if (!buffer || !Check(sector, byteCount, false)) return false;
    if (!drive_->ReadSectors(sector, buffer, byteCount)) {
        failure_ = drive_->Failure();
        return false;
    }
    return true;
}

bool CRawDriveRef::Write(uint64_t sector, const void* buffer, uint32_t byteCount) {
    if (!buffer || !Check(sector, byteCount, true)) return false;
    if (!writable_) {
        failure_ = Error(ErrorCode::ReadOnly, source_).Says(kTextOpenedReadOnly);
        return false;
    }
    if (!drive_->WriteSectors(sector, buffer, byteCount)) {
        failure_ = drive_->Failure();
        return false;
    }
    return true;
}

bool CRawDriveRef::Flush() {
    if (!open_ || !writable_) {
        failure_ = Error(ErrorCode::ReadOnly, source_).Says(kTextOpenedReadOnly);
        return false;
    }
    if (!drive_->FlushWrites()) {
        failure_ = drive_->Failure();
        return false;
    }
    return true;
}

void CRawDriveRef::DropCached(uint64_t sector, uint64_t byteCount) {
    if (open_) drive_->DropCached(sector, byteCount);
}

}  // namespace tw::volume
