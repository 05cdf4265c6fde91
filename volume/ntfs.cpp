// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/ntfs.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

#include "platform/bytes.h"
#include "platform/error.h"
#include "platform/utf8.h"
#include "volume/recoverable.h"

namespace tw::volume {

namespace {

// Little-endian readers. Callers check that [o, o + width) lies inside the span first;
// the readers check again and give 0 rather than read outside it (the writers skip).
bool Fits(std::span<const uint8_t> b, size_t o, size_t width) {
    return o <= b.size() && b.size() - o >= width;
}
uint8_t Le8(std::span<const uint8_t> b, size_t o) { return o < b.size() ? b[o] : 0; }
uint16_t Le16(std::span<const uint8_t> b, size_t o) {
    return Fits(b, o, 2) ? platform::Le16(b.data() + o) : 0;
}
uint32_t Le32(std::span<const uint8_t> b, size_t o) {
    return Fits(b, o, 4) ? platform::Le32(b.data() + o) : 0;
}
uint64_t Le64(std::span<const uint8_t> b, size_t o) {
    return Fits(b, o, 8) ? platform::Le64(b.data() + o) : 0;
}
// The n-byte fields of run lists and 48-bit record numbers have no fixed width.
uint64_t LeN(std::span<const uint8_t> b, size_t o, size_t n) {
    if (!Fits(b, o, n) || n > 8) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(b[o + i]) << (8 * i);
    return v;
}
uint64_t Le48(std::span<const uint8_t> b, size_t o) { return LeN(b, o, 6); }
void Put16(std::span<uint8_t> b, size_t o, uint16_t v) {
    if (Fits(b, o, 2)) platform::PutLe16(b.data() + o, v);
}
void Put32(std::span<uint8_t> b, size_t o, uint32_t v) {
    if (Fits(b, o, 4)) platform::PutLe32(b.data() + o, v);
}

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::u16string ReadUtf16(std::span<const uint8_t> b, size_t o, size_t units) {
    std::u16string s;
    if (o > b.size() || (b.size() - o) / 2 < units) return s;
    s.reserve(units);
    for (size_t i = 0; i < units; ++i) s.push_back(static_cast<char16_t>(Le16(b, o + 2 * i)));
    return s;
}

// A record's sequence number against the one a reference expects: equal, or advanced
// by one (the record was freed once since), 0xFFFF wrapping to 0.
bool SequenceMatches(uint16_t s, uint16_t expected) {
    if (expected == 0) return true;
    if (s == expected) return true;
    if (expected == 0xFFFF && s == 0) return true;
    return s == static_cast<uint16_t>(expected + 1);
}

// Largest attribute list or bitmap the parser reads into memory.
constexpr uint64_t kMaxAttributeListBytes = 1u << 20;
constexpr size_t kMaxAttributes = 512;
constexpr size_t kMaxRuns = 65536;
constexpr uint32_t kMaxReadBytes = 8u << 20;

}  // namespace

// ---- Boot sector ----

bool ParseNtfsBootSector(std::span<const uint8_t> s, uint64_t volumeBytes, NtfsBootInfo* out,
                         tw::Error* why) {
    // The error names the field by its offset in the sector and says what it holds.
    auto fail = [why](int textId, int64_t fieldOffset, uint64_t value = 0) {
        if (why) {
            *why = tw::Error(ErrorCode::Corrupt).At(fieldOffset).Says(textId);
            if (value != 0 || fieldOffset >= 0) why->detail = std::to_string(value);
        }
        return false;
    };
    if (s.size() < kSectorSize) return fail(TextId<1100>, -1);
    if (std::memcmp(s.data() + 3, "NTFS", 4) != 0) return fail(TextId<1101>, 3);
    NtfsBootInfo b;
    b.bytesPerSector = Le16(s, 0x0B);
    if (!IsPowerOfTwo(b.bytesPerSector) || b.bytesPerSector < 256 || b.bytesPerSector > 4096)
        return fail(TextId<1102>, 0x0B, b.bytesPerSector);
    uint8_t spc = Le8(s, 0x0D);
    if (spc == 0) return fail(TextId<1103>, 0x0D);
    if (spc <= 0x80) {
        b.sectorsPerCluster = spc;
    } else {
        // Clusters of 64 KiB and more: the byte is a negative power of two.
        int shift = 256 - spc;
        if (shift > 20) return fail(TextId<1104>, 0x0D, static_cast<uint64_t>(shift));
        b.sectorsPerCluster = 1u << shift;
    }
    if (!IsPowerOfTwo(b.sectorsPerCluster)) return fail(TextId<1105>, 0x0D, b.sectorsPerCluster);
    uint64_t bpc = static_cast<uint64_t>(b.bytesPerSector) * b.sectorsPerCluster;
    if (bpc < kSectorSize || bpc > (2u << 20)) return fail(TextId<1106>, 0x0D, bpc);
    b.bytesPerCluster = static_cast<uint32_t>(bpc);
    b.totalSectors = Le64(s, 0x28);
    b.mftCluster = Le64(s, 0x30);
    // Clusters per file record: positive = that many clusters, negative = 2^-n bytes.
    int8_t cpr = static_cast<int8_t>(Le8(s, 0x40));
    uint64_t recordSize = 0;
    if (cpr > 0)
        recordSize = static_cast<uint64_t>(cpr) * b.bytesPerCluster;
    else if (cpr < 0 && cpr >= -31)
        recordSize = 1ull << (-cpr);
    if (recordSize < 512 || recordSize > 65536 || !IsPowerOfTwo(recordSize))
        return fail(TextId<1107>, 0x40, recordSize);
    b.recordSize = static_cast<uint32_t>(recordSize);
    b.sectorsPerRecord = b.recordSize / kSectorSize;
    if (b.totalSectors == 0 || b.totalSectors > (UINT64_MAX / 4096))
        return fail(TextId<1108>, 0x28, b.totalSectors);
    uint64_t volumeSize = b.totalSectors * b.bytesPerSector;
    // The volume may end one sector short of the image (the backup boot sector), never
    // beyond it: a cut image has lost the end of the volume.
    if (volumeBytes != 0 && volumeSize > volumeBytes) return fail(TextId<1109>, 0x28, volumeSize);
    b.totalClusters = volumeSize / b.bytesPerCluster;
    if (b.mftCluster == 0 || b.mftCluster >= b.totalClusters)
        return fail(TextId<1110>, 0x30, b.mftCluster);
    // The mirror of the $MFT's first records lies on the volume too: a volume size that
    // leaves it outside has been damaged (the search would run on a made-up geometry).
    const uint64_t mirrorCluster = Le64(s, 0x38);
    if (mirrorCluster >= b.totalClusters) return fail(TextId<1111>, 0x38, mirrorCluster);
    uint64_t mftByte = b.mftCluster * b.bytesPerCluster;
    if (mftByte + 24ull * b.recordSize > volumeSize ||
        (volumeBytes != 0 && mftByte + 24ull * b.recordSize > volumeBytes))
        return fail(TextId<1112>, 0x30, b.mftCluster);
    b.mftStartSector = mftByte / kSectorSize;
    b.systemEndSector = b.mftStartSector + kSystemRecords * b.sectorsPerRecord;
    *out = b;
    return true;
}

bool ReadNtfsBootInfo(CRawDriveRef& drive, NtfsBootInfo* out, tw::Error* why) {
    uint8_t sector[kSectorSize];
    if (!drive.Read(0, sector, kSectorSize)) {
        if (why) *why = drive.Failure().value_or(tw::Error(ErrorCode::Io, drive.Source()));
        return false;
    }
    return ParseNtfsBootSector(sector, drive.SizeBytes(), out, why);
}

// ---- Records ----

bool ParseRecordHeader(std::span<const uint8_t> r, FileRecordHeader* out) {
    if (r.size() < kRecordHeaderBytes) return false;
    FileRecordHeader h;
    h.signature = Le32(r, 0x00);
    h.usaOffset = Le16(r, 0x04);
    h.usaCount = Le16(r, 0x06);
    h.sequence = Le16(r, 0x10);
    h.linkCount = Le16(r, 0x12);
    h.firstAttribute = Le16(r, 0x14);
    h.flags = Le16(r, 0x16);
    h.bytesInUse = Le32(r, 0x18);
    h.bytesAllocated = Le32(r, 0x1C);
    h.baseRecord = Le48(r, 0x20);
    h.baseSequence = Le16(r, 0x26);
    h.nextAttributeId = Le16(r, 0x28);
    *out = h;
    return true;
}

bool ApplyFixup(std::span<uint8_t> record, uint16_t usaOffset, uint16_t usaCount) {
    size_t size = record.size();
    if (size == 0 || size % kUsaStride != 0) return false;
    size_t blocks = size / kUsaStride;
    // One entry for the sequence number plus one per 512-byte block, all inside the
    // first block and before its own end marker.
    if (usaCount != blocks + 1) return false;
    if (static_cast<size_t>(usaOffset) + 2u * usaCount >= kUsaStride - 2) return false;
    uint16_t usn = Le16(record, usaOffset);
    for (size_t k = 1; k < usaCount; ++k)
        if (Le16(record, k * kUsaStride - 2) != usn) return false;
    for (size_t k = 1; k < usaCount; ++k)
        Put16(record, k * kUsaStride - 2, Le16(record, usaOffset + 2 * k));
    return true;
}

bool ListAttributes(std::span<const uint8_t> record, std::vector<AttributeRef>* out) {
    FileRecordHeader h;
    if (!ParseRecordHeader(record, &h)) return false;
    size_t limit = std::min<size_t>(record.size(), h.bytesInUse);
    size_t off = h.firstAttribute;
    for (size_t count = 0; count < kMaxAttributes; ++count) {
        if (off > limit || limit - off < 4) return false;
        uint32_t type = Le32(record, off);
        if (type == kAttrEnd) return true;
        if (limit - off < 16) return false;
        AttributeRef a;
        a.offset = static_cast<uint32_t>(off);
        AttributeHeader& ah = a.header;
        ah.type = type;
        ah.length = Le32(record, off + 0x04);
        if (ah.length == 0) return true;
        if (ah.length < 16 || ah.length > limit - off) return false;
        std::span<const uint8_t> attr = record.subspan(off, ah.length);
        ah.nonResident = Le8(attr, 0x08);
        ah.nameLength = Le8(attr, 0x09);
        ah.nameOffset = Le16(attr, 0x0A);
        if (ah.nameLength) {
            if (static_cast<size_t>(ah.nameOffset) + 2u * ah.nameLength > ah.length) return false;
            ah.name = ReadUtf16(attr, ah.nameOffset, ah.nameLength);
        }
        if (ah.nonResident) {
            if (ah.length < 0x40) return false;
            ah.firstVcn = Le64(attr, 0x10);
            ah.lastVcn = Le64(attr, 0x18);
            ah.runListOffset = Le16(attr, 0x20);
            ah.allocatedSize = Le64(attr, 0x28);
            ah.realSize = Le64(attr, 0x30);
            if (ah.runListOffset < 0x40 || ah.runListOffset > ah.length) return false;
            a.value = attr.subspan(ah.runListOffset);
        } else {
            if (ah.length < 0x18) return false;
            ah.valueLength = Le32(attr, 0x10);
            ah.valueOffset = Le16(attr, 0x14);
            if (ah.valueOffset > ah.length || ah.valueLength > ah.length - ah.valueOffset)
                return false;
            a.value = attr.subspan(ah.valueOffset, ah.valueLength);
        }
        out->push_back(std::move(a));
        off += ah.length;
    }
    return true;
}

bool ParseStandardInformation(std::span<const uint8_t> v, StandardInformationValue* out) {
    if (v.size() < 0x24) return false;
    out->created = Le64(v, 0x00);
    out->modified = Le64(v, 0x08);
    out->attributes = Le32(v, 0x20);
    return true;
}

bool ParseFileName(std::span<const uint8_t> v, FileNameValue* out) {
    if (v.size() < 0x42) return false;
    FileNameValue f;
    f.parentRecord = Le48(v, 0x00);
    f.parentSequence = Le16(v, 0x06);
    f.nameLength = Le8(v, 0x40);
    f.nameSpace = Le8(v, 0x41);
    if (0x42u + 2u * f.nameLength > v.size()) return false;
    f.name = ReadUtf16(v, 0x42, f.nameLength);
    *out = std::move(f);
    return true;
}

std::vector<AttributeListEntry> ParseAttributeList(std::span<const uint8_t> v) {
    std::vector<AttributeListEntry> out;
    size_t off = 0;
    while (off + kAttributeListEntryMin <= v.size()) {
        AttributeListEntry e;
        e.type = Le32(v, off + 0x00);
        e.length = Le16(v, off + 0x04);
        e.nameLength = Le8(v, off + 0x06);
        e.lowestVcn = Le64(v, off + 0x08);
        e.record = Le48(v, off + 0x10);
        e.sequence = Le16(v, off + 0x16);
        // A length shorter than an entry would never advance: the list ends there.
        if (e.length < kAttributeListEntryMin || e.length > v.size() - off) break;
        out.push_back(e);
        off += e.length;
    }
    return out;
}

namespace {

// Appends `units` UTF-16 code units, unit(i) giving the i-th, as UTF-8.
template <class Unit>
void AppendUtf16AsUtf8(size_t units, Unit unit, std::string& out) {
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        }
        platform::AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD
    }
}

