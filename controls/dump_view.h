// SPDX-License-Identifier: GPL-3.0-or-later
// The hex dump view: address, bytes in hex and the same bytes as text, sixteen to a
// line, in the desktop's fixed-width font. Only the lines on the screen are formatted
// and painted, so a buffer of many megabytes scrolls as quickly as a small one.
// Selection and caret move as in a text editor (mouse drag, arrows, Page Up/Down,
// Home/End, Ctrl+Home/End, Shift to extend).
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <cstdint>

namespace tw::controls {

class MFCDumpCtrl : public QAbstractScrollArea {
    Q_OBJECT
  public:
    static constexpr int kBytesPerLine = 16;

    explicit MFCDumpCtrl(QWidget* parent = nullptr);

    // The bytes shown (copied); `baseAddress` is the address of the first one.
    void SetData(const QByteArray& data, uint64_t baseAddress = 0);
    const QByteArray& Data() const { return data_; }
    // The first line on the screen.
    void SetTopUnit(qint64 line);
    qint64 TopUnit() const;
    // Selects bytes [start, end) (clamped); the caret goes to `end`.
    void SetSelection(qint64 start, qint64 end);
    qint64 SelectionStart() const { return qMin(anchor_, caret_); }
    qint64 SelectionEnd() const { return qMax(anchor_, caret_); }
    // The byte at `offset`, -1 outside the data.
    int GetValue(qint64 offset) const;
    // The text of one line as it is painted: address, hex bytes, text.
    QString FormatLine(qint64 line) const;
    qint64 LineCount() const;

  signals:
    void topLineChanged(qint64 line);

  protected:
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;

  private:
    void UpdateScroll();
    int VisibleLines() const;
    int AddressDigits() const;
    qint64 OffsetAt(const QPoint& p) const;
    void MoveCaret(qint64 to, bool extend);
    void EnsureVisible(qint64 offset);

    QByteArray data_;
    uint64_t base_ = 0;
    qint64 anchor_ = 0, caret_ = 0;
    int charW_ = 8, lineH_ = 16;
};

}  // namespace tw::controls
