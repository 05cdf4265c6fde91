// SPDX-License-Identifier: GPL-3.0-or-later
#include "volume/ui/analyze_drive_page.h"

#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QVBoxLayout>
#include <set>

#include "controls/drive_picker.h"
#include "controls/folder_dialog.h"
#include "controls/placeholder_view.h"
#include "platform/drives.h"
#include "platform/format.h"
#include "platform/settings.h"
#include "shell/ui/admin_start.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/ui_text.h"
#include "volume/ui/file_slack_viewer.h"

namespace tw::volume::ui {

using tw::ui::Messages;
using tw::ui::Q;
using tw::ui::Tx;

namespace {
constexpr int kSourceRole = Qt::UserRole;
constexpr int kMountRole = Qt::UserRole + 1;
constexpr int kOpenImageRole = Qt::UserRole + 2;

QString SizeText(uint64_t bytes) {
    return bytes >= 1024 ? Q(FormatSize(bytes, "%2.2f")) : QString::number(bytes) + " b";
}

bool IsNtfsOrFat(const std::string& type) {
    return type == "ntfs" || type == "ntfs3" || type == "vfat" || type == "msdos" ||
           type == "fuseblk";
}

QString ReadSys(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromLatin1(f.readAll()).trimmed();
}

// The block devices and partitions of the machine that may hold a volume: whole disks
// without partitions, and partitions. Optical, RAM and unattached loop devices are left
// out (reading them is slow or pointless).
QStringList BlockVolumes() {
    QStringList out;
    const QDir sys(QStringLiteral("/sys/block"));
    for (const QString& disk : sys.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (disk.startsWith("sr") || disk.startsWith("ram") || disk.startsWith("zram") ||
            disk.startsWith("fd"))
            continue;
        const QString base = sys.filePath(disk);
        if (disk.startsWith("loop") && !QFile::exists(base + "/loop/backing_file")) continue;
        QStringList parts;
        for (const QString& e : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (e.startsWith(disk) && QFile::exists(base + "/" + e + "/partition")) parts << e;
        if (parts.isEmpty()) parts << disk;
        for (const QString& p : parts) {
            const QString dir = p == disk ? base : base + "/" + p;
            if (ReadSys(dir + "/size").toULongLong() == 0) continue;
            out << "/dev/" + p;
        }
    }
    return out;
}
}  // namespace

// ---------------------------------------------------------------- the model

int FoundModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}
int FoundModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant FoundModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const FoundRow& r = rows_[static_cast<size_t>(index.row())];
    const int col = index.column();
    if (role == Qt::DisplayRole) {
        switch (col) {
            case Name:
                return Q(r.name);
            case Ext:
                return Q(r.ext);
            case Folder:
                return Q(r.folder);
            case Size:
                return SizeText(r.size);
            case Last:
                if (slack_) return SizeText(r.slackBytes);
                return QString::number(r.recoverability);
        }
    } else if (role == kSortRole) {
        switch (col) {
            case Size:
                return QVariant::fromValue<qulonglong>(r.size);
            case Last:
                return slack_ ? QVariant::fromValue<qulonglong>(r.slackBytes)
                              : QVariant(r.recoverability);
            default:
                return data(index, Qt::DisplayRole).toString().toLower();
        }
    } else if (role == Qt::ToolTipRole) {
        return Q(r.details);
    } else if (role == Qt::TextAlignmentRole && (col == Size || col == Last)) {
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
}

QVariant FoundModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case Name:
            return slack_ ? tr("Slack at end of file") : tr("File name");
        case Ext:
            return tr("Ext");
        case Folder:
            return tr("Folder");
        case Size:
            return tr("Size");
        case Last:
            return slack_ ? tr("Slack") : (ntfs_ ? tr("% Rec") : QString());
    }
    return {};
}

void FoundModel::Reset(bool slackMode, bool ntfs) {
    beginResetModel();
    rows_.clear();
    slack_ = slackMode;
    ntfs_ = ntfs;
    endResetModel();
    emit headerDataChanged(Qt::Horizontal, 0, kColumns - 1);
}

void FoundModel::SetNtfs(bool ntfs) {
    if (ntfs == ntfs_) return;
    ntfs_ = ntfs;
    emit headerDataChanged(Qt::Horizontal, Last, Last);
    if (!rows_.empty()) emit dataChanged(index(0, Last), index(rowCount() - 1, Last));
}

