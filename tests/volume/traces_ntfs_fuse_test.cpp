// SPDX-License-Identifier: GPL-3.0-or-later
// wipe-traces and scrub-mft on NTFS images made by mkntfs and filled and emptied
// through an ntfs-3g mount (root and /dev/fuse), checked with ntfsfix, ntfsundelete,
// fls (sleuthkit) and a second ntfs-3g mount.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/common/recording_sink.h"
#include "tests/volume/recovery_fixture.h"
#include "volume/traces.h"

namespace tw::volume {
namespace {

using namespace testing;
using test::CountOccurrences;
using test::FsKind;
using test::RunTool;

constexpr const char* kLetterBody = "TW-NTFS-LETTER-BODY";
constexpr const char* kNoteBody = "TW-NTFS-RESIDENT-NOTE";
constexpr const char* kVictimBody = "TW-NTFS-VICTIM-BODY";
constexpr const char* kOtherBody = "TW-NTFS-OTHER-BODY";
constexpr uint32_t kCluster = 4096;

// Occurrences of `needle` that do not lie in a directory index block ("INDX", one
// per 4096-byte cluster here). Index blocks keep the names of deleted entries in their
// unused tail; a wipe of chosen files leaves the folders to --all and scrub-mft.
size_t OutsideIndexBlocks(const std::vector<uint8_t>& image, const std::string& needle) {
    size_t n = 0;
    auto it = image.begin();
    while ((it = std::search(it, image.end(), needle.begin(), needle.end())) != image.end()) {
        const size_t block = static_cast<size_t>(it - image.begin()) / kCluster * kCluster;
        if (std::memcmp(image.data() + block, "INDX", 4) != 0) ++n;
        ++it;
    }
    return n;
}

// An NTFS volume with:
//   letter.txt   deleted, 40000 bytes in ten clusters
//   note.txt     deleted, 200 bytes kept inside its record (resident)
//   victim.bin   deleted, eight clusters, six of them taken since by grower.bin
//   other.txt    deleted, not asked for
//   keep.bin, dir/live.txt, grower.bin   live
class NtfsTracesFuse : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(FsKind::Ntfs);
        const std::string missing = test::MissingTool({"ntfsfix", "ntfsundelete"});
        if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
        vol_ = std::make_unique<test::ScratchVolume>(FsKind::Ntfs, 32, "TWTRACES");
        ASSERT_TRUE(vol_->Ok()) << vol_->Error();
        const std::string r = vol_->Root();
        keep_ = Repeat("keep this live file", 50000);
        live_ = Repeat("a live file in a folder", 5000);
        grower_ = Repeat("grower", kCluster);
        ASSERT_TRUE(test::WriteFileBytes(r + "letter.txt", Repeat(kLetterBody, 40000)));
        ASSERT_TRUE(test::WriteFileBytes(r + "note.txt", Repeat(kNoteBody, 200)));
        ASSERT_TRUE(test::WriteFileBytes(r + "keep.bin", keep_));
        ASSERT_TRUE(test::WriteFileBytes(r + "other.txt", Repeat(kOtherBody, 9000)));
        ASSERT_EQ(RunTool({"mkdir", r + "dir"}), 0);
        ASSERT_TRUE(test::WriteFileBytes(r + "dir/live.txt", live_));
        // victim.bin lies right behind grower.bin; once it is deleted, growing
        // grower.bin by six clusters takes six of its eight (ntfs-3g extends a file from
        // the cluster after its last one).
        ASSERT_TRUE(test::WriteFileBytes(r + "grower.bin", grower_));
        ASSERT_TRUE(test::WriteFileBytes(r + "victim.bin", Repeat(kVictimBody, 8 * kCluster)));
        ASSERT_EQ(RunTool({"sync"}), 0);
        for (const char* f : {"letter.txt", "note.txt", "other.txt", "victim.bin"})
            ASSERT_EQ(std::remove((r + f).c_str()), 0) << f;
        grower_ += Repeat("GROWN", 6 * kCluster);
        ASSERT_TRUE(test::WriteFileBytes(r + "grower.bin", grower_));
        ASSERT_TRUE(vol_->Unmount());
        image_ = vol_->ImagePath();
        config_ = vol_->MountPoint() + "-config";
        found_ = SearchImage(image_);
        for (const char* name : {"letter.txt", "note.txt", "victim.bin", "other.txt"})
            ASSERT_NE(FindByName(found_, name), nullptr) << name << " is not listed";
        ASSERT_LT(FindByName(found_, "victim.bin")->recoverability, 100)
            << "grower.bin did not take victim.bin's clusters";
        ntfsfixBefore_ = Ntfsfix(&ntfsfixRcBefore_);
    }
    void TearDown() override {
        if (!config_.empty()) RunTool({"rm", "-rf", config_});
    }