// The UTF-16LE bytes of a name on the volume as UTF-8, into *out (its storage reused).
void Utf16LeToUtf8(std::span<const uint8_t> bytes, std::string* out) {
    out->clear();
    AppendUtf16AsUtf8(
        bytes.size() / 2, [bytes](size_t i) -> uint32_t { return Le16(bytes, 2 * i); }, *out);
}

}  // namespace

std::string Utf16ToUtf8(const std::u16string& s) {
    std::string out;
    out.reserve(s.size());
    AppendUtf16AsUtf8(
        s.size(), [&s](size_t i) -> uint32_t { return s[i]; }, out);
    return out;
}

void FileRecordRequest::ClearOutputs() {
    fileName.clear();
    folderName.clear();
    attributeBits = 0;
    attributeText.clear();
    created = modified = 0;
    dataSize = 0;
    resident = false;
    runs.clear();
    streamRuns.clear();
    clusterTotal = 0;
    details.clear();
    flags = 0;
    sequence = 0;
    parentRecord = 0;
    parentSequence = 0;
    firstDataSector = 0;
}

// ---- Data runs ----

uint64_t DecodeDataRuns(std::span<const uint8_t> b, Lba recordKey, const std::string& name,
                        uint64_t realSize, uint64_t totalClusters, std::vector<DataRun>* runs,
                        bool* corrupt) {
    int64_t lcn = 0;
    uint64_t total = 0;
    uint32_t index = 0;
    size_t pos = 0;
    auto bad = [&] {
        if (corrupt) *corrupt = true;
        return total;
    };
    while (pos < b.size()) {
        uint8_t h = b[pos];
        size_t L = h & 0x0F, O = h >> 4;
        if (h == 0 || L == 0) break;
        if (L > 8 || O > 8 || b.size() - pos - 1 < L + O) return bad();
        if (index >= kMaxRuns) return bad();
        uint64_t length = LeN(b, pos + 1, L);
        if (length == 0 || length > (1ull << 48)) return bad();
        DataRun r;
        r.clusterCount = length;
        if (O == 0) {
            // No offset field: a hole. The running LCN stays where it is.
            r.sparse = true;
            r.lcn = 0;
        } else {
            uint64_t raw = LeN(b, pos + 1 + L, O);
            if (O < 8 && (b[pos + L + O] & 0x80)) raw |= ~0ull << (8 * O);  // sign-extend
            int64_t delta = static_cast<int64_t>(raw);
            int64_t next = 0;
            if (__builtin_add_overflow(lcn, delta, &next) || next < 0) return bad();
            lcn = next;
            uint64_t ulcn = static_cast<uint64_t>(lcn);
            if (totalClusters && (ulcn >= totalClusters || length > totalClusters - ulcn))
                return bad();
            r.lcn = ulcn;
            total += length;
        }
        r.recordKey = recordKey;
        r.index = index++;
        r.name = name;
        r.realSize = realSize;
        if (runs) runs->push_back(std::move(r));
        pos += 1 + L + O;
    }
    return total;
}

