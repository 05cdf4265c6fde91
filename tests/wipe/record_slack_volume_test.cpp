// SPDX-License-Identifier: GPL-3.0-or-later
// A small file under ntfs-3g keeps its data inside its MFT record. Growing it to whole
// clusters for the overwrite makes ntfs-3g move the data out to a cluster and leaves the
// old bytes in the record's unused space (the record's slack), where no pass reaches
// them. Every wiper must leave nothing of such a file on the raw image: the plain wipe
// (`tidewipe-cli wipe`) and the deep clean's wiper. ext4 with inline_data keeps small
// files in the inode the same way (and takes O_DIRECT opens of them). Needs root (and
// /dev/fuse for NTFS).
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "wipe/file_wiper.h"

namespace tw::wipe {
namespace {

using test::FsKind;

using tw::test::CliPath;

std::string Marked(const std::string& marker, size_t n) {
    std::string s;
    while (s.size() < n) s += marker;
    s.resize(n);
    return s;
}

struct RecordSlack : ::testing::Test {
    test::TempDir work{"record-slack"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::string config;

    void SetUp() override {
        TW_REQUIRE_SCRATCH(FsKind::Ntfs);
        ASSERT_TRUE(work.Ok());
        config = work.Path() + "/config";
        tw::test::PrivateLogFolder(config);
        vol = std::make_unique<test::ScratchVolume>(FsKind::Ntfs, 16);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }

    // Writes a file of `size` bytes made of `marker`, and checks that its data sits in
    // its record (less than one cluster allocated) and is on the image.
    void Plant(const std::string& path, const std::string& marker, size_t size) {
        ASSERT_TRUE(test::WriteFileBytes(path, Marked(marker, size)));
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        ASSERT_LT(st.st_blocks * 512, 4096)
            << "ntfs-3g should keep a " << size << "-byte file in its record";
        ASSERT_GT(test::CountOccurrences(vol->ReadImage(), marker), 0u);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }
};

TEST_F(RecordSlack, PlainAndDeepCleanWipersLeaveNothingOfARecordResidentFile) {
    const std::string path = vol->MountPoint() + "/note.txt";
    const std::string marker = "TW-RESIDENT-WIPE-4d2e";
    Plant(path, marker, 300);
    std::string out;
    const std::string cmd = "TIDEWIPE_CONFIG_HOME='" + config + "' '" + CliPath() +
                            "' wipe --yes --passes 1 '" + path + "' </dev/null 2>&1";
    ASSERT_EQ(test::RunTool({"sh", "-c", cmd}, &out), 0) << out;
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the file should be gone";
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), marker), 0u)
        << "the file's bytes survive in its MFT record";

    // The deep clean's wiper, on the same volume.
    const std::string tiny = vol->MountPoint() + "/tiny.cfg";
    const std::string deepMarker = "TW-RESIDENT-DEEP-8b71";
    Plant(tiny, deepMarker, 300);
    CProgressFileWiper wiper;
    wiper.SetPassCount(1);
    ASSERT_TRUE(wiper.WipeFile(tw::IdleOperation(), tiny, false, 0));
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), deepMarker), 0u)
        << "the file's bytes survive in its MFT record";
}

// An ext4 image with inline_data and no journal (a journal would keep its own copies of
// the inode block, out of any file operation's reach), loop-mounted for one test.
struct InlineExt4 : ::testing::Test {
    test::TempDir work{"record-slack-ext4"};
    std::string image, mnt, config;
    bool mounted = false;

    void SetUp() override {
        TW_REQUIRE_SCRATCH(FsKind::Ext4);
        ASSERT_TRUE(work.Ok());
        image = work.Path() + "/inline.img";
        mnt = work.Path() + "/mnt";
        config = work.Path() + "/config";
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        tw::test::PrivateLogFolder(config);
        std::string out;
        ASSERT_EQ(test::RunTool({"truncate", "-s", "16M", image}, &out), 0) << out;
        ASSERT_EQ(test::RunTool({"mkfs.ext4", "-q", "-F", "-b", "4096", "-I", "1024", "-O",
                                 "inline_data,^has_journal", image},
                                &out),
                  0)
            << out;
        if (test::RunTool({"mount", "-o", "loop", image, mnt}, &out) != 0)
            GTEST_SKIP() << "this kernel does not mount ext4 with inline_data: " << out;
        mounted = true;
    }
    void TearDown() override { Unmount(); }
    void Unmount() {
        if (mounted && test::RunTool({"umount", mnt}) == 0) mounted = false;
    }
};

TEST_F(InlineExt4, PlainWipeLeavesNothingOfAnInodeInlineFile) {
    const std::string path = mnt + "/inline.txt";
    const std::string marker = "TW-INLINE-EXT4-3f9c";
    ASSERT_TRUE(test::WriteFileBytes(path, Marked(marker, 300)));
    sync();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_LT(st.st_blocks * 512, 4096) << "ext4 should keep a 300-byte file in its inode";
    std::string out;
    const std::string cmd = "TIDEWIPE_CONFIG_HOME='" + config + "' '" + CliPath() +
                            "' wipe --yes --passes 1 '" + path + "' </dev/null 2>&1";
    ASSERT_EQ(test::RunTool({"sh", "-c", cmd}, &out), 0) << out;
    Unmount();
    ASSERT_FALSE(mounted);
    EXPECT_EQ(test::CountOccurrences(
                  [&] {
                      const std::string bytes = test::ReadFileBytes(image);
                      return std::vector<uint8_t>(bytes.begin(), bytes.end());
                  }(),
                  marker),
              0u)
        << "the file's bytes survive in its inode";
}

}  // namespace
}  // namespace tw::wipe
