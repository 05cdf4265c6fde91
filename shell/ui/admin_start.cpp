// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/ui/admin_start.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTimer>
#include <cerrno>

#include "platform/drives.h"
#include "shell/ui/message_box.h"

namespace tw::ui {
namespace {
AdminStart g_real;
AdminStart* g_current = nullptr;
}  // namespace

QString AdminStart::Launcher() const {
    const QString path = QString::fromStdString(ProgramFolder()) + QStringLiteral("tidewipe-admin");
    return QFileInfo(path).isExecutable() ? path : QString();
}

bool AdminStart::StartDetached(const QString& program, const QStringList& args) {
    return QProcess::startDetached(program, args);
}

AdminStart& CurrentAdminStart() { return g_current ? *g_current : g_real; }
void SetAdminStart(AdminStart* start) { g_current = start; }

bool NeedsAdministrator(const QString& path, int mode) {
    if (geteuid() == 0 || path.isEmpty()) return false;
    // The effective ids decide what an open may do, as for the engine's own opens.
    if (faccessat(AT_FDCWD, path.toLocal8Bit().constData(), mode, AT_EACCESS) == 0) return false;
    return errno == EACCES || errno == EPERM;
}

bool OfferAdministratorRestart(QWidget* parent, const QString& refusal) {
    AdminStart& start = CurrentAdminStart();
    const QString launcher = start.Launcher();
    if (launcher.isEmpty()) return false;
    const QString caption = QApplication::translate("AdminStart", "Administrator rights needed");
    const QString question =
        refusal + QStringLiteral("\n\n") +
        QApplication::translate("AdminStart",
                                "Reading and writing drives directly needs administrator rights. "
                                "Restart Tidewipe as administrator? You will be asked for the "
                                "administrator password; this window closes.");
    if (!CurrentMessages().Ask(parent, question, caption)) return true;
    if (!start.StartDetached(launcher, {})) {
        CurrentMessages().Show(
            parent, QApplication::translate("AdminStart", "Could not start %1.").arg(launcher),
            caption, Messages::Icon::Warning);
        return true;
    }
    // Quit once the event loop is back, so the caller finishes what it was doing.
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    return true;
}

}  // namespace tw::ui
