// SPDX-License-Identifier: GPL-3.0-or-later
// The file-tree helpers: moves and copies that never replace, what a failed copy leaves,
// and the scrub of data kept inside a file record.
#include "recyclebin/tree_ops.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

class TreeOpsTest : public test::TrashFixture {};

TEST_F(TreeOpsTest, CopyTreeKeepsLinksAsLinksAndNeverReplaces) {
    const std::string src = work + "/src";
    ASSERT_TRUE(MakeFolders(src + "/sub").ok());
    ASSERT_TRUE(WriteFileBytes(src + "/sub/f", "f"));
    ASSERT_EQ(symlink("/etc", (src + "/etc-link").c_str()), 0);
    ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0640), 0);
    chmod((src + "/sub").c_str(), 0500);

    ASSERT_TRUE(CopyTree(src, work + "/dst").ok());
    struct stat st {};
    ASSERT_EQ(lstat((work + "/dst/etc-link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));  // the link itself, not /etc
    ASSERT_EQ(lstat((work + "/dst/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(lstat((work + "/dst/sub").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0500u);
    EXPECT_EQ(ReadFileBytes(work + "/dst/sub/f"), "f");

    // An existing target is refused and left as it was.
    ASSERT_TRUE(WriteFileBytes(work + "/taken", "mine"));
    auto r = CopyTree(src, work + "/taken");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::Exists);
    EXPECT_EQ(ReadFileBytes(work + "/taken"), "mine");
    chmod((src + "/sub").c_str(), 0700);
    chmod((work + "/dst/sub").c_str(), 0700);
}

TEST_F(TreeOpsTest, AFailedCopyRemovesOnlyWhatItMade) {
    if (geteuid() == 0) {
        // Root reads everything; a device node is what a copy refuses.
        const std::string src = work + "/src";
        ASSERT_TRUE(MakeFolders(src).ok());
        ASSERT_TRUE(WriteFileBytes(src + "/a", "a"));
        ASSERT_EQ(mknod((src + "/z-dev").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        auto r = CopyTree(src, work + "/dst");
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(Exists(work + "/dst"));
        EXPECT_TRUE(Exists(src + "/a"));
    } else {
        const std::string src = work + "/src";
        ASSERT_TRUE(MakeFolders(src).ok());
        ASSERT_TRUE(WriteFileBytes(src + "/a", "a"));
        ASSERT_TRUE(WriteFileBytes(src + "/z", "z"));
        chmod((src + "/z").c_str(), 0);
        auto r = CopyTree(src, work + "/dst");
        chmod((src + "/z").c_str(), 0600);
        EXPECT_FALSE(r.ok());
        EXPECT_FALSE(Exists(work + "/dst"));
    }
}

TEST_F(TreeOpsTest, ScrubLeavesFilesWithTheirOwnClustersAndLockedFilesAlone) {
    // On this file system a small written file already has a block of its own.
    const std::string f = work + "/small";
    ASSERT_TRUE(WriteFileBytes(f, "small content"));
    int sync = open(f.c_str(), O_RDONLY);
    fsync(sync);
    close(sync);
    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    if (st.st_blocks * 512 >= 4096) {
        EXPECT_TRUE(ScrubInlineData(f, 4096));
        EXPECT_EQ(ReadFileBytes(f), "small content");
    }
    // An empty file has no block: it is grown with zeros until it gets one (or 4096).
    const std::string e = work + "/empty";
    ASSERT_TRUE(WriteFileBytes(e, ""));
    EXPECT_TRUE(ScrubInlineData(e, 4096));
    const std::string z = ReadFileBytes(e);
    EXPECT_GE(z.size(), 8u);
    EXPECT_LE(z.size(), 4096u);
    EXPECT_EQ(z, std::string(z.size(), '\0'));
    // A file someone holds locked is not touched.
    const std::string l = work + "/locked";
    ASSERT_TRUE(WriteFileBytes(l, ""));
    int fd = open(l.c_str(), O_RDONLY);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    EXPECT_FALSE(ScrubInlineData(l, 4096));
    close(fd);
    EXPECT_EQ(ReadFileBytes(l), "");
}

}  // namespace
}  // namespace tw::recyclebin
