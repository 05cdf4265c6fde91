// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "cleanup/ui/clean_free_space_page.h"
#include "controls/banner.h"
#include "controls/hyperlink.h"
#include "log/activity_log.h"
#include "log/ui/activity_log_page.h"
#include "platform/drives.h"
#include "platform/settings.h"
#include "recyclebin/ui/recycle_bin_page.h"
#include "scheduler/ui/schedule_page.h"
#include "shell/startup.h"
#include "shell/ui/bus_bridge.h"
#include "shell/ui/message_box.h"
#include "shell/ui/mount_watcher.h"
#include "shell/ui/status_actions.h"
#include "shell/ui/status_page.h"
#include "shell/ui/ui_text.h"
#include "volume/ui/analyze_drive_page.h"

namespace tw::ui {

namespace {

struct NavEntry {
    int commandId;
    int pageId;
    const char* label;                // the button's text
    const char* tip;                  // its tool tip
    const char* icon;                 // icon theme name
    QStyle::StandardPixmap fallback;  // when the theme has none
    bool visible;                     // the hidden ones lead to pages this program does not fill
};

// The navigation column, top to bottom.
const NavEntry kNav[] = {
    {1014, kStatusPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "&Watchkeep Protection"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow", "The protection switches and the drive's space"),
     "security-high", QStyle::SP_ComputerIcon, true},
    {1053, kSchedulePage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Drive &Clean-up"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow",
                       "Clean free space, slack and traces, now or on a schedule"),
     "edit-clear", QStyle::SP_DriveHDIcon, true},
    {1054, kCleanupPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Drive Clean-up Manager"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow", "The progress of a running clean-up"), "view-refresh",
     QStyle::SP_BrowserReload, false},
    {2069, kAnalysisPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "File &Recovery"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow",
                       "Find deleted files on a drive, recover them or wipe their traces"),
     "edit-find", QStyle::SP_FileDialogContentsView, true},
    {1019, kBinPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Recycle &Bin"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Wipe or restore what is in the Trash"), "user-trash",
     QStyle::SP_TrashIcon, true},
    {1015, kLogPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Activity &Logging"),
     QT_TRANSLATE_NOOP("tw::ui::MainWindow", "What was cleaned and wiped, day by day"),
     "text-x-generic", QStyle::SP_FileDialogDetailedView, true},
    {2070, kJunkPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Junk Files"), "", "",
     QStyle::SP_FileIcon, false},
    {2071, kTracksPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "File Tracks"), "", "",
     QStyle::SP_FileIcon, false},
    {2072, kInternetPage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Internet Cleanup"), "", "",
     QStyle::SP_FileIcon, false},
    {2073, kCookiePage, QT_TRANSLATE_NOOP("tw::ui::MainWindow", "Cookies"), "", "",
     QStyle::SP_FileIcon, false},
};

// A page of later work: the navigation to it works, its body is not there yet.
QWidget* MakePlaceholderPage(const QString& text, QWidget* parent) {
    auto* page = new QWidget(parent);
    auto* label = new QLabel(text, page);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setEnabled(false);
    auto* column = new QVBoxLayout(page);
    column->addWidget(label);
    return page;
}

}  // namespace

