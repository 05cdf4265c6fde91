// SPDX-License-Identifier: GPL-3.0-or-later
#include "log/ui/activity_log_page.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>

#include "controls/folder_dialog.h"
#include "controls/placeholder_view.h"
#include "log/activity_log.h"
#include "log/wipe/log_wipe.h"
#include "platform/fileio.h"
#include "platform/settings.h"
#include "shell/ui/main_window.h"
#include "shell/ui/message_box.h"
#include "shell/ui/operation_runner.h"
#include "shell/ui/ui_text.h"

namespace tw::log::ui {

using tw::ui::Q;
using tw::ui::Tx;

namespace {

// How much of a long log the viewer reads: its last 50,000 bytes.
constexpr off_t kViewerTail = 50000;

// `t` as "%A, %B %d, %Y" in local time with the English names.
QString LongDate(time_t t) {
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    const size_t n = strftime(buf, sizeof buf, "%A, %B %d, %Y", &tm);
    return QString::fromLatin1(buf, static_cast<qsizetype>(n));
}

bool SameDay(time_t a, time_t b) {
    struct tm x {
    }, y{};
    localtime_r(&a, &x);
    localtime_r(&b, &y);
    return x.tm_year == y.tm_year && x.tm_mon == y.tm_mon && x.tm_mday == y.tm_mday;
}

}  // namespace

QString LogViewerText(const std::string& path) {
    Result<int> opened = OpenLogFile(path, O_RDONLY);
    if (!opened) return {};
    const int fd = *opened;
    struct stat st {};
    std::string bytes;
    if (fstat(fd, &st) == 0) {
        const off_t from = st.st_size > kViewerTail ? st.st_size - kViewerTail : 0;
        bytes.resize(static_cast<size_t>(std::min<off_t>(st.st_size, kViewerTail)));
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n =
                pread(fd, bytes.data() + got, bytes.size() - got, from + static_cast<off_t>(got));
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
    }
    close(fd);
    // Lines as a text-mode read gives them: CR LF ends a line like LF does, so a record's
    // CR CR LF leaves the record with one CR, which becomes its line feed.
    std::string text;
    size_t pos = 0;
    int dropped = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        const bool last = nl == std::string::npos;
        if (last) nl = bytes.size();
        std::string line = bytes.substr(pos, nl - pos);
        pos = nl + 1;
        if (!last && !line.empty() && line.back() == '\r') line.pop_back();
        if (dropped < 2) {
            ++dropped;
            continue;
        }
        if (line.empty()) continue;
        std::replace(line.begin(), line.end(), '\r', '\n');
        // A line some other program wrote without the record's CR still gets its own line.
        if (line.back() != '\n') line += '\n';
        text += line;
    }
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// ---------------------------------------------------------------- the list of dates

int CListCtrlLogList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int CListCtrlLogList::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 1;
}

QVariant CListCtrlLogList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const LogFileEntry& e = entries_[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole) return LongDate(static_cast<time_t>(e.lastWritten));
    if (role == Qt::ToolTipRole) return Tx<546>();
    return {};
}

QVariant CListCtrlLogList::headerData(int section, Qt::Orientation o, int role) const {
    if (o == Qt::Horizontal && section == 0 && role == Qt::DisplayRole) return Tx<544>();
    return {};
}

void CListCtrlLogList::sort(int, Qt::SortOrder order) {
    descending_ = order == Qt::DescendingOrder;
    emit layoutAboutToBeChanged();
    std::stable_sort(
        entries_.begin(), entries_.end(), [this](const LogFileEntry& a, const LogFileEntry& b) {
            return descending_ ? a.lastWritten > b.lastWritten : a.lastWritten < b.lastWritten;
        });
    emit layoutChanged();
}

