// SPDX-License-Identifier: GPL-3.0-or-later
// NTFS structures and the NTFS search on records and volumes crafted in memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>

#include "platform/bytes.h"
#include "tests/common/recording_sink.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "tests/fuzz/ntfs_volume_builder.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/ntfs.h"
#include "volume/search.h"

namespace tw::volume {
namespace {

void Put16(std::vector<uint8_t>& b, size_t o, uint16_t v) { platform::PutLe16(b.data() + o, v); }
void Put64(std::vector<uint8_t>& b, size_t o, uint64_t v) { platform::PutLe64(b.data() + o, v); }
uint16_t Get16(const std::vector<uint8_t>& b, size_t o) { return platform::Le16(b.data() + o); }

// ---- Builders of on-disk bytes ----

constexpr uint32_t kBps = 512, kSpc = 8, kCluster = kBps * kSpc, kRecord = 1024;
constexpr uint64_t kVolumeBytes = 4u << 20;  // 1024 clusters
constexpr uint64_t kMftCluster = 4, kMftClusters = 16, kBitmapCluster = 20;

std::vector<uint8_t> BootSector(uint8_t clustersPerRecord = 0xF6, uint16_t bps = kBps,
                                uint8_t spc = kSpc) {
    std::vector<uint8_t> s(512, 0);
    std::memcpy(&s[3], "NTFS    ", 8);
    Put16(s, 0x0B, bps);
    s[0x0D] = spc;
    Put64(s, 0x28, kVolumeBytes / bps);
    Put64(s, 0x30, kMftCluster);
    s[0x40] = clustersPerRecord;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// Records as the volume stores them: update sequence number 7, clusters of kCluster.
fuzzing::RecordBuilder Record(uint16_t seq, uint16_t flags, uint32_t size = kRecord) {
    return fuzzing::RecordBuilder(flags, seq, size, kCluster, 0x0007);
}

// A small volume: $MFT at cluster 4 (16 clusters, 64 records), $Bitmap at cluster 20,
// root directory record 5, data clusters from 100 on.
class MiniNtfs {
  public:
    MiniNtfs() : bytes(kVolumeBytes, 0) {
        auto boot = BootSector();
        std::copy(boot.begin(), boot.end(), bytes.begin());
        SetRecord(
            0, Record(1, kRecordInUse)
                   .StandardInformation(1, 2, 0x6)
                   .FileName(5, 5, u"$MFT", 3)
                   .NonResident(kAttrData, {{kMftCluster, kMftClusters}}, kMftClusters * kCluster)
                   .Finish());
        SetRecord(5, Record(5, kRecordInUse | kRecordDirectory)
                         .StandardInformation(1, 2, 0x16)
                         .FileName(5, 5, u".", 3)
                         .Finish());
        SetRecord(6, Record(6, kRecordInUse)
                         .StandardInformation(1, 2, 0x6)
                         .FileName(5, 5, u"$Bitmap", 3)
                         .NonResident(kAttrData, {{kBitmapCluster, 1}}, 128)
                         .Finish());
        for (uint64_t c = 0; c <= kBitmapCluster; ++c) SetInUse(c, true);
    }
    void SetRecord(uint64_t n, const std::vector<uint8_t>& r) {
        std::copy(r.begin(), r.end(), bytes.begin() + kMftCluster * kCluster + n * kRecord);
    }
    uint8_t* RecordBytes(uint64_t n) { return &bytes[kMftCluster * kCluster + n * kRecord]; }
    void SetInUse(uint64_t c, bool used) {
        uint8_t& b = bytes[kBitmapCluster * kCluster + c / 8];
        b = used ? (b | (1 << (c % 8))) : (b & ~(1 << (c % 8)));
    }
    // Fills clusters with a pattern that is not one repeated byte.
    void FillData(uint64_t lcn, uint64_t count) {
        for (uint64_t i = 0; i < count * kCluster; ++i)
            bytes[lcn * kCluster + i] = static_cast<uint8_t>(i * 7 + 3);
    }
    // A deleted file of `clusters` clusters at `lcn` whose parent is `parent`.
    void DeletedFile(uint64_t n, const std::u16string& name, uint64_t lcn, uint64_t clusters,
                     uint64_t parent = 5, uint16_t parentSeq = 5, uint8_t ns = 1) {
        FillData(lcn, clusters);
        SetRecord(n, Record(2, 0)
                         .StandardInformation(1, 2, 0x20)
                         .FileName(parent, parentSeq, name, ns)
                         .NonResident(kAttrData, {{static_cast<int64_t>(lcn), clusters}},
                                      clusters * kCluster - 100)
                         .Finish());
    }
    uint64_t Sector(uint64_t n) const { return (kMftCluster * kCluster + n * kRecord) / 512; }

    std::vector<uint8_t> bytes;
};

struct SearchRun {
    std::vector<RecoverableFile> found;
    SearchReport report;
};

// `failSectors`: reads touching these sectors fail.
SearchRun RunSearch(MiniNtfs& v, bool details = false, std::set<uint64_t> failSectors = {}) {
    SearchRun out;
    std::atomic<int> abort{0};
    auto faulty = std::make_unique<CRawDriveFaulty>(std::make_unique<CRawDriveMemory>(v.bytes));
    faulty->failSectors = std::move(failSectors);
    CRawDriveRef drive(std::move(faulty));
    SearchContext ctx;
    ctx.driveText = "/mnt/x/";
    ctx.drive = &drive;
    ctx.wantDetails = details;
    tw::test::TestOperation op;
    op.UseStopFlag(abort);
    ctx.op = &op;
    size_t seen = 0;
    ctx.onFound = [&](const RecoverableFile&) { ++seen; };
    out.report = SearchDrive(ctx, "mem", "/mnt/x");
    out.found = ctx.found;
    EXPECT_EQ(seen, out.found.size());  // every listed file was shown live
    return out;
}

const RecoverableFile* Find(const std::vector<RecoverableFile>& v, const std::string& name) {
    for (const auto& f : v)
        if (f.name == name) return &f;
    return nullptr;
}

// ---- Boot sector, fix-up, runs ----

TEST(NtfsBoot, RecordSizeFromClustersPerRecordByteAndDamagedFieldsRefused) {
    NtfsBootInfo b;
    ASSERT_TRUE(ParseNtfsBootSector(BootSector(0xF6), kVolumeBytes, &b));
    EXPECT_EQ(b.recordSize, 1024u);
    EXPECT_EQ(b.bytesPerCluster, 4096u);
    EXPECT_EQ(b.mftStartSector, kMftCluster * kCluster / 512);
    EXPECT_EQ(b.systemEndSector, b.mftStartSector + 23 * 2);
    ASSERT_TRUE(ParseNtfsBootSector(BootSector(0x01), kVolumeBytes, &b));
    EXPECT_EQ(b.recordSize, 4096u);
    EXPECT_EQ(b.sectorsPerRecord, 8u);
    // 4096-byte sectors: still addressed in 512-byte sectors.
    ASSERT_TRUE(ParseNtfsBootSector(BootSector(0xF6, 4096, 1), kVolumeBytes, &b));
    EXPECT_EQ(b.mftStartSector, kMftCluster * 4096 / 512);

    // Damaged fields are refused.
    auto s = BootSector();
    s[3] = 'X';
    EXPECT_FALSE(ParseNtfsBootSector(s, kVolumeBytes, &b));
    s = BootSector(0x00);  // record size 0
    EXPECT_FALSE(ParseNtfsBootSector(s, kVolumeBytes, &b));
    s = BootSector(0xF6, 1000);  // not a power of two
    EXPECT_FALSE(ParseNtfsBootSector(s, kVolumeBytes, &b));
    s = BootSector(0xF6, 512, 3);
    EXPECT_FALSE(ParseNtfsBootSector(s, kVolumeBytes, &b));
    s = BootSector();
    Put64(s, 0x30, 5000);  // $MFT beyond the volume
    EXPECT_FALSE(ParseNtfsBootSector(s, kVolumeBytes, &b));
    s = BootSector();
    EXPECT_FALSE(ParseNtfsBootSector(s, 32 * 1024, &b));  // image smaller than it says
    EXPECT_FALSE(ParseNtfsBootSector(std::span<const uint8_t>(s.data(), 100), 0, &b));
}

TEST(NtfsFixup, RestoresBlockEndsRejectsMismatchesAndScrubbedRecordsPass) {
    auto r = Record(1, 0).FileName(5, 5, u"a.txt", 1).Finish();
    r[510] = 0x07;  // stamped already; the saved bytes are zeros
    auto good = r;
    FileRecordHeader h;
    ASSERT_TRUE(ParseRecordHeader(good, &h));
    ASSERT_TRUE(ApplyFixup(good, h.usaOffset, h.usaCount));
    EXPECT_EQ(Get16(good, 510), 0);
    EXPECT_EQ(Get16(good, 1022), 0);

    auto bad = r;
    Put16(bad, 1022, 0x1234);  // a torn write in the second block
    auto before = bad;
    EXPECT_FALSE(ApplyFixup(bad, h.usaOffset, h.usaCount));
    EXPECT_EQ(bad, before);  // left unchanged

    auto c = r;
    EXPECT_FALSE(ApplyFixup(c, h.usaOffset, 2));   // count does not fit 1024 bytes
    EXPECT_FALSE(ApplyFixup(c, h.usaOffset, 40));  // runs past the record
    EXPECT_FALSE(ApplyFixup(c, 505, 3));           // array crosses the first block end
    // A 4096-byte record has nine entries with a stride of 512, whatever the sector size.
    auto big = Record(1, 0, 4096).FileName(5, 5, u"b", 1).Finish();
    ASSERT_TRUE(ParseRecordHeader(big, &h));
    EXPECT_EQ(h.usaCount, 9);
    EXPECT_TRUE(ApplyFixup(big, h.usaOffset, h.usaCount));

    // A scrubbed record passes the fix-up and holds nothing; live records are not scrubbed.
    auto sr =
        Record(9, 0).StandardInformation(1, 2, 0x20).FileName(5, 5, u"secret.txt", 1).Finish();
    Put16(sr, 0x26, 0xFFFF);
    ASSERT_TRUE(ScrubDeletedRecord(sr));
    ASSERT_TRUE(ParseRecordHeader(sr, &h));
    EXPECT_EQ(h.flags, 0);
    EXPECT_EQ(h.bytesInUse, 42u);
    EXPECT_EQ(h.bytesAllocated, kRecord);
    EXPECT_EQ(h.firstAttribute, 0);
    EXPECT_EQ(h.linkCount, 0);
    EXPECT_EQ(h.baseSequence, 0);  // 0xFFFF advanced wraps to 0
    EXPECT_EQ(Get16(sr, h.usaOffset), 0x0107);
    ASSERT_TRUE(ApplyFixup(sr, h.usaOffset, h.usaCount));
    for (size_t i = 0x2A; i < sr.size(); ++i)
        if (i < h.usaOffset || i >= h.usaOffset + 2u * h.usaCount) {
            ASSERT_EQ(sr[i], 0xFF) << i;
        }
    EXPECT_EQ(sr[510], 0xFF);
    EXPECT_EQ(sr[1023], 0xFF);

    auto live = Record(9, kRecordInUse).FileName(5, 5, u"live", 1).Finish();
    auto copy = live;
    EXPECT_FALSE(ScrubDeletedRecord(live));
    EXPECT_EQ(live, copy);
    auto dir = Record(9, kRecordDirectory).FileName(5, 5, u"dir", 1).Finish();
    EXPECT_FALSE(ScrubDeletedRecord(dir));
}

TEST(NtfsRuns, NegativeSparseAndDamagedRunLists) {
    // 16 clusters at 0x100, then 16 clusters 128 back, then a 5-cluster hole, then 1
    // cluster at +2 from the last real run.
    std::vector<uint8_t> list = {0x21, 0x10, 0x00, 0x01, 0x21, 0x10, 0x80,
                                 0xFF, 0x01, 0x05, 0x11, 0x01, 0x02, 0x00};
    std::vector<DataRun> runs;
    bool corrupt = false;
    uint64_t total = DecodeDataRuns(list, 77, "", 1000, 1024, &runs, &corrupt);
    ASSERT_FALSE(corrupt);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].lcn, 0x100u);
    EXPECT_EQ(runs[1].lcn, 0x100u - 128);
    EXPECT_EQ(runs[1].clusterCount, 16u);
    EXPECT_TRUE(runs[2].sparse);
    EXPECT_EQ(runs[2].clusterCount, 5u);
    EXPECT_EQ(runs[3].lcn, 0x100u - 128 + 2);  // a hole does not move the running LCN
    EXPECT_EQ(runs[3].index, 3u);
    EXPECT_EQ(runs[3].recordKey, 77u);
    EXPECT_EQ(total, 33u);  // the hole holds no clusters

