// SPDX-License-Identifier: GPL-3.0-or-later
// FAT32 structures and the deleted-file walk on volumes crafted in memory.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fat_image_builder.h"
#include "tests/common/recording_sink.h"
#include "volume/fat32.h"

namespace tw::volume {
namespace {

using testing::Del;
using testing::FatImageBuilder;

// Opens a memory drive over the builder's bytes (copied); reads of a sector in `fail`
// fail as EIO would.
std::unique_ptr<CRawDriveRef> Drive(FatImageBuilder& b, std::set<uint64_t> fail = {}) {
    auto faulty = std::make_unique<CRawDriveFaulty>(std::make_unique<CRawDriveMemory>(b.Bytes()));
    faulty->failSectors = std::move(fail);
    auto ref = std::make_unique<CRawDriveRef>(std::move(faulty));
    EXPECT_TRUE(ref->Open("memory"));
    return ref;
}

// The walk from the root alone, for what its statistics say.
struct Walked {
    std::unique_ptr<CRawDriveRef> drive;
    SearchContext ctx;
    std::unique_ptr<FatTable> fat;
    std::unique_ptr<FatWalk> walk;
    Outcome outcome = Outcome::Failed;
    explicit Walked(FatImageBuilder& b) : drive(Drive(b)) {
        ctx.drive = drive.get();
        ctx.driveText = "/";
        fat = std::make_unique<FatTable>(*drive, *ReadFatBootInfo(*drive));
        walk.reset(new FatWalk{ctx, *fat, {}, {}, {}});
        outcome = WalkDirectory(*walk, 2, "/");
    }
};

struct Search {
    std::unique_ptr<CRawDriveRef> drive;
    tw::test::TestOperation op;
    SearchContext ctx;
    Outcome outcome = Outcome::Failed;

    std::vector<std::string> Names() const {
        std::vector<std::string> n;
        for (const auto& f : ctx.found) n.push_back(f.folder + "|" + f.name);
        return n;
    }
};

std::unique_ptr<Search> RunSearch(FatImageBuilder& b, std::set<uint64_t> fail = {}) {
    auto s = std::make_unique<Search>();
    s->drive = Drive(b, std::move(fail));
    s->ctx.driveText = "/mnt/usb/";
    s->ctx.drive = s->drive.get();
    s->ctx.op = &s->op;
    s->outcome = SearchFat32(s->ctx);
    return s;
}

constexpr uint8_t kArchive = 0x20;

// Live file entries in slots [from, to) of a directory, so that no all-zero entry ends
// it before the slots a test cares about.
void FillLive(FatImageBuilder& b, uint32_t dir, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) b.Entry(dir, i, "L" + std::to_string(i), 0x20, 0, 0);
}
constexpr uint16_t kDate = ((2024 - 1980) << 9) | (3 << 5) | 5;  // 2024-03-05
constexpr uint16_t kTime = (14 << 11) | (30 << 5) | 3;           // 14:30:06

// ---------------------------------------------------------------------------------
// Boot sector

TEST(FatBoot, RejectsFieldsOutOfRange) {
    struct Case {
        const char* what;
        void (*spoil)(uint8_t*);
    };
    const Case cases[] = {
        {"bytes per sector 0", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x0B, 0); }},
        {"bytes per sector 513", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x0B, 513); }},
        {"bytes per sector 256", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x0B, 256); }},
        {"bytes per sector 8192", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x0B, 8192); }},
        {"sectors per cluster 0", [](uint8_t* s) { s[0x0D] = 0; }},
        {"sectors per cluster 3", [](uint8_t* s) { s[0x0D] = 3; }},
        {"sectors per cluster 255", [](uint8_t* s) { s[0x0D] = 255; }},
        {"no reserved sectors", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x0E, 0); }},
        {"no FAT", [](uint8_t* s) { s[0x10] = 0; }},
        {"no sectors", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x20, 0); }},
        {"no sectors per FAT", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x24, 0); }},
        {"16-bit FAT size on FAT32", [](uint8_t* s) { FatImageBuilder::Put16(s + 0x16, 9); }},
        {"FATs past the volume", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x24, 0x10000000); }},
        {"255 FATs", [](uint8_t* s) { s[0x10] = 255; }},
        {"root cluster 0", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x2C, 0); }},
        {"root cluster 1", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x2C, 1); }},
        {"root cluster past the volume", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x2C, 66); }},
        {"root cluster huge", [](uint8_t* s) { FatImageBuilder::Put32(s + 0x2C, 0xFFFFFFF0); }},
    };
    for (const auto& c : cases) {
        FatImageBuilder b(64);
        c.spoil(b.Boot());
        auto drive = Drive(b);
        EXPECT_FALSE(ReadFatBootInfo(*drive).ok()) << c.what;
    }
}