// The overwrite level as a picture: seven steps, as many filled as passes are made.
class LevelPicture : public QWidget {
  public:
    explicit LevelPicture(QWidget* parent) : QWidget(parent) {
        setMinimumSize(fontMetrics().height() * 5, fontMetrics().height() * 3 / 2);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    void SetLevel(int level) {
        level_ = level;
        update();
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const int steps = 7;
        const double gap = 2;
        const double w = (width() - gap * (steps - 1)) / steps;
        for (int i = 0; i < steps; ++i) {
            const double h = height() * (0.35 + 0.65 * (i + 1) / steps);
            QRectF r(i * (w + gap), height() - h, w, h);
            p.setPen(palette().color(QPalette::Mid));
            p.setBrush(i < level_ ? palette().color(QPalette::Highlight)
                                  : palette().color(QPalette::Base));
            p.drawRoundedRect(r, 2, 2);
        }
    }

  private:
    int level_ = 0;
};

int NavCommandFor(int pageId) {
    for (const auto& n : kNav)
        if (n.pageId == pageId) return n.commandId;
    return 0;
}

int PageForCommand(int commandId) {
    for (const auto& n : kNav)
        if (n.commandId == commandId) return n.pageId;
    return 0;
}

MainWindow::MainWindow(Context context, QWidget* parent)
    : QMainWindow(parent), ctx_(std::move(context)), settings_(*ctx_.settings) {
    setWindowTitle(Tx<102>());
    setWindowIcon(QIcon::fromTheme(QStringLiteral("security-high")));

    if (ctx_.bus) {
        bridge_ = new BusBridge(*ctx_.bus, this);
        connect(bridge_, &BusBridge::received, this, &MainWindow::OnBusMessage);
        BroadcastSettingsChanges(settings_, *ctx_.bus);
    }
    if (ctx_.watchMounts) {
        mounts_ = new MountWatcher(this);
        connect(mounts_, &MountWatcher::drivesChanged, this, &MainWindow::drivesChanged);
    }

    schedule_ = std::make_unique<sched::CSchedulePageModel>(settings_, ctx_.clock);
    schedule_->hooks.message = [this](std::string_view text, std::string_view caption) {
        CurrentMessages().Show(this, QString::fromUtf8(text.data(), text.size()),
                               QString::fromUtf8(caption.data(), caption.size()),
                               Messages::Icon::Warning);
    };
    schedule_->hooks.launchGuard = [this] { return LaunchGuard(); };
    schedule_->hooks.settingsChanged = [this](int lParam) {
        if (bridge_) bridge_->Broadcast(shell::Message::SettingsChangedMessage, lParam);
    };
    schedule_->hooks.showPage = [this] { ShowPage(kSchedulePage); };
    schedule_->hooks.refreshStatus = [this] { UpdateStatus(); };

    StatusHooks hooks;
    hooks.message = [this](int text, int caption, bool warning) {
        ShowMessage(text, caption, warning ? Messages::Icon::Warning : Messages::Icon::None, this);
    };
    hooks.guardRunning = [this] { return guardActive_; };
    hooks.launchGuard = [this] { return LaunchGuard(); };
    hooks.autoWiping = [this](bool on) { emit autoWipingChanged(on); };
    hooks.logging = [this](bool on) { emit loggingChanged(on); };
    actions_ = std::make_unique<StatusActions>(settings_, *schedule_, std::move(hooks));

    sched::CCleanRequestGate::Host host;
    host.settingsLoaded = [this] { return settingsLoaded_; };
    host.busy = [this] { return AnyBusy(); };
    host.run = [this](uint32_t code) {
        ShowPage(kCleanupPage);
        emit cleanRunRequested(code);
    };
    gate_ =
        std::make_unique<sched::CCleanRequestGate>(settings_.Store(), std::move(host), ctx_.clock);

    // The window: navigation on the left, banner and page on the right.
    auto* central = new QWidget(this);
    auto* row = new QHBoxLayout(central);
    auto* column = new QWidget(central);
    BuildNavigation(column);
    row->addWidget(column);
    auto* right = new QVBoxLayout;
    banner_ = new controls::Banner(central);
    stack_ = new QStackedWidget(central);
    right->addWidget(banner_);
    right->addWidget(stack_, 1);
    row->addLayout(right, 1);
    setCentralWidget(central);

    statusPage_ = new StatusPage(*actions_, stack_);
    connect(statusPage_, &StatusPage::statusChanged, this, &MainWindow::UpdateStatus);
    AddPage(kStatusPage, statusPage_);
    AddPage(kAnalysisPage, new volume::ui::CAnalyzeDrivePage(this, &settings_, stack_));
    // The window's writer; its lines (also those of workers) reach a log page that
    // follows today's log, and the other programs through the bus.
    log_ = std::make_unique<log::CActivityLogFile>();
    log_->SetNotifier([this, bus = ctx_.bus] {
        if (bus) bus->Broadcast(shell::Message::LogLineMessage, 0);
        QMetaObject::invokeMethod(
            this, [this] { logPage_->OnLogLine(); }, Qt::QueuedConnection);
    });
    logPage_ = new log::ui::CActivityLogPage(this, &settings_, log_.get(), stack_);
    AddPage(kLogPage, logPage_);
    AddPage(kBinPage, new recyclebin::ui::CRecycleBinWipingPage(this, &settings_, stack_));
    auto* cleanup = new wipe::ui::CCleanFreeSpacePage(this, &settings_, stack_);
    connect(this, &MainWindow::cleanRunRequested, cleanup, &wipe::ui::CCleanFreeSpacePage::Start);
    AddPage(kCleanupPage, cleanup);
    AddPage(kSchedulePage, new sched::ui::CSchedulePage(this, stack_));
    for (int id : {kCookiePage, kTracksPage, kJunkPage, kInternetPage})
        AddPage(id, MakePlaceholderPage(tr("coming soon"), stack_));

    QSettings geometry;
    if (!restoreGeometry(geometry.value(QStringLiteral("window/geometry")).toByteArray()))
        resize(QSize(fontMetrics().height() * 60, fontMetrics().height() * 38));
}

MainWindow::~MainWindow() {
    // The pages first: a run they stop and wait for may still write through log_.
    delete stack_;
}

void MainWindow::BuildNavigation(QWidget* column) {
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    for (const auto& n : kNav) {
        auto* b = new QToolButton(column);
        b->setText(tr(n.label));
        b->setToolTip(tr(n.tip));
        b->setAccessibleName(QString(tr(n.label)).remove(QLatin1Char('&')));
        b->setIcon(
            QIcon::fromTheme(QString::fromLatin1(n.icon), style()->standardIcon(n.fallback)));
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        b->setCheckable(true);
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::StrongFocus);
        b->setVisible(n.visible);
        const int id = n.commandId;
        connect(b, &QToolButton::clicked, this, [this, id] { OnNavigate(id); });
        nav_[id] = b;
        layout->addWidget(b);
    }
    layout->addStretch(1);

