// SPDX-License-Identifier: GPL-3.0-or-later
// Writes that must finish and renames that must never replace: the faults here lose
// data silently, so each is provoked for real (signals, a file size limit, a taken name).
#include "platform/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/common/scratch_volume.h"

namespace {

using namespace tw::platform;
using tw::test::ReadFileBytes;
using tw::test::WriteFileBytes;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
}

void NoOp(int) {}

// A blocking write to a pipe that a signal interrupts returns what it moved so far, or
// fails with EINTR when it moved nothing (no SA_RESTART). Both must be carried on.
TEST(FileIo, WriteAllGoesOnAfterShortWritesAndEintr) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = NoOp;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::vector<uint8_t> data = Pattern(8u << 20);
    std::atomic<bool> finished{false};
    bool ok = false;
    size_t written = 0;
    std::thread writer([&] {
        ok = WriteAll(fds[1], data.data(), data.size(), &written);
        finished = true;
        close(fds[1]);  // the reader sees the end: a write that gave up cannot hang it
    });
    const pthread_t handle = writer.native_handle();
    std::vector<uint8_t> got;
    got.reserve(data.size());
    uint8_t buf[4096];
    for (;;) {
        if (!finished) pthread_kill(handle, SIGUSR1);
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
    }
    writer.join();
    close(fds[0]);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok);
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(got == data);
}

// A file size limit makes pwrite stop short at the limit: the loop must go on at the
// right offset (where the next write fails with EFBIG), count what reached the file and
// report the failure. A loop that did not move the offset on would write the rest over
// the start (under the limit) and call it done.
TEST(FileIo, PwriteAllMovesTheOffsetAndReportsAShortFinish) {
    tw::test::TempDir tmp("fileio");
    ASSERT_TRUE(tmp.Ok());
    const std::string dir = tmp.Path();
    const std::string path = dir + "/f";
    UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.ok());

    const std::vector<uint8_t> data = Pattern(100000);
    constexpr size_t kLimit = 70000;
    struct rlimit oldLimit {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &oldLimit), 0);
    struct rlimit limit = oldLimit;
    limit.rlim_cur = kLimit;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    size_t written = 0;
    const bool ok = PwriteAll(fd.get(), data.data(), data.size(), 0, &written);
    const int err = errno;
    setrlimit(RLIMIT_FSIZE, &oldLimit);
    signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(ok);
    EXPECT_EQ(err, EFBIG);
    EXPECT_EQ(written, kLimit);
    const std::string onDisk = ReadFileBytes(path);
    EXPECT_EQ(onDisk.size(), kLimit);
    EXPECT_EQ(onDisk, std::string(data.begin(), data.begin() + kLimit));

    // A positioned write in the middle leaves the file offset where it was.
    ASSERT_EQ(lseek(fd.get(), 5, SEEK_SET), 5);
    ASSERT_TRUE(PwriteAll(fd.get(), "xyz", 3, 1000));
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), 5);
    EXPECT_EQ(ReadFileBytes(path).substr(1000, 3), "xyz");
}

// A taken name is refused and both files keep their content: with the kernel's flag and
// with the fallback used where a file system lacks it (files, symbolic links, folders).
TEST(FileIo, RenameNoReplaceNeverReplaces) {
    tw::test::TempDir tmp("fileio");
    ASSERT_TRUE(tmp.Ok());
    const std::string dir = tmp.Path();
    using Fn = bool (*)(int, const std::string&, int, const std::string&);
    for (Fn rename : {static_cast<Fn>(RenameNoReplace), static_cast<Fn>(RenameNoReplaceFallback)}) {
        SCOPED_TRACE(rename == RenameNoReplaceFallback ? "fallback" : "flag");
        const std::string a = dir + "/a", b = dir + "/b", c = dir + "/c";
        ASSERT_TRUE(WriteFileBytes(a, "first"));
        ASSERT_TRUE(WriteFileBytes(b, "second"));
        errno = 0;
        EXPECT_FALSE(rename(AT_FDCWD, a, AT_FDCWD, b));
        EXPECT_EQ(errno, EEXIST);
        EXPECT_EQ(ReadFileBytes(a), "first");
        EXPECT_EQ(ReadFileBytes(b), "second");

        // A free name: the file moves, nothing stays behind under the old name.
        EXPECT_TRUE(rename(AT_FDCWD, a, AT_FDCWD, c));
        EXPECT_FALSE(std::filesystem::exists(a));
        EXPECT_EQ(ReadFileBytes(c), "first");

        // A symbolic link moves as the link, and a taken name refuses it too.
        ASSERT_EQ(symlink("c", a.c_str()), 0);
        EXPECT_FALSE(rename(AT_FDCWD, a, AT_FDCWD, b));
        const std::string l = dir + "/l";
        EXPECT_TRUE(rename(AT_FDCWD, a, AT_FDCWD, l));
        EXPECT_TRUE(std::filesystem::is_symlink(l));
        EXPECT_EQ(ReadFileBytes(c), "first");

        // Folders: refused onto an empty folder (which a plain rename would replace)
        // and onto a file; moved to a free name with their content.
        const std::string d = dir + "/d", e = dir + "/e", f = dir + "/f";
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0);
        ASSERT_TRUE(WriteFileBytes(d + "/inside", "kept"));
        ASSERT_EQ(mkdir(e.c_str(), 0755), 0);
        EXPECT_FALSE(rename(AT_FDCWD, d, AT_FDCWD, e));
        EXPECT_FALSE(rename(AT_FDCWD, d, AT_FDCWD, b));
        EXPECT_EQ(ReadFileBytes(b), "second");
        EXPECT_TRUE(std::filesystem::is_empty(e));
        EXPECT_TRUE(rename(AT_FDCWD, d, AT_FDCWD, f));
        EXPECT_EQ(ReadFileBytes(f + "/inside"), "kept");
        EXPECT_FALSE(std::filesystem::exists(d));
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            std::filesystem::remove_all(entry.path());
    }
}

}  // namespace