std::string DataRunSummary(const std::vector<DataRun>& runs) {
    uint64_t total = 0;
    std::string lines;
    for (const DataRun& r : runs) {
        if (r.sparse) {
            lines += "{sparse " + std::to_string(r.clusterCount) + "} ";
            continue;
        }
        total += r.clusterCount;
        if (r.clusterCount >= 2)
            lines += "{" + std::to_string(r.lcn) + " - " +
                     std::to_string(r.lcn + r.clusterCount - 1) + "} ";
        else
            lines += std::to_string(r.lcn) + " ";
    }
    return TextWith(TextId<1407>, std::to_string(runs.size())) + "\n" +
           TextWith(TextId<1408>, std::to_string(total)) + "\n--------------------------------\n" +
           lines;
}

bool IsUniformSector(std::span<const uint8_t> b) {
    if (b.empty()) return false;
    return std::all_of(b.begin(), b.end(), [&](uint8_t x) { return x == b[0]; });
}

bool ScrubDeletedRecord(std::span<uint8_t> r, bool folder) {
    FileRecordHeader h;
    if (!ParseRecordHeader(r, &h) || h.signature != kFileSignature) return false;
    if ((h.flags & (kRecordInUse | kRecordDirectory)) != (folder ? kRecordDirectory : 0))
        return false;
    size_t size = r.size();
    // The update sequence array must lie past the header this rewrites and inside the
    // first block, or writing the new sequence number would damage the header.
    if (size % kUsaStride != 0 || h.usaOffset < kRecordHeaderBytes ||
        static_cast<size_t>(h.usaOffset) + 2 * (size / kUsaStride + 1) > kUsaStride - 2)
        return false;
    Put16(r, 0x12, 0);                                          // hard links
    Put16(r, 0x28, 0);                                          // next attribute id
    for (size_t i = 0x20; i < 0x26; ++i) r[i] = 0;              // base record number
    Put16(r, 0x26, static_cast<uint16_t>(h.baseSequence + 1));  // 0xFFFF becomes 0
    Put32(r, 0x18, kRecordHeaderBytes);                         // bytes in use
    Put32(r, 0x1C, static_cast<uint32_t>(size));                // bytes allocated
    Put16(r, 0x14, 0);                                          // first attribute
    Put16(r, 0x16, 0);                                          // flags
    uint8_t b0 = r[h.usaOffset], b1 = r[h.usaOffset + 1];
    std::fill(r.begin() + kRecordHeaderBytes, r.end(), 0xFF);
    if (b1 == 0xFF) {
        b1 = 0;
        b0 = static_cast<uint8_t>(b0 + 1);
    } else {
        b1 = static_cast<uint8_t>(b1 + 1);
    }
    // The record keeps its update sequence array where it was; the fix-up of the
    // scrubbed record restores 0xFF bytes at every block end.
    r[h.usaOffset] = b0;
    r[h.usaOffset + 1] = b1;
    for (size_t k = 1; k <= size / kUsaStride; ++k) {
        r[k * kUsaStride - 2] = b0;
        r[k * kUsaStride - 1] = b1;
    }
    return true;
}