void FoundModel::Append(std::vector<FoundRow>&& rows) {
    if (rows.empty()) return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    for (FoundRow& r : rows) rows_.push_back(std::move(r));
    endInsertRows();
}

FoundFilter::FoundFilter(QObject* parent) : QSortFilterProxyModel(parent) {
    setSortRole(FoundModel::kSortRole);
    setDynamicSortFilter(true);
}

void FoundFilter::SetFilter(const QString& name, const QString& ext) {
    name_ = name;
    ext_ = ext.compare(QStringLiteral("all"), Qt::CaseInsensitive) == 0 ? QString() : ext;
    if (ext_.startsWith('.')) ext_.remove(0, 1);
    invalidateRowsFilter();
}

bool FoundFilter::filterAcceptsRow(int row, const QModelIndex&) const {
    const auto* m = static_cast<const FoundModel*>(sourceModel());
    const FoundRow& r = m->Row(row);
    if (!ext_.isEmpty() && Q(r.ext).compare(ext_, Qt::CaseInsensitive) != 0) return false;
    return name_.isEmpty() || Q(r.name).contains(name_, Qt::CaseInsensitive);
}

bool FoundFilter::lessThan(const QModelIndex& left, const QModelIndex& right) const {
    const auto* m = static_cast<const FoundModel*>(sourceModel());
    const FoundRow& a = m->Row(left.row());
    const FoundRow& b = m->Row(right.row());
    auto text = [](const std::string& x, const std::string& y) {
        return QString::compare(Q(x), Q(y), Qt::CaseInsensitive) < 0;
    };
    switch (left.column()) {
        case FoundModel::Name:
            return text(a.name, b.name);
        case FoundModel::Ext:
            return text(a.ext, b.ext);
        case FoundModel::Folder:
            return text(a.folder, b.folder);
        case FoundModel::Size:
            return a.size < b.size;
        case FoundModel::Last:
            return m->SlackMode() ? a.slackBytes < b.slackBytes
                                  : a.recoverability < b.recoverability;
    }
    return false;
}

// ---------------------------------------------------------------- the page