    // The overwrite level.
    auto* levelBox = new QWidget(column);
    auto* levelRow = new QHBoxLayout(levelBox);
    levelRow->setContentsMargins(0, 0, 0, 0);
    down_ = new QToolButton(levelBox);
    up_ = new QToolButton(levelBox);
    down_->setArrowType(Qt::LeftArrow);
    up_->setArrowType(Qt::RightArrow);
    down_->setToolTip(Tx<187>());
    up_->setToolTip(Tx<193>());
    down_->setAccessibleName(tr("Fewer overwrite passes"));
    up_->setAccessibleName(tr("More overwrite passes"));
    levelText_ = new QLabel(levelBox);
    levelText_->setAccessibleName(tr("Overwrite passes"));
    levelPicture_ = new LevelPicture(levelBox);
    levelRow->addWidget(down_);
    levelRow->addWidget(levelPicture_, 1);
    levelRow->addWidget(up_);
    connect(down_, &QToolButton::clicked, this, [this] { StepOverwriteLevel(-1); });
    connect(up_, &QToolButton::clicked, this, [this] { StepOverwriteLevel(+1); });
    layout->addWidget(levelText_);
    layout->addWidget(levelBox);

    // How every wipe started here, by the clean-up or by the guard is checked and
    // recorded: stored at once, so the guard's next auto-wipe follows.
    auto settingBox = [this, column, layout](const QString& text, const QString& tip,
                                             const char* name) {
        auto* box = new QCheckBox(text, column);
        box->setToolTip(tip);
        box->setAccessibleName(QString(text).remove(QLatin1Char('&')));
        box->setAccessibleDescription(tip);
        connect(box, &QCheckBox::toggled, this, [this, name](bool on) {
            if (settings_.ReadWithDefault(name) == (on ? 1u : 0u)) return;
            settings_.Dword(name) = on ? 1 : 0;
            settings_.SaveSettings();
        });
        layout->addWidget(box);
        return box;
    };
    verifyBox_ = settingBox(tr("Verif&y the last pass"),
                            tr("Each wipe reads its last pass back from the disk and fails "
                               "where the disk does not hold what was written"),
                            "VerifyLastPass");
    receiptsBox_ = settingBox(tr("&Keep erasure receipts"),
                              tr("Each wipe writes a receipt of what it erased and how into "
                                 "the folder \"receipts\" beside the logs"),
                              "WriteReceipts");

    // What Watchkeep and the log are doing, whichever page is shown.
    autoWipingMark_ = new QLabel(Tx<376>(), column);
    loggingMark_ = new QLabel(Tx<386>(), column);
    autoWipingMark_->hide();
    loggingMark_->hide();
    layout->addWidget(autoWipingMark_);
    layout->addWidget(loggingMark_);

    guardButton_ = new QPushButton(Tx<212>(), column);
    connect(guardButton_, &QPushButton::clicked, this, &MainWindow::OnGuardButton);
    layout->addWidget(guardButton_);

