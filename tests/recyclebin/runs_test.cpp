// SPDX-License-Identifier: GPL-3.0-or-later
// The runs on a bin in a temporary folder: wipe, empty, send to the bin, and their
// texts, counters, log lines and abort behaviour. Restoring is the CLI's, against
// trash-cli (interop_test), and the bin page's (tests/ui/bin_page_test).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "log/activity_log.h"
#include "platform/strings.h"
#include "recyclebin/bin_runs.h"
#include "recyclebin/store.h"
#include "recyclebin/tree_ops.h"
#include "tests/common/recording_sink.h"
#include "trash_fixture.h"

namespace tw::recyclebin {
namespace {

using test::ReadFileBytes;
using test::SetImmutable;
using test::WriteFileBytes;

class RunsTest : public test::TrashFixture {
  protected:
    void SetUp() override {
        TrashFixture::SetUp();
        logFolder = tmp.Path() + "/logs";
        mkdir(logFolder.c_str(), 0700);
        writer.SetFolder(logFolder);
    }

    // Lists the home trash.
    std::vector<RecycleBinItem> List() {
        auto store = HomeStore();
        EXPECT_TRUE(store->Refresh());
        return store->Items();
    }
    // Sends a new file (or folder when content is null) at work/<rel> to the bin.
    RecycleBinItem Trash(const std::string& rel, const char* content = "payload") {
        const std::string p = work + "/" + rel;
        MakeFolders(ParentOf(p));
        if (content)
            EXPECT_TRUE(WriteFileBytes(p, content));
        else
            EXPECT_EQ(mkdir(p.c_str(), 0755), 0);
        auto r = SendToBin(p);
        EXPECT_TRUE(r.ok()) << (r.ok() ? "" : tw::ErrorText(r.error()));
        for (auto& it : List())
            if (r.ok() && it.infoPath == r->infoPath) return it;
        ADD_FAILURE() << "not listed: " << p;
        return {};
    }
    std::string LogText() { return ReadFileBytes(writer.GetTodaysFileName()); }
    static size_t Count(const std::string& folder) {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder), {}));
    }

    std::string logFolder;
    log::CActivityLogFile writer;
};

// ---------------------------------------------------------------- texts

TEST(RunTexts, StatusLineShowsNamesUpToThirtyCharactersWhole) {
    const std::string n30(30, 'n'), n31(31, 'n');
    EXPECT_EQ(RunStatusText(RunMode::Restore, 2, 5, "a.txt"), " Restoring object 2 of 5 a.txt");
    EXPECT_EQ(RunStatusText(RunMode::Wipe, 1, 1, n30), " Wiping object 1 of 1 " + n30);
    EXPECT_EQ(RunStatusText(RunMode::Wipe, 1, 1, n31), " Wiping object 1 of 1 " + n30 + "...");
    // Characters, not bytes: 31 two-byte characters are cut after the 30th.
    std::string e31;
    for (int i = 0; i < 31; ++i) e31 += "\xC3\xA9";
    EXPECT_EQ(ShortenName(e31), e31.substr(0, 60) + "...");
    EXPECT_EQ(ShortenName(e31.substr(0, 60)), e31.substr(0, 60));
}

// ---------------------------------------------------------------- send to the bin

TEST_F(RunsTest, SendToBinFindsAFreeNameAndNeverReplaces) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WriteFileBytes(work + "/same.txt", "v" + std::to_string(i)));
        ASSERT_TRUE(SendToBin(work + "/same.txt").ok());
    }
    // Data left behind without an index entry blocks its name too.
    ASSERT_TRUE(WriteFileBytes(HomeTrash() + "/files/same.txt_3", "stray"));
    ASSERT_TRUE(WriteFileBytes(work + "/same.txt", "v3"));
    auto r = SendToBin(work + "/same.txt");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->trashName, "same.txt_4");
    EXPECT_EQ(ReadFileBytes(HomeTrash() + "/files/same.txt"), "v0");
    EXPECT_EQ(ReadFileBytes(HomeTrash() + "/files/same.txt_1"), "v1");
    EXPECT_EQ(ReadFileBytes(HomeTrash() + "/files/same.txt_2"), "v2");
    EXPECT_EQ(ReadFileBytes(HomeTrash() + "/files/same.txt_3"), "stray");
    EXPECT_EQ(ReadFileBytes(r->dataPath), "v3");
    EXPECT_EQ(List().size(), 4u);
}

