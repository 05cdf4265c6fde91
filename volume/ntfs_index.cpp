// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/ntfs_index.h"

#include <algorithm>
#include <vector>

#include "platform/bytes.h"
#include "volume/ntfs.h"

namespace tw::volume {

namespace {

bool Fits(size_t size, size_t o, size_t width) { return o <= size && size - o >= width; }
uint16_t Le16(std::span<const uint8_t> b, size_t o) {
    return Fits(b.size(), o, 2) ? platform::Le16(b.data() + o) : 0;
}
uint32_t Le32(std::span<const uint8_t> b, size_t o) {
    return Fits(b.size(), o, 4) ? platform::Le32(b.data() + o) : 0;
}

// Index entry fields and flags.
constexpr size_t kEntryHeaderBytes = 0x10;
constexpr uint16_t kEntryHasSubnode = 0x01;
constexpr uint16_t kEntryLast = 0x02;
// The index header: entries offset, index length, allocated size (all from the
// header's start), flags.
constexpr size_t kIndexHeaderBytes = 0x10;
constexpr size_t kBlockIndexHeader = 0x18;  // where an index block's header starts
constexpr size_t kRootIndexHeader = 0x10;   // where the index root value's header starts

// Walks the entries from `start` up to `limit`: the offset just past the last entry
// (the one flagged last), or 0 when an entry does not fit or none is flagged last.
size_t EndOfEntries(std::span<const uint8_t> b, size_t start, size_t limit) {
    if (limit > b.size()) return 0;
    size_t pos = start;
    // Every entry takes at least its header: the walk ends within that many steps.
    for (size_t n = 0; n <= limit / kEntryHeaderBytes; ++n) {
        if (!Fits(limit, pos, kEntryHeaderBytes)) return 0;
        const size_t length = Le16(b, pos + 0x08);
        const size_t keyLength = Le16(b, pos + 0x0A);
        const uint16_t flags = Le16(b, pos + 0x0C);
        if (length < kEntryHeaderBytes || length % 8 != 0 || length > limit - pos) return 0;
        const size_t need = kEntryHeaderBytes + keyLength + ((flags & kEntryHasSubnode) ? 8 : 0);
        if (!(flags & kEntryLast) && need > length) return 0;
        pos += length;
        if (flags & kEntryLast) return pos;
    }
    return 0;
}

// The update sequence array of a block of `size` bytes fits before `before` and inside
// the first 512-byte block.
bool UsaFits(size_t size, uint16_t usaOffset, uint16_t usaCount, size_t before) {
    if (size == 0 || size % kUsaStride != 0 || usaCount != size / kUsaStride + 1) return false;
    const size_t end = static_cast<size_t>(usaOffset) + 2u * usaCount;
    return usaOffset >= 0x08 && end <= before && end <= kUsaStride - 2;
}

}  // namespace

bool ProtectWithFixup(std::span<uint8_t> b, uint16_t usaOffset, uint16_t usaCount) {
    if (!UsaFits(b.size(), usaOffset, usaCount, kUsaStride - 2)) return false;
    uint16_t usn = static_cast<uint16_t>(Le16(b, usaOffset) + 1);
    if (usn == 0 || usn == 0xFFFF) usn = 1;
    platform::PutLe16(b.data() + usaOffset, usn);
    for (size_t k = 1; k < usaCount; ++k) {
        uint8_t* end = b.data() + k * kUsaStride - 2;
        platform::PutLe16(b.data() + usaOffset + 2 * k, platform::Le16(end));
        platform::PutLe16(end, usn);
    }
    return true;
}

SlackScrub ScrubIndexBlock(std::span<uint8_t> block, bool inUse) {
    const size_t size = block.size();
    if (Le32(block, 0) != kIndexBlockSignature || size < kBlockIndexHeader + kIndexHeaderBytes)
        return SlackScrub::Damaged;
    const uint16_t usaOffset = Le16(block, 0x04), usaCount = Le16(block, 0x06);
    std::vector<uint8_t> fixed(block.begin(), block.end());
    if (!ApplyFixup(fixed, usaOffset, usaCount)) return SlackScrub::Damaged;
    const size_t h = kBlockIndexHeader;
    const size_t entries = h + Le32(fixed, h + 0x00);
    const size_t allocated = Le32(fixed, h + 0x08);
    if (entries < h + kIndexHeaderBytes || !UsaFits(size, usaOffset, usaCount, entries) ||
        allocated > size - h || entries > h + allocated)
        return SlackScrub::Damaged;
    const std::vector<uint8_t> before = fixed;
    if (inUse) {
        const size_t end = EndOfEntries(fixed, entries, h + allocated);
        if (end == 0) return SlackScrub::Damaged;
        std::fill(fixed.begin() + static_cast<ptrdiff_t>(end), fixed.end(), 0);
    } else {
        // An empty leaf: the end entry alone, nothing after it.
        if (!Fits(h + allocated, entries, kEntryHeaderBytes)) return SlackScrub::Damaged;
        std::fill(fixed.begin() + static_cast<ptrdiff_t>(entries), fixed.end(), 0);
        platform::PutLe16(fixed.data() + entries + 0x08, kEntryHeaderBytes);
        platform::PutLe16(fixed.data() + entries + 0x0C, kEntryLast);
        platform::PutLe32(fixed.data() + h + 0x04,
                          static_cast<uint32_t>(entries - h + kEntryHeaderBytes));
        fixed[h + 0x0C] = 0;  // a leaf: no entry points to a block below
    }
    if (fixed == before) return SlackScrub::Unchanged;
    if (!ProtectWithFixup(fixed, usaOffset, usaCount)) return SlackScrub::Damaged;
    std::copy(fixed.begin(), fixed.end(), block.begin());
    return SlackScrub::Scrubbed;
}

SlackScrub ScrubFolderRecordSlack(std::span<uint8_t> record) {
    FileRecordHeader hd;
    if (!ParseRecordHeader(record, &hd) || hd.signature != kFileSignature)
        return SlackScrub::Damaged;
    if ((hd.flags & (kRecordInUse | kRecordDirectory)) != (kRecordInUse | kRecordDirectory))
        return SlackScrub::Unchanged;
    std::vector<uint8_t> fixed(record.begin(), record.end());
    if (!ApplyFixup(fixed, hd.usaOffset, hd.usaCount) ||
        !UsaFits(fixed.size(), hd.usaOffset, hd.usaCount, hd.firstAttribute) ||
        hd.bytesInUse > fixed.size() || hd.bytesInUse < hd.firstAttribute)
        return SlackScrub::Damaged;
    std::vector<AttributeRef> attrs;
    if (!ListAttributes(fixed, &attrs)) return SlackScrub::Damaged;
    const std::vector<uint8_t> before = fixed;
    for (const AttributeRef& a : attrs) {
        if (a.header.type != kAttrIndexRoot || a.header.nonResident) continue;
        // The value lies inside the record (ListAttributes checked it).
        const size_t value = static_cast<size_t>(a.value.data() - fixed.data());
        const size_t valueEnd = value + a.value.size();
        const size_t h = value + kRootIndexHeader;
        if (!Fits(valueEnd, h, kIndexHeaderBytes)) return SlackScrub::Damaged;
        const size_t entries = h + Le32(fixed, h);
        const size_t end = EndOfEntries(fixed, entries, valueEnd);
        if (entries < h + kIndexHeaderBytes || end == 0) return SlackScrub::Damaged;
        std::fill(fixed.begin() + static_cast<ptrdiff_t>(end),
                  fixed.begin() + static_cast<ptrdiff_t>(valueEnd), 0);
    }
    std::fill(fixed.begin() + hd.bytesInUse, fixed.end(), 0);
    if (fixed == before) return SlackScrub::Unchanged;
    if (!ProtectWithFixup(fixed, hd.usaOffset, hd.usaCount)) return SlackScrub::Damaged;
    std::copy(fixed.begin(), fixed.end(), record.begin());
    return SlackScrub::Scrubbed;
}

namespace {

constexpr uint32_t kRestartSignature = 0x52545352;  // "RSTR"
constexpr uint16_t kNoClient = 0xFFFF;
constexpr uint16_t kRestartVolumeIsClean = 0x0002;

// One restart page at the start of `page`: Clean, Dirty or Damaged; *lsn receives its
// area's current LSN.
JournalState RestartPage(std::span<const uint8_t> page, uint32_t pageSize, uint64_t* lsn) {
    if (Le32(page, 0) != kRestartSignature || pageSize > page.size()) return JournalState::Damaged;
    std::vector<uint8_t> fixed(page.begin(), page.begin() + pageSize);
    if (!ApplyFixup(fixed, Le16(fixed, 0x04), Le16(fixed, 0x06))) return JournalState::Damaged;
    const size_t area = Le16(fixed, 0x18);
    if (area % 8 != 0 || area < 0x1E || !Fits(pageSize, area, 0x30)) return JournalState::Damaged;
    *lsn = platform::Le64(fixed.data() + area);
    const uint16_t inUseList = Le16(fixed, area + 0x0C);
    const uint16_t flags = Le16(fixed, area + 0x0E);
    // As the file system itself decides: no client in use, or the clean flag set.
    return inUseList == kNoClient || (flags & kRestartVolumeIsClean) ? JournalState::Clean
                                                                     : JournalState::Dirty;
}

}  // namespace

JournalState JournalStateOf(std::span<const uint8_t> log) {
    if (!log.empty() && std::all_of(log.begin(), log.end(), [](uint8_t b) { return b == 0xFF; }))
        return JournalState::Empty;
    const uint32_t pageSize = Le32(log, 0x10);
    if (pageSize < kUsaStride || pageSize > log.size() / 2 || (pageSize & (pageSize - 1)) != 0)
        return JournalState::Damaged;
    uint64_t firstLsn = 0, secondLsn = 0;
    const JournalState first = RestartPage(log, pageSize, &firstLsn);
    if (first == JournalState::Damaged) return first;
    // The second copy, when it is a restart page and the newer one, is what a mount
    // goes by.
    const JournalState second = RestartPage(log.subspan(pageSize), pageSize, &secondLsn);
    return second != JournalState::Damaged && secondLsn > firstLsn ? second : first;
}

}  // namespace tw::volume