bool ScrubGuardProtects(const NtfsBootInfo& boot, Lba first, uint64_t sectorCount,
                        Lba protectedStart) {
    if (sectorCount == 0) return false;
    if (first > UINT64_MAX - sectorCount) return true;
    const Lba last = first + sectorCount - 1;
    if (first <= protectedStart) return true;  // sector 0 always lies at or below it
    return last >= boot.mftStartSector && first < boot.systemEndSector;
}

// ---- NtfsVolume ----

bool NtfsVolume::ReadBytes(uint64_t byteOffset, uint8_t* buffer, uint32_t byteCount) {
    if (byteOffset % kSectorSize != 0 || byteCount % kSectorSize != 0) return false;
    return drive_.Read(byteOffset / kSectorSize, buffer, byteCount);
}

void NtfsVolume::IndexMftRuns() {
    mftRunStartBytes_.clear();
    uint64_t at = 0;
    for (const DataRun& r : mftRuns_) {
        mftRunStartBytes_.push_back(at);
        at += r.clusterCount * boot_.bytesPerCluster;
    }
    mftBytes_ = at;
}

Lba NtfsVolume::RecordToSector(MftRecordNumber n) const {
    if (boot_.recordSize == 0 || n > mftBytes_ / boot_.recordSize) return 0;
    uint64_t byte = n * boot_.recordSize;
    if (byte >= mftBytes_) return 0;
    auto it = std::upper_bound(mftRunStartBytes_.begin(), mftRunStartBytes_.end(), byte);
    size_t i = static_cast<size_t>(it - mftRunStartBytes_.begin()) - 1;
    const DataRun& r = mftRuns_[i];
    if (r.sparse) return 0;
    return (r.lcn * boot_.bytesPerCluster + (byte - mftRunStartBytes_[i])) / kSectorSize;
}

