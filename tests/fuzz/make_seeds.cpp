// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the seed corpus of every fuzz target: small, well-formed structures (and a
// few damaged ones) that reach deep into each parser. The committed corpus under
// tests/fuzz/corpus/ was made with it:
//     fuzz_make_seeds tests/fuzz/corpus
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ntfs_volume_builder.h"
#include "tests/volume/fat_image_builder.h"

using tw::volume::fuzzing::BuildNtfsVolume;
using tw::volume::fuzzing::EncodeRuns;
using tw::volume::fuzzing::RecordBuilder;
using tw::volume::fuzzing::RunSpec;
using tw::volume::testing::Del;
using tw::volume::testing::FatImageBuilder;

namespace {

std::string g_root;

void Write(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(g_root + "/" + target);
    std::ofstream out(g_root + "/" + target + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) std::perror(name.c_str());
}

std::vector<uint8_t> WithSize(std::vector<uint8_t> sector, uint64_t size) {
    sector.resize(512);
    for (int i = 0; i < 8; ++i) sector.push_back(static_cast<uint8_t>(size >> (8 * i)));
    return sector;
}

constexpr uint8_t kArchive = 0x20;
constexpr uint16_t kDate = ((2024 - 1980) << 9) | (3 << 5) | 5;

// A tiny FAT32 volume: one reserved sector, one FAT sector, 16 clusters.
FatImageBuilder SmallFat(uint32_t spc = 1) { return FatImageBuilder(16, spc, 512, 1, 1); }

void FatSeeds() {
    {
        FatImageBuilder b(64);
        Write("fat_boot", "fat32_512", WithSize(b.Bytes(), b.Bytes().size()));
        FatImageBuilder c(40, 2, 4096, 8, 2);
        Write("fat_boot", "fat32_4096", WithSize(c.Bytes(), c.Bytes().size()));
        std::vector<uint8_t> s(512, 0);
        FatImageBuilder::Put16(&s[0x0B], 512);
        s[0x0D] = 1;
        FatImageBuilder::Put16(&s[0x0E], 1);
        s[0x10] = 2;
        FatImageBuilder::Put16(&s[0x11], 512);
        FatImageBuilder::Put16(&s[0x16], 20);
        FatImageBuilder::Put32(&s[0x20], 1 + 40 + 32 + 5000);
        Write("fat_boot", "fat16", WithSize(s, 0));
    }
    {
        // Nested folders, a volume label, a long-name entry, deleted and reused files.
        FatImageBuilder b = SmallFat();
        b.Entry(2, 0, "TWTEST     ", 0x08, 0, 0);
        b.Entry(2, 1, Del("ABCDEFGHIJ"), 0x0F, 0, 0);  // a deleted long-name entry
        b.Entry(2, 2, Del("OCUMENTTXT"), kArchive, 10, 1234, kDate, 0x7000);
        b.Entry(2, 3, "DIR1       ", 0x10, 3, 0);
        b.Directory(3, 2);
        b.Entry(3, 2, Del("EEP    BIN"), kArchive, 11, 600, kDate, 0);
        b.Entry(3, 3, "SUB     X  ", 0x10, 4, 0);
        b.Directory(4, 3);
        b.Entry(4, 2, Del("EUSED  DAT"), kArchive, 5, 10);
        b.SetFat(5, 0x0FFFFFFF);
        b.Entry(2, 4, Del("OLD       "), 0x10, 12, 0);
        b.Entry(2, 5, std::string("\0LD     TXT", 11), kArchive, 13, 1);
        Write("fat_walk", "nested", b.Bytes());
    }
    {
        // Loops: a root chain looping through two clusters, a folder naming the root
        // and one naming itself.
        FatImageBuilder b = SmallFat();
        b.Chain({2, 6, 7});
        b.SetFat(7, 6);
        b.Entry(2, 0, "DIR1       ", 0x10, 3, 0);
        b.Directory(3, 2);
        b.Entry(3, 2, "BACK       ", 0x10, 2, 0);
        b.Entry(3, 3, "SELF       ", 0x10, 3, 0);
        b.Entry(3, 4, Del("Z      TXT"), kArchive, 9, 1);
        for (uint32_t i = 1; i < 16; ++i) b.Entry(2, i, "L" + std::to_string(i), kArchive, 0, 0);
        b.Entry(2, 16, Del("Y      TXT"), kArchive, 10, 1);
        Write("fat_walk", "loops", b.Bytes());
    }
    {
        // Two sectors per cluster, a folder over three scattered clusters.
        FatImageBuilder b = SmallFat(2);
        b.Chain({2, 9, 4});
        for (uint32_t i = 0; i < 96; ++i) {
            std::string name = "F" + std::to_string(i);
            name.resize(7, ' ');
            if (i % 5 == 0)
                b.Entry(2, i, "\xE5" + name + "TXT", kArchive, 10 + i % 7, i);
            else
                b.Entry(2, i, "L" + std::to_string(i), kArchive, 0, 0);
        }
        Write("fat_walk", "multicluster", b.Bytes());
    }
    {
        // A deleted folder whose cluster is free and still a folder (with a deleted
        // file, a live-looking one and a deleted subfolder), and one whose cluster holds
        // something else by now.
        FatImageBuilder b = SmallFat();
        b.Entry(2, 0, Del("ONE       "), 0x10, 3, 0);
        b.Directory(3, 2);
        b.SetFat(3, 0);
        b.Entry(3, 2, Del("NGONE  TXT"), kArchive, 5, 600, kDate, 0);
        b.Entry(3, 3, "STILL   TXT", kArchive, 6, 100, kDate, 0);
        b.Entry(3, 4, Del("UB        "), 0x10, 4, 0);
        b.Directory(4, 3);
        b.SetFat(4, 0);
        b.Entry(4, 2, Del("EEP    BIN"), kArchive, 7, 10, kDate, 0);
        b.Entry(2, 1, Del("THER      "), 0x10, 8, 0);
        std::memset(b.Cluster(8), 'x', 512);
        Write("fat_walk", "deletedfolders", b.Bytes());
    }
}

void NtfsSeeds() {
    const std::vector<uint8_t> vol = BuildNtfsVolume();
    Write("ntfs_boot", "ntfs_512", WithSize(vol, vol.size()));
    {
        std::vector<uint8_t> s(vol.begin(), vol.begin() + 512);
        tw::volume::fuzzing::NtfsPut16(&s[0x0B], 4096);
        s[0x0D] = 1;
        s[0x40] = 0x01;  // one cluster per record
        Write("ntfs_boot", "ntfs_4096", WithSize(s, 0));
    }

    auto runs = [](uint32_t clusters, const std::vector<uint8_t>& list) {
        std::vector<uint8_t> out(4);
        tw::volume::fuzzing::NtfsPut32(out.data(), clusters);
        out.insert(out.end(), list.begin(), list.end());
        return out;
    };
    Write("ntfs_runs", "negative", runs(1000, {0x11, 0x10, 0x80, 0x21, 0x10, 0x00, 0x80, 0x00}));
    Write("ntfs_runs", "sparse",
          runs(0, EncodeRuns({{300, 4}, {0, 8, true}, {-20, 2}, {100000, 3}})));
    Write("ntfs_runs", "wide", runs(0, {0x48, 1, 2, 3, 4, 5, 6, 7, 8, 0x7F, 0x00}));

    const auto resident =
        RecordBuilder(0)
            .StandardInformation(132000000000000000ull, 132000000000000000ull, 0x20)
            .FileName(5, 5, u"note.txt")
            .ResidentData("hello, record")
            .Finish();
    Write("ntfs_record", "resident", resident);
    const auto nonResident = RecordBuilder(0)
                                 .StandardInformation(0, 0, 0x20)
                                 .FileName(5, 5, u"DATA~1.BIN", 2)
                                 .FileName(5, 5, u"data file \u00e9\u4e2d.bin", 1)
                                 .NonResident(0x80, {{350, 4}, {0, 2, true}, {-30, 1}}, 3000)
                                 .Finish();
    Write("ntfs_record", "nonresident", nonResident);
    Write("ntfs_record", "attrlist",
          RecordBuilder(0)
              .StandardInformation(0, 0, 0)
              .AttributeList({{0x30, 23, 1}, {0x80, 25, 1}})
              .Finish());

    // Volume seeds: records 23 on, left as the reader sees them after the fix-up (the
    // harness stamps the update sequence).
    auto records = [](std::initializer_list<std::vector<uint8_t>> recs) {
        std::vector<uint8_t> out;
        for (const auto& r : recs) out.insert(out.end(), r.begin(), r.end());
        return out;
    };
    Write("ntfs_volume", "files",
          records({RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(5, 5, u"note.txt")
                       .ResidentData("hello")
                       .Finish(false),
                   RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(5, 5, u"free.bin")
                       .NonResident(0x80, {{350, 4}}, 2000)
                       .Finish(false),
                   RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(5, 5, u"half.bin")
                       .NonResident(0x80, {{308, 4}}, 2000)
                       .Finish(false),
                   RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(5, 5, u"gone.bin")
                       .NonResident(0x80, {{300, 3}}, 1500)
                       .Finish(false)}));
    Write("ntfs_volume", "folders",
          records({RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(24, 1, u"in docs.txt")
                       .NonResident(0x80, {{400, 2}, {-80, 1}, {0, 3, true}}, 2500)
                       .Finish(false),
                   RecordBuilder(0x3)
                       .StandardInformation(0, 0, 0x10)
                       .FileName(5, 5, u"docs")
                       .Finish(false),
                   RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .FileName(40, 3, u"orphan.txt")
                       .ResidentData("x")
                       .Finish(false)}));
    Write("ntfs_volume", "attrlist",
          records({RecordBuilder(0)
                       .StandardInformation(0, 0, 0x20)
                       .AttributeList({{0x30, 24, 1}, {0x80, 25, 1}})
                       .Finish(false),
                   RecordBuilder(0).Base(23, 1).FileName(5, 5, u"listed.bin").Finish(false),
                   RecordBuilder(0).Base(23, 1).NonResident(0x80, {{420, 2}}, 900).Finish(false)}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    FatSeeds();
    NtfsSeeds();
    return 0;
}
