// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel as a user meets it: pages and banners, the close refusals, the
// overwrite level, the guard button against a real guard, the status tiles against
// the real settings store, drive lists that follow mounts, the shutdown countdown, the
// link failure texts, the single panel, and the worker that runs engine calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QThread>
#include <QToolButton>
#include <chrono>
#include <fstream>
#include <thread>

#include "controls/banner.h"
#include "controls/drive_picker.h"
#include "controls/hyperlink.h"
#include "log/ui/activity_log_page.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "scheduler/schedule.h"
#include "shell/startup.h"
#include "shell/ui/countdown_dialog.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/status_actions.h"
#include "shell/ui/status_page.h"
#include "shell/ui/ui_text.h"
#include "tests/common/background_cli.h"
#include "tests/common/scratch_volume.h"
#include "tests/shell/test_env.h"
#include "tests/ui/ui_test_util.h"

namespace {

using tw::test::Pump;

using tw::ui::Busy;
using tw::ui::MainWindow;

class PanelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(world_.Ok());
    }

    // A window over a fresh store; `guardPath` "" = a guard file that does not exist.
    MainWindow& Open(std::string guardPath = "", bool watchMounts = false) {
        panel_ = std::make_unique<tw::test::TestPanel>(world_);
        MainWindow& w = panel_->Open(true, [&](MainWindow::Context& ctx) {
            if (!guardPath.empty()) ctx.guardPath = guardPath;
            ctx.openUrl = [this](const QString& url) {
                opened_ << url;
                return tw::controls::kOpenedOk;
            };
            ctx.helpFolder = QStringLiteral(TW_HELP_DIR);
            ctx.watchMounts = watchMounts;
        });
        store_ = panel_->store.get();
        settings_ = panel_->settings.get();
        window_ = &w;
        return w;
    }
    uint32_t Stored(const char* name) { return panel_->Stored(name); }

    tw::test::TestWorld world_;
    tw::test::RecordingMessages messages_;
    std::unique_ptr<tw::test::TestPanel> panel_;
    tw::RegistryStore* store_ = nullptr;
    tw::Settings* settings_ = nullptr;
    MainWindow* window_ = nullptr;
    QStringList opened_;
};

TEST_F(PanelTest, NavigationShowsEveryPageWithItsBannerAndItsOwnButtonRefreshes) {
    MainWindow& w = Open();
    EXPECT_EQ(w.CurrentPage(), tw::ui::kStatusPage);
    EXPECT_EQ(w.GetBanner()->Title(), tw::ui::Tx<105>().trimmed());
    EXPECT_EQ(w.GetBanner()->Caption(), tw::ui::Tx<379>().trimmed());
    const struct {
        int command, page;
        QString title;
    } visible[] = {
        {1015, tw::ui::kLogPage, tw::ui::Tx<111>()},
        {2069, tw::ui::kAnalysisPage, tw::ui::Tx<123>()},
        {1019, tw::ui::kBinPage, tw::ui::Tx<257>()},
        {1053, tw::ui::kSchedulePage, tw::ui::Tx<475>()},
        {1014, tw::ui::kStatusPage, tw::ui::Tx<105>()},
    };
    for (const auto& v : visible) {
        QAbstractButton* b = w.NavButton(v.command);
        ASSERT_TRUE(b && b->isVisible()) << v.command;
        b->click();
        EXPECT_EQ(w.CurrentPage(), v.page) << v.command;
        EXPECT_EQ(w.GetBanner()->Title(), v.title.trimmed()) << v.command;
        EXPECT_TRUE(w.Page(v.page)->isVisible()) << v.command;
    }
    for (int hidden : {1054, 2070, 2071, 2072, 2073})
        EXPECT_FALSE(w.NavButton(hidden)->isVisible()) << hidden;
    // The hidden pages still have their banners.
    w.ShowPage(tw::ui::kJunkPage);
    EXPECT_EQ(w.GetBanner()->Title(), QStringLiteral("Junk File & Link Cleanup"));
    w.ShowPage(tw::ui::kCleanupPage);
    EXPECT_EQ(w.GetBanner()->Title(), tw::ui::Tx<108>());

    // Logging switched off behind the window's back: pressing the log page's own button
    // again re-reads it, and stays on the page.
    w.NavButton(1015)->click();
    EXPECT_EQ(w.GetBanner()->Caption(), tw::ui::Tx<386>());
    store_->WriteDword(tw::ProgramKey(), "SaveToLogfile", 0);
    w.NavButton(1015)->click();
    EXPECT_EQ(w.CurrentPage(), tw::ui::kLogPage);
    EXPECT_EQ(w.GetBanner()->Caption(), tw::ui::Tx<387>());
    // While a clean runs only its view and the log can be reached.
    w.SetBusy(Busy::DriveCleaning, true);
    w.NavButton(1053)->click();
    EXPECT_EQ(w.CurrentPage(), tw::ui::kCleanupPage);
    EXPECT_EQ(w.GetBanner()->Title(), tw::ui::Tx<108>());
    EXPECT_FALSE(w.NavButton(1014)->isEnabled());
    EXPECT_FALSE(w.NavButton(1019)->isEnabled());
    EXPECT_TRUE(w.NavButton(1015)->isEnabled());
    w.NavButton(1015)->click();
    EXPECT_EQ(w.CurrentPage(), tw::ui::kLogPage);
    EXPECT_TRUE(w.NavButton(1053)->isEnabled());
    EXPECT_FALSE(w.NavButton(2069)->isEnabled());
    w.SetBusy(Busy::DriveCleaning, false);
    // Help opens at the page's topic.
    w.OpenHelp();
    ASSERT_EQ(opened_.size(), 1);
    EXPECT_TRUE(opened_[0].endsWith(QStringLiteral("/log.html"))) << opened_[0].toStdString();
}

