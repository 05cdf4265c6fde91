// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/dump_view.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <climits>

namespace tw::controls {
namespace {
const char* const kHeaders[] = {"Addr", "Hex", "Dec", "Bin", "Oct", "Ascii"};
// Characters per unit: byte mode, word mode.
constexpr int kWidths[][2] = {{0, 0}, {2, 4}, {3, 5}, {8, 17}, {3, 6}, {1, 1}};
constexpr uint32_t kFlags[] = {MFCDumpCtrl::kAddr, MFCDumpCtrl::kHex, MFCDumpCtrl::kDec,
                               MFCDumpCtrl::kBin,  MFCDumpCtrl::kOct, MFCDumpCtrl::kAscii};
}  // namespace

MFCDumpCtrl::MFCDumpCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
    const QPalette& pal = palette();
    colours_ = {pal.color(QPalette::Active, QPalette::Text).rgb(),
                pal.color(QPalette::Active, QPalette::Base).rgb(),
                qRgb(0xFF, 0, 0),
                qRgb(0, 0, 0),
                qRgb(0xFF, 0xFF, 0),
                qRgb(0xFF, 0xFF, 0xFF),
                qRgb(0xFF, 0, 0),
                qRgb(0, 0xFF, 0xFF),
                qRgb(0, 0xB0, 0),
                pal.color(QPalette::Disabled, QPalette::Text).rgb(),
                pal.color(QPalette::Disabled, QPalette::Text).rgb(),
                pal.color(QPalette::Disabled, QPalette::Text).rgb()};
    SetDefaultFont();
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int line) {
        const qint64 top = qint64(line) * qMax(1, unitsPerLine_);
        if (top == topUnit_) return;
        topUnit_ = top;
        viewport()->update();
        emit topUnitChanged(topUnit_);
    });
    setAccessibleName(tr("Hex dump"));
}