void CListCtrlLogList::SetEntries(std::vector<LogFileEntry> entries) {
    beginResetModel();
    entries_ = std::move(entries);
    endResetModel();
    sort(0, descending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
}

// ---------------------------------------------------------------- the wipe dialog

CLogFileWipe::CLogFileWipe(QString folder, QWidget* parent)
    : QDialog(parent), folder_(std::move(folder)), runner_(new tw::ui::OperationRunner(this)) {
    setWindowTitle(Tx<102>());
    text_ = new QLabel(Tx<165>(), this);
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    progress_ = new tw::ui::ProgressPanel(this);
    progress_->Bind(runner_);
    progress_->Bar(ProgressSink::Current)->hide();
    progress_->PauseButton()->hide();
    progress_->Bar(ProgressSink::Overall)->setAccessibleName(tr("Log files wiped"));
    close_ = new QPushButton(tr("&Close"), this);
    close_->setEnabled(false);
    connect(close_, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close_);
    auto* column = new QVBoxLayout(this);
    column->addWidget(text_);
    column->addWidget(progress_);
    column->addStretch(1);
    column->addLayout(buttons);
    setMinimumWidth(fontMetrics().horizontalAdvance(QLatin1Char('M')) * 36);
    connect(runner_, &tw::ui::OperationRunner::finished, this, &CLogFileWipe::OnFinished);
}

bool CLogFileWipe::Start() {
    const std::string folder = folder_.toStdString();
    text_->setText(Tx<165>());
    close_->setEnabled(false);
    // No log writer: a line about the wipe would make today's log file again.
    return runner_->Start([folder](const OpContext& op) -> QVariant {
        const LogWipeOutcome r = WipeLogFiles(op, folder);
        QStringList failed;
        for (const Error& e : r.failed)
            failed << Q(e.subject) + QStringLiteral(": ") + Q(ErrorText(e));
        return QVariantList{r.Ok(), failed, r.stopped};
    });
}

bool CLogFileWipe::Running() const { return runner_->Running(); }

void CLogFileWipe::OnFinished(const QVariant& result, bool) {
    const QVariantList r = result.toList();
    const bool ok = r.value(0).toBool();
    const QStringList failed = r.value(1).toStringList();
    if (ok) {
        text_->setText(Tx<166>());
    } else {
        QString text = r.value(2).toBool() ? Tx<1621>() : Tx<1620>();
        if (!failed.isEmpty()) text += QStringLiteral("\n\n") + failed.join(QLatin1Char('\n'));
        text_->setText(text);
    }
    close_->setEnabled(true);
    close_->setDefault(true);
    close_->setFocus();
    emit wipeFinished(ok);
}

void CLogFileWipe::reject() {
    if (Running()) return;
    QDialog::reject();
}

// ---------------------------------------------------------------- the page

CActivityLogPage::CActivityLogPage(tw::ui::MainWindow* window, Settings* settings,
                                   CActivityLogFile* writer, QWidget* parent)
    : QWidget(parent), window_(window), settings_(settings), writer_(writer) {
    model_ = new CListCtrlLogList(this);
    list_ = new controls::PlaceholderTableView(this);
    list_->SetEmptyText(Tx<160>());
    list_->setModel(model_);
    list_->setSortingEnabled(true);
    list_->horizontalHeader()->setSortIndicator(0, Qt::DescendingOrder);
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setToolTip(Tx<546>());
    list_->setAccessibleName(Tx<544>());
    list_->installEventFilter(this);
    const int em = fontMetrics().horizontalAdvance(QLatin1Char('M'));
    list_->setMinimumWidth(em * 17);
    list_->setMaximumWidth(em * 22);
    connect(list_, &QAbstractItemView::clicked, this,
            [this](const QModelIndex& i) { ViewRow(i.row()); });
    connect(list_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        const QModelIndex i = list_->indexAt(p);
        if (i.isValid()) OpenRowInEditor(i.row());
    });

    caption_ = new QLabel(Tx<547>(), this);
    viewer_ = new QPlainTextEdit(this);
    viewer_->setReadOnly(true);
    viewer_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    viewer_->setLineWrapMode(QPlainTextEdit::NoWrap);
    viewer_->setAccessibleName(tr("Log file"));
    caption_->setBuddy(viewer_);

    auto* folderLabel = new QLabel(tr("Log &folder:"), this);
    folder_ = new QLineEdit(this);
    folder_->setReadOnly(true);
    folder_->setAccessibleName(tr("Log folder"));
    folderLabel->setBuddy(folder_);
    change_ = new QPushButton(tr("C&hange..."), this);
    change_->setToolTip(Tx<561>());
    clear_ = new QPushButton(tr("C&lear display"), this);
    clear_->setToolTip(Tx<549>());
    erase_ = new QPushButton(tr("&Erase ALL log files..."), this);
    erase_->setToolTip(Tx<548>());
    logging_ = new QPushButton(Tx<559>(), this);
    connect(change_, &QPushButton::clicked, this, &CActivityLogPage::ChangeFolder);
    connect(clear_, &QPushButton::clicked, this, &CActivityLogPage::ClearViewer);
    connect(erase_, &QPushButton::clicked, this, &CActivityLogPage::EraseAllLogFiles);
    connect(logging_, &QPushButton::clicked, this, &CActivityLogPage::ToggleLogging);

    // Layout: the dates on the left, the viewer with its caption on the right; under
    // them the folder and the actions.
    auto* viewColumn = new QVBoxLayout;
    viewColumn->addWidget(caption_);
    viewColumn->addWidget(viewer_, 1);
    auto* top = new QHBoxLayout;
    top->addWidget(list_);
    top->addLayout(viewColumn, 1);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(folder_, 1);
    folderRow->addWidget(change_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(logging_);
    buttons->addStretch(1);
    buttons->addWidget(clear_);
    buttons->addWidget(erase_);
    auto* column = new QVBoxLayout(this);
    column->addLayout(top, 1);
    column->addLayout(folderRow);
    column->addLayout(buttons);

    if (settings_) {
        SetLogFolder(Q(settings_->LogFolder()));
        SetSaveToLogfile(settings_->ReadWithDefault("SaveToLogfile") != 0);
    } else if (writer_) {
        SetLogFolder(Q(writer_->Folder()));
    }
    if (window_)
        connect(window_, &tw::ui::MainWindow::loggingChanged, this,
                &CActivityLogPage::SetSaveToLogfile);
    FillLogList();
}

QPushButton* CActivityLogPage::Button(int id) const {
    switch (id) {
        case kChange:
            return change_;
        case kClear:
            return clear_;
        case kErase:
            return erase_;
        case kLogging:
            return logging_;
        default:
            return nullptr;
    }
}

std::string CActivityLogPage::PathOf(const LogFileEntry& e) const {
    return platform::JoinPath(GetLogFolder().toStdString(), e.stem + "." + Str<163>());
}

void CActivityLogPage::FillLogList() {
    std::vector<LogFileEntry> entries;
    for (const std::string& path : LogFilePaths(GetLogFolder().toStdString())) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) continue;
        std::string name = platform::BaseName(path);
        name.erase(name.rfind('.'));
        entries.push_back({name, static_cast<int64_t>(st.st_mtime)});
    }
    model_->SetEntries(std::move(entries));
}