bool NtfsVolume::SectorToRecord(Lba sector, MftRecordNumber* n) const {
    if (boot_.recordSize == 0 || sector == 0) return false;
    const uint64_t at = sector * kSectorSize;
    for (size_t i = 0; i < mftRuns_.size(); ++i) {
        const DataRun& r = mftRuns_[i];
        const uint64_t start = r.lcn * boot_.bytesPerCluster;
        if (r.sparse || at < start || at - start >= r.clusterCount * boot_.bytesPerCluster)
            continue;
        const uint64_t byte = mftRunStartBytes_[i] + (at - start);
        if (byte % boot_.recordSize != 0) return false;
        *n = byte / boot_.recordSize;
        return RecordToSector(*n) == sector;
    }
    return false;
}

bool NtfsVolume::TransferRecords(MftRecordNumber first, uint64_t count, uint8_t* data, bool write) {
    uint64_t rs = boot_.recordSize;
    if (rs == 0 || count == 0 || first > mftBytes_ / rs || count > mftBytes_ / rs - first)
        return false;
    uint64_t begin = first * rs, end = begin + count * rs;
    auto it = std::upper_bound(mftRunStartBytes_.begin(), mftRunStartBytes_.end(), begin);
    size_t i = static_cast<size_t>(it - mftRunStartBytes_.begin()) - 1;
    uint64_t at = begin;
    // Walk the runs the byte range covers, moving each piece in large transfers.
    while (at < end && i < mftRuns_.size()) {
        const DataRun& r = mftRuns_[i];
        uint64_t runStart = mftRunStartBytes_[i];
        uint64_t runEnd = runStart + r.clusterCount * boot_.bytesPerCluster;
        uint64_t pieceEnd = std::min(end, runEnd);
        uint8_t* p = data + (at - begin);
        if (r.sparse) {
            if (write) return false;
            std::memset(p, 0, pieceEnd - at);
        } else {
            uint64_t disk = r.lcn * boot_.bytesPerCluster + (at - runStart);
            uint64_t left = pieceEnd - at;
            while (left > 0) {
                uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(left, kMaxReadBytes));
                bool ok = write ? drive_.Write(disk / kSectorSize, p, n) : ReadBytes(disk, p, n);
                if (!ok) return false;
                disk += n;
                p += n;
                left -= n;
            }
        }
        at = pieceEnd;
        ++i;
    }
    return at == end;
}

bool NtfsVolume::ReadRecords(MftRecordNumber first, uint64_t count, std::vector<uint8_t>* out) {
    if (boot_.recordSize == 0 || count > mftBytes_ / boot_.recordSize) return false;
    out->resize(count * boot_.recordSize);
    return TransferRecords(first, count, out->data(), false);
}

bool NtfsVolume::WriteRecord(MftRecordNumber n, std::span<const uint8_t> record) {
    if (record.size() != boot_.recordSize) return false;
    return TransferRecords(n, 1, const_cast<uint8_t*>(record.data()), true);
}

bool NtfsVolume::ReadRecord(MftRecordNumber n, std::vector<uint8_t>* out) {
    return ReadRecords(n, 1, out);
}

bool NtfsVolume::ReadRuns(const std::vector<DataRun>& runs, uint64_t byteCount,
                          std::vector<uint8_t>* out) {
    out->assign(byteCount, 0);
    uint64_t at = 0;
    uint64_t bpc = boot_.bytesPerCluster;
    for (const DataRun& r : runs) {
        if (at >= byteCount) break;
        uint64_t runBytes = r.clusterCount * bpc;
        uint64_t take = std::min(runBytes, byteCount - at);
        if (!r.sparse) {
            if (r.lcn >= boot_.totalClusters || r.clusterCount > boot_.totalClusters - r.lcn)
                return false;
            // Whole sectors are read, straight into the output; only a last sector
            // that does not fit goes through a buffer of its own, its tail dropped.
            uint64_t disk = r.lcn * bpc;
            uint64_t done = 0;
            uint8_t tail[kSectorSize];
            while (done < take) {
                uint64_t want = std::min<uint64_t>(take - done, kMaxReadBytes);
                uint64_t whole = want / kSectorSize * kSectorSize;
                uint8_t* to = out->data() + at + done;
                if (whole > 0 && !ReadBytes(disk + done, to, static_cast<uint32_t>(whole)))
                    return false;
                if (whole < want) {
                    if (!ReadBytes(disk + done + whole, tail, kSectorSize)) return false;
                    std::memcpy(to + whole, tail, want - whole);
                }
                done += want;
            }
        }
        at += take;
    }
    return true;
}