void MFCDumpCtrl::SetDefaultFont() {
    SetDumpFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

void MFCDumpCtrl::SetDumpFont(const QFont& font) {
    setFont(font);
    const QFontMetrics fm(font);
    charW_ = qMax(1, fm.horizontalAdvance(QLatin1Char('0')));
    lineH_ = qMax(1, fm.height());
    Layout();
}

void MFCDumpCtrl::SetSubstituteChar(char c) {
    substitute_ = c;
    viewport()->update();
}

QRgb MFCDumpCtrl::SetColour(int index, QRgb colour) {
    if (index < 0 || index >= kColourCount) return 0;
    const QRgb old = colours_[static_cast<size_t>(index)];
    colours_[static_cast<size_t>(index)] = colour;
    viewport()->update();
    return old;
}

QRgb MFCDumpCtrl::Colour(int index) const {
    return index >= 0 && index < kColourCount ? colours_[static_cast<size_t>(index)] : 0;
}

void MFCDumpCtrl::SetData(const QByteArray& data, const QByteArray& compareData,
                          uint32_t baseAddress) {
    data_ = data;
    compare_ = compareData.size() == data.size() ? compareData : data;
    base_ = baseAddress;
    topUnit_ = 0;
    Layout();
    verticalScrollBar()->setValue(0);
    if (UnitCount() > 0)
        SetSelection(0, 0, false);
    else
        selStart_ = selEnd_ = caret_ = anchor_ = -1;
    viewport()->update();
}

void MFCDumpCtrl::SetStyle(uint32_t add, uint32_t remove) {
    const bool wordBefore = style_ & kWordMode;
    style_ = (style_ & ~remove) | add;
    if (wordBefore != bool(style_ & kWordMode)) {
        topUnit_ = 0;
        selStart_ = selEnd_ = caret_ = anchor_ = UnitCount() > 0 ? 0 : -1;
        verticalScrollBar()->setValue(0);
    }
    Layout();
    viewport()->update();
}

qint64 MFCDumpCtrl::UnitCount() const { return data_.size() / UnitBytes(); }

int MFCDumpCtrl::ColumnWidth(int column) const {
    if (column == ColAddr) {
        // Four digits, and one more for every further digit the last address needs.
        const uint64_t last = uint64_t(base_) + uint64_t(qMax<qint64>(UnitCount(), 1)) - 1;
        int digits = 4;
        while (digits < 16 && (last >> (digits * 4)) != 0) ++digits;
        return digits;
    }
    if (column < 0 || column >= kColumns) return 0;
    return kWidths[column][(style_ & kWordMode) ? 1 : 0];
}

int MFCDumpCtrl::ColumnStart(int column) const {
    int at = (style_ & kAddr) ? ColumnWidth(ColAddr) + 2 : 0;
    for (int c = ColHex; c < column; ++c)
        if (style_ & kFlags[c]) at += unitsPerLine_ * (ColumnWidth(c) + 1) + 1;
    return at;
}

void MFCDumpCtrl::Layout() {
    const int chars =
        viewport()->width() / charW_ - ((style_ & kAddr) ? ColumnWidth(ColAddr) + 2 : 0);
    int perUnit = 0, gaps = 0;
    for (int c = ColHex; c < kColumns; ++c)
        if (style_ & kFlags[c]) {
            perUnit += ColumnWidth(c) + 1;
            ++gaps;
        }
    unitsPerLine_ = perUnit > 0 ? qMax(0, (chars - gaps) / perUnit) : 0;
    // One line is the header with the column names.
    visibleLines_ = qMax(0, (viewport()->height() + lineH_ / 4) / lineH_ - 1);
    if (unitsPerLine_ > 0) topUnit_ -= topUnit_ % unitsPerLine_;
    UpdateScroll();
}

void MFCDumpCtrl::UpdateScroll() {
    const qint64 units = UnitCount();
    qint64 max = 0;
    if (unitsPerLine_ > 0 && units > VisibleUnits())
        max = (units - VisibleUnits() + unitsPerLine_ - 1) / unitsPerLine_;
    QScrollBar* sb = verticalScrollBar();
    const QSignalBlocker block(sb);
    sb->setRange(0, static_cast<int>(qMin<qint64>(max, INT_MAX)));
    sb->setPageStep(qMax(1, visibleLines_));
    sb->setSingleStep(1);
    if (unitsPerLine_ > 0) sb->setValue(static_cast<int>(topUnit_ / unitsPerLine_));
}

void MFCDumpCtrl::SetTopUnit(qint64 unit) {
    unit = qMax<qint64>(0, unit);
    if (unit >= UnitCount() || unitsPerLine_ <= 0) return;
    // The scroll bar's handler sets topUnit_ and tells the parent.
    const int line = static_cast<int>(qMin<qint64>(unit / unitsPerLine_, INT_MAX));
    if (line > verticalScrollBar()->maximum()) verticalScrollBar()->setMaximum(line);
    verticalScrollBar()->setValue(line);
}

void MFCDumpCtrl::SetSelection(qint64 first, qint64 last, bool scrollIntoView) {
    if (first < 0) first = 0;
    const qint64 lo = qMin(first, last), hi = qMax(first, last);
    if (lo >= UnitCount() || hi >= UnitCount()) return;
    selStart_ = lo;
    selEnd_ = hi;
    anchor_ = first;
    caret_ = last;
    if (scrollIntoView) ScrollTo(caret_);
    viewport()->update();
}

uint32_t MFCDumpCtrl::GetValue(qint64 unit, bool fromData, int byteOrder, int width) const {
    if (width <= 0) width = UnitBytes();
    if (byteOrder < 0) byteOrder = (style_ & kLittleEndian) ? 1 : 0;
    const QByteArray& src = fromData ? data_ : compare_;
    const qint64 at = unit * UnitBytes();
    if (unit < 0 || at + width > src.size()) return 0;
    uint32_t v = 0;
    for (int i = 0; i < width; ++i) {
        const uint32_t b = static_cast<uint8_t>(src[at + (byteOrder ? width - 1 - i : i)]);
        v = (v << 8) | b;
    }
    return v;
}

QString MFCDumpCtrl::FormatValue(int column, uint32_t value, int width) const {
    if (width <= 0) width = UnitBytes();
    switch (column) {
        case ColAddr:
        case ColHex:
            return QStringLiteral("%1").arg(value, width * 2, 16, QLatin1Char('0')).toUpper();
        case ColDec:
            return QString::number(value);
        case ColOct:
            return QString::number(value, 8);
        case ColBin: {
            // Least significant bit first, each put in front; a "-" before every eighth.
            QString s;
            for (int bit = 0; bit < width * 8; ++bit) {
                if (bit > 0 && bit % 8 == 0) s.prepend(QLatin1Char('-'));
                s.prepend(QLatin1Char((value >> bit) & 1 ? '1' : '0'));
            }
            return s;
        }
        case ColAscii: {
            const uint8_t b = static_cast<uint8_t>(value & 0xFF);
            if (b < 0x20 && substitute_) return QString(QLatin1Char(substitute_));
            return QString(QChar(b));
        }
    }
    return {};
}

QString MFCDumpCtrl::FormatLine(qint64 line) const {
    const qint64 first = line * unitsPerLine_;
    if (line < 0 || unitsPerLine_ <= 0 || first >= UnitCount()) return {};
    QString s;
    if (style_ & kAddr) {
        s = QStringLiteral("%1")
                .arg(uint64_t(base_) + uint64_t(first), ColumnWidth(ColAddr), 16, QLatin1Char('0'))
                .toUpper();
        s += QStringLiteral("  ");
    }
    for (int c = ColHex; c < kColumns; ++c) {
        if (!(style_ & kFlags[c])) continue;
        const int w = ColumnWidth(c);
        for (int i = 0; i < unitsPerLine_; ++i) {
            const qint64 u = first + i;
            QString cell = u < UnitCount() ? FormatValue(c, GetValue(u)) : QString();
            if (c == ColAscii && u < UnitCount()) cell = FormatValue(c, GetValue(u, true, 0, 1));
            s += c == ColHex || c == ColBin || c == ColAscii ? cell.leftJustified(w)
                                                             : cell.rightJustified(w);
            s += QLatin1Char(' ');
        }
        s += QLatin1Char(' ');
    }
    return s;
}

void MFCDumpCtrl::paintEvent(QPaintEvent*) {
    QPainter p(viewport());
    const bool on = isEnabled();
    const QColor text =
        on ? QColor(colours_[0]) : palette().color(QPalette::Disabled, QPalette::Text);
    const QColor back =
        on ? QColor(colours_[1]) : palette().color(QPalette::Disabled, QPalette::Window);
    p.fillRect(viewport()->rect(), back);
    if (UnitCount() == 0 || unitsPerLine_ <= 0) return;
    p.setFont(font());
    const int ascent = QFontMetrics(font()).ascent();
    // The header: the names of the columns that are on.
    p.setPen(palette().color(QPalette::PlaceholderText));
    if (style_ & kAddr) p.drawText(0, ascent, QLatin1String(kHeaders[ColAddr]));
    for (int c = ColHex; c < kColumns; ++c)
        if (style_ & kFlags[c])
            p.drawText(ColumnStart(c) * charW_, ascent, QLatin1String(kHeaders[c]));
    const QColor highlight = palette().color(QPalette::Highlight);
    for (int row = 0; row <= visibleLines_; ++row) {
        const qint64 first = topUnit_ + qint64(row) * unitsPerLine_;
        if (first >= UnitCount()) break;
        const int y = (row + 1) * lineH_;
        // The selection behind every column's cells.
        for (int c = ColHex; c < kColumns; ++c) {
            if (!(style_ & kFlags[c])) continue;
            const int w = ColumnWidth(c);
            for (int i = 0; i < unitsPerLine_; ++i) {
                const qint64 u = first + i;
                if (u >= UnitCount() || u < selStart_ || u > selEnd_) continue;
                p.fillRect(QRect((ColumnStart(c) + i * (w + 1)) * charW_, y, w * charW_, lineH_),
                           highlight);
            }
        }
        p.setPen(text);
        p.drawText(0, y + ascent, FormatLine(first / unitsPerLine_));
    }
    if (hasFocus()) {
        QStyleOptionFocusRect opt;
        opt.initFrom(this);
        opt.rect = viewport()->rect().adjusted(1, 1, -1, -1);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &opt, &p, this);
    }
}

