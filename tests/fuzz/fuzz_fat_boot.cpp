// SPDX-License-Identifier: GPL-3.0-or-later
// The FAT boot-sector parser on arbitrary bytes. Input: the sector (512 bytes are
// used; shorter inputs must be refused), then optionally 8 bytes giving the size of
// the drive it came from. Every accepted geometry must describe clusters that lie
// inside the volume and a FAT that holds an entry for each of them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "volume/fat32.h"

using namespace tw::volume;
using tw::Outcome;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t driveBytes = 0;
    if (size >= 520) std::memcpy(&driveBytes, data + 512, 8);
    // A copy of exactly the given length, so that a read past it is caught.
    std::vector<uint8_t> bytes(data, data + std::min<size_t>(size, 512));
    for (FatKind kind : {FatKind::Fat32, FatKind::Fat16, FatKind::Fat12}) {
        auto r = ParseFatBootSector(bytes.data(), bytes.size(), driveBytes, kind);
        if (!r.ok()) continue;
        const FatBootInfo& b = *r;
        TW_FUZZ_CHECK(bytes.size() >= 512);
        TW_FUZZ_CHECK(b.bytesPerSector >= 512 && b.bytesPerSector <= 4096);
        TW_FUZZ_CHECK((b.bytesPerSector & (b.bytesPerSector - 1)) == 0);
        TW_FUZZ_CHECK(b.sectorsPerCluster >= 1 && b.sectorsPerCluster <= 128);
        TW_FUZZ_CHECK((b.sectorsPerCluster & (b.sectorsPerCluster - 1)) == 0);
        TW_FUZZ_CHECK(b.maxCluster >= 2 && b.maxCluster <= 0x0FFFFFF6);
        uint64_t usable = b.totalSectors;
        if (driveBytes) usable = std::min<uint64_t>(usable, driveBytes / b.bytesPerSector);
        // The last cluster ends inside the volume.
        TW_FUZZ_CHECK(ClusterToSector(b.maxCluster, b.sectorsPerCluster, b.dataStartSector) +
                          b.sectorsPerCluster <=
                      usable);
        if (kind == FatKind::Fat32) {
            TW_FUZZ_CHECK(uint64_t{b.maxCluster} * 4 + 4 <= b.fatSizeBytes);
            TW_FUZZ_CHECK(b.rootCluster >= 2 && b.rootCluster <= b.maxCluster);
        }
    }
    const std::string name = FatVariantName(bytes.data(), bytes.size(), driveBytes);
    TW_FUZZ_CHECK(name.empty() || name == "FAT12" || name == "FAT16" || name == "FAT32");
    return 0;
}