int CActivityLogPage::TodaysRow() const {
    const time_t now = Now();
    for (int row = 0; row < model_->rowCount(); ++row)
        if (SameDay(static_cast<time_t>(model_->Entry(row).lastWritten), now)) return row;
    return -1;
}

void CActivityLogPage::ViewRow(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    const LogFileEntry e = model_->Entry(row);
    following_ = SameDay(static_cast<time_t>(e.lastWritten), Now());
    caption_->setText(following_ ? Tx<547>()
                                 : Tx<545>() + QLatin1Char(' ') +
                                       LongDate(static_cast<time_t>(e.lastWritten)));
    ClearViewer();
    AppendToViewer(LogViewerText(PathOf(e)));
    // The next broadcast appends what comes after what was just read.
    if (following_ && writer_) writer_->ReadNewLastLine();
}

void CActivityLogPage::OpenRowInEditor(int row) {
    if (row < 0 || row >= model_->rowCount()) return;
    const QString path = Q(PathOf(model_->Entry(row)));
    // The user's editor when one is named, else the desktop's choice for the file.
    QString program = QStringLiteral("xdg-open");
    QStringList args;
    for (const char* var : {"VISUAL", "EDITOR"}) {
        const QString named = QString::fromLocal8Bit(qgetenv(var));
        QStringList words = QProcess::splitCommand(named);
        if (words.isEmpty()) continue;
        program = words.takeFirst();
        args = words;
        break;
    }
    args << path;
    const bool started =
        launcher_ ? launcher_(program, args) : QProcess::startDetached(program, args);
    if (!started)
        tw::ui::CurrentMessages().Show(
            this,
            tr("The log file could not be opened with %1.").arg(program) + QStringLiteral("\n\n") +
                path,
            Tx<102>(), tw::ui::Messages::Icon::Warning);
}

void CActivityLogPage::OnLogLine() {
    if (!following_ || !writer_) return;
    const std::string line = writer_->ReadNewLastLine();
    if (!line.empty()) AppendToViewer(Q(line));
}

