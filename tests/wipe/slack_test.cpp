// SPDX-License-Identifier: GPL-3.0-or-later
// File slack wiping on files in a temporary folder: the slack arithmetic, the passes
// that reach the file (seen through the pass observer and by reading the file back
// after each pass), the time rules, refusals and dying mid-wipe. The fixed passes on
// the disk are slack_volume_test's; the drive walk's counts and log lines are the
// CLI's (slack_cli_test) and the clean-up run's (cleanup_run_volume_test).
#include "wipe/slack.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "log/activity_log.h"
#include "tests/common/recording_sink.h"
#include "tests/common/scratch_volume.h"
#include "wipe/deep_clean.h"
#include "wipe/free_space.h"

namespace tw::wipe {
namespace {

constexpr uint32_t kCluster = 4096;

struct SlackFixture : ::testing::Test {
    test::TempDir dir{"slack"};
    std::unique_ptr<RegistryStore> store;
    std::string logFolder;
    log::CActivityLogFile logFile;

    void SetUp() override {
        ASSERT_TRUE(dir.Ok());
        store = std::make_unique<RegistryStore>(dir.Path() + "/registry.db");
        logFolder = dir.Path() + "/logs";
        ASSERT_EQ(mkdir(logFolder.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((dir.Path() + "/files").c_str(), 0700), 0);
        logFile.SetFolder(logFolder);
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
        w.logOn = w.detailLog = true;
        w.logWriter = &logFile;
        w.journalFolder = dir.Path() + "/journal";
        return w;
    }
    std::string LogText() { return test::ReadFileBytes(logFile.GetTodaysFileName()); }
};

struct Pass {
    std::vector<uint8_t> written;  // what the observer was given
    std::string onDisk;            // the file's bytes past its end right after the pass
};

// Records each pass, and reads the slack region back through a separate descriptor
// (the wiper must then hold the file by its locks only, see CSlackWiper::useLease).
SlackPassObserver Recorder(const std::string& path, uint64_t size, std::vector<Pass>* out) {
    return [path, size, out](int pass, const uint8_t* data, size_t n) {
        EXPECT_EQ(pass, static_cast<int>(out->size()));
        Pass p;
        p.written.assign(data, data + n);
        int fd = open(path.c_str(), O_RDONLY);
        p.onDisk.resize(n);
        EXPECT_EQ(pread(fd, p.onDisk.data(), n, static_cast<off_t>(size)), static_cast<ssize_t>(n));
        close(fd);
        out->push_back(std::move(p));
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

// An empty file and one of whole clusters have no slack: nothing is written, and the
// latter is logged as such. A one-byte file gets the rest of its cluster written.
TEST_F(SlackFixture, OnlyTheEndOfTheLastClusterIsWritten) {
    Make("whole.bin", std::string(8192, 'w'));
    Make("empty", "");
    const struct stat before = Stat("whole.bin");
    for (const char* name : {"whole.bin", "empty"}) {
        CSlackWiper w = Wiper(3);
        int passes = 0;
        w.passObserver = [&](int, const uint8_t*, size_t) { ++passes; };
        EXPECT_TRUE(
            w.WipeFileSlack(Folder(), name, Stat(name).st_size, false, false, false, Folder()));
        EXPECT_EQ(passes, 0) << name;
        EXPECT_TRUE(w.lastRecord.noSlack) << name;
    }
    const struct stat after = Stat("whole.bin");
    EXPECT_EQ(after.st_size, 8192);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(Stat("empty").st_size, 0);
    EXPECT_NE(LogText().find("No slack to wipe in file: " + PathOf("whole.bin") +
                             " File Size: 8192 (b) Cluster size: 4096 Number Of Clusters: 2\r"),
              std::string::npos)
        << LogText();

    for (int n : {1, 2}) {
        SCOPED_TRACE(n);
        Make("one", "x", {1234567890, 987654321});
        std::vector<Pass> passes;
        CSlackWiper w = Wiper(n);
        w.useLease = false;
        w.passObserver = Recorder(PathOf("one"), 1, &passes);
        ASSERT_TRUE(w.WipeFileSlack(Folder(), "one", 1, false, false, false, Folder()));
        // N = 1: one zero pass. N = 2: 00, then the last pass (zeros), then the extra one.
        ASSERT_EQ(passes.size(), n == 1 ? 1u : 3u);
        for (const Pass& p : passes) EXPECT_EQ(p.written.size(), 4095u);
        EXPECT_TRUE(AllBytes(passes.back().written, 0x00));
        const struct stat st = Stat("one");
        EXPECT_EQ(test::ReadFileBytes(PathOf("one")), "x");
        EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
        EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
    }
}

TEST_F(SlackFixture, RandomPassesAreComplementsAndTheLastTwoAreZeros) {
    Make("rnd", std::string(100, 'r'));
    std::vector<Pass> passes;
    CSlackWiper w = Wiper(4);
    w.useLease = false;
    w.passObserver = Recorder(PathOf("rnd"), 100, &passes);
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "rnd", 100, true, false, false, Folder()));
    ASSERT_EQ(passes.size(), 5u);
    const auto& a = passes[0].written;
    const auto& b = passes[1].written;
    ASSERT_EQ(a.size(), 3996u);
    bool varied = false;
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(static_cast<uint8_t>(a[i] ^ 0xFF), b[i]) << i;
        if (a[i] != a[0]) varied = true;
    }
    EXPECT_TRUE(varied) << "pass 1 should be random data, not one repeated byte";
    EXPECT_FALSE(AllBytes(passes[2].written, 0x00)) << "pass 3 is random, not the last pass";
    EXPECT_TRUE(AllBytes(passes[3].written, 0x00));
    EXPECT_TRUE(AllBytes(passes[4].written, 0x00));
    EXPECT_EQ(test::ReadFileBytes(PathOf("rnd")), std::string(100, 'r'));
}

TEST_F(SlackFixture, DeepCleanStampBecomesTheTimeOfFilesNotModifiedSince) {
    const FileTime stamp = FileTimeFromTimespec({1600000000, 500000000});
    ASSERT_TRUE(WriteDeepCleanStamp(*store, Folder(), stamp));
    Make("old", "old", {1500000000, 0});      // before the stamp
    Make("newer", "newer", {1700000000, 7});  // modified after the stamp
    Make("own", "own", {1500000000, 0});
    CSlackWiper w = Wiper(1);
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "old", 3, false, false, false, Folder()));
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "newer", 5, false, false, false, Folder()));
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "own", 3, false, false, true, Folder()));
    EXPECT_EQ(FileTimeFromTimespec(Stat("old").st_mtim), stamp);
    EXPECT_EQ(Stat("newer").st_mtim.tv_sec, 1700000000);
    EXPECT_EQ(Stat("newer").st_mtim.tv_nsec, 7);
    EXPECT_EQ(Stat("own").st_mtim.tv_sec, 1500000000);
    // Another drive's stamp does not apply.
    Make("other", "other", {1500000000, 0});
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "other", 5, false, false, false, "/elsewhere"));
    EXPECT_EQ(Stat("other").st_mtim.tv_sec, 1500000000);
}

