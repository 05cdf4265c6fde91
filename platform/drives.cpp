// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/drives.h"

#include <dirent.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/fileio.h"
#include "platform/storage_facts.h"

namespace tw {

static bool IsPseudo(const std::string& fs) {
    static const std::set<std::string> kPseudo = {
        "proc",     "sysfs",     "cgroup",     "cgroup2",     "devpts",     "mqueue",
        "debugfs",  "tracefs",   "securityfs", "pstore",      "bpf",        "configfs",
        "fusectl",  "hugetlbfs", "autofs",     "binfmt_misc", "rpc_pipefs", "nsfs",
        "efivarfs", "devtmpfs",  "overlay",    "selinuxfs",   "squashfs",   "ramfs_ignored"};
    return kPseudo.count(fs) != 0;
}

static DriveType Classify(const std::string& fs, const std::string& device) {
    static const std::set<std::string> kRemote = {"nfs",   "nfs4",        "cifs",  "smb3",
                                                  "smbfs", "fuse.sshfs",  "9p",    "afs",
                                                  "ceph",  "fuse.rclone", "davfs", "fuse.davfs2"};
    static const std::set<std::string> kRam = {"tmpfs", "ramfs", "zram"};
    if (kRemote.count(fs)) return DriveType::Remote;
    if (kRam.count(fs) || device.rfind("/dev/zram", 0) == 0) return DriveType::RamDisk;
    if (fs == "iso9660" || fs == "udf" || device.rfind("/dev/sr", 0) == 0) return DriveType::CdRom;
    if (device.rfind("/dev/", 0) == 0) {
        // /sys/block/<disk>/removable, for the disk holding this partition.
        std::string name = device.substr(5);
        char real[PATH_MAX];
        if (realpath(device.c_str(), real)) name = std::string(real).substr(5);
        std::string sys = "/sys/class/block/" + name;
        char link[PATH_MAX];
        if (realpath(sys.c_str(), link)) {
            std::string p = link;
            // A partition's folder sits inside its disk's folder.
            std::ifstream part(p + "/partition");
            if (part) p = p.substr(0, p.rfind('/'));
            std::ifstream rem(p + "/removable");
            int r = 0;
            if (rem >> r && r == 1) return DriveType::Removable;
        }
        return DriveType::Fixed;
    }
    if (fs == "fuseblk" || fs.rfind("fuse", 0) == 0) return DriveType::Fixed;
    return DriveType::Unknown;
}

std::vector<DriveInfo> ParseMountInfo(const std::string& text) {
    std::vector<DriveInfo> out;
    for (const MountEntry& e : ParseMountEntries(text)) {
        DriveInfo d;
        d.mountPoint = e.mountPoint;
        d.fsType = e.fsType;
        d.device = e.source;
        d.readOnly = e.mountOptions == "ro" || e.mountOptions.rfind("ro,", 0) == 0;
        d.devId = makedev(e.major, e.minor);
        if (IsPseudo(d.fsType)) continue;
        if (d.mountPoint.rfind("/proc", 0) == 0 || d.mountPoint.rfind("/sys", 0) == 0 ||
            d.mountPoint == "/dev" || d.mountPoint.rfind("/dev/", 0) == 0)
            continue;
        d.type = Classify(d.fsType, d.device);
        out.push_back(std::move(d));
    }
    return out;
}

std::vector<DriveInfo> ListMounts() {
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream ss;
    ss << in.rdbuf();
    auto drives = ParseMountInfo(ss.str());
    // Labels from /dev/disk/by-label.
    for (auto& d : drives) {
        if (d.device.rfind("/dev/", 0) != 0) continue;
        char devReal[PATH_MAX];
        if (!realpath(d.device.c_str(), devReal)) continue;
        std::string dir = "/dev/disk/by-label";
        if (auto* dp = opendir(dir.c_str())) {
            while (auto* e = readdir(dp)) {
                if (e->d_name[0] == '.') continue;
                char r[PATH_MAX];
                std::string p = platform::JoinPath(dir, e->d_name);
                if (realpath(p.c_str(), r) && std::string(r) == devReal) {
                    d.label = UnescapeMountField(e->d_name);
                    break;
                }
            }
            closedir(dp);
        }
    }
    return drives;
}

std::optional<DriveInfo> MountOf(const std::string& path) {
    char real[PATH_MAX];
    if (!realpath(path.c_str(), real)) return std::nullopt;
    std::string p = real;
    std::optional<DriveInfo> best;
    for (auto& d : ListMounts()) {
        const std::string& m = d.mountPoint;
        bool under = (m == "/") || p == m ||
                     (p.rfind(m, 0) == 0 && p.size() > m.size() && p[m.size()] == '/');
        // Later mounts over the same point hide earlier ones: keep the last, longest.
        if (under && (!best || m.size() >= best->mountPoint.size())) best = d;
    }
    return best;
}

bool IsLocal(DriveType t) {
    return t == DriveType::Fixed || t == DriveType::Removable || t == DriveType::RamDisk;
}

std::string FirstLocalDriveRoot() {
    for (auto& d : ListMounts())
        if (d.type == DriveType::Fixed || d.type == DriveType::Removable ||
            d.type == DriveType::RamDisk)
            return d.Root();
    return "";
}

std::optional<FreeSpace> GetFreeSpace(const std::string& path) {
    struct statvfs s {};
    if (statvfs(path.c_str(), &s) != 0) return std::nullopt;
    FreeSpace f;
    uint64_t frag = s.f_frsize ? s.f_frsize : s.f_bsize;
    f.availableBytes = static_cast<uint64_t>(s.f_bavail) * frag;
    f.freeBytes = static_cast<uint64_t>(s.f_bfree) * frag;
    f.totalBytes = static_cast<uint64_t>(s.f_blocks) * frag;
    f.blockSize = static_cast<uint32_t>(s.f_bsize);
    return f;
}

std::string ProgramFolder() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./";
    std::string p(buf, static_cast<size_t>(n));
    auto slash = p.rfind('/');
    return slash == std::string::npos ? "./" : p.substr(0, slash + 1);
}

std::string HomeFolder() {
    if (const char* h = getenv("HOME"); h && *h) return h;
    if (passwd* pw = getpwuid(getuid())) return pw->pw_dir;
    return "/";
}

}  // namespace tw
