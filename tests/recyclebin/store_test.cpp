// SPDX-License-Identifier: GPL-3.0-or-later
// Listing the bin: bin folder checks, item fields, malformed entries, the enumeration
// lock, change notifications and attribute normalisation.
#include "recyclebin/store.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "recyclebin/trashinfo.h"
#include "recyclebin/tree_ops.h"
#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::WriteFileBytes;

class StoreTest : public test::TrashFixture {
  protected:
    const RecycleBinItem* Find(const CRecycleBinStore& s, const std::string& name) {
        for (const auto& it : s.Items())
            if (it.displayName == name) return &it;
        return nullptr;
    }
};

TEST_F(StoreTest, HomeTrashFollowsXdgDataHome) {
    EXPECT_EQ(HomeTrashPath(), dataHome + "/Trash");
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

    // A .Trash that is a link to a sticky folder is not trusted.
    const std::string top2 = work + "/vol2";
    mkdir(top2.c_str(), 0755);
    ASSERT_EQ(symlink((top + "/.Trash").c_str(), (top2 + "/.Trash").c_str()), 0);
    EXPECT_FALSE(IsSharedTrashUsable(top2));
    // .Trash-$uid as a link is not used either.
    ASSERT_EQ(symlink((top + "/.Trash-" + uidText).c_str(), (top2 + "/.Trash-" + uidText).c_str()),
              0);
    EXPECT_TRUE(VolumeBinFolders(top2, uid).empty());
}

TEST_F(StoreTest, TrashDirectoriesOwnedBySomeoneElseAreNotListed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    const uid_t uid = getuid();
    const std::string top = work + "/vol";
    mkdir(top.c_str(), 0755);
    mkdir((top + "/.Trash").c_str(), 01777);
    chmod((top + "/.Trash").c_str(), 01777);
    const std::string planted = top + "/.Trash/" + std::to_string(uid);
    mkdir(planted.c_str(), 0700);
    const std::string alt = top + "/.Trash-" + std::to_string(uid);
    mkdir(alt.c_str(), 0700);
    ASSERT_EQ(chown(planted.c_str(), 4242, 4242), 0);
    ASSERT_EQ(chown(alt.c_str(), 4242, 4242), 0);
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

    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 2u);

    const auto* f = Find(store, name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->originalFolder, "/data/in box");
    EXPECT_EQ(f->OriginalPath(), "/data/in box/" + name);
    EXPECT_EQ(f->extension, "gz");
    EXPECT_FALSE(f->isFolder);
    EXPECT_EQ(f->size, 10u);
    EXPECT_EQ(f->trashName, "k1");
    EXPECT_EQ(f->physicalPath, trash + "/files/k1");
    EXPECT_EQ(f->infoPath, trash + "/info/k1.trashinfo");
    EXPECT_EQ(f->binFolder, trash);
    EXPECT_EQ(f->deletedText, "2024-03-05 14:30:07");
    EXPECT_NE(f->deleted, 0u);

    const auto* d = Find(store, "tree");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->isFolder);
    EXPECT_EQ(d->size, 1024u);
    EXPECT_EQ(d->extension, "");
}

TEST_F(StoreTest, RelativePathsResolveAgainstTheVolumeTopFolder) {
    const std::string top = work + "/vol";
    mkdir(top.c_str(), 0755);
    const std::string trash = top + "/.Trash-" + std::to_string(getuid());
    MakeItem(trash, "f", "[Trash Info]\nPath=docs/f%20one.txt\nDeletionDate=2024-03-05T14:30:07\n");
    MakeItem(trash, "g", "[Trash Info]\nPath=g\n");
    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders(VolumeBinFolders(top, getuid()));
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 2u);
    EXPECT_EQ(store.Items()[0].OriginalPath(), top + "/docs/f one.txt");
    EXPECT_EQ(store.Items()[1].OriginalPath(), top + "/g");
    EXPECT_EQ(store.Items()[1].deletedText, "");  // no date: listed, date unknown
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

    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 1u);
    EXPECT_EQ(store.Items()[0].displayName, "good");
    EXPECT_EQ(store.SkippedCount(), 7);
    // Data whose index entry is damaged or missing is kept apart, for wiping the bin.
    std::vector<std::string> orphans;
    for (const auto& o : store.Orphans()) orphans.push_back(o.trashName + (o.noIndex ? "" : "?"));
    EXPECT_EQ(orphans,
              (std::vector<std::string>{"badesc", "binary", "climb", "huge", "nogroup", "stray"}));
}