    // The header 0x21 0x10 0x00 0x80 alone: 16 clusters at -128 from 0 lies before
    // the volume.
    runs.clear();
    corrupt = false;
    DecodeDataRuns(std::vector<uint8_t>{0x21, 0x10, 0x00, 0x80, 0x00}, 0, "", 0, 1024, &runs,
                   &corrupt);
    EXPECT_TRUE(corrupt);
    // Past the end of the volume, and fields running past the bytes.
    corrupt = false;
    DecodeDataRuns(std::vector<uint8_t>{0x21, 0x10, 0xF8, 0x03, 0x00}, 0, "", 0, 1024, &runs,
                   &corrupt);
    EXPECT_TRUE(corrupt);
    corrupt = false;
    DecodeDataRuns(std::vector<uint8_t>{0x44, 0x10}, 0, "", 0, 1024, &runs, &corrupt);
    EXPECT_TRUE(corrupt);
    corrupt = false;
    DecodeDataRuns(std::vector<uint8_t>{0x91, 0x10}, 0, "", 0, 1024, &runs, &corrupt);
    EXPECT_TRUE(corrupt);
}

// Names of two, three and four UTF-8 bytes are the NTFS image test's (its file names).
TEST(NtfsText, LoneSurrogateAndAttributeText) {
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
    EXPECT_EQ(AttributeText(0), "-------------");
    EXPECT_EQ(AttributeText(0x20 | 0x2 | 0x1), "a---h----r---");
    EXPECT_EQ(AttributeText(1u << 28), "--d--i-------");
    EXPECT_EQ(AttributeText(0x800 | 0x4000 | 0x80 | 0x1000 | 0x400 | 0x4 | 0x100), "-c-e--nop-st-");
}

// ---- The search on a crafted volume ----

TEST(NtfsSearch, RecoverabilityFolderAndNameRules) {
    MiniNtfs v;
    // 100: all clusters free.
    v.DeletedFile(30, u"free.bin", 100, 4);
    // 3 of 4 reallocated: 25. 1 of 3 reallocated: 67. All reallocated: not listed.
    v.DeletedFile(31, u"three_of_four.bin", 110, 4);
    for (uint64_t c = 110; c < 113; ++c) v.SetInUse(c, true);
    v.DeletedFile(32, u"one_of_three.bin", 120, 3);
    v.SetInUse(121, true);
    v.DeletedFile(33, u"all_taken.bin", 130, 2);
    v.SetInUse(130, true);
    v.SetInUse(131, true);
    // Resident: 100 without a bitmap test.
    v.SetRecord(34, Record(2, 0)
                        .StandardInformation(1, 2, 0x20)
                        .FileName(5, 5, u"note.txt", 0)
                        .ResidentData(std::string(50, 'x'))
                        .Finish());
    // Only a DOS name: listed with an empty name. POSIX name: used.
    v.DeletedFile(35, u"DOSONLY.TXT", 140, 1, 5, 5, kNamespaceDos);
    v.DeletedFile(36, u"posix name.txt", 142, 1, 5, 5, kNamespacePosix);
    // pagefile.sys is never reported; a uniform first sector is not either.
    v.DeletedFile(37, u"pagefile.sys", 144, 1);
    v.DeletedFile(38, u"zeros.bin", 146, 2);
    std::fill(v.bytes.begin() + 146 * kCluster, v.bytes.begin() + 146 * kCluster + 512, 0);
    // Empty file: not listed.
    v.SetRecord(39, Record(2, 0)
                        .StandardInformation(1, 2, 0x20)
                        .FileName(5, 5, u"empty", 1)
                        .ResidentData("")
                        .Finish());
    // A live file and a deleted directory are not listed.
    v.SetRecord(
        40, Record(2, kRecordInUse).FileName(5, 5, u"live.txt", 1).ResidentData("\1\2\3").Finish());
    // Folders: a live folder, a deleted folder whose record was freed once (sequence
    // one higher than the reference), a folder record reused by a file.
    v.SetRecord(41, Record(3, kRecordInUse | kRecordDirectory).FileName(5, 5, u"docs", 1).Finish());
    v.DeletedFile(42, u"in_docs.txt", 150, 1, 41, 3);
    v.SetRecord(43, Record(8, kRecordDirectory).FileName(5, 5, u"olddir", 1).Finish());
    v.DeletedFile(44, u"in_olddir.txt", 152, 1, 43, 7);
    v.SetRecord(
        45, Record(4, kRecordInUse).FileName(5, 5, u"now_a_file", 1).ResidentData("\1").Finish());
    v.DeletedFile(46, u"orphan.txt", 154, 1, 45, 3);
    // A torn record (update sequence mismatch) is passed over.
    v.DeletedFile(47, u"torn.txt", 156, 1);
    v.RecordBytes(47)[1022] ^= 0xFF;
    // Records below 23 are never examined.
    v.DeletedFile(20, u"system_area.bin", 160, 1);
    // Runs that claim more clusters than the volume has overlap: damaged, not listed.
    // (the second run at +0: the same 600 clusters again)
    v.SetRecord(48, Record(2, 0)
                        .FileName(5, 5, u"overlap.bin", 1)
                        .NonResident(kAttrData, {{200, 600}, {0, 600}}, 1200 * kCluster)
                        .Finish());

    SearchRun r = RunSearch(v, true);
    ASSERT_EQ(r.report.end, SearchEnd::Completed);
    EXPECT_EQ(r.report.fs, FileSystemKind::Ntfs);

    const RecoverableFile* f = Find(r.found, "free.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->recoverability, 100);
    EXPECT_EQ(f->folder, "/mnt/x/");
    EXPECT_EQ(f->size, 4 * kCluster - 100);
    EXPECT_EQ(f->location, v.Sector(30));
    EXPECT_FALSE(f->resident);
    EXPECT_EQ(f->attributes, "a------------");
    EXPECT_EQ(f->created, 1u);
    EXPECT_EQ(f->modified, 2u);
    EXPECT_EQ(f->details,
              "Number Of Data Runs: 1\nClusters Occupied: 4\n"
              "--------------------------------\n{100 - 103} ");

    f = Find(r.found, "three_of_four.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->recoverability, 25);
    EXPECT_NE(f->details.find("\n\nReallocated Clusters: 3\n--------------------------------\n"
                              "110 111 112 "),
              std::string::npos);
    f = Find(r.found, "one_of_three.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->recoverability, 67);
    EXPECT_EQ(Find(r.found, "all_taken.bin"), nullptr);

    f = Find(r.found, "note.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->resident);
    EXPECT_EQ(f->recoverability, 100);
    EXPECT_EQ(f->size, 50u);

    f = Find(r.found, "");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->location, v.Sector(35));
    EXPECT_NE(Find(r.found, "posix name.txt"), nullptr);
    EXPECT_EQ(Find(r.found, "pagefile.sys"), nullptr);
    EXPECT_EQ(Find(r.found, "zeros.bin"), nullptr);
    EXPECT_EQ(Find(r.found, "empty"), nullptr);
    EXPECT_EQ(Find(r.found, "live.txt"), nullptr);
    EXPECT_EQ(Find(r.found, "torn.txt"), nullptr);
    EXPECT_EQ(Find(r.found, "system_area.bin"), nullptr);
    EXPECT_EQ(Find(r.found, "overlap.bin"), nullptr);

    f = Find(r.found, "in_docs.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->folder, "docs");
    f = Find(r.found, "in_olddir.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->folder, "olddir");
    f = Find(r.found, "orphan.txt");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->folder, "< Folder has been deleted >");

    EXPECT_EQ(r.found.size(), 9u);
    EXPECT_EQ(r.report.message,
              "Completed search for recoverable files (Found 9 recoverable files)");
}

// The first data sectors of a batch are read together: one that cannot be read leaves
// its file listed (unread is not overwritten) and the verdicts on its neighbours, read
// with it, stay theirs; the order found is kept.
TEST(NtfsSearch, FirstSectorTestsOfABatchStayWithTheirFiles) {
    MiniNtfs v;
    v.DeletedFile(30, u"late.bin", 110, 1);  // found first, lies last on the disk
    v.DeletedFile(31, u"zeros.bin", 100, 1);
    v.DeletedFile(32, u"unreadable.bin", 102, 1);
    v.DeletedFile(33, u"kept.bin", 104, 1);
    v.DeletedFile(34, u"ones.bin", 106, 1);
    for (uint64_t lcn : {100, 106})
        std::fill_n(v.bytes.begin() + static_cast<ptrdiff_t>(lcn * kCluster), 512, lcn & 1);
    SearchRun r = RunSearch(v, false, {102 * kSpc});
    ASSERT_EQ(r.report.end, SearchEnd::Completed);
    std::vector<std::string> names;
    for (const RecoverableFile& f : r.found) names.push_back(f.name);
    EXPECT_EQ(names, (std::vector<std::string>{"late.bin", "unreadable.bin", "kept.bin"}));

    // Through an image file (io_uring where there is one), many pieces at once, in no
    // order, one of them outside the volume: each buffer gets its own sector.
    test::TempDir dir("scatter");
    const std::string image = dir / "img";
    std::vector<uint8_t> data(700 * kSectorSize);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / kSectorSize);
    ASSERT_TRUE(test::WriteFileBytes(
        image, std::string_view(reinterpret_cast<const char*>(data.data()), data.size())));
    CRawDriveRef drive;
    ASSERT_TRUE(drive.Open(image));
    std::vector<uint8_t> got(701 * kSectorSize, 0xEE);
    std::vector<SectorRead> reads;
    for (uint64_t k = 0; k < 701; ++k)
        reads.push_back({k == 350 ? 9999 : (k * 263) % 700, got.data() + k * kSectorSize,
                         kSectorSize, k == 350});
    drive.ReadScattered(reads);
    for (uint64_t k = 0; k < 701; ++k) {
        ASSERT_EQ(reads[k].ok, k != 350) << k;
        if (k != 350) {
            ASSERT_EQ(got[k * kSectorSize + 511], static_cast<uint8_t>(reads[k].sector));
        }
    }
}

// The search keeps no runs: they are read from the record when asked for, and a
// record reused since (deleted again as another file, its sequence moved on) gives
// none rather than the other file's.
TEST(NtfsSearch, RunsAreReadFromTheRecordAndNotFromAReusedOne) {
    MiniNtfs v;
    v.DeletedFile(30, u"a.bin", 100, 2);
    v.DeletedFile(31, u"b.bin", 110, 1);
    testing::SearchedVolume sv(v.bytes);
    ASSERT_TRUE(sv.Search("mem", false));
    ASSERT_EQ(sv.found.size(), 2u);
    v.SetRecord(31, Record(3, 0)
                        .FileName(5, 5, u"other.bin", 1)
                        .NonResident(kAttrData, {{120, 1}}, kCluster)
                        .Finish());
    sv.memory->Bytes() = v.bytes;
    const std::vector<DataRun>* a = sv.ntfs->FileRunsOf(sv.found[0].location, sv.found[0].sequence);
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->size(), 1u);
    EXPECT_EQ((*a)[0].lcn, 100u);
    EXPECT_EQ((*a)[0].clusterCount, 2u);
    EXPECT_EQ(sv.ntfs->FileRunsOf(sv.found[1].location, sv.found[1].sequence), nullptr);
}

// A search that could not run must not say "None found": a damaged boot sector, an
// image cut short or damaged metadata fail with the damage named; a source too small
// for a boot sector is no file system at all (the unsupported-file-system refusal).
TEST(NtfsSearch, DamagedCutShortAndTinyVolumesAreNotReportedAsSearched) {
    MiniNtfs v;
    v.DeletedFile(30, u"free.bin", 100, 1);
    auto search = [](const std::vector<uint8_t>& bytes) {
        CRawDriveRef drive(std::make_unique<CRawDriveMemory>(bytes));
        SearchContext ctx;
        ctx.drive = &drive;
        return SearchDrive(ctx, "mem", "/media/x");
    };
    ASSERT_EQ(search(v.bytes).end, SearchEnd::Completed);

    struct Damage {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> apply;
        const char* named;  // in the error
    };
    const std::vector<Damage> damages = {
        {"sectors per cluster 0", [](auto& b) { b[0x0D] = 0; }, "sectors per cluster"},
        {"record size byte 0", [](auto& b) { b[0x40] = 0; }, "file records"},
        {"$MFT past the end", [](auto& b) { Put64(b, 0x30, 5000); }, "$MFT at cluster 5000"},
        {"$MFT mirror past the end", [](auto& b) { Put64(b, 0x38, 1u << 20); }, "mirror"},
        {"cut short by 1 KiB", [](auto& b) { b.resize(b.size() - 1024); }, "cut short"},
        {"$Bitmap renamed",
         [](auto& b) {
             MiniNtfs m;
             m.bytes = b;
             m.SetRecord(6, Record(6, kRecordInUse).FileName(5, 5, u"$Bitmop", 3).Finish());
             b = m.bytes;
         },
         "$Bitmap"},
        {"noise over the $MFT",
         [](auto& b) {
             for (size_t i = 0; i < 16 * kCluster; ++i)
                 b[kMftCluster * kCluster + i] = static_cast<uint8_t>(i * 131 + (i >> 7));
         },
         "$MFT"},
    };
    for (const Damage& d : damages) {
        std::vector<uint8_t> bytes = v.bytes;
        d.apply(bytes);
        SearchReport rep = search(bytes);
        EXPECT_EQ(rep.end, SearchEnd::Failed) << d.what << ": " << rep.message;
        EXPECT_EQ(rep.message, "Could not locate recoverable files on selected drive") << d.what;
        const std::string why = rep.error ? ErrorText(*rep.error) : "";
        EXPECT_NE(why.find(d.named), std::string::npos) << d.what << ": " << why;
    }
    for (size_t size : {0, 100, 511}) {
        SearchReport rep = search(std::vector<uint8_t>(size, 0x4E));
        EXPECT_EQ(rep.end, SearchEnd::Unsupported) << size;
        EXPECT_EQ(rep.message, UnsupportedFileSystemText("/media/x", rep.fsName)) << size;
    }

    // The commands end so too: exit 1 naming the damage.
    test::TempDir dir("ntfsdamage");
    const std::string cut = dir.Path() + "/cut.img";
    const std::string cli = "--config-home '" + dir.Path() + "/cfg' ";
    ASSERT_TRUE(test::WriteFileBytes(cut, std::string(v.bytes.begin(), v.bytes.end() - 1024)));
    for (const std::string& cmd :
         {"search '" + cut + "'", "recover '" + cut + "' --all --to '" + dir.Path() + "/out'"}) {
        test::CliResult r = test::RunCli(cli + cmd);
        EXPECT_EQ(r.status, 1) << cmd << r.out << r.err;
        EXPECT_NE(r.err.find("cut short"), std::string::npos) << cmd << r.err;
        EXPECT_EQ(r.out.find("None found"), std::string::npos) << cmd << r.out;
    }
}

// Raises the stop flag when the search first reads file data.
class StopOnDataRead : public CRawDriveMemory {
  public:
    StopOnDataRead(std::vector<uint8_t> bytes, std::atomic<int>* flag)
        : CRawDriveMemory(std::move(bytes)), flag_(flag) {}
    bool ReadSectors(uint64_t sector, void* buffer, uint32_t byteCount) override {
        if (sector >= 100 * kSpc) *flag_ = 1;
        return CRawDriveMemory::ReadSectors(sector, buffer, byteCount);
    }

  private:
    std::atomic<int>* flag_;
};

TEST(NtfsSearch, StopFlagEndsTheSearchWithWhatWasFound) {
    MiniNtfs v;
    for (int i = 0; i < 5; ++i)
        v.DeletedFile(30 + i, u"f" + std::u16string(1, char16_t(u'0' + i)), 100 + 2 * i, 1);
    // Stopped while the found files' data is being checked: they are still listed.
    std::atomic<int> stop{0};
    CRawDriveRef drive(std::make_unique<StopOnDataRead>(v.bytes, &stop));
    SearchContext ctx;
    ctx.drive = &drive;
    tw::test::TestOperation op;
    op.UseStopFlag(stop);
    ctx.op = &op;
    SearchReport rep = SearchDrive(ctx, "mem", "mem");
    EXPECT_EQ(rep.end, SearchEnd::Aborted);
    EXPECT_EQ(ctx.found.size(), 5u);
    EXPECT_EQ(rep.message, "Aborted search for recoverable files (Found 5 recoverable files)");
    // Stopped before the first record: nothing.
    stop = 1;
    CRawDriveRef drive2(std::make_unique<CRawDriveMemory>(v.bytes));
    ctx.drive = &drive2;
    rep = SearchDrive(ctx, "mem", "mem");
    EXPECT_EQ(rep.end, SearchEnd::Aborted);
    EXPECT_TRUE(ctx.found.empty());
    EXPECT_EQ(rep.message, "Aborted search for recoverable files (None found)");
}

// What a scrub writes and how the volume stands after it are the scrub-mft command's
// test on a real volume; here only the guard, which that volume never reaches.
TEST(NtfsSearch, ScrubModeLeavesRecordsAtOrBelowTheGuardAlone) {
    MiniNtfs v;
    v.DeletedFile(30, u"wipe_me.bin", 100, 1);
    v.DeletedFile(31, u"protected.bin", 102, 1);
    auto* mem = new CRawDriveMemory(v.bytes);
    CRawDriveRef drive{std::unique_ptr<CRawDrive>(mem)};
    SearchContext ctx;
    ctx.drive = &drive;
    ctx.mode = SearchMode::Scrub;
    ctx.protectedStartSector = v.Sector(31);  // at or below: left alone
    SearchReport rep = SearchDrive(ctx, "mem", "mem");
    ASSERT_EQ(rep.end, SearchEnd::Completed);
    // Record 30 lies below the guard sector too, so nothing at all is written.
    EXPECT_EQ(mem->writeCalls, 0u);
}

// ---- Raw drive ----

TEST(RawDrive, HolderChecksArgumentsOnceAndImageFilesAreGated) {
    auto* mem = new CRawDriveMemory(std::vector<uint8_t>(8 * 512, 0xAB));
    CRawDriveRef d{std::unique_ptr<CRawDrive>(mem)};
    uint8_t buf[1024];
    EXPECT_FALSE(d.Read(0, buf, 512));  // not open
    ASSERT_TRUE(d.Open("mem"));
    EXPECT_TRUE(d.Read(6, buf, 1024));
    EXPECT_FALSE(d.Read(7, buf, 1024));  // past the end
    EXPECT_FALSE(d.Read(0, buf, 100));   // not whole sectors
    EXPECT_FALSE(d.Read(0, buf, 0));
    EXPECT_FALSE(d.Read(~0ull, buf, 512));
    EXPECT_EQ(mem->readCalls, 1u);       // the bad requests never reached the backend
    EXPECT_FALSE(d.Write(0, buf, 512));  // opened read-only
    EXPECT_NE(tw::ErrorText(d.LastError()).find("read-only"), std::string::npos);
    EXPECT_EQ(mem->writeCalls, 0u);
    ASSERT_TRUE(d.Open("mem", true));
    std::memset(buf, 0x11, 512);
    EXPECT_TRUE(d.Write(3, buf, 512));
    EXPECT_EQ(mem->Bytes()[3 * 512], 0x11);

    // An image file: written only when opened so, and never grown.
    test::TempDir dir("rawdrive");
    const std::string path = dir / "img";
    std::string data(4 * 512, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i / 512 + 1);
    ASSERT_TRUE(test::WriteFileBytes(path, data));
    CRawDriveRef file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_EQ(file.SizeBytes(), 2048u);
    ASSERT_TRUE(file.Read(2, buf, 512));
    EXPECT_EQ(buf[0], 3);
    EXPECT_FALSE(file.Write(2, buf, 512));
    ASSERT_TRUE(file.Open(path, true));
    std::memset(buf, 0xEE, 512);
    EXPECT_TRUE(file.Write(1, buf, 512));
    EXPECT_FALSE(file.Write(4, buf, 512));  // never grows the image
    file.Close();
    EXPECT_EQ(file.SizeBytes(), 0u);
    CRawDriveRef check;
    ASSERT_TRUE(check.Open(path));
    ASSERT_TRUE(check.Read(1, buf, 512));
    EXPECT_EQ(buf[0], 0xEE);

    // Neither an image file nor a block device: refused for reading and writing.
    CRawDriveRef other;
    EXPECT_FALSE(other.Open("/dev/null", true));
    EXPECT_NE(tw::ErrorText(other.LastError()).find("/dev/null"), std::string::npos);
    EXPECT_FALSE(other.Open("/tmp"));
    EXPECT_FALSE(other.Open("/nonexistent/image.img"));
}

}  // namespace
}  // namespace tw::volume
