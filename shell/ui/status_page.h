// SPDX-License-Identifier: GPL-3.0-or-later
// The start page: the protection switches as large tiles, the next timed clean, the
// space of the file system that holds the home folder and the unused swap.
#pragma once

#include <QToolButton>
#include <QWidget>

class QLabel;
class QProgressBar;

namespace tw::ui {

class StatusActions;

// A tile: a checkable button with a three-line text, drawn in the colour of its state.
class StatusTile : public QToolButton {
    Q_OBJECT
  public:
    StatusTile(QString onText, QString offText, QString toolTip, QWidget* parent = nullptr);
    // Shows a state without acting on it.
    void ShowState(bool on);
    bool IsOn() const { return isChecked(); }

  private:
    QString onText_, offText_;
};

class StatusPage : public QWidget {
    Q_OBJECT
  public:
    enum Tile { AutoWiping, LoadOnStartup, Logging, TimedCleaning, FileTracks, Internet, kTiles };

    StatusPage(StatusActions& actions, QWidget* parent = nullptr);

    // Every tile from the settings; the next-clean line; the space bars.
    void Refresh(const QString& nextCleanText);
    StatusTile* TileOf(Tile t) const { return tiles_[t]; }
    QLabel* NextCleanLine() const { return nextClean_; }

  signals:
    // A tile changed what the rest of the window shows (banner, indicators).
    void statusChanged();

  private:
    void OnTile(Tile t, bool on);
    void RefreshSpace();

    StatusActions& actions_;
    StatusTile* tiles_[kTiles];
    QLabel* nextClean_;
    QProgressBar* used_;
    QProgressBar* free_;
    QLabel* usedText_;
    QLabel* freeText_;
    QLabel* swap_;
};

}  // namespace tw::ui
