// SPDX-License-Identifier: GPL-3.0-or-later
// tidewipe-cli free-space and leftovers on scratch volumes, as a user runs them. (What a
// clean leaves on the raw volume is the engine's test: here the command's part of it.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "platform/strings.h"
#include "tests/common/background_cli.h"
#include "tests/common/cli_fixture.h"
#include "tests/common/scratch_volume.h"
#include "wipe/free_space.h"

namespace fs = std::filesystem;
using tw::test::FsKind;

namespace {

class FreeSpaceCli : public tw::test::CliFixture<::testing::TestWithParam<FsKind>> {
  protected:
    void SetUp() override {
        TW_REQUIRE_SCRATCH(GetParam());
        vol_ = std::make_unique<tw::test::ScratchVolume>(GetParam(), 48);
        ASSERT_TRUE(vol_->Ok()) << vol_->Error();
        ASSERT_NO_FATAL_FAILURE(SetUpCli(true));

        std::random_device rd;
        nonce_ = std::to_string(rd()) + std::to_string(rd());
        live_ = vol_->Root() + "live.txt";
        liveText_ = std::string(30000, 'L') + nonce_;
        ASSERT_TRUE(tw::test::WriteFileBytes(live_, liveText_));
    }
    std::unique_ptr<tw::test::ScratchVolume> vol_;
    std::string nonce_, live_, liveText_;
};

}  // namespace

// A killed clean leaves its folder: the next clean refuses, `leftovers` clears it, and a
// clean then runs to its end, logged, and overwrites a file deleted meanwhile.
TEST_P(FreeSpaceCli, KilledCleanIsClearedByLeftoversThenACleanCompletes) {
    tw::test::BackgroundCli bg(
        {"--config-home", config_, "free-space", "--yes", "--passes", "7", vol_->MountPoint()},
        dir_.Path());
    ASSERT_GT(bg.Pid(), 0);
    const std::string folder = tw::wipe::TempFolderFor(vol_->MountPoint());
    const std::string first = folder + "/zpqmalowjxy681.qlx";
    const bool filling = bg.WaitFor(
        [&] {
            struct stat st {};
            return stat(first.c_str(), &st) == 0 && st.st_size >= (4 << 20);
        },
        std::chrono::seconds(10));
    kill(bg.Pid(), SIGKILL);
    ASSERT_TRUE(filling);
    ASSERT_EQ(bg.Wait(), -1) << "the clean ended before it could be killed";
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(tw::test::ReadFileBytes(live_), liveText_);

    // A clean started now finds the leftover and refuses: it writes nothing.
    const uintmax_t leftSize = fs::file_size(first);
    std::string out;
    EXPECT_EQ(Cli({"free-space", "--yes", vol_->MountPoint()}, &out), 3);
    EXPECT_NE(out.find("tidewipe-cli leftovers"), std::string::npos) << out;
    EXPECT_EQ(fs::file_size(first), leftSize);

    out.clear();
    EXPECT_EQ(Cli({"leftovers", "--dry-run"}, &out), 0);
    EXPECT_NE(out.find("remove " + folder), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(first));

    out.clear();
    EXPECT_EQ(Cli({"leftovers", "--yes"}, &out), 0) << out;
    EXPECT_NE(out.find("Removed " + folder), std::string::npos) << out;
    // Told once, however many folders were swept.
    const std::string told(tw::S<106>);
    ASSERT_NE(out.find(told), std::string::npos) << out;
    EXPECT_EQ(out.find(told, out.find(told) + 1), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(tw::test::ReadFileBytes(live_), liveText_);

    std::string gone;
    while (gone.size() < 200000) gone += "TWCLIAGAIN-" + nonce_ + "\n";
    ASSERT_TRUE(tw::test::WriteFileBytes(vol_->Root() + "again.bin", gone));
    sync();
    fs::remove(vol_->Root() + "again.bin");
    sync();
    out.clear();
    EXPECT_EQ(Cli({"free-space", "--yes", "--passes", "1", vol_->MountPoint()}, &out), 0) << out;
    EXPECT_NE(out.find("Free space cleaning complete"), std::string::npos) << out;
    EXPECT_NE(LogText().find("-> Cleaned "), std::string::npos);
    EXPECT_EQ(tw::test::CountOccurrences(vol_->ReadImage(), "TWCLIAGAIN-" + nonce_), 0u);
    EXPECT_EQ(tw::test::ReadFileBytes(live_), liveText_);
}

INSTANTIATE_TEST_SUITE_P(Volumes, FreeSpaceCli, ::testing::Values(FsKind::Ext4, FsKind::Ntfs),
                         [](const auto& info) {
                             return std::string(tw::test::FsName(info.param));
                         });
