// SPDX-License-Identifier: GPL-3.0-or-later
// Recovery from an NTFS image made by mkntfs and populated through ntfs-3g
// (tests/data/make_ntfs_image.sh; needs root and /dev/fuse): recovery never writes to the
// image and names the reused clusters of reuse_victim.bin; named streams; and a recovery
// folder on the mounted source is refused (FUSE mount of the image, loop mount). The
// whole files are ntfs_fuse_test's; where reused clusters become zeros is recovery_test's.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "platform/strings.h"
#include "tests/common/run_cli.h"
#include "tests/volume/recovery_fixture.h"

namespace tw::volume {
namespace {

using test::RunTool;
using testing::Content;
using testing::NtfsImage;

TEST(NtfsRecoveryFuse, RecoveryOnlyReadsTheVolume) {
    REQUIRE_NTFS_IMAGE();
    test::TempDir work("ntfsro");
    const std::string image = work.Path() + "/copy.img";
    ASSERT_EQ(RunTool({"cp", NtfsImage().path, image}), 0);
    const std::string before = test::ReadFileBytes(image);
    const std::string cli = "--config-home '" + work.Path() + "/cfg' ";
    auto r = test::RunCli(cli + "recover '" + image + "' --to '" + work.Path() + "/out' --all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("/reuse_victim.bin -> " + work.Path() +
                         "/out/#euse_victim.bin (32768 bytes, 6 reallocated clusters"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(test::ReadFileBytes(image) == before) << "recovery wrote to the NTFS volume";
    // The clusters command marks the reused ones.
    const auto found = testing::SearchImage(image);
    const RecoverableFile* victim = testing::FindByName(found, "reuse_victim.bin");
    ASSERT_NE(victim, nullptr);
    auto c = test::RunCli(cli + "clusters '" + image + "' --location " +
                          std::to_string(victim->location));
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_NE(c.out.find("Clusters: 8 of 4096 bytes, 6 reallocated"), std::string::npos) << c.out;
}

// Named data streams (a browser's Zone.Identifier, say; ntfs-3g stores user.* extended
// attributes as named streams) are not the file: the listed size, % Rec and recovery
// come from the unnamed stream alone, while wiping the file's traces takes the named
// streams with it.
TEST(NtfsRecoveryFuse, NamedStreamsAreNotTheFileButGoWithItsTraces) {
    TW_REQUIRE_SCRATCH(test::FsKind::Ntfs);
    test::ScratchVolume vol(test::FsKind::Ntfs, 16);
    ASSERT_TRUE(vol.Ok()) << vol.Error();
    const std::string data = Content("DATA", 6000), big = Content("BIG", 20000);
    const std::string zone = Content("ZONE", 300), side = Content("SIDESTREAM", 40000);
    ASSERT_TRUE(test::WriteFileBytes(vol.Root() + "data.bin", data));
    ASSERT_TRUE(test::WriteFileBytes(vol.Root() + "big.bin", big));
    // After the unnamed stream: a resident named stream, and a non-resident one.
    ASSERT_EQ(::setxattr((vol.Root() + "data.bin").c_str(), "user.Zone.Identifier", zone.data(),
                         zone.size(), 0),
              0);
    ASSERT_EQ(
        ::setxattr((vol.Root() + "big.bin").c_str(), "user.side", side.data(), side.size(), 0), 0);
    ASSERT_EQ(::unlink((vol.Root() + "data.bin").c_str()), 0);
    ASSERT_EQ(::unlink((vol.Root() + "big.bin").c_str()), 0);
    ASSERT_TRUE(vol.Unmount());
    const std::string image = vol.ImagePath();
    if (RunTool({"sh", "-c", "command -v fls"}) == 0) {
        std::string fls;
        RunTool({"fls", "-r", "-d", image}, &fls);
        ASSERT_NE(fls.find("data.bin:Zone.Identifier"), std::string::npos) << fls;
        ASSERT_NE(fls.find("big.bin:side"), std::string::npos) << fls;
    }

    test::TempDir work("ntfsstreams");
    const std::string cli = "--config-home '" + work.Path() + "/cfg' ";
    auto r = test::RunCli(cli + "search '" + image + "' --json");
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, nlohmann::json> found;
    for (const auto& f : nlohmann::json::parse(r.out)) found[f["name"]] = f;
    ASSERT_TRUE(found.count("data.bin") && found.count("big.bin")) << r.out;
    EXPECT_EQ(found["data.bin"]["size"], 6000);
    EXPECT_EQ(found["data.bin"]["resident"], false);
    EXPECT_EQ(found["data.bin"]["recoverable"], 100);
    EXPECT_EQ(found["big.bin"]["size"], 20000);
    EXPECT_EQ(found["big.bin"]["recoverable"], 100);

    r = test::RunCli(cli + "recover '" + image + "' --all --to '" + work.Path() + "/out'");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(test::ReadFileBytes(work.Path() + "/out/#ata.bin") == data);
    EXPECT_TRUE(test::ReadFileBytes(work.Path() + "/out/#ig.bin") == big);

    const auto bytes = [&image] { return testing::ReadBytes(image); };
    ASSERT_GT(test::CountOccurrences(bytes(), "SIDESTREAM\n"), 0u);
    ASSERT_GT(test::CountOccurrences(bytes(), "ZONE\n"), 0u);
    r = test::RunCli(cli + "wipe-traces '" + image + "' --all --yes --passes 1");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(test::CountOccurrences(bytes(), "SIDESTREAM\n"), 0u);
    EXPECT_EQ(test::CountOccurrences(bytes(), "ZONE\n"), 0u);
    EXPECT_EQ(test::CountOccurrences(bytes(), "DATA\n"), 0u);
}

// The command refuses before it searches, for an NTFS image mounted by its FUSE driver
// and an ext4 image mounted through a loop device; named by the image, the mounted folder
// or the loop device; a folder below the mount point or the mount point itself; and says
// where it is. A folder elsewhere is not refused for it.
TEST(NtfsRecoveryFuse, AFolderOnTheMountedSourceIsRefused) {
    TW_REQUIRE_SCRATCH(test::FsKind::Ntfs);
    TW_REQUIRE_SCRATCH(test::FsKind::Ext4);
    test::TempDir home("home");
    const std::string cli = "--config-home '" + home.Path() + "' recover '";
    for (const test::FsKind kind : {test::FsKind::Ntfs, test::FsKind::Ext4}) {
        test::ScratchVolume vol(kind, 16);
        ASSERT_TRUE(vol.Ok()) << vol.Error();
        const std::string inside = vol.MountPoint() + "/recovered";
        ASSERT_EQ(::mkdir(inside.c_str(), 0755), 0);
        std::vector<std::string> sources = {vol.ImagePath(), vol.MountPoint()};
        if (kind == test::FsKind::Ext4) {
            std::string loop;
            ASSERT_EQ(RunTool({"findmnt", "-n", "-o", "SOURCE", vol.MountPoint()}, &loop), 0);
            while (!loop.empty() && loop.back() == '\n') loop.pop_back();
            sources.push_back(loop);
        }
        for (const std::string& source : sources)
            for (const std::string& to : {inside, vol.MountPoint()}) {
                auto r = test::RunCli(cli + source + "' --to '" + to + "' --all");
                EXPECT_EQ(r.status, 3) << source << " " << to << ": " << r.err;
                EXPECT_NE(r.err.find(std::string(S<426>)), std::string::npos) << r.err;
                EXPECT_NE(r.err.find("(mounted at " + vol.MountPoint() + ")"), std::string::npos)
                    << r.err;
            }
        // A folder that would have to be made there is refused before it is made.
        const std::string fresh = vol.MountPoint() + "/fresh";
        auto r = test::RunCli(cli + vol.ImagePath() + "' --to '" + fresh + "' --all");
        EXPECT_EQ(r.status, 3) << r.err;
        struct stat st {};
        EXPECT_NE(::stat(fresh.c_str(), &st), 0) << "the folder was made on the source";
        r = test::RunCli(cli + vol.ImagePath() + "' --to '" + home.Path() + "/out' --all");
        EXPECT_EQ(r.err.find(std::string(S<426>)), std::string::npos) << r.err;
    }
}

}  // namespace
}  // namespace tw::volume