CAnalyzeDrivePage::CAnalyzeDrivePage(tw::ui::MainWindow* window, Settings* settings,
                                     QWidget* parent)
    : QWidget(parent),
      window_(window),
      settings_(settings),
      engine_(std::make_unique<AnalysisEngine>()),
      runner_(new tw::ui::OperationRunner(this)) {
    drives_ = new QComboBox(this);
    drives_->setAccessibleName(tr("Drive"));
    drives_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    nameFilter_ = new QLineEdit(this);
    nameFilter_->setPlaceholderText(
        tr("Type the name (or part of name) of the file you're looking for here."));
    nameFilter_->setClearButtonEnabled(true);
    nameFilter_->setAccessibleName(tr("Search for"));
    extFilter_ = new QComboBox(this);
    extFilter_->setEditable(true);
    extFilter_->setInsertPolicy(QComboBox::NoInsert);
    extFilter_->lineEdit()->setPlaceholderText(
        tr("Select the extension of the file you're looking for or type the first letter."));
    extFilter_->setToolTip(extFilter_->lineEdit()->placeholderText());
    extFilter_->setAccessibleName(tr("Extension"));
    extFilter_->setMinimumContentsLength(8);

    find_ = new QPushButton(tr("&Find deleted files"), this);
    slacks_ = new QPushButton(tr("&Test for file slacks"), this);
    setFolder_ = new QPushButton(tr("Set recovery f&older"), this);
    folderLabel_ = new QLabel(this);
    folderLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    selectAll_ = new QPushButton(tr("Select &all"), this);
    deselectAll_ = new QPushButton(tr("&Deselect all"), this);
    wipe_ = new QPushButton(tr("&Wipe selected"), this);
    recover_ = new QPushButton(tr("R&ecover selected"), this);

    progress_ = new tw::ui::ProgressPanel(this);
    progress_->Bind(runner_);
    stopBtn_ = progress_->StopButton();
    stopBtn_->setText(tr("&Stop searching"));
    progress_->PauseButton()->hide();

    model_ = new FoundModel(this);
    proxy_ = new FoundFilter(this);
    proxy_->setSourceModel(model_);
    list_ = new controls::PlaceholderTableView(this);
    list_->SetEmptyText(tr("No items to display"));
    list_->setModel(proxy_);
    list_->setSortingEnabled(true);
    list_->sortByColumn(-1, Qt::AscendingOrder);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 6);
    list_->setWordWrap(false);
    list_->setAccessibleName(tr("Found items"));
    QHeaderView* h = list_->horizontalHeader();
    h->setSectionResizeMode(QHeaderView::Interactive);
    h->setStretchLastSection(false);
    const int em = fontMetrics().horizontalAdvance(QLatin1Char('M'));
    h->resizeSection(FoundModel::Name, em * 16);
    h->resizeSection(FoundModel::Ext, em * 4);
    h->setSectionResizeMode(FoundModel::Folder, QHeaderView::Stretch);
    h->resizeSection(FoundModel::Size, em * 9);
    h->resizeSection(FoundModel::Last, em * 5);
    list_->installEventFilter(this);

    details_ = new QLabel(this);
    details_->setWordWrap(true);
    details_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    log_ = new QPlainTextEdit(this);
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(2000);
    log_->setAccessibleName(tr("Search log"));
    log_->setFixedHeight(fontMetrics().height() * 4 + 10);

    // Layout: the drive and the filters, the actions, the progress, the list, the log,
    // the buttons for the selection.
    auto* grid = new QGridLayout;
    auto* driveLabel = new QLabel(tr("Dri&ve:"), this);
    driveLabel->setBuddy(drives_);
    auto* searchLabel = new QLabel(tr("Search f&or:"), this);
    searchLabel->setBuddy(nameFilter_);
    auto* dot = new QLabel(QStringLiteral("."), this);
    dot->setBuddy(extFilter_);
    grid->addWidget(driveLabel, 0, 0);
    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(drives_, 1);
    driveRow->addWidget(find_);
    driveRow->addWidget(slacks_);
    grid->addLayout(driveRow, 0, 1, 1, 3);
    grid->addWidget(searchLabel, 1, 0);
    grid->addWidget(nameFilter_, 1, 1);
    grid->addWidget(dot, 1, 2);
    grid->addWidget(extFilter_, 1, 3);
    grid->setColumnStretch(1, 1);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(setFolder_);
    folderRow->addWidget(folderLabel_, 1);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(selectAll_);
    bottom->addWidget(deselectAll_);
    bottom->addStretch(1);
    bottom->addWidget(recover_);
    bottom->addWidget(wipe_);

    auto* column = new QVBoxLayout(this);
    column->addLayout(grid);
    column->addLayout(folderRow);
    column->addWidget(progress_);
    column->addWidget(list_, 1);
    column->addWidget(details_);
    column->addWidget(log_);
    column->addLayout(bottom);

    connect(find_, &QPushButton::clicked, this, &CAnalyzeDrivePage::FindDeletedFiles);
    connect(slacks_, &QPushButton::clicked, this, &CAnalyzeDrivePage::TestForFileSlacks);
    connect(stopBtn_, &QPushButton::clicked, this, &CAnalyzeDrivePage::StopSearching);
    connect(setFolder_, &QPushButton::clicked, this, &CAnalyzeDrivePage::SetRecoveryFolder);
    connect(selectAll_, &QPushButton::clicked, this, &CAnalyzeDrivePage::SelectAll);
    connect(deselectAll_, &QPushButton::clicked, this, &CAnalyzeDrivePage::DeselectAll);
    connect(wipe_, &QPushButton::clicked, this, &CAnalyzeDrivePage::WipeSelected);
    connect(recover_, &QPushButton::clicked, this, &CAnalyzeDrivePage::RecoverSelected);
    connect(nameFilter_, &QLineEdit::textChanged, this, &CAnalyzeDrivePage::ApplyFilter);
    connect(extFilter_, &QComboBox::currentTextChanged, this, &CAnalyzeDrivePage::ApplyFilter);
    connect(drives_, &QComboBox::activated, this, &CAnalyzeDrivePage::OnDriveChosen);
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        const QModelIndex i = list_->indexAt(p);
        if (i.isValid()) ViewItem(i.row());
    });
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CAnalyzeDrivePage::UpdateButtons);
    connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& cur) {
                if (cur.isValid())
                    details_->setText(Q(model_->Row(proxy_->mapToSource(cur).row()).details)
                                          .section('\n', model_->SlackMode() ? 2 : 4, 5));
            });
    connect(runner_, &tw::ui::OperationRunner::finished, this, &CAnalyzeDrivePage::OnFinished);
    drain_.setInterval(100);
    connect(&drain_, &QTimer::timeout, this, &CAnalyzeDrivePage::Drain);
    if (window_)
        connect(window_, &tw::ui::MainWindow::drivesChanged, this, &CAnalyzeDrivePage::FillDrives);

    // The stored default is a sentence ("Not yet set"), not a folder: only an absolute
    // path counts as a chosen folder.
    if (settings_) recoveryFolder_ = Q(settings_->restoredFilesLocation.Read());
    if (!recoveryFolder_.startsWith('/')) recoveryFolder_.clear();
    folderLabel_->setText(recoveryFolder_.isEmpty() ? tr("No recovery folder set")
                                                    : recoveryFolder_);
    extFilter_->addItem(QStringLiteral("all"));
    FillDrives();
    UpdateButtons();
}