const std::vector<DataRun>* NtfsVolume::FileRunsOf(Lba recordSector, uint16_t sequence) {
    auto it = fileRuns_.find(recordSector);
    if (it != fileRuns_.end()) return it->second.empty() ? nullptr : &it->second;
    MftRecordNumber n = 0;
    std::vector<uint8_t> rec;
    // Not kept when unreadable: the drive may be open at the next ask.
    if (!SectorToRecord(recordSector, &n) || !ReadRecord(n, &rec)) return nullptr;
    FileRecordRequest req;
    req.record = rec;
    req.recordSector = recordSector;
    req.wantFolder = false;
    req.deferUniformCheck = true;
    std::vector<DataRun>& runs = fileRuns_[recordSector];
    // A record reused since (in use again, or deleted again as another file: its
    // sequence moved on) no longer describes the file that was found.
    if (ParseFileRecord(req, 0, false, false, 0) == RecordOutcome::DeletedFound &&
        req.sequence == sequence) {
        runs = std::move(req.runs);
        runs.insert(runs.end(), req.streamRuns.begin(), req.streamRuns.end());
    }
    return runs.empty() ? nullptr : &runs;
}

bool NtfsVolume::IsClusterInUse(ClusterIndex c) const {
    uint64_t byte = c / 8;
    if (byte >= bitmap_.size()) return true;
    return (bitmap_[byte] >> (c % 8)) & 1;
}

NtfsVolume::DirectoryFacts NtfsVolume::FactsOf(std::span<const uint8_t> raw) {
    DirectoryFacts f;
    FileRecordHeader h;
    if (!ParseRecordHeader(raw, &h) || h.signature != kFileSignature) return f;
    f.isFile = true;
    f.hasBytes = h.bytesInUse != 0;
    f.flags = h.flags;
    f.sequence = h.sequence;
    std::vector<uint8_t> copy(raw.begin(), raw.end());
    if (!ApplyFixup(copy, h.usaOffset, h.usaCount)) return f;
    f.fixupOk = true;
    std::vector<AttributeRef> attrs;
    ListAttributes(copy, &attrs);
    for (const AttributeRef& a : attrs) {
        if (a.header.type != kAttrFileName || a.header.nonResident) continue;
        FileNameValue fn;
        if (!ParseFileName(a.value, &fn)) continue;
        f.hasFileName = true;
        if (fn.nameSpace == kNamespaceDos) continue;
        std::string name = Utf16ToUtf8(fn.name);
        if (name == "pagefile.sys") {
            f.skipped = true;
            break;
        }
        f.name = std::move(name);
    }
    return f;
}

// Whether a parent reference resolves to the directory these facts describe.
static bool IsFolderOf(const NtfsVolume::DirectoryFacts& f, uint16_t expectedSequence) {
    if (!f.isFile || !f.hasBytes || !SequenceMatches(f.sequence, expectedSequence)) return false;
    return (f.flags & kRecordDirectory) && f.fixupOk && !f.skipped && f.hasFileName;
}

std::string NtfsVolume::FolderName(const DirectoryFacts& f, uint16_t expectedSequence) {
    return IsFolderOf(f, expectedSequence) ? f.name : std::string();
}

const NtfsVolume::DirectoryFacts& NtfsVolume::DirectoryOf(MftRecordNumber n) {
    auto it = dirCache_.find(n);
    if (it != dirCache_.end()) return it->second;
    DirectoryFacts f;
    std::vector<uint8_t> rec;
    if (ReadRecord(n, &rec)) f = FactsOf(rec);
    return dirCache_[n] = std::move(f);
}

struct NtfsVolume::ParseState {
    bool skipped = false;      // a name of "pagefile.sys"
    bool runsCorrupt = false;  // a run list or attribute that cannot be decoded
    std::set<std::pair<MftRecordNumber, uint32_t>> visited;  // attribute-list targets read
};

RecordOutcome NtfsVolume::ParseFileRecord(FileRecordRequest& req, uint32_t wantedType,
                                          bool skipFixup, bool acceptDirectory,
                                          uint16_t expectedSequence) {
    if (boot_.recordSize == 0 || req.record.size() < boot_.recordSize)
        return RecordOutcome::NotAFileRecord;
    // The parse works on its own copy: the fix-up changes the bytes. The copy, the
    // attribute list and the name buffer are kept from record to record: the record
    // loop parses hundreds of thousands.
    parseCopy_.assign(req.record.begin(), req.record.begin() + boot_.recordSize);
    ParseState state;
    return ParseRecordImpl(req, parseCopy_, wantedType, skipFixup, acceptDirectory,
                           expectedSequence, state, 0);
}