TEST_F(RunsTest, SendToBinTrashesLinksNotTheirTargetsAndRefusesWhatItMustNotMove) {
    ASSERT_TRUE(WriteFileBytes(work + "/target", "keep"));
    ASSERT_EQ(symlink("target", (work + "/link").c_str()), 0);
    auto r = SendToBin(work + "/link");
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(ReadFileBytes(work + "/target"), "keep");
    struct stat st {};
    ASSERT_EQ(lstat(r->dataPath.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    // The original location records the real folder but the link's own name.
    mkdir((work + "/real").c_str(), 0755);
    ASSERT_EQ(symlink("real", (work + "/alias").c_str()), 0);
    ASSERT_TRUE(WriteFileBytes(work + "/real/f", "f"));
    auto r2 = SendToBin(work + "/alias/f");
    ASSERT_TRUE(r2.ok());
    EXPECT_EQ(r2->storedPath, work + "/real/f");

    // What it must not move it refuses.
    ASSERT_TRUE(SendToBin((WriteFileBytes(work + "/x", "x"), work + "/x")).ok());
    for (const std::string& p :
         {std::string(""), std::string("/"), work + "/.", work + "/..", HomeTrash(),
          HomeTrash() + "/files", HomeTrash() + "/info/x.trashinfo", dataHome, home,
          work + "/missing"}) {
        auto r = SendToBin(p);
        EXPECT_FALSE(r.ok()) << p;
    }
    EXPECT_EQ(List().size(), 3u);
    EXPECT_TRUE(Exists(HomeTrash() + "/info/x.trashinfo"));
}

TEST_F(RunsTest, SendToBinRemovesTheIndexEntryWhenTheMoveFails) {
    const std::string f = work + "/stuck";
    ASSERT_TRUE(WriteFileBytes(f, "f"));
    // Root moves files out of read-only folders; nobody moves an immutable file.
    const bool immutable = geteuid() == 0 && SetImmutable(f, true);
    if (geteuid() == 0 && !immutable)
        GTEST_SKIP() << "cannot make a file immutable on this file system";
    if (!immutable) chmod(work.c_str(), 0555);
    auto r = SendToBin(f);
    if (immutable)
        SetImmutable(f, false);
    else
        chmod(work.c_str(), 0700);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(ReadFileBytes(f), "f");
    ASSERT_TRUE(Exists(HomeTrash() + "/info"));   // the index entry had been written...
    EXPECT_EQ(Count(HomeTrash() + "/info"), 0u);  // ...and is gone again
}

// ---------------------------------------------------------------- wipe

TEST_F(RunsTest, ExtensiveLoggingNamesEachFileWipedInsideAFolder) {
    auto d = Trash("tree", nullptr);
    ASSERT_EQ(mkdir((d.physicalPath + "/sub").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileBytes(d.physicalPath + "/sub/two", "2"));
    op.SetLog(&writer);
    EXPECT_EQ(WipeItems(op, List(), 1, true).succeeded, 1);
    EXPECT_NE(LogText().find("Wiped file: tree/sub/two from the recycle bin"), std::string::npos);
}

TEST_F(RunsTest, WipeRefusesFilesThatAreHardLinkedOutsideTheBin) {
    auto a = Trash("a.txt", "shared content");
    ASSERT_EQ(link(a.physicalPath.c_str(), (work + "/other-name").c_str()), 0);
    auto d = Trash("tree", nullptr);
    ASSERT_TRUE(WriteFileBytes(work + "/x", "inner shared"));
    ASSERT_EQ(link((work + "/x").c_str(), (d.physicalPath + "/x").c_str()), 0);

    op.SetLog(&writer);
    auto r = WipeItems(op, List(), 1);
    EXPECT_EQ(r.succeeded, 0);
    EXPECT_EQ(r.failed, 2);
    EXPECT_EQ(r.endMessage, "No files were wiped");
    EXPECT_EQ(r.summaryLine, "");
    EXPECT_EQ(ReadFileBytes(work + "/other-name"), "shared content");
    EXPECT_EQ(ReadFileBytes(work + "/x"), "inner shared");
    EXPECT_EQ(List().size(), 2u);  // both stay in the bin, untouched
    EXPECT_NE(LogText().find("Could not wipe file: a.txt from the recycle bin"), std::string::npos);
    EXPECT_NE(LogText().find("Could not wipe folder: tree from the recycle bin"),
              std::string::npos);
}

TEST_F(RunsTest, AFileTheWiperRenamedButCouldNotOverwriteGetsItsNameBack) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to stage a file its owner's bin cannot write";
    // A bin owned by another user holding a file of root's that this user may read (the
    // wiper's probe passes and it renames the file) but not write or chmod (the
    // overwrite fails). The run, as that user, must leave the item listed as it was.
    const uid_t other = 4242;
    const std::string bin = tmp.Path() + "/other/Trash";
    const std::string data(5000, 'r');  // past the small-file scrub, which would refuse first
    MakeItem(bin, "kept.txt", "[Trash Info]\nPath=/x/kept.txt\n", data.c_str());
    for (const std::string& d : {tmp.Path() + "/other", bin, bin + "/info", bin + "/files"})
        ASSERT_EQ(chown(d.c_str(), other, other), 0);
    ASSERT_EQ(chown((bin + "/info/kept.txt.trashinfo").c_str(), other, other), 0);
    chmod((bin + "/files/kept.txt").c_str(), 0644);
    chmod(tmp.Path().c_str(), 0755);

    CRecycleBinStore store(tmp.Path() + "/lock");
    store.SetBinFolders({BinFolder{bin, tmp.Path() + "/other", true}});
    ASSERT_TRUE(store.Refresh());
    ASSERT_EQ(store.Items().size(), 1u);
    const RecycleBinItem item = store.Items()[0];

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgid(other) != 0 || setuid(other) != 0) _exit(2);
        tw::test::TestOperation quiet;
        auto r = WipeItems(quiet, {item}, 1);
        _exit(r.failed == 1 && r.succeeded == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFileBytes(bin + "/files/kept.txt"), data);
    EXPECT_TRUE(Exists(bin + "/info/kept.txt.trashinfo"));
    EXPECT_EQ(Count(bin + "/files"), 1u);
}

TEST_F(RunsTest, AbortBetweenObjectsLeavesTheRestInTheBin) {
    Trash("1.txt", "one");
    Trash("2.txt", "two");
    Trash("3.txt", "three");
    sink.onStatus = [this](const std::string& s) {
        if (s.find("object 2 of") != std::string::npos) abortFlag = 1;
    };
    auto r = WipeItems(op, List(), 1);
    // The abort arrived as the second object was announced: it is not begun.
    EXPECT_TRUE(r.aborted);
    ASSERT_EQ(r.objects.size(), 1u);
    EXPECT_TRUE(r.objects[0].ok);
    auto left = List();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(ReadFileBytes(left[0].physicalPath), "two");
    EXPECT_EQ(ReadFileBytes(left[1].physicalPath), "three");
    EXPECT_EQ(r.endMessage, "1 object has been wiped.");
}

TEST_F(RunsTest, AbortInsideAFolderDeletesTheRestPlainlyAndEndsTheRun) {
    auto d = Trash("big", nullptr);
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(
            WriteFileBytes(d.physicalPath + "/f" + std::to_string(i), std::string(70000, 'z')));
    Trash("after.txt", "after");
    // Abort as soon as the wiper moves the bar inside the folder.
    struct AbortingSink : test::RecordingSink {
        std::atomic<int>* flag;
        void SetPos(Bar b, int64_t p) override {
            RecordingSink::SetPos(b, p);
            if (b == Current && p > 0) *flag = 1;
        }
    } s;
    s.flag = &abortFlag;
    op.SetSink(&s);
    op.SetLog(&writer);
    auto items = List();
    std::sort(items.begin(), items.end(),
              [](auto& x, auto& y) { return x.isFolder > y.isFolder; });  // folder first
    auto r = WipeItems(op, items, 1);
    EXPECT_TRUE(r.aborted);
    ASSERT_EQ(r.objects.size(), 1u);
    EXPECT_FALSE(r.objects[0].ok);
    EXPECT_FALSE(Exists(d.physicalPath));  // nothing of the folder is left behind
    auto left = List();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].displayName, "after.txt");
    EXPECT_NE(LogText().find("Could not wipe folder: big from the recycle bin"), std::string::npos);
}

