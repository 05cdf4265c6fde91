// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/placeholder_view.h"

#include <QHeaderView>
#include <QPainter>

namespace tw::controls {

PlaceholderTableView::PlaceholderTableView(QWidget* parent) : QTableView(parent) {
    setSortingEnabled(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    horizontalHeader()->setStretchLastSection(true);
    verticalHeader()->hide();
}

void PlaceholderTableView::SetEmptyText(const QString& text) {
    emptyText_ = text;
    viewport()->update();
}

bool PlaceholderTableView::ShowsEmptyText() const { return !model() || model()->rowCount() == 0; }

void PlaceholderTableView::paintEvent(QPaintEvent* e) {
    QTableView::paintEvent(e);
    if (!ShowsEmptyText()) return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Disabled, QPalette::Text));
    p.drawText(viewport()->rect().adjusted(8, 8, -8, -8),
               Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap, emptyText_);
}

}  // namespace tw::controls
