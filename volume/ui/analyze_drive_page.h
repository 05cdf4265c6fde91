// SPDX-License-Identifier: GPL-3.0-or-later
// The analysis page: pick a drive (mounted, an unmounted partition, or an image file),
// search it for deleted files or for file slacks on a worker, filter and sort what was
// found, look at one item in the data viewer, and recover or wipe the selected ones.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QPointer>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "volume/ui/analysis_engine.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tw {
class Settings;
namespace controls {
class PlaceholderTableView;
}
namespace ui {
class MainWindow;
class OperationRunner;
class ProgressPanel;
}  // namespace ui
}  // namespace tw

namespace tw::volume::ui {

class CFileSlackViewerDlg;

// The found items; column 4 is "% Rec" (or "Slack" in slack mode).
class FoundModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { Name, Ext, Folder, Size, Last, kColumns };
    static constexpr int kSortRole = Qt::UserRole + 1;

    explicit FoundModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    void Reset(bool slackMode, bool ntfs);
    void SetNtfs(bool ntfs);
    void Append(std::vector<FoundRow>&& rows);
    const FoundRow& Row(int row) const { return rows_[static_cast<size_t>(row)]; }
    bool SlackMode() const { return slack_; }

  private:
    std::vector<FoundRow> rows_;
    bool slack_ = false;
    bool ntfs_ = true;
};

// The name and extension filters.
class FoundFilter : public QSortFilterProxyModel {
    Q_OBJECT
  public:
    explicit FoundFilter(QObject* parent = nullptr);
    // `name`: part of the name, any case ("" accepts all); `ext`: the extension, any
    // case ("" or "all" accepts all).
    void SetFilter(const QString& name, const QString& ext);

  protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;
    // Compares the rows themselves, not the cells' texts: a sort of 200,000 items makes
    // millions of comparisons.
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;

  private:
    QString name_, ext_;
};

class CAnalyzeDrivePage : public QWidget {
    Q_OBJECT
  public:
    // `window` gets the busy flags; `settings` keeps the recovery folder. Either may be
    // null (tests of the page alone).
    CAnalyzeDrivePage(tw::ui::MainWindow* window, Settings* settings, QWidget* parent = nullptr);
    ~CAnalyzeDrivePage() override;

    // Rebuilds the drive list: mounted NTFS and FAT32 volumes, unmounted partitions
    // holding one, the images added so far, and "Open volume image...".
    void FillDrives();
    // Adds an image file (or any source) to the list and selects it.
    void AddSource(const QString& path);
    QString CurrentSource() const;

    void FindDeletedFiles();
    void TestForFileSlacks();
    void StopSearching();
    void SelectAll();
    void DeselectAll();
    void WipeSelected();
    void RecoverSelected();
    void SetRecoveryFolder();
    void SetRecoveryFolderPath(const QString& folder);
    const QString& RecoveryFolder() const { return recoveryFolder_; }
    // The data viewer for the item at the proxy row `row`.
    CFileSlackViewerDlg* ViewItem(int row);

    bool Running() const;
    FoundModel* Model() const { return model_; }
    FoundFilter* Proxy() const { return proxy_; }
    controls::PlaceholderTableView* List() const { return list_; }
    QLineEdit* NameFilter() const { return nameFilter_; }
    QComboBox* ExtFilter() const { return extFilter_; }
    QComboBox* Drives() const { return drives_; }
    QLabel* Details() const { return details_; }
    QPlainTextEdit* LogArea() const { return log_; }
    tw::ui::ProgressPanel* ProgressArea() const { return progress_; }
    QPushButton* Button(int id) const;
    AnalysisEngine& Engine() { return *engine_; }

  signals:
    // A run ended (search, recovery or wipe); `ok` as the engine said.
    void runFinished(bool ok);

  protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

  private:
    enum class Run { None, Search, Slacks, Recover, Wipe };
    void StartSearch(bool slacks);
    void StartOnItems(Run kind, const std::vector<uint64_t>& locations);
    void OnFinished(const QVariant& result, bool stopped);
    void Drain();
    void UpdateButtons();
    void UpdateExtensions();
    void ApplyFilter();
    void AddLog(const QString& line);
    void SetBusyFlag(bool on);
    std::vector<uint64_t> SelectedLocations() const;
    void OnDriveChosen(int index);

    tw::ui::MainWindow* window_;
    Settings* settings_;
    std::unique_ptr<AnalysisEngine> engine_;
    tw::ui::OperationRunner* runner_;
    Run run_ = Run::None;

    // Items the worker found that the list has not taken yet.
    struct Pending {
        std::mutex mu;
        std::vector<FoundRow> rows;
        std::vector<QString> lines;
    };
    std::shared_ptr<Pending> pending_ = std::make_shared<Pending>();
    QTimer drain_;

    QComboBox* drives_;
    QLineEdit* nameFilter_;
    QComboBox* extFilter_;
    QLabel* folderLabel_;
    tw::ui::ProgressPanel* progress_;
    controls::PlaceholderTableView* list_;
    QLabel* details_;
    QPlainTextEdit* log_;
    QPushButton *find_, *slacks_, *stopBtn_, *setFolder_, *selectAll_, *deselectAll_, *wipe_,
        *recover_;
    FoundModel* model_;
    FoundFilter* proxy_;
    QString recoveryFolder_;
    QStringList images_;
    // Open data viewers: they read through the engine, so none is usable while a run
    // uses it, and a new search (which replaces what they show) closes them.
    QList<QPointer<CFileSlackViewerDlg>> viewers_;
    int lastDrive_ = 0;
};

}  // namespace tw::volume::ui
