// SPDX-License-Identifier: GPL-3.0-or-later
// The schedule page: which tasks and drives the timed clean takes, once today or on
// chosen week days, at what time; the save/disable button, "Run Clean-up NOW!", the
// clock and the next-clean text. A view over the main window's CSchedulePageModel,
// which holds the record and does the validating and storing.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <vector>

#include "platform/drives.h"
#include "scheduler/schedule.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTimeEdit;

namespace tw::ui {
class MainWindow;
}

namespace tw::sched::ui {

class CSchedulePage : public QWidget {
    Q_OBJECT
  public:
    enum ControlId {
        kDriveList = 1197,
        kTaskList = 1193,
        kRunTodayOnly = 11043,
        kRunOnDays = 11044,
        kSunday = 11026,  // to 11032, Saturday
        kPicker = 11002,
        kSaveButton = 1195,
        kRunNow = 11005,
        kClock = 11007,
        kNextClean = 11008,
    };

    // `window` owns the model, the clock and the clean request path; required.
    explicit CSchedulePage(tw::ui::MainWindow* window, QWidget* parent = nullptr);

    // The controls from the model's record, the stored drives and the stored tasks.
    void LoadFromModel();
    // The controls as ApplySchedule takes them.
    ScheduleControls Controls() const;
    // The drive list from these file systems; ticks are kept for drives still there.
    void FillDrives(const std::vector<DriveInfo>& drives);

    // A radio, a day box or the time changed (or the change message came): the record
    // follows, the button offers to save, the next-clean text follows.
    void OnChange();
    // Button 1195: disable when enabled and unchanged, else save (and so enable).
    void PressSaveButton();
    // "Run Clean-up NOW!": stores the page for the manual set and asks for the clean.
    void RunNow();

    QListWidget* DriveList() const { return drives_; }
    QListWidget* TaskList() const { return tasks_; }
    QRadioButton* Radio(bool onDays) const { return onDays ? onDays_ : today_; }
    QCheckBox* DayBox(int day) const { return days_[static_cast<size_t>(day)]; }
    QTimeEdit* Picker() const { return picker_; }
    QPushButton* SaveButton() const { return save_; }
    QPushButton* RunNowButton() const { return runNow_; }
    QLabel* ClockText() const { return clock_; }
    QLabel* NextCleanText() const { return next_; }

  protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;

  private:
    void ShowModel();
    void Tick();
    SystemTime PickerTime() const;

    tw::ui::MainWindow* window_;
    CSchedulePageModel& model_;
    bool loading_ = false;
    QTimer tick_;

    QListWidget* drives_;
    QListWidget* tasks_;
    QRadioButton *today_, *onDays_;
    std::array<QCheckBox*, 7> days_{};
    QTimeEdit* picker_;
    QPushButton *save_, *runNow_;
    QLabel *clock_, *next_;
};

}  // namespace tw::sched::ui
