// SPDX-License-Identifier: GPL-3.0-or-later
// Wiping the swap areas: what the clean-up task "Wipe system swapfile" does on Linux.
//
// For each swap area listed in /proc/swaps (a swap partition or a swap file), when the
// process runs as root and enough memory is free to hold what the area holds now:
//   1. the area's identity is read from its signature page (UUID, label, page size);
//   2. swapoff: the kernel moves its pages back into memory;
//   3. the area is overwritten over its whole length with the passes of the pass table
//      (fixed-pattern mode), each pass flushed before the next;
//   4. mkswap recreates it with the same UUID and label, so that /etc/fstab entries
//      and resume= settings that name it by UUID or label keep working;
//   5. swapon with the priority it had.
// Whatever stops the passes early (an abort, a write error), steps 4 and 5 still run:
// an area is never left without its signature. An area that cannot be taken off, or
// when memory is short or the process is not root, is skipped with a log line saying
// why, untouched.
//
// Every system-facing step (the swap list, the memory figures, swapoff, swapon, mkswap,
// the root test) is a replaceable function, so that tests run the whole sequence on a
// scratch swap file without touching the machine's swap.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/operation.h"

namespace tw::wipe {

// One line of /proc/swaps.
struct SwapArea {
    std::string path;          // the file or device (escapes such as "\040" decoded)
    bool isPartition = false;  // "partition" (else "file")
    uint64_t sizeBytes = 0;
    uint64_t usedBytes = 0;
    int priority = -1;
};

// Parses /proc/swaps text (the header line is skipped; malformed lines are left out).
std::vector<SwapArea> ParseProcSwaps(const std::string& text);

struct MemoryFigures {
    uint64_t totalBytes = 0;      // MemTotal
    uint64_t availableBytes = 0;  // MemAvailable
};
// Parses /proc/meminfo text.
MemoryFigures ParseMemInfo(const std::string& text);

// Whether `used` bytes of swap can be taken back into memory: MemAvailable must exceed
// them by a margin of one twentieth of the memory, at least 64 MiB.
bool EnoughMemoryFor(uint64_t usedBytes, const MemoryFigures& mem);

// The identity a swap signature page carries.
struct SwapIdentity {
    uint32_t pageSize = 0;  // where "SWAPSPACE2" was found (its page's size)
    std::string uuid;       // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx"; "" when all zero
    std::string label;      // up to 16 bytes; "" when none
};
// Reads the signature of the swap area at `path` (version 1, "SWAPSPACE2" at the end
// of the first page, page sizes 4 KiB to 64 KiB tried). False when there is none.
bool ReadSwapIdentity(const std::string& path, SwapIdentity* out);

// The outcome for one area.
struct SwapAreaResult {
    std::string path;
    bool wiped = false;    // every pass written and the area recreated
    bool skipped = false;  // left untouched; `reason` says why
    std::string reason;    // skip or failure reason
    int passesDone = 0;
    bool recreated = false;    // mkswap succeeded
    bool reactivated = false;  // swapon succeeded
};

struct SwapWipeReport {
    std::vector<SwapAreaResult> areas;
    bool aborted = false;    // the abort flag stopped the passes
    std::string skipReason;  // the whole step was skipped (not root, no swap in use)
};

class CSwapWiper {
  public:
    CSwapWiper();

    int passCount = 1;

    // The system-facing steps; the defaults act on the machine.
    std::function<std::string()> readProcSwaps;               // text of /proc/swaps
    std::function<std::string()> readMemInfo;                 // text of /proc/meminfo
    std::function<bool()> isRoot;                             // effective root
    std::function<int(const std::string&)> swapOff;           // 0 or an errno value
    std::function<int(const std::string&, int prio)> swapOn;  // 0 or an errno value
    // Runs mkswap for `path` keeping `id`; 0 on success, else its exit status or -1.
    std::function<int(const std::string& path, const SwapIdentity& id)> makeSwap;

    // What WipeAll would do, without doing anything: each area with the reason it would
    // be skipped ("" when it would be wiped).
    SwapWipeReport Plan();

    // The whole task. Status "Wiping the system swapfile"; a log line per area (wiped,
    // skipped and why, or failed and why) through op.Log().
    SwapWipeReport WipeAll(const OpContext& op);

    // Steps 3 and 4 on a swap area that is not in use: overwrite `path` over its length
    // with passCount passes, then recreate it with `id`. The passes stop at an abort or
    // a write error; the area is recreated all the same. Tests call this on a scratch
    // swap file.
    SwapAreaResult OverwriteAndRecreate(const OpContext& op, const std::string& path,
                                        const SwapIdentity& id);

  private:
    SwapWipeReport PlanFor(const std::vector<SwapArea>& areas);
    std::string SkipReason(const SwapArea& area, const MemoryFigures& mem) const;
};

// The default mkswap step: "mkswap [-U uuid] [-L label] path", output discarded.
int RunMkswap(const std::string& path, const SwapIdentity& id);

}  // namespace tw::wipe
