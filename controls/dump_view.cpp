// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/dump_view.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <climits>

namespace tw::controls {
namespace {
// Columns of a line, in characters: address, two blanks, 16 x "hh " with an extra blank
// after the eighth, a blank, 16 text characters.
constexpr int kHexGap = 2;
QChar Printable(uint8_t b) { return (b >= 0x20 && b < 0x7f) ? QChar(b) : QChar('.'); }
}  // namespace

MFCDumpCtrl::MFCDumpCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    const QFontMetrics fm(font());
    charW_ = qMax(1, fm.horizontalAdvance(QLatin1Char('0')));
    lineH_ = qMax(1, fm.height());
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int v) {
        viewport()->update();
        emit topLineChanged(v);
    });
    setAccessibleName(tr("Hex dump"));
}

void MFCDumpCtrl::SetData(const QByteArray& data, uint64_t baseAddress) {
    data_ = data;
    base_ = baseAddress;
    anchor_ = caret_ = 0;
    UpdateScroll();
    verticalScrollBar()->setValue(0);
    viewport()->update();
}

qint64 MFCDumpCtrl::LineCount() const { return (data_.size() + kBytesPerLine - 1) / kBytesPerLine; }

int MFCDumpCtrl::VisibleLines() const { return qMax(1, viewport()->height() / lineH_); }

int MFCDumpCtrl::AddressDigits() const {
    // Four digits while every address fits in them, eight (or more) beyond.
    const uint64_t last = base_ + static_cast<uint64_t>(qMax<qint64>(data_.size(), 1)) - 1;
    int digits = last <= 0xFFFF ? 4 : 8;
    while (digits < 16 && (last >> (digits * 4)) != 0) digits += 4;
    return digits;
}

void MFCDumpCtrl::UpdateScroll() {
    // Scroll bar values are ints: 2^31 lines of 16 bytes is far beyond any cluster.
    const qint64 max = qMax<qint64>(0, LineCount() - VisibleLines());
    verticalScrollBar()->setRange(0, static_cast<int>(qMin<qint64>(max, INT_MAX)));
    verticalScrollBar()->setPageStep(VisibleLines());
    const int width =
        (AddressDigits() + kHexGap + kBytesPerLine * 3 + 1 + 1 + kBytesPerLine) * charW_;
    horizontalScrollBar()->setRange(0, qMax(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
}

void MFCDumpCtrl::SetTopUnit(qint64 line) {
    verticalScrollBar()->setValue(static_cast<int>(qBound<qint64>(0, line, qint64(INT_MAX))));
}

qint64 MFCDumpCtrl::TopUnit() const { return verticalScrollBar()->value(); }

void MFCDumpCtrl::SetSelection(qint64 start, qint64 end) {
    anchor_ = qBound<qint64>(0, start, data_.size());
    caret_ = qBound<qint64>(0, end, data_.size());
    EnsureVisible(caret_);
    viewport()->update();
}

int MFCDumpCtrl::GetValue(qint64 offset) const {
    if (offset < 0 || offset >= data_.size()) return -1;
    return static_cast<uint8_t>(data_[offset]);
}

QString MFCDumpCtrl::FormatLine(qint64 line) const {
    const qint64 first = line * kBytesPerLine;
    if (line < 0 || first >= data_.size()) return {};
    QString s =
        QStringLiteral("%1")
            .arg(base_ + static_cast<uint64_t>(first), AddressDigits(), 16, QLatin1Char('0'))
            .toUpper();
    s += QString(kHexGap, QLatin1Char(' '));
    QString text;
    for (int i = 0; i < kBytesPerLine; ++i) {
        const qint64 at = first + i;
        if (at < data_.size()) {
            const uint8_t b = static_cast<uint8_t>(data_[at]);
            s += QStringLiteral("%1 ").arg(b, 2, 16, QLatin1Char('0')).toUpper();
            text += Printable(b);
        } else {
            s += QStringLiteral("   ");
        }
        if (i == 7) s += QLatin1Char(' ');
    }
    return s + QLatin1Char(' ') + text;
}

void MFCDumpCtrl::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const QPalette& pal = palette();
    p.fillRect(viewport()->rect(), pal.base());
    p.setFont(font());
    const int x0 = -horizontalScrollBar()->value();
    const qint64 top = TopUnit();
    const int digits = AddressDigits();
    const int ascent = QFontMetrics(font()).ascent();
    const qint64 selA = SelectionStart(), selB = SelectionEnd();
    for (int row = 0; row <= VisibleLines(); ++row) {
        const qint64 line = top + row;
        if (line >= LineCount()) break;
        const int y = row * lineH_;
        // The selection (and the caret's byte) behind the text, in both columns.
        for (int i = 0; i < kBytesPerLine; ++i) {
            const qint64 at = line * kBytesPerLine + i;
            if (at >= data_.size()) break;
            const bool selected = at >= selA && at < selB;
            const bool caret = at == caret_ && hasFocus();
            if (!selected && !caret) continue;
            const QColor c =
                selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::AlternateBase);
            const int hx = x0 + (digits + kHexGap + i * 3 + (i > 7 ? 1 : 0)) * charW_;
            const int tx = x0 + (digits + kHexGap + kBytesPerLine * 3 + 2 + i) * charW_;
            p.fillRect(QRect(hx, y, charW_ * 2, lineH_), c);
            p.fillRect(QRect(tx, y, charW_, lineH_), c);
        }
        p.setPen(pal.color(QPalette::Text));
        p.drawText(x0, y + ascent, FormatLine(line));
    }
}

