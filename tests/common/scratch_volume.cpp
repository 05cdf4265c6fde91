// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/common/scratch_volume.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/fs.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tw::test {

namespace {

bool InPath(const std::string& tool) {
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    dirs += ":/usr/sbin:/sbin";  // root's tools, even with a user's PATH
    std::stringstream ss(dirs);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty()) continue;
        if (access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool IsMountPoint(const std::string& path) {
    struct stat a {
    }, b{};
    if (stat(path.c_str(), &a) != 0 || stat((path + "/..").c_str(), &b) != 0) return false;
    return a.st_dev != b.st_dev;
}

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
    // Keep going past a failure: remove as much as can be removed.
    if (type == FTW_DP)
        rmdir(path);
    else
        unlink(path);
    return 0;
}

// Waits for `pid` up to `timeout`; true when it ended.
bool WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

const char* FsName(FsKind kind) {
    static const char* const kNames[] = {"ext4", "NTFS", "tmpfs", "btrfs"};  // by FsKind
    return kNames[static_cast<int>(kind)];
}

std::string ScratchUnavailable(FsKind kind) {
    if (geteuid() != 0) return "mounting an image needs root";
    std::vector<const char*> tools = {"mount", "umount"};
    if (kind == FsKind::Ext4 || kind == FsKind::Btrfs) {
        tools.push_back(kind == FsKind::Ext4 ? "mkfs.ext4" : "mkfs.btrfs");
        tools.push_back("losetup");
        if (access("/dev/loop-control", R_OK | W_OK) != 0) return "no /dev/loop-control";
    } else if (kind == FsKind::Ntfs) {
        tools = {"mkntfs", "ntfs-3g", "umount"};
        if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
    }
    for (const char* t : tools)
        if (!InPath(t)) return std::string(t) + " is not installed";
    return "";
}

int RunTool(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // No terminal to answer a confirmation on: a tool that asks must refuse.
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (output) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
        posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
        posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (output) {
        close(pipeFds[1]);
        if (rc == 0) {
            char buf[4096];
            ssize_t n;
            while ((n = read(pipeFds[0], buf, sizeof buf)) > 0) output->append(buf, n);
        }
        close(pipeFds[0]);
    }
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir(std::string_view tag) {
    const char* base = getenv("TW_SCRATCH_BASE");
    std::string tmpl =
        std::string(base && *base ? base : "/tmp") + "/tw-" + std::string(tag) + "-XXXXXX";
    if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    // FTW_MOUNT keeps the walk on this file system: a mount left behind by a failed
    // unmount is never emptied from here.
    nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

LoopDevice::LoopDevice(const std::string& image) {
    std::string out;
    if (RunTool({"losetup", "--find", "--show", image}, &out) != 0) return;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    if (out.rfind("/dev/loop", 0) == 0) dev_ = out;
}

LoopDevice::~LoopDevice() {
    // A FUSE daemon may hold the device a moment after its unmount.
    for (int i = 0; !dev_.empty() && i < 50; ++i) {
        if (RunTool({"losetup", "-d", dev_}) == 0) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

ScratchVolume::ScratchVolume(FsKind kind, uint32_t sizeMiB, std::string_view label,
                             const ScratchOptions& options)
    : kind_(kind),
      sizeMiB_(sizeMiB),
      dir_(std::string("scratch-") + FsName(kind)),
      options_(options) {
    if (!dir_.Ok()) {
        error_ = "cannot make a temporary folder";
        return;
    }
    if (std::string why = ScratchUnavailable(kind); !why.empty()) {
        error_ = why;
        return;
    }
    mountPoint_ = dir_.Path() + "/mnt";
    if (mkdir(mountPoint_.c_str(), 0755) != 0) {
        error_ = "cannot make the mount point";
        return;
    }
    if (kind == FsKind::Tmpfs) {
        Mount();
        return;
    }
    image_ = dir_.Path() + "/volume.img";
    int fd = open(image_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(SizeBytes())) != 0) {
        if (fd >= 0) close(fd);
        error_ = "cannot make the image file";
        return;
    }
    close(fd);
    device_ = image_;
    std::string out;
    if (options.loopDevice || options.crypt) {
        loop_ = std::make_unique<LoopDevice>(image_);
        if (loop_->Path().empty()) {
            error_ = "losetup: no loop device";
            return;
        }
        device_ = loop_->Path();
    }
    if (options.crypt) {
        const std::string key = dir_ / "key";
        const std::string mapping = "twscratch" + std::to_string(getpid());
        if (!WriteFileBytes(key, std::string(64, 'k')) ||
            RunTool({"cryptsetup", "open", "--type", "plain", "--cipher", "aes-xts-plain64",
                     "--key-size", "256", "--key-file", key, device_, mapping},
                    &out) != 0) {
            error_ = "cryptsetup open: " + out;
            return;
        }
        mapping_ = mapping;
        device_ = "/dev/mapper/" + mapping;
    }
    std::vector<std::string> argv;
    if (kind == FsKind::Ext4)
        argv = {"mkfs.ext4", "-q", "-F", "-b", "4096", "-E", "nodiscard", "-L", std::string(label)};
    else if (kind == FsKind::Btrfs)
        argv = {"mkfs.btrfs", "-q", "-f", "-L", std::string(label)};
    else
        argv = {"mkntfs", "-q", "-F", "-f", "-c", "4096", "-L", std::string(label)};
    argv.insert(argv.end(), options.mkfs.begin(), options.mkfs.end());
    argv.push_back(device_);
    if (RunTool(argv, &out) != 0) {
        error_ = std::string("formatting failed: ") + out;
        return;
    }
    Mount();
}

ScratchVolume::~ScratchVolume() {
    Unmount();
    for (int i = 0; !mapping_.empty() && i < 50; ++i) {
        if (RunTool({"cryptsetup", "close", mapping_}) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool ScratchVolume::Mount() {
    if (mounted_) return true;
    if (kind_ == FsKind::Tmpfs) {
        std::string out;
        if (RunTool({"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(sizeMiB_) + "m",
                     "tmpfs", mountPoint_},
                    &out) != 0) {
            error_ = "mount -t tmpfs failed: " + out;
            return false;
        }
        mounted_ = true;
        return true;
    }
    if (device_.empty()) return false;
    std::string opts;
    for (const auto& o : options_.mount) opts += "," + o;
    if (kind_ != FsKind::Ntfs) {
        std::string out;
        const std::string loop = device_ == image_ ? "loop" : "rw";
        if (RunTool({"mount", "-o", loop + opts, device_, mountPoint_}, &out) != 0) {
            error_ = "mount -o " + loop + opts + " failed: " + out;
            return false;
        }
        mounted_ = true;
        return true;
    }
    // ntfs-3g stays in the foreground as our child, so that Unmount can wait for it.
    const std::vector<std::string> argv = {"ntfs-3g", "-o", "no_detach" + opts, device_,
                                           mountPoint_};
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        error_ = "cannot start ntfs-3g";
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!IsMountPoint(mountPoint_)) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            error_ = "ntfs-3g ended without mounting";
            return false;
        }
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            error_ = "ntfs-3g did not mount in time";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    daemon_ = pid;
    mounted_ = true;
    return true;
}

bool ScratchVolume::Unmount() {
    if (!mounted_) return true;
    bool ok = false;
    for (int attempt = 0; attempt < 50 && !ok; ++attempt) {
        ok = RunTool({"umount", mountPoint_}) == 0 || !IsMountPoint(mountPoint_);
        if (!ok) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!ok) {
        error_ = "umount failed";
        return false;
    }
    if (daemon_ > 0) {
        if (!WaitFor(daemon_, std::chrono::seconds(30))) {
            kill(daemon_, SIGKILL);
            WaitFor(daemon_, std::chrono::seconds(5));
        }
        daemon_ = -1;
    }
    mounted_ = false;
    return true;
}

std::vector<uint8_t> ScratchVolume::ReadImage() {
    std::vector<uint8_t> bytes;
    if (image_.empty()) return bytes;
    const bool wasMounted = mounted_;
    Unmount();
    std::ifstream in(image_, std::ios::binary);
    if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (wasMounted) Mount();
    return bytes;
}

size_t CountOccurrences(const std::vector<uint8_t>& hay, std::string_view needle) {
    if (needle.empty() || hay.size() < needle.size()) return 0;
    size_t count = 0;
    const std::string_view h(reinterpret_cast<const char*>(hay.data()), hay.size());
    for (size_t at = h.find(needle); at != std::string_view::npos; at = h.find(needle, at + 1))
        ++count;
    return count;
}

bool WriteFileBytes(const std::string& path, std::string_view data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out.flush());
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

static bool SetInodeFlag(const std::string& path, int flag, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | flag) : (flags & ~flag);
    ok = ok && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return ok;
}
bool SetImmutable(const std::string& path, bool on) {
    return SetInodeFlag(path, FS_IMMUTABLE_FL, on);
}
bool SetAppendOnly(const std::string& path, bool on) {
    return SetInodeFlag(path, FS_APPEND_FL, on);
}

}  // namespace tw::test