RecordOutcome NtfsVolume::ParseRecordImpl(FileRecordRequest& req, std::span<uint8_t> rec,
                                          uint32_t wantedType, bool skipFixup, bool acceptDirectory,
                                          uint16_t expectedSequence, ParseState& st, int depth) {
    FileRecordHeader h;
    if (!ParseRecordHeader(rec, &h) || h.signature != kFileSignature)
        return RecordOutcome::NotAFileRecord;
    if (h.bytesInUse == 0) return RecordOutcome::RecordRejected;
    if (!SequenceMatches(h.sequence, expectedSequence)) return RecordOutcome::RecordRejected;
    bool deleted = !(h.flags & (kRecordInUse | kRecordDirectory));
    bool directoryAccepted = acceptDirectory && (h.flags & kRecordDirectory);
    if (!req.includeInUse && !deleted && !directoryAccepted) return RecordOutcome::RecordInUse;
    // An extension record belongs to the file of its base record, which reads it
    // through its attribute list: on its own it is no file.
    if (depth == 0 && wantedType == 0 && h.baseRecord != 0) return RecordOutcome::RecordRejected;
    if (!skipFixup && !ApplyFixup(rec, h.usaOffset, h.usaCount))
        return RecordOutcome::RecordCorrupt;
    if (depth == 0) {
        req.flags = h.flags;
        req.sequence = h.sequence;
    }

    // A record read through an attribute list (depth 1) gets a list of its own: the
    // base record's is still being walked.
    std::vector<AttributeRef> ownAttrs;
    std::vector<AttributeRef>& attrs = depth == 0 ? attrScratch_ : ownAttrs;
    attrs.clear();
    if (!ListAttributes(rec, &attrs)) st.runsCorrupt = true;
    int counted = 0;
    for (const AttributeRef& a : attrs) {
        const AttributeHeader& ah = a.header;
        if (wantedType != 0 && ah.type != wantedType) continue;
        if (ah.type == kAttrFileName && !ah.nonResident) {
            // As ParseFileName reads it, the name straight into a reused buffer.
            const std::span<const uint8_t> v = a.value;
            if (v.size() < 0x42) continue;
            const uint8_t nameLength = Le8(v, 0x40);
            if (0x42u + 2u * nameLength > v.size()) continue;
            ++counted;
            req.parentRecord = Le48(v, 0x00);
            req.parentSequence = Le16(v, 0x06);
            // ntfs-3g names files in the POSIX namespace; only a DOS-only name is not
            // a usable name.
            if (Le8(v, 0x41) == kNamespaceDos) continue;
            Utf16LeToUtf8(v.subspan(0x42, 2u * nameLength), &nameScratch_);
            if (nameScratch_ == "pagefile.sys") {
                st.skipped = true;
                break;
            }
            req.fileName.assign(nameScratch_);
        } else if (ah.type == kAttrStandardInformation && !ah.nonResident) {
            StandardInformationValue si;
            if (!ParseStandardInformation(a.value, &si)) continue;
            ++counted;
            req.attributeBits = si.attributes;
            req.attributeText = AttributeText(si.attributes);
            req.created = si.created;
            req.modified = si.modified;
        } else if (ah.type == kAttrAttributeList && wantedType == 0 && depth == 0) {
            std::vector<uint8_t> listBytes;
            std::span<const uint8_t> list;
            if (!ah.nonResident) {
                list = a.value;
            } else {
                // ntfs-3g writes attribute lists non-resident: read them through
                // their runs.
                std::vector<DataRun> listRuns;
                bool bad = false;
                DecodeDataRuns(a.value, 0, {}, ah.realSize, boot_.totalClusters, &listRuns, &bad);
                uint64_t size = std::min<uint64_t>(ah.realSize, kMaxAttributeListBytes);
                if (bad || !ReadRuns(listRuns, size, &listBytes)) {
                    st.runsCorrupt = true;
                    break;
                }
                list = listBytes;
            }
            for (const AttributeListEntry& e : ParseAttributeList(list)) {
                // Several entries of one type in one record (extents of a fragmented
                // stream) are all taken by a single parse of that record.
                if (!st.visited.insert({e.record, e.type}).second) continue;
                std::vector<uint8_t> sub;
                if (RecordToSector(e.record) == 0 || !ReadRecord(e.record, &sub)) continue;
                FileRecordHeader sh;
                if (!ParseRecordHeader(sub, &sh) || !ApplyFixup(sub, sh.usaOffset, sh.usaCount))
                    continue;
                RecordOutcome o =
                    ParseRecordImpl(req, sub, e.type, true, false, e.sequence, st, depth + 1);
                if (o != RecordOutcome::RecordRejected) ++counted;
            }
            break;  // the list named everything the record holds
        } else if (ah.type == kAttrData && !ah.name.empty()) {
            // A named stream: not the file's content (see FileRecordRequest).
            ++counted;
            if (ah.nonResident) {
                std::vector<DataRun> named;
                bool bad = false;
                DecodeDataRuns(a.value, req.recordSector, Utf16ToUtf8(ah.name), ah.realSize,
                               boot_.totalClusters, &named, &bad);
                // Damaged runs of a side stream are dropped; the file itself is sound.
                if (!bad) req.streamRuns.insert(req.streamRuns.end(), named.begin(), named.end());
            }
        } else if (ah.type == kAttrData) {
            ++counted;
            if (!ah.nonResident) {
                req.dataSize = ah.valueLength;
                req.resident = true;
            } else {
                // Only the first extent of a stream carries its sizes.
                if (ah.firstVcn == 0) req.dataSize = ah.realSize;
                req.resident = false;
                bool bad = false;
                req.clusterTotal += DecodeDataRuns(a.value, req.recordSector, {}, ah.realSize,
                                                   boot_.totalClusters, &req.runs, &bad);
                if (bad) st.runsCorrupt = true;
            }
        }
    }

    if (st.skipped || counted == 0) return RecordOutcome::RecordRejected;
    if (depth > 0) return RecordOutcome::DeletedFound;  // counted by the caller
    if (directoryAccepted) return RecordOutcome::DirectoryAccepted;
    if (!deleted) return RecordOutcome::RecordInUse;
    // A file cannot own more clusters than the volume has: overlapping runs.
    if (req.clusterTotal > boot_.totalClusters) st.runsCorrupt = true;
    if (st.runsCorrupt) return RecordOutcome::RecordCorrupt;
    if (req.dataSize == 0) return RecordOutcome::DeletedEmpty;
    if (!req.resident && req.clusterTotal == 0) return RecordOutcome::DeletedEmpty;
    if (!req.resident) {
        for (const DataRun& r : req.runs) {
            if (r.sparse) continue;
            req.firstDataSector = r.lcn * boot_.bytesPerCluster / kSectorSize;
            break;
        }
        // A first data sector of one repeated byte has been overwritten already.
        uint8_t sector[kSectorSize];
        if (!req.deferUniformCheck && req.firstDataSector != 0 &&
            drive_.Read(req.firstDataSector, sector, kSectorSize) && IsUniformSector(sector))
            return RecordOutcome::RecordCorrupt;
    }
    if (req.wantDetails && !req.resident) req.details = DataRunSummary(req.runs);
    if (wantedType == 0 && req.wantFolder) {
        const DirectoryFacts& parent = DirectoryOf(req.parentRecord);
        if (IsFolderOf(parent, req.parentSequence)) req.folderName.assign(parent.name);
    }
    return RecordOutcome::DeletedFound;
}

