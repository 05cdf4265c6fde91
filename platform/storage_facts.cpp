// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/storage_facts.h"

#include <dirent.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/drives.h"
#include "platform/strings.h"

namespace tw {

namespace {

constexpr size_t kMaxMountLines = 65536;
constexpr size_t kMaxLineBytes = 64 * 1024;
constexpr size_t kMaxStackDevices = 64;
constexpr int kMaxStackDepth = 16;

struct CaveatInfo {
    Caveat caveat;
    int textId;
    std::string_view key;
};

constexpr std::array<CaveatInfo, 12> kCaveats = {{
    {Caveat::ReachesBlocks, TextId<1740>, "reaches-blocks"},
    {Caveat::CopyOnWrite, TextId<1741>, "copy-on-write"},
    {Caveat::LogStructured, TextId<1742>, "log-structured"},
    {Caveat::DataJournal, TextId<1743>, "data-journal"},
    {Caveat::Compressed, TextId<1744>, "compressed"},
    {Caveat::Overlay, TextId<1745>, "overlay"},
    {Caveat::Flash, TextId<1746>, "flash"},
    {Caveat::Encrypted, TextId<1747>, "encrypted"},
    {Caveat::MemoryOnly, TextId<1748>, "memory-only"},
    {Caveat::Network, TextId<1749>, "network"},
    {Caveat::LoopImage, TextId<1750>, "image-file"},
    {Caveat::Unknown, TextId<1751>, "unknown"},
}};

const CaveatInfo& InfoOf(Caveat c) {
    for (const auto& i : kCaveats)
        if (i.caveat == c) return i;
    return kCaveats.back();
}

std::vector<std::string_view> SplitBlanks(std::string_view line) {
    std::vector<std::string_view> f;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) f.push_back(line.substr(start, i - start));
    }
    return f;
}

bool ParseUnsigned(std::string_view s, unsigned& out) {
    if (s.empty() || s.size() > 9) return false;
    unsigned v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v * 10 + static_cast<unsigned>(ch - '0');
    }
    out = v;
    return true;
}

uint64_t ToU64(const std::optional<std::string>& s) {
    if (!s || s->empty()) return 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(s->c_str(), &end, 10);
    return end && *end == '\0' ? static_cast<uint64_t>(v) : 0;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ' || s.back() == '\t' ||
                          s.back() == '\0' || s.back() == '\r'))
        s.pop_back();
    size_t b = 0;
    while (b < s.size() && (s[b] == ' ' || s[b] == '\t')) ++b;
    return s.substr(b);
}

// Printable characters only: model and serial texts end up in JSON and on terminals.
std::string Printable(std::string s) {
    std::string out;
    for (char ch : s)
        if (static_cast<unsigned char>(ch) >= 0x20 && static_cast<unsigned char>(ch) < 0x7f)
            out += ch;
    return Trim(out);
}

// A SCSI/ATA unit serial number page (VPD 0x80): 4 header bytes, then the serial.
std::string SerialFromVpd80(const std::string& page) {
    if (page.size() <= 4) return "";
    size_t len = static_cast<unsigned char>(page[3]);
    return Printable(page.substr(4, len));
}

bool IsNetworkFs(std::string_view fs) {
    static const std::set<std::string_view> k = {
        "nfs",   "nfs4",      "cifs",   "smb3",           "smbfs",       "fuse.sshfs",
        "sshfs", "9p",        "afs",    "ceph",           "fuse.rclone", "fuse.davfs2",
        "davfs", "glusterfs", "lustre", "fuse.glusterfs", "fuse.s3fs",   "fuse.gcsfuse"};
    return k.count(fs) != 0;
}

// File systems known to write file data in place: an overwrite of a file's bytes lands
// on the blocks that held them.
bool WritesInPlace(std::string_view fs) {
    static const std::set<std::string_view> k = {
        "ext2", "ext3",  "ext4",    "xfs", "vfat",     "msdos",   "fat",   "exfat",
        "ntfs", "ntfs3", "fuseblk", "jfs", "reiserfs", "hfsplus", "minix", "udf"};
    return k.count(fs) != 0;
}

}  // namespace

