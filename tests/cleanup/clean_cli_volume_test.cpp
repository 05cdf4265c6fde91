// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli clean on scratch NTFS volumes: the plan of a dry run, a real run, pause
// by SIGTSTP (handled, not stopping the process) and the countdown cancelled by Ctrl-C.
// Needs root and /dev/fuse.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "platform/drives.h"
#include "tests/common/background_cli.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using Background = test::BackgroundCli;

class CleanCli : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(test::FsKind::Ntfs);
        ASSERT_TRUE(dir.Ok());
        setenv("TIDEWIPE_CONFIG_HOME", (dir.Path() + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir.Path() + "/data").c_str(), 1);
        marker = dir.Path() + "/powered-off";
        setenv("TIDEWIPE_POWEROFF_COMMAND", ("touch '" + marker + "'").c_str(), 1);
        vol = std::make_unique<test::ScratchVolume>(test::FsKind::Ntfs, 16, "twcli");
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        logs = test::PrivateLogFolder(dir.Path() + "/config");
        ASSERT_EQ(test::RunCli(Home() + "settings set extensiveLogging 1").status, 0);
        ASSERT_EQ(test::RunCli(Home() + "settings set NumOverwrites 1").status, 0);
    }
    std::string Home() const { return "--config-home '" + dir.Path() + "/config' "; }
    std::string Log() {
        std::string all;
        for (const auto& e : fs::directory_iterator(logs)) all += test::ReadFileBytes(e.path());
        return all;
    }
    static int Count(const std::string& hay, const std::string& needle) {
        int n = 0;
        for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
        return n;
    }

    test::TempDir dir{"cleancli"};
    std::unique_ptr<test::ScratchVolume> vol;
    std::string marker, logs;
};

TEST_F(CleanCli, DryRunPlansAndChangesNothing) {
    auto none = test::RunCli(Home() + "clean --yes");
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.err.find("no drive is chosen"), std::string::npos);
    EXPECT_EQ(test::RunCli(Home() + "clean --dry-run").status, 3);  // its plan says so too

    ASSERT_TRUE(test::WriteFileBytes(vol->MountPoint() + "/keep.txt", "keep"));
    auto plan = test::RunCli(Home() + "clean --dry-run --json --drive '" + vol->MountPoint() +
                             "' --task free-space --task slack --task shutdown");
    ASSERT_EQ(plan.status, 0) << plan.err;
    auto j = nlohmann::json::parse(plan.out);
    EXPECT_EQ(j["tasks"], nlohmann::json({"free-space", "slack", "shutdown"}));
    EXPECT_EQ(
        j["plan"],
        "Free space will be cleaned. File slacks will be wiped. The computer will be shut down");
    ASSERT_EQ(j["drives"].size(), 1u);
    EXPECT_EQ(j["drives"][0]["drive"], vol->MountPoint());
    EXPECT_GT(j["drives"][0]["freeSpace"]["freeBytes"].get<uint64_t>(), 0u);
    EXPECT_EQ(j["powerOffCommand"], "touch '" + marker + "'");
    EXPECT_EQ(Log(), "");
    EXPECT_FALSE(fs::exists(marker));
    // Nothing stored either: the one-off tasks are not the manual set.
    EXPECT_EQ(test::RunCli(Home() + "settings get WipeFileSlacks").out, "0\n");

    auto bad = test::RunCli(Home() + "clean --dry-run --drive '" + dir.Path() + "'");
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(
        test::RunCli(Home() + "clean --dry-run --task polish --drive '" + vol->MountPoint() + "'")
            .status,
        2);
    // --scheduled plans the scheduled set on the "sch" drives, never the manual set.
    ASSERT_EQ(test::RunCli(Home() + "settings set 'sch\\" + vol->MountPoint() + "' 1").status, 0);
    ASSERT_EQ(test::RunCli(Home() + "settings set ScheduledDeepClean 1").status, 0);
    auto sched = test::RunCli(Home() + "clean --scheduled --dry-run --json");
    ASSERT_EQ(sched.status, 0) << sched.err;
    j = nlohmann::json::parse(sched.out);
    ASSERT_EQ(j["drives"].size(), 1u);
    EXPECT_EQ(j["drives"][0]["drive"], vol->MountPoint());
    EXPECT_NE(j["tasks"].dump().find("deep-clean"), std::string::npos) << j["tasks"];
    // Without a terminal and without --yes nothing runs.
    auto refused = test::RunCli(Home() + "clean --drive '" + vol->MountPoint() + "' --task slack");
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(Log(), "");
    // A stored drive that is no longer mounted makes the real run fail, and its dry run.
    ASSERT_EQ(test::RunCli(Home() + "settings set 'cfs\\" + dir.Path() + "/gone' 1").status, 0);
    auto gone = test::RunCli(Home() + "clean --dry-run --task slack");
    EXPECT_EQ(gone.status, 1) << gone.out << gone.err;
    EXPECT_NE(gone.out.find(dir.Path() + "/gone  refused: not mounted"), std::string::npos)
        << gone.out;
}

