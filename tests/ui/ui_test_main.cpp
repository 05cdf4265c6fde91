// SPDX-License-Identifier: GPL-3.0-or-later
// The panel tests' main: no display (the offscreen platform) and no settings of the real
// user for the window geometry either.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <cstdlib>

#include "tests/common/scratch_volume.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    tw::test::TempDir qsettings("qsettings");
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       QString::fromStdString(qsettings.Path()));
    return RUN_ALL_TESTS();
}
