// SPDX-License-Identifier: GPL-3.0-or-later
// The Recycle Bin page: what the Trash holds (the home trash and the trash folders of
// every mounted volume) in a check-box list, restored or wiped on a worker, the wipe
// after its confirming countdown. The list follows changes of the trash folders.
#pragma once

#include <QAbstractTableModel>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "recyclebin/store.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSocketNotifier;

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

namespace tw::recyclebin::ui {

// The items: a check box and the name, then Ext, Size, Original Location, Date Modified.
class BinItemModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { Name, Ext, Size, Location, Modified, kColumns };
    explicit BinItemModel(QObject* parent = nullptr) : QAbstractTableModel(parent) {}
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    void sort(int column, Qt::SortOrder order) override;

    void SetItems(std::vector<RecycleBinItem> items);
    const std::vector<RecycleBinItem>& Items() const { return items_; }
    void SetAllChecked(bool on);
    std::vector<RecycleBinItem> Checked() const;

  signals:
    void checksChanged();

  private:
    std::vector<RecycleBinItem> items_;
};

class CRecycleBinWipingPage : public QWidget {
    Q_OBJECT
  public:
    enum ButtonId {
        kWipe = 1164,
        kRecover = 1134,
        kEmpty = 1014,
        kAbort = 1013,
        kSelectAll = 1017,
        kDeselectAll = 1018
    };
    enum SwitchId { kAutoWiping = 1001, kPopupOn = 1207, kPopupOff = 1208 };

    // `window` (may be null) gets the busy flags and the refresh requests; `settings`
    // gives the pass count and the logging switch.
    CRecycleBinWipingPage(tw::ui::MainWindow* window, Settings* settings,
                          QWidget* parent = nullptr);
    ~CRecycleBinWipingPage() override;

    // Lists the bin folders again (checks are kept for items still there).
    void Refresh();
    void SelectAll();
    void DeselectAll();
    void RecoverSelected();
    // First click: the countdown; a second one within it: the wipe.
    void WipeSelected();
    void EmptyBin();
    void AbortWiping();
    bool Running() const;
    bool Confirming() const { return countdown_ > 0; }

    // Sends each path to the bin (files dropped on the page do this), then lists the
    // bin again. The paths that could not be trashed are named in one message. False
    // while a run goes on (nothing is trashed then).
    bool DropPaths(const QStringList& paths);
    // Lists exactly these trash directories from now on (a chosen set: tests, pictures).
    void SetBinFolders(std::vector<BinFolder> bins);

    // The guard's auto-wiping as the page shows it: the switch and its texts.
    void ShowAutoWiping(bool on);
    // The desktop pop-up choice the page keeps for the settings.
    void SetDesktopPopup(bool on);
    bool DesktopPopup() const;

    BinItemModel* Model() const { return model_; }
    controls::PlaceholderTableView* List() const { return list_; }
    QLabel* StatusText() const { return status_; }
    QPushButton* Button(int id) const;
    QCheckBox* AutoWipingBox() const { return autoWiping_; }
    QRadioButton* PopupButton(int id) const { return id == kPopupOn ? popupOn_ : popupOff_; }
    QLabel* AutoWipingText() const { return autoText_; }

  protected:
    void showEvent(QShowEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

  private:
    void StartRun(bool wipe);
    void OnFinished(const QVariant& result, bool stopped);
    void Tick();
    void CancelConfirmation(bool announce);
    void UpdateButtons();
    void WatchBins();
    void OnAutoWipingClicked(bool on);
    void OnPopupChosen(bool on);
    // The window's writer when the page logs (a writer and logging on), else null.
    log::CActivityLogFile* Writer() const;

    tw::ui::MainWindow* window_;
    Settings* settings_;
    CRecycleBinStore store_;
    tw::ui::OperationRunner* runner_;
    QSocketNotifier* changes_ = nullptr;
    QTimer tick_;
    int countdown_ = 0;
    bool wiping_ = false;

    BinItemModel* model_;
    controls::PlaceholderTableView* list_;
    QLabel* status_;
    tw::ui::ProgressPanel* progress_;
    QPushButton *wipe_, *recover_, *empty_, *selectAll_, *deselectAll_;
    QCheckBox* autoWiping_;
    QLabel* autoText_;
    QRadioButton *popupOn_, *popupOff_;
};

}  // namespace tw::recyclebin::ui
