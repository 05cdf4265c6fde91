// SPDX-License-Identifier: GPL-3.0-or-later
// Storage facts of volumes made here from image files: ext4 on a loop mount (plain and
// data=journal), NTFS through ntfs-3g (on an image file and on a loop device), tmpfs,
// btrfs with compression and a plain dm-crypt mapping where the tools and the kernel
// allow; and `tidewipe-cli volumes --json` naming a loop mount's image. Everything is
// unmounted and detached again, also when a check fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/storage_facts.h"
#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"

namespace tw {
namespace {

using test::FsKind;
using test::RunTool;
using test::ScratchVolume;
using test::TempDir;

std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

// An image on a loop device, optionally under a plain dm-crypt mapping, formatted and
// mounted with the given options. The destructor undoes every step that was done, in
// reverse order.
class LoopVolume {
  public:
    struct Spec {
        std::vector<std::string> mkfs;   // the device is appended
        std::vector<std::string> mount;  // the device and the mount point are appended
        bool crypt = false;
        uint32_t sizeMiB = 128;
    };

    explicit LoopVolume(const Spec& spec) { Make(spec); }
    void Make(const Spec& spec) {
        if (!dir_.Ok()) return Fail("no temporary folder");
        image_ = dir_ / "volume.img";
        mountPoint_ = dir_ / "mnt";
        std::string out;
        if (RunTool({"truncate", "-s", std::to_string(spec.sizeMiB) + "M", image_}, &out) != 0)
            return Fail("truncate: " + out);
        if (RunTool({"losetup", "--find", "--show", image_}, &out) != 0)
            return Fail("losetup: " + out);
        loop_ = Trimmed(out);
        std::string dev = loop_;
        if (spec.crypt) {
            const std::string key = dir_ / "key";
            if (!test::WriteFileBytes(key, std::string(64, 'k'))) return Fail("key file");
            mapping_ = "twfacts" + std::to_string(getpid());
            if (RunTool({"cryptsetup", "open", "--type", "plain", "--cipher", "aes-xts-plain64",
                         "--key-size", "256", "--key-file", key, loop_, mapping_},
                        &out) != 0) {
                mapping_.clear();
                return Fail("cryptsetup open: " + out);
            }
            dev = "/dev/mapper/" + mapping_;
        }
        std::vector<std::string> mkfs = spec.mkfs;
        mkfs.push_back(dev);
        if (RunTool(mkfs, &out) != 0) return Fail(mkfs[0] + ": " + out);
        if (mkdir(mountPoint_.c_str(), 0700) != 0) return Fail("mount point");
        std::vector<std::string> mount = spec.mount;
        mount.push_back(dev);
        mount.push_back(mountPoint_);
        if (RunTool(mount, &out) != 0) return Fail(mount[0] + ": " + out);
        mounted_ = true;
    }
    ~LoopVolume() {
        // A FUSE daemon may hold the loop device a moment after the unmount.
        for (int i = 0; mounted_ && i < 50; ++i) {
            if (RunTool({"umount", mountPoint_}) == 0) mounted_ = false;
            if (mounted_) usleep(100000);
        }
        for (int i = 0; !mapping_.empty() && i < 50; ++i) {
            if (RunTool({"cryptsetup", "close", mapping_}) == 0) mapping_.clear();
            if (!mapping_.empty()) usleep(100000);
        }
        for (int i = 0; !loop_.empty() && i < 50; ++i) {
            if (RunTool({"losetup", "-d", loop_}) == 0) loop_.clear();
            if (!loop_.empty()) usleep(100000);
        }
    }
    bool Ok() const { return mounted_; }
    const std::string& Error() const { return error_; }
    const std::string& MountPoint() const { return mountPoint_; }
    const std::string& Image() const { return image_; }

  private:
    void Fail(std::string why) { error_ = std::move(why); }

    TempDir dir_{"facts"};
    std::string image_, mountPoint_, loop_, mapping_, error_;
    bool mounted_ = false;
};

std::string Missing(std::initializer_list<const char*> tools) {
    if (geteuid() != 0) return "needs root";
    if (access("/dev/loop-control", R_OK | W_OK) != 0) return "no /dev/loop-control";
    const std::string tool = test::MissingTool(tools);
    return tool.empty() ? "" : tool + " is not installed";
}

StorageFacts FactsOf(const std::string& path) {
    auto f = FactsForPath(path);
    EXPECT_TRUE(f.ok()) << path;
    return f.ok() ? *f : StorageFacts{};
}

TEST(StorageFactsVolumeTest, Ext4NtfsAndTmpfsVolumesMadeHere) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    TW_REQUIRE_SCRATCH(FsKind::Ntfs);
    if (std::string why = Missing({"losetup", "mkntfs", "ntfs-3g"}); !why.empty())
        GTEST_SKIP() << why;

