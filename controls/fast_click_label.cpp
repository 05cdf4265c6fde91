// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/fast_click_label.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace tw::controls {

FastClickLabel::FastClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void FastClickLabel::mousePressEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) emit clicked();
    QLabel::mousePressEvent(e);
}

// The second press of a double click arrives as a double-click event instead of a
// press: it is one more click.
void FastClickLabel::mouseDoubleClickEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton) emit clicked();
    QLabel::mouseDoubleClickEvent(e);
}

void FastClickLabel::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Space || e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
        emit clicked();
        return;
    }
    QLabel::keyPressEvent(e);
}

}  // namespace tw::controls