TEST_F(PanelTest, ClosingIsRefusedInTheFlagsOrderAndKeysNeverClose) {
    MainWindow& w = Open();
    w.SetBusy(Busy::BinRestoring, true);
    EXPECT_FALSE(w.close());
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown.back().first, tw::ui::Tx<356>());
    EXPECT_EQ(messages_.shown.back().second, tw::ui::Tx<102>());
    w.SetBusy(Busy::DriveCleaning, true);
    EXPECT_FALSE(w.close());
    EXPECT_EQ(messages_.shown.back().first, tw::ui::Tx<237>());
    w.SetBusy(Busy::DriveCleaning, false);
    w.SetBusy(Busy::BinRestoring, false);
    w.SetBusy(Busy::Other, true);
    EXPECT_FALSE(w.close());
    EXPECT_EQ(messages_.shown.size(), 2u);  // the ninth flag refuses silently
    w.SetBusy(Busy::Other, false);

    for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(w.GuardButton(), &press);
        QApplication::sendEvent(&w, &press);
    }
    QApplication::processEvents();
    EXPECT_TRUE(w.isVisible());
    // The close button stores the manual task set and closes.
    store_->DeleteValue(tw::ProgramKey(), "CleanFreeSpace");
    w.CloseButton()->click();
    EXPECT_FALSE(w.isVisible());
    EXPECT_EQ(Stored("CleanFreeSpace"), 1u);
}

TEST_F(PanelTest, OverwriteArrowsStopAtOneAndSevenAndStoreTheLevel) {
    MainWindow& w = Open();
    for (int i = 0; i < 10; ++i) w.OverwriteArrow(false)->click();
    EXPECT_EQ(w.OverwriteLevel(), 1);
    EXPECT_EQ(Stored("NumOverwrites"), 1u);
    EXPECT_FALSE(w.StepOverwriteLevel(-1));
    for (int i = 0; i < 10; ++i) w.OverwriteArrow(true)->click();
    EXPECT_EQ(w.OverwriteLevel(), 7);
    EXPECT_EQ(Stored("NumOverwrites"), 7u);
    // Refused while a wipe runs; an analysis does not hold it.
    w.SetBusy(Busy::SlackWiping, true);
    EXPECT_FALSE(w.StepOverwriteLevel(-1));
    w.SetBusy(Busy::SlackWiping, false);
    w.SetBusy(Busy::DriveAnalysis, true);
    EXPECT_TRUE(w.StepOverwriteLevel(-1));
    EXPECT_EQ(Stored("NumOverwrites"), 6u);
}

