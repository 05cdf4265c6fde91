// SPDX-License-Identifier: GPL-3.0-or-later
// The hex dump view: an address column, then the same data as hexadecimal, decimal,
// binary, octal and text columns, each switchable, in byte or word units (either byte
// order). The number of units per line follows the width of the window. Only the lines
// on the screen are formatted and painted, so a buffer of many megabytes scrolls as
// quickly as a small one. Selection and caret move as in a text editor (mouse drag,
// arrows, Page Up/Down, Home/End, Ctrl+Home/End; Shift extends the selection).
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QRgb>
#include <array>
#include <cstdint>

namespace tw::controls {

class MFCDumpCtrl : public QAbstractScrollArea {
    Q_OBJECT
  public:
    enum StyleFlag : uint32_t {
        kAddr = 0x1,
        kHex = 0x2,
        kDec = 0x4,
        kBin = 0x8,
        kOct = 0x10,
        kAscii = 0x20,
        kWordMode = 0x20000,
        kUserColumns = 0x80000,  // the columns the viewer switches on and off together
        kLittleEndian = 0x200000,
    };
    enum Column { ColAddr, ColHex, ColDec, ColBin, ColOct, ColAscii, kColumns };
    static constexpr int kColourCount = 12;

    explicit MFCDumpCtrl(QWidget* parent = nullptr);

    // The bytes shown, and a second buffer of the same size values may be read from
    // (empty: the same data). Qt's implicit sharing: nothing is copied. Scrolls to the
    // top and selects unit 0.
    void SetData(const QByteArray& data, const QByteArray& compareData = {},
                 uint32_t baseAddress = 0);
    const QByteArray& Data() const { return data_; }
    // style = (style without `remove`) with `add`; the word mode resets the top.
    void SetStyle(uint32_t add, uint32_t remove);
    uint32_t Style() const { return style_; }
    // Returns the previous colour; an index outside 0..11 is refused and returns 0.
    QRgb SetColour(int index, QRgb colour);
    QRgb Colour(int index) const;
    // The desktop's fixed-width font (the default), or another.
    void SetDefaultFont();
    void SetDumpFont(const QFont& font);
    // Shown in the text column for bytes below 0x20; 0: the byte itself.
    void SetSubstituteChar(char c);

    qint64 UnitCount() const;
    int UnitsPerLine() const { return unitsPerLine_; }
    int VisibleUnits() const { return visibleLines_ * unitsPerLine_; }
    // Characters per unit of a column (the address column: its digits).
    int ColumnWidth(int column) const;

    // Clamped at 0, ignored unless below UnitCount(); rounded down to a line start.
    void SetTopUnit(qint64 unit);
    qint64 TopUnit() const { return topUnit_; }
    // Selects units first..last (ordered; a negative first is 0); ignored unless both
    // are below UnitCount(). The caret goes to `last`.
    void SetSelection(qint64 first, qint64 last, bool scrollIntoView = true);
    qint64 SelStart() const { return selStart_; }
    qint64 SelEnd() const { return selEnd_; }
    qint64 Caret() const { return caret_; }

    // `width` bytes (0: the unit's) at the unit's offset, from the data or the compare
    // buffer, most significant first, or least significant first when `byteOrder` is
    // 1 (0: most significant first; -1: as the style says). 0 outside the buffer.
    uint32_t GetValue(qint64 unit, bool fromData = true, int byteOrder = -1, int width = 0) const;
    // The text of one unit's value in `column`; `width` in bytes (0: the unit's).
    QString FormatValue(int column, uint32_t value, int width = 0) const;
    // The text of one line as painted (address and the columns that are on).
    QString FormatLine(qint64 line) const;

  signals:
    void topUnitChanged(qint64 unit);

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void changeEvent(QEvent* e) override;

  private:
    int UnitBytes() const { return (style_ & kWordMode) ? 2 : 1; }
    void Layout();
    void UpdateScroll();
    // The first character of a column's text, and of a unit in it.
    int ColumnStart(int column) const;
    qint64 UnitAt(const QPoint& p) const;
    void MoveCaret(qint64 to, bool extend);
    void ScrollTo(qint64 unit);

    QByteArray data_, compare_;
    uint32_t base_ = 0;
    uint32_t style_ = kAddr | kHex | kAscii | kUserColumns;
    std::array<QRgb, kColourCount> colours_{};
    char substitute_ = 0;
    qint64 topUnit_ = 0, selStart_ = -1, selEnd_ = -1, caret_ = -1, anchor_ = -1;
    int unitsPerLine_ = 1, visibleLines_ = 1;
    int charW_ = 8, lineH_ = 16;
};

}  // namespace tw::controls
