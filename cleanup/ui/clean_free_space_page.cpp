// SPDX-License-Identifier: GPL-3.0-or-later
#include "cleanup/ui/clean_free_space_page.h"

#include <QEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "cleanup/ui/task_list.h"
#include "controls/drive_picker.h"
#include "log/activity_log.h"
#include "platform/drives.h"
#include "platform/error.h"
#include "platform/settings.h"
#include "shell/ui/countdown_dialog.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/ui_text.h"

namespace tw::wipe::ui {

using tw::ui::Q;
using tw::ui::TextOf;
using tw::ui::Tx;

namespace {

// The delays of the indicator, in milliseconds: one per change of picture, then again
// from the first.
constexpr std::array<int, 99> kIndicatorDelays = {
    34, 64, 23,  74, 34, 23, 53, 75, 134, 23,  44, 87, 23, 61, 34, 98, 23, 52,  71, 34,
    23, 45, 112, 23, 66, 34, 23, 57, 80,  128, 23, 41, 92, 23, 34, 63, 23, 77,  48, 34,
    23, 55, 101, 23, 69, 34, 23, 43, 85,  117, 23, 58, 34, 23, 74, 39, 23, 96,  51, 34,
    23, 67, 83,  23, 34, 46, 23, 72, 106, 23,  59, 34, 23, 88, 42, 23, 64, 121, 34, 23,
    53, 78, 23,  47, 34, 93, 23, 62, 70,  34,  23, 56, 84, 23, 39, 34, 23, 109, 23};

enum DriveColumn { kDriveName, kDriveFs, kDriveDevice, kDriveColumns };

}  // namespace

// ---------------------------------------------------------------- the indicator

ActivityIndicator::ActivityIndicator(QWidget* parent) : QWidget(parent) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &ActivityIndicator::Flip);
    setAccessibleName(tr("Drive activity"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

int ActivityIndicator::Delay(int step) {
    return kIndicatorDelays[static_cast<size_t>(step) % kIndicatorDelays.size()];
}

QSize ActivityIndicator::sizeHint() const {
    const int h = fontMetrics().height() * 2;
    return {h * 2, h};
}

void ActivityIndicator::SetRunning(bool on) {
    if (on == running_) return;
    running_ = on;
    step_ = 0;
    frame_ = 0;
    if (on)
        timer_.start(Delay(step_));
    else
        timer_.stop();
    setAccessibleDescription(on ? tr("working") : tr("idle"));
    update();
}

void ActivityIndicator::Flip() {
    if (!running_) return;
    frame_ ^= 1;
    ++step_;
    update();
    timer_.start(Delay(step_));
}

void ActivityIndicator::paintEvent(QPaintEvent*) {
    // A drive seen from the front with its activity light; at work the light blinks
    // and the head mark moves between two places.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF body = QRectF(rect()).adjusted(1.5, height() * 0.2, -1.5, -height() * 0.2);
    p.setPen(palette().color(QPalette::Mid));
    p.setBrush(palette().color(QPalette::Button));
    p.drawRoundedRect(body, 3, 3);
    const double r = body.height() * 0.16;
    const QPointF light(body.right() - r * 2.2, body.center().y());
    const bool on = running_ && frame_ == 0;
    p.setBrush(on ? QColor(0x3c, 0xb3, 0x71) : palette().color(QPalette::Base));
    p.drawEllipse(light, r, r);
    // The head: a short bar, left or right of the middle while working, at the left edge
    // at rest.
    const double x = !running_ ? body.left() + body.width() * 0.12
                               : body.left() + body.width() * (frame_ == 0 ? 0.22 : 0.42);
    p.setPen(
        QPen(palette().color(QPalette::Text), std::max(1.5, r * 0.8), Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x, body.top() + body.height() * 0.3),
               QPointF(x, body.bottom() - body.height() * 0.3));
}

// ---------------------------------------------------------------- the page

CCleanFreeSpacePage::CCleanFreeSpacePage(tw::ui::MainWindow* window, Settings* settings,
                                         QWidget* parent)
    : QWidget(parent),
      window_(window),
      settings_(settings),
      run_(std::make_unique<CCleanupRun>(*settings)),
      runner_(new tw::ui::OperationRunner(this)) {
    tasks_ = new QListWidget(this);
    tasks_->setAccessibleName(tr("Clean-up tasks"));
    FillTaskList(tasks_);

    drives_ = new QTableWidget(0, kDriveColumns, this);
    drives_->setAccessibleName(tr("Drives to clean"));
    drives_->setHorizontalHeaderLabels({tr("Drive"), tr("File system"), tr("Device")});
    drives_->verticalHeader()->hide();
    drives_->setSelectionBehavior(QAbstractItemView::SelectRows);
    drives_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    drives_->setSortingEnabled(false);  // the list order is the order of cleaning
    drives_->setWordWrap(false);
    // Long mount points and device paths lose their middle, never their ends.
    drives_->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = drives_->horizontalHeader();
    header->setSectionResizeMode(kDriveName, QHeaderView::Stretch);
    header->setSectionResizeMode(kDriveFs, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(kDriveDevice, QHeaderView::Interactive);
    header->resizeSection(kDriveDevice, fontMetrics().averageCharWidth() * 16);

    start_ = new QPushButton(tr("&Start Clean-up"), this);
    pause_ = new QPushButton(Tx<157>(), this);
    abort_ = new QPushButton(tr("&Abort"), this);
    for (int i = 0; i < 2; ++i) {
        bars_[i] = new QProgressBar(this);
        bars_[i]->setRange(0, 372);
        bars_[i]->setValue(0);
    }
    bars_[0]->setAccessibleName(tr("Progress of the current step"));
    bars_[1]->setAccessibleName(tr("Overall progress"));
    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setAccessibleName(tr("Status"));
    time_ = new QLabel(this);
    time_->setAccessibleName(tr("Time remaining"));
    plan_ = new QLabel(this);
    plan_->setWordWrap(true);
    plan_->setAccessibleName(tr("What the clean-up will do"));
    driveText_ = new QLabel(this);
    driveText_->setAccessibleName(tr("Drive being cleaned"));
    indicator_ = new ActivityIndicator(this);

    connect(start_, &QPushButton::clicked, this, [this] { Start(kCleanPageStart); });
    connect(pause_, &QPushButton::clicked, this, &CCleanFreeSpacePage::TogglePause);
    connect(abort_, &QPushButton::clicked, this, &CCleanFreeSpacePage::Abort);
    connect(tasks_, &QListWidget::itemChanged, this, [this] {
        edited_ = true;
        if (!Running()) ShowPlan();
    });
    connect(drives_, &QTableWidget::itemChanged, this, [this] {
        edited_ = true;
        if (!Running()) ShowPlan();
    });
    connect(runner_, &tw::ui::OperationRunner::finished, this, &CCleanFreeSpacePage::OnFinished);
    connect(runner_, &tw::ui::OperationRunner::rangeChanged, this,
            [this](int bar, qint64 low, qint64 high) {
                bars_[bar & 1]->setRange(static_cast<int>(std::clamp<qint64>(low, 0, INT_MAX)),
                                         static_cast<int>(std::clamp<qint64>(high, 0, INT_MAX)));
            });
    connect(runner_, &tw::ui::OperationRunner::posChanged, this, [this](int bar, qint64 pos) {
        bars_[bar & 1]->setValue(static_cast<int>(std::clamp<qint64>(pos, 0, INT_MAX)));
    });
    connect(runner_, &tw::ui::OperationRunner::textChanged, this,
            [this](int slot, const QString& text) {
                if (slot == ProgressSink::TimeRemaining)
                    time_->setText(text);
                else
                    SetStatus(text);
            });
    if (window_) window_->installEventFilter(this);
    if (window_)
        connect(window_, &tw::ui::MainWindow::drivesChanged, this, [this] {
            if (!Running()) RefreshDrives();
        });

    auto* taskBox = new QGroupBox(tr("Tasks"), this);
    auto* taskColumn = new QVBoxLayout(taskBox);
    taskColumn->addWidget(tasks_);
    auto* driveBox = new QGroupBox(tr("Drives"), this);
    auto* driveColumn = new QVBoxLayout(driveBox);
    driveColumn->addWidget(drives_);
    auto* lists = new QHBoxLayout;
    // The task rows are short and fixed; the drives take the rest of the width.
    tasks_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    tasks_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    lists->addWidget(taskBox, 0);
    lists->addWidget(driveBox, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(pause_);
    buttons->addWidget(abort_);
    buttons->addStretch(1);
    buttons->addWidget(driveText_);
    buttons->addWidget(indicator_);

    auto* column = new QVBoxLayout(this);
    column->addLayout(lists, 1);
    column->addWidget(plan_);
    column->addLayout(buttons);
    column->addWidget(bars_[0]);
    column->addWidget(bars_[1]);
    column->addWidget(status_);
    column->addWidget(time_);

    LoadManualSet();
    UpdateControls();
}

CCleanFreeSpacePage::~CCleanFreeSpacePage() {
    // The worker uses the run: it is stopped and waited for before the run goes.
    delete runner_;
}

bool CCleanFreeSpacePage::Running() const { return runner_->Running(); }

TaskSet CCleanFreeSpacePage::CheckedTasks() const { return TasksOf(tasks_); }

void CCleanFreeSpacePage::SetTasks(const TaskSet& set) {
    const QSignalBlocker block(tasks_);
    ShowTasks(tasks_, set);
    ShowPlan();
}

std::vector<std::string> CCleanFreeSpacePage::CheckedDrives() const {
    std::vector<std::string> out;
    for (int r = 0; r < drives_->rowCount(); ++r) {
        const QTableWidgetItem* it = drives_->item(r, kDriveName);
        if (it->checkState() == Qt::Checked)
            out.push_back(it->data(Qt::UserRole).toString().toStdString());
    }
    return out;
}

void CCleanFreeSpacePage::SetDrives(const std::vector<std::string>& chosen) {
    const QSignalBlocker block(drives_);
    RefreshDrives();
    // A chosen drive that is not mounted now keeps its row: the choice stays visible and
    // is stored again, and the run says why it was not cleaned.
    for (const std::string& text : chosen) {
        bool listed = false;
        for (int r = 0; r < drives_->rowCount() && !listed; ++r)
            listed = drives_->item(r, kDriveName)->data(Qt::UserRole).toString() == Q(text);
        if (listed) continue;
        const int r = drives_->rowCount();
        drives_->insertRow(r);
        auto* name = new QTableWidgetItem(Q(text) + QStringLiteral(": ") + tr("(not mounted)"));
        name->setData(Qt::UserRole, Q(text));
        name->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        drives_->setItem(r, kDriveName, name);
        drives_->setItem(r, kDriveFs, new QTableWidgetItem);
        drives_->setItem(r, kDriveDevice, new QTableWidgetItem);
    }
    for (int r = 0; r < drives_->rowCount(); ++r) {
        QTableWidgetItem* it = drives_->item(r, kDriveName);
        const std::string mp = it->data(Qt::UserRole).toString().toStdString();
        const bool on = std::find(chosen.begin(), chosen.end(), mp) != chosen.end();
        if (it->flags() & Qt::ItemIsUserCheckable)
            it->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    ShowPlan();
}

void CCleanFreeSpacePage::RefreshDrives() {
    const QSignalBlocker block(drives_);
    const std::vector<std::string> kept =
        drives_->rowCount() > 0 ? CheckedDrives() : std::vector<std::string>{};
    drives_->setRowCount(0);
    for (const DriveInfo& d : ListMounts()) {
        // Nothing can be cleaned on a disc.
        if (d.type == DriveType::CdRom) continue;
        const int r = drives_->rowCount();
        drives_->insertRow(r);
        auto* name = new QTableWidgetItem(controls::DriveIcon(d.type), controls::DriveText(d));
        name->setData(Qt::UserRole, Q(d.mountPoint));
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (!d.readOnly) {
            flags |= Qt::ItemIsUserCheckable;
            const bool on = std::find(kept.begin(), kept.end(), d.mountPoint) != kept.end();
            name->setCheckState(on ? Qt::Checked : Qt::Unchecked);
        }
        const QString caveat = controls::DriveCaveatToolTip(d.mountPoint);
        name->setToolTip(d.readOnly
                             ? tr("Mounted read-only: it cannot be cleaned.") +
                                   (caveat.isEmpty() ? QString() : QStringLiteral("\n") + caveat)
                             : caveat);
        name->setFlags(flags);
        drives_->setItem(r, kDriveName, name);
        drives_->setItem(r, kDriveFs, new QTableWidgetItem(Q(d.fsType)));
        drives_->setItem(r, kDriveDevice, new QTableWidgetItem(Q(d.device)));
    }
}

void CCleanFreeSpacePage::LoadManualSet() {
    SetTasks(LoadTaskSet(*settings_, false));
    SetDrives(settings_->DriveSet(kManualDrives));
    edited_ = false;
}

bool CCleanFreeSpacePage::eventFilter(QObject* watched, QEvent* e) {
    // The window closes: the rows and drives the user changed are the manual set. Only
    // what the user changed: after a timed clean the page shows the scheduled set, which
    // must not become the manual one.
    if (watched == window_ && e->type() == QEvent::Close && edited_ && !Running()) {
        StoreTaskSet(*settings_, CheckedTasks(), false);
        settings_->SetDriveSet(kManualDrives, CheckedDrives());
        edited_ = false;
    }
    return QWidget::eventFilter(watched, e);
}

void CCleanFreeSpacePage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Shown while no clean runs: the stored manual choice.
    if (!Running()) LoadManualSet();
}

void CCleanFreeSpacePage::ShowPlan() {
    QString text = Q(PlanText(Running() ? run_->tasks : CheckedTasks()));
    // What an overwrite reaches on each chosen drive: the drive list's tool tip (a drive
    // that is not mounted has none).
    const std::vector<std::string> chosen = Running() ? run_->drives : CheckedDrives();
    for (int r = 0; r < drives_->rowCount(); ++r) {
        const QTableWidgetItem* it = drives_->item(r, kDriveName);
        const std::string mp = it->data(Qt::UserRole).toString().toStdString();
        if (std::find(chosen.begin(), chosen.end(), mp) != chosen.end() && !it->toolTip().isEmpty())
            text += QLatin1Char('\n') + it->toolTip();
    }
    plan_->setText(text);
}

void CCleanFreeSpacePage::SetStatus(const QString& text) {
    // While paused the pause text stays; the run's latest status comes back on resume.
    // After an abort the abort text stays until the run has ended.
    if (paused_) {
        savedStatus_ = text;
        return;
    }
    if (Running() && aborting_) return;
    status_->setText(text);
}

void CCleanFreeSpacePage::UpdateControls() {
    const bool running = Running();
    start_->setEnabled(!running);
    tasks_->setEnabled(!running);
    drives_->setEnabled(!running);
    pause_->setEnabled(running && !aborting_);
    abort_->setEnabled(running && !aborting_);
    pause_->setText(paused_ ? Tx<158>() : Tx<157>());
}

bool CCleanFreeSpacePage::Start(uint32_t requestCode) {
    if (Running()) return false;
    // 1, 2. The sets of the request, shown on the page; a page start runs the page.
    if (requestCode == kCleanScheduledForced || requestCode == kCleanScheduled ||
        requestCode == kCleanRunNow) {
        run_->LoadSets(requestCode);
        SetTasks(run_->tasks);
        SetDrives(run_->drives);
        edited_ = false;
    } else {
        edited_ = false;  // stored now
        run_->tasks = CheckedTasks();
        run_->drives = CheckedDrives();
        // The page's choice is the manual set from now on.
        StoreTaskSet(*settings_, run_->tasks, false);
        settings_->SetDriveSet(kManualDrives, run_->drives);
    }
    // 3. No drive, no run. Only the user who pressed start is asked; a timed clean
    // finds no one to answer a message and says so in the status line and the log.
    if (run_->drives.empty()) {
        const QString why = Q(TextWith(TextId<1632>, Str<1533>()));
        status_->setText(why);
        if (requestCode == kCleanPageStart)
            tw::ui::ShowMessage(550, 102, tw::ui::Messages::Icon::Warning, this);
        else if (window_ && settings_->ReadWithDefault("SaveToLogfile") != 0)
            log::LogToFile(why.toStdString(), window_->LogWriter());
        return false;
    }
    run_->passCount = settings_->OverwritePasses();
    run_->hooks.plan = [this](std::string_view text) {
        QMetaObject::invokeMethod(
            this, [this, t = Q(text)] { plan_->setText(t); }, Qt::QueuedConnection);
    };
    run_->hooks.driveStarted = [this](const CleanupDrive& d) {
        QMetaObject::invokeMethod(
            this, [this, t = Q(TextWith(TextId<1537>, d.text))] { driveText_->setText(t); },
            Qt::QueuedConnection);
    };
    run_->hooks.activity = [this](bool on) {
        QMetaObject::invokeMethod(
            this, [this, on] { indicator_->SetRunning(on); }, Qt::QueuedConnection);
    };

    log::CActivityLogFile* writer = nullptr;
    if (window_ && settings_->ReadWithDefault("SaveToLogfile") != 0) writer = window_->LogWriter();
    auto summary = std::make_shared<CleanupSummary>();
    CCleanupRun* run = run_.get();
    paused_ = false;
    aborting_ = false;
    if (!runner_->Start(
            [run, summary, requestCode](const OpContext& op) {
                *summary = run->Start(op, requestCode);
                return QVariant();
            },
            writer))
        return false;
    summary_ = summary;
    status_->clear();
    time_->clear();
    driveText_->clear();
    for (QProgressBar* b : bars_) b->setValue(b->minimum());
    if (window_) {
        window_->SetBusy(tw::ui::Busy::DriveCleaning, true);
        // Between the clean's view and the log only, while it runs.
        window_->EnableNavigation(false, 1015);
    }
    UpdateControls();
    return true;
}

void CCleanFreeSpacePage::TogglePause() {
    if (!Running() || aborting_) return;
    paused_ = !paused_;
    if (paused_) {
        savedStatus_ = status_->text();
        status_->setText(Tx<150>());
    }
    runner_->Pause(paused_);
    if (!paused_) status_->setText(savedStatus_);
    UpdateControls();
}

void CCleanFreeSpacePage::Abort() {
    if (!Running() || aborting_) return;
    paused_ = false;
    status_->setText(Tx<461>());
    aborting_ = true;
    // A paused run is woken by the stop and goes to its closing lines.
    runner_->Stop();
    UpdateControls();
}

bool CCleanFreeSpacePage::CountDownToShutdown() {
    tw::ui::cProceedCancelDialog dialog(this, ticks_);
    dialog.SetUpShutdown();
    return dialog.exec() == QDialog::Accepted;
}

void CCleanFreeSpacePage::OnFinished() {
    const std::shared_ptr<CleanupSummary> summary = std::move(summary_);
    paused_ = false;
    indicator_->SetRunning(false);
    driveText_->clear();
    if (window_) {
        window_->SetBusy(tw::ui::Busy::DriveCleaning, false);
        window_->EnableNavigation(true);
    }
    UpdateControls();
    ShowPlan();
    if (!summary) return;
    status_->setText(!summary->started  ? Q(TextWith(TextId<1632>, summary->notStartedReason))
                     : summary->aborted ? Tx<1631>()
                                        : Tx<1630>());
    for (const DriveOutcome& d : summary->drives)
        if (d.freeSpaceFailure != FreeSpaceFailure::None)
            tw::ui::CurrentMessages().Show(this, Q(FreeSpaceFailureText(d.freeSpaceFailure)),
                                           Tx<102>(), tw::ui::Messages::Icon::Warning);
    if (summary->shutdownDue) {
        log::CActivityLogFile* writer = nullptr;
        if (window_ && settings_->ReadWithDefault("SaveToLogfile") != 0)
            writer = window_->LogWriter();
        log::LogToFile(Str<1633>(), writer);
        run_->Shutdown(*summary, [this, writer](CProceedCancelDialog&) {
            const bool proceed = CountDownToShutdown();
            log::LogToFile(
                proceed ? TextWith(TextId<1635>, CCleanupRun::PowerOffCommand()) : Str<1634>(),
                writer);
            return proceed;
        });
        if (summary->shutdownProceeded && summary->powerOffStatus != 0) {
            const std::string line = TextWith(TextId<1636>, CCleanupRun::PowerOffCommand(),
                                              std::to_string(summary->powerOffStatus));
            log::LogToFile(line, writer);
            status_->setText(Q(line));
        }
    }
    emit runFinished();
}

}  // namespace tw::wipe::ui
