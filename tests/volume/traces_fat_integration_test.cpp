// SPDX-License-Identifier: GPL-3.0-or-later
// wipe-traces on FAT32 images made by mkfs.fat and filled and emptied with mtools,
// checked with fsck.fat, mtype and fls (sleuthkit).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/volume/recovery_fixture.h"
#include "volume/fat32.h"

namespace tw::volume {
namespace {

using namespace testing;
using test::CountOccurrences;
using test::RunTool;

// A long name as its slots hold it in UTF-16: 13 characters a slot, in pieces of 5, 6
// and 2. The pieces of 5 and 6 are what a byte search can tell apart from other names.
std::vector<std::string> LongNamePieces(const std::string& name) {
    std::vector<std::string> pieces;
    for (size_t at = 0; at < name.size(); at += 13) {
        const std::string slot = name.substr(at, 13);
        if (slot.size() >= 5) pieces.push_back(Utf16(slot.substr(0, 5)));
        if (slot.size() >= 11) pieces.push_back(Utf16(slot.substr(5, 6)));
    }
    return pieces;
}

constexpr const char* kSecretBody = "TW-SECRET-LETTER-BODY";
constexpr const char* kOtherBody = "TW-OTHER-DELETED-BODY";

// A FAT32 image in a temporary folder, with the settings of the program beside it, and
// mtools to fill it.
class FatImageTest : public ::testing::Test {
  protected:
    void RequireTools(std::initializer_list<const char*> tools) {
        const std::string missing = test::MissingTool(tools);
        if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
        setenv("MTOOLS_SKIP_CHECK", "1", 1);
    }
    // The program with this test's settings; `out` receives what it printed.
    int Cli(const std::vector<std::string>& args, std::string* out) {
        out->clear();
        return test::RunCliIn(config_, args, out);
    }
    std::string Local(const std::string& name) const { return dir_.Path() + "/" + name; }
    std::string Fsck(int* rc) {
        std::string out;
        *rc = RunTool({"fsck.fat", "-n", image_}, &out);
        return WithoutFirstLine(out);
    }
    int Mtool(const std::vector<std::string>& argv) {
        std::string out;
        int rc = RunTool(argv, &out);
        if (rc != 0) ADD_FAILURE() << argv[0] << ": " << out;
        return rc;
    }
    // Copies `data` onto the volume as `path` (its folders made already).
    void Put(const std::string& path, const std::string& data) {
        const std::string local = Local("put.tmp");
        ASSERT_TRUE(test::WriteFileBytes(local, data));
        Mtool({"mcopy", "-i", image_, local, "::" + path});
    }
    // What the volume holds as `path`.
    std::string Mtype(const std::string& path) {
        std::string out;
        EXPECT_EQ(RunTool({"mtype", "-i", image_, "::" + path}, &out), 0) << out;
        return out;
    }

    test::TempDir dir_{"traces-fat"};
    std::string image_ = dir_.Path() + "/fat32.img";
    std::string config_ = dir_.Path() + "/config";
};

class FatTracesIntegration : public FatImageTest {
  protected:
    void SetUp() override {
        RequireTools({"mkfs.fat", "mcopy", "mdel", "mmd", "mtype", "fsck.fat"});
        if (IsSkipped()) return;
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
        ASSERT_EQ(Mtool({"mmd", "-i", image_, "::/SUB"}), 0);
        Put("/SUB/secret_letter.txt", secret_);
        Put("/SUB/KEEP.TXT", keep_);
        Put("/SUB/OTHER.TXT", Repeat(kOtherBody, 2000));
        Put("/ROOTLIVE.BIN", rootLive_);
        ASSERT_EQ(Mtool({"mdel", "-i", image_, "::/SUB/secret_letter.txt", "::/SUB/OTHER.TXT"}), 0);

        found_ = SearchImage(image_);
        const RecoverableFile* s = FindByName(found_, "?ECRET~1.TXT");
        ASSERT_NE(s, nullptr) << "the search does not list the deleted letter";
        location_ = s->location;
        // A live file takes one of the letter's clusters: mtools allocates after the
        // FSInfo hint of the last cluster allocated, which is pointed at the letter.
        SetNextFreeHint(static_cast<uint32_t>(location_));
        reuse_ = Repeat("TW-REUSED-BY-A-LIVE-FILE", 512);
        Put("/REUSE.BIN", reuse_);
        bool reused = false;
        for (uint32_t c = 1; c < 10; ++c)
            reused = reused || FatEntryOf(static_cast<uint32_t>(location_ + c)) != 0;
        ASSERT_TRUE(reused) << "mtools did not reuse a cluster of the letter";
        ASSERT_GT(CountOccurrences(ReadBytes(image_), kSecretBody), 0u);
        fsckBefore_ = Fsck(&fsckBeforeRc_);
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
        EXPECT_EQ(Mtype("/SUB/KEEP.TXT"), keep_);
        EXPECT_EQ(Mtype("/ROOTLIVE.BIN"), rootLive_);
        EXPECT_EQ(Mtype("/REUSE.BIN"), reuse_);
    }

