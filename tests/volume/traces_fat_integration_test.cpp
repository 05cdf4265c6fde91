// SPDX-License-Identifier: GPL-3.0-or-later
// wipe-traces on FAT32 images made by mkfs.fat and filled and emptied with mtools,
// checked with fsck.fat, mtype and fls (sleuthkit).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "tests/volume/traces_test_util.h"
#include "volume/fat32.h"

namespace tw::volume {
namespace {

using namespace testing;
using test::CountOccurrences;
using test::RunTool;

constexpr const char* kSecretBody = "TW-SECRET-LETTER-BODY";
constexpr const char* kOtherBody = "TW-OTHER-DELETED-BODY";

class FatTracesIntegration : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string missing =
            test::MissingTool({"mkfs.fat", "mcopy", "mdel", "mmd", "mtype", "fsck.fat"});
        if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
        image_ = dir_.Path() + "/fat32.img";
        config_ = dir_.Path() + "/config";
        std::string out;
        // 512-byte clusters (FAT32 needs 65525 of them at least): the 5000-byte letter
        // takes ten.
        ASSERT_EQ(RunTool({"mkfs.fat", "-F", "32", "-C", "-S", "512", "-s", "1", "-n", "TWTRACE",
                           image_, "40960"},
                          &out),
                  0)
            << out;
        secret_ = Repeat(std::string("Dear Ada, ") + kSecretBody, 5000);
        keep_ = Repeat("keep this file as it is", 3000);
        rootLive_ = Repeat("a live file in the root", 9000);
        Put("secret_letter.txt", secret_);
        Put("KEEP.TXT", keep_);
        Put("OTHER.TXT", Repeat(kOtherBody, 2000));
        Put("ROOTLIVE.BIN", rootLive_);
        ASSERT_EQ(Mtool({"mmd", "-i", image_, "::/SUB"}), 0);
        ASSERT_EQ(Mtool({"mcopy", "-i", image_, Local("secret_letter.txt"), Local("KEEP.TXT"),
                         Local("OTHER.TXT"), "::/SUB/"}),
                  0);
        ASSERT_EQ(Mtool({"mcopy", "-i", image_, Local("ROOTLIVE.BIN"), "::/"}), 0);
        ASSERT_EQ(Mtool({"mdel", "-i", image_, "::/SUB/secret_letter.txt", "::/SUB/OTHER.TXT"}), 0);

        found_ = SearchImage(image_);
        const RecoverableFile* s = FindByName(found_, "?ECRET~1.TXT");
        ASSERT_NE(s, nullptr) << "the search does not list the deleted letter";
        location_ = s->location;
        // A live file takes one of the letter's clusters: mtools allocates after the
        // FSInfo hint of the last cluster allocated, which is pointed at the letter.
        SetNextFreeHint(static_cast<uint32_t>(location_));
        reuse_ = Repeat("TW-REUSED-BY-A-LIVE-FILE", 512);
        Put("REUSE.BIN", reuse_);
        ASSERT_EQ(Mtool({"mcopy", "-i", image_, Local("REUSE.BIN"), "::/"}), 0);
        bool reused = false;
        for (uint32_t c = 1; c < 10; ++c)
            reused = reused || FatEntryOf(static_cast<uint32_t>(location_ + c)) != 0;
        ASSERT_TRUE(reused) << "mtools did not reuse a cluster of the letter";
        ASSERT_GT(CountOccurrences(ReadBytes(image_), kSecretBody), 0u);
        fsckBefore_ = Fsck(&fsckBeforeRc_);
    }

