// SPDX-License-Identifier: GPL-3.0-or-later
// Trace wiping on FAT32 volumes built in memory: which clusters get the passes, which
// are left alone, which directory entries are cleared, and what a stop leaves behind;
// the NTFS scrub guard.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "log/activity_log.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "tests/volume/fat_image_builder.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/search.h"
#include "volume/session.h"
#include "volume/traces.h"

namespace tw::volume {
namespace {

using test::RecordingSink;
using testing::Del;
using testing::FatImageBuilder;

constexpr uint32_t kBpc = 512;  // one 512-byte sector per cluster
constexpr uint32_t kRoot = 2;

// Writes a deleted long-name slot for `name11` (the 8.3 name it belongs to, with its
// real first byte) at `e`.
void DeletedLongNameSlot(uint8_t* e, const char* name11, char16_t firstChar) {
    std::memset(e, 0, 32);
    e[0] = 0xE5;
    e[1] = static_cast<uint8_t>(firstChar);
    e[0x0B] = 0x0F;
    e[0x0D] = ShortNameChecksum(reinterpret_cast<const uint8_t*>(name11));
}

bool IsCleared(const uint8_t* e) {
    return e[0] == 0xE5 && std::all_of(e + 1, e + 32, [](uint8_t b) { return b == 0; });
}

// A root of two clusters (2 -> 3) holding:
//   slot 0      KEEP.TXT, live, cluster 40
//   slots 2-13  deleted empty files (no cluster)
//   slots 14-15 the deleted long name of SECRET~1.TXT (end of cluster 2)
//   slot 16     deleted SECRET~1.TXT, first cluster 10, three clusters of data
//   slot 17     another deleted SECRET~1.TXT, first cluster 30
//   slot 18     a deleted long-name slot of some other name
//   slot 19     deleted OTHER.TXT, first cluster 50
// Cluster 11 belongs to the live LIVE.BIN (slot 1), so the deleted file's clusters are
// taken to be 10, 12, 13.
struct Volume {
    FatImageBuilder b{64};
    Volume() {
        b.Chain({kRoot, 3});
        b.Entry(kRoot, 0, "KEEP    TXT", 0x20, 40, 100);
        b.SetFat(40, 0x0FFFFFFF);
        b.Entry(kRoot, 1, "LIVE    BIN", 0x20, 11, 512);
        b.SetFat(11, 0x0FFFFFFF);
        // Deleted empty files fill the slots between (an all-zero slot ends a folder).
        for (uint32_t i = 2; i < 14; ++i) b.Entry(kRoot, i, Del("MPTY   TXT"), 0x20, 0, 0);
        DeletedLongNameSlot(b.Cluster(kRoot) + 14 * 32, "SECRET~1TXT", u'c');
        DeletedLongNameSlot(b.Cluster(kRoot) + 15 * 32, "SECRET~1TXT", u's');
        b.Entry(kRoot, 16, Del("ECRET~1TXT"), 0x20, 10, 3 * kBpc - 100);
        b.Entry(kRoot, 17, Del("ECRET~1TXT"), 0x20, 30, 100);
        DeletedLongNameSlot(b.Cluster(3) + 2 * 32, "OTHERNAMTXT", u'o');
        b.Entry(kRoot, 19, Del("THER   TXT"), 0x20, 50, 100);
        for (uint32_t c : {10u, 12u, 13u, 30u, 50u}) std::memset(b.Cluster(c), 'S', kBpc);
        std::memset(b.Cluster(11), 'L', kBpc);
        std::memset(b.Cluster(40), 'K', kBpc);
    }
};

// The bytes of cluster `c` of the volume `b` built, in the memory drive `m` opened on it.
uint8_t* At(CRawDriveMemory* m, FatImageBuilder& b, uint32_t c) {
    return m->Bytes().data() + (b.Cluster(c) - b.Bytes().data());
}

const RecoverableFile* FindAt(const std::vector<RecoverableFile>& found, uint64_t location) {
    for (const auto& f : found)
        if (f.location == location) return &f;
    return nullptr;
}

// The volume above, searched and opened for writing, with SECRET~1.TXT (cluster 10).
class FatTraceWipe : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(searched);
        ASSERT_NE(item, nullptr);
    }
    bool StillFound(uint64_t location) {
        testing::SearchedVolume again(o.memory->Bytes());
        again.Search("mem", false);
        return FindAt(again.found, location) != nullptr;
    }
    Volume v;
    testing::SearchedVolume o{v.b.Bytes()};
    bool searched = o.Search("mem", true);
    const RecoverableFile* item = FindAt(o.found, 10);
    FatTable& fat = *o.fat;
    TraceVolume tv{&o.drive, nullptr, &fat, 0};
    uint8_t* Cluster(uint32_t c) { return At(o.memory, v.b, c); }
};

