// SPDX-License-Identifier: GPL-3.0-or-later
// Auto-wiping on a real file system: the trashed file's bytes are gone from the volume
// image after the guard wiped it. Needs root (an ext4 loop mount); skips otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/guard/autowipe.h"
#include "tests/guard/guard_harness.h"

using tw::shell::Message;
using tw::test::GuardWorld;

TEST(AutoWipeVolume, TrashedFileBytesAreGoneFromTheVolume) {
    TW_REQUIRE_SCRATCH(tw::test::FsKind::Ext4);
    TW_REQUIRE_BUS();
    GuardWorld w;
    ASSERT_TRUE(w.Ok()) << "could not start a private dbus-daemon";
    tw::test::ScratchVolume vol(tw::test::FsKind::Ext4, 32);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    // The home Trash lives on the scratch volume.
    const std::string dataHome = vol.MountPoint() + "/data";
    ASSERT_EQ(mkdir(dataHome.c_str(), 0700), 0);
    tw::test::EnvVar data("XDG_DATA_HOME", dataHome.c_str());
    ASSERT_EQ(mkdir((vol.MountPoint() + "/docs").c_str(), 0755), 0);

    const std::string marker = "SENTREL-AUTOWIPE-MARKER-7d1f0c";
    std::string content;
    while (content.size() < 200 * 1024) content += marker + "|";
    const std::string file = vol.MountPoint() + "/docs/secret.bin";
    ASSERT_TRUE(tw::test::WriteFileBytes(file, content));
    ASSERT_GT(tw::test::CountOccurrences(vol.ReadImage(), marker), 0u)
        << "the marker never reached the image";

    w.SetDword("EnableSecureDeletion", 1);
    w.SetDword("NumOverwrites", 1);
    w.SetDword("SaveToLogfile", 1);
    w.SetDword("logAutoWiping", 1);
    auto g = w.StartGuard();
    ASSERT_TRUE(w.WaitUp(*g)) << g->Stderr();

    size_t mark = w.Mark();
    ASSERT_TRUE(tw::test::TrashIt(file));
    ASSERT_TRUE(w.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 20000, mark))
        << g->Stderr();
    EXPECT_NE(access((dataHome + "/Trash/files/secret.bin").c_str(), F_OK), 0);
    EXPECT_NE(w.LogText().find("Wiped file: secret.bin from the recycle bin"), std::string::npos)
        << w.LogText();

    mark = w.Mark();
    ASSERT_TRUE(w.Bus().Broadcast(Message::GuardStopMessage, 1));
    ASSERT_EQ(g->Wait(10000), 0) << g->Stderr();
    EXPECT_EQ(tw::test::CountOccurrences(vol.ReadImage(), marker), 0u);
}
