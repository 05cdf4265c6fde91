// SPDX-License-Identifier: GPL-3.0-or-later
// A proceed/cancel question that answers itself when its countdown runs out (the
// shutdown after a clean uses it). The ticks come from a TickSource, so tests can
// drive the countdown without waiting.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <QTimer>

class QLabel;
class QPushButton;

namespace tw::ui {

class TickSource : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    virtual void Start(int periodMs) = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;
  signals:
    void tick();
};

// The default: a QTimer.
class TimerTickSource : public TickSource {
    Q_OBJECT
  public:
    explicit TimerTickSource(QObject* parent = nullptr);
    void Start(int periodMs) override { timer_.start(periodMs); }
    void Stop() override { timer_.stop(); }
    bool Active() const override { return timer_.isActive(); }

  private:
    QTimer timer_;
};

class cProceedCancelDialog : public QDialog {
    Q_OBJECT
  public:
    // `ticks` (owned by the caller, may be null: a 1 s timer of our own).
    explicit cProceedCancelDialog(QWidget* parent = nullptr, TickSource* ticks = nullptr);

    // Set before the dialog is shown. Empty texts keep the dialog's own.
    QString title, prefix, suffix, okText, cancelText;
    int seconds = 0;
    bool proceedOnTimeout = false;

    // Applies the fields (done when the dialog is shown).
    void Prepare();
    // The shutdown question: "Shut down in 30 seconds.", proceeding at the end.
    void SetUpShutdown();

    QString CountdownText() const;
    bool Counting() const { return ticks_->Active(); }
    QPushButton* ProceedButton() const { return ok_; }
    QPushButton* CancelButton() const { return cancel_; }

  protected:
    void showEvent(QShowEvent* e) override;
    void done(int result) override;

  private:
    void OnTick();

    QLabel* text_;
    QPushButton* ok_;
    QPushButton* cancel_;
    TickSource* ticks_;
    bool prepared_ = false;
};

}  // namespace tw::ui
