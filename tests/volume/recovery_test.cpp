// SPDX-License-Identifier: GPL-3.0-or-later
// Recovery on volumes built in memory: the "#" name rule and the making of safe names,
// the writer (never replacing, never following a link, chunks and progress, stop), the
// folder checks, and RecoverFile on FAT32 and NTFS with reused, sparse and unreadable
// clusters.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

#include "log/activity_log.h"
#include "platform/strings.h"
#include "tests/common/recording_sink.h"
#include "tests/fuzz/ntfs_volume_builder.h"
#include "tests/volume/fat_image_builder.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/item_clusters.h"

namespace tw::volume {
namespace {

using testing::FatImageBuilder;
using testing::OutFolder;
using testing::SearchedVolume;
using StepSink = tw::test::RecordingSink;

RecoverableFile Named(const std::string& name, uint64_t location = 7) {
    RecoverableFile f;
    f.name = name;
    f.location = location;
    return f;
}

TEST(RecoveredNames, HashFirstSafeCharactersAndNumbersBeforeTheExtension) {
    EXPECT_EQ(RecoveredFileName(Named("?OCUMENT.TXT")), "#OCUMENT.TXT");
    EXPECT_EQ(RecoveredFileName(Named("Long Win32 Name deleted.txt")), "#ongWin32Namedeleted.txt");
    // The first character is a whole UTF-8 character, not a byte.
    EXPECT_EQ(RecoveredFileName(Named("日本語ファイル.txt")), "#本語ファイル.txt");
    EXPECT_EQ(RecoveredFileName(Named("émoji 🎉.bin")), "#moji🎉.bin");
    EXPECT_EQ(RecoveredFileName(Named("x")), "#");
    EXPECT_EQ(RecoveredFileName(Named("", 4242)), "#recovered-4242");
    EXPECT_EQ(RecoveredFileName(Named(" ", 9)), "#");

    // Safe names: no path, no option, no control character, no broken UTF-8.
    EXPECT_EQ(SafeFileName("-rf", "fb"), "_rf");
    EXPECT_EQ(SafeFileName("a/b/../c", "fb"), "a_b_.._c");
    EXPECT_EQ(SafeFileName("", "fb"), "fb");
    EXPECT_EQ(SafeFileName(".", "fb"), "fb");
    EXPECT_EQ(SafeFileName("..", "fb"), "fb");
    EXPECT_EQ(SafeFileName("..", "../.."), ".._..");  // the fallback is made safe too
    EXPECT_EQ(SafeFileName("", ""), "_");
    EXPECT_EQ(SafeFileName("tab\there", "fb"), "tab_here");
    EXPECT_EQ(SafeFileName("caf\xc3\xa9", "fb"), "caf\xc3\xa9");
    EXPECT_EQ(SafeFileName("\xed\xa0\x80x", "fb"), "___x");  // an encoded surrogate
    EXPECT_EQ(SafeFileName("\xc0\xafx", "fb"), "__x");       // an overlong "/"
    // Long names are cut on a character, keeping the extension.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "é";  // 400 bytes
    std::string s = SafeFileName(longName + ".txt", "fb");
    EXPECT_LE(s.size(), 255u);
    EXPECT_EQ(s.substr(s.size() - 4), ".txt");
    EXPECT_EQ(s.size(), 4u + 250u);  // 125 whole characters of two bytes
    std::string ascii(300, 'a');
    EXPECT_EQ(SafeFileName(ascii, "fb"), std::string(255, 'a'));

    // Numbers for a name taken go before the extension.
    EXPECT_EQ(CandidateName("#OC.TXT", 1), "#OC.TXT");
    EXPECT_EQ(CandidateName("#OC.TXT", 2), "#OC (2).TXT");
    EXPECT_EQ(CandidateName("#OC", 3), "#OC (3)");
    EXPECT_EQ(CandidateName("#a.tar.gz", 2), "#a.tar (2).gz");
    EXPECT_EQ(CandidateName(".hidden", 2), ".hidden (2)");
    std::string full(251, 'a');
    full += ".txt";
    std::string c = CandidateName(full, 12);
    EXPECT_EQ(c.size(), 255u);
    EXPECT_EQ(c.substr(c.size() - 9), " (12).txt");
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + i / 251);
    return v;
}

TEST(WriteBufferToFile, ChunksBothBarsAppendsStopsAndFailures) {
    OutFolder out;
    StepSink sink;
    tw::test::TestOperation op;
    op.SetSink(&sink);
    auto data = Pattern(10000, 1);
    RecoveredOutput o;
    ASSERT_TRUE(WriteBufferToFile(out.folder, "#A.BIN", data, 4096, op, false, &o));
    EXPECT_EQ(sink.steps[ProgressSink::Current], 3);
    EXPECT_EQ(sink.steps[ProgressSink::Overall], 3);
    auto more = Pattern(100, 9);
    ASSERT_TRUE(WriteBufferToFile(out.folder, "ignored", more, 4096, op, true, &o));
    EXPECT_EQ(o.name, "#A.BIN");
    ASSERT_TRUE(FinishOutput(&o, 10050, true));
    std::string got = out.Read("#A.BIN");
    ASSERT_EQ(got.size(), 10050u);
    EXPECT_EQ(0, std::memcmp(got.data(), data.data(), 10000));
    EXPECT_EQ(0, std::memcmp(got.data() + 10000, more.data(), 50));
    struct stat st {};
    ASSERT_EQ(::stat((out.dir.Path() + "/#A.BIN").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // recovered data may be anyone's: private

    // A stop keeps what was written.
    StepSink stopSink;
    std::atomic<int> stop{0};
    tw::test::TestOperation stopOp;
    stopOp.SetSink(&stopSink);
    stopOp.UseStopFlag(stop);
    stopSink.onStep = [&](int64_t n) {
        if (n == 2) stop = 1;
    };
    data = Pattern(5 * 512, 5);
    RecoveredOutput s;
    ASSERT_TRUE(WriteBufferToFile(out.folder, "#S", data, 512, stopOp, false, &s));
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.written, 1024u);
    ASSERT_TRUE(FinishOutput(&s, 999999, false));
    EXPECT_EQ(out.Read("#S").size(), 1024u);

    RecoveryFolder closed;  // never opened: no folder set, or none there
    EXPECT_EQ(closed.Open("", ""), FolderCheck::NotSet);
    EXPECT_EQ(closed.Open(out.dir.Path() + "/missing", ""), FolderCheck::NotAccessible);
    RecoveredOutput bad;
    EXPECT_FALSE(WriteBufferToFile(closed, "#X", data, 512, tw::IdleOperation(), false, &bad));
    EXPECT_FALSE(bad.error.empty());
    RecoveredOutput noFile;
    EXPECT_FALSE(
        WriteBufferToFile(out.folder, "#X", data, 512, tw::IdleOperation(), true, &noFile));
}

// ---- FAT32 ----

// A FAT32 volume of 4096-byte clusters whose clusters 3.. hold a distinct pattern each.
struct FatVolume {
    FatImageBuilder img{64, 8, 512};
    FatVolume() {
        for (uint32_t c = 3; c < 66; ++c) {
            auto p = Pattern(4096, static_cast<uint8_t>(c));
            std::memcpy(img.Cluster(c), p.data(), p.size());
        }
    }
    std::string ClusterBytes(uint32_t c, size_t n = 4096) {
        return std::string(reinterpret_cast<const char*>(img.Cluster(c)), n);
    }
};

// 10 000 bytes on 4 KiB clusters read three clusters; a size-0 item still reads one
// cluster and gives an empty file.
TEST(RecoverFat, ReadsTheClustersTheSizeNeedsAtLeastOneAndZerosForUnreadable) {
    FatVolume v;
    v.img.Entry(2, 0, "\xE5OCUMENTTXT", 0x20, 5, 10000);
    SearchedVolume sv(v.img.Bytes());
    ASSERT_TRUE(sv.Search("mem", true));
    ASSERT_EQ(sv.found.size(), 1u);
    EXPECT_EQ(sv.report.message,
              "Completed search for recoverable files (Found 1 recoverable file)");
    OutFolder out;
    StepSink sink;
    tw::test::TestOperation op;
    op.SetSink(&sink);
    RecoverResult r = sv.Recover(sv.found[0], out.folder, op);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.fileName, "#OCUMENT.TXT");
    EXPECT_EQ(r.clusters, 3u);
    EXPECT_TRUE(r.complete);
    EXPECT_EQ(sink.high[ProgressSink::Current] - sink.low[ProgressSink::Current], 3);
    EXPECT_EQ(sink.steps[ProgressSink::Current], 3);
    std::string got = out.Read("#OCUMENT.TXT");
    EXPECT_EQ(got, (v.ClusterBytes(5) + v.ClusterBytes(6) + v.ClusterBytes(7)).substr(0, 10000));
    // Not asked to clear entries: on a writable drive too the entry stays (nothing is
    // written) and the note says why.
    EXPECT_FALSE(r.entryCleared);
    EXPECT_NE(r.note.find("raw writes are not allowed"), std::string::npos) << r.note;
    EXPECT_EQ(sv.memory->writeCalls, 0u);

    v.img.Entry(2, 1, "\xE5MPTY   DAT", 0x20, 9, 0);
    SearchedVolume empty(v.img.Bytes());
    ASSERT_TRUE(empty.Search("mem", false));
    StepSink emptySink;
    op.SetSink(&emptySink);
    const uint64_t readsBefore = empty.memory->readCalls;
    r = empty.Recover(*empty.Find("?MPTY.DAT"), out.folder, op);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clusters, 1u);
    EXPECT_EQ(emptySink.steps[ProgressSink::Current], 1);
    EXPECT_GT(empty.memory->readCalls, readsBefore);
    struct stat st {};
    ASSERT_EQ(::stat((out.dir.Path() + "/#MPTY.DAT").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);

    // Unreadable clusters become zeros, and the end of the volume is not passed.
    FatVolume w;
    w.img.Entry(2, 0, "\xE5NDING  BIN", 0x20, 64, 4 * 4096);  // clusters 64, 65, then the end
    w.img.Entry(2, 1,
                "\xE5"
                "AD     BIN",
                0x20, 20, 2 * 4096);
    auto faulty =
        std::make_unique<CRawDriveFaulty>(std::make_unique<CRawDriveMemory>(w.img.Bytes()));
    CRawDriveFaulty* f = faulty.get();
    SearchedVolume damaged(std::move(faulty));
    ASSERT_TRUE(damaged.Search("mem", false));
    ASSERT_EQ(damaged.found.size(), 2u);
    const auto* ending = damaged.Find("?NDING.BIN");
    const auto* bad = damaged.Find("?AD.BIN");
    ASSERT_TRUE(ending && bad);
    // One sector in the middle of cluster 21 fails to read.
    f->failSectors.insert(
        ToDriveSector(damaged.fatBoot, ClusterToSector(21, 8, damaged.fatBoot.dataStartSector)) +
        3);

    r = damaged.Recover(*ending, out.folder);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clustersMissing, 2u);
    EXPECT_FALSE(r.complete);
    // The file ends where the volume does: nothing is made up for the missing part.
    EXPECT_EQ(out.Read("#NDING.BIN"), w.ClusterBytes(64) + w.ClusterBytes(65));