void MFCDumpCtrl::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    Layout();
}

void MFCDumpCtrl::changeEvent(QEvent* e) {
    QAbstractScrollArea::changeEvent(e);
    if (e->type() == QEvent::EnabledChange) viewport()->update();
}

qint64 MFCDumpCtrl::UnitAt(const QPoint& pt) const {
    if (unitsPerLine_ <= 0 || UnitCount() == 0) return -1;
    const int col = pt.x() / charW_;
    const qint64 line = TopUnit() / unitsPerLine_ + qMax(0, pt.y() / lineH_ - 1);
    int unit = 0;
    for (int c = kColumns - 1; c >= ColHex; --c) {
        if (!(style_ & kFlags[c]) || col < ColumnStart(c)) continue;
        unit = (col - ColumnStart(c)) / (ColumnWidth(c) + 1);
        break;
    }
    unit = qBound(0, unit, unitsPerLine_ - 1);
    return qBound<qint64>(0, line * unitsPerLine_ + unit, UnitCount() - 1);
}

void MFCDumpCtrl::ScrollTo(qint64 unit) {
    if (unitsPerLine_ <= 0) return;
    if (unit < topUnit_)
        SetTopUnit(unit);
    else if (unit >= topUnit_ + VisibleUnits())
        SetTopUnit(unit - VisibleUnits() + unitsPerLine_);
}