TEST(FatBoot, ClustersEndWhereTheVolumeOrTheFatEndsAndVariantNames) {
    FatImageBuilder b(64);
    // The last cluster (65) exists in a whole image ...
    EXPECT_EQ(ParseFatBootSector(b.Boot(), 512, b.Bytes().size())->maxCluster, 65u);
    // ... but not in an image cut short by ten clusters: they are not walked.
    EXPECT_EQ(ParseFatBootSector(b.Boot(), 512, b.Bytes().size() - 10 * 512)->maxCluster, 55u);
    // A FAT smaller than the data area limits the clusters to the entries it has.
    FatImageBuilder c(200);
    FatImageBuilder::Put32(c.Boot() + 0x24, 1);  // 128 entries
    auto small = ParseFatBootSector(c.Boot(), 512, c.Bytes().size());
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(small->maxCluster, 127u);
    // Shorter than a sector: refused without reading past the bytes given.
    EXPECT_FALSE(ParseFatBootSector(b.Boot(), 511, 0).ok());

    // Variant names come from the fields and the cluster count.
    EXPECT_EQ(FatVariantName(b.Boot(), 512, b.Bytes().size()), "FAT32");
    // The same volume described with a 16-bit FAT size is FAT12 by its cluster count.
    FatImageBuilder::Put16(b.Boot() + 0x16, 1);
    FatImageBuilder::Put16(b.Boot() + 0x11, 512);
    EXPECT_EQ(FatVariantName(b.Boot(), 512, 0), "FAT12");
    FatImageBuilder::Put16(b.Boot() + 0x16, 0);
    std::memcpy(b.Boot() + 3, "NTFS    ", 8);
    EXPECT_EQ(FatVariantName(b.Boot(), 512, 0), "");
    std::vector<uint8_t> zeros(512, 0);
    EXPECT_EQ(FatVariantName(zeros.data(), zeros.size(), 0), "");

    // 5000 clusters with a 16-bit FAT size: FAT16; the root directory area lies before
    // the data area and counts towards the data start.
    std::vector<uint8_t> s(512, 0);
    FatImageBuilder::Put16(s.data() + 0x0B, 512);
    s[0x0D] = 1;
    FatImageBuilder::Put16(s.data() + 0x0E, 1);
    s[0x10] = 2;
    FatImageBuilder::Put16(s.data() + 0x11, 512);  // 32 sectors of root directory
    FatImageBuilder::Put16(s.data() + 0x16, 20);   // 5120 entries
    FatImageBuilder::Put32(s.data() + 0x20, 1 + 40 + 32 + 5000);
    EXPECT_EQ(FatVariantName(s.data(), s.size(), 0), "FAT16");
    auto boot = ParseFatBootSector(s.data(), s.size(), 0, FatKind::Fat16);
    ASSERT_TRUE(boot.ok());
    EXPECT_EQ(boot->dataStartSector, 73u);
    EXPECT_EQ(boot->rootCluster, 2u);
}

// ---------------------------------------------------------------------------------
// FAT entries and chains

