// SPDX-License-Identifier: GPL-3.0-or-later
// The drive clean-up page: the eight task rows, the drives with a check mark each, the
// start button, pause/resume and abort, both progress bars, the status, time-remaining
// and plan texts, and the activity indicator. A start (the page's own button, or a
// clean request the main window let through) runs the clean-up run on a worker; the
// window stays usable as its busy flags allow. After the last drive, when the shutdown
// task was chosen and nothing was aborted, the shutdown countdown runs.
#pragma once

#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "cleanup/cleanup_run.h"

class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace tw {
class Settings;
namespace ui {
class MainWindow;
class OperationRunner;
class TickSource;
}  // namespace ui
}  // namespace tw

namespace tw::wipe::ui {

// The activity indicator: a drive with a sweeping mark that alternates between its two
// pictures while a drive is being cleaned, each shown for the next delay of a fixed
// irregular cycle (it looks like a drive at work, not like a metronome), and rests when
// the drive is done.
class ActivityIndicator : public QWidget {
    Q_OBJECT
  public:
    explicit ActivityIndicator(QWidget* parent = nullptr);
    void SetRunning(bool on);
    bool Running() const { return running_; }
    // 0 or 1 while running (the picture shown), -1 at rest.
    int Frame() const { return running_ ? frame_ : -1; }
    // The delay in milliseconds after the change number `step` (the cycle repeats).
    static int Delay(int step);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    void Flip();

    QTimer timer_;
    bool running_ = false;
    int frame_ = 0;
    int step_ = 0;
};

class CCleanFreeSpacePage : public QWidget {
    Q_OBJECT
  public:
    // `window` (may be null) holds the busy flag, the navigation and the log writer;
    // `settings` the stored sets and the pass count (required, outlives the page).
    CCleanFreeSpacePage(tw::ui::MainWindow* window, Settings* settings, QWidget* parent = nullptr);
    ~CCleanFreeSpacePage() override;

    // Starts a clean: 0x521 and 0x522 load the scheduled tasks and drives first, 0x524
    // the manual ones, 0x523 (the start button) runs what the page shows. False when it
    // did not start (a run goes on, or no drive is chosen).
    bool Start(uint32_t requestCode);
    // The pause/resume button.
    void TogglePause();
    // The abort button: the current file is finished, then the run's closing lines.
    void Abort();
    bool Running() const;
    bool Paused() const { return paused_; }

    // The page's rows and drives from the stored manual set and "cfs" drives.
    void LoadManualSet();
    // Lists the mounted drives again (the checks of those still there are kept).
    void RefreshDrives();

    // The ticked rows and drives (mount points, in list order).
    TaskSet CheckedTasks() const;
    std::vector<std::string> CheckedDrives() const;
    void SetTasks(const TaskSet& tasks);
    void SetDrives(const std::vector<std::string>& drives);

    // The run itself, for what a front end may set before a start (the Trash folders
    // the Recycle Bin step wipes, the settling pause, the test seams).
    CCleanupRun& Run() { return *run_; }
    // The countdown's ticks (not owned; null: a one-second timer).
    void SetCountdownTicks(tw::ui::TickSource* ticks) { ticks_ = ticks; }

    QListWidget* TaskList() const { return tasks_; }
    QTableWidget* DriveList() const { return drives_; }
    QPushButton* StartButton() const { return start_; }
    QPushButton* PauseButton() const { return pause_; }
    QPushButton* AbortButton() const { return abort_; }
    QProgressBar* Bar(int which) const { return bars_[which & 1]; }
    QLabel* StatusText() const { return status_; }
    QLabel* TimeText() const { return time_; }
    QLabel* PlanLabel() const { return plan_; }
    ActivityIndicator* Indicator() const { return indicator_; }

  signals:
    // A run ended (after its messages and the shutdown countdown).
    void runFinished();

  protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    void OnFinished();
    void SetStatus(const QString& text);
    void ShowPlan();
    void UpdateControls();
    bool CountDownToShutdown();

    tw::ui::MainWindow* window_;
    Settings* settings_;
    std::unique_ptr<CCleanupRun> run_;
    std::shared_ptr<CleanupSummary> summary_;
    tw::ui::OperationRunner* runner_;
    tw::ui::TickSource* ticks_ = nullptr;
    bool paused_ = false;
    bool aborting_ = false;
    bool edited_ = false;  // the user changed rows or drives since they were loaded  // abort
                           // pressed: the run is finishing its current file
    QString savedStatus_;  // the run's status while "paused" is shown

    QListWidget* tasks_;
    QTableWidget* drives_;
    QPushButton *start_, *pause_, *abort_;
    std::array<QProgressBar*, 2> bars_{};
    QLabel *status_, *time_, *plan_, *driveText_;
    ActivityIndicator* indicator_;
};

}  // namespace tw::wipe::ui