CAnalyzeDrivePage::~CAnalyzeDrivePage() {
    delete runner_;  // waits for a run still going, which uses the engine
    runner_ = nullptr;
}

QPushButton* CAnalyzeDrivePage::Button(int id) const {
    switch (id) {
        case 1013:
            return find_;
        case 1118:
            return slacks_;
        case 1120:
            return stopBtn_;
        case 1136:
            return setFolder_;
        case 1017:
            return selectAll_;
        case 1018:
            return deselectAll_;
        case 1015:
            return wipe_;
        case 1014:
            return recover_;
    }
    return nullptr;
}

bool CAnalyzeDrivePage::Running() const { return runner_ && runner_->Running(); }

void CAnalyzeDrivePage::FillDrives() {
    const QString keep = CurrentSource();
    drives_->clear();
    std::set<std::string> mountedDevices;
    for (const DriveInfo& d : ListMounts()) {
        mountedDevices.insert(d.device);
        if (!IsNtfsOrFat(d.fsType)) continue;
        // fuseblk carries any FUSE file system: only an NTFS or FAT32 one is listed.
        if (d.fsType == "fuseblk" && AnalysisEngine::Detect(d.mountPoint, nullptr).empty())
            continue;
        drives_->addItem(controls::DriveIcon(d.type), controls::DriveText(d));
        drives_->setItemData(drives_->count() - 1, Q(d.mountPoint), kSourceRole);
        drives_->setItemData(drives_->count() - 1, Q(d.mountPoint), kMountRole);
        drives_->setItemData(drives_->count() - 1, controls::DriveCaveatToolTip(d.mountPoint),
                             Qt::ToolTipRole);
    }
    // The usual case of a recovery: the volume is not mounted.
    for (const QString& dev : BlockVolumes()) {
        if (mountedDevices.count(dev.toStdString())) continue;
        const std::string fs = AnalysisEngine::Detect(dev.toStdString(), nullptr);
        if (fs.empty()) continue;
        drives_->addItem(controls::DriveIcon(DriveType::Fixed),
                         tr("%1 (%2, not mounted)").arg(dev, Q(fs)));
        drives_->setItemData(drives_->count() - 1, dev, kSourceRole);
    }
    for (const QString& img : images_) {
        drives_->addItem(QIcon::fromTheme(QStringLiteral("media-floppy")),
                         tr("%1 (image)").arg(img));
        drives_->setItemData(drives_->count() - 1, img, kSourceRole);
    }
    drives_->addItem(QIcon::fromTheme(QStringLiteral("document-open")), tr("Open volume image..."));
    drives_->setItemData(drives_->count() - 1, true, kOpenImageRole);
    const int at = drives_->findData(keep, kSourceRole);
    drives_->setCurrentIndex(at >= 0 ? at : 0);
    lastDrive_ = drives_->currentIndex();
}

void CAnalyzeDrivePage::AddSource(const QString& path) {
    if (!images_.contains(path)) images_ << path;
    FillDrives();
    drives_->setCurrentIndex(drives_->findData(path, kSourceRole));
    lastDrive_ = drives_->currentIndex();
}