TEST(FatTable, CachedEntriesMatchSingleSectorReadsAndUnreadableOnesAreNotFree) {
    FatImageBuilder b(4000);
    for (uint32_t c = 3; c < 4000; ++c) b.SetFat(c, (c * 2654435761u) & 0x0FFFFFFF);
    b.SetFat(17, 0xF0000000);  // reserved top bits kept as they stand
    auto drive = Drive(b);
    auto boot = ReadFatBootInfo(*drive);
    ASSERT_TRUE(boot.ok());
    FatTable fat(*drive, *boot);
    for (uint32_t c = 0; c < 4002; c += 7)
        ASSERT_EQ(fat.Entry(c), ReadFatEntry(c, *boot, *drive)) << c;
    EXPECT_EQ(fat.Entry(17), 0xF0000000u);
    // 16 KiB of FAT: one piece, one read.
    EXPECT_EQ(fat.ReadCount(), 1u);
    // Past the FAT: reads as 0 and reads nothing.
    EXPECT_EQ(fat.Entry(0x0FFFFFF0), 0u);
    EXPECT_EQ(ReadFatEntry(0x0FFFFFF0, *boot, *drive), 0u);

    // A FAT sector that cannot be read (entries 128..255) never reads as free; the rest
    // of its piece is still read.
    auto faulty = Drive(b, {b.ReservedSectors() + 1});
    FatTable damaged(*faulty, *boot);
    EXPECT_EQ(damaged.Entry(200), kFatEntryUnreadable);
    EXPECT_EQ(ReadFatEntry(200, *boot, *faulty), kFatEntryUnreadable);
    EXPECT_EQ(damaged.Entry(100), fat.Entry(100));
    EXPECT_EQ(damaged.Entry(300), fat.Entry(300));
}

class FatChain : public ::testing::Test {
  protected:
    FatImageBuilder b{64};
    std::vector<uint32_t> Follow(uint32_t first, uint64_t max = UINT64_MAX,
                                 const OpContext& op = tw::IdleOperation(),
                                 bool* stopped = nullptr) {
        drive = Drive(b);
        auto boot = ReadFatBootInfo(*drive);
        EXPECT_TRUE(boot.ok());
        FatTable fat(*drive, *boot);
        std::vector<uint32_t> out;
        const uint64_t n = FollowChain(first, fat, out, op, max, stopped);
        EXPECT_EQ(n, out.size());
        return out;
    }
    std::unique_ptr<CRawDriveRef> drive;
};

TEST_F(FatChain, EndsAtEndOfChainFreeBadOutOfRangeLoopsAndStop) {
    b.Chain({10, 11, 20, 12});
    EXPECT_EQ(Follow(10), (std::vector<uint32_t>{10, 11, 20, 12}));
    // Free, bad, past the last cluster (65), reserved.
    for (uint32_t end : {0u, 0x0FFFFFF7u, 66u, 1u}) {
        b.SetFat(12, end);
        EXPECT_EQ(Follow(10), (std::vector<uint32_t>{10, 11, 20, 12})) << end;
    }
    // The reserved top bits are not part of the next cluster number.
    b.SetFat(12, 0x10000000 | 13);
    b.SetFat(13, 0xFFFFFFFF);
    EXPECT_EQ(Follow(10), (std::vector<uint32_t>{10, 11, 20, 12, 13}));
    // A first cluster outside the data clusters is given back alone.
    EXPECT_EQ(Follow(0), (std::vector<uint32_t>{0}));
    EXPECT_EQ(Follow(70), (std::vector<uint32_t>{70}));

    // Loops end after the looping cluster.
    b.SetFat(5, 5);  // a cluster that points to itself
    EXPECT_EQ(Follow(5), (std::vector<uint32_t>{5}));
    b.Chain({30, 31, 32, 33});
    b.SetFat(33, 31);  // a loop through three clusters
    EXPECT_EQ(Follow(30), (std::vector<uint32_t>{30, 31, 32, 33}));
    EXPECT_EQ(Follow(30, 2), (std::vector<uint32_t>{30, 31}));

    // The stop flag ends the chain.
    std::atomic<int> abort{1};
    tw::test::TestOperation op;
    op.UseStopFlag(abort);
    bool stopped = false;
    EXPECT_EQ(Follow(10, UINT64_MAX, op, &stopped), (std::vector<uint32_t>{10}));
    EXPECT_TRUE(stopped);
}