TEST_F(CleanCli, RunsTheStoredManualSet) {
    ASSERT_TRUE(test::WriteFileBytes(vol->MountPoint() + "/a.txt", std::string(100, 'a')));
    ASSERT_EQ(test::RunCli(Home() + "settings set 'cfs\\" + vol->MountPoint() + "' 1").status, 0);
    for (const char* v :
         {"CleanFreeSpace", "WipeDirectoryEntries", "WipeSwapFileOnCleanFreeSpacePage"})
        ASSERT_EQ(test::RunCli(Home() + "settings set " + v + " 0").status, 0);
    ASSERT_EQ(test::RunCli(Home() + "settings set WipeFileSlacks 1").status, 0);
    auto r = test::RunCli(Home() + "clean --manual --yes --json");
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j["drives"].size(), 1u);
    EXPECT_EQ(j["drives"][0]["ran"], nlohmann::json({"slack"}));
    EXPECT_FALSE(j["aborted"].get<bool>());
    EXPECT_EQ(Count(Log(), "Wiped slack in file: " + vol->MountPoint() + "/a.txt"), 1);
    EXPECT_EQ(test::ReadFileBytes(vol->MountPoint() + "/a.txt"), std::string(100, 'a'));
}

TEST_F(CleanCli, SigtstpPausesInsteadOfStopping) {
    const std::string d = vol->MountPoint() + "/many";
    fs::create_directory(d);
    for (int i = 0; i < 400; ++i)
        ASSERT_TRUE(test::WriteFileBytes(d + "/" + std::to_string(1000 + i) + ".txt",
                                         std::string(700, 'x')));
    Background bg({"--config-home", dir.Path() + "/config", "clean", "--yes", "--drive",
                   vol->MountPoint(), "--task", "slack"},
                  dir.Path());
    ASSERT_GT(bg.Pid(), 0);
    ASSERT_TRUE(bg.WaitFor([&] { return Count(Log(), "Wiped slack in file") >= 5; }, 20s));
    kill(bg.Pid(), SIGTSTP);
    std::this_thread::sleep_for(400ms);  // the pause takes hold at the next file
    EXPECT_NE(bg.State(), 'T');          // handled: the process was not stopped
    const int atPause = Count(Log(), "Wiped slack in file");
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(Count(Log(), "Wiped slack in file"), atPause);
    EXPECT_LT(atPause, 400);
    kill(bg.Pid(), SIGCONT);
    EXPECT_EQ(bg.Wait(), 0) << bg.Err();
    EXPECT_EQ(Count(Log(), "Wiped slack in file"), 400);
}

TEST_F(CleanCli, CtrlCCancelsTheShutdownCountdown) {
    Background bg({"--config-home", dir.Path() + "/config", "clean", "--yes", "--drive",
                   vol->MountPoint(), "--task", "shutdown"},
                  dir.Path());
    ASSERT_GT(bg.Pid(), 0);
    ASSERT_TRUE(bg.WaitFor(
        [&] { return bg.Err().find("Shut down in 30 seconds.") != std::string::npos; }, 20s))
        << bg.Err();
    kill(bg.Pid(), SIGINT);
    EXPECT_EQ(bg.Wait(), 0) << bg.Err();
    EXPECT_NE(bg.Out().find("Shutdown cancelled."), std::string::npos);
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace
}  // namespace tw