void MFCDumpCtrl::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    UpdateScroll();
}

qint64 MFCDumpCtrl::OffsetAt(const QPoint& pt) const {
    const int col = (pt.x() + horizontalScrollBar()->value()) / charW_;
    const qint64 line = TopUnit() + pt.y() / lineH_;
    const int hexStart = AddressDigits() + kHexGap;
    const int textStart = hexStart + kBytesPerLine * 3 + 2;
    int byte = 0;
    if (col >= textStart) {
        byte = col - textStart;
    } else {
        int c = col - hexStart;
        if (c > 8 * 3) --c;  // the blank between the halves
        byte = c / 3;
    }
    byte = qBound(0, byte, kBytesPerLine - 1);
    return qBound<qint64>(0, line * kBytesPerLine + byte, qMax<qint64>(0, data_.size() - 1));
}

void MFCDumpCtrl::EnsureVisible(qint64 offset) {
    const qint64 line = offset / kBytesPerLine;
    if (line < TopUnit())
        SetTopUnit(line);
    else if (line >= TopUnit() + VisibleLines())
        SetTopUnit(line - VisibleLines() + 1);
}

void MFCDumpCtrl::MoveCaret(qint64 to, bool extend) {
    caret_ = qBound<qint64>(0, to, qMax<qint64>(0, data_.size() - 1));
    if (!extend) anchor_ = caret_;
    EnsureVisible(caret_);
    viewport()->update();
}

void MFCDumpCtrl::keyPressEvent(QKeyEvent* e) {
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const qint64 page = qint64(VisibleLines()) * kBytesPerLine;
    switch (e->key()) {
        case Qt::Key_Left:
            MoveCaret(caret_ - 1, shift);
            break;
        case Qt::Key_Right:
            MoveCaret(caret_ + 1, shift);
            break;
        case Qt::Key_Up:
            MoveCaret(caret_ - kBytesPerLine, shift);
            break;
        case Qt::Key_Down:
            MoveCaret(caret_ + kBytesPerLine, shift);
            break;
        case Qt::Key_PageUp:
            MoveCaret(caret_ - page, shift);
            break;
        case Qt::Key_PageDown:
            MoveCaret(caret_ + page, shift);
            break;
        case Qt::Key_Home:
            MoveCaret(ctrl ? 0 : caret_ - caret_ % kBytesPerLine, shift);
            break;
        case Qt::Key_End:
            MoveCaret(ctrl ? data_.size() - 1 : caret_ - caret_ % kBytesPerLine + kBytesPerLine - 1,
                      shift);
            break;
        default:
            if (e->matches(QKeySequence::SelectAll)) {
                SetSelection(0, data_.size());
                return;
            }
            QAbstractScrollArea::keyPressEvent(e);
    }
}

void MFCDumpCtrl::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || data_.isEmpty()) return;
    const qint64 at = OffsetAt(e->position().toPoint());
    MoveCaret(at, e->modifiers() & Qt::ShiftModifier);
}

void MFCDumpCtrl::mouseMoveEvent(QMouseEvent* e) {
    if (!(e->buttons() & Qt::LeftButton) || data_.isEmpty()) return;
    // The byte under the pointer is part of the selection, as a text editor does it.
    const qint64 at = OffsetAt(e->position().toPoint());
    caret_ = at >= anchor_ ? at + 1 : at;
    EnsureVisible(at);
    viewport()->update();
}

}  // namespace tw::controls
