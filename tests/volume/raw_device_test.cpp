// SPDX-License-Identifier: GPL-3.0-or-later
// Raw reads of a block device come from the disk, not from the device's page cache: a
// file system writes file data past that cache, so a cached sector can be stale.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/fileio.h"
#include "platform/rawio.h"
#include "tests/common/scratch_volume.h"
#include "volume/raw_drive.h"

namespace {

TEST(RawDeviceIntegration, ReadsSeeWhatReachedTheDiskPastTheDeviceCache) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
    tw::test::TempDir dir("rawdev");
    ASSERT_TRUE(dir.Ok());
    const std::string image = dir.Path() + "/disk.img";
    ASSERT_TRUE(tw::test::WriteFileBytes(image, std::string(1 << 20, 'A')));
    const tw::test::LoopDevice device(image);
    const std::string& loop = device.Path();
    if (loop.empty()) GTEST_SKIP() << "no loop device available";
    // A mounted file system keeps the device open; the device's cache lives as long as
    // somebody holds it (the last close drops it).
    const tw::platform::UniqueFd holder(::open(loop.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(holder.ok());

    std::vector<uint8_t> sector(512);
    {
        tw::volume::CRawDriveRef drive;
        ASSERT_TRUE(drive.Open(loop)) << tw::ErrorText(drive.LastError());
        ASSERT_TRUE(drive.Read(100, sector.data(), 512));
        EXPECT_EQ(sector[0], 'A');  // now in the device's page cache
    }
    // New bytes reach the disk without passing through the device's cache, as file data
    // written by a mounted file system does.
    {
        const tw::platform::UniqueFd fd(::open(image.c_str(), O_WRONLY | O_CLOEXEC));
        const std::vector<char> b(512, 'B');
        ASSERT_EQ(::pwrite(fd.get(), b.data(), b.size(), 100 * 512), 512);
        ASSERT_EQ(::fsync(fd.get()), 0);
    }
    tw::volume::CRawDriveRef drive;
    ASSERT_TRUE(drive.Open(loop)) << tw::ErrorText(drive.LastError());
    ASSERT_TRUE(drive.Read(100, sector.data(), 512));
    EXPECT_EQ(sector[0], 'B');
    EXPECT_EQ(sector[511], 'B');
}

// An image mounted through a loop device is as much in use as one mounted by a FUSE
// driver: raw writes to the image file would go under the mounted file system.
TEST(RawDeviceIntegration, AnImageMountedThroughALoopDeviceRefusesRawWrites) {
    TW_REQUIRE_SCRATCH(tw::test::FsKind::Ext4);
    tw::test::ScratchVolume vol(tw::test::FsKind::Ext4, 16, "rawgate", {{}, {}, true});
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    tw::Result<int> opened = tw::platform::OpenRawForWrite(vol.ImagePath());
    ASSERT_FALSE(opened.ok());
    const std::string refusal = tw::ErrorText(opened.error());
    EXPECT_NE(refusal.find(vol.MountPoint()), std::string::npos) << refusal;
    ASSERT_EQ(tw::test::RunTool({"mount", "-o", "remount,ro", vol.MountPoint()}), 0);
    opened = tw::platform::OpenRawForWrite(vol.ImagePath());
    EXPECT_TRUE(opened.ok()) << "mounted read-only: " << tw::ErrorText(opened.error());
    if (opened.ok()) ::close(opened.value());
    ASSERT_TRUE(vol.Unmount());
    opened = tw::platform::OpenRawForWrite(vol.ImagePath());
    EXPECT_TRUE(opened.ok()) << "attached but not mounted: " << tw::ErrorText(opened.error());
    if (opened.ok()) ::close(opened.value());
}

}  // namespace