QString CAnalyzeDrivePage::CurrentSource() const {
    return drives_->currentData(kSourceRole).toString();
}

void CAnalyzeDrivePage::OnDriveChosen(int index) {
    if (!drives_->itemData(index, kOpenImageRole).toBool()) {
        lastDrive_ = index;
        return;
    }
    const QString file =
        QFileDialog::getOpenFileName(this, tr("Open volume image"), QDir::homePath(),
                                     tr("Volume images (*.img *.raw *.dd *.bin);;All files (*)"));
    if (file.isEmpty()) {
        drives_->setCurrentIndex(lastDrive_);
        return;
    }
    AddSource(file);
}

void CAnalyzeDrivePage::AddLog(const QString& line) { log_->appendPlainText(line); }

void CAnalyzeDrivePage::SetBusyFlag(bool on) {
    if (!window_) return;
    switch (run_) {
        case Run::Search:
        case Run::Slacks:
            window_->SetBusy(tw::ui::Busy::DriveAnalysis, on);
            break;
        case Run::Wipe:
            window_->SetBusy(tw::ui::Busy::RecoverableWiping, on);
            break;
        case Run::Recover:
            window_->SetBusy(tw::ui::Busy::FileRecovery, on);
            break;
        case Run::None:
            break;
    }
}

void CAnalyzeDrivePage::UpdateButtons() {
    const bool running = Running();
    const bool any = model_->rowCount() > 0;
    const bool selected = list_->selectionModel()->hasSelection();
    for (QWidget* w : {static_cast<QWidget*>(find_), static_cast<QWidget*>(slacks_),
                       static_cast<QWidget*>(drives_), static_cast<QWidget*>(setFolder_)})
        w->setEnabled(!running);
    stopBtn_->setEnabled(running);
    for (const QPointer<CFileSlackViewerDlg>& v : viewers_)
        if (v) v->setEnabled(!running);
    selectAll_->setEnabled(!running && any);
    deselectAll_->setEnabled(!running && selected);
    // Slacks are wiped by the slack clean, not from here.
    wipe_->setEnabled(!running && selected && !model_->SlackMode());
    recover_->setEnabled(!running && selected && !model_->SlackMode());
}

void CAnalyzeDrivePage::UpdateExtensions() {
    QSet<QString> exts;
    for (int i = 0; i < model_->rowCount(); ++i)
        if (!model_->Row(i).ext.empty()) exts.insert(Q(model_->Row(i).ext).toLower());
    QStringList sorted(exts.begin(), exts.end());
    sorted.sort();
    const QString keep = extFilter_->currentText();
    const QSignalBlocker block(extFilter_);
    extFilter_->clear();
    extFilter_->addItem(QStringLiteral("all"));
    extFilter_->addItems(sorted);
    extFilter_->setCurrentText(keep.isEmpty() ? QStringLiteral("all") : keep);
}

void CAnalyzeDrivePage::ApplyFilter() {
    proxy_->SetFilter(nameFilter_->text(), extFilter_->currentText());
}

void CAnalyzeDrivePage::Drain() {
    std::vector<FoundRow> rows;
    std::vector<QString> lines;
    {
        std::lock_guard<std::mutex> lock(pending_->mu);
        rows.swap(pending_->rows);
        lines.swap(pending_->lines);
    }
    for (const QString& l : lines) AddLog(l);
    if (!rows.empty()) {
        model_->Append(std::move(rows));
        UpdateButtons();
    }
}

void CAnalyzeDrivePage::FindDeletedFiles() { StartSearch(false); }
void CAnalyzeDrivePage::TestForFileSlacks() { StartSearch(true); }

void CAnalyzeDrivePage::StopSearching() {
    if (runner_) runner_->Stop();
}

