// SPDX-License-Identifier: GPL-3.0-or-later
// Free space cleaning without a volume: the plan and its refusals, and the leftover
// sweep over temporary folders. Nothing here starts a clean: filling is only ever done
// on scratch images (free_space_volume_test.cpp).
#include "wipe/free_space.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/strings.h"
#include "tests/common/scratch_volume.h"

namespace fs = std::filesystem;
using tw::wipe::TempFolderFor;

namespace {

// A fake "root" with a leftover temporary folder holding fill files (and optionally
// something else).
std::string MakeLeftover(const std::string& root, int files) {
    const std::string folder = TempFolderFor(root);
    fs::create_directories(folder);
    for (int i = 1; i <= files; ++i)
        tw::test::WriteFileBytes(folder + "/zpqmalowjxy68" + std::to_string(i) + ".qlx",
                                 std::string(5000, 'z'));
    return folder;
}

}  // namespace

// No passes, no folder: refused before anything is planned. (A leftover folder's
// refusal is the CLI's: free_space_volume_test.)
TEST(FreeSpacePlan, Refusals) {
    tw::test::TempDir dir("wipe-fs");
    ASSERT_TRUE(dir.Ok());
    EXPECT_FALSE(tw::wipe::PlanFreeSpace(dir.Path(), 0).refusal.empty());
    EXPECT_FALSE(tw::wipe::PlanFreeSpace(dir.Path() + "/missing", 1).refusal.empty());
    EXPECT_FALSE(tw::wipe::PlanFreeSpace("", 1).refusal.empty());
    EXPECT_TRUE(tw::wipe::PlanFreeSpace(dir.Path(), 3).refusal.empty());
}

TEST(LeftoverSweep, RemovesFillFilesTellsOnceAndKeepsForeignFilesAndLinks) {
    tw::test::TempDir a("wipe-fs"), b("wipe-fs"), empty("wipe-fs"), config("wipe-fs");
    // The sweep also replays the slack journals of the settings folder: this test's own,
    // never the user's.
    setenv("TIDEWIPE_CONFIG_HOME", config.Path().c_str(), 1);
    const std::string fa = MakeLeftover(a.Path(), 3);
    const std::string fb = MakeLeftover(b.Path(), 1);
    int messages = 0;
    std::string text;
    tw::wipe::LeftoverSweep sweep;
    EXPECT_TRUE(tw::wipe::SweepLeftoverTempFolders(
        {a.Path(), empty.Path(), b.Path() + "/", b.Path()}, true,
        [&](std::string_view t) {
            ++messages;
            text = t;
        },
        &sweep));
    EXPECT_EQ(messages, 1);
    EXPECT_EQ(text, tw::S<106>);
    EXPECT_EQ(sweep.removed, (std::vector<std::string>{fa, fb}));  // b listed twice, swept once
    EXPECT_TRUE(sweep.kept.empty());
    EXPECT_FALSE(fs::exists(fa));
    EXPECT_FALSE(fs::exists(fb));

    // Nothing left: false, and no message.
    messages = 0;
    EXPECT_FALSE(tw::wipe::SweepLeftoverTempFolders({a.Path(), b.Path()}, true,
                                                    [&](std::string_view) { ++messages; }));
    EXPECT_EQ(messages, 0);

    // A folder that also holds a file that is not ours: the fill files go, the folder
    // and the foreign file stay.
    const std::string folder = MakeLeftover(a.Path(), 2);
    ASSERT_TRUE(tw::test::WriteFileBytes(folder + "/notes.txt", "mine"));
    sweep = {};
    EXPECT_TRUE(tw::wipe::SweepLeftoverTempFolders({a.Path()}, false, {}, &sweep));
    EXPECT_EQ(sweep.kept, std::vector<std::string>{folder});
    EXPECT_EQ(tw::test::ReadFileBytes(folder + "/notes.txt"), "mine");
    EXPECT_FALSE(fs::exists(folder + "/zpqmalowjxy681.qlx"));
    fs::remove(folder + "/notes.txt");

    // (A folder a running clean holds is the volume tests': SweepLeavesARunningCleanAlone.)
    MakeLeftover(a.Path(), 1);
    sweep = {};
    EXPECT_TRUE(tw::wipe::SweepLeftoverTempFolders({a.Path()}, false, {}, &sweep));
    EXPECT_EQ(sweep.removed.size(), 1u);

    // A symbolic link with the folder's name is not a leftover: nothing behind it goes.
    tw::test::TempDir target("wipe-fs");
    const std::string victim = target.Path() + "/zpqmalowjxy681.qlx";
    ASSERT_TRUE(tw::test::WriteFileBytes(victim, "keep"));
    ASSERT_EQ(symlink(target.Path().c_str(), folder.c_str()), 0);
    EXPECT_FALSE(tw::wipe::SweepLeftoverTempFolders({a.Path()}, false));
    EXPECT_EQ(tw::test::ReadFileBytes(victim), "keep");
    unsetenv("TIDEWIPE_CONFIG_HOME");
}