TEST_F(PanelTest, GuardButtonFollowsARealGuardStartedAndStopped) {
    MainWindow& w = Open(TW_SENTREL);
    EXPECT_EQ(w.GuardButton()->text(), tw::ui::Tx<212>());
    w.GuardButton()->click();
    ASSERT_TRUE(Pump([&] { return w.GuardActive(); }, 15000)) << "the guard never said it runs";
    EXPECT_EQ(w.GuardButton()->text(), tw::ui::Tx<238>());
    EXPECT_EQ(w.GetBanner()->Caption(), tw::ui::Tx<378>().trimmed());
    w.GuardButton()->click();
    EXPECT_TRUE(Pump([&] { return !w.GuardActive(); }, 15000)) << "the guard never said it stopped";
    EXPECT_EQ(w.GuardButton()->text(), tw::ui::Tx<212>());
}

TEST_F(PanelTest, StatusTilesActOnTheStoreTheAutostartEntryAndTheSchedule) {
    MainWindow& w = Open();
    tw::ui::StatusPage* page = w.Status();
    using Tile = tw::ui::StatusPage::Tile;
    const std::string entry = world_.Sub("config/autostart/TidewipeMemoryResident.desktop");

    // The guard's autostart: on by default; off removes the entry, on writes it with
    // the install folder.
    ASSERT_TRUE(page->TileOf(Tile::LoadOnStartup)->IsOn());
    page->TileOf(Tile::LoadOnStartup)->click();
    EXPECT_FALSE(page->TileOf(Tile::LoadOnStartup)->IsOn());
    EXPECT_EQ(Stored("LoadCorselWhenWindowsStarts"), 0u);
    EXPECT_NE(access(entry.c_str(), F_OK), 0);
    page->TileOf(Tile::LoadOnStartup)->click();
    EXPECT_TRUE(page->TileOf(Tile::LoadOnStartup)->IsOn());
    std::ifstream in(entry);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Exec=\"" + world_.Path() + "/sentrel\""), std::string::npos) << text;
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u) << text;

    // Auto-wiping with the guard's file missing: message 103, the tile stays off, the
    // setting is not switched on.
    page->TileOf(Tile::AutoWiping)->click();
    ASSERT_FALSE(messages_.shown.empty());
    EXPECT_EQ(messages_.shown.back().first, tw::ui::Tx<103>());
    EXPECT_FALSE(page->TileOf(Tile::AutoWiping)->IsOn());
    EXPECT_EQ(Stored("EnableSecureDeletion"), 0u);

    // Timed cleaning with a drive chosen but no valid schedule: refused, off.
    settings_->SetDriveSet(tw::kScheduledDrives, {world_.Path()});
    page->TileOf(Tile::TimedCleaning)->click();
    EXPECT_EQ(messages_.shown.back().first, tw::ui::Tx<538>());
    EXPECT_FALSE(page->TileOf(Tile::TimedCleaning)->IsOn());
    EXPECT_EQ(tw::sched::SchedulerActive(*store_), 0u);

    // Logging off carries to every log category and clears extensive logging.
    store_->WriteDword(tw::ProgramKey(), "logAutoWiping", 1);
    settings_->Dword("extensiveLogging") = 1;
    page->TileOf(Tile::Logging)->click();
    EXPECT_FALSE(page->TileOf(Tile::Logging)->IsOn());
    EXPECT_EQ(Stored("SaveToLogfile"), 0u);
    EXPECT_EQ(Stored("logAutoWiping"), 0u);
    EXPECT_EQ(Stored("extensiveLogging"), 0u);
    EXPECT_TRUE(page->NextCleanLine()->text().startsWith(tw::ui::Tx<484>() + ": "));
    // The switch is one: the log page shows the tile's change, and its own button
    // switches the tile back on.
    auto* logButton = w.LogPage()->Button(tw::log::ui::CActivityLogPage::kLogging);
    EXPECT_EQ(logButton->text(), tw::ui::Tx<560>());
    logButton->click();
    EXPECT_TRUE(page->TileOf(Tile::Logging)->IsOn());
    EXPECT_EQ(Stored("SaveToLogfile"), 1u);
    EXPECT_EQ(Stored("logAutoWiping"), 1u);
}

