// SPDX-License-Identifier: GPL-3.0-or-later
// The control panel's one window: the navigation column, the banner, the page area with
// its ten pages, the overwrite level, the guard's start/stop button, help, the update
// link, and the busy flags that keep the window open while work runs.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "scheduler/schedule.h"
#include "shell/messages.h"

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace tw {
class Settings;
namespace log {
class CActivityLogFile;
namespace ui {
class CActivityLogPage;
}
}  // namespace log
namespace controls {
class Banner;
class Hyperlink;
}  // namespace controls
}  // namespace tw

namespace tw::ui {

class BusBridge;
class MountWatcher;
class StatusActions;
class StatusPage;
class LevelPicture;

enum PageId : int {
    kStatusPage = 7000,
    kLogPage = 7003,
    kCleanupPage = 7006,
    kAnalysisPage = 7008,
    kBinPage = 7009,
    kSchedulePage = 7011,
    kCookiePage = 6991,
    kTracksPage = 6993,
    kJunkPage = 6994,
    kInternetPage = 6995,
};

// The busy flags, in the order their close refusals are checked.
enum class Busy : int {
    DriveCleaning,
    SwapWiping,
    DriveAnalysis,
    SlackWiping,
    RecoverableWiping,
    FileRecovery,
    BinWiping,
    BinRestoring,
    Other,  // refuses the close without a message
    kCount
};

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    struct Context {
        Settings* settings = nullptr;      // required
        shell::MessageBus* bus = nullptr;  // null: no other program is told anything
        std::string guardPath;             // the guard's program file
        // Opens a link or a help page; answers the hyperlink result code (above 32 is
        // success). Empty: the desktop opens it.
        std::function<int(const QString&)> openUrl;
        QString helpFolder;  // "": the "help" folder beside the program
        sched::LocalClock clock = GetLocalTime;
        bool watchMounts = true;
    };

    explicit MainWindow(Context context, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The start-up's later steps: the settings loaded and handed to the pages, the
    // status shown. Call once, after the guard's state from the start switches is known.
    void Initialise(bool guardActive);

    void ShowPage(int pageId);
    int CurrentPage() const { return currentPage_; }
    // Enables or disables the navigation and the overwrite control together; the button
    // with `keepButtonId` stays usable.
    void EnableNavigation(bool enable, int keepButtonId = 0);
    // The banner, the start/stop button and the status page from the settings.
    void UpdateStatus();

    void SetBusy(Busy flag, bool on);
    bool IsBusy(Busy flag) const { return busy_[static_cast<int>(flag)]; }
    bool AnyBusy() const;
    // The string id of the close refusal: 0 when the window may close, -1 for a silent
    // refusal.
    int CloseRefusal() const;

    // The overwrite level: one step down or up, saved when it changed. False when
    // refused (a busy flag other than drive analysis) or already at the end.
    bool StepOverwriteLevel(int delta);
    int OverwriteLevel() const { return overwriteLevel_; }

    // The logging switch of the status page and the log page: stored, announced, and
    // shown on both pages, the banner and the indicator. Gives the state now shown.
    bool SetLogging(bool on);
    // The Recycle Bin auto-wiping switch of the bin page: as the status page's tile does
    // it (the guard started when needed), then shown everywhere. Gives the state now shown.
    bool SetAutoWiping(bool on);
    // The window's activity log writer (the folder of the settings).
    log::CActivityLogFile* LogWriter() const { return log_.get(); }
    log::ui::CActivityLogPage* LogPage() const { return logPage_; }

    bool GuardActive() const { return guardActive_; }
    // The Recycle Bin views are to be refreshed (the guard changed the Trash, or a page
    // asks for it); `forced` by BinChangedMessage. Emits binRefresh unless ignored.
    void RequestBinRefresh(bool forced);
    // The help page of the current page.
    QString HelpFileFor(int pageId) const;
    void OpenHelp();

    // Access for the pages of later work and for tests.
    QWidget* Page(int pageId) const;
    QAbstractButton* NavButton(int commandId) const;
    StatusPage* Status() const { return statusPage_; }
    controls::Banner* GetBanner() const { return banner_; }
    QPushButton* GuardButton() const { return guardButton_; }
    QPushButton* CloseButton() const { return closeButton_; }
    QToolButton* OverwriteArrow(bool increase) const { return increase ? up_ : down_; }
    controls::Hyperlink* UpdateLink() const { return updateLink_; }
    sched::CSchedulePageModel& Schedule() { return *schedule_; }
    // The local clock the window and its pages read (injected by tests).
    const sched::LocalClock& Clock() const { return ctx_.clock; }
    // A clean request of this window's own ("Run Clean-up NOW!"): through the same
    // gate as the requests from the bus.
    sched::RequestOutcome RequestClean(uint32_t code);

  signals:
    // A file system was mounted or unmounted: drive lists are to be rebuilt.
    void drivesChanged();
    // The Recycle Bin page, the analysis page's list and the clean-up line refresh.
    void binRefresh();
    // A clean request passed its checks: the clean-up page runs `code`.
    void cleanRunRequested(uint32_t code);
    void autoWipingChanged(bool on);
    void loggingChanged(bool on);
    // The schedule changed elsewhere: the schedule page takes it as a change of its own.
    void scheduleChanged();

  protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

  private:
    void BuildNavigation(QWidget* column);
    void AddPage(int pageId, QWidget* page);
    void SetBanner(int pageId);
    void OnNavigate(int commandId);
    void OnGuardButton();
    void OnBusMessage(const shell::BusMessage& m);
    void ShowOverwriteLevel();
    // The log folder and switch of the settings to the writer and the log page.
    void ApplyLogSettings();
    void BringForward();
    bool LaunchGuard();
    int Open(const QString& url);

    Context ctx_;
    Settings& settings_;
    std::unique_ptr<sched::CSchedulePageModel> schedule_;
    std::unique_ptr<StatusActions> actions_;
    std::unique_ptr<sched::CCleanRequestGate> gate_;
    std::unique_ptr<log::CActivityLogFile> log_;
    log::ui::CActivityLogPage* logPage_ = nullptr;
    BusBridge* bridge_ = nullptr;
    MountWatcher* mounts_ = nullptr;

    QStackedWidget* stack_ = nullptr;
    controls::Banner* banner_ = nullptr;
    StatusPage* statusPage_ = nullptr;
    std::map<int, QWidget*> pages_;
    std::map<int, QToolButton*> nav_;  // by command id
    QPushButton* guardButton_ = nullptr;
    QPushButton* closeButton_ = nullptr;
    QPushButton* helpButton_ = nullptr;
    QToolButton* down_ = nullptr;
    QToolButton* up_ = nullptr;
    QLabel* levelText_ = nullptr;
    QCheckBox* verifyBox_ = nullptr;    // VerifyLastPass
    QCheckBox* receiptsBox_ = nullptr;  // WriteReceipts
    QLabel* autoWipingMark_ = nullptr;
    QLabel* loggingMark_ = nullptr;
    LevelPicture* levelPicture_ = nullptr;
    controls::Hyperlink* updateLink_ = nullptr;

    std::array<bool, static_cast<int>(Busy::kCount)> busy_{};
    int currentPage_ = kStatusPage;
    int overwriteLevel_ = 3;
    bool guardActive_ = false;
    bool settingsLoaded_ = false;
    bool navEnabled_ = true;
    bool updatingStatus_ = false;
};

// The command id of the navigation button that shows `pageId`.
int NavCommandFor(int pageId);
int PageForCommand(int commandId);

}  // namespace tw::ui
