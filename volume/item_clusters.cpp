// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/item_clusters.h"

#include <algorithm>
#include <cstring>

namespace tw::volume {

uint64_t ItemClusterCount(uint64_t size, uint32_t bytesPerCluster) {
    if (bytesPerCluster == 0) return 1;
    uint64_t n = size / bytesPerCluster + (size % bytesPerCluster != 0 ? 1 : 0);
    return std::max<uint64_t>(n, 1);
}

std::vector<uint32_t> FatItemClusters(FatTable& fat, uint32_t firstCluster, uint64_t clusterCount,
                                      const OpContext& op, bool* stopped,
                                      const std::unordered_set<uint32_t>* taken) {
    if (stopped) *stopped = false;
    std::vector<uint32_t> out;
    const uint32_t maxCluster = fat.Boot().maxCluster;
    if (clusterCount == 0 || firstCluster < 2 || firstCluster > maxCluster) return out;
    // Never more than the volume holds: a damaged size cannot make the list (or the
    // caller's buffer) larger than the volume.
    const uint64_t want = std::min<uint64_t>(clusterCount, maxCluster - 1);
    out.reserve(static_cast<size_t>(std::min<uint64_t>(want, 1u << 20)));
    const auto isTaken = [taken](uint64_t c) {
        return taken != nullptr && taken->count(static_cast<uint32_t>(c)) != 0;
    };
    // The first cluster counts toward the size even when it is not listed.
    uint64_t counted = 1;
    if (!isTaken(firstCluster)) out.push_back(firstCluster);
    uint64_t tested = 0;
    for (uint64_t c = static_cast<uint64_t>(firstCluster) + 1; counted < want && c <= maxCluster;
         ++c) {
        // The scan may pass over long stretches of taken clusters: check the stop flag
        // and let the caller's window breathe now and then, not only per found cluster.
        if ((++tested & 0xFFF) == 0) {
            if (op.Stopped()) {
                if (stopped) *stopped = true;
                break;
            }
        }
        if ((fat.Entry(static_cast<uint32_t>(c)) & kFatEntryMask) == kFatFree && !isTaken(c)) {
            out.push_back(static_cast<uint32_t>(c));
            ++counted;
        }
    }
    return out;
}

std::vector<DataRun> NtfsItemRuns(NtfsVolume& volume, const RecoverableFile& item) {
    if (item.resident) return {};
    const std::vector<DataRun>* kept = volume.FileRunsOf(item.location, item.sequence);
    if (kept == nullptr) return {};
    std::vector<DataRun> runs;
    for (const DataRun& r : *kept)
        if (r.name.empty()) runs.push_back(r);
    return runs;
}

std::vector<ItemCluster> NtfsItemClusters(NtfsVolume& volume, const RecoverableFile& item,
                                          uint64_t limit) {
    std::vector<ItemCluster> out;
    for (const DataRun& r : NtfsItemRuns(volume, item)) {
        if (r.sparse) continue;
        for (uint64_t i = 0; i < r.clusterCount && out.size() < limit; ++i)
            out.push_back({r.lcn + i, volume.IsClusterInUse(r.lcn + i)});
        if (out.size() >= limit) break;
    }
    return out;
}

namespace {

// Reads byteCount bytes at byte offset `at` of the drive, whatever their alignment to
// 512-byte sectors (NTFS clusters can be smaller than a sector).
bool ReadByteRange(CRawDriveRef& drive, uint64_t at, uint32_t byteCount,
                   std::vector<uint8_t>* out) {
    const uint64_t first = at / kSectorSize;
    const uint64_t end = at + byteCount;
    const uint64_t last = (end + kSectorSize - 1) / kSectorSize;
    const uint64_t span = (last - first) * kSectorSize;
    if (span > UINT32_MAX || end > drive.SizeBytes()) return false;
    std::vector<uint8_t> buf(static_cast<size_t>(span));
    if (!drive.Read(first, buf.data(), static_cast<uint32_t>(span))) return false;
    const size_t skip = static_cast<size_t>(at - first * kSectorSize);
    out->assign(buf.begin() + static_cast<std::ptrdiff_t>(skip),
                buf.begin() + static_cast<std::ptrdiff_t>(skip + byteCount));
    return true;
}

}  // namespace

bool ReadCluster(CRawDriveRef& drive, const NtfsBootInfo& boot, uint64_t cluster,
                 std::vector<uint8_t>* out) {
    out->clear();
    const uint32_t bpc = boot.bytesPerCluster;
    if (bpc == 0 || cluster >= boot.totalClusters) return false;
    if (cluster > UINT64_MAX / bpc) return false;
    if (!ReadByteRange(drive, cluster * bpc, bpc, out)) {
        out->clear();
        return false;
    }
    return true;
}

bool ReadCluster(CRawDriveRef& drive, const FatBootInfo& boot, uint64_t cluster,
                 std::vector<uint8_t>* out) {
    out->clear();
    const uint32_t bpc = boot.bytesPerCluster;
    if (bpc == 0 || cluster < 2 || cluster > boot.maxCluster) return false;
    const uint64_t at = ClusterDriveSector(boot, cluster) * kSectorSize;
    if (!ReadByteRange(drive, at, bpc, out)) {
        out->clear();
        return false;
    }
    return true;
}

std::string FilteredText(std::span<const uint8_t> bytes) {
    std::string s(bytes.size(), '.');
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] >= 0x20 && bytes[i] <= 0x7E) s[i] = static_cast<char>(bytes[i]);
    return s;
}

}  // namespace tw::volume
