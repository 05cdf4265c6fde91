// SPDX-License-Identifier: GPL-3.0-or-later
// The clean-up page in the window, offscreen under a private session bus, on scratch
// NTFS volumes (ntfs-3g mounts of images; root and /dev/fuse, skipped visibly without):
// a clean request running the manual set on the "cfs" drives with the countdown once
// after the last drive; pause at a file boundary, resume, and abort; a start with no
// drive; and the timed clean end to end, from the guard starting the panel to the
// power-off command. The power-off command only records that it ran.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <filesystem>

#include "cleanup/ui/clean_free_space_page.h"
#include "log/activity_log.h"
#include "platform/error.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "shell/startup.h"
#include "shell/ui/countdown_dialog.h"
#include "shell/ui/main_window.h"
#include "shell/ui/ui_text.h"
#include "tests/common/scratch_volume.h"
#include "tests/guard/guard_harness.h"
#include "tests/shell/test_env.h"
#include "tests/ui/ui_test_util.h"
#include "wipe/free_space.h"

namespace {

namespace fs = std::filesystem;
using tw::test::Pump;
using tw::ui::Busy;
using tw::ui::MainWindow;
using tw::wipe::Task;
using tw::wipe::ui::CCleanFreeSpacePage;

// Counts the countdowns it was asked to run and ends each at once (a tick per ms).
class FastTicks : public tw::ui::TickSource {
  public:
    FastTicks() { connect(&timer_, &QTimer::timeout, this, &TickSource::tick); }
    void Start(int) override {
        ++starts;
        timer_.start(1);
    }
    void Stop() override { timer_.stop(); }
    bool Active() const override { return timer_.isActive(); }
    int starts = 0;

  private:
    QTimer timer_;
};

int Count(const std::string& text, const std::string& needle) {
    return static_cast<int>(tw::test::CountOccurrences({text.begin(), text.end()}, needle));
}

// A deleted file whose data lies in clusters of its own (too big to stay in its file
// record): only a free-space clean removes it from the image.
std::string LeaveDeletedSecret(const std::string& mount, const std::string& tag) {
    std::string secret;
    while (secret.size() < 48 * 1024) secret += "TWSECRET-" + tag + "-";
    const std::string path = mount + "/secret.bin";
    EXPECT_TRUE(tw::test::WriteFileBytes(path, secret));
    sync();
    EXPECT_EQ(unlink(path.c_str()), 0);
    sync();
    return "TWSECRET-" + tag + "-TWSECRET-" + tag + "-";
}

// The task switches, scheduled or manual, set to exactly `on` (the defaults would wipe
// this machine's swap).
void StoreTasks(tw::Settings& s, std::initializer_list<Task> on, bool scheduled) {
    tw::wipe::TaskSet set;
    for (Task t : on) set.Set(t, true);
    tw::wipe::StoreTaskSet(s, set, scheduled);
}

class CleanupPageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(world_.Ok());
        marker_ = world_.Sub("powered-off");
        powerOff_ = std::make_unique<tw::test::EnvVar>(
            "TIDEWIPE_POWEROFF_COMMAND", ("echo poweroff >> '" + marker_ + "'").c_str());
        settings_ = panel_.settings.get();
        settings_->Dword("extensiveLogging") = 1;  // a line per file
        StoreTasks(*settings_, {}, false);
        StoreTasks(*settings_, {}, true);
    }

    CCleanFreeSpacePage& Open() {
        window_ = &panel_.Open(true, [](MainWindow::Context& ctx) {
            ctx.openUrl = [](const QString&) { return 33; };
        });
        auto* page = qobject_cast<CCleanFreeSpacePage*>(window_->Page(tw::ui::kCleanupPage));
        page->SetCountdownTicks(&ticks_);
        return *page;
    }
    std::string Log() { return tw::test::LogText(world_.Logs()); }
    int PowerOffs() { return Count(tw::test::ReadFileBytes(marker_), "poweroff"); }

    tw::test::TestWorld world_;
    tw::test::RecordingMessages messages_;
    std::string marker_;
    std::unique_ptr<tw::test::EnvVar> powerOff_;
    tw::test::TestPanel panel_{world_};
    tw::Settings* settings_ = nullptr;
    MainWindow* window_ = nullptr;
    FastTicks ticks_;
};

