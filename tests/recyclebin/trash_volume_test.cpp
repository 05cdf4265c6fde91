// SPDX-License-Identifier: GPL-3.0-or-later
// The Trash on a second volume: an ext4 image on a loop device and an NTFS image mounted
// by ntfs-3g (root). Items from such a volume go to that volume's trash directory, for
// us and for trash-cli alike; wiping leaves no byte of their content in the raw NTFS
// image (an ext4 volume's is checked through the bin page, tests/ui/bin_page_test).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "platform/drives.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/store.h"
#include "recyclebin/tree_ops.h"
#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::FsKind;
using test::Quote;
using test::ReadFileBytes;
using test::ScratchVolume;
using test::Shell;
using test::WriteFileBytes;

// A marker that occurs nowhere else, repeated to `bytes`.
std::string MarkerContent(const std::string& marker, size_t bytes) {
    std::string s;
    while (s.size() < bytes) s += marker;
    s.resize(bytes);
    return s;
}

class TrashVolumeTest : public test::TrashFixture {
  protected:
    void SetUp() override {
        TrashFixture::SetUp();
        uidText = std::to_string(getuid());
    }

    // The items of one trash directory as the full discovery finds them: the test's
    // volume must show up among the local volumes with its trash directory.
    std::vector<RecycleBinItem> DiscoveredIn(const std::string& trashDir) {
        CRecycleBinStore store(tmp.Path() + "/lock");
        store.BuildBinFolders();
        bool found = false;
        for (const auto& b : store.BinFolders()) found = found || b.path == trashDir;
        EXPECT_TRUE(found) << trashDir << " not among the bin folders";
        EXPECT_TRUE(store.Refresh());
        std::vector<RecycleBinItem> out;
        for (const auto& it : store.Items())
            if (it.binFolder == trashDir) out.push_back(it);
        return out;
    }

    std::string uidText;
};

