// SPDX-License-Identifier: GPL-3.0-or-later
// Where the data of a found deleted file lies, and reading it one cluster at a time.
// Shared by recovery, trace wiping and the data viewer, so that all three walk exactly
// the same clusters for an item.
//
// FAT32 keeps no record of a deleted file's chain (deleting a file frees its FAT
// entries), so its clusters are guessed: the first cluster from the directory entry,
// then the free clusters that follow it, in order. NTFS keeps the runs in the deleted
// record; the search stores them by the record's sector.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/operation.h"
#include "volume/fat32.h"
#include "volume/ntfs.h"
#include "volume/recoverable.h"

namespace tw::volume {

// Clusters an item of `size` bytes takes: ceil(size / bytesPerCluster), and at least
// 1 (an empty file is still given one cluster). 1 when bytesPerCluster is 0.
uint64_t ItemClusterCount(uint64_t size, uint32_t bytesPerCluster);

// The cluster sequence of a deleted FAT32 file: `firstCluster` as it stands (callers
// that write must check that it is still free: the search only lists items whose first
// cluster was free when it ran), then each following cluster whose FAT entry is free
// (0 under kFatEntryMask), in increasing order, until `clusterCount` clusters are
// listed. Clusters whose entry cannot be read count as taken. Never goes past
// boot.maxCluster: the list is shorter when the volume ends first. Empty when
// firstCluster is not a data cluster (below 2 or above maxCluster) or clusterCount is
// 0. When the stop flag is raised the list found so far is returned and *stopped is set.
// Clusters in `taken` (trace wiping: the first clusters of deleted folders, which still
// list files) count as taken too, the first cluster included.
std::vector<uint32_t> FatItemClusters(FatTable& fat, uint32_t firstCluster, uint64_t clusterCount,
                                      const OpContext& op, bool* stopped = nullptr,
                                      const std::unordered_set<uint32_t>* taken = nullptr);

// The runs of an NTFS item's content (its unnamed stream), looked up by its record
// (NtfsVolume::FileRunsOf), sparse runs included, in run-list order; runs of named
// streams are left out. Empty for a resident item, or when its record no longer holds
// it.
std::vector<DataRun> NtfsItemRuns(NtfsVolume& volume, const RecoverableFile& item);

// One cluster of an item as the data viewer lists it.
struct ItemCluster {
    ClusterIndex cluster = 0;
    bool inUse = false;  // NTFS: allocated again to another file since the deletion
};

// Every cluster of a non-resident NTFS item, run by run (sparse runs have no clusters
// and are left out), each marked when the bitmap says it is allocated now. Empty for a
// resident item. At most `limit` clusters are listed.
std::vector<ItemCluster> NtfsItemClusters(NtfsVolume& volume, const RecoverableFile& item,
                                          uint64_t limit = UINT64_MAX);

// Reads cluster `cluster` of an NTFS volume: bytesPerCluster bytes at byte
// cluster x bytesPerCluster. False (out emptied) when the cluster lies past the volume
// (boot.totalClusters, or the drive's end) or the read fails.
bool ReadCluster(CRawDriveRef& drive, const NtfsBootInfo& boot, uint64_t cluster,
                 std::vector<uint8_t>* out);

// Reads cluster `cluster` of a FAT32 volume (data clusters are numbered from 2).
// False (out emptied) when the cluster is not in 2..boot.maxCluster or the read fails.
bool ReadCluster(CRawDriveRef& drive, const FatBootInfo& boot, uint64_t cluster,
                 std::vector<uint8_t>* out);

// The data viewer's filtered text of a cluster: printable ASCII (0x20..0x7E) kept,
// every other byte (control characters, line breaks, bytes above 0x7E) shown as '.',
// so the text has one character per byte and lines up with the hex view.
std::string FilteredText(std::span<const uint8_t> bytes);

}  // namespace tw::volume