// Also: closing the window keeps the rows the user changed as the manual set, and only
// those (a timed clean leaves the scheduled set on the page).
TEST_F(CleanupPageTest, NoDriveChosenDoesNotStartAndClosingKeepsTheUsersChoice) {
    StoreTasks(*settings_, {Task::Slack}, true);
    CCleanFreeSpacePage& page = Open();
    window_->ShowPage(tw::ui::kCleanupPage);
    page.SetTasks(tw::wipe::TaskSet{{false, true}});
    page.SetDrives({});
    page.StartButton()->click();
    EXPECT_FALSE(page.Running());
    EXPECT_FALSE(window_->IsBusy(Busy::DriveCleaning));
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].first, tw::ui::Tx<550>());
    // A timed clean with no scheduled drive: nobody is there to answer a message box.
    EXPECT_FALSE(page.Start(tw::wipe::kCleanScheduledForced));
    EXPECT_FALSE(page.Running());
    EXPECT_EQ(messages_.shown.size(), 1u);
    EXPECT_NE(page.StatusText()->text().indexOf(QString::fromUtf8(tw::S<1533>.data())), -1);
    EXPECT_TRUE(page.CheckedTasks()[Task::Slack]);

    auto manual = [&] { return tw::wipe::LoadTaskSet(*settings_, false); };
    ASSERT_TRUE(window_->close());
    EXPECT_FALSE(manual()[Task::Slack]);
    window_->show();  // the page shows the manual set again
    page.TaskList()->item(static_cast<int>(Task::DeepClean))->setCheckState(Qt::Checked);
    ASSERT_TRUE(window_->close());
    EXPECT_TRUE(manual()[Task::DeepClean]);
}

class CleanupPageVolumes : public CleanupPageTest {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(tw::test::FsKind::Ntfs);
        CleanupPageTest::SetUp();
    }
    std::unique_ptr<tw::test::ScratchVolume> Volume(const char* label, uint32_t mib = 16) {
        auto v = std::make_unique<tw::test::ScratchVolume>(tw::test::FsKind::Ntfs, mib, label);
        EXPECT_TRUE(v->Ok()) << v->Error();
        return v;
    }
};

// "Run Clean-up NOW!" sends 0x524 through the window's request path: the manual set on
// the "cfs" drives, whatever the page showed and whatever is scheduled; with the
// shutdown task, one countdown after the last drive, then the power-off.
TEST_F(CleanupPageVolumes, LoopVolumeRunNowRunsTheManualSetOnCfsDrives) {
    auto a = Volume("twpagea"), b = Volume("twpageb");
    ASSERT_TRUE(a->Ok() && b->Ok());
    const std::string secretA = LeaveDeletedSecret(a->MountPoint(), "A");
    const std::string secretB = LeaveDeletedSecret(b->MountPoint(), "B");
    ASSERT_GT(tw::test::CountOccurrences(a->ReadImage(), secretA), 0u);
    ASSERT_TRUE(tw::test::WriteFileBytes(b->MountPoint() + "/kept.txt", std::string(5000, 'k')));
    StoreTasks(*settings_, {Task::FreeSpace, Task::Shutdown}, false);
    StoreTasks(*settings_, {Task::Slack}, true);
    settings_->SetDriveSet(tw::kManualDrives, {a->MountPoint(), b->MountPoint()});
    settings_->SetDriveSet(tw::kScheduledDrives, {b->MountPoint()});

    CCleanFreeSpacePage& page = Open();
    page.Run().settle = std::chrono::milliseconds(0);
    page.SetTasks(tw::wipe::TaskSet{{false, false, true}});  // not what runs
    ASSERT_TRUE(panel_.bus->Broadcast(tw::shell::Message::CleanRequestMessage, 0x524));
    ASSERT_TRUE(Pump([&] { return page.Running(); }, 10000));
    EXPECT_EQ(window_->CurrentPage(), tw::ui::kCleanupPage);
    EXPECT_EQ(page.CheckedTasks(), tw::wipe::LoadTaskSet(*settings_, false));
    ASSERT_TRUE(Pump([&] { return !page.Running() && PowerOffs() > 0; }, 120000)) << Log();
    Pump([] { return false; }, 300);

    const std::string log = Log();
    EXPECT_EQ(Count(log, "Cleaning drive " + a->MountPoint()), 1) << log;
    EXPECT_EQ(Count(log, "Cleaning drive " + b->MountPoint()), 1) << log;
    EXPECT_EQ(Count(log, tw::Str<147>()), 2) << log;
    EXPECT_EQ(Count(log, "slack"), 0) << log;  // the scheduled set did not run
    EXPECT_EQ(Count(log, tw::Str<1633>()), 1) << log;
    EXPECT_GT(log.find(tw::Str<1633>()), log.rfind(tw::Str<147>()));
    EXPECT_EQ(ticks_.starts, 1);
    EXPECT_EQ(PowerOffs(), 1);
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<1630>());
    EXPECT_FALSE(window_->IsBusy(Busy::DriveCleaning));
    EXPECT_TRUE(window_->NavButton(1014)->isEnabled());
    EXPECT_EQ(tw::test::CountOccurrences(a->ReadImage(), secretA), 0u);
    EXPECT_EQ(tw::test::CountOccurrences(b->ReadImage(), secretB), 0u);
    EXPECT_EQ(tw::test::ReadFileBytes(b->MountPoint() + "/kept.txt"), std::string(5000, 'k'));

    // A free-space step that fails and leaves its folder behind: message 118, and the
    // drive's later steps are skipped.
    page.Run().steps.freeSpace = [](const tw::OpContext&, const tw::wipe::CleanupDrive& d, int) {
        fs::create_directories(tw::wipe::TempFolderFor(d.info->mountPoint));
        return -1;
    };
    page.SetTasks(tw::wipe::TaskSet{{false, true, true}});
    page.SetDrives({a->MountPoint()});
    messages_.shown.clear();
    page.StartButton()->click();
    ASSERT_TRUE(Pump([&] { return !page.Running(); }, 60000));
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].first, tw::ui::Tx<118>());
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<1631>());
    EXPECT_EQ(Count(Log(), "Deep cleaned directory"), 0) << Log();
}

