// SPDX-License-Identifier: GPL-3.0-or-later
// A clickable text (the overwrite arrows' kind): a double click counts as two clicks,
// so a user who clicks quickly gets every click.
#pragma once

#include <QLabel>

namespace tw::controls {

class FastClickLabel : public QLabel {
    Q_OBJECT
  public:
    explicit FastClickLabel(const QString& text = {}, QWidget* parent = nullptr);

  signals:
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
};

}  // namespace tw::controls
