// SPDX-License-Identifier: GPL-3.0-or-later
// Slack wiping end to end on real file systems (an ext4 image on a loop mount, an NTFS
// image mounted by ntfs-3g): a marker planted in the slack of a file's last cluster on
// the raw image is gone after the wipe, while the file's content, length, place and
// modification time are unchanged. Needs root (and /dev/fuse for NTFS); skips otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/slack.h"

namespace tw::wipe {
namespace {

using test::FsKind;

std::string Content(const std::string& tag, size_t n) {
    std::string s = "TWSLACKCONTENT-" + tag + "-";
    uint32_t x = 12345;
    while (s.size() < n) {
        x = x * 1103515245u + 12345u;
        s.push_back(static_cast<char>('a' + (x >> 16) % 26));
    }
    return s;
}

// Offset of the only occurrence of `needle` in `hay`, or -1 (none or several).
int64_t FindOnly(const std::vector<uint8_t>& hay, const std::string& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end());
    if (it == hay.end()) return -1;
    auto next = std::search(it + 1, hay.end(), needle.begin(), needle.end());
    return next == hay.end() ? it - hay.begin() : -1;
}

class SlackVolume : public ::testing::TestWithParam<FsKind> {};

TEST_P(SlackVolume, MarkerPlantedInTheSlackIsGoneAndTheFileIsUnchanged) {
    TW_REQUIRE_SCRATCH(GetParam());
    test::TempDir work("slack-vol");
    ASSERT_TRUE(work.Ok());
    test::ScratchVolume vol(GetParam(), 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string folder = vol.MountPoint() + "/docs";
    const std::string path = folder + "/letter.txt";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);

    // 3000 bytes: one cluster of 4096, not resident in an NTFS file record.
    const std::string content = Content(test::FsName(GetParam()), 3000);
    ASSERT_TRUE(test::WriteFileBytes(path, content));
    const timespec mtime{1500000000, 123456700};  // a whole number of 100 ns for NTFS
    const timespec t[2] = {{0, UTIME_OMIT}, mtime};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), t, 0), 0);

    // Find the file's cluster on the image and plant the marker in its slack.
    std::vector<uint8_t> image = vol.ReadImage();
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const int64_t at = FindOnly(image, content.substr(0, 64));
    ASSERT_GE(at, 0) << "the file's data should be on the image exactly once";
    ASSERT_EQ(at % 4096, 0) << "a non-resident file starts at a cluster";
    const std::string marker = "TW-SLACK-MARKER-7f3a91";
    std::string slackFill;
    while (slackFill.size() < 4096 - 3000) slackFill += marker;
    slackFill.resize(4096 - 3000);
    ASSERT_TRUE(vol.Unmount()) << vol.Error();
    {
        int fd = open(vol.ImagePath().c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, slackFill.data(), slackFill.size(), at + 3000),
                  static_cast<ssize_t>(slackFill.size()));
        fsync(fd);
        close(fd);
    }
    ASSERT_TRUE(vol.Mount()) << vol.Error();
    ASSERT_EQ(test::ReadFileBytes(path), content) << "the slack is not part of the file";
    ASSERT_GT(test::CountOccurrences(vol.ReadImage(), marker), 0u);

    RegistryStore store(work.Path() + "/registry.db");
    CSlackWiper w(&store);
    w.passCount = 3;
    // Each pass must reach the disk before the next: right after a pass the image
    // itself (not just a cache of the mounted file system) holds its bytes.
    std::vector<std::string> onImage;
    w.passObserver = [&](int, const uint8_t*, size_t n) {
        std::string bytes(n, '\0');
        int fd = open(vol.ImagePath().c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, bytes.data(), n, at + 3000), static_cast<ssize_t>(n));
        close(fd);
        onImage.push_back(bytes);
    };
    tw::test::TestOperation op;
    ASSERT_EQ(w.WipeSlacks(op, vol.MountPoint(), vol.MountPoint()), Outcome::Ok);
    EXPECT_EQ(w.filesWiped, 1u);
    EXPECT_EQ(w.filesFailed, 0u);
    EXPECT_EQ(w.slackBytesWiped, 1096u);
    ASSERT_EQ(onImage.size(), 4u);
    EXPECT_EQ(onImage[0], std::string(1096, '\x00'));
    EXPECT_EQ(onImage[1], std::string(1096, '\xFF'));
    EXPECT_EQ(onImage[2], std::string(1096, '\x00'));
    EXPECT_EQ(onImage[3], std::string(1096, '\x00'));

    image = vol.ReadImage();
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    EXPECT_EQ(test::CountOccurrences(image, marker), 0u) << "the marker survived in the slack";
    // The file has not moved, and its slack now reads as zeros.
    ASSERT_LE(static_cast<size_t>(at + 4096), image.size());
    EXPECT_EQ(std::memcmp(image.data() + at, content.data(), content.size()), 0);
    EXPECT_TRUE(std::all_of(image.begin() + at + 3000, image.begin() + at + 4096,
                            [](uint8_t b) { return b == 0; }));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3000);
    EXPECT_EQ(st.st_mtim.tv_sec, mtime.tv_sec);
    EXPECT_EQ(st.st_mtim.tv_nsec, mtime.tv_nsec);
    EXPECT_EQ(test::ReadFileBytes(path), content);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, SlackVolume, ::testing::Values(FsKind::Ext4, FsKind::Ntfs),
                         [](const auto& info) { return std::string(test::FsName(info.param)); });

}  // namespace
}  // namespace tw::wipe
