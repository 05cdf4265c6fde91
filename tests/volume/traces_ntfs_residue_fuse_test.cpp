// SPDX-License-Identifier: GPL-3.0-or-later
// After wipe-traces --all --journal on an NTFS image made by mkntfs and ntfs-3g, nothing
// of the deleted files is left anywhere in the image: no name (UTF-16), no content; the
// live files read back as written and the peers find nothing. The journal is reset only
// when it is clean.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/volume/recovery_fixture.h"
#include "volume/ntfs.h"

namespace tw::volume {
namespace {

using namespace testing;
using test::CountOccurrences;
using test::FsKind;
using test::RunTool;

// Every deleted name and content holds one of these; no live one does.
constexpr const char* kGone = "twgone";
constexpr const char* kGoneFolder = "TWGONE";
constexpr const char* kGoneBody = "TWGONEBODY";

// A restart page of the journal: clean (no client in use) or dirty (a client in use,
// no clean flag), protected by its update sequence.
std::vector<uint8_t> RestartPage(bool clean) {
    std::vector<uint8_t> p(4096, 0);
    std::memcpy(p.data(), "RSTR", 4);
    p[0x04] = 0x1E;  // update sequence array: offset, 9 entries
    p[0x06] = 9;
    p[0x11] = 0x10;  // system and log page size 4096
    p[0x15] = 0x10;
    p[0x18] = 0x30;  // restart area
    p[0x1A] = 1;
    p[0x1C] = 1;
    p[0x30 + 0x08] = 1;                 // one log client
    p[0x30 + 0x0A] = clean ? 0 : 0xFF;  // free list
    p[0x30 + 0x0B] = clean ? 0 : 0xFF;
    p[0x30 + 0x0C] = clean ? 0xFF : 0;  // in-use list
    p[0x30 + 0x0D] = clean ? 0xFF : 0;
    p[0x30 + 0x0E] = clean ? 2 : 0;  // clean flag
    p[0x1E] = 1;                     // update sequence number 1; the saved bytes stay 0
    for (size_t k = 1; k <= 8; ++k) p[k * 512 - 2] = 1;
    return p;
}

class NtfsResidueFuse : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(FsKind::Ntfs);
        const std::string missing = test::MissingTool({"ntfsfix", "ntfsundelete", "fls"});
        if (!missing.empty()) GTEST_SKIP() << "missing tool: " << missing;
        vol_ = std::make_unique<test::ScratchVolume>(FsKind::Ntfs, 48, "TWRESIDUE");
        ASSERT_TRUE(vol_->Ok()) << vol_->Error();
        image_ = vol_->ImagePath();
        config_ = vol_->MountPoint() + "-config";
    }
    void TearDown() override {
        if (!config_.empty()) RunTool({"rm", "-rf", config_});
    }
    // A file with its marker: small ones stay inside their record, every seventh
    // takes clusters.
    void Make(const std::string& rel, bool gone, int n) {
        const std::string body =
            Repeat(std::string(gone ? kGoneBody : "TWLIVEBODY") + "-" + rel + "-",
                   n % 7 == 0 ? 9000 : 300);
        ASSERT_TRUE(test::WriteFileBytes(vol_->Root() + rel, body)) << rel;
        if (!gone) live_[rel] = body;
    }
    void Remove(const std::string& rel) {
        ASSERT_EQ(std::remove((vol_->Root() + rel).c_str()), 0) << rel;
    }
    void Mkdir(const std::string& rel) { ASSERT_EQ(RunTool({"mkdir", vol_->Root() + rel}), 0); }
    // First sector of the journal's data.
    uint64_t JournalByte() {
        CRawDriveRef drive;
        EXPECT_TRUE(drive.Open(image_, false));
        NtfsVolume nv(drive);
        EXPECT_TRUE(nv.Load());
        std::vector<uint8_t> rec;
        EXPECT_TRUE(nv.ReadRecord(2, &rec));
        FileRecordRequest req;
        req.record = rec;
        req.includeInUse = true;
        req.wantFolder = false;
        nv.ParseFileRecord(req, 0, false, false, 0);
        EXPECT_EQ(req.fileName, "$LogFile");
        EXPECT_FALSE(req.runs.empty());
        return req.runs.empty() ? 0 : req.runs[0].lcn * nv.Boot().bytesPerCluster;
    }
    void WriteAt(uint64_t at, const std::vector<uint8_t>& bytes) {
        const int fd = ::open(image_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)),
                  static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    std::vector<uint8_t> ReadAt(uint64_t at, size_t n) {
        const std::vector<uint8_t> all = ReadBytes(image_);
        return {all.begin() + static_cast<ptrdiff_t>(at),
                all.begin() + static_cast<ptrdiff_t>(at + n)};
    }

