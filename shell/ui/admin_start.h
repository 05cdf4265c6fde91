// SPDX-License-Identifier: GPL-3.0-or-later
// The panel, run by a user, restarting itself as administrator through the installed
// launcher (tidewipe-admin, which asks polkit through pkexec) when an operation was
// refused because this user may not read or write the device.
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace tw::ui {

// Where the launcher is and how it is started: the installed one unless a test
// installed its own (the real one would ask for a password).
class AdminStart {
  public:
    virtual ~AdminStart() = default;
    // The launcher beside the programs; "" where there is none (a build folder).
    virtual QString Launcher() const;
    // Starts `program` with `args`, not waiting for it; false when it could not start.
    virtual bool StartDetached(const QString& program, const QStringList& args);
};

AdminStart& CurrentAdminStart();
// Installs `start` (not owned; null restores the real one).
void SetAdminStart(AdminStart* start);

// True when the current user lacks the rights `mode` (R_OK, W_OK) asks for on `path`
// and an administrator would have them: the process is not root and the system said
// EACCES or EPERM.
bool NeedsAdministrator(const QString& path, int mode);

// After `refusal` (the text the operation ended with), asks whether to restart the
// panel as administrator; on yes starts the launcher and quits, so that the
// administrator's panel takes over (a launcher that cannot start is said). True when
// the question was asked, the refusal shown with it; false when there is no launcher
// to offer, and the caller shows the refusal as usual.
bool OfferAdministratorRestart(QWidget* parent, const QString& refusal);

}  // namespace tw::ui