    r = damaged.Recover(*bad, out.folder);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clustersUnread, 1u);
    EXPECT_EQ(out.Read("#AD.BIN"), w.ClusterBytes(20) + std::string(4096, '\0'));
}

// ---- NTFS ----

using fuzzing::NtfsPut16;
using fuzzing::RecordBuilder;
using fuzzing::RunSpec;

struct NtfsFixture {
    std::vector<uint8_t> img = fuzzing::BuildNtfsVolume();
    void Put(uint32_t n, const std::vector<uint8_t>& rec) {
        fuzzing::PutRecord(img, n, rec.data(), rec.size());
    }
    std::string Cluster(uint64_t c, size_t n = 512) const {
        return std::string(reinterpret_cast<const char*>(&img[c * 512]), n);
    }
};

TEST(RecoverNtfs, ReallocatedClustersAndHolesAreZerosExactlyThere) {
    NtfsFixture n;
    // Clusters 308 and 309 are in use again (the bitmap says 300..309); a hole of one
    // cluster; then 312 and 313 are free.
    const uint64_t size = 4 * 512 + 100;
    n.Put(30, RecordBuilder(0, 2)
                  .StandardInformation(0, 0, 0x20)
                  .FileName(5, 5, u"gappy.bin")
                  .NonResident(0x80, {{308, 2}, {0, 1, true}, {4, 4}}, size)
                  .Finish());
    SearchedVolume sv(n.img);
    ASSERT_TRUE(sv.Search("mem", false));
    const RecoverableFile* f = sv.Find("gappy.bin");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->recoverability, 67);  // 2 of 6 clusters on the volume reused
    OutFolder out;
    RecoverResult r = sv.Recover(*f, out.folder);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clusters, 5u);
    EXPECT_EQ(r.clustersZeroed, 2u);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(out.Read("#appy.bin"),
              std::string(3 * 512, '\0') + n.Cluster(312) + n.Cluster(313, 100));
}

