// SPDX-License-Identifier: GPL-3.0-or-later
#include "scheduler/ui/schedule_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <QVBoxLayout>
#include <set>

#include "cleanup/cleanup_tasks.h"
#include "cleanup/ui/task_list.h"
#include "controls/drive_picker.h"
#include "shell/ui/main_window.h"
#include "shell/ui/ui_text.h"

namespace tw::sched::ui {

using tw::ui::Q;
using tw::ui::TextOf;
using tw::ui::Tx;

namespace {

constexpr int kMountRole = Qt::UserRole + 1;

}  // namespace

CSchedulePage::CSchedulePage(tw::ui::MainWindow* window, QWidget* parent)
    : QWidget(parent), window_(window), model_(window->Schedule()) {
    drives_ = new QListWidget(this);
    drives_->setAccessibleName(tr("Drives to clean"));
    tasks_ = new QListWidget(this);
    tasks_->setAccessibleName(tr("Tasks of the timed clean"));
    wipe::ui::FillTaskList(tasks_);

    auto* when = new QGroupBox(tr("When"), this);
    today_ = new QRadioButton(tr("Run &today only"), when);
    onDays_ = new QRadioButton(tr("Run on &these days"), when);
    static const char* const kDays[7] = {QT_TR_NOOP("Sun"), QT_TR_NOOP("Mon"), QT_TR_NOOP("Tue"),
                                         QT_TR_NOOP("Wed"), QT_TR_NOOP("Thu"), QT_TR_NOOP("Fri"),
                                         QT_TR_NOOP("Sat")};
    auto* dayRow = new QHBoxLayout;
    for (int d = 0; d < 7; ++d) {
        days_[static_cast<size_t>(d)] = new QCheckBox(tr(kDays[d]), when);
        days_[static_cast<size_t>(d)]->setAccessibleName(TextOf(494 + d));
        dayRow->addWidget(days_[static_cast<size_t>(d)]);
        connect(days_[static_cast<size_t>(d)], &QCheckBox::toggled, this, [this] { OnChange(); });
    }
    dayRow->addStretch(1);
    picker_ = new QTimeEdit(when);
    picker_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    picker_->setAccessibleName(tr("Time of the clean"));
    auto* pickerLabel = new QLabel(tr("At t&ime:"), when);
    pickerLabel->setBuddy(picker_);
    auto* pickerRow = new QHBoxLayout;
    pickerRow->addWidget(pickerLabel);
    pickerRow->addWidget(picker_);
    pickerRow->addStretch(1);
    auto* whenColumn = new QVBoxLayout(when);
    whenColumn->addWidget(today_);
    whenColumn->addWidget(onDays_);
    whenColumn->addLayout(dayRow);
    whenColumn->addLayout(pickerRow);
    connect(today_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) OnChange();
    });
    connect(onDays_, &QRadioButton::toggled, this, [this](bool on) {
        if (on) OnChange();
    });
    connect(picker_, &QTimeEdit::timeChanged, this, [this] { OnChange(); });
    // A tick in either list is a change too: otherwise the button would offer to
    // disable, and the new choice could not be saved.
    connect(drives_, &QListWidget::itemChanged, this, [this] { OnChange(); });
    connect(tasks_, &QListWidget::itemChanged, this, [this] { OnChange(); });

    clock_ = new QLabel(this);
    clock_->setAccessibleName(tr("Time now"));
    next_ = new QLabel(this);
    next_->setWordWrap(true);
    next_->setAccessibleName(Tx<484>());
    auto* facts = new QGridLayout;
    facts->addWidget(new QLabel(tr("Time now:"), this), 0, 0);
    facts->addWidget(clock_, 0, 1);
    facts->addWidget(new QLabel(Tx<484>() + QLatin1Char(':'), this), 1, 0);
    facts->addWidget(next_, 1, 1);
    facts->setColumnStretch(1, 1);

    save_ = new QPushButton(this);
    runNow_ = new QPushButton(tr("Run Clean-up &NOW!"), this);
    connect(save_, &QPushButton::clicked, this, &CSchedulePage::PressSaveButton);
    connect(runNow_, &QPushButton::clicked, this, &CSchedulePage::RunNow);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(runNow_);
    buttons->addWidget(save_);

    auto* drivesBox = new QGroupBox(tr("&Drives"), this);
    (new QVBoxLayout(drivesBox))->addWidget(drives_);
    auto* tasksBox = new QGroupBox(tr("T&asks"), this);
    (new QVBoxLayout(tasksBox))->addWidget(tasks_);
    // The drives take the left half at full height; the tasks (as tall as their eight
    // rows) and the time of the clean stand on the right.
    tasks_->setSizeAdjustPolicy(QAbstractScrollArea::AdjustToContents);
    tasks_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto* right = new QVBoxLayout;
    right->addWidget(tasksBox);
    right->addWidget(when);
    right->addLayout(facts);
    right->addStretch(1);
    auto* lists = new QHBoxLayout;
    lists->addWidget(drivesBox, 1);
    lists->addLayout(right, 1);
    auto* column = new QVBoxLayout(this);
    column->addLayout(lists, 1);
    column->addLayout(buttons);

    connect(window_, &tw::ui::MainWindow::drivesChanged, this,
            [this] { FillDrives(ListMounts()); });
    connect(window_, &tw::ui::MainWindow::scheduleChanged, this, &CSchedulePage::OnChange);
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &CSchedulePage::Tick);
    FillDrives(ListMounts());
    LoadFromModel();
}

