// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the last pass back on a real volume: a fill write of the last pass that is
// reported done but never reaches the disk fails a free-space clean with its offset
// when the read-back is asked for, and goes unseen without it. The lost write is made
// here: this program's pwritev drops it (queued writes are turned off so that every
// fill write passes through pwritev; the reads are queued or not).
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

#include "tests/common/scratch_volume.h"
#include "wipe/free_space.h"

namespace {

// Armed: the first write at a nonzero offset whose first byte is g_dropByte is reported
// done and not made; its offset is kept in g_droppedAt.
std::atomic<int> g_dropByte{-1};
std::atomic<int64_t> g_droppedAt{-1};

}  // namespace

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

TEST(VerifyFreeSpace, ALostWriteOfTheLastPassFailsTheCleanAtItsOffset) {
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
}
