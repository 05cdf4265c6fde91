// SPDX-License-Identifier: GPL-3.0-or-later
// Raw access to a volume by absolute 512-byte sector: the one way every reader and
// writer below the file system (NTFS, FAT32, the search, recovery, the data viewer)
// touches a volume.
//
// A small polymorphic backend (`CRawDrive`) does the transfers; the owning holder
// (`CRawDriveRef`) checks every request once at the top, chooses the backend from what
// the source is, and routes every open for writing through the safety gate of
// platform/rawio.h.
//
// Sector N of a volume is at byte N x 512 of its block device or image file; sector 0
// is the volume's boot sector.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"

namespace tw::volume {

inline constexpr uint32_t kSectorSize = 512;

// One piece of a scattered read: `byteCount` bytes (whole sectors) from `sector` into
// `buffer`. `ok` says whether that piece was read in full.
struct SectorRead {
    uint64_t sector = 0;
    void* buffer = nullptr;
    uint32_t byteCount = 0;
    bool ok = false;
};

// One backend. Backends do the transfer only; the holder has already checked that
// byteCount is a whole number of sectors and that the range lies inside the volume.
class CRawDrive {
  public:
    virtual ~CRawDrive() = default;
    // Opens `source` (read-only unless forWrite). False on failure; LastError() says why.
    virtual bool OpenVolume(const std::string& source, bool forWrite) = 0;
    // Closes the source; harmless when closed.
    virtual void Close() = 0;
    // Transfers byteCount bytes at byte offset sector x 512. False on any failure,
    // including a transfer that ends early (end of the source, I/O error).
    virtual bool ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) = 0;
    virtual bool WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) = 0;
    // Makes every write so far reach the disk (writes are buffered by the kernel until
    // then). True for backends with nothing to flush.
    virtual bool FlushWrites() { return true; }
    // Drops what the kernel keeps cached of the range, so that the next read of it comes
    // from the disk (a read-back after FlushWrites). Nothing to drop without a cache.
    virtual void DropCached(uint64_t /*sector*/, uint64_t /*byteCount*/) {}
    // Size of the opened source in bytes; 0 when closed.
    virtual uint64_t SizeBytes() const = 0;
    // Reads many scattered pieces, setting each piece's `ok`; a failed piece does not
    // stop the others. The default reads them one after the other.
    virtual void ReadScattered(std::span<SectorRead> reads);
    // Why the last operation failed (empty when it did not).
    const std::optional<Error>& Failure() const { return failure_; }
    // The source given to the last OpenVolume: the subject of its errors.
    const std::string& Source() const { return source_; }

  protected:
    std::optional<Error> failure_;
    std::string source_;
};

// A volume image file: sector N at byte N x 512. Reads and writes are positioned
// (pread/pwrite); short transfers are looped over; a read past the end fails.
// Scattered reads go to the kernel together through io_uring (one system call for a
// whole batch; positioned reads one by one where io_uring is missing or refused, or
// when TIDEWIPE_NO_IO_URING is set). Opening for writing goes through
// tw::platform::OpenRawForWrite.
class CRawDriveImage : public CRawDrive {
  public:
    ~CRawDriveImage() override;
    bool OpenVolume(const std::string& source, bool forWrite) override;
    void Close() override;
    bool ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) override;
    bool WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) override;
    bool FlushWrites() override;
    void DropCached(uint64_t sector, uint64_t byteCount) override;
    uint64_t SizeBytes() const override { return size_; }
    void ReadScattered(std::span<SectorRead> reads) override;

  protected:
    int fd_ = -1;
    uint64_t size_ = 0;
    bool writable_ = false;

  private:
    struct Ring;  // made on the first scattered read
    std::unique_ptr<Ring> ring_;
    bool ringFailed_ = false;
};

// A block device (/dev/sdb1, /dev/loop0p1). Same transfers as an image; the size comes
// from BLKGETSIZE64. Opening for writing is refused while the device is mounted
// read-write (the gate opens it O_EXCL).
class CRawDriveDevice : public CRawDriveImage {
  public:
    bool OpenVolume(const std::string& source, bool forWrite) override;
};