void CSchedulePage::FillDrives(const std::vector<DriveInfo>& drives) {
    const bool wasLoading = loading_;
    loading_ = true;  // a new list is not a change of the user's
    std::set<QString> ticked;
    for (int i = 0; i < drives_->count(); ++i)
        if (drives_->item(i)->checkState() == Qt::Checked)
            ticked.insert(drives_->item(i)->data(kMountRole).toString());
    drives_->clear();
    for (const DriveInfo& d : drives) {
        if (d.type == DriveType::CdRom) continue;
        auto* item = new QListWidgetItem(controls::DriveIcon(d.type), controls::DriveText(d));
        const QString mp = Q(d.mountPoint);
        item->setData(kMountRole, mp);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(ticked.count(mp) ? Qt::Checked : Qt::Unchecked);
        drives_->addItem(item);
    }
    loading_ = wasLoading;
}

void CSchedulePage::LoadFromModel() {
    loading_ = true;
    const ScheduleControls c = model_.ControlsFromRecord();
    const std::set<std::string> chosen(c.drives.begin(), c.drives.end());
    for (int i = 0; i < drives_->count(); ++i) {
        const std::string mp = drives_->item(i)->data(kMountRole).toString().toStdString();
        drives_->item(i)->setCheckState(chosen.count(mp) ? Qt::Checked : Qt::Unchecked);
    }
    wipe::ui::ShowTasks(tasks_, c.tasks);
    (c.runTodayOnly ? today_ : onDays_)->setChecked(true);
    for (int d = 0; d < 7; ++d) days_[static_cast<size_t>(d)]->setChecked(c.days[d]);
    picker_->setTime(QTime(c.picker.hour, c.picker.minute, c.picker.second));
    loading_ = false;
    model_.RefreshNextCleanText();
    ShowModel();
}

SystemTime CSchedulePage::PickerTime() const {
    // The picker's date is held on today: it takes part in the next-run count.
    SystemTime t = window_->Clock()();
    const QTime time = picker_->time();
    t.hour = time.hour();
    t.minute = time.minute();
    t.second = time.second();
    t.milliseconds = 0;
    return t;
}

ScheduleControls CSchedulePage::Controls() const {
    ScheduleControls c;
    for (int i = 0; i < drives_->count(); ++i)
        if (drives_->item(i)->checkState() == Qt::Checked)
            c.drives.push_back(drives_->item(i)->data(kMountRole).toString().toStdString());
    c.tasks = wipe::ui::TasksOf(tasks_);
    c.runTodayOnly = today_->isChecked();
    for (int d = 0; d < 7; ++d) c.days[d] = days_[static_cast<size_t>(d)]->isChecked();
    c.picker = PickerTime();
    return c;
}

void CSchedulePage::OnChange() {
    if (loading_) return;
    const ScheduleControls c = Controls();
    model_.record.repeatType = c.runTodayOnly ? uint32_t{kRunOnce} : uint32_t{kRunOnDays};
    for (int d = 0; d < 7; ++d) model_.record.days[d] = c.days[d] ? 1 : 0;
    // The start as a save would make it: today at the picker's time for a one-time
    // clean, the next chosen day at that time otherwise, so that the text never names
    // a day that is not chosen.
    SystemTime s =
        c.runTodayOnly ? c.picker : NextRunDate(window_->Clock()(), model_.record, c.picker);
    s.hour = c.picker.hour;
    s.minute = c.picker.minute;
    s.second = c.picker.second;
    s.milliseconds = 0;
    FileTime ft = 0;
    if (SystemTimeToFileTime(s, &ft)) model_.start = ft;
    model_.dirty = true;
    model_.buttonText = Str<541>();
    model_.RefreshNextCleanText();
    ShowModel();
}

void CSchedulePage::PressSaveButton() {
    model_.PressSaveButton(Controls());
    ShowModel();
}

void CSchedulePage::RunNow() {
    if (model_.RunNow(Controls())) window_->RequestClean(kRequestRunNow);
    ShowModel();
}

void CSchedulePage::ShowModel() {
    save_->setText(Q(model_.buttonText));
    next_->setText(Q(model_.nextCleanText));
    Tick();
}

void CSchedulePage::Tick() {
    const SystemTime now = window_->Clock()();
    clock_->setText(QString::asprintf("%02d:%02d:%02d", now.hour, now.minute, now.second));
}

void CSchedulePage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // Unsaved changes stay as they are; otherwise the page shows what is stored.
    if (!model_.dirty) LoadFromModel();
    tick_.start();
    Tick();
}

void CSchedulePage::hideEvent(QHideEvent* e) {
    QWidget::hideEvent(e);
    tick_.stop();  // nobody reads the clock of a hidden page
}

}  // namespace tw::sched::ui