// ---------------------------------------------------------------------------------
// Names and times

TEST(FatNames, Cp437MatchesTheSystemConverter) {
    iconv_t cd = iconv_open("UTF-8", "CP437");
    if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "iconv has no CP437";
    for (int c = 0x80; c <= 0xFF; ++c) {
        char in[1] = {static_cast<char>(c)};
        char out[8] = {};
        char* ip = in;
        char* op = out;
        size_t il = 1, ol = sizeof out;
        ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1)) << c;
        EXPECT_EQ(Cp437ToUtf8(std::string(1, static_cast<char>(c))), std::string(out, op)) << c;
    }
    iconv_close(cd);
    EXPECT_EQ(Cp437ToUtf8("A\x01\x7F"), "A\u263A\u2302");  // no control characters leave
}

TEST(FatNames, ShortNamesAreTrimmedAndConvertedAndDosTimesRead) {
    uint8_t e[32] = {};
    auto set = [&](const char* name11) { std::memcpy(e, name11, 11); };
    set("README  TXT");
    EXPECT_EQ(ShortNameText(e), "README.TXT");
    set("DIR1       ");
    EXPECT_EQ(ShortNameText(e), "DIR1");
    set("FOLDER  OLD");  // a folder with an extension keeps it
    EXPECT_EQ(ShortNameText(e), "FOLDER.OLD");
    set("\x05"
        "BC     TX ");  // 0x05 stands for a first byte 0xE5 (code page 437: sigma)
    EXPECT_EQ(ShortNameText(e), "\u03C3BC.TX");
    set("\x82T\x82     \x94  ");
    EXPECT_EQ(ShortNameText(e), "\u00E9T\u00E9.\u00F6");

    // Dates and times; impossible ones are 0.
    EXPECT_EQ(IsoUtc(DosDateTimeToFileTime(kDate, kTime)), "2024-03-05T14:30:06Z");
    EXPECT_EQ(IsoUtc(DosDateTimeToFileTime(0x0021, 0)), "1980-01-01T00:00:00Z");
    EXPECT_EQ(DosDateTimeToFileTime(0, kTime), 0u);
    EXPECT_EQ(DosDateTimeToFileTime((44 << 9) | (13 << 5) | 1, 0), 0u);  // month 13
    EXPECT_EQ(DosDateTimeToFileTime((44 << 9) | (2 << 5) | 30, 0), 0u);  // 30 February
    EXPECT_EQ(DosDateTimeToFileTime(kDate, (24 << 11)), 0u);             // hour 24
}

// ---------------------------------------------------------------------------------
// The deleted-file walk

