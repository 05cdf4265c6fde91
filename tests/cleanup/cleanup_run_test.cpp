// SPDX-License-Identifier: GPL-3.0-or-later
// The clean-up run without a volume: refused drives, one-off choices, duplicate drives
// and the power-off command (the countdown here is cancelled at its first second). And
// the proceed/cancel dialog that is not the shutdown's. The shutdown countdown's texts
// and its proceeding after 30 ticks are the whole runs' (cleanup_run_volume_test,
// clean_cli_volume_test, a Ctrl-C cancelling it there); which
// sets a request code loads, and a run with no drive, are the panel's
// (tests/ui/cleanup_page_test) and the CLI's (clean_cli_volume_test).
#include "cleanup/countdown.h"
#include "platform/strings.h"
#include "tests/cleanup/cleanup_fixture.h"

namespace tw::wipe {
namespace {

class CleanupRun : public test::CleanupFixture {};

TEST_F(CleanupRun, UnmountedDriveIsRefusedAndRowsBecomeTheManualSet) {
    run->tasks.Set(Task::Slack, true);
    run->tasks.Set(Task::Shutdown, true);
    // No drive: nothing starts, nothing is logged, and the next start is not held up.
    ASSERT_FALSE(Start(kCleanPageStart).started);
    run->drives = {"/nonexistent/tw-drive"};
    settings->Dword("CleanFreeSpace") = 1;
    cancelCountdown = true;
    const CleanupSummary s = Start(kCleanPageStart);
    ASSERT_TRUE(s.started);
    ASSERT_EQ(s.drives.size(), 1u);
    EXPECT_EQ(s.drives[0].refusal, "not mounted");
    EXPECT_FALSE(s.drives[0].cleaned);
    EXPECT_EQ(LogLines(),
              std::vector<std::string>{"Drive /nonexistent/tw-drive skipped: not mounted"});
    // No step ran, no abort: the shutdown is still offered, and here cancelled.
    EXPECT_EQ(events, std::vector<std::string>{"countdown"});
    EXPECT_FALSE(s.shutdownProceeded);
    EXPECT_EQ(s.powerOffStatus, -1);
    EXPECT_EQ(settings->ReadWithDefault("WipeFileSlacks"), 1u);
    EXPECT_EQ(settings->ReadWithDefault("CleanFreeSpace"), 0u);
    EXPECT_EQ(settings->ReadWithDefault("shutdownafterCFS"), 1u);

    // One-off choices (the CLI's) run like the page's rows but are not stored.
    CleanupRequest request;
    request.tasks.emplace();
    request.tasks->Set(Task::DeepClean, true);
    request.drives = std::vector<std::string>{"/nonexistent/tw-drive"};
    const uint32_t code = SetUpRun(*run, request);
    EXPECT_TRUE(run->tasks[Task::DeepClean] && !run->tasks[Task::Slack]);
    EXPECT_TRUE(Start(code).started);
    EXPECT_EQ(settings->ReadWithDefault("DeepClean"), 0u);
    EXPECT_EQ(settings->ReadWithDefault("WipeFileSlacks"), 1u);
}

// The command chosen is the CLI's plan's (clean_cli_volume_test), run through the shell
// by the whole run's (cleanup_run_volume_test); a failing one's status comes back.
TEST_F(CleanupRun, DriveChosenTwiceIsPlannedOnceAndThePowerOffStatusComesBack) {
    for (const auto& info : kTasks) run->tasks.Set(info.task, true);
    run->drives = {"/nonexistent/a", "/nonexistent/a"};
    EXPECT_EQ(run->Plan(kCleanPageStart).drives.size(), 1u);
    EXPECT_EQ(CCleanupRun::RunPowerOffCommand("exit 3"), 3);
}

// A dialog that does not proceed on its time-out cancels there; one without seconds never
// ends by itself.
TEST(Countdown, OnlyTheShutdownProceedsOnTimeout) {
    CProceedCancelDialog plain;
    plain.prefix = "Closing in";
    plain.suffix = "s";
    plain.seconds = 2;
    plain.Init();
    EXPECT_EQ(plain.Tick(), CProceedCancelDialog::Result::Running);
    EXPECT_EQ(plain.Tick(), CProceedCancelDialog::Result::Cancel);
    CProceedCancelDialog noTimer;
    noTimer.Init();
    EXPECT_FALSE(noTimer.TimerRunning());
    EXPECT_EQ(noTimer.StaticText(), "");
    EXPECT_EQ(noTimer.Tick(), CProceedCancelDialog::Result::Running);
}

}  // namespace
}  // namespace tw::wipe