void CActivityLogPage::AppendToViewer(const QString& text) {
    if (text.isEmpty()) return;
    QScrollBar* bar = viewer_->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    QTextCursor c(viewer_->document());
    c.movePosition(QTextCursor::End);
    // The viewer's lines end in line feeds; the editor adds a block per line.
    QString shown = text;
    if (shown.endsWith(QLatin1Char('\n'))) shown.chop(1);
    if (!viewer_->document()->isEmpty()) c.insertBlock();
    c.insertText(shown);
    if (atEnd) bar->setValue(bar->maximum());
}

void CActivityLogPage::ClearViewer() { viewer_->clear(); }

void CActivityLogPage::SetLogFolder(const QString& folder) { folder_->setText(folder); }

QString CActivityLogPage::GetLogFolder() const { return folder_->text(); }

void CActivityLogPage::SetSaveToLogfile(bool on) {
    saveToLogfile_ = on;
    logging_->setText(on ? Tx<559>() : Tx<560>());
    logging_->setAccessibleName(logging_->text());
}

void CActivityLogPage::ToggleLogging() {
    const bool on = !saveToLogfile_;
    SetSaveToLogfile(on);
    if (window_) {
        window_->SetLogging(on);
    } else if (settings_) {
        settings_->Dword("SaveToLogfile") = on ? 1 : 0;
        settings_->SaveSettings();
    }
}

void CActivityLogPage::ChangeFolder() {
    controls::FolderDialog dialog(Tx<184>(), this, GetLogFolder());
    if (dialog.DoModal() == controls::FolderDialog::Chosen) ApplyFolder(dialog.Folder());
}

bool CActivityLogPage::ApplyFolder(const QString& folder) {
    const std::string path = folder.toStdString();
    const std::string problem = LogFolderProblem(path, false);
    if (!problem.empty()) {
        tw::ui::CurrentMessages().Show(this, Q(problem), Tx<102>(),
                                       tw::ui::Messages::Icon::Warning);
        return false;
    }
    SetLogFolder(folder);
    if (settings_) {
        settings_->logLocation = path;
        settings_->SaveSettings();
        settings_->LoadSettings();
    }
    if (writer_) writer_->SetFolder(path);
    following_ = false;
    ClearViewer();
    FillLogList();
    return true;
}

void CActivityLogPage::EraseAllLogFiles() {
    if (wipe_ && wipe_->Running()) return;
    const QString folder = GetLogFolder();
    int logs = 0;
    for (const std::string& path : LogFilePaths(folder.toStdString()))
        logs += BeginsWithLogTitle(path) ? 1 : 0;
    if (logs == 0) {
        tw::ui::CurrentMessages().Show(this, Tx<167>(), Tx<102>(),
                                       tw::ui::Messages::Icon::Information);
        return;
    }
    if (!tw::ui::CurrentMessages().Ask(this, Q(LogWipeQuestion(folder.toStdString())), Tx<102>()))
        return;
    delete wipe_;
    wipe_ = new CLogFileWipe(folder, this);
    wipe_->setWindowModality(Qt::WindowModal);
    connect(wipe_, &CLogFileWipe::wipeFinished, this, [this] {
        if (window_) window_->SetBusy(tw::ui::Busy::Other, false);
        following_ = false;
        ClearViewer();
        FillLogList();
    });
    if (window_) window_->SetBusy(tw::ui::Busy::Other, true);
    wipe_->show();
    if (!wipe_->Start() && window_) window_->SetBusy(tw::ui::Busy::Other, false);
}

void CActivityLogPage::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    FillLogList();
    // The page opens on today's activity when there is any.
    if (!shownOnce_) {
        shownOnce_ = true;
        const int today = TodaysRow();
        if (today >= 0) {
            list_->selectRow(today);
            ViewRow(today);
        }
    }
}

bool CActivityLogPage::eventFilter(QObject* watched, QEvent* e) {
    if (watched == list_ && e->type() == QEvent::KeyPress) {
        const auto* k = static_cast<QKeyEvent*>(e);
        const int row = list_->currentIndex().row();
        if ((k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) && row >= 0) {
            OpenRowInEditor(row);
            return true;
        }
        if (k->key() == Qt::Key_Space && row >= 0) {
            ViewRow(row);
            return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

}  // namespace tw::log::ui
