// SPDX-License-Identifier: GPL-3.0-or-later
// Builds small FAT32 volumes in memory for the unit tests and the fuzz seeds: a boot
// sector with chosen geometry, two FATs and a data area, with helpers to set FAT
// entries and write directory entries. Far below the 65525 clusters a formatter would
// insist on: the reader decides FAT32 by the boot sector's fields, as the kernel does.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace tw::volume::testing {

// The 11 name bytes of a deleted entry: the deletion mark, then `rest` (the name without
// its first character, then the extension).
inline std::string Del(const std::string& rest) { return "\xE5" + rest; }

class FatImageBuilder {
  public:
    // `clusters` data clusters (numbered 2..clusters+1), root directory at cluster 2.
    explicit FatImageBuilder(uint32_t clusters = 64, uint32_t sectorsPerCluster = 1,
                             uint32_t bytesPerSector = 512, uint32_t reservedSectors = 4,
                             uint32_t fatCount = 2)
        : bps_(bytesPerSector),
          spc_(sectorsPerCluster),
          reserved_(reservedSectors),
          fats_(fatCount),
          clusters_(clusters) {
        spf_ = ((clusters + 2) * 4 + bps_ - 1) / bps_;
        total_ = reserved_ + fats_ * spf_ + clusters_ * spc_;
        img_.assign(static_cast<size_t>(total_) * bps_, 0);
        uint8_t* b = img_.data();
        b[0] = 0xEB;
        b[1] = 0x58;
        b[2] = 0x90;
        std::memcpy(b + 3, "TWTEST  ", 8);
        Put16(b + 0x0B, bps_);
        b[0x0D] = static_cast<uint8_t>(spc_);
        Put16(b + 0x0E, reserved_);
        b[0x10] = static_cast<uint8_t>(fats_);
        b[0x15] = 0xF8;
        Put32(b + 0x20, total_);
        Put32(b + 0x24, spf_);
        Put32(b + 0x2C, 2);
        Put16(b + 0x30, 1);
        b[0x42] = 0x29;
        std::memcpy(b + 0x52, "FAT32   ", 8);
        b[510] = 0x55;
        b[511] = 0xAA;
        SetFat(0, 0x0FFFFFF8);
        SetFat(1, 0x0FFFFFFF);
        SetFat(2, 0x0FFFFFFF);  // the root: one cluster
    }

    uint32_t BytesPerCluster() const { return bps_ * spc_; }
    uint32_t DataStartSector() const { return reserved_ + fats_ * spf_; }
    uint32_t ReservedSectors() const { return reserved_; }
    std::vector<uint8_t>& Bytes() { return img_; }
    uint8_t* Boot() { return img_.data(); }

    // Sets entry `cluster` in every FAT.
    void SetFat(uint32_t cluster, uint32_t value) {
        for (uint32_t f = 0; f < fats_; ++f)
            Put32(img_.data() + (reserved_ + f * spf_) * bps_ + cluster * 4, value);
    }
    // Links the clusters into one chain ending in end-of-chain.
    void Chain(const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < clusters.size(); ++i)
            SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0x0FFFFFFF);
    }
    uint8_t* Cluster(uint32_t cluster) {
        return img_.data() + (static_cast<size_t>(DataStartSector()) + (cluster - 2) * spc_) * bps_;
    }

    // Writes a 32-byte entry at slot `index` of the directory whose chain starts at
    // `dirCluster` (following the chain as it stands in the FAT). `name11` is the 11
    // raw name+extension bytes (use \xE5 for a deleted first byte).
    uint8_t* Entry(uint32_t dirCluster, uint32_t index, const std::string& name11, uint8_t attr,
                   uint32_t firstCluster, uint32_t size, uint16_t date = 0, uint16_t time = 0) {
        const uint32_t perCluster = BytesPerCluster() / 32;
        uint32_t c = dirCluster;
        for (uint32_t hop = index / perCluster; hop > 0; --hop) c = FatValue(c);
        uint8_t* e = Cluster(c) + (index % perCluster) * 32;
        std::memset(e, 0, 32);
        std::memset(e, ' ', 11);
        std::memcpy(e, name11.data(), name11.size() < 11 ? name11.size() : 11);
        e[0x0B] = attr;
        Put16(e + 0x0E, time);
        Put16(e + 0x10, date);
        Put16(e + 0x14, firstCluster >> 16);
        Put16(e + 0x16, time);
        Put16(e + 0x18, date);
        Put16(e + 0x1A, firstCluster & 0xFFFF);
        Put32(e + 0x1C, size);
        return e;
    }
    // A subdirectory at `cluster` with its "." and ".." entries.
    void Directory(uint32_t cluster, uint32_t parent) {
        SetFat(cluster, 0x0FFFFFFF);
        Entry(cluster, 0, ".", 0x10, cluster, 0);
        Entry(cluster, 1, "..", 0x10, parent == 2 ? 0 : parent, 0);
    }

    uint32_t FatValue(uint32_t cluster) const {
        return platform::Le32(img_.data() + reserved_ * bps_ + cluster * 4);
    }

    static void Put16(uint8_t* p, uint32_t v) { platform::PutLe16(p, static_cast<uint16_t>(v)); }
    static void Put32(uint8_t* p, uint32_t v) { platform::PutLe32(p, v); }

  private:
    uint32_t bps_, spc_, reserved_, fats_, clusters_, spf_, total_;
    std::vector<uint8_t> img_;
};

}  // namespace tw::volume::testing