// A record may claim a size its runs do not hold (damage, or a crafted volume): the
// search counts the rest as missing, recovery writes what the runs hold and nothing
// more, and a recovery that fails leaves no file behind.
TEST(RecoverNtfs, ASizeBeyondTheRunsIsMissingAndAFailedFileIsRemoved) {
    NtfsFixture n;
    n.Put(30, RecordBuilder(0, 2)
                  .FileName(5, 5, u"huge.bin")
                  .NonResident(0x80, {{320, 4}}, uint64_t{1} << 40)
                  .Finish());
    n.Put(31, RecordBuilder(0, 2)
                  .FileName(5, 5, u"three.bin")
                  .NonResident(0x80, {{330, 3}}, 3 * 512)
                  .Finish());
    SearchedVolume sv(n.img);
    ASSERT_TRUE(sv.Search("mem", false));
    const RecoverableFile* huge = sv.Find("huge.bin");
    const RecoverableFile* three = sv.Find("three.bin");
    ASSERT_TRUE(huge && three);
    EXPECT_EQ(huge->size, uint64_t{1} << 40);
    EXPECT_EQ(huge->recoverability, 1);  // 4 of 2^31 clusters are there
    OutFolder out;
    RecoverResult r = sv.Recover(*huge, out.folder);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.clustersMissing, (uint64_t{1} << 31) - 4);
    EXPECT_EQ(r.bytesWritten, 4 * 512u);
    EXPECT_EQ(out.Read(r.fileName), n.Cluster(320, 4 * 512));

    // The file system refuses the third cluster (a file size limit): the two written
    // are removed again.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    r = sv.Recover(*three, out.folder);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_NE(r.error.find("too large"), std::string::npos) << r.error;
    EXPECT_TRUE(r.fileName.empty());
    EXPECT_EQ(::access((out.dir.Path() + "/#hree.bin").c_str(), F_OK), -1);
}

