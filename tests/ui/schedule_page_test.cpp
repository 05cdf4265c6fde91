// SPDX-License-Identifier: GPL-3.0-or-later
// The schedule page over the window's schedule model, on a fixed local clock.
#include "scheduler/ui/schedule_page.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <memory>
#include <string>

#include "controls/banner.h"
#include "platform/registry.h"
#include "platform/settings.h"
#include "scheduler/schedule.h"
#include "shell/ui/main_window.h"
#include "shell/ui/ui_text.h"
#include "tests/shell/test_env.h"
#include "tests/ui/ui_test_util.h"

namespace {

using tw::sched::ui::CSchedulePage;
using tw::ui::MainWindow;

class SchedulePageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_BUS();
        ASSERT_TRUE(world_.Ok());
        // Monday 7 December 2026, 10:00:00.
        window_ = &panel_.Open(false, [](MainWindow::Context& ctx) {
            ctx.clock = [] {
                tw::SystemTime t;
                t.year = 2026;
                t.month = 12;
                t.day = 7;
                t.dayOfWeek = 1;
                t.hour = 10;
                return t;
            };
        });
        window_->Schedule().guardRunning = true;  // no guard is started by these tests
        window_->ShowPage(tw::ui::kSchedulePage);
        page_ = qobject_cast<CSchedulePage*>(window_->Page(tw::ui::kSchedulePage));
        ASSERT_TRUE(page_);
        // One drive to clean, so that only the checks under test can refuse.
        tw::DriveInfo drive;
        drive.mountPoint = world_.Sub("data");
        drive.type = tw::DriveType::Fixed;
        page_->FillDrives({drive});
        page_->DriveList()->item(0)->setCheckState(Qt::Checked);
    }

    uint32_t Stored(const char* name) { return panel_.Stored(name); }

    tw::test::TestWorld world_;
    tw::test::RecordingMessages messages_;
    tw::test::TestPanel panel_{world_};
    MainWindow* window_ = nullptr;
    CSchedulePage* page_ = nullptr;
};

// No day ticked is refused and leaves the scheduler as it was; Monday at nine, seen at
// ten, names the next Monday, and the button toggles it.
TEST_F(SchedulePageTest, WeeklyScheduleIsCheckedSavedAndToggled) {
    const uint32_t startLo = Stored("CleanStartTimeLo"), startHi = Stored("CleanStartTimeHi");
    page_->Radio(true)->click();
    for (int d = 0; d < 7; ++d) page_->DayBox(d)->setChecked(false);
    page_->SaveButton()->click();
    ASSERT_EQ(messages_.shown.size(), 1u);
    EXPECT_EQ(messages_.shown[0].first, tw::ui::Tx<122>());
    EXPECT_EQ(Stored("schedulerActive"), 0u);
    EXPECT_EQ(Stored("CleanStartTimeLo"), startLo);
    EXPECT_EQ(Stored("CleanStartTimeHi"), startHi);
    EXPECT_EQ(page_->SaveButton()->text(), tw::ui::Tx<541>());
    messages_.shown.clear();
    for (int d = 0; d < 7; ++d) page_->DayBox(d)->setChecked(d == 1);
    page_->Picker()->setTime(QTime(9, 0, 0));
    EXPECT_EQ(page_->NextCleanText()->text(), QStringLiteral("Monday Dec 14 2026 @ 09:00:00"));

    // Pressed twice without a change between: enabled, then disabled.
    page_->SaveButton()->click();
    EXPECT_TRUE(messages_.shown.empty());
    EXPECT_EQ(Stored("schedulerActive"), 1u);
    EXPECT_EQ(Stored("repeatMon"), 1u);
    EXPECT_EQ(page_->SaveButton()->text(), tw::ui::Tx<540>());
    EXPECT_EQ(window_->GetBanner()->Caption(), tw::ui::Tx<183>());
    page_->SaveButton()->click();
    EXPECT_EQ(Stored("schedulerActive"), 0u);
    EXPECT_EQ(page_->SaveButton()->text(), tw::ui::Tx<541>());
    EXPECT_EQ(window_->GetBanner()->Caption(), tw::ui::Tx<186>());
    // Enabled again, then a change: the next press saves it rather than disabling.
    page_->SaveButton()->click();
    page_->DayBox(3)->setChecked(true);
    page_->SaveButton()->click();
    EXPECT_EQ(Stored("schedulerActive"), 1u);
    EXPECT_EQ(Stored("repeatWed"), 1u);

    // "Run Clean-up NOW!" asks the window for the manual clean.
    uint32_t requested = 0;
    QObject::connect(window_, &MainWindow::cleanRunRequested,
                     [&](uint32_t code) { requested = code; });
    page_->RunNowButton()->click();
    EXPECT_EQ(requested, tw::sched::kRequestRunNow);
}

}  // namespace