    helpButton_ =
        new QPushButton(QIcon::fromTheme(QStringLiteral("help-browser")), tr("&Help"), column);
    helpButton_->setShortcut(QKeySequence::HelpContents);
    connect(helpButton_, &QPushButton::clicked, this, &MainWindow::OpenHelp);
    layout->addWidget(helpButton_);

    updateLink_ = new controls::Hyperlink(Tx<234>(), column);
    updateLink_->setToolTip(Tx<194>());
    // The project's release page: where a newer version would be announced.
    updateLink_->SetTarget(QStringLiteral("https://quillon.example/tidewipe/updates"));
    updateLink_->SetOpener([this](const QString& target) { return Open(target); });
    updateLink_->SetReporter([this](const QString& text) {
        CurrentMessages().Show(this, text, Tx<102>(), Messages::Icon::Warning);
    });
    layout->addWidget(updateLink_);

    closeButton_ = new QPushButton(Tx<239>(), column);
    connect(closeButton_, &QPushButton::clicked, this, [this] {
        settings_.SaveManualTaskSet();
        close();
    });
    layout->addWidget(closeButton_);
    ShowOverwriteLevel();
}

void MainWindow::AddPage(int pageId, QWidget* page) {
    pages_[pageId] = page;
    stack_->addWidget(page);
}

QWidget* MainWindow::Page(int pageId) const {
    auto it = pages_.find(pageId);
    return it == pages_.end() ? nullptr : it->second;
}

QAbstractButton* MainWindow::NavButton(int commandId) const {
    auto it = nav_.find(commandId);
    return it == nav_.end() ? nullptr : it->second;
}

void MainWindow::Initialise(bool guardActive) {
    guardActive_ = guardActive;
    settings_.LoadSettings();
    overwriteLevel_ = settings_.OverwritePasses();
    ApplyLogSettings();
    schedule_->Load();
    settingsLoaded_ = true;
    currentPage_ = 0;
    ShowPage(kStatusPage);
    UpdateStatus();
}

void MainWindow::SetBanner(int pageId) {
    using State = controls::Banner::State;
    QString title, caption;
    State state = State::None;
    switch (pageId) {
        case kStatusPage:
            title = Tx<105>();
            caption = guardActive_ ? Tx<378>() : Tx<379>();
            state = guardActive_ ? State::On : State::Off;
            break;
        case kLogPage: {
            const bool on = actions_->Logging();
            title = Tx<111>();
            caption = on ? Tx<386>() : Tx<387>();
            state = on ? State::On : State::Off;
            break;
        }
        case kCleanupPage:
            title = Tx<108>();
            break;
        case kAnalysisPage:
            title = Tx<123>();
            break;
        case kBinPage: {
            const bool on = actions_->AutoWiping();
            title = Tx<257>();
            caption = on ? Tx<376>() : Tx<377>();
            state = on ? State::On : State::Off;
            break;
        }
        case kSchedulePage: {
            const bool live = sched::IsScheduleLive(settings_.Store(), ctx_.clock());
            title = Tx<475>();
            caption = live ? Tx<183>() : Tx<186>();
            state = live ? State::On : State::Off;
            break;
        }
        case kCookiePage:
            title = Tx<382>();
            break;
        case kTracksPage:
            title = Tx<383>();
            break;
        case kJunkPage:
            title = Shown(Tx<384>());
            break;
        case kInternetPage:
            title = Tx<385>();
            break;
        default:
            break;
    }
    banner_->SetTitle(title);
    banner_->SetCaption(caption);
    banner_->SetState(state);
}

void MainWindow::ShowPage(int pageId) {
    if (!Page(pageId)) return;
    // While a clean runs only its view and the log may be shown, also when another
    // program asks for a page (the bin page from the guard's pop-up, for one): the
    // navigation stays limited until the clean ends.
    const bool cleaning = IsBusy(Busy::DriveCleaning);
    if (cleaning && pageId != kCleanupPage && pageId != kLogPage) return;
    if (pageId == currentPage_) {
        SetBanner(pageId);
        return;
    }
    currentPage_ = pageId;
    if (!cleaning) EnableNavigation(true);
    SetBanner(pageId);
    stack_->setCurrentWidget(Page(pageId));
    // The current page's button is marked, not disabled: pressing it again refreshes
    // the page's banner.
    for (auto& [id, b] : nav_) b->setChecked(PageForCommand(id) == pageId);
}