int CaveatTextId(Caveat c) { return InfoOf(c).textId; }

std::string_view CaveatKey(Caveat c) { return InfoOf(c).key; }

std::string CaveatText(const std::vector<Caveat>& caveats) {
    std::string out;
    for (Caveat c : caveats) {
        if (!out.empty()) out += "; ";
        out += Text(CaveatTextId(c));
    }
    return out;
}

std::string UnescapeMountField(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        auto oct = [](char ch) { return ch >= '0' && ch <= '7'; };
        if (s[i] == '\\' && i + 3 < s.size() && oct(s[i + 1]) && oct(s[i + 2]) && oct(s[i + 3])) {
            out += static_cast<char>(((s[i + 1] - '0') << 6) | ((s[i + 2] - '0') << 3) |
                                     (s[i + 3] - '0'));
            i += 3;
            continue;
        }
        out += s[i];
    }
    return out;
}

std::vector<MountEntry> ParseMountEntries(std::string_view text) {
    std::vector<MountEntry> out;
    size_t pos = 0, lines = 0;
    while (pos < text.size() && lines < kMaxMountLines) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        std::string_view line = text.substr(pos, nl - pos);
        pos = nl + 1;
        ++lines;
        if (line.size() > kMaxLineBytes) continue;
        // id parent major:minor root mountpoint options [optional fields...] - fstype
        // source superoptions
        auto f = SplitBlanks(line);
        size_t dash = 0;
        for (size_t i = 6; i < f.size(); ++i)
            if (f[i] == "-") {
                dash = i;
                break;
            }
        if (dash == 0 || f.size() < dash + 3) continue;
        MountEntry e;
        unsigned id = 0, parent = 0;
        if (!ParseUnsigned(f[0], id) || !ParseUnsigned(f[1], parent)) continue;
        e.id = static_cast<int>(id);
        e.parentId = static_cast<int>(parent);
        size_t colon = f[2].find(':');
        if (colon == std::string_view::npos || !ParseUnsigned(f[2].substr(0, colon), e.major) ||
            !ParseUnsigned(f[2].substr(colon + 1), e.minor))
            continue;
        e.root = UnescapeMountField(f[3]);
        e.mountPoint = UnescapeMountField(f[4]);
        e.mountOptions = std::string(f[5]);
        e.fsType = UnescapeMountField(f[dash + 1]);
        e.source = UnescapeMountField(f[dash + 2]);
        if (dash + 3 < f.size()) e.superOptions = UnescapeMountField(f[dash + 3]);
        out.push_back(std::move(e));
    }
    return out;
}

bool IsPseudoFileSystem(std::string_view fs) {
    static const std::set<std::string_view> k = {
        "proc",     "sysfs",     "cgroup",     "cgroup2",     "devpts",       "mqueue",
        "debugfs",  "tracefs",   "securityfs", "pstore",      "bpf",          "configfs",
        "fusectl",  "hugetlbfs", "autofs",     "binfmt_misc", "rpc_pipefs",   "nsfs",
        "efivarfs", "devtmpfs",  "selinuxfs",  "nfsd",        "ramfs_ignored"};
    return k.count(fs) != 0;
}

std::optional<std::string> MountOption(std::string_view options, std::string_view key) {
    size_t pos = 0;
    while (pos <= options.size()) {
        size_t comma = options.find(',', pos);
        if (comma == std::string_view::npos) comma = options.size();
        std::string_view opt = options.substr(pos, comma - pos);
        size_t eq = opt.find('=');
        std::string_view name = opt.substr(0, eq);
        if (name == key)
            return eq == std::string_view::npos ? std::string() : std::string(opt.substr(eq + 1));
        pos = comma + 1;
    }
    return std::nullopt;
}

std::string_view BlockKindKey(BlockDeviceFacts::Kind k) {
    switch (k) {
        case BlockDeviceFacts::Kind::Disk:
            return "disk";
        case BlockDeviceFacts::Kind::Partition:
            return "partition";
        case BlockDeviceFacts::Kind::Loop:
            return "loop";
        case BlockDeviceFacts::Kind::DmCrypt:
            return "dm-crypt";
        case BlockDeviceFacts::Kind::DeviceMapper:
            return "device-mapper";
        case BlockDeviceFacts::Kind::Raid:
            return "raid";
        case BlockDeviceFacts::Kind::Memory:
            return "memory";
    }
    return "disk";
}

