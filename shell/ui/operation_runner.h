// SPDX-License-Identifier: GPL-3.0-or-later
// Runs one engine call on a worker thread so the window never blocks. The call gets the
// run's OpContext; its progress arrives on the runner's thread as signals (ranges at
// once, positions and texts throttled by the Operation), then `finished` with the
// call's result. Stop and Pause reach the Operation from the window.
#pragma once

#include <QObject>
#include <QVariant>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>

#include "platform/operation.h"

class QThread;
class QProgressBar;
class QLabel;
class QPushButton;

namespace tw::ui {

class OperationRunner : public QObject {
    Q_OBJECT
  public:
    using Work = std::function<QVariant(const OpContext&)>;

    explicit OperationRunner(QObject* parent = nullptr);
    // A run still going is stopped and waited for.
    ~OperationRunner() override;

    // Starts `work` on a worker thread; false (and nothing started) while a run goes on.
    bool Start(Work work, log::CActivityLogFile* log = nullptr);
    bool Running() const { return thread_ != nullptr; }
    bool Paused() const;
    // How often positions and texts are delivered; zero delivers every call.
    void SetInterval(std::chrono::milliseconds interval) { interval_ = interval; }

  public slots:
    void Stop();
    void Pause(bool on);

  signals:
    void started();
    void rangeChanged(int bar, qint64 low, qint64 high);
    void posChanged(int bar, qint64 pos);
    void textChanged(int slot, const QString& text);
    void pauseChanged(bool paused);
    // `stopped`: the run was asked to stop before it ended.
    void finished(const QVariant& result, bool stopped);

  private:
    class Sink;
    void OnThreadDone();

    std::unique_ptr<Sink> sink_;
    std::unique_ptr<Operation> op_;
    QThread* thread_ = nullptr;
    QVariant result_;
    std::chrono::milliseconds interval_{100};
};

// The progress area of a page: the bars the run drives, its status line, the time
// remaining, and Stop and Pause beside them.
class ProgressPanel : public QWidget {
    Q_OBJECT
  public:
    explicit ProgressPanel(QWidget* parent = nullptr);
    void Bind(OperationRunner* runner);

    QProgressBar* Bar(int which) const { return bars_[which]; }
    QLabel* StatusLine() const { return status_; }
    QPushButton* StopButton() const { return stop_; }
    QPushButton* PauseButton() const { return pause_; }

  private:
    QProgressBar* bars_[2];
    QLabel* status_;
    QLabel* time_;
    QPushButton* stop_;
    QPushButton* pause_;
};

}  // namespace tw::ui
