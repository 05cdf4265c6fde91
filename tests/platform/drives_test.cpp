// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/drives.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(MountInfo, ParsesEscapesTypesAndDropsPseudoFileSystems) {
    const std::string text =
        "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
        "23 22 0:21 / /proc rw,nosuid - proc proc rw\n"
        "24 22 0:5 / /dev rw - devtmpfs udev rw\n"
        "25 22 0:30 / /run/user/0 rw - tmpfs tmpfs rw\n"
        "26 22 7:0 / /mnt/my\\040disk ro,relatime - fuseblk /dev/loop0 ro\n"
        "27 22 0:40 / /srv/share rw - nfs4 host:/export rw\n"
        "28 22 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n"
        "garbage line\n";
    auto drives = ParseMountInfo(text);
    ASSERT_EQ(drives.size(), 5u);
    EXPECT_EQ(drives[0].mountPoint, "/");
    EXPECT_EQ(drives[0].Root(), "/");
    EXPECT_EQ(drives[0].fsType, "ext4");
    EXPECT_FALSE(drives[0].readOnly);
    EXPECT_EQ(drives[1].type, DriveType::RamDisk);
    EXPECT_EQ(drives[2].mountPoint, "/mnt/my disk");
    EXPECT_EQ(drives[2].Root(), "/mnt/my disk/");
    EXPECT_TRUE(drives[2].readOnly);
    EXPECT_EQ(drives[2].device, "/dev/loop0");
    EXPECT_EQ(drives[3].type, DriveType::Remote);
    EXPECT_EQ(drives[4].type, DriveType::CdRom);
}

TEST(Drives, MountOfAFolderIsTheMountHoldingIt) {
    auto root = MountOf("/");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->mountPoint, "/");
    auto tmp = MountOf("/tmp");
    ASSERT_TRUE(tmp.has_value());
    EXPECT_TRUE(tmp->mountPoint == "/" || std::string("/tmp").rfind(tmp->mountPoint, 0) == 0);
    EXPECT_FALSE(MountOf("/no/such/path/at/all").has_value());
    auto fs = GetFreeSpace("/tmp");
    ASSERT_TRUE(fs.has_value());
    EXPECT_GT(fs->blockSize, 0u);
    EXPECT_LE(fs->availableBytes, fs->freeBytes);
}

}  // namespace
}  // namespace tw
