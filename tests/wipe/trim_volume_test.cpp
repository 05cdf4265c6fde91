// SPDX-License-Identifier: GPL-3.0-or-later
// The trim after a free space clean, through `tidewipe-cli free-space` as a user runs it:
// ext4 on a loop device over a sparse image, where a discard punches a hole in the
// image. With --no-trim the fill's last pattern stays in the image's free blocks and
// the image keeps them allocated; with the trim the freed range reads back as zeros and
// the image's allocated size shrinks. On tmpfs (no device) the trim is refused in the
// log and the clean still succeeds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/error.h"
#include "tests/common/cli_fixture.h"
#include "tests/common/scratch_volume.h"

namespace {

using tw::test::FsKind;
using tw::test::ScratchVolume;

// 4 KiB blocks of the image that hold nothing but 0xFF: the second pass's pattern.
size_t FullOnesBlocks(const std::vector<uint8_t>& image) {
    size_t n = 0;
    for (size_t at = 0; at + 4096 <= image.size(); at += 4096) {
        bool ones = true;
        for (size_t i = at; i < at + 4096 && ones; ++i) ones = image[i] == 0xFF;
        n += ones;
    }
    return n;
}

uint64_t AllocatedBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
}

class TrimVolume : public tw::test::CliFixture<> {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(SetUpCli(true)); }
};

TEST_F(TrimVolume, TrimmedFreeSpaceReadsBackZerosAndNoDeviceRefusesTheTrim) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    ScratchVolume vol(FsKind::Ext4, 64);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    std::string out;

    ASSERT_EQ(Cli({"free-space", "--yes", "--passes", "2", "--no-trim", vol.MountPoint()}, &out), 0)
        << out;
    EXPECT_EQ(out.find("Trimmed"), std::string::npos) << out;
    const std::vector<uint8_t> kept = vol.ReadImage();  // unmounted: the image is complete
    const size_t onesKept = FullOnesBlocks(kept);
    const uint64_t allocatedKept = AllocatedBytes(vol.ImagePath());
    // Most of the 64 MiB were free and filled with 0xFF by the last pass.
    EXPECT_GT(onesKept, 32u * 256) << "the fill did not reach the image";

    ASSERT_EQ(Cli({"free-space", "--yes", "--passes", "2", vol.MountPoint()}, &out), 0) << out;
    EXPECT_NE(out.find("Trimmed"), std::string::npos) << out;
    const std::vector<uint8_t> trimmed = vol.ReadImage();
    EXPECT_LT(FullOnesBlocks(trimmed) * 20, onesKept) << "the freed range still holds the fill";
    EXPECT_LT(AllocatedBytes(vol.ImagePath()) + 32 * 1048576ull, allocatedKept)
        << "the image kept the freed blocks allocated";
    // The log names the volume's caveat and the bytes trimmed.
    const std::string log = LogText();
    EXPECT_NE(log.find("Volume " + vol.MountPoint() + " (ext4): "), std::string::npos) << log;
    EXPECT_NE(log.find("Trimmed "), std::string::npos) << log;
    EXPECT_NE(log.find(tw::TextWith(1756, vol.Root())), std::string::npos) << log;  // --no-trim

    TW_REQUIRE_SCRATCH(FsKind::Tmpfs);
    ScratchVolume ram(FsKind::Tmpfs, 8);
    ASSERT_TRUE(ram.Ok()) << ram.Error();
    ASSERT_EQ(Cli({"free-space", "--yes", "--passes", "1", ram.MountPoint()}, &out), 0) << out;
    EXPECT_NE(out.find(tw::TextWith(1754, ram.Root())), std::string::npos) << out;
    EXPECT_NE(LogText().find(tw::TextWith(1754, ram.Root())), std::string::npos);
}

}  // namespace
