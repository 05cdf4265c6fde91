// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/banner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

namespace tw::controls {

Banner::Banner(QWidget* parent)
    : QFrame(parent),
      title_(new QLabel(QStringLiteral("This is the sample title"), this)),
      caption_(new QLabel(QStringLiteral("This is the sample caption..."), this)),
      mark_(new QLabel(this)) {
    setFrameShape(QFrame::StyledPanel);
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    QFont bold = title_->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    title_->setFont(bold);
    title_->setTextFormat(Qt::PlainText);
    caption_->setTextFormat(Qt::PlainText);
    title_->setAccessibleName(tr("Page title"));
    caption_->setAccessibleName(tr("Page state"));
    mark_->setFixedSize(QSize(12, 12) * (fontMetrics().height() / 12.0));
    mark_->hide();
    auto* row = new QHBoxLayout(this);
    row->addWidget(title_);
    row->addSpacing(fontMetrics().horizontalAdvance(QLatin1Char('M')));
    row->addWidget(mark_, 0, Qt::AlignVCenter);
    row->addWidget(caption_, 1);
}

void Banner::SetTitle(const QString& text) { title_->setText(text.trimmed()); }
void Banner::SetCaption(const QString& text) { caption_->setText(text.trimmed()); }
QString Banner::Title() const { return title_->text(); }
QString Banner::Caption() const { return caption_->text(); }

void Banner::SetState(State state) {
    state_ = state;
    if (state == State::None) {
        mark_->hide();
        return;
    }
    // Green and grey: the desktop's own "positive" and "inactive" tones would do too,
    // but not every style defines them.
    const QColor colour = state == State::On ? QColor(0x2e, 0x9d, 0x4b) : QColor(0x8a, 0x8a, 0x8a);
    QPixmap dot(mark_->size() * devicePixelRatioF());
    dot.setDevicePixelRatio(devicePixelRatioF());
    dot.fill(Qt::transparent);
    QPainter p(&dot);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(QPointF(0, 0), QSizeF(mark_->size())).adjusted(1, 1, -1, -1));
    p.end();
    mark_->setPixmap(dot);
    mark_->show();
}

}  // namespace tw::controls
