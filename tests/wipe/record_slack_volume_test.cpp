// SPDX-License-Identifier: GPL-3.0-or-later
// A small file under ntfs-3g keeps its data inside its MFT record. Growing it to whole
// clusters for the overwrite makes ntfs-3g move the data out to a cluster and leaves the
// old bytes in the record's unused space (the record's slack), where no pass reaches
// them. Every wiper must leave nothing of such a file on the raw image: the plain wipe
// (`tidewipe-cli wipe`) and the deep clean's wiper. ext4 with inline_data keeps small
// files in the inode the same way (and takes O_DIRECT opens of them): there without a
// journal, which would keep its own copies of the inode block out of any file
// operation's reach. Needs root (and /dev/fuse for NTFS).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "wipe/file_wiper.h"

namespace tw::wipe {
namespace {

using test::FsKind;

class RecordSlack : public ::testing::TestWithParam<FsKind> {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(GetParam());
        ASSERT_TRUE(work.Ok());
        config = work.Path() + "/config";
        tw::test::PrivateLogFolder(config);
        if (GetParam() == FsKind::Ntfs) {
            vol = std::make_unique<test::ScratchVolume>(FsKind::Ntfs, 16);
        } else {
            vol = std::make_unique<test::ScratchVolume>(
                FsKind::Ext4, 16, "twinline",
                std::vector<std::string>{"-I", "1024", "-O", "inline_data,^has_journal"});
            if (!vol->Ok() && vol->Error().rfind("mount", 0) == 0)
                GTEST_SKIP() << "this kernel does not mount ext4 with inline_data: "
                             << vol->Error();
        }
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }

    // Writes a file of 300 bytes made of `marker`, and checks that its data sits in its
    // record or inode (less than one cluster allocated) and is on the image.
    void Plant(const std::string& path, const std::string& marker) {
        std::string s;
        while (s.size() < 300) s += marker;
        s.resize(300);
        ASSERT_TRUE(test::WriteFileBytes(path, s));
        sync();
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        ASSERT_LT(st.st_blocks * 512, 4096) << "the file system should keep the file inline";
        ASSERT_GT(test::CountOccurrences(vol->ReadImage(), marker), 0u);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
    }

    test::TempDir work{"record-slack"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::string config;
};

TEST_P(RecordSlack, WipersLeaveNothingOfAFileKeptInItsRecord) {
    const std::string path = vol->MountPoint() + "/note.txt";
    const std::string marker = "TW-RESIDENT-WIPE-4d2e";
    Plant(path, marker);
    std::string out;
    ASSERT_EQ(test::RunCliIn(config, {"wipe", "--yes", "--passes", "1", path}, &out), 0) << out;
    struct stat st {};
    EXPECT_NE(lstat(path.c_str(), &st), 0) << "the file should be gone";
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), marker), 0u)
        << "the file's bytes survive in its record";
    if (GetParam() != FsKind::Ntfs) return;

    // The deep clean's wiper, on the same volume.
    const std::string tiny = vol->MountPoint() + "/tiny.cfg";
    const std::string deepMarker = "TW-RESIDENT-DEEP-8b71";
    Plant(tiny, deepMarker);
    CProgressFileWiper wiper;
    wiper.SetPassCount(1);
    ASSERT_TRUE(wiper.WipeFile(tw::IdleOperation(), tiny, false, 0));
    EXPECT_EQ(test::CountOccurrences(vol->ReadImage(), deepMarker), 0u)
        << "the file's bytes survive in its MFT record";
}

INSTANTIATE_TEST_SUITE_P(FileSystems, RecordSlack, ::testing::Values(FsKind::Ntfs, FsKind::Ext4),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

}  // namespace
}  // namespace tw::wipe