TEST(FatSearch, ReportsOnlyDeletedFilesWhoseFirstClusterIsFree) {
    FatImageBuilder b(64);
    b.Entry(2, 0, "TWTEST     ", 0x08, 0, 0);                            // volume label
    b.Entry(2, 1, Del("OCUMENTTXT"), kArchive, 10, 1234, kDate, kTime);  // deleted, free
    b.Entry(2, 2, Del("EUSED  BIN"), kArchive, 11, 99);                  // first cluster reused
    b.SetFat(11, 0x0FFFFFFF);
    b.Entry(2, 3, Del("MPTY   TXT"), kArchive, 0, 0);  // empty file
    b.Entry(2, 4, Del("NE     TXT"), kArchive, 1, 0);  // cluster 1
    b.Entry(2, 5, "LIVE    TXT", kArchive, 12, 50);    // live file
    b.SetFat(12, 0x0FFFFFFF);
    b.Entry(2, 6, Del("AR    "), 0x0F, 13, 0);                          // deleted long-name entry
    b.Entry(2, 7, Del("OEXT     "), 0x01, 14, 7);                       // no extension, read-only
    b.Entry(2, 8, std::string("\x00PACE   TXT", 11), kArchive, 15, 8);  // free slot, old bytes
    b.Entry(2, 9, Del("ARFAR  TXT"), kArchive, 500, 8);                 // past the volume
    b.SetFat(16, 0xF0000000);                                           // free, reserved bits set
    b.Entry(2, 10, Del("ESERVEDTXT"), kArchive, 16, 9);
    b.Entry(2, 12, Del("FTEREND   "), kArchive, 17, 9);  // past the all-zero slot 11: not read
    auto s = RunSearch(b);
    EXPECT_EQ(s->outcome, Outcome::Ok);
    ASSERT_EQ(s->Names(),
              (std::vector<std::string>{"/mnt/usb/|?OCUMENT.TXT", "/mnt/usb/|?OEXT",
                                        "/mnt/usb/|?PACE.TXT", "/mnt/usb/|?ESERVED.TXT"}));
    const RecoverableFile& f = s->ctx.found[0];
    EXPECT_EQ(f.size, 1234u);
    EXPECT_EQ(f.location, 10u);
    EXPECT_EQ(f.recoverability, 100);
    EXPECT_EQ(f.fs, FileSystemKind::Fat32);
    EXPECT_FALSE(f.resident);
    EXPECT_EQ(f.directoryCluster, 2u);
    EXPECT_EQ(f.attributes, AttributeText(0x20));
    EXPECT_EQ(IsoUtc(f.created), "2024-03-05T14:30:06Z");
    EXPECT_EQ(IsoUtc(f.modified), "2024-03-05T14:30:06Z");
    EXPECT_EQ(s->ctx.found[1].attributes, AttributeText(0x01));
}

// Dot entries are never descended, loops in a folder's chain and cycles between folders
// end, and nesting deeper than any real tree is cut off.
TEST(FatSearch, DotEntriesLoopsCyclesAndDeepNestingEndTheWalk) {
    {
        FatImageBuilder b(64);
        b.Entry(2, 0, "DIR1       ", 0x10, 3, 0);
        b.Directory(3, 2);
        // A ".." that names a real folder cluster and a "." that names another folder:
        // following either would walk a folder a second time.
        b.Entry(3, 1, "..         ", 0x10, 4, 0);
        b.Entry(3, 0, ".          ", 0x10, 4, 0);
        b.Entry(2, 1, "DIR2       ", 0x10, 4, 0);
        b.Directory(4, 2);
        b.Entry(4, 2, Del("X      TXT"), kArchive, 30, 1);
        Walked w(b);
        EXPECT_EQ(w.outcome, Outcome::Ok);
        EXPECT_EQ(w.walk->stats.directoriesWalked, 3u);
        EXPECT_EQ(w.walk->stats.directoryLoops, 0u);
        ASSERT_EQ(w.ctx.found.size(), 1u);
        EXPECT_EQ(w.ctx.found[0].folder, "/DIR2");
    }
    {
        FatImageBuilder b(64);
        b.Chain({2, 6, 7});
        b.SetFat(7, 6);  // the root's chain loops through two clusters
        b.Entry(2, 0, "DIR1       ", 0x10, 3, 0);
        b.Directory(3, 2);
        b.Entry(3, 2, "BACK       ", 0x10, 2, 0);  // a live folder naming the root: a cycle
        b.Entry(3, 3, "SELF       ", 0x10, 3, 0);  // a folder naming itself
        b.Entry(3, 4, "INTO       ", 0x10, 7, 0);  // a folder starting inside the root's chain
        b.Entry(3, 5, "BADCLUS    ", 0x10, 900, 0);
        b.Entry(3, 6, Del("Z      TXT"), kArchive, 30, 1);
        b.Entry(2, 16, Del("Y      TXT"), kArchive, 31, 1);  // in cluster 6
        b.Entry(2, 32, Del("W      TXT"), kArchive, 32, 1);  // in cluster 7
        FillLive(b, 2, 1, 16);
        FillLive(b, 2, 17, 32);
        auto s = RunSearch(b);
        EXPECT_EQ(s->outcome, Outcome::Ok);
        EXPECT_EQ(s->Names(), (std::vector<std::string>{"/mnt/usb/DIR1|?Z.TXT", "/mnt/usb/|?Y.TXT",
                                                        "/mnt/usb/|?W.TXT"}));
    }
    {
        // Every folder holds one subfolder: a chain of folders deeper than any real tree.
        FatImageBuilder b(kMaxDirectoryDepth + 20);
        const uint32_t last = kMaxDirectoryDepth + 12;
        for (uint32_t c = 2; c < last; ++c) {
            if (c > 2) b.Directory(c, c - 1);
            const uint32_t slot = c == 2 ? 0 : 2;
            b.Entry(c, slot, "D          ", 0x10, c + 1, 0);
            b.Entry(c, slot + 1, Del("F      TXT"), kArchive, last + 5, 1);
        }
        b.Directory(last, last - 1);
        Walked w(b);
        EXPECT_EQ(w.outcome, Outcome::Ok);
        EXPECT_EQ(w.walk->stats.directoriesWalked, uint64_t{kMaxDirectoryDepth} + 1);
        EXPECT_EQ(w.walk->stats.tooDeep, 1u);
        EXPECT_EQ(w.ctx.found.size(), uint64_t{kMaxDirectoryDepth} + 1);
    }
}