TEST_F(RunsTest, RunsRefuseItemsThatDoNotBelongToATrashDirectory) {
    ASSERT_TRUE(WriteFileBytes(work + "/victim", "keep me"));
    RecycleBinItem forged;
    forged.displayName = "victim";
    forged.trashName = "victim";
    forged.binFolder = work;
    forged.physicalPath = work + "/victim";  // not <bin>/files/<name>
    forged.infoPath = work + "/victim.trashinfo";
    auto r = WipeItems(op, {forged}, 1);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(ReadFileBytes(work + "/victim"), "keep me");
    forged.trashName = "../victim";
    EXPECT_FALSE(IsWellFormedItem(forged));
}

// ---------------------------------------------------------------- empty

TEST_F(RunsTest, EmptyKeepsTheIndexEntryOfDataItCouldNotRemove) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file nobody can remove";
    auto d = Trash("d", nullptr);
    const std::string stuck = d.physicalPath + "/stuck";
    ASSERT_TRUE(WriteFileBytes(stuck, "s"));
    // An immutable file cannot be removed, not even by root.
    if (!SetImmutable(stuck, true))
        GTEST_SKIP() << "cannot make a file immutable on this file system";
    Trash("gone", "g");
    auto r = EmptyBin(op, {BinFolder{HomeTrash(), dataHome, true}});
    SetImmutable(stuck, false);
    EXPECT_EQ(r.removed, 1);
    EXPECT_EQ(r.failed, 1);
    auto left = List();
    ASSERT_EQ(left.size(), 1u);  // still listed, so it can be emptied again later
    EXPECT_EQ(left[0].displayName, "d");
}

}  // namespace
}  // namespace tw::recyclebin
