// SPDX-License-Identifier: GPL-3.0-or-later
#include "controls/drive_picker.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QStyle>

#include "platform/storage_facts.h"

namespace tw::controls {

QString DriveText(const DriveInfo& d) {
    const QString mp = QString::fromStdString(d.mountPoint) + QStringLiteral(": ");
    switch (d.type) {
        case DriveType::Removable:
            return mp + QStringLiteral("(Removable)");
        case DriveType::Remote:
            return mp + QStringLiteral("(Network)");
        case DriveType::CdRom:
            return mp + QStringLiteral("(CD)");
        case DriveType::RamDisk:
            return mp + QStringLiteral("(RAM-Disk)");
        case DriveType::Fixed:
        case DriveType::Unknown:
            break;
    }
    return mp + QLatin1Char('(') + QString::fromStdString(d.label) + QLatin1Char(')');
}

QString DriveCaveatToolTip(const std::string& path) {
    return QString::fromStdString(VolumeCaveatLine(path));
}

QIcon DriveIcon(DriveType type) {
    const char* name = "drive-harddisk";
    QStyle::StandardPixmap fallback = QStyle::SP_DriveHDIcon;
    switch (type) {
        case DriveType::Removable:
            name = "drive-removable-media";
            fallback = QStyle::SP_DriveFDIcon;
            break;
        case DriveType::Remote:
            name = "network-server";
            fallback = QStyle::SP_DriveNetIcon;
            break;
        case DriveType::CdRom:
            name = "drive-optical";
            fallback = QStyle::SP_DriveCDIcon;
            break;
        case DriveType::RamDisk:
            name = "media-flash";
            break;
        case DriveType::Fixed:
        case DriveType::Unknown:
            break;
    }
    return QIcon::fromTheme(QString::fromLatin1(name),
                            QApplication::style()->standardIcon(fallback));
}

DrivePicker::DrivePicker(QWidget* parent) : QComboBox(parent) {
    setAccessibleName(tr("Drive"));
    setSizeAdjustPolicy(QComboBox::AdjustToContents);
}

void DrivePicker::FillDrives(bool includeCD) { FillDrives(ListMounts(), includeCD); }

void DrivePicker::FillDrives(const std::vector<DriveInfo>& drives, bool includeCD) {
    includeCD_ = includeCD;
    clear();
    for (const auto& d : drives) {
        if (d.type == DriveType::CdRom && !includeCD) continue;
        addItem(DriveIcon(d.type), DriveText(d), QString::fromStdString(d.mountPoint));
        setItemData(count() - 1, DriveCaveatToolTip(d.mountPoint), Qt::ToolTipRole);
    }
    if (count() > 0) setCurrentIndex(0);
    // The list opens wide enough for its longest line.
    int widest = 0;
    for (int i = 0; i < count(); ++i)
        widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
    view()->setMinimumWidth(widest + iconSize().width() +
                            style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8);
}

QString DrivePicker::CurrentMountPoint() const { return currentData().toString(); }

}  // namespace tw::controls