void MainWindow::OnNavigate(int commandId) {
    int page = PageForCommand(commandId);
    const bool cleaning = IsBusy(Busy::DriveCleaning);
    if (cleaning && commandId == 1053) page = kCleanupPage;  // the running clean's view
    ShowPage(page);
    if (!cleaning) {
        for (auto& [id, b] : nav_) b->setChecked(PageForCommand(id) == currentPage_);
        return;
    }
    if (commandId == 1053 || commandId == 1054 || commandId == 1015) {
        // Between the clean's view and the log, nowhere else, while a clean runs.
        EnableNavigation(false, commandId == 1015 ? 1053 : 1015);
    }
    for (auto& [id, b] : nav_) b->setChecked(id == commandId);
}

void MainWindow::EnableNavigation(bool enable, int keepButtonId) {
    for (auto& [id, b] : nav_) b->setEnabled(enable || id == keepButtonId);
    navEnabled_ = enable;
    ShowOverwriteLevel();
}

void MainWindow::UpdateStatus() {
    // Rebuilding the next-clean text may find a passed one-time start and ask for the
    // status to be refreshed again: that is this very call.
    if (updatingStatus_) return;
    updatingStatus_ = true;
    const QString next =
        settingsLoaded_ ? QString::fromStdString(schedule_->RefreshNextCleanText()) : QString();
    SetBanner(currentPage_);
    guardButton_->setText(guardActive_ ? Tx<238>() : Tx<212>());
    guardButton_->setAccessibleName(guardButton_->text());
    if (settingsLoaded_) {
        statusPage_->Refresh(next);
        autoWipingMark_->setVisible(actions_->AutoWiping());
        loggingMark_->setVisible(actions_->Logging());
    }
    updatingStatus_ = false;
}

bool MainWindow::SetLogging(bool on) {
    const bool shown = actions_->SetLogging(on);
    UpdateStatus();
    return shown;
}

bool MainWindow::SetAutoWiping(bool on) {
    const bool shown = actions_->SetAutoWiping(on);
    UpdateStatus();
    return shown;
}

void MainWindow::ApplyLogSettings() {
    const QString folder = QString::fromStdString(settings_.LogFolder());
    log_->SetFolder(settings_.LogFolder());
    logPage_->SetSaveToLogfile(actions_->Logging());
    if (logPage_->GetLogFolder() != folder) {
        logPage_->SetLogFolder(folder);
        logPage_->FillLogList();
    }
}

void MainWindow::SetBusy(Busy flag, bool on) { busy_[static_cast<int>(flag)] = on; }

bool MainWindow::AnyBusy() const {
    for (bool b : busy_)
        if (b) return true;
    return false;
}

int MainWindow::CloseRefusal() const {
    static const int kMessages[] = {237, 180, 273, 325, 326, 327, 355, 356};
    for (int i = 0; i < static_cast<int>(Busy::kCount); ++i)
        if (busy_[i]) return i < 8 ? kMessages[i] : -1;
    return 0;
}

void MainWindow::closeEvent(QCloseEvent* e) {
    const int refusal = CloseRefusal();
    if (refusal != 0) {
        if (refusal > 0) ShowMessage(refusal, 102, Messages::Icon::Warning, this);
        e->ignore();
        return;
    }
    QSettings geometry;
    geometry.setValue(QStringLiteral("window/geometry"), saveGeometry());
    e->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* e) {
    // Enter and Escape never close the window, whichever control has the focus.
    if (e->key() == Qt::Key_Escape || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        e->accept();
        return;
    }
    QMainWindow::keyPressEvent(e);
}

bool MainWindow::StepOverwriteLevel(int delta) {
    for (int i = 0; i < static_cast<int>(Busy::kCount); ++i)
        if (busy_[i] && i != static_cast<int>(Busy::DriveAnalysis)) return false;
    const int level = std::clamp(overwriteLevel_ + delta, 1, 7);
    if (level == overwriteLevel_) return false;
    overwriteLevel_ = level;
    ShowOverwriteLevel();
    settings_.Dword("NumOverwrites") = static_cast<uint32_t>(level);
    settings_.SaveManualTaskSet();
    settings_.SaveSettings();
    return true;
}

