// SPDX-License-Identifier: GPL-3.0-or-later
// Storage facts from fed text: mountinfo lines (escapes, optional fields, malformed
// lines) and a sysfs view of a device stack (partition -> disk, dm-crypt over LVM,
// loop images, a cycle in fed data), checked for what an overwrite is said to reach.
#include "platform/storage_facts.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace tw {
namespace {

class FedSysfs : public BlockSysfs {
  public:
    std::map<std::string, std::string> attrs;  // "name/attr" -> text
    std::map<std::string, std::vector<std::string>> slaves;
    std::map<std::string, std::string> parents, numbers, paths;  // "M:m" / "/dev/x" -> name

    // The value fed for `key`, or an empty one.
    template <class Map>
    static typename Map::mapped_type Get(const Map& m, const std::string& key) {
        auto it = m.find(key);
        return it == m.end() ? typename Map::mapped_type{} : it->second;
    }
    std::optional<std::string> Attr(const std::string& n, const std::string& a) const override {
        auto it = attrs.find(n + "/" + a);
        return it == attrs.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::vector<std::string> Slaves(const std::string& n) const override { return Get(slaves, n); }
    std::string Parent(const std::string& n) const override { return Get(parents, n); }
    std::string NameOfNumber(unsigned ma, unsigned mi) const override {
        return Get(numbers, std::to_string(ma) + ":" + std::to_string(mi));
    }
    std::string NameOfPath(const std::string& p) const override { return Get(paths, p); }
};

// sda (flash, model and serial) -> sda2 -> dm-0 (LVM) -> dm-1 (dm-crypt); sdb a
// spinning disk; loop3 over an image; dm-7 listing itself as its own slave.
FedSysfs Machine() {
    FedSysfs s;
    s.attrs = {
        {"sda/queue/rotational", "0\n"},
        {"sda/queue/discard_max_bytes", "2147450880"},
        {"sda/queue/discard_granularity", "512"},
        {"sda/size", "1000215216"},
        {"sda/device/model", "FLASHDISK 1TB   \n"},
        {"sda/device/vpd_pg80", std::string("\0\x80\0\x08SN123456", 12)},
        {"sda2/partition", "2"},
        {"sda2/queue/rotational", "0"},
        {"sda2/queue/discard_max_bytes", "2147450880"},
        {"dm-0/dm/name", "vg-root"},
        {"dm-0/dm/uuid", "LVM-abcdef"},
        {"dm-0/queue/rotational", "0"},
        {"dm-0/queue/discard_max_bytes", "2147450880"},
        {"dm-1/dm/name", "luks-1234"},
        {"dm-1/dm/uuid", "CRYPT-LUKS2-1234-luks-1234"},
        {"dm-1/queue/rotational", "0"},
        {"sdb/queue/rotational", "1"},
        {"sdb/device/serial", "WD-XYZ"},
        {"sdb1/partition", "1"},
        {"loop3/loop/backing_file", "/srv/disk images/a.img\n"},
        {"loop3/queue/rotational", "1"},
        {"loop3/queue/discard_max_bytes", "4294966784"},
        {"dm-7/dm/name", "odd"},
    };
    s.slaves = {{"dm-1", {"dm-0"}}, {"dm-0", {"sda2"}}, {"dm-7", {"dm-7", "sdb1"}}};
    s.parents = {{"sda2", "sda"}, {"sdb1", "sdb"}};
    s.numbers = {{"254:1", "dm-1"}, {"8:17", "sdb1"}, {"7:3", "loop3"}, {"254:7", "dm-7"}};
    s.paths = {{"/dev/loop3", "loop3"}, {"/dev/sdb1", "sdb1"}};
    return s;
}

const char* kMountInfo =
    "1 0 254:1 / / rw,relatime shared:1 - ext4 /dev/mapper/luks-1234 rw\n"
    "2 1 254:1 / /mnt/My\\040Files rw shared:2 master:1 - ext4 /dev/mapper/luks-1234 "
    "rw,data=journal\n"
    "3 1 0:40 /@home /home rw,relatime - btrfs /dev/sdb1 rw,compress=zstd:3,subvol=/@home\n"
    "4 1 0:41 / /tmp rw - tmpfs tmpfs rw,size=1g\n"
    "5 1 0:42 / /net rw - nfs4 srv:/export rw,vers=4.2\n"
    "6 1 0:43 / /ssh rw - fuse.sshfs me@host:/ rw\n"
    "7 1 0:44 / /ov rw - overlay overlay rw,lowerdir=/a,upperdir=/b\n"
    "8 1 0:45 / /usb rw - fuseblk /dev/loop3 rw,user_id=0\n"
    "9 1 0:46 / /f rw - f2fs /dev/sdb1 rw\n"
    "10 1 0:47 / /z rw - zfs pool/data rw\n"
    "this line is not a mount\n"
    "11 1 x:y / /bad rw - ext4 /dev/sda1 rw\n"
    "12 1 0:48 / /odd rw - xfs /dev/dm-7 rw\n"
    "13 1 0:49 / /w rw - weirdfs none rw\n";

TEST(StorageFactsTest, MountInfoAndDeviceStacksGiveTheCaveats) {
    const auto mounts = ParseMountEntries(kMountInfo);
    ASSERT_EQ(mounts.size(), 12u);  // the two malformed lines are skipped
    FedSysfs sys = Machine();
    sys.paths["/dev/dm-7"] = "dm-7";

    struct Row {
        const char* mountPoint;
        std::vector<Caveat> caveats;
        std::vector<std::string> devices;  // the stack, top first
    };
    using C = Caveat;
    const std::vector<Row> rows = {
        {"/", {C::ReachesBlocks, C::Flash, C::Encrypted}, {"dm-1", "dm-0", "sda2", "sda"}},
        {"/mnt/My Files",
         {C::DataJournal, C::Flash, C::Encrypted},
         {"dm-1", "dm-0", "sda2", "sda"}},
        {"/home", {C::CopyOnWrite, C::Compressed}, {"sdb1", "sdb"}},
        {"/tmp", {C::MemoryOnly}, {}},
        {"/net", {C::Network}, {}},
        {"/ssh", {C::Network}, {}},
        {"/ov", {C::Overlay}, {}},
        {"/usb", {C::ReachesBlocks, C::LoopImage}, {"loop3"}},
        {"/f", {C::LogStructured}, {"sdb1", "sdb"}},
        {"/z", {C::CopyOnWrite}, {}},
        {"/odd", {C::ReachesBlocks}, {"dm-7", "sdb1", "sdb"}},
        {"/w", {C::Unknown}, {}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.mountPoint);
        ASSERT_EQ(mounts[i].mountPoint, row.mountPoint);
        const StorageFacts f = BuildFacts(mounts[i], sys, std::nullopt);
        EXPECT_EQ(f.caveats, row.caveats) << CaveatText(f.caveats);
        std::vector<std::string> names;
        for (const auto& d : f.devices) names.push_back(d.name);
        EXPECT_EQ(names, row.devices);
    }

    const StorageFacts root = BuildFacts(mounts[0], sys, std::nullopt);
    EXPECT_TRUE(root.encrypted);
    EXPECT_TRUE(root.nonRotational);
    EXPECT_FALSE(root.acceptsDiscard);  // the crypt mapping passes no discards on
    EXPECT_EQ(root.model, "FLASHDISK 1TB");
    EXPECT_EQ(root.serial, "SN123456");
    EXPECT_EQ(root.devices[1].dmName, "vg-root");
    EXPECT_EQ(root.devices[1].kind, BlockDeviceFacts::Kind::DeviceMapper);
    EXPECT_EQ(root.devices[3].sizeBytes, 1000215216ull * 512);

    const StorageFacts home = BuildFacts(mounts[2], sys, std::nullopt);
    EXPECT_EQ(home.compression, "zstd:3");
    EXPECT_EQ(home.subvolume, "/@home");
    EXPECT_EQ(home.serial, "WD-XYZ");
    EXPECT_FALSE(home.nonRotational);

    const StorageFacts usb = BuildFacts(mounts[7], sys, std::nullopt);
    EXPECT_EQ(usb.devices[0].backingFile, "/srv/disk images/a.img");
    EXPECT_TRUE(TrimHelps(usb));  // discards punch holes in the image
    EXPECT_FALSE(TrimHelps(home));

    // Escapes: blank, tab, newline, backslash; a backslash without three octal digits
    // stays as it is.
    const auto esc = ParseMountEntries("1 0 8:1 / /a\\011b\\012c\\134d\\9 rw - ext4 /dev/x rw\n");
    ASSERT_EQ(esc.size(), 1u);
    EXPECT_EQ(esc[0].mountPoint, "/a\tb\nc\\d\\9");
    EXPECT_EQ(MountOption("rw,data=journal,noatime", "data"), "journal");
    EXPECT_EQ(MountOption("rw,data=journal,noatime", "noatime"), "");
    EXPECT_FALSE(MountOption("rw,nodata=x", "data"));
}

}  // namespace
}  // namespace tw