// A damaged or unreadable boot sector ends the search; an unreadable folder cluster is
// skipped and the rest of the folder still read.
TEST(FatSearch, DamageEndsTheSearchOnlyWhereItMust) {
    {
        FatImageBuilder b(64);
        b.Entry(2, 0, Del("A      TXT"), kArchive, 40, 1);
        b.Boot()[0x0D] = 0;
        auto s = RunSearch(b);
        EXPECT_EQ(s->outcome, Outcome::Failed);
        EXPECT_TRUE(s->ctx.found.empty());
        // An unreadable one ends it the same way.
        FatImageBuilder c(64);
        EXPECT_EQ(RunSearch(c, {0})->outcome, Outcome::Failed);
    }
    FatImageBuilder b(64);
    b.Chain({2, 3, 4});
    b.Entry(2, 0, Del("A      TXT"), kArchive, 40, 1);
    b.Entry(2, 16, Del("B      TXT"), kArchive, 41, 1);
    b.Entry(2, 32, Del("C      TXT"), kArchive, 42, 1);
    FillLive(b, 2, 1, 16);
    FillLive(b, 2, 17, 32);
    auto s = RunSearch(b, {b.DataStartSector() + 1});  // cluster 3 cannot be read
    EXPECT_EQ(s->outcome, Outcome::Ok);
    EXPECT_EQ(s->Names(), (std::vector<std::string>{"/mnt/usb/|?A.TXT", "/mnt/usb/|?C.TXT"}));
}

TEST(FatSearch, StopFlagEndsTheWalkAndLiveDisplaySeesEachItem) {
    FatImageBuilder b(64);
    for (uint32_t i = 0; i < 10; ++i)
        b.Entry(2, i, Del("F") + std::to_string(i), kArchive, 20 + i, 1);
    std::atomic<int> abort{0};
    test::RecordingSink sink;
    auto s = std::make_unique<Search>();
    s->drive = Drive(b);
    s->ctx.drive = s->drive.get();
    s->op.UseStopFlag(abort);
    s->op.SetSink(&sink);
    s->ctx.op = &s->op;
    int seen = 0;
    s->ctx.onFound = [&](const RecoverableFile& f) {
        EXPECT_EQ(f.name, "?F" + std::to_string(seen));
        if (++seen == 3) abort = 1;
    };
    EXPECT_EQ(SearchFat32(s->ctx), Outcome::Stopped);
    EXPECT_EQ(s->ctx.found.size(), 3u);
    EXPECT_EQ(sink.statuses.back(), "Searching for recoverable files (Found: 3 recoverable files)");
    EXPECT_NE(std::find(sink.statuses.begin(), sink.statuses.end(),
                        "Searching for recoverable files (Found: 1 recoverable file)"),
              sink.statuses.end());
    // The root of an image without a drive text is "/".
    EXPECT_EQ(s->ctx.found[0].folder, "/");
}

}  // namespace
}  // namespace tw::volume