TEST(RecoverNtfs, ResidentDataComesFromTheRecordReadAgain) {
    NtfsFixture n;
    n.Put(31, RecordBuilder(0, 3)
                  .StandardInformation(0, 0, 0x20)
                  .FileName(5, 5, u"tiny note.txt")
                  .ResidentData("a small resident file\n")
                  .Finish());
    n.Put(32, RecordBuilder(0, 3)
                  .StandardInformation(0, 0, 0x20)
                  .FileName(5, 5, u"reused.txt")
                  .ResidentData("will be reused")
                  .Finish());
    SearchedVolume sv(n.img);
    ASSERT_TRUE(sv.Search("mem", false));
    const RecoverableFile* tiny = sv.Find("tiny note.txt");
    const RecoverableFile* reused = sv.Find("reused.txt");
    ASSERT_TRUE(tiny && reused);
    EXPECT_TRUE(tiny->resident);
    OutFolder out;
    RecoverResult r = sv.Recover(*tiny, out.folder);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(out.Read("#inynote.txt"), "a small resident file\n");

    // The record is taken by another file after the search: nothing is recovered from it.
    auto& bytes = sv.memory->Bytes();
    const size_t at = size_t{fuzzing::kNtfsMftCluster} * 512 + 32 * fuzzing::kNtfsRecordSize;
    NtfsPut16(&bytes[at + 0x16], kRecordInUse);
    r = sv.Recover(*reused, out.folder);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_NE(r.error.find("reused"), std::string::npos);
    EXPECT_TRUE(r.fileName.empty());
}

