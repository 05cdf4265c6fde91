// SPDX-License-Identifier: GPL-3.0-or-later
// The data viewer: one found item cluster by cluster, as text with only the printable
// characters, as raw bytes (plain or as a hex dump), or as a picture; and recover or
// wipe for this one item (the page runs them).
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

#include "volume/ui/analysis_engine.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

namespace tw::controls {
class MFCDumpCtrl;
}

namespace tw::volume::ui {

class CFileSlackViewerDlg : public QDialog {
    Q_OBJECT
  public:
    CFileSlackViewerDlg(AnalysisEngine& engine, FoundRow item, QWidget* parent = nullptr);
    ~CFileSlackViewerDlg() override;

    // Shows the entry `index` of the cluster list.
    void ShowCluster(int index);
    void PreviousCluster();
    void NextCluster();
    void ToggleHex();
    void ToggleImage();

    QComboBox* Clusters() const { return clusters_; }
    QPlainTextEdit* Filtered() const { return filtered_; }
    QPlainTextEdit* Raw() const { return raw_; }
    controls::MFCDumpCtrl* Hex() const { return hex_; }
    QLabel* Image() const { return image_; }
    bool HexShown() const;
    bool ImageShown() const;
    // The temporary file of the image mode ("" when none is left).
    const QString& TempImage() const { return tempImage_; }
    const std::vector<uint8_t>& ClusterBytes() const { return bytes_; }

  signals:
    void recoverRequested();
    void wipeRequested();

  private:
    void RemoveTemp();

    AnalysisEngine& engine_;
    FoundRow item_;
    std::vector<AnalysisEngine::ClusterRef> list_;
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> resident_;  // data kept inside the file record
    QComboBox* clusters_;
    QPushButton *prev_, *next_, *hexBtn_, *imageBtn_;
    QPlainTextEdit* filtered_;
    QPlainTextEdit* raw_;
    controls::MFCDumpCtrl* hex_;
    QLabel* image_;
    QLabel* message_;
    QStackedWidget* rawStack_;
    QStackedWidget* body_;
    QString tempImage_;
    bool imageLoaded_ = false;
};

}  // namespace tw::volume::ui