    // The program with this test's settings; `out` receives what it printed.
    int Cli(const std::vector<std::string>& args, std::string* out) {
        out->clear();
        return test::RunCliIn(config_, args, out);
    }
    std::string Ntfsfix(int* rc) {
        std::string out;
        *rc = RunTool({"ntfsfix", "-n", image_}, &out);
        return out;
    }
    std::string Location(const char* name) {
        return std::to_string(FindByName(found_, name)->location);
    }
    // ntfs-3g mounts the volume again and every live file reads back as written.
    void ExpectSoundWithLiveFilesIntact() {
        int rc = 0;
        EXPECT_EQ(Ntfsfix(&rc), ntfsfixBefore_);
        EXPECT_EQ(rc, ntfsfixRcBefore_);
        ASSERT_TRUE(vol_->Mount()) << vol_->Error();
        EXPECT_EQ(test::ReadFileBytes(vol_->Root() + "keep.bin"), keep_);
        EXPECT_EQ(test::ReadFileBytes(vol_->Root() + "dir/live.txt"), live_);
        EXPECT_EQ(test::ReadFileBytes(vol_->Root() + "grower.bin"), grower_);
        ASSERT_TRUE(vol_->Unmount());
    }

    std::unique_ptr<test::ScratchVolume> vol_;
    std::string image_, config_, keep_, live_, grower_, ntfsfixBefore_;
    int ntfsfixRcBefore_ = 0;
    std::vector<RecoverableFile> found_;
};

// While the volume is mounted read-write every change is refused, dry runs included;
// once it is not, the wiped files leave nothing recoverable.
TEST_F(NtfsTracesFuse, WipedFilesLeaveNothingRecoverableAndTheVolumeStaysSound) {
    ASSERT_TRUE(vol_->Mount()) << vol_->Error();
    const std::vector<uint8_t> before = ReadBytes(image_);
    std::string out;
    EXPECT_EQ(Cli({"wipe-traces", image_, "--location", Location("letter.txt"), "--yes"}, &out), 3)
        << out;
    EXPECT_NE(out.find("mounted"), std::string::npos) << out;
    EXPECT_EQ(Cli({"scrub-mft", image_, "--yes"}, &out), 3) << out;
    EXPECT_EQ(Cli({"wipe-traces", image_, "--journal", "--yes"}, &out), 3) << out;
    // Through the mounted folder too: it stands for the image mounted there.
    EXPECT_EQ(Cli({"scrub-mft", vol_->MountPoint(), "--yes"}, &out), 3) << out;
    EXPECT_NE(out.find("mounted read-write"), std::string::npos) << out;
    // Dry runs show their plan and end as the real runs would.
    for (const std::vector<std::string>& dry :
         {std::vector<std::string>{"wipe-traces", image_, "--all", "--dry-run"},
          std::vector<std::string>{"scrub-mft", image_, "--dry-run"}}) {
        EXPECT_EQ(Cli(dry, &out), 3) << dry[0] << ": " << out;
        EXPECT_NE(out.find("the real run would be refused"), std::string::npos) << out;
    }
    EXPECT_EQ(ReadBytes(image_), before);
    ASSERT_TRUE(vol_->Unmount());

    ASSERT_EQ(
        Cli({"wipe-traces", image_, "--location", Location("letter.txt"), "--location",
             Location("note.txt"), "--location", Location("victim.bin"), "--passes", "3", "--yes"},
            &out),
        0)
        << out;
    EXPECT_NE(out.find("/letter.txt (10 clusters overwritten, record scrubbed)"), std::string::npos)
        << out;
    EXPECT_NE(out.find("/note.txt (data inside the record, record scrubbed)"), std::string::npos)
        << out;
    // The six clusters grower.bin took are left alone, the other two are wiped.
    EXPECT_NE(out.find("/victim.bin (2 clusters overwritten, 6 in use left alone, record "
                       "scrubbed)"),
              std::string::npos)
        << out;

    ExpectSoundWithLiveFilesIntact();
    const std::vector<uint8_t> image = ReadBytes(image_);
    for (const char* body : {kLetterBody, kNoteBody, kVictimBody})
        EXPECT_EQ(CountOccurrences(image, body), 0u) << body;
    EXPECT_GT(CountOccurrences(image, kOtherBody), 0u);
    for (const char* name : {"letter.txt", "note.txt", "victim.bin"})
        EXPECT_EQ(OutsideIndexBlocks(image, Utf16(name)), 0u) << name;

    // Neither this search, nor ntfsundelete, nor sleuthkit finds them any more; all
    // three still find the file that was not wiped.
    const auto again = SearchImage(image_);
    for (const char* name : {"letter.txt", "note.txt", "victim.bin"})
        EXPECT_EQ(FindByName(again, name), nullptr) << name;
    EXPECT_NE(FindByName(again, "other.txt"), nullptr);
    const std::string undelete = Tool({"ntfsundelete", "-s", image_});
    const std::string fls = Tool({"fls", "-r", "-d", image_});
    for (const char* name : {"letter.txt", "note.txt", "victim.bin"}) {
        EXPECT_EQ(undelete.find(name), std::string::npos) << name << "\n" << undelete;
        EXPECT_EQ(fls.find(name), std::string::npos) << name << "\n" << fls;
    }
    EXPECT_NE(undelete.find("other.txt"), std::string::npos) << undelete;
    EXPECT_NE(fls.find("other.txt"), std::string::npos) << fls;
}

