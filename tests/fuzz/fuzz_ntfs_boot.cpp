// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS boot-sector parser on arbitrary bytes. Input: the sector (512 bytes used),
// then optionally 8 bytes giving the volume's size. An accepted sector must give a
// geometry whose record size, cluster size and $MFT position are usable.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "volume/ntfs.h"

using namespace tw::volume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t volumeBytes = 0;
    if (size >= 520) std::memcpy(&volumeBytes, data + 512, 8);
    std::vector<uint8_t> bytes(data, data + std::min<size_t>(size, 512));
    for (uint64_t vb : {uint64_t{0}, volumeBytes}) {
        NtfsBootInfo b;
        if (!ParseNtfsBootSector(bytes, vb, &b)) continue;
        TW_FUZZ_CHECK(bytes.size() >= 512);
        TW_FUZZ_CHECK(b.bytesPerCluster == b.bytesPerSector * b.sectorsPerCluster);
        TW_FUZZ_CHECK(b.recordSize >= 512 && (b.recordSize & (b.recordSize - 1)) == 0);
        TW_FUZZ_CHECK(b.sectorsPerRecord * kSectorSize == b.recordSize);
        TW_FUZZ_CHECK(b.mftCluster < b.totalClusters);
        TW_FUZZ_CHECK(b.mftStartSector * kSectorSize == b.mftCluster * b.bytesPerCluster);
        TW_FUZZ_CHECK(b.systemEndSector == b.mftStartSector + kSystemRecords * b.sectorsPerRecord);
        if (vb != 0) TW_FUZZ_CHECK(b.mftStartSector * kSectorSize + 23ull * b.recordSize <= vb);
    }
    return 0;
}
