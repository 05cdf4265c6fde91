// SPDX-License-Identifier: GPL-3.0-or-later
// The guard on real file systems: a trashed file's bytes are gone from the volume image
// after the guard wiped it, whichever trash folder it went to and whenever that folder
// or its volume appeared; only arrivals are wiped, and the setting and its log category
// are followed; a timed clean-up with no panel to start is run by the guard itself. Needs root
// (ext4 loop mounts); skips otherwise. The guard is kept to the volumes mounted below the test's
// own folder (--volumes-under).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "guard/schedule_watch.h"
#include "platform/settings.h"
#include "recyclebin/bin_runs.h"
#include "tests/guard/guard_harness.h"

using tw::shell::Message;
using tw::test::GuardWorld;

namespace {

// Sends `path` to the Trash with trash-put, the reference tool, when it is installed,
// else with the suite's own send-to-bin; true when it went.
bool TrashIt(const std::string& path) {
    std::string out;
    const int rc = tw::test::RunTool({"trash-put", path}, &out);
    return rc != -1 ? rc == 0 : tw::recyclebin::SendToBin(path).ok();
}

// A file of `kb` KiB made of `marker`, on disk.
std::string MarkedFile(const std::string& path, const std::string& marker, size_t kb = 64) {
    std::string content;
    while (content.size() < kb * 1024) content += marker + "|";
    if (!tw::test::WriteFileBytes(path, content)) return "";
    return path;
}

// The volume's image holds no copy of `marker` (the guard must not be watching it then:
// reading the image unmounts the volume).
size_t MarkersLeft(tw::test::ScratchVolume& vol, const std::string& marker) {
    return tw::test::CountOccurrences(vol.ReadImage(), marker);
}

// Auto-wiping on, one pass, logged.
void EnableAutoWipe(GuardWorld& w) {
    for (const char* name :
         {"EnableSecureDeletion", "NumOverwrites", "SaveToLogfile", "logAutoWiping"})
        w.SetDword(name, 1);
}

class AutoWipeVolume : public ::testing::Test {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(tw::test::FsKind::Ext4);
        TW_REQUIRE_BUS();
        ASSERT_TRUE(w.Ok()) << "could not start a private dbus-daemon";
    }
    // An ext4 scratch volume mounted below the test's own folder (--volumes-under).
    std::unique_ptr<tw::test::ScratchVolume> Volume(uint32_t mib = 16) {
        tw::test::EnvVar under("TW_SCRATCH_BASE", base.Path().c_str());
        auto v = std::make_unique<tw::test::ScratchVolume>(tw::test::FsKind::Ext4, mib);
        EXPECT_TRUE(v->Ok()) << v->Error();
        return v;
    }
    GuardWorld w;
    tw::test::TempDir base{"guardvols"};
};

}  // namespace