// A deep clean paused stops at the next file boundary and shows text 150 until resumed;
// it then cleans every file once. While it runs the window refuses to close and only
// the log can be reached. An abort finishes the current file and logs the closing lines,
// and an aborted clean never counts down to a shutdown.
TEST_F(CleanupPageVolumes, LoopVolumePauseResumeAndAbort) {
    auto a = Volume("twpause", 32);
    ASSERT_TRUE(a->Ok());
    const std::string folder = a->MountPoint() + "/many";
    ASSERT_TRUE(fs::create_directory(folder));
    const int files = 300;
    for (int i = 0; i < files; ++i)
        ASSERT_TRUE(tw::test::WriteFileBytes(folder + "/" + std::to_string(1000 + i) + ".txt",
                                             std::string(4096, static_cast<char>('a' + i % 26))));
    sync();
    CCleanFreeSpacePage& page = Open();
    page.SetTasks(tw::wipe::TaskSet{{false, false, true}});
    page.SetDrives({a->MountPoint()});
    const std::string fileLine = tw::Str<251>() + ": " + folder + "/";
    // The user's click lands right after the fifth file of a run was logged (the run
    // waits for it, so where the click falls is known).
    std::atomic<int> clickAt{5}, clicks{0};
    QPushButton* click = page.PauseButton();
    window_->LogWriter()->SetNotifier([&] {
        if (Count(Log(), fileLine) != clickAt.load()) return;
        clickAt = -1;
        QMetaObject::invokeMethod(
            &page, [click] { click->click(); }, Qt::BlockingQueuedConnection);
        ++clicks;
    });
    page.StartButton()->click();
    ASSERT_TRUE(page.Running());
    ASSERT_TRUE(Pump([&] { return page.Paused(); }, 30000)) << Log();
    EXPECT_EQ(page.PauseButton()->text().toStdString(), tw::Str<158>());
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<150>());

    // Closing and navigating during the run: only the log is left to reach.
    window_->close();
    EXPECT_TRUE(window_->isVisible());
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_EQ(messages_.shown.back().first, tw::ui::Tx<237>());
    EXPECT_FALSE(window_->NavButton(1014)->isEnabled());
    EXPECT_FALSE(window_->OverwriteArrow(true)->isEnabled());
    EXPECT_TRUE(window_->NavButton(1015)->isEnabled());
    window_->ShowPage(tw::ui::kBinPage);  // as a request from the bus would
    EXPECT_NE(window_->CurrentPage(), tw::ui::kBinPage);

    // Paused at the boundary after the fifth file: nothing more is cleaned meanwhile.
    // The drive's activity light still shows the clean under way.
    const int frame = page.Indicator()->Frame();
    EXPECT_NE(frame, -1);
    EXPECT_TRUE(Pump([&] { return page.Indicator()->Frame() != frame; }, 800));
    Pump([] { return false; }, 800);
    EXPECT_EQ(Count(Log(), fileLine), 5);
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<150>());
    page.PauseButton()->click();
    EXPECT_EQ(page.PauseButton()->text().toStdString(), tw::Str<157>());
    ASSERT_TRUE(Pump([&] { return !page.Running(); }, 120000));
    std::string log = Log();
    EXPECT_EQ(Count(log, fileLine), files);  // each file once: resumed at the next one
    EXPECT_EQ(page.Indicator()->Frame(), -1);
    EXPECT_EQ(Count(log, tw::Str<146>()), 1);
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<1630>());

    // Again, every file (they were cleaned before), and the shutdown chosen: aborted
    // after the fifth file.
    click = page.AbortButton();
    clickAt = files + 5;
    page.SetTasks(tw::wipe::TaskSet{{false, false, true, true, false, false, false, true}});
    page.StartButton()->click();
    ASSERT_TRUE(Pump([&] { return clicks.load() == 2; }, 30000)) << Log();
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<461>());
    ASSERT_TRUE(Pump([&] { return !page.Running(); }, 60000));
    log = Log();
    EXPECT_EQ(Count(log, fileLine), files + 5);
    EXPECT_GT(log.rfind(tw::Str<148>()), log.rfind("Cleaning drive ")) << log;
    EXPECT_EQ(Count(log, tw::Str<146>()), 1);
    EXPECT_EQ(page.StatusText()->text().toStdString(), tw::Str<1631>());
    EXPECT_EQ(ticks_.starts, 0);
    EXPECT_EQ(PowerOffs(), 0);
    EXPECT_FALSE(window_->IsBusy(Busy::DriveCleaning));
}