    std::unique_ptr<test::ScratchVolume> vol_;
    std::string image_, config_;
    std::map<std::string, std::string> live_;
};

TEST_F(NtfsResidueFuse, NothingOfDeletedFilesIsLeftAndOnlyACleanJournalIsReset) {
    // A folder whose files are deleted first, in a mount of their own; then the folder.
    Mkdir("TWGONEFIRST");
    for (int i = 0; i < 40; ++i)
        Make("TWGONEFIRST/twgone-first-report-" + std::to_string(i), true, i);
    // A tree deleted at once.
    Mkdir("TWGONETREE");
    Mkdir("TWGONETREE/TWGONESUB");
    for (int i = 0; i < 30; ++i) {
        Make("TWGONETREE/twgone-tree-" + std::to_string(i), true, i);
        Make("TWGONETREE/TWGONESUB/twgone-sub-" + std::to_string(i), true, i);
    }
    // Live folders: index blocks left full, nearly empty, and fragmented (the folder
    // grows in rounds while other files take the clusters after its blocks: its index
    // allocation ends up in two runs).
    Mkdir("full");
    Mkdir("sparse");
    Mkdir("frag");
    for (int i = 0; i < 200; ++i)
        Make("full/" + std::string(i % 10 == 3 ? kGone : "twlive") + "-full-entry-name-" +
                 std::to_string(i),
             i % 10 == 3, i);
    for (int i = 0; i < 60; ++i)
        Make("sparse/" + std::string(i < 58 ? kGone : "twlive") + "-sparse-entry-name-" +
                 std::to_string(i),
             i < 58, i);
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 60; ++i) {
            const int n = round * 60 + i;
            Make("frag/" + std::string(n % 2 ? kGone : "twlive") + "-frag-entry-name-" +
                     std::to_string(n),
                 n % 2 != 0, n);
        }
        const std::string filler = "filler-" + std::to_string(round);
        live_[filler] = Repeat("TWLIVEFILLER", 65536);
        ASSERT_TRUE(test::WriteFileBytes(vol_->Root() + filler, live_[filler]));
    }
    Make("twgone-top.bin", true, 7);
    Make("keep.txt", false, 7);
    ASSERT_TRUE(vol_->Unmount());
    ASSERT_TRUE(vol_->Mount()) << vol_->Error();
    for (int i = 0; i < 40; ++i) Remove("TWGONEFIRST/twgone-first-report-" + std::to_string(i));
    ASSERT_TRUE(vol_->Unmount());
    ASSERT_TRUE(vol_->Mount()) << vol_->Error();
    ASSERT_EQ(RunTool({"rmdir", vol_->Root() + "TWGONEFIRST"}), 0);
    ASSERT_EQ(RunTool({"rm", "-rf", vol_->Root() + "TWGONETREE"}), 0);
    for (int i = 0; i < 200; ++i)
        if (i % 10 == 3) Remove("full/twgone-full-entry-name-" + std::to_string(i));
    for (int i = 0; i < 58; ++i) Remove("sparse/twgone-sparse-entry-name-" + std::to_string(i));
    for (int n = 1; n < 360; n += 2) Remove("frag/twgone-frag-entry-name-" + std::to_string(n));
    Remove("twgone-top.bin");
    ASSERT_TRUE(vol_->Unmount());

    const std::vector<uint8_t> before = ReadBytes(image_);
    ASSERT_GT(CountOccurrences(before, Utf16(kGone)), 0u);
    ASSERT_GT(CountOccurrences(before, Utf16(kGoneFolder)), 0u);
    std::string out;
    const std::string ntfsfixBefore = WithoutFirstLine(Tool({"ntfsfix", "-n", image_}));

    // A journal that would be replayed is left alone, and said so; the rest is done.
    const uint64_t journal = JournalByte();
    ASSERT_NE(journal, 0u);
    const std::vector<uint8_t> journalBefore = ReadAt(journal, 8192);
    std::vector<uint8_t> dirty = RestartPage(false);
    dirty.resize(8192);
    std::copy(dirty.begin(), dirty.begin() + 4096, dirty.begin() + 4096);
    WriteAt(journal, dirty);
    test::CliResult r = test::RunCli("--config-home '" + config_ + "' wipe-traces '" + image_ +
                                     "' --all --journal --yes --json");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(ReadAt(journal, 8192), dirty);
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out << r.err;
    EXPECT_EQ(j["failed"], 1) << r.out;  // the journal
    EXPECT_GE(j["covered"]["records"].get<int>(), 1) << r.out;
    EXPECT_GE(j["covered"]["folder_records"].get<int>(), 3) << r.out;
    EXPECT_GE(j["covered"]["index_clusters"].get<int>(), 1) << r.out;
    EXPECT_GE(j["covered"]["index_slack"].get<int>(), 3) << r.out;
    EXPECT_EQ(j["covered"]["journal"], false) << r.out;
    EXPECT_NE(j["not_covered"]["journal"].get<std::string>().find("not clean"), std::string::npos);
    EXPECT_EQ(j["not_covered"]["damaged"], 0) << r.out;

    // A clean journal with history in it is emptied.
    std::vector<uint8_t> clean = RestartPage(true);
    clean.resize(16384, 0);
    std::copy(clean.begin(), clean.begin() + 4096, clean.begin() + 4096);
    const std::string history = std::string(kGoneBody) + "-journal";
    std::copy(history.begin(), history.end(), clean.begin() + 12288);
    WriteAt(journal, clean);
    ASSERT_EQ(test::RunCliIn(config_, {"wipe-traces", image_, "--journal", "--yes"}, &out), 0)
        << out;
    EXPECT_NE(out.find("journal reset"), std::string::npos) << out;
    EXPECT_EQ(ReadAt(journal, 8192), journalBefore);  // as ntfs-3g left it: all 0xFF

    const std::vector<uint8_t> after = ReadBytes(image_);
    EXPECT_EQ(CountOccurrences(after, Utf16(kGone)), 0u);
    EXPECT_EQ(CountOccurrences(after, Utf16(kGoneFolder)), 0u);
    EXPECT_EQ(CountOccurrences(after, kGoneBody), 0u);
    EXPECT_EQ(WithoutFirstLine(Tool({"ntfsfix", "-n", image_})), ntfsfixBefore);
    const std::string undelete = Tool({"ntfsundelete", "-s", image_});
    const std::string fls = Tool({"fls", "-r", "-d", image_});
    EXPECT_EQ(undelete.find(kGone), std::string::npos) << undelete;
    EXPECT_EQ(fls.find(kGone), std::string::npos) << fls;
    EXPECT_EQ(fls.find(kGoneFolder), std::string::npos) << fls;
    // The cleared indexes take new entries (an emptied block is used again) and stay sound.
    ASSERT_TRUE(vol_->Mount()) << vol_->Error();
    for (const char* folder : {"full", "sparse", "frag"})
        for (int i = 0; i < 40; ++i)
            Make(std::string(folder) + "/twlive-new-" + std::to_string(i), false, i);
    ASSERT_TRUE(vol_->Unmount());
    EXPECT_EQ(WithoutFirstLine(Tool({"ntfsfix", "-n", image_})), ntfsfixBefore);
    ASSERT_TRUE(vol_->Mount()) << vol_->Error();
    for (const auto& [rel, body] : live_)
        EXPECT_EQ(test::ReadFileBytes(vol_->Root() + rel), body) << rel;
    ASSERT_TRUE(vol_->Unmount());
}

}  // namespace
}  // namespace tw::volume