    void Put(const std::string& name, const std::string& data) {
        ASSERT_TRUE(test::WriteFileBytes(Local(name), data));
    }
    std::string Local(const std::string& name) const { return dir_.Path() + "/" + name; }
    int Mtool(const std::vector<std::string>& argv) {
        std::string out;
        int rc = RunTool(argv, &out);
        if (rc != 0) ADD_FAILURE() << argv[0] << ": " << out;
        return rc;
    }
    std::string Mtype(const std::string& path) {
        std::string out;
        EXPECT_EQ(RunTool({"mtype", "-i", image_, path}, &out), 0) << out;
        return out;
    }
    std::string Fsck(int* rc) {
        std::string out;
        *rc = RunTool({"fsck.fat", "-n", image_}, &out);
        return WithoutFirstLine(out);
    }
    void SetNextFreeHint(uint32_t cluster) {
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        uint8_t boot[512];
        f.read(reinterpret_cast<char*>(boot), 512);
        const uint32_t fsinfo = boot[0x30] | (boot[0x31] << 8);
        uint8_t v[4] = {static_cast<uint8_t>(cluster), static_cast<uint8_t>(cluster >> 8),
                        static_cast<uint8_t>(cluster >> 16), static_cast<uint8_t>(cluster >> 24)};
        f.seekp(fsinfo * 512 + 0x1EC);
        f.write(reinterpret_cast<const char*>(v), 4);
    }
    uint32_t FatEntryOf(uint32_t cluster) {
        CRawDriveRef d;
        if (!d.Open(image_)) return 0;
        auto boot = ReadFatBootInfo(d);
        return boot ? ReadFatEntry(cluster, *boot, d) & kFatEntryMask : 0;
    }
    // fsck.fat says what it said before, and every live file reads back as written.
    void ExpectSoundWithLiveFilesIntact() {
        int rc = 0;
        EXPECT_EQ(Fsck(&rc), fsckBefore_);
        EXPECT_EQ(rc, fsckBeforeRc_);
        EXPECT_EQ(Mtype("::/SUB/KEEP.TXT"), keep_);
        EXPECT_EQ(Mtype("::/ROOTLIVE.BIN"), rootLive_);
        EXPECT_EQ(Mtype("::/REUSE.BIN"), reuse_);
    }

    test::TempDir dir_{"traces-fat"};
    std::string image_, config_, secret_, keep_, rootLive_, reuse_, fsckBefore_;
    int fsckBeforeRc_ = 0;
    std::vector<RecoverableFile> found_;
    uint64_t location_ = 0;
};

TEST_F(FatTracesIntegration, WipedFileLeavesNoContentNameOrEntryAndTheVolumeStaysSound) {
    // A dry run prints the plan and changes nothing.
    const std::vector<uint8_t> before = ReadBytes(image_);
    std::string out;
    ASSERT_EQ(test::RunCliIn(config_,
                             {"wipe-traces", image_, "--location", std::to_string(location_),
                              "--passes", "2", "--dry-run"},
                             &out),
              0)
        << out;
    EXPECT_NE(out.find("?ECRET~1.TXT: 10 clusters x 2 passes"), std::string::npos) << out;
    EXPECT_EQ(ReadBytes(image_), before);
    // Without a terminal and without --yes nothing is confirmed: refused, unchanged.
    out.clear();
    EXPECT_EQ(test::RunCliIn(
                  config_, {"wipe-traces", image_, "--location", std::to_string(location_)}, &out),
              3)
        << out;
    EXPECT_EQ(ReadBytes(image_), before);

    out.clear();
    ASSERT_EQ(test::RunCliIn(config_,
                             {"wipe-traces", image_, "--location", std::to_string(location_),
                              "--passes", "2", "--yes"},
                             &out),
              0)
        << out;
    EXPECT_NE(out.find("Wiped traces of file /SUB/?ECRET~1.TXT"), std::string::npos) << out;
    // The guessed sequence passes over the reused cluster: ten others are written.
    EXPECT_NE(out.find("(10 clusters overwritten, 3 directory entries cleared)"), std::string::npos)
        << out;

    ExpectSoundWithLiveFilesIntact();
    const std::vector<uint8_t> after = ReadBytes(image_);
    EXPECT_EQ(CountOccurrences(after, kSecretBody), 0u);
    // The long name is gone from the directory too, the 8.3 name as well.
    EXPECT_EQ(CountOccurrences(after, Utf16("secret_letter")), 0u);
    EXPECT_EQ(CountOccurrences(after, "ECRET~1TXT"), 0u);
    // The other deleted file was not asked for: its data and entry are still there.
    EXPECT_GT(CountOccurrences(after, kOtherBody), 0u);

    const auto again = SearchImage(image_);
    EXPECT_EQ(FindByName(again, "?ECRET~1.TXT"), nullptr);
    EXPECT_NE(FindByName(again, "?THER.TXT"), nullptr);
    // sleuthkit no longer lists the letter among the deleted names.
    std::string fls;
    if (RunTool({"fls", "-r", "-d", image_}, &fls) == 0) {
        EXPECT_EQ(fls.find("ECRET"), std::string::npos) << fls;
        EXPECT_EQ(fls.find("secret_letter"), std::string::npos) << fls;
        EXPECT_NE(fls.find("THER.TXT"), std::string::npos) << fls;
    }
}

