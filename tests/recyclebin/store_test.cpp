// SPDX-License-Identifier: GPL-3.0-or-later
// Listing the bin: bin folder checks, item fields, malformed entries, the enumeration
// lock, change notifications and attribute normalisation; the index file format and the
// file-tree helpers the runs are built on. Relative index paths on a volume and the
// discovery of every bin folder are trash_volume_test's; the home trash in that list is
// the bin page's (tests/ui/bin_page_test).
#include "recyclebin/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>

#include "recyclebin/trashinfo.h"
#include "recyclebin/tree_ops.h"
#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

class StoreTest : public test::TrashFixture {
  protected:
    const RecycleBinItem* Find(const CRecycleBinStore& s, const std::string& name) {
        for (const auto& it : s.Items())
            if (it.displayName == name) return &it;
        return nullptr;
    }
};

TEST_F(StoreTest, HomeTrashFollowsXdgDataHomeAndBinFolderForNamesEachKind) {
    EXPECT_EQ(HomeTrashPath(), dataHome + "/Trash");
    auto v = BinFolderFor(HomeTrash());
    EXPECT_TRUE(v.isHome);
    EXPECT_EQ(v.topdir, dataHome);
    v = BinFolderFor("/mnt/usb/.Trash-1000/");
    EXPECT_EQ(v.path, "/mnt/usb/.Trash-1000");
    EXPECT_EQ(v.topdir, "/mnt/usb");
    EXPECT_FALSE(v.isHome);
    EXPECT_EQ(BinFolderFor("/mnt/usb/.Trash/1000").topdir, "/mnt/usb");
    EXPECT_EQ(BinFolderFor("/.Trash-0").topdir, "/");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);  // only absolute values count
    EXPECT_EQ(HomeTrashPath(), home + "/.local/share/Trash");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(HomeTrashPath(), home + "/.local/share/Trash");
}

TEST_F(StoreTest, VolumeTrashDirectoriesAreCheckedBeforeUse) {
    const uid_t uid = getuid();
    const std::string top = work + "/vol";
    mkdir(top.c_str(), 0755);
    const std::string uidText = std::to_string(uid);
    EXPECT_TRUE(VolumeBinFolders(top, uid).empty());

    // .Trash without the sticky bit: its $uid folder is not used.
    mkdir((top + "/.Trash").c_str(), 0777);
    chmod((top + "/.Trash").c_str(), 0777);
    mkdir((top + "/.Trash/" + uidText).c_str(), 0700);
    EXPECT_FALSE(IsSharedTrashUsable(top));
    EXPECT_TRUE(VolumeBinFolders(top, uid).empty());

    chmod((top + "/.Trash").c_str(), 01777);
    auto bins = VolumeBinFolders(top, uid);
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins[0].path, top + "/.Trash/" + uidText);
    EXPECT_EQ(bins[0].topdir, top);

    mkdir((top + "/.Trash-" + uidText).c_str(), 0700);
    bins = VolumeBinFolders(top, uid);
    ASSERT_EQ(bins.size(), 2u);
    EXPECT_EQ(bins[1].path, top + "/.Trash-" + uidText);
    EXPECT_EQ(bins[1].topdir, top);

    // A .Trash that is a link to a sticky folder is not trusted.
    const std::string top2 = work + "/vol2";
    mkdir(top2.c_str(), 0755);
    ASSERT_EQ(symlink((top + "/.Trash").c_str(), (top2 + "/.Trash").c_str()), 0);
    EXPECT_FALSE(IsSharedTrashUsable(top2));
    // .Trash-$uid as a link is not used either.
    ASSERT_EQ(symlink((top + "/.Trash-" + uidText).c_str(), (top2 + "/.Trash-" + uidText).c_str()),
              0);
    EXPECT_TRUE(VolumeBinFolders(top2, uid).empty());

    // Trash directories owned by someone else are not listed (root gives them away).
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    for (const auto& d : bins) ASSERT_EQ(chown(d.path.c_str(), 4242, 4242), 0) << d.path;
    EXPECT_TRUE(VolumeBinFolders(top, uid).empty());
}