TEST_F(AutoWipeVolume, TrashedFileBytesAreGoneFromTheVolume) {
    auto volume = Volume(32);
    tw::test::ScratchVolume& vol = *volume;
    ASSERT_TRUE(vol.Ok());
    // The home Trash lives on the scratch volume.
    const std::string dataHome = vol.MountPoint() + "/data";
    ASSERT_EQ(mkdir(dataHome.c_str(), 0700), 0);
    tw::test::EnvVar data("XDG_DATA_HOME", dataHome.c_str());
    ASSERT_EQ(mkdir((vol.MountPoint() + "/docs").c_str(), 0755), 0);

    const std::string marker = "SENTREL-AUTOWIPE-MARKER-7d1f0c";
    const std::string file = MarkedFile(vol.MountPoint() + "/docs/secret.bin", marker, 200);
    ASSERT_FALSE(file.empty());
    ASSERT_GT(tw::test::CountOccurrences(vol.ReadImage(), marker), 0u)
        << "the marker never reached the image";

    EnableAutoWipe(w);
    auto g = w.StartGuard();
    ASSERT_TRUE(w.WaitUp(*g)) << g->Stderr();

    size_t mark = w.Mark();
    ASSERT_TRUE(TrashIt(file));
    ASSERT_TRUE(w.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), 20000, mark))
        << g->Stderr();
    EXPECT_NE(access((dataHome + "/Trash/files/secret.bin").c_str(), F_OK), 0);
    EXPECT_NE(w.LogText().find("Wiped file: secret.bin from the recycle bin"), std::string::npos)
        << w.LogText();
    EXPECT_NE(w.LogText().find("Volume " + vol.MountPoint() + " (ext4)"), std::string::npos)
        << w.LogText();
    EXPECT_TRUE(w.Find(GuardWorld::Is(Message::LogLineMessage, g->Sender()), 0, mark));

    const std::string docs = vol.MountPoint() + "/docs/";
    auto inTrash = [&](const std::string& name) {
        return access((dataHome + "/Trash/files/" + name).c_str(), F_OK) == 0 ||
               access((dataHome + "/Trash/info/" + name + ".trashinfo").c_str(), F_OK) == 0;
    };
    // Trashes `name` from docs and says whether the guard announced a change in time.
    auto trashAndWait = [&](const std::string& name, int timeoutMs) {
        const size_t at = w.Mark();
        EXPECT_TRUE(TrashIt(docs + name)) << name;
        return w.Find(GuardWorld::Is(Message::BinChangedMessage, g->Sender()), timeoutMs, at)
            .has_value();
    };
    // A setting changed the way the panel does: stored, broadcast, then a round trip.
    auto change = [&](const std::string& name, uint32_t v) {
        w.SetDword(name, v);
        ASSERT_TRUE(w.Bus().Broadcast(Message::SettingsChangedMessage, 0));
        ASSERT_TRUE(w.Sync(*g));
    };
    // A folder is an item too.
    ASSERT_EQ(mkdir((docs + "album").c_str(), 0755), 0);
    ASSERT_TRUE(tw::test::WriteFileBytes(docs + "album/one.jpg", "one"));
    ASSERT_TRUE(trashAndWait("album", 20000)) << g->Stderr();
    EXPECT_FALSE(inTrash("album"));
    // Switched off: what arrives now stays in the bin.
    change("EnableSecureDeletion", 0);
    ASSERT_TRUE(tw::test::WriteFileBytes(docs + "kept.txt", "kept"));
    EXPECT_FALSE(trashAndWait("kept.txt", 1000));
    EXPECT_TRUE(inTrash("kept.txt"));
    // On again with the auto-wiping log category off: wiped, not logged; kept.txt,
    // which arrived while it was off, stays.
    w.SetDword("logAutoWiping", 0);
    change("EnableSecureDeletion", 1);
    ASSERT_TRUE(tw::test::WriteFileBytes(docs + "quiet.txt", "quiet"));
    ASSERT_TRUE(trashAndWait("quiet.txt", 20000)) << g->Stderr();
    EXPECT_FALSE(inTrash("quiet.txt"));
    EXPECT_TRUE(inTrash("kept.txt"));
    EXPECT_EQ(w.LogText().find("quiet.txt"), std::string::npos) << w.LogText();

    ASSERT_TRUE(w.Bus().Broadcast(Message::GuardStopMessage, 1));
    ASSERT_EQ(g->Wait(10000), 0) << g->Stderr();
    EXPECT_EQ(tw::test::CountOccurrences(vol.ReadImage(), marker), 0u);
}