TEST_F(FatTracesIntegration, AllWipesEveryFoundFileAndASecondRunHasNothingLeft) {
    std::string out;
    ASSERT_EQ(
        test::RunCliIn(config_, {"wipe-traces", image_, "--all", "--passes", "1", "--yes"}, &out),
        0)
        << out;
    ExpectSoundWithLiveFilesIntact();
    const std::vector<uint8_t> after = ReadBytes(image_);
    EXPECT_EQ(CountOccurrences(after, kSecretBody), 0u);
    EXPECT_EQ(CountOccurrences(after, kOtherBody), 0u);
    EXPECT_TRUE(SearchImage(image_).empty());
    out.clear();
    EXPECT_EQ(test::RunCliIn(config_, {"wipe-traces", image_, "--all", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find("Nothing to wipe"), std::string::npos) << out;
    // No selection, or a location the search does not list: a usage error, not a
    // silent success.
    out.clear();
    EXPECT_EQ(test::RunCliIn(config_, {"wipe-traces", image_, "--yes"}, &out), 2) << out;
    EXPECT_NE(out.find("Please select recoverable files to wipe"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(
        test::RunCliIn(config_, {"wipe-traces", image_, "--location", "999999", "--yes"}, &out), 2)
        << out;
}

// Search, recovery and trace wiping log under their own category of the activity log:
// only when logging is on and so is logRecoverableDataOperations.
TEST_F(FatTracesIntegration, LinesAreLoggedOnlyWhenTheirCategoryIsOn) {
    const std::string logs = dir_.Path() + "/logs";
    ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
    std::string out;
    ASSERT_EQ(test::RunCliIn(config_, {"settings", "set", "LogLocation", logs}, &out), 0) << out;
    auto logText = [&] {
        std::string text;
        test::RunCliIn(config_, {"log", "show"}, &text);
        return text;
    };
    auto run = [&](const std::string& save, const std::string& category) {
        std::string o;
        test::RunCliIn(config_, {"settings", "set", "SaveToLogfile", save}, &o);
        test::RunCliIn(config_, {"settings", "set", "logRecoverableDataOperations", category}, &o);
        EXPECT_EQ(test::RunCliIn(config_, {"search", image_}, &o), 0) << o;
        EXPECT_EQ(test::RunCliIn(config_,
                                 {"recover", image_, "--all", "--keep-entries", "--to",
                                  dir_.Path() + "/out-" + save + category},
                                 &o),
                  0)
            << o;
    };
    run("1", "0");  // the master switch alone
    run("0", "1");  // the category alone
    EXPECT_EQ(logText().find("search for recoverable files"), std::string::npos) << logText();
    EXPECT_EQ(logText().find("Started data recovery operation"), std::string::npos);
    run("1", "1");
    const std::string text = logText();
    EXPECT_NE(text.find(" -> Beginning search for recoverable files on " + image_),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" -> Started data recovery operation"), std::string::npos) << text;
    out.clear();
    ASSERT_EQ(
        test::RunCliIn(config_, {"wipe-traces", image_, "--all", "--passes", "1", "--yes"}, &out),
        0)
        << out;
    EXPECT_NE(logText().find("Wiped traces of file"), std::string::npos) << logText();
}

}  // namespace
}  // namespace tw::volume
