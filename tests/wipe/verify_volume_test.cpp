// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the last pass back on a real volume: a write of the last pass that is
// reported done but never reaches the disk fails a free-space clean, or the slack wipe
// of a file, with its offset when the read-back is asked for, and goes unseen without
// it. The lost writes are made here: this program's pwritev and pwrite drop them
// (queued writes are turned off so that every fill write passes through pwritev; the
// reads are queued or not).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "tests/common/scratch_volume.h"
#include "wipe/free_space.h"
#include "wipe/slack.h"

namespace {

// Armed: the first write at a nonzero offset whose first byte is g_dropByte is reported
// done and not made; its offset is kept in g_droppedAt.
std::atomic<int> g_dropByte{-1};
std::atomic<int64_t> g_droppedAt{-1};

// Armed (>= 0): once a pwrite whose first byte is 0xFF has gone to an offset, every
// later write of zeros to that offset is reported done and not made, and the offset is
// kept in g_zerosLostAt. The slack's last passes are zeros over a 0xFF pass: losing only
// one of them would leave zeros there all the same.
std::atomic<int64_t> g_ffAt{-1};
std::atomic<int64_t> g_zerosLostAt{-1};
std::atomic<bool> g_loseZeros{false};

ssize_t MaybeLosePwrite(int fd, const void* buf, size_t n, off_t off) {
    const auto* p = static_cast<const uint8_t*>(buf);
    if (g_loseZeros.load() && n > 0) {
        if (p[0] == 0xFF) g_ffAt = off;
        if (p[0] == 0x00 && off == g_ffAt.load()) {
            g_zerosLostAt = off;
            return static_cast<ssize_t>(n);
        }
    }
    return syscall(SYS_pwrite64, fd, buf, n, off);
}

}  // namespace

extern "C" ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
    return MaybeLosePwrite(fd, buf, n, off);
}
extern "C" ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
    return MaybeLosePwrite(fd, buf, n, off);
}

extern "C" ssize_t pwritev(int fd, const struct iovec* iov, int n, off_t off) {
    if (g_dropByte.load() >= 0 && off > 0 && n > 0 && iov[0].iov_len > 0 &&
        static_cast<const uint8_t*>(iov[0].iov_base)[0] == g_dropByte.load()) {
        g_dropByte = -1;
        g_droppedAt = off;
        size_t total = 0;
        for (int i = 0; i < n; ++i) total += iov[i].iov_len;
        return static_cast<ssize_t>(total);
    }
    return syscall(SYS_pwritev, fd, iov, n, static_cast<long>(off), 0L);
}

TEST(VerifyLastPass, ALostWriteFailsTheFreeSpaceCleanAndTheSlackWipeAtItsOffset) {
    TW_REQUIRE_SCRATCH(tw::test::FsKind::Ext4);
    // The read-back one request at a time, and queued ahead of the compare.
    for (const char* oneAtATime : {"1", "writes"}) {
        setenv("TIDEWIPE_NO_IO_URING", oneAtATime, 1);
        for (bool verify : {true, false}) {
            SCOPED_TRACE(testing::Message()
                         << "verify " << verify << " no io_uring for " << oneAtATime);
            tw::test::ScratchVolume vol(tw::test::FsKind::Ext4, 24);
            ASSERT_TRUE(vol.Ok()) << vol.Error();
            tw::wipe::CFreeSpaceCleaner cleaner;
            cleaner.verifyLastPass = verify;
            g_droppedAt = -1;
            g_dropByte = 0xFF;  // two fixed passes: 0x00, then 0xFF
            const int done = cleaner.CleanFreeSpace(tw::IdleOperation(), {vol.MountPoint(), 2});
            g_dropByte = -1;
            ASSERT_GT(g_droppedAt.load(), 0) << "no write of the last pass was lost";
            if (verify) {
                EXPECT_EQ(done, -1);
                ASSERT_TRUE(cleaner.VerifyError());
                EXPECT_EQ(cleaner.VerifyError()->code, tw::ErrorCode::Mismatch);
                EXPECT_EQ(cleaner.VerifyError()->offset, g_droppedAt.load());
            } else {
                EXPECT_EQ(done, 2);
                EXPECT_FALSE(cleaner.VerifyError());
            }
        }
    }
    unsetenv("TIDEWIPE_NO_IO_URING");

    // The slack's last pass is read back before the file is cut to its own length: a
    // slack that kept the 0xFF of an earlier pass fails the file at the slack's first
    // byte, the file still gets its own length and content back.
    tw::test::ScratchVolume vol(tw::test::FsKind::Ext4, 16);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    for (bool verify : {true, false}) {
        SCOPED_TRACE(verify);
        ASSERT_TRUE(tw::test::WriteFileBytes(vol.MountPoint() + "/a.txt", "alpha"));
        tw::wipe::CSlackWiper wiper;
        wiper.passCount = 3;  // 0x00, 0xFF, then the two zero passes
        wiper.verifyLastPass = verify;
        wiper.journalFolder = vol.MountPoint() + "/journal";
        g_ffAt = g_zerosLostAt = -1;
        g_loseZeros = true;
        const bool ok =
            wiper.WipeFileSlack(vol.MountPoint(), "a.txt", 5, false, false, true, vol.MountPoint());
        g_loseZeros = false;
        ASSERT_EQ(g_zerosLostAt.load(), 5) << "the zero passes were not lost";
        EXPECT_EQ(tw::test::ReadFileBytes(vol.MountPoint() + "/a.txt"), "alpha");
        if (verify) {
            EXPECT_FALSE(ok);
            ASSERT_TRUE(wiper.lastRecord.readBack);
            EXPECT_EQ(wiper.lastRecord.readBack->code, tw::ErrorCode::Mismatch);
            EXPECT_EQ(wiper.lastRecord.readBack->offset, 5);
            EXPECT_EQ(wiper.filesReadBackFailed, 1u);
        } else {
            EXPECT_TRUE(ok);
            EXPECT_FALSE(wiper.lastRecord.readBack);
        }
    }
}
