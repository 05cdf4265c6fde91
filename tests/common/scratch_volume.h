// SPDX-License-Identifier: GPL-3.0-or-later
// Scratch volumes for tests: a small image file formatted by the real tool and mounted
// under a private temporary folder, so that engine code can be pointed at a real file
// system and the raw bytes checked afterwards. Never touches anything it did not make.
//
//   ext4: truncate + mkfs.ext4, mounted with "mount -o loop" (needs root)
//   NTFS: truncate + mkntfs, mounted by ntfs-3g in the foreground (needs root and
//         /dev/fuse); its daemon is this process's child, so unmounting waits until
//         the image is completely written.
//   tmpfs: a size-limited RAM file system (needs root); no image: ReadImage() is empty.
//         It refuses O_DIRECT, which makes it the place to test buffered fallbacks.
//   btrfs: truncate + mkfs.btrfs, mounted like ext4.
// ScratchOptions add mount options, a loop device of their own (NTFS then mounts as
// fuseblk) and a plain dm-crypt mapping over it.
//
// Usage:
//   TW_REQUIRE_SCRATCH(tw::test::FsKind::Ext4);   // GTEST_SKIP with the reason if not
//   tw::test::ScratchVolume vol(tw::test::FsKind::Ext4, 32);
//   ASSERT_TRUE(vol.Ok()) << vol.Error();
//   ... write under vol.Root() ...
//   auto bytes = vol.ReadImage();   // unmounts, reads, mounts again
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tw::test {

enum class FsKind { Ext4, Ntfs, Tmpfs, Btrfs };

const char* FsName(FsKind kind);

// "" when a scratch volume of this kind can be made here, else why not (not root, no
// /dev/fuse, a tool missing, loop devices unavailable).
std::string ScratchUnavailable(FsKind kind);

// Runs a program (looked up in PATH) with arguments, stdout and stderr captured into
// `output` when given. Gives the exit status, or -1 when it could not be started.
int RunTool(const std::vector<std::string>& argv, std::string* output = nullptr);

// The first of `tools` not found in PATH, or "" when every one is there.
inline std::string MissingTool(std::initializer_list<const char*> tools) {
    for (const char* t : tools)
        if (RunTool({"sh", "-c", std::string("command -v ") + t}) != 0) return t;
    return "";
}

// A private temporary folder ("<base>/tw-<tag>-XXXXXX", base = $TW_SCRATCH_BASE or
// /tmp) removed with everything in it at destruction. Refuses to remove anything that
// is still a mount point.
class TempDir {
  public:
    explicit TempDir(std::string_view tag = "test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }  // no trailing "/"
    std::string operator/(std::string_view leaf) const { return path_ + "/" + std::string(leaf); }
    bool Ok() const { return !path_.empty(); }

  private:
    std::string path_;
};

// An image file attached to a free loop device, detached again at destruction (retried
// while a FUSE daemon still holds it). Path() is "" when none could be attached.
class LoopDevice {
  public:
    explicit LoopDevice(const std::string& image);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    const std::string& Path() const { return dev_; }

  private:
    std::string dev_;
};

struct ScratchOptions {
    std::vector<std::string> mkfs;   // after the usual options (features, inode size)
    std::vector<std::string> mount;  // "-o" options of the mount, e.g. "data=journal"
    bool loopDevice = false;         // format and mount a loop device of the image
    bool crypt = false;              // ... under a plain dm-crypt mapping (implies it)
};

class ScratchVolume {
  public:
    // Makes, formats and mounts an image of sizeMiB MiB. Check Ok() / Error().
    // `label` names the volume; the cluster (block) size is 4096 bytes.
    ScratchVolume(FsKind kind, uint32_t sizeMiB, std::string_view label = "twscratch",
                  const ScratchOptions& options = {});
    // Unmounts, and removes the image and the folders.
    ~ScratchVolume();
    ScratchVolume(const ScratchVolume&) = delete;
    ScratchVolume& operator=(const ScratchVolume&) = delete;

    bool Ok() const { return mounted_; }
    const std::string& Error() const { return error_; }
    // The mount point without, and the root with, a trailing "/".
    const std::string& MountPoint() const { return mountPoint_; }
    std::string Root() const { return mountPoint_ + "/"; }
    const std::string& ImagePath() const { return image_; }
    uint64_t SizeBytes() const { return static_cast<uint64_t>(sizeMiB_) << 20; }

    bool Mount();
    // Unmounts and waits until every write has reached the image. Harmless when not
    // mounted.
    bool Unmount();
    // The image's bytes as they are on "disk": unmounts first (so nothing is left in a
    // cache), reads the image, and mounts again if it was mounted.
    std::vector<uint8_t> ReadImage();

  private:
    FsKind kind_;
    uint32_t sizeMiB_;
    TempDir dir_;
    ScratchOptions options_;
    std::string image_, device_, mapping_, mountPoint_, error_;
    std::unique_ptr<LoopDevice> loop_;
    bool mounted_ = false;
    pid_t daemon_ = -1;  // the ntfs-3g process serving the mount
};

// How often `needle` occurs in `hay`.
size_t CountOccurrences(const std::vector<uint8_t>& hay, std::string_view needle);
// Whole-file helpers for tests ("" / false on failure).
bool WriteFileBytes(const std::string& path, std::string_view data);
std::string ReadFileBytes(const std::string& path);
// Sets or clears a file's immutable or append-only flag (root only); false where that
// cannot be done.
bool SetImmutable(const std::string& path, bool on);
bool SetAppendOnly(const std::string& path, bool on);

}  // namespace tw::test

// Skips the current test, with the reason, unless a scratch volume of `kind` can be made.
#define TW_REQUIRE_SCRATCH(kind)                                          \
    do {                                                                  \
        const std::string tw_why_ = ::tw::test::ScratchUnavailable(kind); \
        if (!tw_why_.empty())                                             \
            GTEST_SKIP() << ::tw::test::FsName(kind)                      \
                         << " scratch volume unavailable: " << tw_why_;   \
    } while (0)
