// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/message_box.h"

#include <QMessageBox>

#include "shell/ui/ui_text.h"

namespace tw::ui {

namespace {

class DesktopMessages : public Messages {
  public:
    void Show(QWidget* parent, const QString& text, const QString& caption, Icon icon) override {
        QMessageBox::Icon qicon = QMessageBox::NoIcon;
        switch (icon) {
            case Icon::Information:
                qicon = QMessageBox::Information;
                break;
            case Icon::Warning:
                qicon = QMessageBox::Warning;
                break;
            case Icon::Critical:
                qicon = QMessageBox::Critical;
                break;
            case Icon::None:
                break;
        }
        QMessageBox box(qicon, caption, text, QMessageBox::Ok, parent);
        box.exec();
    }
    bool Ask(QWidget* parent, const QString& text, const QString& caption) override {
        return QMessageBox::question(parent, caption, text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    }
};

Messages* g_installed = nullptr;

}  // namespace

Messages& CurrentMessages() {
    static DesktopMessages desktop;
    return g_installed ? *g_installed : desktop;
}

void SetMessages(Messages* messages) { g_installed = messages; }

void ShowMessage(int textId, int captionId, Messages::Icon icon, QWidget* parent) {
    CurrentMessages().Show(parent, TextOf(textId), TextOf(captionId), icon);
}

}  // namespace tw::ui
