// SPDX-License-Identifier: GPL-3.0-or-later
// The drive walk shared by slack wiping and deep clean: which entries it hands over,
// which it leaves out and why, and that it never follows a link or leaves its file
// system. Also the counting walk on its own thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/walker.h"

namespace tw::wipe {
namespace {

struct WalkFixture : ::testing::Test {
    test::TempDir dir{"slack-walk"};
    test::TempDir outside{"slack-outside"};
    std::string root;

    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        ASSERT_TRUE(outside.Ok());
        root = dir.Path() + "/tree";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    }
    std::string P(const std::string& rel) const { return root + "/" + rel; }
    void File(const std::string& rel, const std::string& content = "data") {
        ASSERT_TRUE(test::WriteFileBytes(P(rel), content)) << rel;
    }
    void Dir(const std::string& rel) { ASSERT_EQ(mkdir(P(rel).c_str(), 0755), 0) << rel; }

    struct Result {
        std::vector<std::string> files;  // relative to root, in visiting order
        std::map<std::string, SkipReason> skipped;
        Outcome outcome = Outcome::Ok;
    };
    Result Walk(WalkOptions options = {}) {
        Result r;
        CDriveWalker w;
        w.options = options;
        const size_t cut = root.size() + 1;
        w.onFile = [&](const WalkFile& f) { r.files.push_back(f.Path().substr(cut)); };
        w.onSkip = [&](const std::string& p, SkipReason why) { r.skipped[p.substr(cut)] = why; };
        tw::test::TestOperation op;
        r.outcome = w.Walk(op, root);
        return r;
    }
};

TEST_F(WalkFixture, SkipRulesLeaveOutWhatIsNotAnOrdinaryWritableFile) {
    File("a.txt");
    Dir("sub");
    File("sub/b.txt");
    Dir(".config");
    File(".config/inner.txt");  // hidden folders are walked, only hidden files are skipped
    File(".hidden");
    File("readonly.txt");  // read-only means no write bit, even for root
    ASSERT_EQ(chmod(P("readonly.txt").c_str(), 0444), 0);
    // Someone other than root: a file only the group may write is read-only to the owner.
    File("group-writable.txt");
    ASSERT_EQ(chmod(P("group-writable.txt").c_str(), 0464), 0);
    // A second name outside the tree: walked, unless hard-linked files are to be skipped.
    File("linked.txt");
    ASSERT_EQ(link(P("linked.txt").c_str(), (outside.Path() + "/second-name").c_str()), 0);
    File("information.txt");  // "info" anywhere in the name
    File("setup.exe.bak");
    File("Desktop.INI");
    File("font.TTF");
    File("7vr3swt4sd456.rj3");
    File("7vr3swt4sd456.rj3.origin");
    for (const char* d : {"RECYCLER", "recycled", "System Volume Information", ".Trash", ".Trash-0",
                          "17FA5B59-0C6D-4b88-800E-6FD9D2D0C90E"}) {
        Dir(d);
        File(std::string(d) + "/x.txt");
    }
    ASSERT_TRUE(test::WriteFileBytes(outside.Path() + "/target.txt", "outside"));
    ASSERT_EQ(symlink((outside.Path() + "/target.txt").c_str(), P("link.txt").c_str()), 0);
    ASSERT_EQ(symlink(outside.Path().c_str(), P("linkdir").c_str()), 0);
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);

    Result r = Walk();
    EXPECT_EQ(r.outcome, Outcome::Ok);
    // Sorted by name within each folder, folders entered where they stand.
    const bool root = geteuid() == 0;
    std::vector<std::string> files = {".config/inner.txt", "a.txt", "linked.txt", "sub/b.txt"};
    if (root) files.insert(files.begin() + 2, "group-writable.txt");
    EXPECT_EQ(r.files, files);
    std::map<std::string, SkipReason> expected = {
        {".hidden", SkipReason::Hidden},
        {"readonly.txt", SkipReason::ReadOnly},
        {"information.txt", SkipReason::ProtectedName},
        {"setup.exe.bak", SkipReason::ProtectedName},
        {"Desktop.INI", SkipReason::ProtectedName},
        {"font.TTF", SkipReason::ProtectedName},
        {"7vr3swt4sd456.rj3", SkipReason::TemporaryCopy},
        {"7vr3swt4sd456.rj3.origin", SkipReason::TemporaryCopy},
        {"RECYCLER", SkipReason::SkippedFolder},
        {"recycled", SkipReason::SkippedFolder},
        {"System Volume Information", SkipReason::SkippedFolder},
        {".Trash", SkipReason::SkippedFolder},
        {".Trash-0", SkipReason::SkippedFolder},
        {"17FA5B59-0C6D-4b88-800E-6FD9D2D0C90E", SkipReason::SkippedFolder},
        {"link.txt", SkipReason::NotRegular},
        {"linkdir", SkipReason::NotRegular},
        {"fifo", SkipReason::NotRegular},
    };
    if (!root) expected["group-writable.txt"] = SkipReason::ReadOnly;
    EXPECT_EQ(r.skipped, expected);