int NtfsVolume::DriveErrno() const {
    const std::optional<tw::Error>& f = drive_.Failure();
    return f ? f->errnum : 0;
}

bool NtfsVolume::LoadMetadataRecord(MftRecordNumber n, const char* name, std::vector<DataRun>* runs,
                                    uint64_t* size) {
    std::vector<uint8_t> rec;
    if (!ReadRecord(n, &rec)) {
        error_ = tw::Error(ErrorCode::Io, {}, DriveErrno())
                     .At(static_cast<int64_t>(n))
                     .Says(TextId<1113>);
        return false;
    }
    FileRecordRequest req;
    req.record = rec;
    req.recordSector = RecordToSector(n);
    req.includeInUse = true;
    req.wantFolder = false;
    RecordOutcome o = ParseFileRecord(req, 0, false, false, 0);
    if (o != RecordOutcome::RecordInUse || req.fileName != name) {
        error_ =
            tw::Error(ErrorCode::Corrupt).At(static_cast<int64_t>(n)).With(name).Says(TextId<1114>);
        return false;
    }
    for (const DataRun& r : req.runs)
        if (r.name.empty()) runs->push_back(r);
    *size = req.dataSize;
    return true;
}

bool NtfsVolume::Load() {
    error_.reset();
    fileRuns_.clear();
    dirCache_.clear();
    tw::Error why;
    if (!ReadNtfsBootInfo(drive_, &boot_, &why)) {
        error_ = std::move(why);
        return false;
    }
    // Until the $MFT's own runs are known, its first records are taken to lie where
    // the boot sector says, one after another.
    mftRuns_.assign(1, DataRun{});
    mftRuns_[0].lcn = boot_.mftCluster;
    mftRuns_[0].clusterCount =
        (kSystemRecords * uint64_t{boot_.recordSize} + boot_.bytesPerCluster - 1) /
        boot_.bytesPerCluster;
    IndexMftRuns();
    {
        // The first extent of $MFT's $DATA, from record 0 itself, maps the records
        // its attribute list may point to.
        std::vector<uint8_t> rec;
        FileRecordHeader h;
        if (!ReadRecord(kMftRecord, &rec) || !ParseRecordHeader(rec, &h) ||
            !ApplyFixup(rec, h.usaOffset, h.usaCount)) {
            error_ = tw::Error(ErrorCode::Corrupt).Says(TextId<1115>);
            return false;
        }
        std::vector<AttributeRef> attrs;
        ListAttributes(rec, &attrs);
        std::vector<DataRun> first;
        for (const AttributeRef& a : attrs) {
            if (a.header.type == kAttrData && a.header.nonResident && a.header.nameLength == 0) {
                bool bad = false;
                DecodeDataRuns(a.value, boot_.mftStartSector, {}, a.header.realSize,
                               boot_.totalClusters, &first, &bad);
                if (bad) first.clear();
                break;
            }
        }
        if (!first.empty()) {
            mftRuns_ = std::move(first);
            IndexMftRuns();
        }
    }
    std::vector<DataRun> runs;
    uint64_t mftSize = 0;
    if (!LoadMetadataRecord(kMftRecord, "$MFT", &runs, &mftSize)) return false;
    if (mftSize == 0 || runs.empty()) {
        error_ = tw::Error(ErrorCode::Corrupt).Says(TextId<1116>);
        return false;
    }
    mftRuns_ = std::move(runs);
    IndexMftRuns();
    recordCount_ = mftBytes_ / boot_.recordSize;

    uint64_t bitmapSize = 0;
    if (!LoadMetadataRecord(kBitmapRecord, "$Bitmap", &bitmapRuns_, &bitmapSize)) return false;
    // The bitmap is read once; it holds one bit per cluster.
    uint64_t need = (boot_.totalClusters + 7) / 8;
    uint64_t size = std::min<uint64_t>(bitmapSize, need);
    if (!ReadRuns(bitmapRuns_, size, &bitmap_)) {
        error_ = tw::Error(ErrorCode::Io, {}, DriveErrno()).Says(TextId<1117>);
        return false;
    }
    return true;
}

}  // namespace tw::volume