TEST_F(PanelTest, CountdownRunsFromThirtyToZeroAndCancelStopsIt) {
    class ManualTicks : public tw::ui::TickSource {
      public:
        void Start(int) override { active = true; }
        void Stop() override { active = false; }
        bool Active() const override { return active; }
        void Fire() {
            if (active) emit tick();
        }
        bool active = false;
    };
    ManualTicks ticks[2];
    tw::ui::cProceedCancelDialog d(nullptr, &ticks[0]), cancelled(nullptr, &ticks[1]);
    for (auto* dialog : {&d, &cancelled}) {
        dialog->SetUpShutdown();
        dialog->show();
    }
    auto* label = d.findChild<QLabel*>();
    EXPECT_EQ(label->text(), QStringLiteral("Shut down in 30 seconds."));
    EXPECT_EQ(d.ProceedButton()->text(), tw::ui::Tx<567>());
    for (int i = 0; i < 29; ++i) ticks[0].Fire();
    EXPECT_EQ(label->text(), QStringLiteral("Shut down in 1 seconds."));
    EXPECT_EQ(d.result(), 0);
    ticks[0].Fire();
    EXPECT_EQ(label->text(), QStringLiteral("Shut down in"));
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_FALSE(ticks[0].Active());

    for (int i = 0; i < 5; ++i) ticks[1].Fire();
    cancelled.CancelButton()->click();
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    for (int i = 0; i < 30; ++i) ticks[1].Fire();
    EXPECT_EQ(cancelled.result(), QDialog::Rejected);
    EXPECT_EQ(cancelled.seconds, 25);
}

TEST_F(PanelTest, HyperlinkFailuresSayWhy) {
    tw::controls::Hyperlink link(QStringLiteral("x"));
    QStringList reported;
    int code = 26;
    link.SetOpener([&](const QString&) { return code; });
    link.SetReporter([&](const QString& text) { reported << text; });
    for (const auto& [failure, why] :
         {std::pair{26, "A sharing violation occurred. "},
          {1, "Unknown Error (1) occurred."},
          {0, "The operating system is out\nof memory or resources."}}) {
        code = failure;
        EXPECT_FALSE(link.Open());
        EXPECT_EQ(reported.value(reported.size() - 1),
                  QStringLiteral("Can't open hyperlink:\n\n") + why);
    }
    code = tw::controls::kOpenedOk;
    EXPECT_TRUE(link.Open());
    EXPECT_EQ(reported.size(), 3);
    EXPECT_TRUE(link.Visited());
}

// The panel program with the test's environment (offscreen, from the tests' main).
TEST_F(PanelTest, ASecondPanelEndsSilently) {
    tw::test::BackgroundCli first(TW_PANEL, {}, world_.Sub("first.out"), world_.Sub("first.err"));
    ASSERT_GT(first.Pid(), 0);
    ASSERT_TRUE(
        tw::test::WaitUntil([] { return tw::shell::CInstanceChecker::InstanceRunning(); }, 20000));
    // A message box would keep the second panel waiting for a click.
    tw::test::BackgroundCli second(TW_PANEL, {}, world_.Sub("second.out"),
                                   world_.Sub("second.err"));
    EXPECT_EQ(second.ExitWithin(std::chrono::seconds(10)), 0);
    EXPECT_EQ(first.ExitWithin(std::chrono::milliseconds(0)), -1) << "the first panel ended";
    kill(first.Pid(), SIGTERM);
    first.Wait();
    // The first panel started the guard on the private bus: stop it.
    tw::shell::MessageBus bus;
    bus.Broadcast(tw::shell::Message::GuardStopMessage, 1);
}