    WalkOptions o;
    o.skipHardLinks = true;
    r = Walk(o);
    EXPECT_EQ(std::count(r.files.begin(), r.files.end(), "linked.txt"), 0);
    EXPECT_EQ(r.skipped["linked.txt"], SkipReason::HardLinked);
}

// What the name rules must not catch (what they do catch is the walk's, above).
TEST(WalkerRules, NamesAndPaths) {
    EXPECT_FALSE(IsProtectedFileName("report.txt"));
    EXPECT_FALSE(IsProtectedFileName("inf.txt"));
    EXPECT_FALSE(IsSkippedFolderName(".trash"));  // the Trash names are case-sensitive
    EXPECT_FALSE(IsSkippedFolderName("Recycle"));
    EXPECT_FALSE(IsPseudoFileSystemPath("/process"));
    EXPECT_FALSE(IsPseudoFileSystemPath("/devices"));
    EXPECT_FALSE(IsPseudoFileSystemPath("/home/dev"));
    EXPECT_TRUE(IsPseudoFileSystemPath("/sys/block"));
    EXPECT_EQ(JoinPath("/", "a"), "/a");
}

TEST_F(WalkFixture, PseudoFileSystemsAreNeverWalked) {
    for (const char* p : {"/proc", "/sys", "/dev", "/proc/self"}) {
        CDriveWalker w;
        int files = 0;
        w.onFile = [&](const WalkFile&) { ++files; };
        tw::test::TestOperation op;
        EXPECT_EQ(w.Walk(op, p), Outcome::Failed) << p;
        EXPECT_EQ(files, 0);
    }
    // A link to /proc resolves to /proc and is refused the same way.
    ASSERT_EQ(symlink("/proc", P("proc-link").c_str()), 0);
    CDriveWalker w;
    tw::test::TestOperation op;
    EXPECT_EQ(w.Walk(op, P("proc-link")), Outcome::Failed);
}

TEST_F(WalkFixture, ImmutableAndAppendOnlyFilesCountAsSystem) {
    File("plain.txt");
    File("immutable.txt");
    File("append.txt");
    auto setFlag = [&](const std::string& rel, int flag) {
        int fd = open(P(rel).c_str(), O_RDONLY);
        int flags = 0;
        bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags |= flag;
        ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) close(fd);
        return ok;
    };
    if (!setFlag("immutable.txt", FS_IMMUTABLE_FL) || !setFlag("append.txt", FS_APPEND_FL))
        GTEST_SKIP() << "cannot set the immutable and append-only flags here (needs root and a "
                        "file system that keeps them)";
    Result r = Walk();
    auto clear = [&](const std::string& rel) {
        int fd = open(P(rel).c_str(), O_RDONLY);
        int flags = 0;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
        close(fd);
    };
    clear("immutable.txt");
    clear("append.txt");
    EXPECT_EQ(r.files, std::vector<std::string>{"plain.txt"});
    EXPECT_EQ(r.skipped["immutable.txt"], SkipReason::System);
    EXPECT_EQ(r.skipped["append.txt"], SkipReason::System);
}