TEST_F(FatTraceWipe, OverwritesFreeClustersOnlyThenClearsTheEntryAndItsLongName) {
    EXPECT_EQ(item->directoryCluster, 3u);
    auto before = o.memory->Bytes();
    RecordingSink sink;
    tw::test::TestOperation op;
    op.SetSink(&sink);

    const TracePlan plan = PlanTraceWipe(op, tv, *item, 2);
    ASSERT_TRUE(plan.refusal.empty()) << plan.refusal;
    EXPECT_EQ(plan.clusters, (std::vector<uint64_t>{10, 12, 13}));
    const TraceWipeResult r = WipeFileTraces(op, tv, *item, 2);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clustersWiped, 3u);
    // What the plan promised is what reached the drive (plus one directory cluster).
    EXPECT_EQ(r.bytesWritten, plan.BytesToWrite() + kBpc);
    EXPECT_EQ(sink.high[ProgressSink::Current], 6);
    EXPECT_EQ(sink.steps[ProgressSink::Current], 6);
    // Pass 2 of the fixed patterns is all 0xFF.
    for (uint32_t c : {10u, 12u, 13u})
        EXPECT_TRUE(std::all_of(Cluster(c), Cluster(c) + kBpc, [](uint8_t x) { return x == 0xFF; }))
            << c;
    // The live file's cluster and the other deleted files' data are untouched.
    for (auto [c, ch] : {std::pair{11u, 'L'}, {30u, 'S'}, {40u, 'K'}, {50u, 'S'}})
        EXPECT_TRUE(std::all_of(Cluster(c), Cluster(c) + kBpc, [ch](uint8_t x) { return x == ch; }))
            << c;
    EXPECT_EQ(r.entriesCleared, 1u);
    // Both long-name slots, the second of them at the end of the previous directory
    // cluster.
    EXPECT_EQ(r.longNameEntriesCleared, 2u);
    EXPECT_TRUE(IsCleared(Cluster(kRoot) + 14 * 32));
    EXPECT_TRUE(IsCleared(Cluster(kRoot) + 15 * 32));
    EXPECT_TRUE(IsCleared(Cluster(3)));
    // The other deleted file of the same name, the foreign long-name slot, the other
    // deleted file and the live entries keep every byte.
    auto same = [&](const uint8_t* p) {
        const size_t off = static_cast<size_t>(p - o.memory->Bytes().data());
        return std::equal(p, p + 32, before.begin() + static_cast<std::ptrdiff_t>(off));
    };
    for (int slot : {1, 2, 3}) EXPECT_TRUE(same(Cluster(3) + slot * 32)) << slot;
    for (int slot : {0, 1}) EXPECT_TRUE(same(Cluster(kRoot) + slot * 32)) << slot;
    // A new search lists the other deleted files, not this one.
    EXPECT_FALSE(StillFound(10));
    EXPECT_TRUE(StillFound(30));
    EXPECT_TRUE(StillFound(50));

    // First cluster 0: every deleted entry of that name, by the name alone.
    Volume w;
    testing::SearchedVolume p(w.b.Bytes());
    ASSERT_TRUE(p.Search("mem", true));
    auto all = ClearFatDirectoryEntries(p.drive, *p.fat, 3, "?ECRET~1.TXT", 0);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all->shortEntries, 2u);
    EXPECT_TRUE(IsCleared(At(p.memory, w.b, 3) + 32));
    EXPECT_FALSE(IsCleared(At(p.memory, w.b, 3) + 3 * 32));
}