// What we put there trash-cli lists and restores, and the other way round: the shared
// sticky .Trash/$uid while it can be trusted, else .Trash-$uid with index paths relative
// to the volume. (An NTFS volume's trash folder is chosen in the wipe test below.)
TEST_F(TrashVolumeTest, Ext4ItemsGoToTheVolumesTrashForUsAndForTrashCli) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    if (!test::HaveTrashCli()) GTEST_SKIP() << "trash-cli not installed";
    ScratchVolume vol(FsKind::Ext4, 32, "twtrash");
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string mnt = vol.MountPoint();
    ASSERT_EQ(mkdir((mnt + "/.Trash").c_str(), 0777), 0);
    ASSERT_EQ(chmod((mnt + "/.Trash").c_str(), 01777), 0);
    const std::string shared = mnt + "/.Trash/" + uidText, own = mnt + "/.Trash-" + uidText;

    ASSERT_TRUE(WriteFileBytes(mnt + "/a b.txt", "a"));
    ASSERT_TRUE(WriteFileBytes(mnt + "/c.txt", "c"));
    std::string out;
    ASSERT_EQ(Cli("trash put " + Quote(mnt + "/a b.txt"), &out), 0) << out;
    ASSERT_EQ(Shell("trash-put " + Quote(mnt + "/c.txt"), &out), 0) << out;
    EXPECT_TRUE(Exists(shared + "/files/a b.txt"));
    EXPECT_TRUE(Exists(shared + "/files/c.txt"));
    struct stat st {};
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_FALSE(Exists(own));
    EXPECT_FALSE(Exists(HomeTrash() + "/info"));  // not the home trash

    auto items = DiscoveredIn(shared);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].OriginalPath(), mnt + "/a b.txt");
    EXPECT_EQ(items[1].OriginalPath(), mnt + "/c.txt");
    ASSERT_EQ(Shell("trash-list", &out), 0);
    EXPECT_NE(out.find(" " + mnt + "/a b.txt\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" " + mnt + "/c.txt\n"), std::string::npos) << out;
    ASSERT_EQ(Cli("trash restore --all --yes --trash-dir " + Quote(shared), &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(mnt + "/a b.txt"), "a");
    EXPECT_EQ(ReadFileBytes(mnt + "/c.txt"), "c");

    // Without the sticky bit the shared .Trash is not trusted: .Trash-$uid is made.
    ASSERT_EQ(chmod((mnt + "/.Trash").c_str(), 0777), 0);
    const std::string docs = mnt + "/docs and 50%";
    ASSERT_EQ(mkdir(docs.c_str(), 0755), 0);
    const std::string ours = docs + "/ours \xC3\xA9t\xC3\xA9.txt";
    ASSERT_TRUE(WriteFileBytes(ours, "ours"));
    ASSERT_EQ(Cli("trash put " + Quote(ours), &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(own + "/files/ours \xC3\xA9t\xC3\xA9.txt"), "ours");
    EXPECT_NE(ReadFileBytes(own + "/info/ours \xC3\xA9t\xC3\xA9.txt.trashinfo")
                  .find("\nPath=docs%20and%2050%25/ours%20%C3%A9t%C3%A9.txt\n"),
              std::string::npos);
    // trash-cli lists it with its full original path and restores it there.
    ASSERT_EQ(Shell("trash-list", &out), 0);
    EXPECT_NE(out.find(" " + ours + "\n"), std::string::npos) << out;
    ASSERT_EQ(Shell("cd " + Quote(docs) + " && printf '0\\n' | trash-restore", &out), 0) << out;
    EXPECT_EQ(ReadFileBytes(ours), "ours");
}

TEST_F(TrashVolumeTest, AcrossABindMountPutAndRestoreCopyAndKeepModesTimesAndLinks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a bind mount";
    // A folder of the home's own file system, bind-mounted elsewhere: same device, but
    // rename() across the mount fails with EXDEV, so the move becomes copy and delete.
    const std::string real = work + "/real", bound = work + "/bound";
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(bound.c_str(), 0755), 0);
    std::string out;
    if (Shell("mount --bind " + Quote(real) + " " + Quote(bound), &out) != 0)
        GTEST_SKIP() << "bind mount refused: " << out;
    struct Unmount {
        std::string at;
        ~Unmount() { Shell("umount " + Quote(at)); }
    } unmount{bound};

    const std::string tree = bound + "/tree 100%";
    ASSERT_EQ(mkdir(tree.c_str(), 0750), 0);
    ASSERT_TRUE(WriteFileBytes(tree + "/f", "content"));
    ASSERT_EQ(chmod((tree + "/f").c_str(), 0604), 0);
    const struct timespec times[2] = {{1000000000, 0}, {1300000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, (tree + "/f").c_str(), times, 0), 0);
    ASSERT_EQ(symlink("/etc/passwd", (tree + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((tree + "/fifo").c_str(), 0640), 0);

    auto r = SendToBin(tree);
    ASSERT_TRUE(r.ok()) << tw::ErrorText(r.error());
    EXPECT_TRUE(r->copied);
    EXPECT_EQ(r->trashDir, HomeTrash());
    EXPECT_FALSE(Exists(tree));
    EXPECT_EQ(ReadFileBytes(r->dataPath + "/f"), "content");
    struct stat st {};
    ASSERT_EQ(lstat((r->dataPath + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    ASSERT_EQ(lstat((r->dataPath + "/link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(lstat((r->dataPath + "/fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(lstat(r->dataPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);

    auto store = HomeStore();
    ASSERT_TRUE(store->Refresh());
    ASSERT_EQ(store->Items().size(), 1u);
    EXPECT_EQ(store->Items()[0].OriginalPath(), tree);
    auto rr = RestoreItems(op, store->Items());
    EXPECT_EQ(rr.succeeded, 1) << (rr.objects.empty() ? "" : rr.objects[0].message);
    EXPECT_EQ(ReadFileBytes(tree + "/f"), "content");
    ASSERT_EQ(lstat((tree + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    EXPECT_FALSE(Exists(r->dataPath));
    EXPECT_FALSE(Exists(r->infoPath));
}

// A large file, a small one (kept inside its file record) and a folder sent to the bin
// and wiped: the raw image holds none of their content.
TEST_F(TrashVolumeTest, WipeLeavesNoByteOfTheContentInTheNtfsImage) {
    TW_REQUIRE_SCRATCH(FsKind::Ntfs);
    ScratchVolume vol(FsKind::Ntfs, 32, "twtrash");
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string mnt = vol.MountPoint();
    std::mt19937_64 rng(std::random_device{}());
    auto marker = [&rng](const char* tag) {
        return std::string("TW-TRASH-") + tag + "-" + std::to_string(rng()) + "|";
    };
    const std::string big = marker("big"), small = marker("small"), inner = marker("inner");
    // A large file, a small one (kept inside the file record on NTFS) and a folder.
    ASSERT_TRUE(WriteFileBytes(mnt + "/big.bin", MarkerContent(big, 300 * 1024)));
    ASSERT_TRUE(WriteFileBytes(mnt + "/small.txt", MarkerContent(small, 200)));
    ASSERT_EQ(mkdir((mnt + "/folder").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((mnt + "/folder/sub").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(mnt + "/folder/one", MarkerContent(inner, 50000)));
    ASSERT_TRUE(WriteFileBytes(mnt + "/folder/sub/two", MarkerContent(inner, 9000)));
    for (const char* p : {"/big.bin", "/small.txt", "/folder"}) {
        auto r = SendToBin(mnt + p);
        ASSERT_TRUE(r.ok()) << p << ": " << tw::ErrorText(r.error());
        EXPECT_NE(r->trashDir, HomeTrash());
    }

    // The check can fail: before the wipe the image holds every marker.
    auto before = vol.ReadImage();
    ASSERT_TRUE(vol.Ok());
    for (const auto& m : {big, small, inner}) ASSERT_GT(test::CountOccurrences(before, m), 0u) << m;

    // The volume and its trash folder are found among the local ones.
    const std::string trash = mnt + "/.Trash-" + uidText;
    const auto items = DiscoveredIn(trash);
    ASSERT_EQ(items.size(), 3u);
    auto r = WipeItems(op, items, 1);
    EXPECT_EQ(r.succeeded, 3);
    for (const auto& o : r.objects) EXPECT_TRUE(o.ok) << o.name << ": " << o.message;
    EXPECT_TRUE(DiscoveredIn(trash).empty());

    auto after = vol.ReadImage();
    ASSERT_TRUE(vol.Ok());
    for (const auto& m : {big, small, inner}) EXPECT_EQ(test::CountOccurrences(after, m), 0u) << m;
}

}  // namespace
}  // namespace tw::recyclebin
