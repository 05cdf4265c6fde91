// SPDX-License-Identifier: GPL-3.0-or-later
#include "recyclebin/ui/recycle_bin_page.h"

#include <QCheckBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "controls/placeholder_view.h"
#include "platform/error.h"
#include "platform/filetime.h"
#include "platform/format.h"
#include "platform/settings.h"
#include "recyclebin/bin_runs.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/ui_text.h"

namespace tw::recyclebin::ui {

using tw::ui::Q;
using tw::ui::Tx;

namespace {

// Seconds the user has to confirm a wipe.
constexpr int kConfirmSeconds = 8;

QString DateText(FileTime ft) {
    if (ft == 0) return {};
    const SystemTime st = LocalSystemTime(static_cast<time_t>(UnixFromFileTime(ft)));
    return QString::asprintf("%04d-%02d-%02d %02d:%02d", st.year, st.month, st.day, st.hour,
                             st.minute);
}

// The item's details as its tool tip: where its data really is, where it came from and
// when it was deleted.
QString DetailsOf(const RecycleBinItem& it) {
    QString tip = it.isFolder ? Tx<554>() : Tx<347>();
    tip += QLatin1Char('\n') + (it.isFolder ? Tx<555>() : Tx<348>()) + QLatin1Char(' ') +
           Q(it.physicalPath);
    if (!it.originalFolder.empty())
        tip += QLatin1Char('\n') + Tx<556>() + QLatin1Char(' ') + Q(it.originalFolder);
    if (!it.deletedText.empty())
        tip += QLatin1Char('\n') + Tx<557>() + QLatin1Char(' ') + Q(it.deletedText);
    return tip;
}

// The local files among dropped URLs.
QStringList LocalPaths(const QMimeData* mime) {
    QStringList paths;
    if (!mime || !mime->hasUrls()) return paths;
    for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}

}  // namespace

// ---------------------------------------------------------------- the list

int BinItemModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int BinItemModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant BinItemModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const RecycleBinItem& it = items_[static_cast<size_t>(index.row())];
    if (role == Qt::CheckStateRole && index.column() == Name)
        return it.selected ? Qt::Checked : Qt::Unchecked;
    if (role == Qt::ToolTipRole) return DetailsOf(it);
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case Name:
            return Q(it.displayName);
        case Ext:
            return Q(it.extension);
        case Size:
            return Q(FormatSize(it.size, "%2.2f"));
        case Location:
            return Q(it.originalFolder);
        case Modified:
            return DateText(it.modified);
        default:
            return {};
    }
}

bool BinItemModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != Name) return false;
    items_[static_cast<size_t>(index.row())].selected =
        value.value<Qt::CheckState>() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checksChanged();
    return true;
}

Qt::ItemFlags BinItemModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.column() == Name) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant BinItemModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const int kIds[] = {447, 448, 449, 450, 451};
    return section >= 0 && section < kColumns ? tw::ui::TextOf(kIds[section]) : QVariant();
}

void BinItemModel::sort(int column, Qt::SortOrder order) {
    emit layoutAboutToBeChanged();
    auto key = [column](const RecycleBinItem& a, const RecycleBinItem& b) {
        switch (column) {
            case Ext:
                return a.extension < b.extension;
            case Size:
                return a.size < b.size;
            case Location:
                return a.originalFolder < b.originalFolder;
            case Modified:
                return a.modified < b.modified;
            default:
                return a.displayName < b.displayName;
        }
    };
    std::stable_sort(items_.begin(), items_.end(),
                     [&](const RecycleBinItem& a, const RecycleBinItem& b) {
                         return order == Qt::AscendingOrder ? key(a, b) : key(b, a);
                     });
    emit layoutChanged();
}

void BinItemModel::SetItems(std::vector<RecycleBinItem> items) {
    // A check survives a refresh while the item is still there.
    std::set<std::string> checked;
    for (const auto& it : items_)
        if (it.selected) checked.insert(it.physicalPath);
    for (auto& it : items) it.selected = checked.count(it.physicalPath) != 0;
    beginResetModel();
    items_ = std::move(items);
    endResetModel();
    emit checksChanged();
}