// The four places an item can arrive, as the set of trash folders changes under a
// running guard: a volume whose .Trash-$uid existed, a volume whose .Trash-$uid is made
// by the first trashing (the very move the guard must see), and a volume mounted after
// the guard started; a volume the user cannot write (read-only here, as root can write
// anything else) and the unmount of a watched volume cause no error.
TEST_F(AutoWipeVolume, TrashFoldersAreFollowedAsVolumesAndFoldersAppear) {
    auto had = Volume(), fresh = Volume(), locked = Volume(), late = Volume();
    for (auto* v : {had.get(), fresh.get(), late.get(), locked.get()}) ASSERT_TRUE(v->Ok());
    ASSERT_TRUE(late->Unmount());
    ASSERT_EQ(tw::test::RunTool({"mount", "-o", "remount,ro", locked->MountPoint()}), 0);
    const std::string uid = std::to_string(getuid());
    const std::string hadTrash = had->MountPoint() + "/.Trash-" + uid;
    for (const std::string& d : {hadTrash, hadTrash + "/files", hadTrash + "/info"})
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
    // Already in the bin when auto-wiping starts: stays.
    ASSERT_TRUE(TrashIt(MarkedFile(had->MountPoint() + "/before.bin", "before", 1)));
    ASSERT_EQ(access((hadTrash + "/files/before.bin").c_str(), F_OK), 0);

    EnableAutoWipe(w);
    auto g = w.StartGuard(tw::ProgramFolder() + "sentrel", base.Path());
    ASSERT_TRUE(w.WaitUp(*g)) << g->Stderr();
    ASSERT_TRUE(w.Sync(*g));

    auto wiped = [&](const std::string& name) {
        return tw::test::WaitUntil(
            [&] {
                return w.LogText().find("Wiped file: " + name + " from the recycle bin") !=
                       std::string::npos;
            },
            20000);
    };
    const std::string m1 = "GUARD-HAD-TRASH-MARKER-41c9", m2 = "GUARD-FIRST-TRASH-MARKER-8e02",
                      m3 = "GUARD-LATE-MOUNT-MARKER-b7a3";
    ASSERT_TRUE(TrashIt(MarkedFile(had->MountPoint() + "/one.bin", m1)));
    EXPECT_TRUE(wiped("one.bin")) << g->Stderr();
    ASSERT_TRUE(TrashIt(MarkedFile(fresh->MountPoint() + "/two.bin", m2)));
    ASSERT_EQ(access((fresh->MountPoint() + "/.Trash-" + uid).c_str(), F_OK), 0)
        << "the item did not go to the volume's own trash folder";
    EXPECT_TRUE(wiped("two.bin")) << g->Stderr();
    ASSERT_TRUE(late->Mount());
    ASSERT_TRUE(TrashIt(MarkedFile(late->MountPoint() + "/three.bin", m3)));
    EXPECT_TRUE(wiped("three.bin")) << g->Stderr();

    const std::string lateTrash = late->MountPoint() + "/.Trash-" + uid;
    EXPECT_NE(w.LogText().find("watching the trash folder " + lateTrash), std::string::npos)
        << w.LogText();
    ASSERT_TRUE(late->Unmount());
    EXPECT_TRUE(tw::test::WaitUntil(
        [&] {
            return w.LogText().find("stopped watching the trash folder " + lateTrash) !=
                   std::string::npos;
        },
        10000))
        << w.LogText();
    EXPECT_TRUE(w.Sync(*g));

    ASSERT_TRUE(w.Bus().Broadcast(Message::GuardStopMessage, 1));
    ASSERT_EQ(g->Wait(10000), 0) << g->Stderr();
    const std::string err = g->Stderr();
    EXPECT_EQ(err.find("could not"), std::string::npos) << err;
    EXPECT_EQ(err.find("cannot"), std::string::npos) << err;
    EXPECT_EQ(access((hadTrash + "/files/before.bin").c_str(), F_OK), 0);
    EXPECT_EQ(access((hadTrash + "/info/before.bin.trashinfo").c_str(), F_OK), 0);
    EXPECT_EQ(MarkersLeft(*had, m1), 0u);
    EXPECT_EQ(MarkersLeft(*fresh, m2), 0u);
    EXPECT_EQ(MarkersLeft(*late, m3), 0u);
    ASSERT_EQ(tw::test::RunTool({"mount", "-o", "remount,rw", locked->MountPoint()}), 0);
}

// A timed clean-up falls due with no display and no panel beside the guard: the guard
// runs the scheduled set itself (free space, then the shutdown the schedule asked for,
// through the test's harmless power-off command). The deleted file's bytes are gone
// from the image and the run's lines are in the log.
TEST_F(AutoWipeVolume, DueCleanWithoutPanelIsRunByTheGuard) {
    auto vol = Volume();
    ASSERT_TRUE(vol->Ok());
    const std::string marker = "GUARD-TIMED-CLEAN-MARKER-5f6e";
    const std::string file = MarkedFile(vol->MountPoint() + "/gone.bin", marker, 256);
    ASSERT_FALSE(file.empty());
    ASSERT_GT(tw::test::CountOccurrences(vol->ReadImage(), marker), 0u);
    ASSERT_EQ(unlink(file.c_str()), 0);
    sync();

    const std::string folder = w.GuardWithoutPanel();
    w.SetDword("SaveToLogfile", 1);
    w.SetDword("NumOverwrites", 1);
    w.SetDword("ScheduledCleanFreeSpace", 1);
    w.SetDword("ScheduledshutdownafterCFS", 1);
    {
        tw::Settings settings(w.Store());
        settings.SetDriveSet(tw::kScheduledDrives, {vol->MountPoint()});
    }
    auto g = w.StartGuard(folder + "sentrel", base.Path());
    ASSERT_TRUE(w.WaitUp(*g)) << g->Stderr();
    w.ScheduleIn(2);
    ASSERT_TRUE(w.Bus().Broadcast(Message::SettingsChangedMessage, 1));
    ASSERT_TRUE(tw::test::WaitUntil([&] { return w.PowerOffRan(); }, 60000))
        << g->Stderr() << w.LogText();
    const std::string log = w.LogText();
    EXPECT_NE(log.find("runs the clean-up itself"), std::string::npos) << log;
    EXPECT_NE(log.find("Cleaning drive " + vol->MountPoint()), std::string::npos) << log;
    EXPECT_NE(log.find("Free space cleaning complete"), std::string::npos) << log;

    ASSERT_TRUE(w.Bus().Broadcast(Message::GuardStopMessage, 1));
    ASSERT_EQ(g->Wait(20000), 0) << g->Stderr();
    EXPECT_EQ(tw::test::CountOccurrences(vol->ReadImage(), marker), 0u);
}