TEST_F(StoreTest, ListsItemsWithTheirFields) {
    const std::string trash = HomeTrash();
    const std::string name = "r\xC3\xA9sum\xC3\xA9 100%.tar.gz";
    MakeItem(trash, "k1",
             "[Trash Info]\nPath=" + PercentEncodePath("/data/in box/" + name) +
                 "\nDeletionDate=2024-03-05T14:30:07\n",
             "0123456789");
    // A folder: its size is the files below, links not followed.
    MakeItem(trash, "k2", "[Trash Info]\nPath=/data/tree\nDeletionDate=2024-03-05T14:31:00\n",
             nullptr);
    mkdir((trash + "/files/k2/sub").c_str(), 0755);
    ASSERT_TRUE(WriteFileBytes(trash + "/files/k2/a", std::string(1000, 'a')));
    ASSERT_TRUE(WriteFileBytes(trash + "/files/k2/sub/b", std::string(24, 'b')));
    const std::string big = work + "/big";
    ASSERT_TRUE(WriteFileBytes(big, std::string(100000, 'x')));
    ASSERT_EQ(symlink(big.c_str(), (trash + "/files/k2/link").c_str()), 0);
    ASSERT_EQ(symlink(work.c_str(), (trash + "/files/k2/dirlink").c_str()), 0);

    auto store = HomeStore();
    ASSERT_TRUE(store->Refresh());
    ASSERT_EQ(store->Items().size(), 2u);

    const auto* f = Find(*store, name);
    ASSERT_NE(f, nullptr);  // its original path and folder: interop_test's JSON list
    EXPECT_EQ(f->extension, "gz");
    EXPECT_FALSE(f->isFolder);
    EXPECT_EQ(f->size, 10u);
    EXPECT_EQ(f->trashName, "k1");
    EXPECT_EQ(f->physicalPath, trash + "/files/k1");
    EXPECT_EQ(f->infoPath, trash + "/info/k1.trashinfo");
    EXPECT_EQ(f->deletedText, "2024-03-05 14:30:07");
    EXPECT_NE(f->deleted, 0u);

    const auto* d = Find(*store, "tree");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isFolder);
    EXPECT_EQ(d->size, 1024u);
    EXPECT_EQ(d->extension, "");
}

TEST_F(StoreTest, MalformedAndOrphanEntriesAreSkippedNotFatal) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "good", "[Trash Info]\nPath=/x/good\nDeletionDate=2024-03-05T14:30:07\n");
    MakeItem(trash, "nogroup", "Path=/x/nogroup\n");
    MakeItem(trash, "badesc", "[Trash Info]\nPath=/x/%zz\n");
    MakeItem(trash, "climb", "[Trash Info]\nPath=/x/../../etc/shadow\n");
    static const char kBinary[] = "\x00\xFF\xFE[Trash Info]\x00";
    MakeItem(trash, "binary", std::string(kBinary, sizeof kBinary - 1));
    MakeItem(trash, "huge", "[Trash Info]\nPath=/x/huge\n" + std::string(70000, '#'));
    // An index entry that is a link, or a folder, is not read.
    ASSERT_EQ(symlink((trash + "/info/good.trashinfo").c_str(),
                      (trash + "/info/linked.trashinfo").c_str()),
              0);
    mkdir((trash + "/info/dir.trashinfo").c_str(), 0700);
    // An index entry without data is not listed (and not counted as malformed).
    ASSERT_TRUE(WriteFileBytes(trash + "/info/orphan.trashinfo", "[Trash Info]\nPath=/x/orphan\n"));
    // Data without an index entry is not an item either.
    ASSERT_TRUE(WriteFileBytes(trash + "/files/stray", "s"));
    // Other files in info/ are ignored.
    ASSERT_TRUE(WriteFileBytes(trash + "/info/notes.txt", "n"));

    auto store = HomeStore();
    ASSERT_TRUE(store->Refresh());
    ASSERT_EQ(store->Items().size(), 1u);
    EXPECT_EQ(store->Items()[0].displayName, "good");
    EXPECT_EQ(store->SkippedCount(), 7);
    // Data whose index entry is damaged or missing is kept apart, for wiping the bin.
    std::vector<std::string> orphans;
    for (const auto& o : store->Orphans()) orphans.push_back(o.trashName + (o.noIndex ? "" : "?"));
    EXPECT_EQ(orphans,
              (std::vector<std::string>{"badesc", "binary", "climb", "huge", "nogroup", "stray"}));
}

TEST_F(StoreTest, SelectionSurvivesRefresh) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    MakeItem(trash, "b", "[Trash Info]\nPath=/x/b\n");
    auto store = HomeStore();
    ASSERT_TRUE(store->Refresh());
    store->Items()[1].selected = true;
    MakeItem(trash, "0first", "[Trash Info]\nPath=/x/0first\n");
    ASSERT_TRUE(store->Refresh());
    ASSERT_EQ(store->Items().size(), 3u);
    for (const auto& it : store->Items()) EXPECT_EQ(it.selected, it.displayName == "b");
}

