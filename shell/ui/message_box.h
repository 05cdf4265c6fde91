// SPDX-License-Identifier: GPL-3.0-or-later
// Every message box of the panel goes through one seam, so tests can answer them and
// read what was shown, and nothing ever waits for a user who is not there.
#pragma once

#include <QString>

class QWidget;

namespace tw::ui {

class Messages {
  public:
    enum class Icon { None, Information, Warning, Critical };
    virtual ~Messages() = default;
    // A message with an OK button only.
    virtual void Show(QWidget* parent, const QString& text, const QString& caption, Icon icon) = 0;
    // A yes/no question; true for yes. "No" is the default button.
    virtual bool Ask(QWidget* parent, const QString& text, const QString& caption) = 0;
};

// The message boxes in use: the desktop's (QMessageBox) unless a test installed its own.
Messages& CurrentMessages();
// Installs `messages` (not owned; null restores the desktop's).
void SetMessages(Messages* messages);

// A message by string-table ids: text and caption.
void ShowMessage(int textId, int captionId, Messages::Icon icon = Messages::Icon::None,
                 QWidget* parent = nullptr);

}  // namespace tw::ui