void MainWindow::ShowOverwriteLevel() {
    levelText_->setText(tr("Overwrite passes: %1").arg(overwriteLevel_));
    levelPicture_->SetLevel(overwriteLevel_);
    levelPicture_->setAccessibleName(levelText_->text());
    // An arrow at its end is greyed: the level stops at 1 and at 7.
    down_->setEnabled(navEnabled_ && overwriteLevel_ > 1);
    up_->setEnabled(navEnabled_ && overwriteLevel_ < 7);
    verifyBox_->setChecked(settings_.ReadWithDefault("VerifyLastPass") == 1);
    receiptsBox_->setChecked(settings_.ReadWithDefault("WriteReceipts") == 1);
    verifyBox_->setEnabled(navEnabled_);
    receiptsBox_->setEnabled(navEnabled_);
}

bool MainWindow::LaunchGuard() { return shell::LaunchResidentGuard(ctx_.guardPath); }

void MainWindow::OnGuardButton() {
    if (guardActive_) {
        if (bridge_) bridge_->Broadcast(shell::Message::GuardStopMessage, 1);
        return;
    }
    // The button changes when the guard says it runs.
    if (!LaunchGuard()) ShowMessage(103, 125, Messages::Icon::Warning, this);
}

void MainWindow::OnBusMessage(const shell::BusMessage& m) {
    if (!m.id) return;
    using shell::Message;
    switch (*m.id) {
        case Message::GuardStateMessage:
            if (!settingsLoaded_) return;
            guardActive_ = m.lparam != 0;
            UpdateStatus();
            break;
        case Message::GuardPingMessage:
            bridge_->Broadcast(Message::GuardQueryMessage, 1);
            break;
        case Message::ReloadSettingsMessage:
            settings_.LoadSettings();
            overwriteLevel_ = settings_.OverwritePasses();
            ApplyLogSettings();
            ShowOverwriteLevel();
            UpdateStatus();
            break;
        case Message::BinChangedMessage:
            RequestBinRefresh(true);
            break;
        case Message::LogLineMessage:
            logPage_->OnLogLine();
            break;
        case Message::ShowBinPageMessage:
            ShowPage(kBinPage);
            BringForward();
            break;
        case Message::ActivateMessage:
            BringForward();
            break;
        case Message::CleanRequestMessage:
            gate_->OnCleanRequest(static_cast<uint32_t>(m.lparam));
            break;
        case Message::ScheduleChangedMessage:
            emit scheduleChanged();
            break;
        default:
            break;
    }
}

sched::RequestOutcome MainWindow::RequestClean(uint32_t code) {
    return gate_->OnCleanRequest(code);
}

void MainWindow::RequestBinRefresh(bool forced) {
    if (IsBusy(Busy::Other) || IsBusy(Busy::BinWiping) || IsBusy(Busy::BinRestoring)) return;
    if (currentPage_ != kCleanupPage && currentPage_ != kAnalysisPage && currentPage_ != kBinPage)
        return;
    if (!forced && guardActive_ && actions_->AutoWiping()) return;
    emit binRefresh();
}

void MainWindow::BringForward() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

QString MainWindow::HelpFileFor(int pageId) const {
    const char* topic = "general";
    switch (pageId) {
        case kStatusPage:
            topic = "status";
            break;
        case kLogPage:
            topic = "log";
            break;
        case kCleanupPage:
        case kSchedulePage:
            topic = "cleanup";
            break;
        case kAnalysisPage:
            topic = "analysis";
            break;
        case kBinPage:
            topic = "recycle-bin";
            break;
        default:
            break;
    }
    const QString folder = ctx_.helpFolder.isEmpty()
                               ? QString::fromStdString(ProgramFolder()) + QStringLiteral("help")
                               : ctx_.helpFolder;
    return folder + QLatin1Char('/') + QLatin1String(topic) + QStringLiteral(".html");
}

void MainWindow::OpenHelp() {
    const QString file = HelpFileFor(currentPage_);
    const int code = QFileInfo::exists(file) ? Open(QUrl::fromLocalFile(file).toString()) : 2;
    if (code <= 32)
        CurrentMessages().Show(this,
                               controls::HyperlinkFailureText(code) + QStringLiteral("\n\n") + file,
                               Tx<102>(), Messages::Icon::Warning);
}

int MainWindow::Open(const QString& url) {
    if (ctx_.openUrl) return ctx_.openUrl(url);
    return QDesktopServices::openUrl(QUrl::fromUserInput(url)) ? controls::kOpenedOk : 31;
}

}  // namespace tw::ui