void BinItemModel::SetAllChecked(bool on) {
    for (auto& it : items_) it.selected = on;
    if (!items_.empty())
        emit dataChanged(index(0, Name), index(rowCount() - 1, Name), {Qt::CheckStateRole});
    emit checksChanged();
}

std::vector<RecycleBinItem> BinItemModel::Checked() const {
    std::vector<RecycleBinItem> out;
    for (const auto& it : items_)
        if (it.selected) out.push_back(it);
    return out;
}

// ---------------------------------------------------------------- the page

CRecycleBinWipingPage::CRecycleBinWipingPage(tw::ui::MainWindow* window, Settings* settings,
                                             QWidget* parent)
    : QWidget(parent),
      window_(window),
      settings_(settings),
      runner_(new tw::ui::OperationRunner(this)) {
    model_ = new BinItemModel(this);
    list_ = new controls::PlaceholderTableView(this);
    list_->SetEmptyText(tr("The Trash is empty"));
    list_->setModel(model_);
    list_->setSortingEnabled(true);
    list_->sortByColumn(-1, Qt::AscendingOrder);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->verticalHeader()->hide();
    list_->setWordWrap(false);
    list_->setAccessibleName(tr("Items in the Trash"));
    QHeaderView* h = list_->horizontalHeader();
    const int em = fontMetrics().horizontalAdvance(QLatin1Char('M'));
    h->setStretchLastSection(false);
    h->resizeSection(BinItemModel::Name, em * 20);
    h->resizeSection(BinItemModel::Ext, em * 4);
    h->resizeSection(BinItemModel::Size, em * 7);
    h->setSectionResizeMode(BinItemModel::Location, QHeaderView::Stretch);
    h->setSectionResizeMode(BinItemModel::Modified, QHeaderView::ResizeToContents);

    status_ = new QLabel(this);
    status_->setWordWrap(true);
    status_->setAccessibleName(tr("Status"));
    progress_ = new tw::ui::ProgressPanel(this);
    progress_->Bind(runner_);
    progress_->PauseButton()->hide();
    progress_->StopButton()->setText(tr("&Abort Wiping"));
    // The guard's auto-wiping and its desktop pop-up.
    autoWiping_ = new QCheckBox(tr("Enable A&uto-wiping"), this);
    autoText_ = new QLabel(Tx<510>(), this);
    autoText_->setWordWrap(true);
    auto* popup = new QGroupBox(tr("Desktop popup"), this);
    popupOn_ = new QRadioButton(tr("E&nable"), popup);
    popupOff_ = new QRadioButton(tr("D&isable"), popup);
    popupOn_->setAccessibleName(tr("Desktop popup enabled"));
    popupOff_->setAccessibleName(tr("Desktop popup disabled"));
    auto* popupRow = new QHBoxLayout(popup);
    popupRow->addWidget(popupOn_);
    popupRow->addWidget(popupOff_);
    connect(autoWiping_, &QCheckBox::clicked, this, &CRecycleBinWipingPage::OnAutoWipingClicked);
    connect(popupOn_, &QRadioButton::clicked, this, [this] { OnPopupChosen(true); });
    connect(popupOff_, &QRadioButton::clicked, this, [this] { OnPopupChosen(false); });
    if (window_)
        connect(window_, &tw::ui::MainWindow::autoWipingChanged, this,
                &CRecycleBinWipingPage::ShowAutoWiping);

    selectAll_ = new QPushButton(tr("Select &all"), this);
    deselectAll_ = new QPushButton(tr("&Deselect all"), this);
    recover_ = new QPushButton(tr("&Recover selected"), this);
    wipe_ = new QPushButton(tr("&Wipe selected"), this);
    empty_ = new QPushButton(tr("Just &Empty It!"), this);
    connect(selectAll_, &QPushButton::clicked, this, &CRecycleBinWipingPage::SelectAll);
    connect(deselectAll_, &QPushButton::clicked, this, &CRecycleBinWipingPage::DeselectAll);
    connect(recover_, &QPushButton::clicked, this, &CRecycleBinWipingPage::RecoverSelected);
    connect(wipe_, &QPushButton::clicked, this, &CRecycleBinWipingPage::WipeSelected);
    connect(empty_, &QPushButton::clicked, this, &CRecycleBinWipingPage::EmptyBin);
    connect(model_, &BinItemModel::checksChanged, this, &CRecycleBinWipingPage::UpdateButtons);
    connect(runner_, &tw::ui::OperationRunner::finished, this, &CRecycleBinWipingPage::OnFinished);
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &CRecycleBinWipingPage::Tick);
    if (window_)
        connect(window_, &tw::ui::MainWindow::binRefresh, this, &CRecycleBinWipingPage::Refresh);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(selectAll_);
    buttons->addWidget(deselectAll_);
    buttons->addStretch(1);
    buttons->addWidget(empty_);
    buttons->addWidget(recover_);
    buttons->addWidget(wipe_);
    auto* guardRow = new QHBoxLayout;
    auto* autoColumn = new QVBoxLayout;
    autoColumn->addWidget(autoWiping_);
    autoColumn->addWidget(autoText_);
    guardRow->addLayout(autoColumn, 1);
    guardRow->addWidget(popup);
    auto* column = new QVBoxLayout(this);
    column->addLayout(guardRow);
    column->addWidget(list_, 1);
    column->addLayout(buttons);
    column->addWidget(status_);
    column->addWidget(progress_);

    setAcceptDrops(true);
    store_.BuildBinFolders();
    WatchBins();
    Refresh();
}