// The timed clean end to end: the guard, with a one-time schedule a few seconds ahead,
// starts the panel with "-cfs"; the panel checks the request, runs the scheduled set on
// the "sch" drive, counts down once and runs the power-off command (which here ends the
// panel as a real power-off would).
TEST(CleanupScheduled, LoopVolumeGuardStartsThePanelWhichCleansAndPowersOff) {
    TW_REQUIRE_BUS();
    TW_REQUIRE_SCRATCH(tw::test::FsKind::Ntfs);
    tw::test::GuardWorld w;
    ASSERT_TRUE(w.Ok());
    tw::test::ScratchVolume vol(tw::test::FsKind::Ntfs, 16, "twtimed");
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string secret = LeaveDeletedSecret(vol.MountPoint(), "T");
    ASSERT_GT(tw::test::CountOccurrences(vol.ReadImage(), secret), 0u);

    const std::string marker = w.World().Sub("powered-off");
    tw::test::EnvVar powerOff("TIDEWIPE_POWEROFF_COMMAND",
                              ("echo poweroff >> '" + marker + "'; kill $PPID").c_str());
    tw::test::EnvVar platform("QT_QPA_PLATFORM", "offscreen");
    tw::test::EnvVar display("DISPLAY", ":97");  // the offscreen panel needs none
    {
        tw::Settings s(w.Store());
        StoreTasks(s, {}, false);
        StoreTasks(s, {Task::FreeSpace, Task::Shutdown}, true);
        s.SetDriveSet(tw::kScheduledDrives, {vol.MountPoint()});
        s.Dword("SaveToLogfile") = 1;
    }
    auto g = w.StartGuard();
    ASSERT_TRUE(w.WaitUp(*g)) << g->Stderr();
    w.ScheduleIn(3);
    ASSERT_TRUE(w.Bus().Broadcast(tw::shell::Message::SettingsChangedMessage, 1));
    // The clean, the 30-second countdown, the power-off.
    const bool ran = tw::test::WaitUntil([&] { return access(marker.c_str(), F_OK) == 0; }, 150000);
    uint64_t panel = 0;
    const bool panelLeft = tw::test::WaitUntil(
        [&] {
            return !tw::shell::CInstanceChecker::InstanceRunning(tw::shell::kPanelInstanceName, "",
                                                                 &panel);
        },
        10000);
    if (!panelLeft && panel > 0) kill(static_cast<pid_t>(panel), SIGKILL);
    const std::string log = w.LogText();
    ASSERT_TRUE(ran) << g->Stderr() << log;
    EXPECT_TRUE(panelLeft);
    EXPECT_EQ(Count(log, "Cleaning drive " + vol.MountPoint()), 1) << log;
    EXPECT_EQ(Count(log, tw::Str<147>()), 1) << log;
    EXPECT_EQ(Count(log, tw::Str<1633>()), 1) << log;
    EXPECT_EQ(Count(log, tw::TextWith(tw::TextId<1635>,
                                      ("echo poweroff >> '" + marker + "'; kill $PPID"))),
              1)
        << log;
    EXPECT_EQ(Count(tw::test::ReadFileBytes(marker), "poweroff"), 1);
    EXPECT_EQ(tw::test::CountOccurrences(vol.ReadImage(), secret), 0u);
}

}  // namespace
