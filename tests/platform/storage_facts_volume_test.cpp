// SPDX-License-Identifier: GPL-3.0-or-later
// Storage facts of volumes made here from image files: ext4 on a loop mount (plain and
// data=journal), NTFS through ntfs-3g (on an image file and on a loop device), tmpfs,
// btrfs with compression and a plain dm-crypt mapping where the tools and the kernel
// allow; and `tidewipe-cli volumes --json` naming a loop mount's image. Everything is
// unmounted and detached again, also when a check fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/storage_facts.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

using test::FsKind;
using test::ScratchVolume;
using test::TempDir;

StorageFacts FactsOf(const std::string& path) {
    auto f = FactsForPath(path);
    EXPECT_TRUE(f.ok()) << path;
    return f.ok() ? *f : StorageFacts{};
}

TEST(StorageFactsVolumeTest, Ext4NtfsAndTmpfsVolumesMadeHere) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    ScratchVolume ext4(FsKind::Ext4, 32);
    ASSERT_TRUE(ext4.Ok()) << ext4.Error();
    // Its type, caveats, image and file system magic: the CLI's list below.
    const StorageFacts plain = FactsOf(ext4.Root());  // a path below the mount works too
    EXPECT_EQ(plain.mountPoint, ext4.MountPoint());
    ASSERT_FALSE(plain.devices.empty());
    EXPECT_EQ(plain.devices[0].kind, BlockDeviceFacts::Kind::Loop);
    EXPECT_EQ(plain.devices[0].sizeBytes, ext4.SizeBytes());
    ASSERT_TRUE(plain.space);
    EXPECT_GT(plain.space->totalBytes, ext4.SizeBytes() / 2);
    EXPECT_GT(plain.space->blockSize, 0u);
    EXPECT_LE(plain.space->availableBytes, plain.space->freeBytes);  // less the reserve
    EXPECT_NE(VolumeCaveatLine(ext4.MountPoint()).find(ext4.MountPoint()), std::string::npos);

    ScratchVolume journal(FsKind::Ext4, 32, "twjournal", {{}, {"data=journal"}});
    ASSERT_TRUE(journal.Ok()) << journal.Error();
    const StorageFacts j = FactsOf(journal.MountPoint());
    EXPECT_TRUE(j.dataJournal);
    EXPECT_TRUE(j.Has(Caveat::DataJournal));
    EXPECT_FALSE(j.Has(Caveat::ReachesBlocks));

    // `tidewipe-cli volumes --json` lists the loop mount with its image.
    TempDir config("facts-cli");
    std::string out;
    ASSERT_EQ(test::RunCliIn(config.Path(), {"volumes", "--json"}, &out), 0) << out;
    const auto listed = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(listed.is_discarded()) << out;
    int found = 0;
    for (const auto& v : listed["volumes"]) {
        if (v.value("mountPoint", "") != ext4.MountPoint()) continue;
        ++found;
        EXPECT_EQ(v["fsType"], "ext4");
        EXPECT_EQ(v["caveats"], nlohmann::json({"reaches-blocks", "image-file"}));
        ASSERT_FALSE(v["devices"].empty());
        EXPECT_EQ(v["devices"][0]["backingFile"], ext4.ImagePath());
        EXPECT_EQ(v["space"]["magic"], 0xEF53u);
    }
    EXPECT_EQ(found, 1);
    // The loop device is listed among the block devices too, with the same image.
    bool device = false;
    for (const auto& d : listed["devices"])
        device = device || d["devices"][0].value("backingFile", "") == ext4.ImagePath();
    EXPECT_TRUE(device);

    // Dry-run plans name the same caveat for the volume they would write on.
    const std::string line = "Volume " + ext4.MountPoint() +
                             " (ext4): overwrites reach the blocks; image file: its own file "
                             "system decides what is reached";
    ASSERT_TRUE(test::WriteFileBytes(ext4.Root() + "f.txt", "some text"));
    ASSERT_EQ(test::RunCliIn(config.Path(), {"wipe", "--dry-run", ext4.Root() + "f.txt"}, &out), 0)
        << out;
    EXPECT_NE(out.find(line), std::string::npos) << out;
    ASSERT_EQ(
        test::RunCliIn(config.Path(),
                       {"clean", "--dry-run", "--drive", ext4.MountPoint(), "--task", "free-space"},
                       &out),
        0)
        << out;
    EXPECT_NE(out.find(line), std::string::npos) << out;

    ScratchVolume tmp(FsKind::Tmpfs, 8);
    ASSERT_TRUE(tmp.Ok()) << tmp.Error();
    const StorageFacts t = FactsOf(tmp.MountPoint());
    EXPECT_EQ(t.caveats, std::vector<Caveat>{Caveat::MemoryOnly});
    EXPECT_TRUE(t.devices.empty());
    EXPECT_FALSE(TrimHelps(t));

    TW_REQUIRE_SCRATCH(FsKind::Ntfs);
    // ntfs-3g over a loop device is a fuseblk mount: the device is found from its source.
    ScratchVolume ntfsBlock(FsKind::Ntfs, 32, "twblock", {{}, {}, true});
    ASSERT_TRUE(ntfsBlock.Ok()) << ntfsBlock.Error();
    const StorageFacts nb = FactsOf(ntfsBlock.MountPoint());
    EXPECT_EQ(nb.fsType, "fuseblk");
    ASSERT_FALSE(nb.devices.empty());
    EXPECT_EQ(nb.devices[0].backingFile, ntfsBlock.ImagePath());
    EXPECT_EQ(nb.caveats, (std::vector<Caveat>{Caveat::ReachesBlocks, Caveat::LoopImage}));

    // ntfs-3g given the image file itself: no device, the image decides.
    ScratchVolume ntfs(FsKind::Ntfs, 32);
    ASSERT_TRUE(ntfs.Ok()) << ntfs.Error();
    const StorageFacts ni = FactsOf(ntfs.MountPoint());
    EXPECT_EQ(ni.imageFile, ntfs.ImagePath());
    EXPECT_TRUE(ni.Has(Caveat::LoopImage));
    EXPECT_FALSE(ni.Has(Caveat::ReachesBlocks));
}