// A drive that records its writes and flushes, and can report one write done without
// making it: the first one to `loseSector` whose first byte is `loseByte`.
class InterceptingMemory : public CRawDriveMemory {
  public:
    using CRawDriveMemory::CRawDriveMemory;
    bool WriteSectors(uint64_t sector, const void* buffer, uint32_t byteCount) override {
        events.push_back("w" + std::to_string(sector));
        if (loseOne && !lost && sector == loseSector &&
            static_cast<const uint8_t*>(buffer)[0] == loseByte) {
            lost = true;
            return true;
        }
        return CRawDriveMemory::WriteSectors(sector, buffer, byteCount);
    }
    bool FlushWrites() override {
        events.push_back("f");
        return CRawDriveMemory::FlushWrites();
    }
    std::vector<std::string> events;
    bool loseOne = false, lost = false;
    uint64_t loseSector = 0;
    uint8_t loseByte = 0;
};

// Writes wait in the kernel's cache until flushed, and the cache keeps only the last
// one per sector: every pass must be flushed before the next pass writes the same
// cluster again, and the cleared entry must be flushed before success is reported.
TEST_F(FatTraceWipe, EveryPassIsFlushedBeforeTheSameClusterIsWrittenAgain) {
    // The same bytes again, on a drive that records its writes and flushes.
    auto* mem = new InterceptingMemory(v.b.Bytes());
    testing::SearchedVolume j{std::unique_ptr<CRawDrive>(mem)};
    ASSERT_TRUE(j.Search("mem", true));
    mem->events.clear();
    TraceVolume jtv{&j.drive, nullptr, j.fat.get(), 0};

    const TraceWipeResult r = WipeFileTraces(tw::IdleOperation(), jtv, *item, 3);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    ASSERT_EQ(r.clustersWiped, 3u);
    std::map<std::string, size_t> lastWrite;  // sector -> index of its last write
    size_t writes = 0, flushes = 0;
    for (size_t i = 0; i < mem->events.size(); ++i) {
        const std::string& e = mem->events[i];
        if (e == "f") {
            ++flushes;
            continue;
        }
        ++writes;
        if (auto it = lastWrite.find(e); it != lastWrite.end()) {
            const auto flush = std::find(mem->events.begin() + static_cast<long>(it->second),
                                         mem->events.begin() + static_cast<long>(i), "f");
            EXPECT_NE(flush, mem->events.begin() + static_cast<long>(i))
                << e << " written again without a flush in between";
        }
        lastWrite[e] = i;
    }
    // Three clusters x three passes, then the directory cluster(s) holding the entry.
    EXPECT_GE(writes, 3u * 3u + 1u);
    EXPECT_EQ(flushes, 3u + 1u);  // one per pass over the batch, one after the entry
    EXPECT_EQ(mem->events.back(), "f");
}

// With the read-back, a lost write of the last pass fails the item at its byte on the
// volume and leaves its entry, so that a search still finds it to wipe again; without,
// it goes unseen.
TEST_F(FatTraceWipe, ReadBackCatchesALostWriteOfTheLastPass) {
    const uint64_t sector = static_cast<uint64_t>(v.b.Cluster(12) - v.b.Bytes().data()) / 512;
    const size_t entry = static_cast<size_t>(v.b.Cluster(kRoot) - v.b.Bytes().data()) + 16 * 32;
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify);
        auto* mem = new InterceptingMemory(v.b.Bytes());
        mem->loseOne = true;
        mem->loseSector = sector;
        mem->loseByte = 0xFF;  // two fixed passes: 0x00, then 0xFF
        testing::SearchedVolume l{std::unique_ptr<CRawDrive>(mem)};
        ASSERT_TRUE(l.Search("mem", true));
        TraceVolume ltv{&l.drive, nullptr, l.fat.get(), 0};
        ltv.verifyLastPass = verify;
        const TraceWipeResult r = WipeFileTraces(tw::IdleOperation(), ltv, *item, 2);
        ASSERT_TRUE(mem->lost);
        if (verify) {
            EXPECT_EQ(r.outcome, Outcome::Failed);
            ASSERT_TRUE(r.readBack);
            EXPECT_EQ(r.readBack->code, ErrorCode::Mismatch);
            EXPECT_EQ(r.readBack->offset, static_cast<int64_t>(sector * 512));
            EXPECT_NE(r.error.find("offset " + std::to_string(sector * 512)), std::string::npos)
                << r.error;
            EXPECT_FALSE(IsCleared(mem->Bytes().data() + entry));
        } else {
            EXPECT_EQ(r.outcome, Outcome::Ok) << r.error;
            EXPECT_TRUE(IsCleared(mem->Bytes().data() + entry));
        }
    }
}

