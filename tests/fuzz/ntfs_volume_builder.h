// SPDX-License-Identifier: GPL-3.0-or-later
// NTFS file records built attribute by attribute and stamped with their update
// sequence, for the NTFS unit tests, the fuzz targets and their seeds; and a small
// volume built in memory: a boot sector, a $MFT of 64 records of 1 KiB with the records
// the search needs ($MFT, the root folder, $Bitmap), the bitmap, and a data area of
// non-uniform bytes.
//
// Layout (512-byte sectors, one sector per cluster, 512 clusters):
//   clusters 16..143   the $MFT (64 records of 1024 bytes)
//   cluster  200       the $Bitmap (64 bytes: clusters 0..143, 200 and 300..309 in use)
//   clusters 300..511  file data, filled with a repeating non-uniform pattern
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace tw::volume::fuzzing {

inline constexpr uint32_t kNtfsRecordSize = 1024;
inline constexpr uint32_t kNtfsClusters = 512;
inline constexpr uint32_t kNtfsMftCluster = 16;
inline constexpr uint32_t kNtfsMftRecords = 64;
inline constexpr uint32_t kNtfsBitmapCluster = 200;
inline constexpr uint32_t kNtfsFirstFreeRecord = 23;

inline void NtfsPut16(uint8_t* p, uint64_t v) { platform::PutLe16(p, static_cast<uint16_t>(v)); }
inline void NtfsPut32(uint8_t* p, uint64_t v) { platform::PutLe32(p, static_cast<uint32_t>(v)); }
inline void NtfsPut64(uint8_t* p, uint64_t v) { platform::PutLe64(p, v); }

// One run of a run list: `delta` clusters from the previous run's start (sparse when
// `sparse`), `count` clusters long.
struct RunSpec {
    int64_t delta;
    uint64_t count;
    bool sparse = false;
};

inline std::vector<uint8_t> EncodeRuns(const std::vector<RunSpec>& runs) {
    std::vector<uint8_t> out;
    for (const RunSpec& r : runs) {
        uint8_t len[8], off[8];
        int L = 0, O = 0;
        for (uint64_t v = r.count; v != 0 || L == 0; v >>= 8) len[L++] = v & 0xFF;
        if (!r.sparse) {
            int64_t v = r.delta;
            do {
                off[O++] = static_cast<uint8_t>(v & 0xFF);
                v >>= 8;
            } while (!((v == 0 && !(off[O - 1] & 0x80)) || (v == -1 && (off[O - 1] & 0x80))));
        }
        out.push_back(static_cast<uint8_t>((O << 4) | L));
        out.insert(out.end(), len, len + L);
        out.insert(out.end(), off, off + O);
    }
    out.push_back(0);
    return out;
}

// Builds one file record attribute by attribute; Finish() ends the list and stamps the
// update sequence.
class RecordBuilder {
  public:
    // `clusterBytes` sizes the allocation of non-resident attributes; `usn` is the update
    // sequence number Finish() stamps.
    RecordBuilder(uint16_t flags, uint16_t sequence = 1, uint32_t recordSize = kNtfsRecordSize,
                  uint32_t clusterBytes = 512, uint16_t usn = 0x0101)
        : rec_(recordSize, 0), clusterBytes_(clusterBytes), usn_(usn) {
        const uint16_t usaCount = static_cast<uint16_t>(recordSize / 512 + 1);
        std::memcpy(rec_.data(), "FILE", 4);
        NtfsPut16(&rec_[0x04], 0x30);  // update sequence array offset
        NtfsPut16(&rec_[0x06], usaCount);
        NtfsPut16(&rec_[0x10], sequence);
        NtfsPut16(&rec_[0x12], 1);
        at_ = (0x30 + 2u * usaCount + 7) & ~7u;
        NtfsPut16(&rec_[0x14], at_);
        NtfsPut16(&rec_[0x16], flags);
        NtfsPut32(&rec_[0x1C], recordSize);
    }

    // Makes this an extension record of `base` (header offsets 0x20 and 0x26).
    RecordBuilder& Base(uint64_t base, uint16_t sequence) {
        NtfsPut64(&rec_[0x20], base | (uint64_t{sequence} << 48));
        return *this;
    }
    RecordBuilder& StandardInformation(uint64_t created, uint64_t modified, uint32_t bits) {
        uint8_t v[0x48] = {};
        NtfsPut64(v + 0x00, created);
        NtfsPut64(v + 0x08, modified);
        NtfsPut32(v + 0x20, bits);
        return Resident(0x10, v, sizeof v);
    }
    RecordBuilder& FileName(uint64_t parent, uint16_t parentSeq, const std::u16string& name,
                            uint8_t nameSpace = 1) {
        std::vector<uint8_t> v(0x42 + 2 * name.size(), 0);
        NtfsPut64(&v[0], parent | (uint64_t{parentSeq} << 48));
        v[0x40] = static_cast<uint8_t>(name.size());
        v[0x41] = nameSpace;
        for (size_t i = 0; i < name.size(); ++i) NtfsPut16(&v[0x42 + 2 * i], name[i]);
        return Resident(0x30, v.data(), v.size());
    }
    RecordBuilder& ResidentData(const std::string& bytes) {
        return Resident(0x80, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    RecordBuilder& NonResident(uint32_t type, const std::vector<RunSpec>& runs, uint64_t realSize,
                               uint64_t firstVcn = 0) {
        const std::vector<uint8_t> rl = EncodeRuns(runs);
        const uint32_t len = Align8(0x40 + static_cast<uint32_t>(rl.size()));
        uint8_t* a = Reserve(len);
        NtfsPut32(a + 0x00, type);
        NtfsPut32(a + 0x04, len);
        a[0x08] = 1;
        NtfsPut16(a + 0x0A, 0x40);
        NtfsPut64(a + 0x10, firstVcn);
        uint64_t clusters = 0;
        for (const RunSpec& r : runs) clusters += r.count;
        NtfsPut64(a + 0x18, firstVcn + clusters - 1);
        NtfsPut16(a + 0x20, 0x40);
        NtfsPut64(a + 0x28, clusters * clusterBytes_);
        NtfsPut64(a + 0x30, realSize);
        NtfsPut64(a + 0x38, realSize);
        std::memcpy(a + 0x40, rl.data(), rl.size());
        return *this;
    }
    // A resident attribute list naming (type, record, sequence) entries.
    struct ListEntry {
        uint32_t type;
        uint64_t record;
        uint16_t sequence;
    };
    RecordBuilder& AttributeList(const std::vector<ListEntry>& entries) {
        std::vector<uint8_t> v(entries.size() * 32, 0);
        for (size_t i = 0; i < entries.size(); ++i) {
            uint8_t* e = &v[i * 32];
            NtfsPut32(e + 0x00, entries[i].type);
            NtfsPut16(e + 0x04, 32);
            e[0x07] = 0x1A;
            NtfsPut64(e + 0x10, entries[i].record | (uint64_t{entries[i].sequence} << 48));
        }
        return Resident(0x20, v.data(), v.size());
    }

    // Ends the attribute list. `stamp`: write the update sequence as on a volume; without
    // it the record stays as a reader sees it after the fix-up.
    std::vector<uint8_t> Finish(bool stamp = true) {
        uint8_t* end = Reserve(8);
        NtfsPut32(end, 0xFFFFFFFF);
        NtfsPut32(&rec_[0x18], at_);
        if (stamp) StampFixup(rec_.data(), rec_.size(), usn_);
        return rec_;
    }

    // Moves the block-end bytes into the update sequence array and writes the update
    // sequence number over them, as a record lies on the volume.
    static void StampFixup(uint8_t* rec, size_t size, uint16_t usn) {
        const uint16_t usaOffset = static_cast<uint16_t>(rec[4] | (rec[5] << 8));
        const size_t blocks = size / 512;
        if (usaOffset + 2 * (blocks + 1) >= 510) return;
        NtfsPut16(rec + usaOffset, usn);
        for (size_t k = 1; k <= blocks; ++k) {
            rec[usaOffset + 2 * k] = rec[k * 512 - 2];
            rec[usaOffset + 2 * k + 1] = rec[k * 512 - 1];
            NtfsPut16(rec + k * 512 - 2, usn);
        }
    }

  private:
    static uint32_t Align8(uint32_t v) { return (v + 7) & ~7u; }
    uint8_t* Reserve(uint32_t len) {
        if (at_ + len > rec_.size() - 8) len = 0;  // a full record takes nothing more
        uint8_t* p = &rec_[at_];
        at_ += len;
        return p;
    }
    RecordBuilder& Resident(uint32_t type, const uint8_t* value, size_t size) {
        const uint32_t len = Align8(0x18 + static_cast<uint32_t>(size));
        uint8_t* a = Reserve(len);
        NtfsPut32(a + 0x00, type);
        NtfsPut32(a + 0x04, len);
        NtfsPut32(a + 0x10, size);
        NtfsPut16(a + 0x14, 0x18);
        std::memcpy(a + 0x18, value, size);
        return *this;
    }

    std::vector<uint8_t> rec_;
    uint32_t clusterBytes_;
    uint16_t usn_;
    uint32_t at_;
};

// The volume with its fixed records; records from kNtfsFirstFreeRecord on are free for
// the caller (zero until written).
inline std::vector<uint8_t> BuildNtfsVolume() {
    std::vector<uint8_t> img(size_t{kNtfsClusters} * 512, 0);
    uint8_t* b = img.data();
    b[0] = 0xEB;
    b[1] = 0x52;
    b[2] = 0x90;
    std::memcpy(b + 3, "NTFS    ", 8);
    NtfsPut16(b + 0x0B, 512);
    b[0x0D] = 1;
    b[0x15] = 0xF8;
    NtfsPut64(b + 0x28, kNtfsClusters - 1);
    NtfsPut64(b + 0x30, kNtfsMftCluster);
    NtfsPut64(b + 0x38, kNtfsMftCluster + 2);
    b[0x40] = 0xF6;  // 1024-byte records
    b[0x44] = 1;
    b[510] = 0x55;
    b[511] = 0xAA;

    auto put = [&](uint32_t n, const std::vector<uint8_t>& rec) {
        std::memcpy(&img[size_t{kNtfsMftCluster} * 512 + size_t{n} * kNtfsRecordSize], rec.data(),
                    rec.size());
    };
    const uint32_t mftClusters = kNtfsMftRecords * kNtfsRecordSize / 512;
    put(0, RecordBuilder(0x1)
               .StandardInformation(0, 0, 0x6)
               .FileName(5, 5, u"$MFT", 3)
               .NonResident(0x80, {{kNtfsMftCluster, mftClusters}},
                            uint64_t{kNtfsMftRecords} * kNtfsRecordSize)
               .Finish());
    put(5, RecordBuilder(0x3, 5).StandardInformation(0, 0, 0x6).FileName(5, 5, u".", 3).Finish());
    put(6, RecordBuilder(0x1, 6)
               .StandardInformation(0, 0, 0x6)
               .FileName(5, 5, u"$Bitmap", 3)
               .NonResident(0x80, {{kNtfsBitmapCluster, 1}}, kNtfsClusters / 8)
               .Finish());
    uint8_t* bitmap = &img[size_t{kNtfsBitmapCluster} * 512];
    for (uint32_t c = 0; c < kNtfsClusters; ++c) {
        const bool used =
            c < kNtfsMftCluster + mftClusters || c == kNtfsBitmapCluster || (c >= 300 && c < 310);
        if (used) bitmap[c / 8] |= static_cast<uint8_t>(1u << (c % 8));
    }
    for (size_t i = 300 * 512; i < img.size(); ++i) img[i] = static_cast<uint8_t>(i * 7 + 3);
    return img;
}

inline void PutRecord(std::vector<uint8_t>& img, uint32_t n, const uint8_t* rec, size_t size) {
    const size_t at = size_t{kNtfsMftCluster} * 512 + size_t{n} * kNtfsRecordSize;
    if (n >= kNtfsMftRecords) return;
    std::memcpy(&img[at], rec, std::min<size_t>(size, kNtfsRecordSize));
}

}  // namespace tw::volume::fuzzing
