// SPDX-License-Identifier: GPL-3.0-or-later
// Deep clean in a temporary folder: which files a run cleans, what a cleaned file keeps
// (content, mode, attributes, access time) and gets (the stamp), the copy-name
// collision, abort, progress, and above all that no file is lost when the process dies at
// any point of a clean: each stage is cut short in a child process, and a child is also
// killed at arbitrary moments.
#include "wipe/deep_clean.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "log/activity_log.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/slack.h"

namespace tw::wipe {
namespace {

// Capital letters, a sequence of its own for each seed.
std::string Pattern(const std::string& seed, size_t n) {
    std::mt19937 gen(static_cast<uint32_t>(std::hash<std::string>{}(seed)));
    std::string s(n, 'A');
    for (char& c : s) c = static_cast<char>('A' + gen() % 26);
    return s;
}

struct DeepFixture : ::testing::Test {
    test::TempDir dir{"slack-deep"};
    std::string root, dbPath;
    std::unique_ptr<RegistryStore> store;
    log::CActivityLogFile logFile;
    std::map<std::string, std::string> contents;  // relative path -> content

    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        root = dir.Path() + "/tree";
        dbPath = dir.Path() + "/registry.db";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir.Path() + "/logs").c_str(), 0700), 0);
        store = std::make_unique<RegistryStore>(dbPath);
        logFile.SetFolder(dir.Path() + "/logs");
    }
    std::string P(const std::string& rel) const { return root + "/" + rel; }
    void Make(const std::string& rel, const std::string& content,
              timespec mtime = {1400000000, 111}) {
        ASSERT_TRUE(test::WriteFileBytes(P(rel), content));
        const timespec t[2] = {{1300000000, 222}, mtime};
        ASSERT_EQ(utimensat(AT_FDCWD, P(rel).c_str(), t, 0), 0);
        contents[rel] = content;
    }
    struct stat Stat(const std::string& rel) const {
        struct stat st {};
        EXPECT_EQ(lstat(P(rel).c_str(), &st), 0) << rel;
        return st;
    }
    void Configure(CDeepCleaner& c, int passes = 1) {
        c.slackJournalFolder = dir.Path() + "/journal";
        c.passCount = passes;
        c.logOn = c.detailLog = true;
        c.logWriter = &logFile;
    }
    Outcome Run(CDeepCleaner& c, const OpContext& op = tw::IdleOperation()) {
        return c.Run(op, root, root);
    }
    // Names in a folder.
    std::set<std::string> Names(const std::string& rel = "") const {
        std::set<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(rel.empty() ? root : P(rel)))
            out.insert(e.path().filename().string());
        return out;
    }
    // What a run does first: settle the copies an interrupted run left in the tree's root.
    int RestoreCopies(CDeepCleaner& c) const {
        const int dirFd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        const int restored = c.RestoreLeftoverCopies(dirFd, root);
        close(dirFd);
        return restored;
    }
    // Starts a deep clean of the tree in a child process (with a store connection of its
    // own, never the parent's). With a `stage`, the run is a re-clean that ends itself
    // there (exit status 42) after `beforeDying`.
    pid_t StartCleaner(int passes, const std::string& stage = "",
                       const std::function<void()>& beforeDying = {}) {
        pid_t pid = fork();
        if (pid == 0) {
            RegistryStore s(dbPath);
            CDeepCleaner c(s);
            c.slackJournalFolder = dir.Path() + "/journal";
            c.passCount = passes;
            c.reclean = !stage.empty();
            c.stageHook = [&](std::string_view at, const std::string&) {
                if (at != stage) return;
                if (beforeDying) beforeDying();
                _exit(42);
            };
            tw::test::TestOperation op;
            c.Run(op, root, root);
            _exit(0);
        }
        return pid;
    }
    // The exit status of a run that ends itself at `stage` (42 when it got there).
    int CleanAndDieAt(const std::string& stage, const std::function<void()>& beforeDying = {}) {
        int status = 0;
        waitpid(StartCleaner(2, stage, beforeDying), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void ExpectAllContentsIntact() {
        for (const auto& [rel, content] : contents)
            EXPECT_EQ(test::ReadFileBytes(P(rel)), content) << rel;
    }
    void ExpectNoCopiesLeft(const std::string& rel = "") {
        for (const std::string& n : Names(rel))
            EXPECT_EQ(n.find("vr3swt4sd456"), std::string::npos) << "left behind: " << n;
    }
    std::string LogText() { return test::ReadFileBytes(logFile.GetTodaysFileName()); }
};

TEST_F(DeepFixture, CleanedFilesMoveToNewClustersKeepTheirContentAndMetadataAndGetTheStamp) {
    ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
    Make("a.txt", Pattern("a", 10000));
    Make("sub/b.bin", Pattern("b", 300000));
    Make("empty", "");
    ASSERT_EQ(chmod(P("a.txt").c_str(), 0640), 0);
    const bool xattrs = setxattr(P("a.txt").c_str(), "user.tidewipe-test", "kept", 4, 0) == 0;
    // A sparse file: 1 MiB of hole, then data.
    {
        int fd = open(P("sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "tail", 4, 1 << 20), 4);
        close(fd);
        const timespec t[2] = {{1300000000, 222}, {1400000000, 111}};
        ASSERT_EQ(utimensat(AT_FDCWD, P("sparse").c_str(), t, 0), 0);
        contents["sparse"] = std::string(1 << 20, '\0') + "tail";
    }
    std::map<std::string, ino_t> inodes;
    for (const auto& [rel, c] : contents) inodes[rel] = Stat(rel).st_ino;

    CDeepCleaner c(*store);
    Configure(c, 2);
    c.alsoWipeSlacks = true;  // which must leave content and stamp as they are
    c.clusterSize = 4096;
    ASSERT_EQ(Run(c), Outcome::Ok);
    EXPECT_EQ(c.filesCleaned, 4u);
    EXPECT_EQ(c.filesNotCleaned, 0u);
    EXPECT_EQ(c.bytesCleaned, 10000u + 300000u + (1u << 20) + 4u);
    const FileTime stamp = c.NewStamp();
    ASSERT_NE(stamp, 0u);
    EXPECT_EQ(ReadDeepCleanStamp(*store, root), stamp);
    for (const auto& [rel, content] : contents) {
        SCOPED_TRACE(rel);
        const struct stat st = Stat(rel);
        EXPECT_NE(st.st_ino, inodes[rel]) << "the content should live in a new file";
        EXPECT_EQ(FileTimeFromTimespec(st.st_mtim), stamp);
        EXPECT_EQ(st.st_atim.tv_sec, 1300000000);
        EXPECT_EQ(st.st_atim.tv_nsec, 222);
    }
    EXPECT_EQ(Stat("a.txt").st_mode & 07777, 0640u);
    if (xattrs) {
        char value[16] = {};
        EXPECT_EQ(getxattr(P("a.txt").c_str(), "user.tidewipe-test", value, sizeof value), 4);
        EXPECT_STREQ(value, "kept");
    }
    EXPECT_LT(Stat("sparse").st_blocks * 512, 1 << 20) << "the hole should stay a hole";
    // Read last: reading moves the access time.
    ExpectAllContentsIntact();
    ExpectNoCopiesLeft();
    ExpectNoCopiesLeft("sub");
    EXPECT_EQ(Names(), (std::set<std::string>{"a.txt", "empty", "sparse", "sub"}));

    const std::string log = LogText();
    EXPECT_NE(log.find("Deep cleaning file: " + P("a.txt") +
                       " File Size: 10000 (b) Temp file name: " + root + "/"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Deep cleaned directory: " + P("sub") + "\r"), std::string::npos);
    EXPECT_NE(log.find("Deep cleaned directory: " + root + "\r"), std::string::npos);
}

TEST_F(DeepFixture, AbortStopsBetweenFilesAndPutsThePreviousStampBack) {
    for (const char* n : {"a", "b", "c", "d"}) Make(n, Pattern(n, 2000));
    const FileTime before = FileTimeFromTimespec({1000000000, 0});  // older than every file
    ASSERT_TRUE(WriteDeepCleanStamp(*store, root, before));
    CDeepCleaner c(*store);
    std::atomic<int> abort{0};
    test::RecordingSink sink;
    tw::test::TestOperation op(&sink);
    op.UseStopFlag(abort);
    sink.onStatus = [&](const std::string& text) {
        // The user stops once "b" is done, as "c" comes up: "c" is left as it is.
        if (text.rfind(c.deepCleaningText, 0) == 0 && text.size() > 2 &&
            text.compare(text.size() - 2, 2, "/c") == 0)
            abort = 1;
    };
    Configure(c);
    EXPECT_EQ(Run(c, op), Outcome::Stopped);
    EXPECT_EQ(c.filesCleaned, 2u);
    EXPECT_EQ(ReadDeepCleanStamp(*store, root), before);
    ExpectAllContentsIntact();
    ExpectNoCopiesLeft();
    // On a drive never cleaned before, the stamp goes again.
    ASSERT_TRUE(ClearDeepCleanStamp(*store, root));
    abort = 1;
    EXPECT_EQ(Run(c, op), Outcome::Stopped);
    EXPECT_EQ(ReadDeepCleanStamp(*store, root), 0u);
}

TEST_F(DeepFixture, ProgressFollowsTheCountingWalkAndShowsEachStep) {
    for (int i = 0; i < 6; ++i)
        Make("p" + std::to_string(i), Pattern("p" + std::to_string(i), 20000));
    CCountingWalk counting;
    counting.Start(tw::IdleOperation(), root, 0, WalkOptions{true});
    counting.Join();  // totals known: the estimate goes by bytes
    test::RecordingSink sink;
    tw::test::TestOperation op(&sink);
    CDeepCleaner c(*store);
    Configure(c);
    ASSERT_EQ(c.Run(op, root, root, &counting), Outcome::Ok);
    EXPECT_EQ(sink.high[ProgressSink::Overall], 372);
    ASSERT_FALSE(sink.overall.empty());
    EXPECT_TRUE(std::is_sorted(sink.overall.begin(), sink.overall.end()));
    EXPECT_EQ(sink.overall.back(), 372);
    ASSERT_FALSE(sink.timeTexts.empty());
    EXPECT_EQ(sink.timeTexts.front(), "Estimated time remaining:  0% complete");
    auto shown = [&](const std::string& prefix) {
        return std::any_of(sink.statuses.begin(), sink.statuses.end(),
                           [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    };
    EXPECT_TRUE(shown("Deep cleaning file "));
    EXPECT_TRUE(shown("Defragmenting file "));
    EXPECT_TRUE(shown("Cleaning underneath file "));
    EXPECT_EQ(c.bytesWritten, 6u * 20480u) << "one pass over each file, raised to whole blocks";
}

// ------------------------------------------------------------ dying mid-clean

TEST_F(DeepFixture, DyingAtAnyStageLosesNothingAndTheNextRunSettlesTheCopy) {
    struct Case {
        const char* stage;
        const char* what;
        std::function<void()> act;  // on the original, before dying
    };
    const std::string orig = P("file.bin");
    const std::vector<Case> cases = {
        {"copying", "while the copy is written", {}},
        {"copied", "after the copy, before the wipe", {}},
        {"copied", "in the middle of a pass over the original",
         [&orig] {
             int fd = open(orig.c_str(), O_WRONLY);
             std::string zeros(4096, '\0');
             ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), 0), 4096);
             close(fd);
         }},
        {"copied", "after the overwritten original was renamed away",
         [&orig] {
             ASSERT_EQ(truncate(orig.c_str(), 0), 0);
             ASSERT_EQ(rename(orig.c_str(), (orig + "-scrambled").c_str()), 0);
         }},
        {"wiped", "after the wipe", {}},
        {"placed", "after the copy took the name", {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(k.stage) + ": " + k.what);
        contents.clear();
        const std::string content = Pattern(k.what, 200000);
        Make("file.bin", content);
        ASSERT_EQ(CleanAndDieAt(k.stage, k.act), 42);
        // Right after the death the content is under the file's name or the copy's.
        bool found = test::ReadFileBytes(orig) == content;
        for (const std::string& n : Names())
            if (n.find("vr3swt4sd456.rj3") != std::string::npos &&
                n.find(".origin") == std::string::npos)
                found = found || test::ReadFileBytes(P(n)) == content;
        EXPECT_TRUE(found) << "the content must survive somewhere";

        // The next clean of the folder settles the copy first, then cleans the file.
        CDeepCleaner c(*store);
        Configure(c);
        c.reclean = true;
        ASSERT_EQ(Run(c), Outcome::Ok);
        EXPECT_EQ(test::ReadFileBytes(orig), content);
        EXPECT_EQ(FileTimeFromTimespec(Stat("file.bin").st_mtim), c.NewStamp());
        ExpectNoCopiesLeft();
        for (const std::string& n : Names()) {
            if (n == "file.bin") continue;
            EXPECT_EQ(n, "file.bin-scrambled");  // only the renamed-away, half-wiped original
            ASSERT_EQ(unlink(P(n).c_str()), 0);
        }
        ASSERT_EQ(unlink(orig.c_str()), 0);
    }
}

TEST_F(DeepFixture, ACopyWhoseNameWasTakenIsKeptAndAForeignJournalIsNeverActedUpon) {
    const std::string content = Pattern("taken", 50000);
    Make("doc.txt", content);
    const std::string orig = P("doc.txt");
    ASSERT_EQ(CleanAndDieAt("wiped"), 42);
    // Before the next run the user saves a new file under the name.
    ASSERT_TRUE(test::WriteFileBytes(orig, "new document"));
    std::string copyName;
    for (const std::string& n : Names())
        if (n.size() > 16 && n.substr(n.size() - 16) == "vr3swt4sd456.rj3") copyName = n;
    ASSERT_FALSE(copyName.empty());

    CDeepCleaner c(*store);
    Configure(c);
    EXPECT_EQ(RestoreCopies(c), 0);
    EXPECT_EQ(c.copiesKept, 1u);
    EXPECT_EQ(test::ReadFileBytes(orig), "new document");
    EXPECT_EQ(test::ReadFileBytes(P(copyName)), content);
    EXPECT_EQ(Names().count(copyName + ".origin"), 0u);
    EXPECT_NE(LogText().find("Kept the copy of an interrupted deep clean: " + P(copyName)),
              std::string::npos);

    // A journal someone else wrote is never acted upon.
    if (geteuid() != 0) GTEST_SKIP() << "giving the journal another owner needs root";
    Make("victim.txt", "precious");
    Make("5vr3swt4sd456.rj3", "attacker's content");
    const std::string journal =
        "TWDC1\nstate=c\ncopy-ino=" + std::to_string(Stat("5vr3swt4sd456.rj3").st_ino) +
        "\nino=" + std::to_string(Stat("victim.txt").st_ino) +
        "\nuid=0\nbirth=-\nsize=18\natime=1.0\nmtime=1.0\nname=10:victim.txt\n";
    ASSERT_TRUE(test::WriteFileBytes(P("5vr3swt4sd456.rj3.origin"), journal));
    ASSERT_EQ(chown(P("5vr3swt4sd456.rj3.origin").c_str(), 12345, 12345), 0);
    RestoreCopies(c);
    EXPECT_EQ(test::ReadFileBytes(P("victim.txt")), "precious");
    // The same journal written by this user would be acted upon (the copy replaces the
    // original it names, which differs): proof that ownership is what stopped it.
    ASSERT_EQ(chown(P("5vr3swt4sd456.rj3.origin").c_str(), 0, 0), 0);
    RestoreCopies(c);
    EXPECT_EQ(test::ReadFileBytes(P("victim.txt")), "attacker's content");
}

// Killed at moments spread over whole runs, a deep clean loses no file, and the stamp
// it leaves covers only files it cleaned (the old stamp until a run went over the whole
// tree). A file a completed run could not clean is not covered either: the slack wipe
// does not give it the stamp, and the next deep clean takes it up again.
TEST_F(DeepFixture, AKilledProcessLosesNothingAndItsStampCoversOnlyCleanedFiles) {
    for (int i = 0; i < 4; ++i)
        Make("f" + std::to_string(i), Pattern("kill" + std::to_string(i), 1 << 20));
    // The first file a run reaches gets copy number 1, whose name is taken: that file
    // is never cleaned while this blocker is there.
    const std::string blocker = "1vr3swt4sd456.rj3";
    Make(blocker, "someone else's file");
    auto coveredButNotCleaned = [&](const std::map<std::string, ino_t>& before) {
        const FileTime stamp = ReadDeepCleanStamp(*store, root);
        const std::set<uint64_t> notCleaned = ReadNotDeepCleaned(*store, root);
        std::vector<std::string> wrong;
        for (const auto& [name, ino] : before) {
            FileFacts facts;
            const struct stat st = Stat(name);
            facts.ino = st.st_ino;
            facts.nlink = st.st_nlink;
            facts.mtime = st.st_mtim;
            if (CountsAsDeepCleaned(facts, stamp, notCleaned) && st.st_ino == ino)
                wrong.push_back(name);
        }
        return wrong;
    };
    auto inodes = [&] {
        std::map<std::string, ino_t> m;
        for (const auto& [name, content] : contents)
            if (name != blocker) m[name] = Stat(name).st_ino;
        return m;
    };
    // How long a whole run takes here; the kills are spread over that time so that they
    // land in every stage of every file.
    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(StartCleaner(3), &status, 0);
    const auto whole = std::chrono::steady_clock::now() - t0;
    ExpectAllContentsIntact();
    constexpr int kKills = 16;
    for (int k = 0; k < kKills; ++k) {
        const auto delay = whole * k / kKills;
        SCOPED_TRACE(std::chrono::duration_cast<std::chrono::microseconds>(delay).count());
        // No file counts as cleaned when the run starts.
        ClearDeepCleanStamp(*store, root);
        const std::map<std::string, ino_t> before = inodes();
        pid_t pid = StartCleaner(3);
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);

        CDeepCleaner c(*store);
        RestoreCopies(c);
        ExpectAllContentsIntact();
        EXPECT_EQ(coveredButNotCleaned(before), std::vector<std::string>{})
            << "the stamp covers files the killed run never cleaned";
        // What else may be left: an original the wiper renamed away, overwritten and
        // truncated before it could be deleted.
        for (const std::string& n : Names()) {
            if (contents.count(n)) continue;
            EXPECT_EQ(n.find("vr3swt4sd456"), std::string::npos) << "left behind: " << n;
            EXPECT_EQ(test::ReadFileBytes(P(n)).find("A"), std::string::npos)
                << n << " should hold no original data";
            unlink(P(n).c_str());
        }
    }

    // A whole run: every file but the blocked one is cleaned, and covered.
    ClearDeepCleanStamp(*store, root);
    const std::map<std::string, ino_t> before = inodes();
    CDeepCleaner c(*store);
    Configure(c);
    ASSERT_EQ(Run(c), Outcome::Ok);
    EXPECT_EQ(c.filesCleaned, 3u);
    ASSERT_EQ(c.filesNotCleaned, 1u);
    EXPECT_EQ(c.bytesNotCleaned, 1u << 20);
    EXPECT_EQ(coveredButNotCleaned(before), std::vector<std::string>{});
    std::string failed;
    for (const auto& [name, ino] : before)
        if (Stat(name).st_ino == ino) failed = name;
    ASSERT_FALSE(failed.empty());
    EXPECT_NE(LogText().find("Could not deep clean file: " + P(failed) +
                             " File Size: 1048576 (b) Temp file name: " + P(blocker) + "\r"),
              std::string::npos)
        << LogText();
    const timespec failedTime = Stat(failed).st_mtim;
    // The slack wipe gives the stamp to cleaned files only.
    CSlackWiper slack(store.get());
    slack.journalFolder = dir.Path() + "/journal";
    slack.clusterSize = 4096;
    tw::test::TestOperation op;
    ASSERT_EQ(slack.WipeSlacks(op, root, root), Outcome::Ok);
    EXPECT_EQ(Stat(failed).st_mtim.tv_sec, failedTime.tv_sec);
    EXPECT_EQ(Stat(failed).st_mtim.tv_nsec, failedTime.tv_nsec);
    // Once it can be cleaned, the next run (no re-clean) takes it up.
    ASSERT_EQ(unlink(P(blocker).c_str()), 0);
    contents.erase(blocker);
    CDeepCleaner next(*store);
    Configure(next);
    ASSERT_EQ(Run(next), Outcome::Ok);
    EXPECT_EQ(next.filesCleaned, 1u);
    EXPECT_EQ(next.filesUpToDate, 3u);
    EXPECT_NE(Stat(failed).st_ino, before.at(failed));
    ExpectAllContentsIntact();
}

}  // namespace
}  // namespace tw::wipe
