// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/operation_runner.h"

#include <QGridLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

namespace tw::ui {

// Posts every call to the runner's thread, where the signals are emitted: receivers
// never run on the worker.
class OperationRunner::Sink : public ProgressSink {
  public:
    explicit Sink(OperationRunner* owner) : owner_(owner) {}
    void SetRange(Bar bar, int64_t low, int64_t high) override {
        QMetaObject::invokeMethod(
            owner_, [o = owner_, bar, low, high] { emit o->rangeChanged(bar, low, high); },
            Qt::QueuedConnection);
    }
    void SetPos(Bar bar, int64_t pos) override {
        QMetaObject::invokeMethod(
            owner_, [o = owner_, bar, pos] { emit o->posChanged(bar, pos); }, Qt::QueuedConnection);
    }
    void SetText(Slot slot, std::string_view text) override {
        QString t = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
        QMetaObject::invokeMethod(
            owner_, [o = owner_, slot, t] { emit o->textChanged(slot, t); }, Qt::QueuedConnection);
    }

  private:
    OperationRunner* owner_;
};

OperationRunner::OperationRunner(QObject* parent)
    : QObject(parent), sink_(std::make_unique<Sink>(this)) {}

OperationRunner::~OperationRunner() {
    if (thread_) {
        op_->Stop();
        thread_->wait();
        delete thread_;
    }
}

bool OperationRunner::Start(Work work, log::CActivityLogFile* log) {
    if (thread_) return false;
    op_ = std::make_unique<Operation>(sink_.get(), log);
    op_->SetInterval(interval_);
    result_ = QVariant();
    Operation* op = op_.get();
    thread_ = QThread::create([this, op, work = std::move(work)] {
        QVariant r = work(*op);
        // What the throttle holds back is posted before the end is.
        op->Flush();
        result_ = std::move(r);
    });
    connect(thread_, &QThread::finished, this, &OperationRunner::OnThreadDone,
            Qt::QueuedConnection);
    thread_->start();
    emit started();
    return true;
}

void OperationRunner::OnThreadDone() {
    if (!thread_) return;
    thread_->wait();
    delete thread_;
    thread_ = nullptr;
    const bool stopped = op_->Stopped();
    op_.reset();
    emit finished(result_, stopped);
}

bool OperationRunner::Paused() const { return op_ && op_->Paused(); }

void OperationRunner::Stop() {
    if (op_) op_->Stop();
}

void OperationRunner::Pause(bool on) {
    if (!op_) return;
    op_->Pause(on);
    emit pauseChanged(on);
}

ProgressPanel::ProgressPanel(QWidget* parent)
    : QWidget(parent),
      bars_{new QProgressBar(this), new QProgressBar(this)},
      status_(new QLabel(this)),
      time_(new QLabel(this)),
      stop_(new QPushButton(tr("&Stop"), this)),
      pause_(new QPushButton(tr("&Pause"), this)) {
    bars_[0]->setAccessibleName(tr("Progress of the current item"));
    bars_[1]->setAccessibleName(tr("Overall progress"));
    status_->setAccessibleName(tr("Status"));
    status_->setWordWrap(true);
    time_->setAccessibleName(tr("Time remaining"));
    pause_->setCheckable(true);
    stop_->setEnabled(false);
    pause_->setEnabled(false);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(bars_[0], 0, 0);
    grid->addWidget(bars_[1], 1, 0);
    grid->addWidget(status_, 2, 0);
    grid->addWidget(time_, 3, 0);
    grid->addWidget(pause_, 0, 1);
    grid->addWidget(stop_, 1, 1);
    grid->setColumnStretch(0, 1);
}

void ProgressPanel::Bind(OperationRunner* runner) {
    connect(stop_, &QPushButton::clicked, runner, &OperationRunner::Stop);
    connect(pause_, &QPushButton::toggled, runner, &OperationRunner::Pause);
    connect(runner, &OperationRunner::pauseChanged, this,
            [this](bool on) { pause_->setText(on ? tr("&Resume") : tr("&Pause")); });
    connect(runner, &OperationRunner::started, this, [this] {
        stop_->setEnabled(true);
        pause_->setEnabled(true);
    });
    connect(runner, &OperationRunner::finished, this, [this] {
        stop_->setEnabled(false);
        pause_->setChecked(false);
        pause_->setEnabled(false);
    });
    connect(runner, &OperationRunner::rangeChanged, this, [this](int bar, qint64 low, qint64 high) {
        // A bar counts in int: wide ranges are shown in proportion.
        const qint64 span = std::max<qint64>(high - low, 1);
        bars_[bar & 1]->setRange(0, static_cast<int>(std::min<qint64>(span, 1'000'000)));
        bars_[bar & 1]->setProperty("twLow", low);
        bars_[bar & 1]->setProperty("twSpan", span);
    });
    connect(runner, &OperationRunner::posChanged, this, [this](int bar, qint64 pos) {
        QProgressBar* b = bars_[bar & 1];
        const qint64 low = b->property("twLow").toLongLong();
        const qint64 span = std::max<qint64>(b->property("twSpan").toLongLong(), 1);
        const double part = std::clamp(static_cast<double>(pos - low) / span, 0.0, 1.0);
        b->setValue(static_cast<int>(part * b->maximum()));
    });
    connect(runner, &OperationRunner::textChanged, this, [this](int slot, const QString& text) {
        (slot == ProgressSink::Status ? status_ : time_)->setText(text);
    });
}

}  // namespace tw::ui