TEST_F(WalkFixture, NeverLeavesItsMount) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting below the tree needs root";
    File("here.txt");
    Dir("mnt");
    Dir("bound");
    File("over.txt", "covered");
    // Another file system, and bind mounts of a folder and of a file outside the tree:
    // the binds have the tree's own device number.
    ASSERT_TRUE(test::WriteFileBytes(outside.Path() + "/precious.txt", "x"));
    ASSERT_EQ(mount("tmpfs", P("mnt").c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m"), 0);
    ASSERT_TRUE(test::WriteFileBytes(P("mnt/there.txt"), "x"));
    const bool bound =
        mount(outside.Path().c_str(), P("bound").c_str(), nullptr, MS_BIND, nullptr) == 0;
    const bool fileBound = mount((outside.Path() + "/precious.txt").c_str(), P("over.txt").c_str(),
                                 nullptr, MS_BIND, nullptr) == 0;
    Result r = Walk();
    WalkOptions all;
    all.everyFile = true;
    Result every = Walk(all);
    if (fileBound) umount2(P("over.txt").c_str(), MNT_DETACH);
    if (bound) umount2(P("bound").c_str(), MNT_DETACH);
    ASSERT_EQ(umount2(P("mnt").c_str(), MNT_DETACH), 0);
    ASSERT_TRUE(bound && fileBound);
    for (const Result* w : {&r, &every}) {
        EXPECT_EQ(w->files, std::vector<std::string>{"here.txt"});
        EXPECT_EQ(w->skipped.at("mnt"), SkipReason::OtherFileSystem);
        EXPECT_EQ(w->skipped.at("bound"), SkipReason::OtherFileSystem);
        EXPECT_EQ(w->skipped.at("over.txt"), SkipReason::OtherFileSystem);
    }
}

TEST_F(WalkFixture, PauseComesBeforeEachFileAndAbortStopsBetweenFiles) {
    for (const char* n : {"1", "2", "3", "4"}) File(n);
    std::atomic<int> abort{0};
    std::vector<std::string> events, whilePaused;
    tw::test::TestOperation op;
    op.UseStopFlag(abort);
    std::thread resumer;
    CDriveWalker w;
    w.onFile = [&](const WalkFile& f) {
        events.push_back(f.name);
        if (f.name == "1") {  // the user pauses while "1" is worked on
            op.Pause(true);
            resumer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                whilePaused = events;
                op.Pause(false);
            });
        }
        if (f.name == "2") abort = 1;  // and stops while "2" is
    };
    EXPECT_EQ(w.Walk(op, root), Outcome::Stopped);
    resumer.join();
    EXPECT_EQ(whilePaused, std::vector<std::string>{"1"});
    EXPECT_EQ(events, (std::vector<std::string>{"1", "2"}));
}

TEST_F(WalkFixture, FilesCreatedDuringTheWalkOfAFolderAreNotVisited) {
    File("b.txt");
    File("d.txt");
    std::vector<std::string> names;
    CDriveWalker w;
    w.onFile = [&](const WalkFile& f) {
        names.push_back(f.name);
        // What a deep clean does: a new name appears, the old one is renamed.
        test::WriteFileBytes(f.folder + "/c-new-" + f.name, "new");
        rename(f.Path().c_str(), (f.folder + "/z-renamed-" + f.name).c_str());
    };
    tw::test::TestOperation op;
    ASSERT_EQ(w.Walk(op, root), Outcome::Ok);
    EXPECT_EQ(names, (std::vector<std::string>{"b.txt", "d.txt"}));
}

TEST_F(WalkFixture, CountingWalkRunsOnItsOwnThreadAndHoldsWhilePaused) {
    Dir("s");
    File("old1", "12345");
    File("s/old2", "1234567");
    File("new", "123");
    const FileTime stamp = FileTimeFromTimespec({1600000000, 0});
    const timespec oldT[2] = {{0, UTIME_OMIT}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, P("old1").c_str(), oldT, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, P("s/old2").c_str(), oldT, 0), 0);

    // It follows the pause of the operation it counts for.
    tw::test::TestOperation op;
    CCountingWalk walk;
    op.Pause(true);
    walk.Start(op, root, stamp, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(walk.Finished()) << "a paused walk waits before its first file";
    EXPECT_EQ(walk.Record().files.load(), 0u);
    op.Pause(false);
    walk.Join();
    ASSERT_TRUE(walk.Finished());
    EXPECT_EQ(walk.Result(), Outcome::Ok);
    const WalkerRecord& r = walk.Record();
    EXPECT_EQ(r.files.load(), 3u);
    EXPECT_EQ(r.previouslyCleaned.load(), 2u);
    EXPECT_EQ(r.previouslyCleanedBytes.load(), 12u);
    EXPECT_EQ(r.toClean.load(), 1u);
    EXPECT_EQ(r.toCleanBytes.load(), 3u);
    EXPECT_EQ(r.folders.load(), 1u);
    EXPECT_EQ(r.WorkBytes(false), 3u);
    EXPECT_EQ(r.WorkBytes(true), 15u);

    // Without a stamp everything is to be cleaned; the run's stop ends it early.
    tw::test::TestOperation stoppedOp;
    stoppedOp.Stop();
    CCountingWalk stopped;
    stopped.Start(stoppedOp, root, 0, {});
    stopped.Join();
    EXPECT_EQ(stopped.Result(), Outcome::Stopped);
    EXPECT_EQ(stopped.Record().files.load(), 0u);
}

}  // namespace
}  // namespace tw::wipe