void CAnalyzeDrivePage::StartSearch(bool slacks) {
    if (Running()) return;
    const QString source = CurrentSource();
    const QString mount = drives_->currentData(kMountRole).toString();
    if (source.isEmpty()) return;
    if (slacks && mount.isEmpty()) {
        // Slacks belong to live files: only a mounted volume has them to walk.
        details_->setText(tr("File slacks can be tested only on a mounted volume. Mount %1 "
                             "first, or choose a mounted drive.")
                              .arg(source));
        return;
    }
    for (const QPointer<CFileSlackViewerDlg>& v : viewers_)
        if (v) v->close();
    viewers_.clear();
    model_->Reset(slacks, true);
    list_->sortByColumn(-1, Qt::AscendingOrder);
    details_->clear();
    log_->clear();
    run_ = slacks ? Run::Slacks : Run::Search;
    const std::string src = (slacks ? mount : source).toStdString();
    AddLog(slacks ? tr("Beginning search for recoverable slacks on %1").arg(Q(src))
                  : tr("Searching %1 for deleted files").arg(Q(src)));
    std::shared_ptr<Pending> pending = pending_;
    AnalysisEngine* engine = engine_.get();
    const bool started = runner_->Start([=](const OpContext& op) -> QVariant {
        Progress p;
        p.op = &op;
        auto found = [pending](const FoundRow& r) {
            std::lock_guard<std::mutex> lock(pending->mu);
            pending->rows.push_back(r);
        };
        const AnalysisEngine::End end =
            slacks ? engine->ScanSlacks(src, p, found) : engine->Search(src, p, found);
        return QVariantList{end.ok, end.stopped, Q(end.message), Q(end.device)};
    });
    if (!started) return;
    SetBusyFlag(true);
    drain_.start();
    UpdateButtons();
}

void CAnalyzeDrivePage::StartOnItems(Run kind, const std::vector<uint64_t>& locations) {
    if (Running()) return;
    run_ = kind;
    const std::string folder = recoveryFolder_.toStdString();
    AnalysisEngine::WipeOptions wipeOptions;
    wipeOptions.passes = window_ ? window_->OverwriteLevel() : 1;
    if (settings_) {
        wipeOptions.verify = settings_->ReadWithDefault("VerifyLastPass") == 1;
        if (settings_->ReadWithDefault("WriteReceipts") == 1)
            wipeOptions.receiptLogFolder = settings_->LogFolder();
    }
    std::shared_ptr<Pending> pending = pending_;
    AnalysisEngine* engine = engine_.get();
    const bool started = runner_->Start([=](const OpContext& op) -> QVariant {
        Progress p;
        p.op = &op;
        p.line = [pending](const std::string& line) {
            std::lock_guard<std::mutex> lock(pending->mu);
            pending->lines.push_back(Q(line));
        };
        const AnalysisEngine::End end = kind == Run::Recover
                                            ? engine->Recover(locations, folder, p)
                                            : engine->Wipe(locations, wipeOptions, p);
        return QVariantList{end.ok, end.stopped, Q(end.message)};
    });
    if (!started) return;
    SetBusyFlag(true);
    drain_.start();
    UpdateButtons();
}

void CAnalyzeDrivePage::OnFinished(const QVariant& result, bool stopped) {
    drain_.stop();
    Drain();
    const QVariantList r = result.toList();
    const bool ok = r.value(0).toBool();
    const QString message = r.value(2).toString();
    SetBusyFlag(false);
    const Run was = run_;
    run_ = Run::None;
    if (was == Run::Search || was == Run::Slacks) {
        model_->SetNtfs(was == Run::Slacks || engine_->Ntfs());
        UpdateExtensions();
    }
    progress_->StatusLine()->setText(message);
    if (!message.isEmpty()) AddLog(message);
    // A device this user may not read (or write, for a wipe) is an administrator's job:
    // offer to restart the panel as one, where the launcher is installed.
    const int needs = was == Run::Wipe ? R_OK | W_OK : R_OK;
    const bool offered = !ok && was != Run::Slacks &&
                         tw::ui::NeedsAdministrator(r.value(3).toString(), needs) &&
                         tw::ui::OfferAdministratorRestart(this, message);
    if (offered)
        details_->setText(message);
    else if (!ok && !message.isEmpty() && was != Run::Search && was != Run::Slacks)
        tw::ui::CurrentMessages().Show(this, message, Tx<102>(), Messages::Icon::Warning);
    else if (!ok && !message.isEmpty())
        details_->setText(message);
    (void)stopped;
    UpdateButtons();
    emit runFinished(ok);
}

std::vector<uint64_t> CAnalyzeDrivePage::SelectedLocations() const {
    std::vector<uint64_t> out;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows())
        out.push_back(model_->Row(proxy_->mapToSource(i).row()).location);
    return out;
}