// The search after a trace wipe: a session of its own names the wiped items it still
// finds, and only those.
TEST_F(FatTraceWipe, SearchAgainNamesTheItemsStillFound) {
    test::TempDir dir("traces-again");
    const std::string image = dir.Path() + "/fat.img";
    ASSERT_TRUE(test::WriteFileBytes(image, std::string(v.b.Bytes().begin(), v.b.Bytes().end())));
    CVolumeSession s;
    SessionOpenOptions oo;
    oo.access = RawAccess::Write;
    ASSERT_TRUE(s.Open(tw::IdleOperation(), image, oo).IsOk());
    const RecoverableFile* secret = s.FindFound(10);
    const RecoverableFile* other = s.FindFound(50);
    ASSERT_TRUE(secret && other);
    const std::vector<RecoverableFile> both{*secret, *other};
    std::vector<std::string> still;
    ASSERT_TRUE(s.SearchAgain(tw::IdleOperation(), both, &still).IsOk());
    EXPECT_EQ(still.size(), 2u);
    ASSERT_EQ(s.WipeTraces(tw::IdleOperation(), {secret}, 1, {}).wiped, 1u);
    s.CloseDrive();
    ASSERT_TRUE(s.SearchAgain(tw::IdleOperation(), both, &still).IsOk());
    EXPECT_EQ(still, std::vector<std::string>{TraceItemText(*other)});
}

TEST_F(FatTraceWipe, LooksAtTheFatAgainRightBeforeEachWrite) {
    ASSERT_EQ(fat.Entry(12), 0u);  // the table is cached now
    // Another writer takes cluster 12 after the table was read.
    FatImageBuilder::Put32(o.memory->Bytes().data() + v.b.ReservedSectors() * 512 + 12 * 4,
                           0x0FFFFFFF);
    std::memset(o.memory->Bytes().data() + (v.b.Cluster(12) - v.b.Bytes().data()), 'N', kBpc);
    const TraceWipeResult r = WipeFileTraces(tw::IdleOperation(), tv, *item, 1);
    ASSERT_EQ(r.outcome, Outcome::Ok) << r.error;
    EXPECT_EQ(r.clustersWiped, 2u);
    EXPECT_EQ(r.clustersInUse, 1u);
    EXPECT_TRUE(std::all_of(Cluster(12), Cluster(12) + kBpc, [](uint8_t x) { return x == 'N'; }));
    EXPECT_TRUE(std::all_of(Cluster(13), Cluster(13) + kBpc, [](uint8_t x) { return x == 0; }));
}

TEST_F(FatTraceWipe, AStopLeavesTheEntryAndItsLongName) {
    std::atomic<int> stop{0};
    RecordingSink sink;
    // The passes go over all the file's clusters (one batch) in turn: the stop comes
    // after the first pass has reached two of its three clusters.
    sink.onStep = [&](int64_t n) {
        if (n >= 2) stop = 1;
    };
    tw::test::TestOperation op;
    op.SetSink(&sink);
    op.UseStopFlag(stop);
    std::vector<const RecoverableFile*> items{item};
    std::vector<TraceWipeResult> results;
    const TraceRunResult run = WipeTracesOfFiles(
        op, tv, items, 2,
        [&](const RecoverableFile&, const TraceWipeResult& r) { results.push_back(r); });
    EXPECT_TRUE(run.stopped);
    EXPECT_EQ(run.wiped, 0u);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].outcome, Outcome::Stopped);
    EXPECT_EQ(results[0].clustersWiped, 0u);  // none has had both passes
    // The third cluster keeps its data, the entry and its long name their bytes.
    EXPECT_TRUE(std::all_of(Cluster(13), Cluster(13) + kBpc, [](uint8_t x) { return x == 'S'; }));
    EXPECT_FALSE(IsCleared(Cluster(3)));
    EXPECT_FALSE(IsCleared(Cluster(kRoot) + 15 * 32));
    EXPECT_TRUE(StillFound(10));
}

