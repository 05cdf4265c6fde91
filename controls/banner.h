// SPDX-License-Identifier: GPL-3.0-or-later
// The banner over a page: its title in bold and a caption beside it. A state shown in
// the caption ("Active", "Logging Inactive") also gets a coloured mark, so the state
// is never told by colour alone and never by the mark alone.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;

namespace tw::controls {

class Banner : public QFrame {
    Q_OBJECT
  public:
    enum class State { None, On, Off };

    explicit Banner(QWidget* parent = nullptr);

    void SetTitle(const QString& text);
    void SetCaption(const QString& text);
    void SetState(State state);

    QString Title() const;
    QString Caption() const;
    State GetState() const { return state_; }

  private:
    QLabel* title_;
    QLabel* caption_;
    QLabel* mark_;
    State state_ = State::None;
};

}  // namespace tw::controls
