// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/hyperlink.h"

#include <QDesktopServices>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QUrl>

namespace tw::controls {

QString HyperlinkFailureText(int code) {
    const char* reason = nullptr;
    switch (code) {
        case 0:
            reason = "The operating system is out\nof memory or resources.";
            break;
        case 2:
            reason = "The specified file was not found.";
            break;
        case 3:
            reason = "The specified path was not found.";
            break;
        case 5:
            reason = "The operating system denied\naccess to the specified file.";
            break;
        case 8:
            reason = "There was not enough memory to complete the operation.";
            break;
        case 11:
            reason = "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
            break;
        case 26:
            reason = "A sharing violation occurred. ";
            break;
        case 27:
            reason = "The filename association is\nincomplete or invalid.";
            break;
        case 28:
            reason = "The DDE transaction could not\nbe completed because the request timed out.";
            break;
        case 29:
            reason = "The DDE transaction failed.";
            break;
        case 30:
            reason =
                "The DDE transaction could not\nbe completed because other DDE "
                "transactions\nwere being processed.";
            break;
        case 31:
            reason = "There is no application associated\nwith the given filename extension.";
            break;
        case 32:
            reason = "The specified dynamic-link library was not found.";
            break;
        default:
            break;
    }
    QString text = reason ? QString::fromUtf8(reason)
                          : QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    return QStringLiteral("Can't open hyperlink:\n\n") + text;
}

Hyperlink::Hyperlink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(text);
    opener_ = [](const QString& target) {
        return QDesktopServices::openUrl(QUrl::fromUserInput(target)) ? kOpenedOk : 31;
    };
    reporter_ = [this](const QString& message) {
        QMessageBox::warning(window(), window()->windowTitle(), message);
    };
    Restyle();
}

bool Hyperlink::Open() {
    const int code = opener_ ? opener_(target_) : 31;
    if (code > 32) {
        visited_ = true;
        Restyle();
        return true;
    }
    if (reporter_) reporter_(HyperlinkFailureText(code));
    return false;
}

void Hyperlink::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint())) Open();
    QLabel::mouseReleaseEvent(e);
}

void Hyperlink::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Space) {
        Open();
        return;
    }
    QLabel::keyPressEvent(e);
}

void Hyperlink::Restyle() {
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText,
               palette().color(visited_ ? QPalette::LinkVisited : QPalette::Link));
    setPalette(p);
}

}  // namespace tw::controls