// The enumeration lock: held by another program, Refresh gives up after the timeout; a
// lock file that cannot be made does not block listing; the default one is private.
TEST_F(StoreTest, RefreshGivesUpAfterTheEnumerationTimeout) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    auto store = HomeStore();
    ASSERT_TRUE(store->Refresh());
    ASSERT_EQ(store->Items().size(), 1u);

    CEnumLock other(tmp.Path() + "/lock");  // another program listing the bin
    ASSERT_TRUE(other.Acquire(0));
    MakeItem(trash, "b", "[Trash Info]\nPath=/x/b\n");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(store->Refresh());
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(CRecycleBinStore::kEnumTimeoutMs));
    EXPECT_EQ(store->Items().size(), 1u);  // left as it was
    auto unlocked = HomeStore(tmp.Path() + "/no/such/folder/lock");
    EXPECT_TRUE(unlocked->Refresh());
    EXPECT_EQ(unlocked->Items().size(), 2u);

    other.Release();
    EXPECT_TRUE(store->Refresh());
    EXPECT_EQ(store->Items().size(), 2u);

    EXPECT_EQ(CEnumLock::DefaultPath(), tmp.Path() + "/tidewipe/recyclebin.lock");
    struct stat st {};
    ASSERT_EQ(stat((tmp.Path() + "/tidewipe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(StoreTest, WatcherReportsChangesOfTheIndexFolders) {
    const std::string trash = HomeTrash();
    ASSERT_TRUE(MakeFolders(trash).ok());  // no info/ yet: the trash directory itself is watched
    auto store = HomeStore();
    ASSERT_TRUE(store->RegisterChangeNotifications(true));
    CBinWatcher& w = store->Watcher();
    ASSERT_GE(w.Fd(), 0);
    EXPECT_TRUE(w.ReadChanges().empty());

    mkdir((trash + "/info").c_str(), 0700);
    pollfd p{w.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    auto changed = w.ReadChanges();
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0], trash);

    // After re-registering, the new info/ folder itself is watched.
    store->RegisterChangeNotifications(false);
    EXPECT_EQ(w.Fd(), -1);
    ASSERT_TRUE(store->RegisterChangeNotifications(true));
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    pollfd p2{w.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p2, 1, 2000), 1);
    EXPECT_EQ(w.ReadChanges(), std::vector<std::string>{trash});
    EXPECT_TRUE(w.ReadChanges().empty());  // drained

    // A folder that does not exist gets no watch.
    CRecycleBinStore none(tmp.Path() + "/lock");
    none.SetBinFolders({BinFolder{tmp.Path() + "/missing/Trash", tmp.Path(), true}});
    EXPECT_FALSE(none.RegisterChangeNotifications(true));
}

TEST_F(StoreTest, NormaliseAttributesMakesDataWritableAndLeavesIndexFilesAlone) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "ro", "[Trash Info]\nPath=/x/ro\n");
    MakeItem(trash, "tree", "[Trash Info]\nPath=/x/tree\n", nullptr);
    ASSERT_TRUE(WriteFileBytes(trash + "/files/tree/inner", "i"));
    chmod((trash + "/files/ro").c_str(), 0400);
    chmod((trash + "/files/tree/inner").c_str(), 0444);
    chmod((trash + "/files/tree").c_str(), 0555);
    chmod((trash + "/info/ro.trashinfo").c_str(), 0400);

    EXPECT_TRUE(HomeStore()->NormaliseAttributes(trash));
    auto mode = [](const std::string& p) {
        struct stat st {};
        lstat(p.c_str(), &st);
        return st.st_mode & 07777;
    };
    EXPECT_EQ(mode(trash + "/files/ro"), 0600u);
    EXPECT_EQ(mode(trash + "/files/tree/inner"), 0644u);
    EXPECT_EQ(mode(trash + "/files/tree"), 0755u);
    EXPECT_EQ(mode(trash + "/info/ro.trashinfo"), 0400u);

    // An empty bin has nothing to normalise.
    const std::string emptyTrash = tmp.Path() + "/e/Trash";
    MakeFolders(emptyTrash + "/files");
    CRecycleBinStore e(tmp.Path() + "/lock");
    e.SetBinFolders({BinFolder{emptyTrash, tmp.Path() + "/e", true}});
    EXPECT_FALSE(e.NormaliseAttributes(emptyTrash));
}

// ---- the index file format: dates, and the parser's refusals (percent escapes included;
// a bad one in a bin is skipped in MalformedAndOrphanEntriesAreSkippedNotFatal). What
// is written is read back by trash-cli and by us in interop_test and trash_volume_test.