void MFCDumpCtrl::MoveCaret(qint64 to, bool extend) {
    if (UnitCount() == 0) return;
    to = qBound<qint64>(0, to, UnitCount() - 1);
    const qint64 anchor = extend && anchor_ >= 0 ? anchor_ : to;
    SetSelection(anchor, to, true);
}

void MFCDumpCtrl::keyPressEvent(QKeyEvent* e) {
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    const qint64 line = qMax(1, unitsPerLine_);
    const qint64 page = qMax<qint64>(line, VisibleUnits());
    const qint64 at = qMax<qint64>(0, caret_);
    switch (e->key()) {
        case Qt::Key_Left:
            MoveCaret(at - 1, shift);
            break;
        case Qt::Key_Right:
            MoveCaret(at + 1, shift);
            break;
        case Qt::Key_Up:
            MoveCaret(at - line, shift);
            break;
        case Qt::Key_Down:
            MoveCaret(at + line, shift);
            break;
        case Qt::Key_PageUp:
            MoveCaret(at - page, shift);
            break;
        case Qt::Key_PageDown:
            MoveCaret(at + page, shift);
            break;
        case Qt::Key_Home:
            MoveCaret(ctrl ? 0 : at - at % line, shift);
            break;
        case Qt::Key_End:
            MoveCaret(ctrl ? UnitCount() - 1 : at - at % line + line - 1, shift);
            break;
        default:
            QAbstractScrollArea::keyPressEvent(e);
    }
}

void MFCDumpCtrl::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) return;
    const qint64 u = UnitAt(e->position().toPoint());
    if (u >= 0) MoveCaret(u, e->modifiers() & Qt::ShiftModifier);
}

void MFCDumpCtrl::mouseMoveEvent(QMouseEvent* e) {
    if (!(e->buttons() & Qt::LeftButton)) return;
    const qint64 u = UnitAt(e->position().toPoint());
    if (u >= 0) MoveCaret(u, true);
}

void MFCDumpCtrl::wheelEvent(QWheelEvent* e) {
    // One line per step of the wheel, down for a negative delta.
    const int steps = e->angleDelta().y() / 120;
    if (steps == 0 || unitsPerLine_ <= 0) return;
    QScrollBar* sb = verticalScrollBar();
    sb->setValue(sb->value() - steps);
    e->accept();
}

}  // namespace tw::controls