TEST_F(SlackFixture, LockedFileIsLeftAloneAndLoggedAsNotWiped) {
    Make("locked", "abc");
    int holder = open(PathOf("locked").c_str(), O_RDONLY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    CSlackWiper w = Wiper(1);
    int passes = 0;
    w.passObserver = [&](int, const uint8_t*, size_t) { ++passes; };
    EXPECT_FALSE(w.WipeFileSlack(Folder(), "locked", 3, false, false, false, Folder()));
    close(holder);
    EXPECT_EQ(passes, 0);
    EXPECT_EQ(w.filesFailed, 1u);
    EXPECT_NE(LogText().find("Could not wipe slack in file: " + PathOf("locked") +
                             " File Size: 3 (b) Cluster size: 4096 Number Of Clusters: 1 "
                             "Total slack wiped: 4093 (b)"),
              std::string::npos)
        << LogText();
}

TEST_F(SlackFixture, FileThatGrewSinceItWasListedKeepsItsNewEnd) {
    const std::string content(6000, 'g');
    Make("grew", content);
    CSlackWiper w = Wiper(2);
    // The caller saw 10 bytes; the file has 6000 by now.
    ASSERT_TRUE(w.WipeFileSlack(Folder(), "grew", 10, false, false, false, Folder()));
    EXPECT_EQ(test::ReadFileBytes(PathOf("grew")), content);
    EXPECT_EQ(w.lastRecord.fileSize, 6000u);
    EXPECT_EQ(w.lastRecord.slackLength, 2192u);
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
// again and again: no line may be lost, and no zero byte may appear between lines.
TEST_F(SlackFixture, LinesAppendedWhileTheSlackIsWipedAreNeverCutOff) {
    Make("reopened.log", "start\n");
    Make("held.log", "start\n");
    constexpr int kLines = 1500;
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const int held = open(PathOf("held.log").c_str(), O_WRONLY | O_APPEND);
        for (int i = 0; i < kLines; ++i) {
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
    while (waitpid(writer, &status, WNOHANG) == 0) {
        w.WipeFileSlack(Folder(), "reopened.log", 0, false, false, true, Folder());
        w.WipeFileSlack(Folder(), "held.log", 0, false, false, true, Folder());
        ++rounds;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(w.filesWiped, 0u) << "the slack of a file between two lines is still wiped";
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

}  // namespace
}  // namespace tw::wipe
