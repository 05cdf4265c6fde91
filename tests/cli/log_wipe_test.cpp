// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "tests/common/cli_fixture.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

class CliLogWipe : public test::CliFixture<> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(SetUpCli(false)); }
};

// `log wipe` destroys the log files and nothing else: a file that only carries the log
// extension survives byte for byte, the user's overwrite count is not touched, and (on
// a scratch ext4 volume, as root) nothing of the wiped log is left in the raw image.
TEST_F(CliLogWipe, WipesOnlyLogsAndLeavesNoTrace) {
    std::unique_ptr<test::ScratchVolume> vol;
    if (test::ScratchUnavailable(test::FsKind::Ext4).empty()) {
        vol = std::make_unique<test::ScratchVolume>(test::FsKind::Ext4, 16);
        ASSERT_TRUE(vol->Ok()) << vol->Error();
        const std::string logs = vol->Root() + "logs";
        ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
        ASSERT_EQ(Cli({"settings", "set", "LogLocation", logs}, nullptr), 0);
        logs_ = logs;
    }
    ASSERT_EQ(Cli({"settings", "set", "NumOverwrites", "7"}, nullptr), 0);
    const std::string marker = "logwipe-marker-" + std::to_string(getpid()) + "-qzx";
    ASSERT_EQ(Cli({"log", "write", marker}, nullptr), 0);
    std::string todays;
    ASSERT_EQ(Cli({"log", "path"}, &todays), 0);
    todays.pop_back();
    const std::string decoy = logs_ + "/2001_01_01_Monday." + Str<163>();
    const std::string decoyText = "Not a Tidewipe log, whatever its name says\n";
    ASSERT_TRUE(test::WriteFileBytes(decoy, decoyText));
    ASSERT_NE(test::ReadFileBytes(todays).find(marker), std::string::npos);
    if (vol) {
        ASSERT_GE(test::CountOccurrences(vol->ReadImage(), marker), 1u);
    }

    std::string out;  // each run appends: cleared before each
    EXPECT_EQ(Cli({"log", "wipe", "--dry-run"}, &out), 0) << out;
    EXPECT_NE(out.find("wipe " + todays), std::string::npos) << out;
    EXPECT_NE(out.find("keep " + decoy), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(todays));

    out.clear();
    EXPECT_EQ(Cli({"log", "wipe", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find(Str<165>()), std::string::npos) << out;
    EXPECT_NE(out.find(Str<166>()), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(todays));
    EXPECT_EQ(test::ReadFileBytes(decoy), decoyText);
    out.clear();
    ASSERT_EQ(Cli({"settings", "get", "NumOverwrites"}, &out), 0);
    EXPECT_EQ(out, "7\n");
    // Only the stranger is left: there is no log file to wipe.
    out.clear();
    EXPECT_EQ(Cli({"log", "wipe", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find(Str<167>()), std::string::npos) << out;

    if (!vol) GTEST_SKIP() << "raw image check: " << test::ScratchUnavailable(test::FsKind::Ext4);
    const std::vector<uint8_t> image = vol->ReadImage();
    EXPECT_EQ(test::CountOccurrences(image, marker), 0u);
    EXPECT_GE(test::CountOccurrences(image, decoyText), 1u);
}

}  // namespace
}  // namespace tw