    std::string secret_, keep_, rootLive_, reuse_, fsckBefore_;
    int fsckBeforeRc_ = 0;
    std::vector<RecoverableFile> found_;
    uint64_t location_ = 0;
};

TEST_F(FatTracesIntegration, WipedFileLeavesNoContentNameOrEntryAndTheVolumeStaysSound) {
    // A dry run prints the plan and changes nothing.
    const std::vector<uint8_t> before = ReadBytes(image_);
    std::string out;
    ASSERT_EQ(Cli({"wipe-traces", image_, "--location", std::to_string(location_), "--passes", "2",
                   "--dry-run"},
                  &out),
              0)
        << out;
    EXPECT_NE(out.find("?ECRET~1.TXT: 10 clusters x 2 passes"), std::string::npos) << out;
    EXPECT_EQ(ReadBytes(image_), before);
    // Without a terminal and without --yes nothing is confirmed: refused, unchanged.
    EXPECT_EQ(Cli({"wipe-traces", image_, "--location", std::to_string(location_)}, &out), 3)
        << out;
    EXPECT_EQ(ReadBytes(image_), before);

    const std::string receipt = dir_.Path() + "/receipt.json";
    ASSERT_EQ(Cli({"wipe-traces", image_, "--location", std::to_string(location_), "--passes", "2",
                   "--yes", "--verify", "--report", receipt},
                  &out),
              0)
        << out;
    // The receipt: the image, the one file by its name as found, its ten clusters twice
    // and the directory cluster its entries were cleared in; read back, and not found by
    // the search that followed.
    const auto r = nlohmann::json::parse(test::ReadFileBytes(receipt), nullptr, false);
    EXPECT_EQ(r["command"], "wipe-traces");
    EXPECT_EQ(r["target"]["path"], image_);
    ASSERT_EQ(r["items"].size(), 1u);
    EXPECT_EQ(r["items"][0]["path"], "/SUB/?ECRET~1.TXT");
    EXPECT_EQ(r["bytesOverwritten"], (10 * 2 + 1) * 512);  // clusters of 512 bytes
    EXPECT_EQ(r["verification"]["result"], "passed");
    EXPECT_NE(out.find("Wiped traces of file /SUB/?ECRET~1.TXT"), std::string::npos) << out;
    // The guessed sequence passes over the reused cluster: ten others are written.
    EXPECT_NE(out.find("(10 clusters overwritten, 3 directory entries cleared)"), std::string::npos)
        << out;

    ExpectSoundWithLiveFilesIntact();
    const std::vector<uint8_t> after = ReadBytes(image_);
    EXPECT_EQ(CountOccurrences(after, kSecretBody), 0u);
    // The long name is gone from the directory too, the 8.3 name as well.
    for (const std::string& piece : LongNamePieces("secret_letter.txt"))
        EXPECT_EQ(CountOccurrences(after, piece), 0u);
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

// Search, recovery and trace wiping log under their own category of the activity log:
// only when logging is on and so is logRecoverableDataOperations. --all then wipes every
// file found, and a second run has nothing left.
TEST_F(FatTracesIntegration, LinesAreLoggedOnlyWhenTheirCategoryIsOnAndAllLeavesNothing) {
    const std::string logs = dir_.Path() + "/logs";
    ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
    std::string out;
    ASSERT_EQ(Cli({"settings", "set", "LogLocation", logs}, &out), 0) << out;
    auto logText = [&] {
        std::string text;
        Cli({"log", "show"}, &text);
        return text;
    };
    auto run = [&](const std::string& save, const std::string& category) {
        std::string o;
        Cli({"settings", "set", "SaveToLogfile", save}, &o);
        Cli({"settings", "set", "logRecoverableDataOperations", category}, &o);
        EXPECT_EQ(Cli({"search", image_}, &o), 0) << o;
        EXPECT_EQ(Cli({"recover", image_, "--all", "--keep-entries", "--to",
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
    ASSERT_EQ(Cli({"wipe-traces", image_, "--all", "--passes", "1", "--yes"}, &out), 0) << out;
    EXPECT_NE(logText().find("Wiped traces of file"), std::string::npos) << logText();
    ExpectSoundWithLiveFilesIntact();
    const std::vector<uint8_t> after = ReadBytes(image_);
    EXPECT_EQ(CountOccurrences(after, kSecretBody), 0u);
    EXPECT_EQ(CountOccurrences(after, kOtherBody), 0u);
    EXPECT_TRUE(SearchImage(image_).empty());
    EXPECT_EQ(Cli({"wipe-traces", image_, "--all", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find("Nothing to wipe"), std::string::npos) << out;
    // No selection: a usage error, not a silent success.
    EXPECT_EQ(Cli({"wipe-traces", image_, "--yes"}, &out), 2) << out;
    EXPECT_NE(out.find("Please select recoverable files to wipe"), std::string::npos) << out;
}

// What trace wiping leaves of deleted files, folders and names on a FAT32 volume made and
// emptied by mtools: nothing a byte search, sleuthkit or fsck.fat can find, while every
// live file stays as it was.
class FatTraceResidueIntegration : public FatImageTest {
  protected:
    void SetUp() override {
        RequireTools({"mkfs.fat", "mcopy", "mdel", "mmd", "mrd", "mdeltree", "mtype", "fsck.fat",
                      "fls", "icat"});
    }
};

// A needle as a failure message shows it: UTF-16's zero bytes as dots.
std::string Shown(std::string n) {
    std::replace(n.begin(), n.end(), '\0', '.');
    return n;
}

TEST_F(FatTraceResidueIntegration, NoNameOrContentOfDeletedFilesAndFoldersIsLeft) {
    std::string out;
    ASSERT_EQ(
        RunTool({"mkfs.fat", "-F", "32", "-C", "-S", "512", "-s", "1", image_, "65536"}, &out), 0)
        << out;
    // Deleted: a tree removed with mdeltree (a folder inside it), a folder whose files
    // were deleted before it, a long-named and an 8.3-named file at the top, and a
    // file at the end of a live folder whose first slot a driver turned into the end
    // marker (the rest of its name lingers past the end of the listing).
    struct Gone {
        std::string path, name, shortStem, marker;
    };
    const std::vector<Gone> gone = {
        {"/TwTreeGoneA/", "TwAlphaSecretReport1.txt", "WALPH~", "TW-ALPHA-CONTENT-1"},
        {"/TwTreeGoneA/", "TwAlphaSecretReport2.txt", "WALPH~", "TW-ALPHA-CONTENT-2"},
        {"/TwTreeGoneA/TwAlphaInnerFolder/", "TwAlphaNestedSecret.txt", "WALPH~",
         "TW-ALPHA-NESTED-CONTENT"},
        {"/TwTreeGoneB/", "TwBetaSecretReport1.txt", "WBETA~", "TW-BETA-CONTENT-1"},
        {"/TwTreeGoneB/", "TwBetaSecretReport2.txt", "WBETA~", "TW-BETA-CONTENT-2"},
        {"/", "TwTopSecretLetter.txt", "WTOPS~", "TW-TOP-LONG-CONTENT"},
        {"/", "TWTOPMK.BIN", "WTOPMK BIN", "TW-TOP-SHORT-CONTENT"},
        {"/LiveDir/", "TwTailGone.txt", "WTAIL~", "TW-TAIL-CONTENT"},
    };
    const std::vector<std::string> goneFolders = {"TwTreeGoneA", "TwAlphaInnerFolder",
                                                  "TwTreeGoneB"};
    Mtool({"mmd", "-i", image_, "::/TwTreeGoneA", "::/TwTreeGoneA/TwAlphaInnerFolder",
           "::/TwTreeGoneB", "::/LiveDir"});
    const std::string liveBody = Repeat("TW-LIVE-FILE-BODY", 7000);
    const std::string liveTop = Repeat("TW-LIVE-TOP-BODY", 3000);
    Put("/LiveDir/TwLiveKeptReport.txt", liveBody);
    for (const Gone& g : gone) Put(g.path + g.name, Repeat(g.marker, 2500));
    Put("/TwLiveTopKeeper.txt", liveTop);
    Mtool({"mdeltree", "-i", image_, "::/TwTreeGoneA"});
    Mtool({"mdel", "-i", image_, "::/TwTreeGoneB/TwBetaSecretReport1.txt",
           "::/TwTreeGoneB/TwBetaSecretReport2.txt", "::/TwTopSecretLetter.txt", "::/TWTOPMK.BIN",
           "::/LiveDir/TwTailGone.txt"});
    Mtool({"mrd", "-i", image_, "::/TwTreeGoneB"});
    {
        // The deleted tail file's long-name slot becomes the end marker.
        std::vector<uint8_t> img = ReadBytes(image_);
        const std::string piece = Utf16("TwTai");
        auto at = std::search(img.begin(), img.end(), piece.begin(), piece.end());
        ASSERT_NE(at, img.end());
        const auto slot = static_cast<size_t>(at - img.begin()) - 1;
        ASSERT_EQ(img[slot], 0xE5);
        ASSERT_EQ(img[slot + 11], 0x0F);
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(slot));
        f.put('\0');
    }

    // Every needle of a deleted file or folder: content, 8.3 name, long-name pieces.
    std::vector<std::string> needles;
    for (const Gone& g : gone) {
        needles.push_back(g.marker);
        needles.push_back(g.shortStem);
        // A name that fits 8.3 in capitals has no long name.
        if (std::any_of(g.name.begin(), g.name.end(), ::islower))
            for (const std::string& p : LongNamePieces(g.name)) needles.push_back(p);
    }
    needles.push_back("WTREE~");
    for (const std::string& f : goneFolders)
        for (const std::string& p : LongNamePieces(f)) needles.push_back(p);
    const auto hits = [&] {
        const std::vector<uint8_t> img = ReadBytes(image_);
        std::string found;
        for (const std::string& n : needles)
            if (size_t k = CountOccurrences(img, n); k > 0)
                found += "[" + Shown(n) + "] x" + std::to_string(k) + " ";
        return found;
    };
    // Each needle is on the volume before the wipe; so are the live names after it.
    {
        const std::vector<uint8_t> img = ReadBytes(image_);
        for (const std::string& n : needles) EXPECT_GT(CountOccurrences(img, n), 0u) << Shown(n);
    }
    int fsckRc = 0;
    const std::string fsckBefore = Fsck(&fsckRc);

    // Without the walk a deleted folder that still lists files is left for it: its
    // cluster is not written over as a file's data, and the switch is named.
    const std::string cfg = "--config-home '" + config_ + "' ";
    test::CliResult r = test::RunCli(cfg + "search '" + image_ + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    auto list = nlohmann::json::parse(r.out);
    size_t offered = 0;
    for (const auto& item : list)
        if (item.value("walk_switch", "") == "--deleted-folders" &&
            item.value("deleted_entries_inside", 0) > 0)
            ++offered;
    EXPECT_EQ(offered, 2u) << r.out;
    r = test::RunCli(cfg + "wipe-traces '" + image_ + "' --all --passes 1 --yes");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("(--deleted-folders)"), std::string::npos) << r.out;
    // The tail past the live folder's end marker goes with the first --all run.
    EXPECT_NE(r.out.find("Cleared the unused tails of 1 of the"), std::string::npos) << r.out;
    for (const char* marker : {"TW-ALPHA-NESTED-CONTENT", "TW-BETA-CONTENT-2"})
        EXPECT_GT(CountOccurrences(ReadBytes(image_), marker), 0u) << marker;

    // With the walk: the files inside the folders first, then the folders, then the
    // tails of the live folders.
    r = test::RunCli(cfg + "wipe-traces '" + image_ +
                     "' --all --deleted-folders --passes 1 --yes --json");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto done = nlohmann::json::parse(r.out);
    EXPECT_EQ(done["covered"]["deleted_folders"], 3) << r.out;
    EXPECT_EQ(done["covered"]["deleted_folder_files"], 5) << r.out;
    EXPECT_EQ(done["not_covered"]["deleted_folders_not_walked"], 0) << r.out;
    EXPECT_GE(done["covered"]["directory_clusters"], 2) << r.out;

    EXPECT_EQ(hits(), "");
    // The live files and their names are untouched, and the volume is as sound as it was.
    EXPECT_EQ(Mtype("/LiveDir/TwLiveKeptReport.txt"), liveBody);
    EXPECT_EQ(Mtype("/TwLiveTopKeeper.txt"), liveTop);
    for (const std::string& p : LongNamePieces("TwLiveKeptReport.txt"))
        EXPECT_GT(CountOccurrences(ReadBytes(image_), p), 0u);
    int rc = 0;
    EXPECT_EQ(Fsck(&rc), fsckBefore);
    EXPECT_EQ(rc, fsckRc);
    // sleuthkit lists no deleted name of ours, and no deleted entry it lists holds data
    // of ours.
    std::string fls;
    ASSERT_EQ(RunTool({"fls", "-r", "-d", "-p", image_}, &fls), 0) << fls;
    for (const char* part : {"Tw", "TW", "WALPH", "WBETA", "WTOPS", "WTOPMK", "WTREE", "WTAIL"})
        EXPECT_EQ(fls.find(part), std::string::npos) << part << "\n" << fls;
    std::istringstream lines(fls);
    for (std::string line; std::getline(lines, line);) {
        const size_t star = line.find("* ");
        if (star == std::string::npos) continue;
        const std::string inode = line.substr(star + 2, line.find_first_of(":(", star) - star - 2);
        std::string data;
        RunTool({"icat", image_, inode}, &data);
        EXPECT_EQ(data.find("TW-"), std::string::npos) << line;
    }
    // Nothing is left for a search to find either.
    r = test::RunCli(cfg + "search '" + image_ + "' --json --deleted-folders");
    EXPECT_EQ(nlohmann::json::parse(r.out).size(), 0u) << r.out;
}

}  // namespace
}  // namespace tw::volume