void CRecycleBinWipingPage::SetBinFolders(std::vector<BinFolder> bins) {
    store_.RegisterChangeNotifications(false);
    store_.SetBinFolders(std::move(bins));
    WatchBins();
    Refresh();
}

void CRecycleBinWipingPage::ShowAutoWiping(bool on) {
    autoWiping_->setChecked(on);
    autoText_->setText(on ? Tx<512>() : Tx<510>());
    // What the manager does while the guard wipes whatever arrives in the bin.
    if (on && !Running() && !Confirming()) status_->setText(Tx<530>());
    if (!on && status_->text() == Tx<530>()) status_->clear();
}

void CRecycleBinWipingPage::OnAutoWipingClicked(bool on) {
    // The window starts the guard when needed and tells every view (this one too) the
    // state that holds afterwards.
    const bool shown = window_ ? window_->SetAutoWiping(on) : on;
    ShowAutoWiping(shown);
}

void CRecycleBinWipingPage::SetDesktopPopup(bool on) {
    popupOn_->setChecked(on);
    popupOff_->setChecked(!on);
}

bool CRecycleBinWipingPage::DesktopPopup() const { return popupOn_->isChecked(); }

void CRecycleBinWipingPage::OnPopupChosen(bool on) {
    SetDesktopPopup(on);
    if (!settings_) return;
    settings_->Dword("ShowDesktopActivityIndicator") = on ? 1 : 0;
    settings_->SaveSettings();
}

log::CActivityLogFile* CRecycleBinWipingPage::Writer() const {
    if (!window_ || !settings_ || settings_->ReadWithDefault("SaveToLogfile") == 0) return nullptr;
    return window_->LogWriter();
}

bool CRecycleBinWipingPage::DropPaths(const QStringList& paths) {
    if (Running()) return false;
    QStringList failed;
    for (const QString& path : paths)
        if (auto put = SendToBin(path.toStdString()); !put)
            failed << path + QStringLiteral(": ") + Q(ErrorText(put.error()));
    if (!failed.isEmpty())
        tw::ui::CurrentMessages().Show(
            this, Tx<1650>() + QLatin1Char('\n') + failed.join(QLatin1Char('\n')), Tx<209>(),
            tw::ui::Messages::Icon::Warning);
    Refresh();
    return true;
}

void CRecycleBinWipingPage::dragEnterEvent(QDragEnterEvent* e) {
    if (!Running() && !LocalPaths(e->mimeData()).isEmpty()) e->acceptProposedAction();
}

