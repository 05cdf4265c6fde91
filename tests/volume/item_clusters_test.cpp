// SPDX-License-Identifier: GPL-3.0-or-later
// Where a found item's data lies: the FAT32 guess of free clusters after the first
// one, the NTFS runs the search kept, and reading single clusters.
#include "volume/item_clusters.h"

#include <gtest/gtest.h>

#include <atomic>

#include "tests/common/recording_sink.h"
#include "tests/volume/fat_image_builder.h"

namespace tw::volume {
namespace {

using testing::FatImageBuilder;

// A volume of one-sector clusters (64 unless said) held in memory.
struct FatFixture {
    explicit FatFixture(uint32_t clusters = 64) : img(clusters) {}
    FatImageBuilder img;
    std::unique_ptr<CRawDriveRef> drivePtr;
    FatBootInfo boot;
    std::unique_ptr<FatTable> fat;

    // Opens the bytes as they are now (after the test's edits).
    bool Open() {
        drivePtr = std::make_unique<CRawDriveRef>(std::make_unique<CRawDriveMemory>(img.Bytes()));
        if (!drivePtr->Open("mem")) return false;
        auto b = ReadFatBootInfo(*drivePtr);
        if (!b) return false;
        boot = *b;
        fat = std::make_unique<FatTable>(*drivePtr, boot);
        return true;
    }
};

TEST(FatItemClusters, SkipClustersTakenByOtherFilesEndWithTheVolumeAndStop) {
    FatFixture f;
    f.img.SetFat(11, 0x0FFFFFFF);  // a live file's cluster
    f.img.Chain({13, 14});         // another live file
    f.img.SetFat(16, 0xF0000000);  // only reserved bits: counts as free
    f.img.SetFat(17, 0x0FFFFFF7);  // bad cluster
    ASSERT_TRUE(f.Open());
    tw::test::TestOperation op;
    EXPECT_EQ(FatItemClusters(*f.fat, 10, 5, op), (std::vector<uint32_t>{10, 12, 15, 16, 18}));
    // The first cluster is taken as it stands, whatever its entry says.
    EXPECT_EQ(FatItemClusters(*f.fat, 11, 2, op), (std::vector<uint32_t>{11, 12}));
    EXPECT_EQ(FatItemClusters(*f.fat, 10, 1, op), (std::vector<uint32_t>{10}));

    // The list stops at the end of the volume; non-data clusters give none.
    const uint32_t maxCluster = f.boot.maxCluster;
    ASSERT_EQ(maxCluster, 65u);
    auto tail = FatItemClusters(*f.fat, maxCluster - 1, 10, op);
    EXPECT_EQ(tail, (std::vector<uint32_t>{maxCluster - 1, maxCluster}));
    // A size from a damaged entry cannot make the list longer than the volume.
    EXPECT_LE(FatItemClusters(*f.fat, 3, UINT64_MAX, op).size(), 64u);
    EXPECT_TRUE(FatItemClusters(*f.fat, 0, 3, op).empty());
    EXPECT_TRUE(FatItemClusters(*f.fat, 1, 3, op).empty());
    EXPECT_TRUE(FatItemClusters(*f.fat, maxCluster + 1, 3, op).empty());
    EXPECT_TRUE(FatItemClusters(*f.fat, 5, 0, op).empty());

    // Enough taken clusters after the first that the scan must check the stop flag.
    FatFixture big(20000);
    for (uint32_t c = 4; c < 20000; ++c) big.img.SetFat(c, 0x0FFFFFFF);
    ASSERT_TRUE(big.Open());
    std::atomic<int> stop{1};
    op.UseStopFlag(stop);
    bool stopped = false;
    auto list = FatItemClusters(*big.fat, 3, 5, op, &stopped);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(list, (std::vector<uint32_t>{3}));
    stop = 0;
    list = FatItemClusters(*big.fat, 3, 2, op, &stopped);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(list, (std::vector<uint32_t>{3, 20000}));
}

TEST(ReadCluster, FatClustersAreNumberedFromTwoBoundsCheckedAndReadWhole) {
    FatImageBuilder img(40, 4, 1024);  // 4 KiB clusters of 1024-byte sectors, 2..41
    std::memset(img.Cluster(5), 'x', 4096);
    img.Cluster(5)[4095] = 'y';
    std::memset(img.Cluster(2), 'R', 4096);
    std::memset(img.Cluster(41), 'L', 4096);
    auto mem = std::make_unique<CRawDriveMemory>(img.Bytes());
    auto faulty = std::make_unique<CRawDriveFaulty>(std::move(mem));
    CRawDriveFaulty* raw = faulty.get();
    CRawDriveRef drive(std::move(faulty));
    ASSERT_TRUE(drive.Open("mem"));
    auto boot = ReadFatBootInfo(drive);
    ASSERT_TRUE(boot);
    std::vector<uint8_t> out;
    ASSERT_TRUE(ReadCluster(drive, *boot, 5, &out));
    ASSERT_EQ(out.size(), 4096u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(out[4095], 'y');
    ASSERT_TRUE(ReadCluster(drive, *boot, 2, &out));
    EXPECT_EQ(out, std::vector<uint8_t>(4096, 'R'));
    ASSERT_TRUE(ReadCluster(drive, *boot, 41, &out));
    EXPECT_EQ(out, std::vector<uint8_t>(4096, 'L'));
    EXPECT_FALSE(ReadCluster(drive, *boot, 42, &out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(ReadCluster(drive, *boot, 1, &out));
    EXPECT_FALSE(ReadCluster(drive, *boot, 0, &out));
    const uint64_t lastSector =
        ToDriveSector(*boot, ClusterToSector(5, boot->sectorsPerCluster, boot->dataStartSector)) +
        7;
    raw->failSectors.insert(lastSector);
    EXPECT_FALSE(ReadCluster(drive, *boot, 5, &out));
    EXPECT_TRUE(out.empty());
}

NtfsBootInfo Geometry(uint32_t bytesPerCluster, uint64_t totalClusters) {
    NtfsBootInfo b;
    b.bytesPerSector = 512;
    b.bytesPerCluster = bytesPerCluster;
    b.sectorsPerCluster = bytesPerCluster >= 512 ? bytesPerCluster / 512 : 1;
    b.totalClusters = totalClusters;
    return b;
}

TEST(ReadCluster, NtfsClustersOfAnySizeAndOnlyInsideTheVolume) {
    std::vector<uint8_t> bytes(64 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    CRawDriveRef drive(std::make_unique<CRawDriveMemory>(bytes));
    ASSERT_TRUE(drive.Open("mem"));
    std::vector<uint8_t> out;
    NtfsBootInfo b4k = Geometry(4096, 16);
    ASSERT_TRUE(ReadCluster(drive, b4k, 3, &out));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 3 * 4096));
    EXPECT_EQ(out.size(), 4096u);
    ASSERT_TRUE(ReadCluster(drive, b4k, 15, &out));
    EXPECT_FALSE(ReadCluster(drive, b4k, 16, &out));
    EXPECT_TRUE(out.empty());
    // Clusters smaller than a drive sector (256-byte sectors, one per cluster).
    NtfsBootInfo b256 = Geometry(256, 256);
    ASSERT_TRUE(ReadCluster(drive, b256, 5, &out));
    ASSERT_EQ(out.size(), 256u);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), bytes.begin() + 5 * 256));
    // A boot sector that claims more clusters than the drive holds.
    NtfsBootInfo liar = Geometry(4096, 1000);
    EXPECT_FALSE(ReadCluster(drive, liar, 16, &out));
    EXPECT_FALSE(ReadCluster(drive, liar, UINT64_MAX / 2, &out));
}

TEST(NtfsItemRuns, TheRunsKeptForTheRecordSectorAndTheirClusters) {
    CRawDriveRef drive(std::make_unique<CRawDriveMemory>(std::vector<uint8_t>(4096)));
    NtfsVolume vol(drive);
    DataRun a, hole, b;
    a.lcn = 100;
    a.clusterCount = 2;
    hole.sparse = true;
    hole.clusterCount = 5;
    b.lcn = 40;
    b.clusterCount = 3;
    vol.FileRuns()[777] = {a, hole, b};
    RecoverableFile item;
    item.location = 777;
    auto runs = NtfsItemRuns(vol, item);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].lcn, 100u);
    EXPECT_TRUE(runs[1].sparse);
    EXPECT_EQ(runs[2].lcn, 40u);
    std::vector<ClusterIndex> clusters;
    for (const ItemCluster& c : NtfsItemClusters(vol, item)) {
        clusters.push_back(c.cluster);
        EXPECT_TRUE(c.inUse);  // no bitmap loaded: every cluster counts as taken
    }
    EXPECT_EQ(clusters, (std::vector<ClusterIndex>{100, 101, 40, 41, 42}));
    EXPECT_EQ(NtfsItemClusters(vol, item, 3).size(), 3u);

    item.resident = true;
    EXPECT_TRUE(NtfsItemRuns(vol, item).empty());
    EXPECT_TRUE(NtfsItemClusters(vol, item).empty());
    item.resident = false;
    item.location = 778;
    EXPECT_TRUE(NtfsItemRuns(vol, item).empty());
}

TEST(FilteredText, KeepsPrintableAsciiOnly) {
    std::vector<uint8_t> b = {'H', 'i', ' ', '~', '\n', '\t', 0x00, 0x7F, 0x80, 0xE9, '!'};
    EXPECT_EQ(FilteredText(b), "Hi ~......!");
    EXPECT_EQ(FilteredText({}), "");
}

}  // namespace
}  // namespace tw::volume
