// SPDX-License-Identifier: GPL-3.0-or-later
// What only the engine shows of slack wiping and the drive walk, on files in a temporary
// folder: the passes as the wiper hands them over, keeping its own time, files that
// changed under it, dying mid-wipe and lines appended while it wipes; and the walk shared
// by slack wiping and deep clean (what it hands over or leaves out, links, mounts, pause
// and the counting walk). Passes on the disk: slack_volume_test; refusals, counts and the
// stamp rule: slack_cli_test.
#include "wipe/slack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/deep_clean.h"
#include "wipe/free_space.h"
#include "wipe/walker.h"

namespace tw::wipe {
namespace {

constexpr uint32_t kCluster = 4096;

struct SlackFixture : ::testing::Test {
    test::TempDir dir{"slack"};
    std::unique_ptr<RegistryStore> store;

    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        store = std::make_unique<RegistryStore>(dir.Path() + "/registry.db");
        ASSERT_EQ(mkdir((dir.Path() + "/files").c_str(), 0700), 0);
    }
    std::string Folder() const { return dir.Path() + "/files"; }
    std::string PathOf(const std::string& name) const { return Folder() + "/" + name; }

    void Make(const std::string& name, const std::string& content,
              timespec mtime = {1000000000, 123456789}) {
        ASSERT_TRUE(test::WriteFileBytes(PathOf(name), content));
        const timespec t[2] = {{0, UTIME_OMIT}, mtime};
        ASSERT_EQ(utimensat(AT_FDCWD, PathOf(name).c_str(), t, 0), 0);
    }
    struct stat Stat(const std::string& name) const {
        struct stat st {};
        EXPECT_EQ(lstat(PathOf(name).c_str(), &st), 0);
        return st;
    }
    CSlackWiper Wiper(int passes) {
        CSlackWiper w(store.get());
        w.clusterSize = kCluster;
        w.passCount = passes;
        w.journalFolder = dir.Path() + "/journal";
        return w;
    }
};

// Records what each pass was given, in order.
SlackPassObserver Recorder(std::vector<std::vector<uint8_t>>* out) {
    return [out](int pass, const uint8_t* data, size_t n) {
        EXPECT_EQ(pass, static_cast<int>(out->size()));
        out->emplace_back(data, data + n);
    };
}

bool AllBytes(const std::vector<uint8_t>& v, uint8_t b) {
    for (uint8_t x : v)
        if (x != b) return false;
    return !v.empty();
}

// Beyond 4 GiB nothing is cut to 32 bits; no cluster size, no slack.
TEST(SlackGeometry, SixtyFourBitArithmetic) {
    auto g = ComputeSlack((5ULL << 30) + 1, 4096);
    EXPECT_EQ(g.clusters, (5ULL << 30) / 4096 + 1);
    EXPECT_EQ(g.allocatedBytes, (5ULL << 30) + 4096);
    EXPECT_EQ(g.slackBytes, 4095u);
    EXPECT_EQ(ComputeSlack((1ULL << 40) + 3, 65536).slackBytes, 65533u);
    EXPECT_EQ(ComputeSlack(123, 0).slackBytes, 0u);
}

// The passes reach the rest of the last cluster and nothing past it: one zero pass for
// N = 1; for N = 2, 00, the last pass (zeros), then the extra one; in random mode random
// data, then its complement, before the zeros. Asked to keep its own time, the file does
// so though a deep-clean stamp would apply to it.
TEST_F(SlackFixture, PassesWriteOnlyTheEndOfTheLastClusterAndTheFileKeepsItsTime) {
    ASSERT_TRUE(WriteDeepCleanStamp(*store, Folder(), FileTimeFromTimespec({1600000000, 0})));
    for (int n : {1, 2, 4}) {
        SCOPED_TRACE(n);
        const bool random = n == 4;
        const std::string content(random ? 100 : 1, 'x');
        Make("f", content, {1234567890, 987654321});
        std::vector<std::vector<uint8_t>> passes;
        CSlackWiper w = Wiper(n);
        w.passObserver = Recorder(&passes);
        ASSERT_TRUE(w.WipeFileSlack(Folder(), "f", content.size(), random, false, true, Folder()));
        ASSERT_EQ(passes.size(), n == 1 ? 1u : n + 1u);
        for (const auto& p : passes) EXPECT_EQ(p.size(), kCluster - content.size());
        EXPECT_TRUE(AllBytes(passes[n - 1], 0x00));
        EXPECT_TRUE(AllBytes(passes.back(), 0x00));
        const struct stat st = Stat("f");
        EXPECT_EQ(test::ReadFileBytes(PathOf("f")), content);
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
        EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
        if (!random) continue;
        bool varied = false;
        for (size_t i = 0; i < passes[0].size(); ++i) {
            EXPECT_EQ(static_cast<uint8_t>(passes[0][i] ^ 0xFF), passes[1][i]) << i;
            if (passes[0][i] != passes[0][0]) varied = true;
        }
        EXPECT_TRUE(varied) << "pass 1 should be random data, not one repeated byte";
        EXPECT_FALSE(AllBytes(passes[2], 0x00)) << "pass 3 is random, not the last pass";
    }
}

TEST_F(SlackFixture, ANameThatNoLongerHoldsTheListedFileIsRefused) {
    Make("swapped", "first");
    FileFacts facts;
    int dirFd = open(Folder().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_TRUE(ReadFileFacts(dirFd, "swapped", &facts));
    ASSERT_EQ(unlink(PathOf("swapped").c_str()), 0);
    Make("keep", "k");  // holds the freed inode number for a while, if reused
    ASSERT_EQ(symlink(PathOf("keep").c_str(), PathOf("swapped").c_str()), 0);
    CSlackWiper w = Wiper(1);
    EXPECT_FALSE(w.WipeFileSlack(WalkFile{dirFd, Folder(), "swapped", facts}, false, false, false,
                                 Folder()));
    close(dirFd);
    EXPECT_EQ(Stat("keep").st_size, 1);
    struct stat st {};
    ASSERT_EQ(lstat(PathOf("swapped").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The process dies (SIGKILL) at every step of the protocol, in the first file and in
// later ones: right after the journal record, with the file extended, after each pass,
// cut back but without its time, and with its time back but the record still there.
// The next slack run, or the leftovers sweep, puts every file back at its content,
// length and times, and leaves no record behind.
TEST_F(SlackFixture, DyingAtAnyStepLeavesNoFileLongerOnceTheNextRunOrTheSweepRan) {
    const std::string config = dir.Path() + "/config";
    setenv("TIDEWIPE_CONFIG_HOME", config.c_str(), 1);
    ASSERT_EQ(mkdir(PathOf("sub").c_str(), 0700), 0);
    struct Original {
        std::string content;
        timespec mtime;
    };
    std::map<std::string, Original> files;
    for (int i = 0; i < 12; ++i) {
        const std::string name = (i % 3 == 0 ? "sub/f" : "f") + std::to_string(i);
        const timespec mtime{1300000000 + i, 1000 * i + 7};
        files[name] = {std::string(100 + 700 * i, static_cast<char>('a' + i)), mtime};
        Make(name, files[name].content, mtime);
    }
    auto expectAllBack = [&](const std::string& when) {
        for (const auto& [name, o] : files) {
            const struct stat st = Stat(name);
            EXPECT_EQ(static_cast<size_t>(st.st_size), o.content.size()) << when << ": " << name;
            EXPECT_EQ(test::ReadFileBytes(PathOf(name)), o.content) << when << ": " << name;
            EXPECT_TRUE(st.st_mtim.tv_sec == o.mtime.tv_sec &&
                        st.st_mtim.tv_nsec == o.mtime.tv_nsec)
                << when << ": " << name << " has a new modification time";
        }
        EXPECT_TRUE(PendingSlackJournals(SlackJournalFolder()).empty()) << when;
    };
    // Seven steps per file with 2 passes (recorded, extended, 3 x pass, cut, restored):
    // every step of the first file, and steps of the third, fifth and last files.
    const std::vector<int> killAt = {1, 2, 3, 4, 5, 6, 7, 16, 30, 32, 76, 77};
    for (size_t k = 0; k < killAt.size(); ++k) {
        const bool bySweep = k % 2 == 1;
        SCOPED_TRACE("killed at step " + std::to_string(killAt[k]) +
                     (bySweep ? ", put back by the sweep" : ", put back by the next run"));
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            RegistryStore s(dir.Path() + "/registry.db");
            CSlackWiper w(&s);
            w.clusterSize = kCluster;
            w.passCount = 2;
            int steps = 0;
            w.stageHook = [&](std::string_view) {
                if (++steps == killAt[k]) raise(SIGKILL);
            };
            tw::test::TestOperation op;
            w.WipeSlacks(op, Folder(), Folder());
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the kill point was not reached";
        if (bySweep) {
            LeftoverSweep sweep;
            SweepLeftoverTempFolders({dir.Path()}, false, {}, &sweep);
            EXPECT_TRUE(sweep.slackLeft.empty() && sweep.slackPending.empty());
        } else {
            CSlackWiper w = Wiper(1);
            w.journalFolder = SlackJournalFolder();
            tw::test::TestOperation op;
            ASSERT_EQ(w.WipeSlacks(op, Folder(), Folder()), Outcome::Ok);
            EXPECT_EQ(w.filesFailed, 0u);
        }
        expectAllBack(bySweep ? "after the sweep" : "after the next run");
    }
    unsetenv("TIDEWIPE_CONFIG_HOME");
}

// A writer appends a line every half millisecond to two files, reopening one for each
// line (as a shell's >> does) and keeping the other open, while their slack is wiped
// again and again: no line may be lost, and no zero byte may appear between lines. Half
// way the writer waits until one round of wipes has run while it stands between two
// lines: the slack wipe must not simply give up on files that are being written, and a
// loaded machine, where the rounds may all meet a line being added, cannot hide that.
// The files are handed over as having no length: what counts is the length they have.
TEST_F(SlackFixture, LinesAppendedWhileTheSlackIsWipedAreNeverCutOff) {
    Make("reopened.log", "start\n");
    Make("held.log", "start\n");
    constexpr int kLines = 1500;
    int paused[2], resume[2];
    ASSERT_EQ(pipe2(paused, O_NONBLOCK), 0);
    ASSERT_EQ(pipe(resume), 0);
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int held = open(PathOf("held.log").c_str(), O_WRONLY | O_APPEND);
        char go = 0;
        for (int i = 0; i < kLines; ++i) {
            if (i == kLines / 2 && (write(paused[1], "p", 1) != 1 || read(resume[0], &go, 1) != 1))
                _exit(1);
            char line[32];
            const int n = std::snprintf(line, sizeof line, "line %05d\n", i);
            const int fd = open(PathOf("reopened.log").c_str(), O_WRONLY | O_APPEND);
            if (fd < 0 || write(fd, line, static_cast<size_t>(n)) != n ||
                write(held, line, static_cast<size_t>(n)) != n)
                _exit(1);
            close(fd);
            usleep(500);
        }
        _exit(0);
    }
    CSlackWiper w = Wiper(3);
    int status = 0, rounds = 0;
    uint64_t wipedBetweenLines = 0;
    char c = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        const bool writerWaits = read(paused[0], &c, 1) == 1;
        const uint64_t before = w.filesWiped;
        w.WipeFileSlack(Folder(), "reopened.log", 0, false, false, true, Folder());
        w.WipeFileSlack(Folder(), "held.log", 0, false, false, true, Folder());
        ++rounds;
        if (writerWaits) {
            wipedBetweenLines = w.filesWiped - before;
            ASSERT_EQ(write(resume[1], "r", 1), 1);
        }
    }
    for (int fd : {paused[0], paused[1], resume[0], resume[1]}) close(fd);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(wipedBetweenLines, 0u) << "the slack of a file between two lines is still wiped";
    std::string expected = "start\n";
    for (int i = 0; i < kLines; ++i) {
        char line[32];
        std::snprintf(line, sizeof line, "line %05d\n", i);
        expected += line;
    }
    for (const char* name : {"reopened.log", "held.log"}) {
        const std::string got = test::ReadFileBytes(PathOf(name));
        EXPECT_EQ(got.find('\0'), std::string::npos) << name << ": zeros inserted";
        EXPECT_TRUE(got == expected) << name << ": " << got.size() << " bytes instead of "
                                     << expected.size() << " after " << rounds << " rounds";
    }
}

// ---------------------------------------------------------------- the drive walk

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
    for (const char* p : {"/proc", "/sys/block", "/dev"})
        EXPECT_TRUE(IsPseudoFileSystemPath(p)) << p;
    EXPECT_EQ(JoinPath("/", "a"), "/a");
}

// The start is judged where it leads: a link to /proc is refused as /proc is (a start
// below /proc itself is the scanner test's).
TEST_F(WalkFixture, ALinkToAPseudoFileSystemIsNeverWalked) {
    ASSERT_EQ(symlink("/proc", P("proc-link").c_str()), 0);
    CDriveWalker w;
    int files = 0;
    w.onFile = [&](const WalkFile&) { ++files; };
    tw::test::TestOperation op;
    EXPECT_EQ(w.Walk(op, P("proc-link")), Outcome::Failed);
    EXPECT_EQ(files, 0);
}

TEST_F(WalkFixture, ImmutableAndAppendOnlyFilesCountAsSystem) {
    File("plain.txt");
    File("immutable.txt");
    File("append.txt");
    if (!test::SetImmutable(P("immutable.txt"), true) ||
        !test::SetAppendOnly(P("append.txt"), true))
        GTEST_SKIP() << "cannot set the immutable and append-only flags here (needs root and a "
                        "file system that keeps them)";
    Result r = Walk();
    test::SetImmutable(P("immutable.txt"), false);
    test::SetAppendOnly(P("append.txt"), false);
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

// A paused walk waits before its first file (a stop between files: the scanner's case in
// slack_cli_test; SIGTSTP pausing a slack clean: clean_cli_volume_test).
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
