// SPDX-License-Identifier: GPL-3.0-or-later
// A link text: underlined, a hand cursor, opened through the desktop when clicked or
// activated by the keyboard. A link the desktop cannot open is reported in a message box
// with the reason.
#pragma once

#include <QLabel>
#include <QString>
#include <functional>

namespace tw::controls {

// The result codes of an attempt to open a link: above 32 is success, the others say
// why it failed (the codes of HyperlinkErrorText).
inline constexpr int kOpenedOk = 33;
// "Can't open hyperlink:\n\n" and the reason for `code`.
QString HyperlinkFailureText(int code);

class Hyperlink : public QLabel {
    Q_OBJECT
  public:
    // Opens a target and answers a result code. The default asks the desktop
    // (QDesktopServices), which answers kOpenedOk or 31 (no program for it).
    using Opener = std::function<int(const QString& target)>;
    // Shows the failure text; the default is a warning message box.
    using Reporter = std::function<void(const QString& text)>;

    explicit Hyperlink(const QString& text = {}, QWidget* parent = nullptr);

    void SetTarget(const QString& target) { target_ = target; }
    const QString& Target() const { return target_; }
    void SetOpener(Opener opener) { opener_ = std::move(opener); }
    void SetReporter(Reporter reporter) { reporter_ = std::move(reporter); }
    bool Visited() const { return visited_; }

    // Opens the target as a click does; true when it opened.
    bool Open();

  protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

  private:
    void Restyle();

    QString target_;
    Opener opener_;
    Reporter reporter_;
    bool visited_ = false;
};

}  // namespace tw::controls
