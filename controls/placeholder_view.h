// SPDX-License-Identifier: GPL-3.0-or-later
// A table view that says so when it has nothing to show.
#pragma once

#include <QString>
#include <QTableView>

namespace tw::controls {

class PlaceholderTableView : public QTableView {
    Q_OBJECT
  public:
    explicit PlaceholderTableView(QWidget* parent = nullptr);

    void SetEmptyText(const QString& text);
    const QString& EmptyText() const { return emptyText_; }
    // True when the model has no rows (the empty text is drawn).
    bool ShowsEmptyText() const;

  protected:
    void paintEvent(QPaintEvent* e) override;

  private:
    QString emptyText_ = QStringLiteral("There are no items to show.");
};

}  // namespace tw::controls