TEST(RecoverFiles, LogsAndCountsEveryItemAndStopsBetweenFiles) {
    NtfsFixture n;
    n.Put(30, RecordBuilder(0, 2).FileName(5, 5, u"one.txt").ResidentData("1").Finish());
    n.Put(31, RecordBuilder(0, 2).FileName(5, 5, u"two.txt").ResidentData("22").Finish());
    n.Put(33, RecordBuilder(0, 2)
                  .FileName(5, 5, u"big.bin")
                  .NonResident(0x80, {{320, 3}}, 3 * 512)
                  .Finish());
    SearchedVolume sv(n.img);
    ASSERT_TRUE(sv.Search("mem", false));
    ASSERT_EQ(sv.found.size(), 3u);
    std::vector<const RecoverableFile*> items;
    for (const auto& f : sv.found) items.push_back(&f);
    RecoverableFile ghost = sv.found[0];
    ghost.location = 12345;  // no record there
    ghost.name = "ghost.txt";
    items.push_back(&ghost);

    OutFolder out;
    test::TempDir logDir("log");
    log::CActivityLogFile log;
    log.SetFolder(logDir.Path());
    StepSink sink;
    tw::test::TestOperation op;
    op.SetSink(&sink);
    op.SetLog(&log);
    RecoveryVolume rv = sv.Recovery(false);
    std::vector<std::string> seen;
    RecoveryRunResult run = RecoverFiles(
        op, rv, items, out.folder,
        [&](const RecoverableFile& f, const RecoverResult&) { seen.push_back(f.name); });
    EXPECT_EQ(run.recovered, 3u);
    EXPECT_EQ(run.failed, 1u);
    EXPECT_FALSE(run.stopped);
    EXPECT_EQ(seen.size(), 4u);
    EXPECT_EQ(sink.high[ProgressSink::Overall] - sink.low[ProgressSink::Overall], 1 + 1 + 3 + 1);
    EXPECT_EQ(sink.statuses.front(), std::string(S<397>));
    EXPECT_EQ(out.Read("#ne.txt"), "1");
    EXPECT_EQ(out.Read("#ig.bin"), n.Cluster(320) + n.Cluster(321) + n.Cluster(322));
    const std::string logText = test::ReadFileBytes(log.GetTodaysFileName());
    EXPECT_NE(logText.find(" -> Started data recovery operation"), std::string::npos) << logText;
    EXPECT_NE(logText.find(" -> Recovered data to: " + out.dir.Path() + " Recovered file: #ne.txt"),
              std::string::npos)
        << logText;
    EXPECT_NE(logText.find(" -> Could not recover file ghost.txt"), std::string::npos) << logText;

    std::atomic<int> stop{1};
    op.UseStopFlag(stop);
    run = RecoverFiles(op, rv, items, out.folder);
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(run.recovered, 0u);
}

}  // namespace
}  // namespace tw::volume