TEST_F(FatTraceWipe, RefusesBadPassCountsReadOnlyDrivesAndClustersNotTheFiles) {
    const uint64_t writes = o.memory->writeCalls;
    EXPECT_EQ(WipeFileTraces(tw::IdleOperation(), tv, *item, 0).outcome, Outcome::Failed);
    EXPECT_EQ(WipeFileTraces(tw::IdleOperation(), tv, *item, 15).outcome, Outcome::Failed);
    // An NTFS item on a FAT volume.
    RecoverableFile ntfsItem = *item;
    ntfsItem.fs = FileSystemKind::Ntfs;
    EXPECT_EQ(WipeFileTraces(tw::IdleOperation(), tv, ntfsItem, 1).outcome, Outcome::Failed);
    // First cluster taken by a file since the search: nothing at all is written.
    RecoverableFile reused = *item;
    reused.location = 11;
    TraceWipeResult r = WipeFileTraces(tw::IdleOperation(), tv, reused, 1);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_NE(r.error.find("belongs to a file"), std::string::npos) << r.error;
    // Entries are cleared only in a folder's cluster: 60 belongs to none, 1 is no cluster.
    EXPECT_FALSE(ClearFatDirectoryEntries(o.drive, fat, 60, "?ECRET~1.TXT", 10).ok());
    EXPECT_FALSE(ClearFatDirectoryEntries(o.drive, fat, 1, "?ECRET~1.TXT", 10).ok());
    o.drive.Open("mem", false);
    EXPECT_EQ(WipeFileTraces(tw::IdleOperation(), tv, *item, 1).outcome, Outcome::Failed);
    EXPECT_FALSE(ClearFatDirectoryEntries(o.drive, fat, 3, "?ECRET~1.TXT", 10).ok());
    EXPECT_EQ(o.memory->writeCalls, writes);
    EXPECT_FALSE(IsCleared(Cluster(3)));
}

TEST_F(FatTraceWipe, LogsTheOperationAndEachFile) {
    RecoverableFile reused = *item;  // its first cluster belongs to LIVE.BIN now
    reused.location = 11;
    reused.name = "?EUSED.BIN";
    test::TempDir logDir("traces-log");
    log::CActivityLogFile writer;
    writer.SetFolder(logDir.Path());
    tw::test::TestOperation op;
    op.SetLog(&writer);
    const TraceRunResult run = WipeTracesOfFiles(op, tv, {item, &reused}, 1);
    EXPECT_EQ(run.wiped, 1u);
    EXPECT_EQ(run.failed, 1u);
    EXPECT_FALSE(run.stopped);
    const std::string text = test::ReadFileBytes(writer.GetTodaysFileName());
    const size_t started = text.find("-> Started recoverable file trace wiping operation\r");
    const size_t wiped = text.find("-> Wiped traces of file /?ECRET~1.TXT\r");
    const size_t failed = text.find("-> Could not wipe traces of file /?EUSED.BIN\r");
    const size_t done = text.find("-> Recoverable file trace wiping operation completed\r");
    EXPECT_NE(started, std::string::npos) << text;
    EXPECT_NE(done, std::string::npos) << text;
    EXPECT_TRUE(started < wiped && wiped < failed && failed < done) << text;
}

TEST(NtfsScrubGuard, ProtectsBootSectorSystemRecordsAndTheProtectedStart) {
    NtfsBootInfo b;
    b.mftStartSector = 1000;
    b.sectorsPerRecord = 2;
    b.systemEndSector = 1000 + 23 * 2;
    EXPECT_TRUE(ScrubGuardProtects(b, 0, 8, 0));
    EXPECT_FALSE(ScrubGuardProtects(b, 8, 8, 0));
    EXPECT_TRUE(ScrubGuardProtects(b, 996, 8, 0));    // runs into record 0
    EXPECT_TRUE(ScrubGuardProtects(b, 1044, 2, 0));   // record 22
    EXPECT_FALSE(ScrubGuardProtects(b, 1046, 2, 0));  // record 23
    EXPECT_TRUE(ScrubGuardProtects(b, 5000, 2, 5000));
    EXPECT_FALSE(ScrubGuardProtects(b, 5001, 2, 5000));
    EXPECT_TRUE(ScrubGuardProtects(b, UINT64_MAX, 2, 0));  // wraps around
}

}  // namespace
}  // namespace tw::volume
