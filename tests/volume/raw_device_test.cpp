// SPDX-License-Identifier: GPL-3.0-or-later
// Raw reads of a block device come from the disk, not from the device's page cache: a
// file system writes file data past that cache, so a cached sector can be stale.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/rawio.h"
#include "tests/common/scratch_volume.h"
#include "volume/raw_drive.h"

namespace {

std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

TEST(RawDeviceIntegration, ReadsSeeWhatReachedTheDiskPastTheDeviceCache) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device";
    tw::test::TempDir dir("rawdev");
    ASSERT_TRUE(dir.Ok());
    const std::string image = dir.Path() + "/disk.img";
    {
        std::vector<char> a(1 << 20, 'A');
        int fd = ::open(image.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, a.data(), a.size()), static_cast<ssize_t>(a.size()));
        ::close(fd);
    }
    const std::string loop = Shell("losetup -f --show '" + image + "' 2>/dev/null");
    if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device available";
    struct Detach {
        std::string dev;
        ~Detach() { Shell("losetup -d " + dev); }
    } detach{loop};
    // A mounted file system keeps the device open; the device's cache lives as long as
    // somebody holds it (the last close drops it).
    const int holder = ::open(loop.c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    struct Close {
        int fd;
        ~Close() { ::close(fd); }
    } closeHolder{holder};

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
        int fd = ::open(image.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        std::vector<char> b(512, 'B');
        ASSERT_EQ(::pwrite(fd, b.data(), b.size(), 100 * 512), 512);
        ::fsync(fd);
        ::close(fd);
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
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach a loop device and mount";
    if (Shell("command -v mkfs.ext4").empty()) GTEST_SKIP() << "mkfs.ext4 is not installed";
    tw::test::TempDir dir("rawgate");
    ASSERT_TRUE(dir.Ok());
    const std::string image = dir.Path() + "/disk.img";
    const std::string mnt = dir.Path() + "/mnt";
    ASSERT_EQ(::mkdir(mnt.c_str(), 0700), 0);
    Shell("truncate -s 16M '" + image + "' && mkfs.ext4 -q -F '" + image + "' 2>&1");
    const std::string loop = Shell("losetup -f --show '" + image + "' 2>/dev/null");
    if (loop.rfind("/dev/loop", 0) != 0) GTEST_SKIP() << "no loop device available";
    struct Detach {
        std::string dev;
        ~Detach() { Shell("losetup -d " + dev); }
    } detach{loop};
    tw::Result<int> opened = tw::platform::OpenRawForWrite(image);
    ASSERT_TRUE(opened.ok()) << "attached but not mounted: " << tw::ErrorText(opened.error());
    ::close(opened.value());
    if (Shell("mount " + loop + " '" + mnt + "' 2>&1 && echo mounted").find("mounted") ==
        std::string::npos)
        GTEST_SKIP() << "cannot mount ext4 here";
    struct Unmount {
        std::string at;
        ~Unmount() { Shell("umount '" + at + "'"); }
    } unmount{mnt};
    opened = tw::platform::OpenRawForWrite(image);
    ASSERT_FALSE(opened.ok());
    const std::string refusal = tw::ErrorText(opened.error());
    EXPECT_NE(refusal.find(mnt), std::string::npos) << refusal;
    Shell("mount -o remount,ro '" + mnt + "'");
    opened = tw::platform::OpenRawForWrite(image);
    EXPECT_TRUE(opened.ok()) << "mounted read-only: " << tw::ErrorText(opened.error());
    if (opened.ok()) ::close(opened.value());
}

}  // namespace