TEST_F(StoreTest, SelectionSurvivesRefresh) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    MakeItem(trash, "b", "[Trash Info]\nPath=/x/b\n");
    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    ASSERT_TRUE(store.Refresh());
    store.Items()[1].selected = true;
    MakeItem(trash, "0first", "[Trash Info]\nPath=/x/0first\n");
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 3u);
    for (const auto& it : store.Items()) EXPECT_EQ(it.selected, it.displayName == "b");
}

TEST_F(StoreTest, RefreshGivesUpAfterTheEnumerationTimeout) {
    const std::string lock = tmp.Path() + "/lock";
    const std::string trash = HomeTrash();
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    CRecycleBinStore store(lock);
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 1u);

    CEnumLock other(lock);  // another program listing the bin
    ASSERT_TRUE(other.Acquire(0));
    MakeItem(trash, "b", "[Trash Info]\nPath=/x/b\n");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(store.Refresh());
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(CRecycleBinStore::kEnumTimeoutMs));
    EXPECT_EQ(store.Items().size(), 1u);  // left as it was

    other.Release();
    EXPECT_TRUE(store.Refresh());
    EXPECT_EQ(store.Items().size(), 2u);
}

TEST_F(StoreTest, ALockFileThatCannotBeMadeDoesNotBlockListing) {
    const std::string trash = HomeTrash();
    MakeItem(trash, "a", "[Trash Info]\nPath=/x/a\n");
    CRecycleBinStore store(tmp.Path() + "/no/such/folder/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    EXPECT_TRUE(store.Refresh());
    EXPECT_EQ(store.Items().size(), 1u);
}

TEST_F(StoreTest, DefaultLockLivesInThePrivateRuntimeFolder) {
    EXPECT_EQ(CEnumLock::DefaultPath(), tmp.Path() + "/tidewipe/recyclebin.lock");
    struct stat st {};
    ASSERT_EQ(stat((tmp.Path() + "/tidewipe").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(StoreTest, WatcherReportsChangesOfTheIndexFolders) {
    const std::string trash = HomeTrash();
    ASSERT_TRUE(MakeFolders(trash).ok());  // no info/ yet: the trash directory itself is watched
    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    ASSERT_TRUE(store.RegisterChangeNotifications(true));
    CBinWatcher& w = store.Watcher();
    ASSERT_GE(w.Fd(), 0);
    EXPECT_TRUE(w.ReadChanges().empty());

    mkdir((trash + "/info").c_str(), 0700);
    pollfd p{w.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    auto changed = w.ReadChanges();
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0], trash);

    // After re-registering, the new info/ folder itself is watched.
    store.RegisterChangeNotifications(false);
    EXPECT_EQ(w.Fd(), -1);
    ASSERT_TRUE(store.RegisterChangeNotifications(true));
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

    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{trash, dataHome, true}});
    EXPECT_TRUE(store.NormaliseAttributes(trash));
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

TEST_F(StoreTest, BinFolderForNamesVolumeAndHomeTrashes) {
    auto v = BinFolderFor("/mnt/usb/.Trash-1000/");
    EXPECT_EQ(v.path, "/mnt/usb/.Trash-1000");
    EXPECT_EQ(v.topdir, "/mnt/usb");
    EXPECT_FALSE(v.isHome);
    v = BinFolderFor("/mnt/usb/.Trash/1000");
    EXPECT_EQ(v.topdir, "/mnt/usb");
    v = BinFolderFor("/.Trash-0");
    EXPECT_EQ(v.topdir, "/");
    v = BinFolderFor(HomeTrash());
    EXPECT_TRUE(v.isHome);
    EXPECT_EQ(v.topdir, dataHome);
}

TEST_F(StoreTest, BuildBinFoldersStartsWithTheHomeTrash) {
    CRecycleBinStore store(tmp.Path() + "/lock");
    store.BuildBinFolders();
    ASSERT_FALSE(store.BinFolders().empty());
    EXPECT_EQ(store.BinFolders()[0].path, HomeTrash());
    EXPECT_TRUE(store.BinFolders()[0].isHome);
    // Every other entry is a volume trash that exists and belongs to this user.
    for (size_t i = 1; i < store.BinFolders().size(); ++i) {
        const auto& b = store.BinFolders()[i];
        struct stat st {};
        ASSERT_EQ(lstat(b.path.c_str(), &st), 0) << b.path;
        EXPECT_EQ(st.st_uid, getuid());
        EXPECT_FALSE(b.isHome);
    }
}

}  // namespace
}  // namespace tw::recyclebin