TEST_F(PanelTest, OperationRunnerDeliversProgressOnTheWindowThreadStopsAndFinishes) {
    tw::ui::OperationRunner runner;
    runner.SetInterval(std::chrono::milliseconds(0));
    tw::ui::ProgressPanel panel;
    panel.Bind(&runner);
    QThread* windowThread = QThread::currentThread();
    bool progressOnWindowThread = true;
    QObject::connect(&runner, &tw::ui::OperationRunner::posChanged, [&](int, qint64) {
        progressOnWindowThread &= QThread::currentThread() == windowThread;
    });
    std::optional<std::pair<QVariant, bool>> done;
    QObject::connect(&runner, &tw::ui::OperationRunner::finished,
                     [&](const QVariant& r, bool stopped) { done.emplace(r, stopped); });
    ASSERT_TRUE(runner.Start([](const tw::OpContext& op) {
        op.SetRange(tw::ProgressSink::Overall, 0, 10);
        op.SetPos(tw::ProgressSink::Overall, 5);
        op.Status("half way");
        while (op.WaitFor(std::chrono::milliseconds(5))) {
        }
        return QVariant(42);
    }));
    EXPECT_FALSE(runner.Start([](const tw::OpContext&) { return QVariant(); }));
    ASSERT_TRUE(
        Pump([&] { return panel.StatusLine()->text() == QStringLiteral("half way"); }, 5000));
    EXPECT_EQ(panel.Bar(tw::ProgressSink::Overall)->value() * 2,
              panel.Bar(tw::ProgressSink::Overall)->maximum());
    panel.StopButton()->click();
    ASSERT_TRUE(Pump([&] { return done.has_value(); }, 5000));
    EXPECT_EQ(done->first.toInt(), 42);
    EXPECT_TRUE(done->second);
    EXPECT_TRUE(progressOnWindowThread);
    EXPECT_FALSE(runner.Running());
    EXPECT_FALSE(panel.StopButton()->isEnabled());
}

TEST_F(PanelTest, BinRefreshFollowsThePageAndTheBusyFlags) {
    MainWindow& w = Open();
    int refreshes = 0;
    QObject::connect(&w, &MainWindow::binRefresh, [&] { ++refreshes; });
    w.RequestBinRefresh(false);  // the status page shows no bin
    EXPECT_EQ(refreshes, 0);
    w.ShowPage(tw::ui::kBinPage);
    w.RequestBinRefresh(false);
    EXPECT_EQ(refreshes, 1);
    w.SetBusy(Busy::BinRestoring, true);
    w.RequestBinRefresh(true);
    EXPECT_EQ(refreshes, 1);
    w.SetBusy(Busy::BinRestoring, false);
    // From another program, over the bus.
    tw::shell::MessageBus other;
    other.Broadcast(tw::shell::Message::BinChangedMessage, 0);
    EXPECT_TRUE(Pump([&] { return refreshes == 2; }, 5000));
    // While Watchkeep auto-wipes the Trash, only its own notice refreshes the views.
    store_->WriteDword(tw::ProgramKey(), "EnableSecureDeletion", 1);
    other.Broadcast(tw::shell::Message::GuardStateMessage, 1);
    ASSERT_TRUE(Pump([&] { return w.GuardActive(); }, 5000));
    w.RequestBinRefresh(false);
    EXPECT_EQ(refreshes, 2);
    other.Broadcast(tw::shell::Message::BinChangedMessage, 0);
    EXPECT_TRUE(Pump([&] { return refreshes == 3; }, 5000));
}

class PanelDrives : public PanelTest {};

TEST_F(PanelDrives, ADriveListGainsAVolumeWhenItIsMountedAndLosesIt) {
    TW_REQUIRE_SCRATCH(tw::test::FsKind::Tmpfs);
    MainWindow& w = Open("", true);
    tw::controls::DrivePicker picker;
    QObject::connect(&w, &MainWindow::drivesChanged, &picker, [&] { picker.FillDrives(false); });
    picker.FillDrives(false);
    std::string mountPoint;
    {
        tw::test::ScratchVolume volume(tw::test::FsKind::Tmpfs, 8);
        ASSERT_TRUE(volume.Ok()) << volume.Error();
        mountPoint = volume.MountPoint();
        const QString mp = QString::fromStdString(mountPoint);
        EXPECT_TRUE(Pump([&] { return picker.findData(mp) >= 0; }, 5000));
        EXPECT_EQ(picker.itemText(picker.findData(mp)), mp + QStringLiteral(": (RAM-Disk)"));
    }
    const QString mp = QString::fromStdString(mountPoint);
    EXPECT_TRUE(Pump([&] { return picker.findData(mp) < 0; }, 5000));
}

}  // namespace