TEST(DeletionDates, ParseFormatAndRefuseOutOfRange) {
    auto d = ParseDeletionDate("2024-03-05T14:30:07");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->year, 2024);
    EXPECT_EQ(d->month, 3);
    EXPECT_EQ(d->second, 7);
    EXPECT_EQ(DisplayDate(*d), "2024-03-05 14:30:07");
    // Fractions and zones written by some programs are tolerated.
    EXPECT_TRUE(ParseDeletionDate("2024-03-05T14:30:07.123+01:00").has_value());
    for (const char* bad : {"", "2024-03-05 14:30:07", "2024-13-05T14:30:07", "2024-03-00T14:30:07",
                            "2024-03-05T24:00:00", "24-03-05T14:30:07", "2024-0a-05T14:30:07"})
        EXPECT_FALSE(ParseDeletionDate(bad).has_value()) << bad;

    // Formatting uses local time and reads back to the same instant.
    const time_t t = 1709649007;
    auto parsed = ParseDeletionDate(FormatDeletionDate(t));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(DeletionDateToFileTime(*parsed), FileTimeFromUnix(t));
}

TEST(TrashInfoParser, ToleratesCrLfCommentsOtherGroupsAndUnknownKeys) {
    auto info = ParseTrashInfo(
        "# made elsewhere\r\n[Other]\r\nPath=/wrong\r\n\r\n[Trash Info]\r\nX-Extra=1\r\n"
        "Path=relative/dir/f\r\nDeletionDate=2020-01-02T03:04:05\r\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->path, "relative/dir/f");
    EXPECT_EQ(info->dateText, "2020-01-02T03:04:05");
    // Repeated slashes are collapsed, not refused; escapes are decoded, '+' is no blank.
    EXPECT_EQ(ParseTrashInfo("[Trash Info]\nPath=//a///b\n")->path, "/a/b");
    EXPECT_EQ(ParseTrashInfo("[Trash Info]\nPath=/%41%62c/a+b\n")->path, "/Abc/a+b");
    // A missing or bad date still lists the item.
    info = ParseTrashInfo("[Trash Info]\nPath=/a/b\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->date.has_value());
    info = ParseTrashInfo("[Trash Info]\nPath=/a/b\nDeletionDate=yesterday\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->date.has_value());
    EXPECT_EQ(info->dateText, "yesterday");
}

TEST(TrashInfoParser, RefusesMalformedFiles) {
    const char* bad[] = {
        "",                                                  // nothing
        "Path=/a/b\nDeletionDate=2020-01-02T03:04:05",       // no group
        "[Trash Info]\nDeletionDate=2020-01-02T03:04:05\n",  // no Path=
        "[Trash Info]\nPath=\n",                             // empty
        "[Trash Info]\nPath=/\n",                            // no name
        "[Trash Info]\nPath=/a/b/\n",                        // no name
        "[Trash Info]\nPath=/a/%2\n",                        // broken escape
        "[Trash Info]\nPath=/a/%\n",                         // broken escape
        "[Trash Info]\nPath=/a/%00b\n",                      // NUL
        "[Trash Info]\nPath=/a/../etc/passwd\n",             // climbs
        "[Trash Info]\nPath=../../etc/passwd\n",             // climbs out of the top folder
        "[Trash Info]\nPath=a/./b\n",                        // "." component
        "[Trash Info]\nPath=/a/%2E%2E/b\n",                  // ".." hidden in escapes
        "[Trash info]\nPath=/a/b\n",                         // the group name is exact
    };
    for (const char* text : bad) EXPECT_FALSE(ParseTrashInfo(text).has_value()) << text;
    std::string huge = "[Trash Info]\nPath=/a\n" + std::string(kMaxTrashInfoBytes, '#');
    EXPECT_FALSE(ParseTrashInfo(huge).has_value());
}

// ---- the file-tree helpers: moves and copies that never replace, what a failed copy
// leaves, and the scrub of data kept inside a file record.

using TreeOpsTest = StoreTest;

TEST_F(TreeOpsTest, AFailedCopyRemovesOnlyWhatItMade) {
    const std::string src = work + "/src";
    ASSERT_TRUE(MakeFolders(src).ok());
    ASSERT_TRUE(WriteFileBytes(src + "/a", "a"));
    // Root reads everything; a device node is what a copy refuses. Others cannot read
    // a file without permissions.
    if (geteuid() == 0)
        ASSERT_EQ(mknod((src + "/z-dev").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    else
        ASSERT_TRUE(WriteFileBytes(src + "/z", "z") && chmod((src + "/z").c_str(), 0) == 0);
    auto failed = CopyTree(src, work + "/dst");
    EXPECT_FALSE(failed.ok());
    EXPECT_FALSE(Exists(work + "/dst"));
    EXPECT_TRUE(Exists(src + "/a"));
    // An existing target is refused and left as it was. (Links, fifos and modes are
    // copied in trash_volume_test's bind-mount case.)
    ASSERT_TRUE(WriteFileBytes(work + "/taken", "mine"));
    auto r = CopyTree(work + "/src", work + "/taken");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.error().code, ErrorCode::Exists);
    EXPECT_EQ(ReadFileBytes(work + "/taken"), "mine");
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
