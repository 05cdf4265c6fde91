// SPDX-License-Identifier: GPL-3.0-or-later
// The drive picker: one line per mounted file system, its mount point standing where a
// drive letter stood ("/home: (data)"), with the desktop's icon for its kind of drive.
#pragma once

#include <QComboBox>
#include <QIcon>
#include <QString>
#include <vector>

#include "platform/drives.h"

namespace tw::controls {

// The one place for a drive's description: mount point, ":", a blank and the kind in
// parentheses (the volume label for a fixed drive, empty parentheses when it has none).
QString DriveText(const DriveInfo& drive);
// The icon theme's icon for the kind of drive, with a fallback from the style.
QIcon DriveIcon(DriveType type);
// The tool tip of a drive in every drive list: what an overwrite reaches on the volume
// at `path` (a mount point or a block device), the engine's caveat line; "" when
// nothing can be found out.
QString DriveCaveatToolTip(const std::string& path);

class DrivePicker : public QComboBox {
    Q_OBJECT
  public:
    explicit DrivePicker(QWidget* parent = nullptr);

    // Lists the mounted file systems (CD drives only when asked) and selects the first.
    void FillDrives(bool includeCD);
    // The same from a given list (tests, and pages that filter the drives first).
    void FillDrives(const std::vector<DriveInfo>& drives, bool includeCD);
    // The mount point of the chosen line; "" when none.
    QString CurrentMountPoint() const;

  private:
    bool includeCD_ = false;
};

}  // namespace tw::controls