void CRecycleBinWipingPage::dragMoveEvent(QDragMoveEvent* e) {
    if (!Running() && !LocalPaths(e->mimeData()).isEmpty()) e->acceptProposedAction();
}

void CRecycleBinWipingPage::dropEvent(QDropEvent* e) {
    const QStringList paths = LocalPaths(e->mimeData());
    if (paths.isEmpty() || !DropPaths(paths)) return;
    e->acceptProposedAction();
}

CRecycleBinWipingPage::~CRecycleBinWipingPage() = default;

void CRecycleBinWipingPage::WatchBins() {
    delete changes_;
    changes_ = nullptr;
    if (!store_.RegisterChangeNotifications(true) || store_.Watcher().Fd() < 0) return;
    changes_ = new QSocketNotifier(store_.Watcher().Fd(), QSocketNotifier::Read, this);
    connect(changes_, &QSocketNotifier::activated, this, [this] {
        if (store_.Watcher().ReadChanges().empty() || Running()) return;
        if (window_)
            window_->RequestBinRefresh(false);
        else
            Refresh();
    });
}

QPushButton* CRecycleBinWipingPage::Button(int id) const {
    switch (id) {
        case kWipe:
            return wipe_;
        case kRecover:
            return recover_;
        case kEmpty:
            return empty_;
        case kAbort:
            return progress_->StopButton();
        case kSelectAll:
            return selectAll_;
        case kDeselectAll:
            return deselectAll_;
        default:
            return nullptr;
    }
}

void CRecycleBinWipingPage::Refresh() {
    if (Running()) return;
    if (store_.Refresh()) model_->SetItems(store_.Items());
    UpdateButtons();
}

void CRecycleBinWipingPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    // The stored switches as they are now (the guard or the status page may have
    // changed them).
    if (settings_) {
        ShowAutoWiping(settings_->ReadWithDefault("EnableSecureDeletion") != 0);
        SetDesktopPopup(settings_->ReadWithDefault("ShowDesktopActivityIndicator") != 0);
    }
    Refresh();
}

void CRecycleBinWipingPage::SelectAll() { model_->SetAllChecked(true); }
void CRecycleBinWipingPage::DeselectAll() { model_->SetAllChecked(false); }

bool CRecycleBinWipingPage::Running() const { return runner_->Running(); }

void CRecycleBinWipingPage::UpdateButtons() {
    const bool idle = !Running();
    for (QPushButton* b : {selectAll_, deselectAll_, recover_, empty_}) b->setEnabled(idle);
    wipe_->setEnabled(idle);
}

void CRecycleBinWipingPage::RecoverSelected() {
    CancelConfirmation(false);
    StartRun(false);
}

void CRecycleBinWipingPage::WipeSelected() {
    if (Running()) return;
    if (!Confirming()) {
        if (model_->Checked().empty()) {
            tw::ui::ShowMessage(221, 209, tw::ui::Messages::Icon::None, this);
            return;
        }
        countdown_ = kConfirmSeconds;
        wipe_->setText(Tx<427>());
        status_->setText(Tx<428>() + QStringLiteral("  ") + QString::number(countdown_));
        tick_.start();
        return;
    }
    CancelConfirmation(false);
    StartRun(true);
}

void CRecycleBinWipingPage::Tick() {
    if (--countdown_ > 0) {
        status_->setText(Tx<428>() + QStringLiteral("  ") + QString::number(countdown_));
        return;
    }
    CancelConfirmation(true);
}

void CRecycleBinWipingPage::CancelConfirmation(bool announce) {
    tick_.stop();
    countdown_ = 0;
    wipe_->setText(tr("&Wipe selected"));
    status_->setText(announce ? Tx<429>() : QString());
}