// A volume held in memory (unit tests, fuzzing). The source text is ignored by
// OpenVolume; the bytes are given to the constructor and can be read back.
class CRawDriveMemory : public CRawDrive {
  public:
    explicit CRawDriveMemory(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool OpenVolume(const std::string& source, bool forWrite) override;
    void Close() override { open_ = false; }
    bool ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) override;
    bool WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) override;
    uint64_t SizeBytes() const override { return open_ ? bytes_.size() : 0; }
    std::vector<uint8_t>& Bytes() { return bytes_; }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    // Counts of transfers, for tests that check how a caller reads.
    uint64_t readCalls = 0;
    uint64_t writeCalls = 0;

  private:
    std::vector<uint8_t> bytes_;
    bool open_ = false;
    bool writable_ = false;
};

// Wraps another backend and injects faults: any transfer touching a sector in
// `failSectors` fails (as EIO would); a read touching a sector in `shortSectors`
// delivers only the sectors before it and fails (a short read).
class CRawDriveFaulty : public CRawDrive {
  public:
    explicit CRawDriveFaulty(std::unique_ptr<CRawDrive> inner) : inner_(std::move(inner)) {}
    bool OpenVolume(const std::string& source, bool forWrite) override;
    void Close() override { inner_->Close(); }
    bool ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) override;
    bool WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) override;
    void DropCached(uint64_t sector, uint64_t byteCount) override {
        inner_->DropCached(sector, byteCount);
    }
    uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
    CRawDrive& Inner() { return *inner_; }

    std::set<uint64_t> failSectors;
    std::set<uint64_t> shortSectors;

  private:
    bool Hits(const std::set<uint64_t>& s, uint64_t sector, uint32_t byteCount,
              uint64_t* first) const;
    std::unique_ptr<CRawDrive> inner_;
};

// The owning holder. Either chooses its backend on Open from what the source is
// (a block device gets CRawDriveDevice, a regular file CRawDriveImage; a mounted folder
// must be resolved to its device by the caller first), or uses the backend given to
// the constructor for every Open.
class CRawDriveRef {
  public:
    CRawDriveRef() = default;
    explicit CRawDriveRef(std::unique_ptr<CRawDrive> backend);
    ~CRawDriveRef();
    CRawDriveRef(const CRawDriveRef&) = delete;
    CRawDriveRef& operator=(const CRawDriveRef&) = delete;

    // Opens the source read-only, or for writing when forWrite (through the raw-write
    // gate: an image file, or a block device not mounted read-write, opened O_EXCL).
    // A previous open is closed first. False on failure, with LastError() set.
    bool Open(const std::string& source, bool forWrite = false);
    void Close();
    // Whole sectors only: byteCount must be a non-zero multiple of 512 and the range
    // must lie inside the volume; otherwise false without touching the backend.
    bool Read(uint64_t sector, void* buffer, uint32_t byteCount);
    // As Read; also false when the drive was not opened for writing. A write lands in
    // the kernel's cache first: overwrite passes that must each reach the disk call
    // Flush between them.
    bool Write(uint64_t sector, const void* buffer, uint32_t byteCount);
    // Waits until every write so far is on the disk (fdatasync). False when it failed or
    // the drive is not open for writing.
    bool Flush();
    // Drops the kernel's cached copy of the range: the next Read of it comes from the
    // disk, as a read-back of what was written must (call Flush first).
    void DropCached(uint64_t sector, uint64_t byteCount);
    // Size of the opened volume in bytes (0 when closed).
    uint64_t SizeBytes() const;
    // Reads scattered pieces together, each checked as Read checks it (a piece outside
    // the volume is not read); sets each piece's `ok`. Failure() tells about the last
    // piece that failed.
    void ReadScattered(std::span<SectorRead> reads);
    bool IsOpen() const { return open_; }
    bool IsWritable() const { return open_ && writable_; }
    // The source text given to the last Open.
    const std::string& Source() const { return source_; }
    // Why the last call failed (empty when it did not). LastError() is the same for a
    // caller that knows a call failed (a general I/O error on the source when none is
    // kept); the front end turns it into words with ErrorText.
    const std::optional<Error>& Failure() const { return failure_; }
    Error LastError() const { return failure_.value_or(Error(ErrorCode::Io, source_)); }

  private:
    bool Check(uint64_t sector, uint32_t byteCount, bool write);
    std::unique_ptr<CRawDrive> drive_;
    bool given_ = false;  // backend came from the constructor: never replaced
    bool open_ = false;
    bool writable_ = false;
    std::string source_;
    std::optional<Error> failure_;
};

}  // namespace tw::volume
