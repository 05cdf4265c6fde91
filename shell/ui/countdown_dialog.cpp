// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/countdown_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "shell/ui/ui_text.h"

namespace tw::ui {

TimerTickSource::TimerTickSource(QObject* parent) : TickSource(parent) {
    connect(&timer_, &QTimer::timeout, this, &TickSource::tick);
}

cProceedCancelDialog::cProceedCancelDialog(QWidget* parent, TickSource* ticks)
    : QDialog(parent),
      text_(new QLabel(this)),
      ok_(new QPushButton(tr("OK"), this)),
      cancel_(new QPushButton(tr("Cancel"), this)),
      ticks_(ticks ? ticks : new TimerTickSource(this)) {
    text_->setWordWrap(true);
    text_->setAlignment(Qt::AlignCenter);
    text_->setAccessibleName(tr("Countdown"));
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(ok_, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel_, QDialogButtonBox::RejectRole);
    // A shutdown is not what Enter should do by chance.
    cancel_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(ticks_, &TickSource::tick, this, &cProceedCancelDialog::OnTick);
    // Room for the question at a glance, in the text's own measure.
    setMinimumWidth(fontMetrics().averageCharWidth() * 48);
    auto* column = new QVBoxLayout(this);
    column->addWidget(text_, 1);
    column->addWidget(buttons);
}

void cProceedCancelDialog::SetUpShutdown() {
    title = Tx<209>();
    prefix = Tx<568>();
    suffix = Tx<569>();
    okText = Tx<567>();
    cancelText = Tx<566>();
    seconds = 30;
    proceedOnTimeout = true;
}

QString cProceedCancelDialog::CountdownText() const {
    if (seconds < 1) return prefix;
    return prefix + QLatin1Char(' ') + QString::number(seconds) + QLatin1Char(' ') + suffix +
           QLatin1Char('.');
}

void cProceedCancelDialog::Prepare() {
    prepared_ = true;
    if (!prefix.isEmpty()) text_->setText(CountdownText());
    if (!okText.isEmpty()) ok_->setText(okText);
    if (!cancelText.isEmpty()) cancel_->setText(cancelText);
    ok_->setAccessibleName(ok_->text());
    cancel_->setAccessibleName(cancel_->text());
    if (!title.isEmpty()) setWindowTitle(title);
    if (seconds != 0) ticks_->Start(1000);
}

void cProceedCancelDialog::showEvent(QShowEvent* e) {
    if (!prepared_) Prepare();
    QDialog::showEvent(e);
}

void cProceedCancelDialog::OnTick() {
    --seconds;
    if (!prefix.isEmpty()) text_->setText(CountdownText());
    if (seconds < 1) {
        if (proceedOnTimeout)
            accept();
        else
            reject();
    }
}

void cProceedCancelDialog::done(int result) {
    ticks_->Stop();
    QDialog::done(result);
}

}  // namespace tw::ui