void CRecycleBinWipingPage::StartRun(bool wipe) {
    if (Running()) return;
    const std::vector<RecycleBinItem> chosen = model_->Checked();
    if (chosen.empty()) {
        tw::ui::ShowMessage(wipe ? 221 : 361, 209, tw::ui::Messages::Icon::None, this);
        return;
    }
    const int passes = settings_ ? settings_->OverwritePasses() : 3;
    log::CActivityLogFile* writer = Writer();
    // Extensive logging adds a line for every file wiped inside a folder.
    const bool detail = writer && settings_ && settings_->ReadWithDefault("extensiveLogging") != 0;
    const std::vector<BinFolder> bins = store_.BinFolders();
    const bool verify = settings_ && settings_->ReadWithDefault("VerifyLastPass") == 1;
    const std::string receipts = settings_ && settings_->ReadWithDefault("WriteReceipts") == 1
                                     ? settings_->LogFolder()
                                     : std::string();
    wiping_ = wipe;
    if (wipe) status_->setText(Tx<334>());
    const bool started = runner_->Start(
        [chosen, passes, wipe, detail, bins, verify, receipts](const OpContext& op) -> QVariant {
            if (wipe) {
                // Data the bin keeps read-only (as copied from a read-only medium, or
                // made so by its owner) is made writable first, so that it can be
                // overwritten. Only the chosen items: the others keep their modes for
                // a later restore.
                CRecycleBinStore attributes;
                attributes.SetBinFolders(bins);
                for (const RecycleBinItem& it : chosen)
                    attributes.NormaliseAttributes(it.physicalPath);
            }
            std::string receiptProblem;
            const RunResult r = wipe ? WipeItemsWithReceipt(op, chosen, passes, detail, verify,
                                                            "trash-wipe", receipts, &receiptProblem)
                                     : RestoreItems(op, chosen);
            QStringList refusals;
            for (const ObjectOutcome& o : r.objects)
                if (!o.ok && !o.message.empty()) refusals << Q(o.message);
            if (!receiptProblem.empty()) refusals << Q(receiptProblem);
            return QVariantList{Q(r.summaryLine), Q(r.endMessage), refusals, r.aborted};
        },
        writer);
    if (!started) return;
    if (window_)
        window_->SetBusy(wipe ? tw::ui::Busy::BinWiping : tw::ui::Busy::BinRestoring, true);
    UpdateButtons();
}

void CRecycleBinWipingPage::AbortWiping() { runner_->Stop(); }

void CRecycleBinWipingPage::OnFinished(const QVariant& result, bool) {
    if (window_)
        window_->SetBusy(wiping_ ? tw::ui::Busy::BinWiping : tw::ui::Busy::BinRestoring, false);
    const QVariantList r = result.toList();
    QString status = r.value(0).toString();
    if (wiping_ && r.value(3).toBool())
        status = status.isEmpty() ? Tx<340>() : Tx<340>() + QStringLiteral(". ") + status;
    status_->setText(status);
    for (const QString& refusal : r.value(2).toStringList())
        tw::ui::CurrentMessages().Show(this, refusal, Tx<209>(), tw::ui::Messages::Icon::Warning);
    if (!r.value(1).toString().isEmpty())
        tw::ui::CurrentMessages().Show(this, r.value(1).toString(), Tx<209>(),
                                       tw::ui::Messages::Icon::Information);
    Refresh();
}

void CRecycleBinWipingPage::EmptyBin() {
    if (Running()) return;
    CancelConfirmation(false);
    // Everything goes, without a wipe: the user says so first.
    if (!tw::ui::CurrentMessages().Ask(
            this,
            tr("Empty the Trash? Its %n item(s) are deleted, not wiped: they stay recoverable "
               "from the disk, and cannot be restored from the Trash afterwards.",
               nullptr, model_->rowCount()),
            Tx<209>()))
        return;
    log::CActivityLogFile* writer = Writer();
    const std::vector<BinFolder> bins = store_.BinFolders();
    wiping_ = true;
    if (!runner_->Start(
            [bins](const OpContext& op) -> QVariant {
                const EmptyResult r = recyclebin::EmptyBin(op, bins);
                QStringList problems;
                if (r.failed > 0)
                    problems << tr("%n item(s) could not be removed from the Trash.", nullptr,
                                   r.failed);
                return QVariantList{Tx<338>(), QString(), problems};
            },
            writer))
        return;
    if (window_) window_->SetBusy(tw::ui::Busy::BinWiping, true);
    UpdateButtons();
}

}  // namespace tw::recyclebin::ui