// ---- the live sysfs ----

namespace {

class LiveBlockSysfs final : public BlockSysfs {
  public:
    std::optional<std::string> Attr(const std::string& name,
                                    const std::string& attr) const override {
        if (!SafeName(name)) return std::nullopt;
        std::ifstream in("/sys/class/block/" + name + "/" + attr, std::ios::binary);
        if (!in) return std::nullopt;
        // sysfs attributes are one page at most.
        std::string s(4096, '\0');
        in.read(s.data(), static_cast<std::streamsize>(s.size()));
        s.resize(static_cast<size_t>(in.gcount()));
        return Trim(s);
    }
    std::vector<std::string> Slaves(const std::string& name) const override {
        std::vector<std::string> out;
        if (!SafeName(name)) return out;
        if (DIR* d = opendir(("/sys/class/block/" + name + "/slaves").c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') out.emplace_back(e->d_name);
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string Parent(const std::string& name) const override {
        if (!SafeName(name) || !Attr(name, "partition")) return "";
        // A partition's folder sits inside its disk's folder.
        char real[PATH_MAX];
        if (!realpath(("/sys/class/block/" + name).c_str(), real)) return "";
        std::string p = real;
        p = p.substr(0, p.rfind('/'));
        return p.substr(p.rfind('/') + 1);
    }
    std::string NameOfNumber(unsigned major, unsigned minor) const override {
        char real[PATH_MAX];
        std::string link = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
        if (!realpath(link.c_str(), real)) return "";
        std::string p = real;
        return p.substr(p.rfind('/') + 1);
    }
    std::string NameOfPath(const std::string& devPath) const override {
        struct stat st {};
        if (stat(devPath.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
        return NameOfNumber(major(st.st_rdev), minor(st.st_rdev));
    }

  private:
    static bool SafeName(const std::string& n) {
        return !n.empty() && n.find('/') == std::string::npos && n != "." && n != "..";
    }
};

void FillDevice(const BlockSysfs& sys, BlockDeviceFacts& d) {
    d.path = "/dev/" + d.name;
    d.sizeBytes = ToU64(sys.Attr(d.name, "size")) * 512;  // always 512-byte sectors
    d.rotational = ToU64(sys.Attr(d.name, "queue/rotational")) != 0;
    d.removable = ToU64(sys.Attr(d.name, "removable")) != 0;
    d.readOnly = ToU64(sys.Attr(d.name, "ro")) != 0;
    d.discardGranularity = ToU64(sys.Attr(d.name, "queue/discard_granularity"));
    d.discardMaxBytes = ToU64(sys.Attr(d.name, "queue/discard_max_bytes"));
    if (auto m = sys.Attr(d.name, "device/model")) d.model = Printable(*m);
    if (auto s = sys.Attr(d.name, "device/serial")) d.serial = Printable(*s);
    if (d.serial.empty())
        if (auto v = sys.Attr(d.name, "device/vpd_pg80")) d.serial = SerialFromVpd80(*v);
    if (sys.Attr(d.name, "partition")) {
        d.kind = BlockDeviceFacts::Kind::Partition;
    } else if (auto uuid = sys.Attr(d.name, "dm/uuid")) {
        // cryptsetup names its mappings' uuids CRYPT-<type>-...: LUKS1, LUKS2, PLAIN.
        d.kind = StartsWith(*uuid, "CRYPT-") ? BlockDeviceFacts::Kind::DmCrypt
                                             : BlockDeviceFacts::Kind::DeviceMapper;
        d.dmName = Printable(sys.Attr(d.name, "dm/name").value_or(""));
    } else if (sys.Attr(d.name, "dm/name")) {
        d.kind = BlockDeviceFacts::Kind::DeviceMapper;
        d.dmName = Printable(*sys.Attr(d.name, "dm/name"));
    } else if (sys.Attr(d.name, "loop/backing_file") || StartsWith(d.name, "loop")) {
        d.kind = BlockDeviceFacts::Kind::Loop;
        d.backingFile = Trim(sys.Attr(d.name, "loop/backing_file").value_or(""));
    } else if (sys.Attr(d.name, "md/level")) {
        d.kind = BlockDeviceFacts::Kind::Raid;
    } else if (StartsWith(d.name, "zram") || StartsWith(d.name, "ram")) {
        d.kind = BlockDeviceFacts::Kind::Memory;
    }
}

}  // namespace

const BlockSysfs& LiveSysfs() {
    static const LiveBlockSysfs live;
    return live;
}

std::vector<BlockDeviceFacts> ResolveDeviceStack(const BlockSysfs& sys, const std::string& name) {
    std::vector<BlockDeviceFacts> out;
    if (name.empty()) return out;
    // Breadth-first over the stack, each device once (a loop in fed data cannot spin).
    std::vector<std::pair<std::string, int>> queue = {{name, 0}};
    std::set<std::string> seen;
    for (size_t i = 0; i < queue.size() && out.size() < kMaxStackDevices; ++i) {
        auto [n, depth] = queue[i];
        if (depth > kMaxStackDepth || !seen.insert(n).second) continue;
        BlockDeviceFacts d;
        d.name = n;
        d.depth = depth;
        FillDevice(sys, d);
        if (d.kind == BlockDeviceFacts::Kind::Partition) {
            std::string parent = sys.Parent(n);
            if (!parent.empty()) queue.emplace_back(parent, depth + 1);
        } else {
            for (auto& s : sys.Slaves(n)) queue.emplace_back(s, depth + 1);
        }
        out.push_back(std::move(d));
    }
    return out;
}

bool StorageFacts::Has(Caveat c) const {
    return std::find(caveats.begin(), caveats.end(), c) != caveats.end();
}

namespace {

void DeriveDeviceFacts(StorageFacts& f) {
    bool anyDisk = false, allRotational = true;
    for (const auto& d : f.devices) {
        using K = BlockDeviceFacts::Kind;
        if (d.kind == K::DmCrypt) f.encrypted = true;
        if (d.removable) f.removable = true;
        // The bottom of the stack: disks (and memory disks) with nothing under them.
        bool bottom = d.kind == K::Disk || d.kind == K::Memory;
        if (bottom) {
            anyDisk = true;
            if (!d.rotational) allRotational = false;
            if (f.model.empty()) f.model = d.model;
            if (f.serial.empty()) f.serial = d.serial;
        }
    }
    if (!f.devices.empty()) f.acceptsDiscard = f.devices.front().AcceptsDiscard();
    f.nonRotational = anyDisk && !allRotational;
}

void DeriveCaveats(StorageFacts& f) {
    using K = BlockDeviceFacts::Kind;
    auto add = [&f](Caveat c) {
        if (!f.Has(c)) f.caveats.push_back(c);
    };
    const std::string& fs = f.fsType;
    bool inPlace = false;
    if (f.network) {
        add(Caveat::Network);
    } else if (f.memoryOnly) {
        add(Caveat::MemoryOnly);
    } else if (f.overlay) {
        add(Caveat::Overlay);
    } else if (f.copyOnWrite) {
        add(Caveat::CopyOnWrite);
    } else if (f.logStructured) {
        add(Caveat::LogStructured);
    } else if (fs.empty() || WritesInPlace(fs)) {
        inPlace = true;  // an unmounted device is written in place by a raw wipe
    } else {
        add(Caveat::Unknown);
    }
    if (f.dataJournal) add(Caveat::DataJournal);
    if (!f.compression.empty() && f.compression != "no" && f.compression != "none")
        add(Caveat::Compressed);
    bool zram = false, loop = false;
    for (const auto& d : f.devices) {
        if (d.kind == K::Memory) zram = true;
        if (d.kind == K::Loop) loop = true;
    }
    // A data journal keeps copies, a RAM disk has no blocks to reach.
    if (inPlace && !f.dataJournal && !zram)
        f.caveats.insert(f.caveats.begin(), Caveat::ReachesBlocks);
    if (zram) add(Caveat::MemoryOnly);
    if (loop || !f.imageFile.empty()) add(Caveat::LoopImage);
    if (f.nonRotational && !zram) add(Caveat::Flash);
    if (f.encrypted) add(Caveat::Encrypted);
}

void DeriveFsFeatures(StorageFacts& f) {
    const std::string& fs = f.fsType;
    const std::string opts = f.mountOptions + "," + f.superOptions;
    f.network = IsNetworkFs(fs);
    f.memoryOnly = fs == "tmpfs" || fs == "ramfs";
    f.overlay = fs == "overlay" || fs == "aufs" || fs == "fuse.fuse-overlayfs";
    f.copyOnWrite = fs == "btrfs" || fs == "zfs" || fs == "bcachefs";
    f.logStructured = fs == "f2fs" || fs == "nilfs2";
    if (fs == "btrfs") {
        if (auto c = MountOption(opts, "compress-force")) f.compression = *c;
        if (auto c = MountOption(opts, "compress"); c && f.compression.empty())
            f.compression = c->empty() ? "zlib" : *c;
        if (auto s = MountOption(opts, "subvol")) f.subvolume = *s;
    }
    if (fs == "bcachefs") {
        if (auto c = MountOption(opts, "compression")) f.compression = *c;
    }
    if (fs == "zfs") {
        // ZFS keeps compression as a dataset property, not a mount option; nothing to
        // read here without its tools.
    }
    if (fs == "ext3" || fs == "ext4") {
        auto data = MountOption(opts, "data");
        f.dataJournal = data && *data == "journal";
    }
}

}  // namespace

StorageFacts BuildFacts(const MountEntry& mount, const BlockSysfs& sys,
                        std::optional<VolumeSpace> space, const std::string& path) {
    StorageFacts f;
    f.path = path.empty() ? mount.mountPoint : path;
    f.mountPoint = mount.mountPoint;
    f.fsType = mount.fsType;
    f.source = mount.source;
    f.mountOptions = mount.mountOptions;
    f.superOptions = mount.superOptions;
    f.space = space;
    DeriveFsFeatures(f);
    if (!f.network && !f.memoryOnly && !f.overlay) {
        // A block-backed file system reports its device's number; btrfs (and fuseblk)
        // report an anonymous one, so the source path is the way there.
        std::string name;
        if (mount.major != 0) name = sys.NameOfNumber(mount.major, mount.minor);
        if (name.empty() && StartsWith(mount.source, "/dev/")) name = sys.NameOfPath(mount.source);
        f.devices = ResolveDeviceStack(sys, name);
        // ntfs-3g and its kind, given an image file rather than a device, name the file
        // as their source: its own file system decides what the writes reach.
        if (name.empty() && StartsWith(f.fsType, "fuse") && StartsWith(mount.source, "/") &&
            !StartsWith(mount.source, "/dev/"))
            f.imageFile = mount.source;
    }
    DeriveDeviceFacts(f);
    DeriveCaveats(f);
    return f;
}

StorageFacts BuildDeviceFacts(const BlockSysfs& sys, const std::string& name) {
    StorageFacts f;
    f.path = "/dev/" + name;
    f.source = f.path;
    f.devices = ResolveDeviceStack(sys, name);
    DeriveDeviceFacts(f);
    DeriveCaveats(f);
    return f;
}

std::optional<MountEntry> MountHolding(const std::vector<MountEntry>& mounts,
                                       const std::string& realPath) {
    std::optional<MountEntry> best;
    for (const auto& m : mounts) {
        const std::string& mp = m.mountPoint;
        bool under =
            mp == "/" || realPath == mp ||
            (StartsWith(realPath, mp) && realPath.size() > mp.size() && realPath[mp.size()] == '/');
        // Later mounts over the same point hide earlier ones: keep the last, longest.
        if (under && (!best || mp.size() >= best->mountPoint.size())) best = m;
    }
    return best;
}

namespace {

Result<std::vector<MountEntry>> ReadMounts() {
    std::ifstream in("/proc/self/mountinfo");
    if (!in) return Error::FromErrno("/proc/self/mountinfo");
    std::stringstream ss;
    ss << in.rdbuf();
    return ParseMountEntries(ss.str());
}

std::optional<VolumeSpace> SpaceOf(const std::string& path) {
    const auto free = GetFreeSpace(path);
    struct statfs s {};
    if (!free || statfs(path.c_str(), &s) != 0) return std::nullopt;
    VolumeSpace sp;
    sp.totalBytes = free->totalBytes;
    sp.freeBytes = free->freeBytes;
    sp.availableBytes = free->availableBytes;
    sp.blockSize = free->blockSize;
    sp.magic = static_cast<uint64_t>(s.f_type);
    return sp;
}

}  // namespace

Result<StorageFacts> FactsForPath(const std::string& path) {
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real)) return Error::FromErrno(path);
    std::string rp = real;
    struct stat st {};
    if (stat(real, &st) == 0 && S_ISBLK(st.st_mode)) {
        std::string name = LiveSysfs().NameOfNumber(major(st.st_rdev), minor(st.st_rdev));
        if (name.empty()) return Error(ErrorCode::NotFound, path);
        auto mounts = ReadMounts();
        if (mounts.ok())
            for (const auto& m : *mounts)
                if (LiveSysfs().NameOfPath(m.source) == name || m.source == rp) {
                    auto f = BuildFacts(m, LiveSysfs(), SpaceOf(m.mountPoint), path);
                    return f;
                }
        auto f = BuildDeviceFacts(LiveSysfs(), name);
        f.path = path;
        return f;
    }
    auto mounts = ReadMounts();
    if (!mounts.ok()) return mounts.error();
    auto m = MountHolding(*mounts, rp);
    if (!m) return Error(ErrorCode::NotFound, path);
    return BuildFacts(*m, LiveSysfs(), SpaceOf(rp), path);
}

std::vector<StorageFacts> ListVolumeFacts(bool withPseudo) {
    std::vector<StorageFacts> out;
    auto mounts = ReadMounts();
    if (!mounts.ok()) return out;
    for (size_t i = 0; i < mounts->size(); ++i) {
        const MountEntry& m = (*mounts)[i];
        if (!withPseudo && IsPseudoFileSystem(m.fsType)) continue;
        // A later mount on the same point hides this one: what is reached there is the
        // later one's.
        const bool hidden =
            std::any_of(mounts->begin() + static_cast<std::ptrdiff_t>(i) + 1, mounts->end(),
                        [&m](const MountEntry& later) { return later.mountPoint == m.mountPoint; });
        if (!hidden) out.push_back(BuildFacts(m, LiveSysfs(), SpaceOf(m.mountPoint)));
    }
    return out;
}

std::vector<StorageFacts> ListBlockDeviceFacts() {
    std::vector<StorageFacts> out;
    std::vector<std::string> names;
    if (DIR* d = opendir("/sys/class/block")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
        StorageFacts f = BuildDeviceFacts(LiveSysfs(), n);
        // Unattached loop devices and empty drives have no size: nothing to reach.
        if (!f.devices.empty() && f.devices.front().sizeBytes > 0) out.push_back(std::move(f));
    }
    return out;
}

std::string VolumeCaveatText(const std::string& path) {
    auto f = FactsForPath(path);
    return f.ok() ? CaveatText(f->caveats) : std::string();
}

std::string VolumeCaveatLine(const StorageFacts& facts) {
    if (facts.caveats.empty()) return "";
    const std::string& where = facts.mountPoint.empty() ? facts.path : facts.mountPoint;
    const std::string& what = facts.fsType.empty() ? facts.source : facts.fsType;
    return TextWith(TextId<1752>, where, what, CaveatText(facts.caveats));
}

std::string VolumeCaveatLine(const std::string& path) {
    auto f = FactsForPath(path);
    return f.ok() ? VolumeCaveatLine(*f) : std::string();
}

bool TrimHelps(const StorageFacts& facts) {
    if (!facts.acceptsDiscard) return false;
    if (facts.nonRotational) return true;
    return std::any_of(facts.devices.begin(), facts.devices.end(), [](const BlockDeviceFacts& d) {
        return d.kind == BlockDeviceFacts::Kind::Loop;
    });
}

}  // namespace tw
