// SPDX-License-Identifier: GPL-3.0-or-later
// The log page: the daily log files by date, one of them in a read-only viewer (today's
// followed live as lines are written), the file in the user's editor, the logging
// switch, the log folder, and "Erase ALL log files" with its wipe dialog.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tw {
class Settings;
namespace log {
class CActivityLogFile;
}
namespace controls {
class PlaceholderTableView;
}
namespace ui {
class MainWindow;
class OperationRunner;
class ProgressPanel;
}  // namespace ui
}  // namespace tw

namespace tw::log::ui {

// What the viewer shows of a log file: read from its start, or from 50,000 bytes before
// its end when it is 50,001 bytes or longer; the first two lines read are dropped (the
// header and the blank line after it, or after a jump the partial line and the next),
// empty lines are skipped and each record becomes one line. "" when it cannot be read.
QString LogViewerText(const std::string& path);

// One log file of the list.
struct LogFileEntry {
    std::string stem;     // the file name without its extension
    int64_t lastWritten;  // its last-write time, seconds
};

// The list of log dates: one column "Log date", newest first until the header is
// clicked, which toggles the order. Rows compare by lastWritten only.
class CListCtrlLogList : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit CListCtrlLogList(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    void SetEntries(std::vector<LogFileEntry> entries);
    const LogFileEntry& Entry(int row) const { return entries_[static_cast<size_t>(row)]; }
    bool Descending() const { return descending_; }

  private:
    std::vector<LogFileEntry> entries_;
    bool descending_ = true;
};

// The log wipe's progress: "Wiping logfiles. Please wait.", a bar that advances per
// file and Stop; then the outcome and Close. Started by the page after the user
// agreed to the question.
class CLogFileWipe : public QDialog {
    Q_OBJECT
  public:
    CLogFileWipe(QString folder, QWidget* parent = nullptr);
    // Starts the wipe on a worker; false when it could not start.
    bool Start();
    bool Running() const;
    QLabel* Text() const { return text_; }
    tw::ui::ProgressPanel* Progress() const { return progress_; }
    QPushButton* CloseButton() const { return close_; }

  signals:
    void wipeFinished(bool ok);

  protected:
    void reject() override;  // Escape and the title bar's close wait for the wipe

  private:
    void OnFinished(const QVariant& result, bool stopped);

    QString folder_;
    tw::ui::OperationRunner* runner_;
    QLabel* text_;
    tw::ui::ProgressPanel* progress_;
    QPushButton* close_;
};

class CActivityLogPage : public QWidget {
    Q_OBJECT
  public:
    // Opens a file in an editor: the program and its arguments; true when it started.
    using Launcher = std::function<bool(const QString& program, const QStringList& args)>;
    enum ButtonId { kChange = 1017, kClear = 1016, kErase = 1013, kLogging = 1201 };

    // `window` (may be null in tests) gets the logging switch and the busy flag;
    // `settings` keeps the folder and the switch; `writer` is the main window's log
    // writer, whose new last line is appended while today's log is followed.
    CActivityLogPage(tw::ui::MainWindow* window, Settings* settings, CActivityLogFile* writer,
                     QWidget* parent = nullptr);

    void FillLogList();
    void AppendToViewer(const QString& text);
    void ClearViewer();
    void SetLogFolder(const QString& folder);
    QString GetLogFolder() const;
    void SetSaveToLogfile(bool on);
    bool SaveToLogfile() const { return saveToLogfile_; }

    // A left click: the file of list row `row` (in the order shown) in the viewer.
    void ViewRow(int row);
    // A right click (or Enter): the file in the user's editor.
    void OpenRowInEditor(int row);
    // The log-line broadcast: while today's log is followed, its new last line.
    void OnLogLine();
    bool Following() const { return following_; }
    // The list row of today's log, -1 when there is none.
    int TodaysRow() const;

    // "Change": the folder dialog, then ApplyFolder.
    void ChangeFolder();
    // A new log folder: checked, stored, given to the writer. False (with the reason
    // shown) when it cannot be the log folder.
    bool ApplyFolder(const QString& folder);
    // "Erase ALL log files": the question through the message boxes, then the wipe.
    void EraseAllLogFiles();
    void ToggleLogging();

    void SetLauncher(Launcher launcher) { launcher_ = std::move(launcher); }
    // Tests fix "today"; the default is time(nullptr).
    void SetClock(std::function<time_t()> clock) { clock_ = std::move(clock); }

    controls::PlaceholderTableView* List() const { return list_; }
    CListCtrlLogList* Model() const { return model_; }
    QPlainTextEdit* Viewer() const { return viewer_; }
    QLabel* Caption() const { return caption_; }
    QLineEdit* FolderEdit() const { return folder_; }
    QPushButton* Button(int id) const;
    // The running or last log wipe dialog, null before the first.
    CLogFileWipe* WipeDialog() const { return wipe_; }

  protected:
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    std::string PathOf(const LogFileEntry& e) const;
    time_t Now() const { return clock_ ? clock_() : time(nullptr); }

    tw::ui::MainWindow* window_;
    Settings* settings_;
    CActivityLogFile* writer_;
    Launcher launcher_;
    std::function<time_t()> clock_;
    bool saveToLogfile_ = false;
    bool following_ = false;
    bool shownOnce_ = false;

    CListCtrlLogList* model_;
    controls::PlaceholderTableView* list_;
    QPlainTextEdit* viewer_;
    QLabel* caption_;
    QLineEdit* folder_;
    QPushButton *change_, *clear_, *erase_, *logging_;
    CLogFileWipe* wipe_ = nullptr;
};

}  // namespace tw::log::ui
