// SPDX-License-Identifier: GPL-3.0-or-later
// NTFS folder indexes and the journal, as far as wiping the traces of deleted files
// needs them.
//
// A folder lists its files in an index: entries in its record (the index root) and, once
// they do not fit there, in index blocks ("INDX") of its index allocation. Removing an
// entry moves the entries after it down and shortens the index, so the names of deleted
// files stay behind the last entry until something overwrites them. The functions here
// clear that unused space and rewrite the update sequence so that the block or record
// still passes its fix-up. They work on the bytes as they lie on the volume and check
// every offset and length read from them; anything that does not add up is left as it
// is and reported as damaged.
#pragma once

#include <cstdint>
#include <span>

namespace tw::volume {

inline constexpr uint32_t kAttrIndexRoot = 0x90;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kIndexBlockSignature = 0x58444E49;  // "INDX"

// What clearing the unused space of an index block or record did.
enum class SlackScrub {
    Unchanged,  // nothing lingered: the bytes are as they were
    Scrubbed,   // unused space cleared and a new update sequence stamped
    Damaged,    // signature, update sequence or entries do not add up: left as it was
};

// Index block `block` (its whole size, as read from the volume). An index block in use
// keeps its entries up to the last one; everything after it is zeroed. A block the
// folder's index bitmap marks unused (`inUse` false) holds only stale entries: it is
// rewritten as an empty leaf (the end entry alone), as the file system writes a new
// block before it uses it again.
SlackScrub ScrubIndexBlock(std::span<uint8_t> block, bool inUse);

// A folder record in use (as read from the volume): zeroes the space of its index root
// after its end entry and the record's bytes after its bytes in use, where the entries
// and attributes that were moved or removed linger. Non-directory and deleted records
// are Unchanged.
SlackScrub ScrubFolderRecordSlack(std::span<uint8_t> record);

// Stamps a new update sequence on `bytes` (fixed up: every 512-byte block's last two
// bytes are its own): the saved bytes go into the array at `usaOffset`, the number
// after the current one (never 0 or 0xFFFF) to every block's end. False, unchanged,
// when the array does not fit the first block.
bool ProtectWithFixup(std::span<uint8_t> bytes, uint16_t usaOffset, uint16_t usaCount);

// What the journal's two restart pages (the start of $LogFile's data) say.
enum class JournalState {
    Empty,    // all 0xFF: reset already, nothing to replay
    Clean,    // restart areas that say the volume was unmounted cleanly
    Dirty,    // a restart area with clients in use and no clean flag: to be replayed
    Damaged,  // neither restart pages nor empty
};
// `logStart`: the first bytes of $LogFile's data, at least two restart pages (the
// page size is read from the first; 8 KiB covers the usual 4 KiB pages). A second page
// that is no restart page is ignored: only the first must be one.
JournalState JournalStateOf(std::span<const uint8_t> logStart);

}  // namespace tw::volume