    ScratchVolume ext4(FsKind::Ext4, 32);
    ASSERT_TRUE(ext4.Ok()) << ext4.Error();
    const StorageFacts plain = FactsOf(ext4.Root());  // a path below the mount works too
    EXPECT_EQ(plain.mountPoint, ext4.MountPoint());
    EXPECT_EQ(plain.fsType, "ext4");
    EXPECT_EQ(plain.caveats, (std::vector<Caveat>{Caveat::ReachesBlocks, Caveat::LoopImage}));
    ASSERT_FALSE(plain.devices.empty());
    EXPECT_EQ(plain.devices[0].kind, BlockDeviceFacts::Kind::Loop);
    EXPECT_EQ(plain.devices[0].backingFile, ext4.ImagePath());
    EXPECT_EQ(plain.devices[0].sizeBytes, ext4.SizeBytes());
    ASSERT_TRUE(plain.space);
    EXPECT_GT(plain.space->totalBytes, ext4.SizeBytes() / 2);
    EXPECT_EQ(plain.space->magic, 0xEF53u);
    EXPECT_NE(VolumeCaveatLine(ext4.MountPoint()).find(ext4.MountPoint()), std::string::npos);

    LoopVolume journal({{"mkfs.ext4", "-q", "-F"}, {"mount", "-t", "ext4", "-o", "data=journal"}});
    ASSERT_TRUE(journal.Ok()) << journal.Error();
    const StorageFacts j = FactsOf(journal.MountPoint());
    EXPECT_TRUE(j.dataJournal);
    EXPECT_TRUE(j.Has(Caveat::DataJournal));
    EXPECT_FALSE(j.Has(Caveat::ReachesBlocks));

    // ntfs-3g over a loop device is a fuseblk mount: the device is found from its source.
    LoopVolume ntfsBlock({{"mkntfs", "-q", "-F", "-f"}, {"ntfs-3g"}});
    ASSERT_TRUE(ntfsBlock.Ok()) << ntfsBlock.Error();
    const StorageFacts nb = FactsOf(ntfsBlock.MountPoint());
    EXPECT_EQ(nb.fsType, "fuseblk");
    ASSERT_FALSE(nb.devices.empty());
    EXPECT_EQ(nb.devices[0].backingFile, ntfsBlock.Image());
    EXPECT_EQ(nb.caveats, (std::vector<Caveat>{Caveat::ReachesBlocks, Caveat::LoopImage}));

    // ntfs-3g given the image file itself: no device, the image decides.
    ScratchVolume ntfs(FsKind::Ntfs, 32);
    ASSERT_TRUE(ntfs.Ok()) << ntfs.Error();
    const StorageFacts ni = FactsOf(ntfs.MountPoint());
    EXPECT_EQ(ni.imageFile, ntfs.ImagePath());
    EXPECT_TRUE(ni.Has(Caveat::LoopImage));
    EXPECT_FALSE(ni.Has(Caveat::ReachesBlocks));

    ScratchVolume tmp(FsKind::Tmpfs, 8);
    ASSERT_TRUE(tmp.Ok()) << tmp.Error();
    const StorageFacts t = FactsOf(tmp.MountPoint());
    EXPECT_EQ(t.caveats, std::vector<Caveat>{Caveat::MemoryOnly});
    EXPECT_TRUE(t.devices.empty());
    EXPECT_FALSE(TrimHelps(t));
}

TEST(StorageFactsVolumeTest, BtrfsWithCompressionIsCopyOnWrite) {
    if (std::string why = Missing({"losetup", "mkfs.btrfs"}); !why.empty()) GTEST_SKIP() << why;
    LoopVolume v({{"mkfs.btrfs", "-q", "-f"}, {"mount", "-t", "btrfs", "-o", "compress=zstd"}});
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
    EXPECT_EQ(f.devices[0].backingFile, v.Image());
}

TEST(StorageFactsVolumeTest, PlainDmCryptMappingIsEncrypted) {
    if (std::string why = Missing({"losetup", "cryptsetup", "mkfs.ext4"}); !why.empty())
        GTEST_SKIP() << why;
    if (access("/dev/mapper/control", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no device-mapper in this kernel (/dev/mapper/control)";
    LoopVolume v({{"mkfs.ext4", "-q", "-F"}, {"mount", "-t", "ext4"}, true});
    if (!v.Ok() && v.Error().rfind("cryptsetup", 0) == 0)
        GTEST_SKIP() << "no dm-crypt here: " << v.Error();
    ASSERT_TRUE(v.Ok()) << v.Error();
    const StorageFacts f = FactsOf(v.MountPoint());
    EXPECT_TRUE(f.encrypted);
    EXPECT_TRUE(f.Has(Caveat::Encrypted));
    ASSERT_GE(f.devices.size(), 2u);
    EXPECT_EQ(f.devices[0].kind, BlockDeviceFacts::Kind::DmCrypt);
    EXPECT_EQ(f.devices[1].backingFile, v.Image());
}

TEST(StorageFactsVolumeTest, CliListsALoopMountWithItsImage) {
    TW_REQUIRE_SCRATCH(FsKind::Ext4);
    ScratchVolume ext4(FsKind::Ext4, 32);
    ASSERT_TRUE(ext4.Ok()) << ext4.Error();
    TempDir config("facts-cli");
    std::string out;
    ASSERT_EQ(test::RunCliIn(config.Path(), {"volumes", "--json"}, &out), 0) << out;
    const auto j = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << out;
    int found = 0;
    for (const auto& v : j["volumes"]) {
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
    for (const auto& d : j["devices"])
        device = device || d["devices"][0].value("backingFile", "") == ext4.ImagePath();
    EXPECT_TRUE(device);
}

}  // namespace
}  // namespace tw