TEST_F(NtfsTracesFuse, AStopMidWipeLeavesTheRecordThatScrubMftThenTakesWithEveryOther) {
    SearchedVolume searched;
    ASSERT_TRUE(searched.Search(image_, true)) << tw::ErrorText(searched.drive.LastError());
    const RecoverableFile* letter = searched.Find("letter.txt");
    ASSERT_NE(letter, nullptr);
    std::atomic<int> stop{0};
    test::RecordingSink sink;
    sink.onStep = [&](int64_t n) {  // the first three clusters of one pass each
        if (n >= 3) stop = 1;
    };
    tw::test::TestOperation op;
    op.SetSink(&sink);
    op.UseStopFlag(stop);
    TraceVolume tv{&searched.drive, searched.ntfs.get(), nullptr, 0};
    const TraceWipeResult r = WipeFileTraces(op, tv, *letter, 1);
    EXPECT_EQ(r.outcome, Outcome::Stopped);
    EXPECT_EQ(r.clustersWiped, 3u);
    EXPECT_FALSE(r.recordScrubbed);
    searched.drive.Close();
    // The record still describes the file (ntfsundelete lists it and its name is in
    // the record); the search does not, since its first sector now reads as wiped.
    EXPECT_NE(Tool({"ntfsundelete", "-s", image_}).find("letter.txt"), std::string::npos);
    EXPECT_EQ(FindByName(SearchImage(image_), "letter.txt"), nullptr);
    const std::vector<uint8_t> image = ReadBytes(image_);
    EXPECT_GT(OutsideIndexBlocks(image, Utf16("letter.txt")), 0u);
    // Seven of its ten clusters were not reached.
    EXPECT_GT(CountOccurrences(image, kLetterBody), 0u);
    ExpectSoundWithLiveFilesIntact();

    // letter.txt is no longer recoverable, but its record still names it: scrub-mft
    // takes that record too.
    std::string out;
    ASSERT_EQ(Cli({"scrub-mft", image_, "--dry-run"}, &out), 0) << out;
    EXPECT_NE(FindByName(SearchImage(image_), "other.txt"), nullptr);  // unchanged
    const std::string receipt = image_ + ".receipt.json";  // beside the image, removed with it
    ASSERT_EQ(Cli({"scrub-mft", image_, "--yes", "--verify", "--report", receipt}, &out), 0) << out;
    // At least the four deleted files (ntfs-3g may have freed more records).
    unsigned long scrubbed = 0;
    ASSERT_EQ(std::sscanf(out.c_str(), "Scrubbed %lu deleted file record", &scrubbed), 1) << out;
    EXPECT_GE(scrubbed, 4u);
    // The receipt lists each record scrubbed; the search that followed found none again.
    const auto j = nlohmann::json::parse(test::ReadFileBytes(receipt), nullptr, false);
    EXPECT_EQ(j["target"]["path"], image_);
    EXPECT_EQ(j["items"].size(), scrubbed);
    EXPECT_EQ(j["verification"]["result"], "passed");
    ExpectSoundWithLiveFilesIntact();

    // No deleted record is left that parses as a file: the search finds nothing, a
    // second scrub finds nothing to do, and the peers list no name.
    EXPECT_TRUE(SearchImage(image_).empty());
    ASSERT_EQ(Cli({"scrub-mft", image_, "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find("Scrubbed 0 deleted file records"), std::string::npos) << out;
    const std::string undelete = Tool({"ntfsundelete", "-s", image_});
    const std::string fls = Tool({"fls", "-r", "-d", image_});
    for (const char* name : {"letter.txt", "note.txt", "victim.bin", "other.txt"}) {
        EXPECT_EQ(undelete.find(name), std::string::npos) << name << "\n" << undelete;
        EXPECT_EQ(fls.find(name), std::string::npos) << name << "\n" << fls;
        // The folder indexes are cleared too: the name is nowhere on the volume.
        EXPECT_EQ(CountOccurrences(ReadBytes(image_), Utf16(name)), 0u) << name;
    }
    // The resident note lived in its record: the scrub took it. The data clusters of
    // the others are not the scrub's business (free-space cleaning covers them).
    EXPECT_EQ(CountOccurrences(ReadBytes(image_), kNoteBody), 0u);
}

}  // namespace
}  // namespace tw::volume