void CAnalyzeDrivePage::SelectAll() {
    const bool many = proxy_->rowCount() > 100;
    if (many) QApplication::setOverrideCursor(Qt::BusyCursor);
    list_->selectAll();
    if (many) QApplication::restoreOverrideCursor();
    details_->setText(tr("Items selected"));
}

void CAnalyzeDrivePage::DeselectAll() {
    const bool many = proxy_->rowCount() > 100;
    if (many) QApplication::setOverrideCursor(Qt::BusyCursor);
    list_->clearSelection();
    if (many) QApplication::restoreOverrideCursor();
    details_->setText(tr("Items deselected"));
}

void CAnalyzeDrivePage::WipeSelected() {
    const std::vector<uint64_t> items = SelectedLocations();
    if (items.empty()) {
        tw::ui::ShowMessage(221, 102, Messages::Icon::Information, this);
        return;
    }
    // The confirmation names what is destroyed; "No" stays the default.
    const QString text =
        Tx<428>() + "\n\n" +
        tr("The remaining data of %n deleted file(s) on %1 will be overwritten. They can "
           "never be recovered afterwards.",
           nullptr, static_cast<int>(items.size()))
            .arg(CurrentSource());
    if (!tw::ui::CurrentMessages().Ask(this, text, tw::ui::Shown(Tx<427>()))) {
        details_->setText(tr("Operation cancelled"));
        return;
    }
    AddLog(tr("Wiping %n file(s)", nullptr, static_cast<int>(items.size())));
    StartOnItems(Run::Wipe, items);
}

void CAnalyzeDrivePage::RecoverSelected() {
    const std::vector<uint64_t> items = SelectedLocations();
    if (items.empty()) {
        tw::ui::ShowMessage(361, 102, Messages::Icon::Information, this);
        return;
    }
    if (recoveryFolder_.isEmpty()) SetRecoveryFolder();
    if (recoveryFolder_.isEmpty()) return;
    StartOnItems(Run::Recover, items);
}

void CAnalyzeDrivePage::SetRecoveryFolder() {
    controls::FolderDialog dlg(tr("Set recovery folder"), this,
                               recoveryFolder_.isEmpty() ? QDir::homePath() : recoveryFolder_);
    if (dlg.DoModal() == controls::FolderDialog::Chosen) SetRecoveryFolderPath(dlg.Folder());
}

void CAnalyzeDrivePage::SetRecoveryFolderPath(const QString& folder) {
    recoveryFolder_ = folder;
    folderLabel_->setText(folder);
    if (settings_) {
        settings_->restoredFilesLocation = folder.toStdString();
        settings_->restoredFilesLocation.Write();
    }
}

CFileSlackViewerDlg* CAnalyzeDrivePage::ViewItem(int row) {
    if (Running() || row < 0 || row >= proxy_->rowCount()) return nullptr;
    const FoundRow& item = model_->Row(proxy_->mapToSource(proxy_->index(row, 0)).row());
    auto* dlg = new CFileSlackViewerDlg(*engine_, item, this);
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    const uint64_t location = item.location;
    const bool slack = item.slack;
    connect(dlg, &CFileSlackViewerDlg::recoverRequested, this, [this, location, slack] {
        if (slack) return;
        if (recoveryFolder_.isEmpty()) SetRecoveryFolder();
        if (!recoveryFolder_.isEmpty()) StartOnItems(Run::Recover, {location});
    });
    connect(dlg, &CFileSlackViewerDlg::wipeRequested, this, [this, location, slack] {
        if (slack) return;
        if (!tw::ui::CurrentMessages().Ask(this, Tx<428>(), tw::ui::Shown(Tx<427>()))) return;
        StartOnItems(Run::Wipe, {location});
    });
    viewers_.removeAll(nullptr);
    viewers_.append(dlg);
    dlg->show();
    return dlg;
}

bool CAnalyzeDrivePage::eventFilter(QObject* watched, QEvent* e) {
    if (watched == list_ && e->type() == QEvent::KeyPress) {
        const auto* k = static_cast<QKeyEvent*>(e);
        if ((k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) &&
            list_->currentIndex().isValid()) {
            ViewItem(list_->currentIndex().row());
            return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

}  // namespace tw::volume::ui