TEST(StorageFactsVolumeTest, BtrfsWithCompressionIsCopyOnWrite) {
    TW_REQUIRE_SCRATCH(FsKind::Btrfs);
    ScratchVolume v(FsKind::Btrfs, 128, "twbtrfs", {{}, {"compress=zstd"}});
    if (!v.Ok() && v.Error().rfind("mount", 0) == 0)
        GTEST_SKIP() << "this kernel does not mount btrfs: " << v.Error();
    ASSERT_TRUE(v.Ok()) << v.Error();
    const StorageFacts f = FactsOf(v.MountPoint());
    EXPECT_EQ(f.fsType, "btrfs");
    EXPECT_EQ(f.compression.substr(0, 4), "zstd");
    EXPECT_EQ(f.caveats,
              (std::vector<Caveat>{Caveat::CopyOnWrite, Caveat::Compressed, Caveat::LoopImage}));
    // btrfs reports an anonymous device number: the loop device comes from the source.
    ASSERT_FALSE(f.devices.empty());
    EXPECT_EQ(f.devices[0].backingFile, v.ImagePath());
}

TEST(StorageFactsVolumeTest, PlainDmCryptMappingIsEncrypted) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    if (const std::string tool = test::MissingTool({"cryptsetup"}); !tool.empty())
        GTEST_SKIP() << tool << " is not installed";
    if (access("/dev/mapper/control", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no device-mapper in this kernel (/dev/mapper/control)";
    ScratchVolume v(FsKind::Ext4, 32, "twcrypt", {{}, {}, false, true});
    if (!v.Ok() && v.Error().rfind("cryptsetup", 0) == 0)
        GTEST_SKIP() << "no dm-crypt here: " << v.Error();
    ASSERT_TRUE(v.Ok()) << v.Error();
    const StorageFacts f = FactsOf(v.MountPoint());
    EXPECT_TRUE(f.encrypted);
    EXPECT_TRUE(f.Has(Caveat::Encrypted));
    ASSERT_GE(f.devices.size(), 2u);
    EXPECT_EQ(f.devices[0].kind, BlockDeviceFacts::Kind::DmCrypt);
    EXPECT_EQ(f.devices[1].backingFile, v.ImagePath());
}

}  // namespace
}  // namespace tw
