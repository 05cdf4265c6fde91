// SPDX-License-Identifier: GPL-3.0-or-later
// Storage facts: what lies under a path or a block device, and so what an overwrite there
// reaches and what it cannot.
//
// A wipe writes through a file system onto a stack of block devices. Whether the old
// bytes are gone afterwards depends on every layer: a copy-on-write or log-structured
// file system writes the new bytes elsewhere, a journal that holds data keeps a copy,
// flash remaps written blocks and keeps the old ones until they are trimmed, encryption
// leaves only ciphertext behind, memory and network file systems have no local blocks
// at all. This module gathers those facts (the mount from /proc/self/mountinfo, statfs,
// the device stack from /sys/class/block) and turns them into caveats, each a value
// with a text of the string table, so that plans, logs, the panel and receipts all say
// the same thing from one function (CaveatText).
//
// Parsing takes text in (mountinfo, sysfs attributes through BlockSysfs), so tests feed
// it; the Live* functions read this machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"

namespace tw {

// What an overwrite on a volume reaches, or why copies may survive it. Several apply
// to one volume: a file-system caveat and device caveats (flash, encryption) stack.
enum class Caveat : uint8_t {
    ReachesBlocks,  // the file system overwrites in place: the device's blocks are hit
    CopyOnWrite,    // btrfs, ZFS, bcachefs: an overwrite goes to new blocks
    LogStructured,  // f2fs, nilfs2: writes are appended, old blocks wait for cleaning
    DataJournal,    // ext3/ext4 data=journal: the journal holds copies of the data
    Compressed,     // transparent compression: fewer blocks written than bytes asked
    Overlay,        // an overlay: the lower layers keep the original files
    Flash,          // a non-rotational device: remapped blocks survive until trimmed
    Encrypted,      // dm-crypt below: what survives is ciphertext
    MemoryOnly,     // tmpfs, ramfs, zram: no disk blocks (swap may hold pages)
    Network,        // nfs, cifs, sshfs...: the server's disks hold the data
    LoopImage,      // a loop device: the image file's own file system decides
    Unknown,        // a file system this module knows nothing about
};

// The text id of a caveat in resources/strings.tsv.
int CaveatTextId(Caveat c);
// The caveats' texts joined by "; ", in the order given. This is the one text every
// plan, log line, tool tip and receipt shows for a volume.
std::string CaveatText(const std::vector<Caveat>& caveats);
// A short stable name for JSON ("reaches-blocks", "copy-on-write", ...).
std::string_view CaveatKey(Caveat c);

// One line of /proc/self/mountinfo, with its escapes (\040 for a blank, \011, \012,
// \134) undone.
struct MountEntry {
    int id = 0;
    int parentId = 0;
    unsigned major = 0, minor = 0;  // st_dev of the file system (0:n for virtual ones)
    std::string root;               // the folder of the file system mounted here
    std::string mountPoint;
    std::string mountOptions;  // per-mount: "rw,relatime"
    std::string fsType;        // "ext4", "btrfs", "fuseblk", "fuse.sshfs"
    std::string source;        // "/dev/sda2", "tmpfs", "server:/export"
    std::string superOptions;  // the file system's own: "rw,data=journal"
};

// A mountinfo field with its escapes undone: a blank, a tab, a newline and a backslash
// are written as \ooo (three octal digits); anything else after a backslash stays.
std::string UnescapeMountField(std::string_view s);

// Parses mountinfo text. Bounded: lines past the first 65536, lines longer than 64 KiB
// and malformed lines are skipped.
std::vector<MountEntry> ParseMountEntries(std::string_view text);

// Whether a file system type is a kernel pseudo file system (proc, sysfs, cgroup...),
// never worth listing as a volume.
bool IsPseudoFileSystem(std::string_view fsType);

// The value of `key` in a comma-separated option list ("data" in "rw,data=journal" ->
// "journal"); "" for a flag without a value; nullopt when absent.
std::optional<std::string> MountOption(std::string_view options, std::string_view key);

// One block device of a stack, as sysfs describes it.
struct BlockDeviceFacts {
    std::string name;  // the kernel name: "sda2", "dm-0", "loop3", "nvme0n1"
    std::string path;  // "/dev/<name>"
    enum class Kind : uint8_t { Disk, Partition, Loop, DmCrypt, DeviceMapper, Raid, Memory };
    Kind kind = Kind::Disk;
    uint64_t sizeBytes = 0;
    bool rotational = true;
    bool removable = false;
    bool readOnly = false;
    uint64_t discardGranularity = 0;  // bytes; 0 with discardMaxBytes 0: no discards
    uint64_t discardMaxBytes = 0;
    std::string model, serial;  // of the disk, where sysfs has them
    std::string dmName;         // device-mapper: the mapping's name ("luks-...")
    std::string backingFile;    // loop: the image file
    int depth = 0;              // 0: the device the file system sits on; below: +1

    bool AcceptsDiscard() const { return discardMaxBytes > 0; }
};
std::string_view BlockKindKey(BlockDeviceFacts::Kind k);

// The sysfs view the stack resolver reads. Names are kernel block device names.
class BlockSysfs {
  public:
    virtual ~BlockSysfs() = default;
    // /sys/class/block/<name>/<attr> with trailing blanks and newlines cut; nullopt
    // when absent. `attr` may name a sub-folder's file ("queue/rotational").
    virtual std::optional<std::string> Attr(const std::string& name,
                                            const std::string& attr) const = 0;
    // The names in /sys/class/block/<name>/slaves (what a dm or md device sits on).
    virtual std::vector<std::string> Slaves(const std::string& name) const = 0;
    // For a partition, the disk holding it; "" otherwise.
    virtual std::string Parent(const std::string& name) const = 0;
    // The name of the block device with this number (/sys/dev/block/M:m); "" if none.
    virtual std::string NameOfNumber(unsigned major, unsigned minor) const = 0;
    // The name of the block device at a /dev path (following links); "" if not one.
    virtual std::string NameOfPath(const std::string& devPath) const = 0;
};

// The live /sys of this machine.
const BlockSysfs& LiveSysfs();

// The device `name` and everything under it (partition -> disk, dm -> slaves, md ->
// members), top first. Bounded: at most 64 devices, 16 levels deep.
std::vector<BlockDeviceFacts> ResolveDeviceStack(const BlockSysfs& sys, const std::string& name);

// statfs/statvfs of the volume.
struct VolumeSpace {
    uint64_t totalBytes = 0;
    uint64_t freeBytes = 0;
    uint64_t availableBytes = 0;
    uint32_t blockSize = 0;
    uint64_t magic = 0;  // statfs f_type
};

// Everything known about one volume (or one unmounted block device: mount fields empty).
struct StorageFacts {
    std::string path;  // what was asked about
    // The mount ("" for an unmounted device).
    std::string mountPoint, fsType, source, mountOptions, superOptions;
    std::optional<VolumeSpace> space;
    std::vector<BlockDeviceFacts> devices;  // the stack under the file system, top first
    std::string imageFile;  // a FUSE file system serving an image file (ntfs-3g IMAGE DIR)

    // File-system features read from the type and the options.
    bool copyOnWrite = false;
    bool logStructured = false;
    bool dataJournal = false;
    std::string compression;  // btrfs compress=/compress-force= value, "" when none
    std::string subvolume;    // btrfs subvol= (snapshots are subvolumes)
    bool overlay = false;
    bool memoryOnly = false;
    bool network = false;

    // Device facts over the whole stack.
    bool nonRotational = false;   // a non-rotational disk at the bottom of the stack
    bool encrypted = false;       // a dm-crypt layer in the stack
    bool acceptsDiscard = false;  // the top device takes discards (FITRIM can work)
    bool removable = false;
    std::string model, serial;  // of the bottom disk, where sysfs has them

    std::vector<Caveat> caveats;  // every one that applies, file system first

    bool Has(Caveat c) const;
};

// Builds the facts of a mount from its entry, the sysfs view and its space (the pure part
// tests feed). `path` is only recorded.
StorageFacts BuildFacts(const MountEntry& mount, const BlockSysfs& sys,
                        std::optional<VolumeSpace> space, const std::string& path = {});
// The facts of an unmounted (or any) block device by kernel name.
StorageFacts BuildDeviceFacts(const BlockSysfs& sys, const std::string& name);

// The mount entry holding `realPath` among `mounts` (the last, longest mount point that
// is a prefix of it, as later mounts hide earlier ones); nullopt when none.
std::optional<MountEntry> MountHolding(const std::vector<MountEntry>& mounts,
                                       const std::string& realPath);

// The facts for a path on this machine (a file, a folder or a mount point), or for a
// block device path ("/dev/sdb1", "/dev/mapper/x"). Errors: NotFound when the path does
// not resolve, Io when mountinfo cannot be read.
Result<StorageFacts> FactsForPath(const std::string& path);

// Every mounted volume (pseudo file systems only with `withPseudo`), in mount order.
std::vector<StorageFacts> ListVolumeFacts(bool withPseudo = false);
// Every block device of /sys/class/block, each with its stack.
std::vector<StorageFacts> ListBlockDeviceFacts();

// The caveat text for a path, "" when nothing can be found out: the single source of the
// volume caveat shown in dry-run plans, log lines, tool tips and receipts.
std::string VolumeCaveatText(const std::string& path);
// The same as one line naming the volume: "Volume /mnt/data (ext4): <caveat text>" (text
// 1752); "" when nothing can be found out. Plans print it, runs log it.
std::string VolumeCaveatLine(const StorageFacts& facts);
std::string VolumeCaveatLine(const std::string& path);

// Whether trimming the free space after a clean is worth doing by default: the device
// under the file system takes discards and sits on flash (a non-rotational disk) or on
// an image file (a loop device, where a discard gives the image's blocks back to its
// host). A rotational disk that takes discards is left alone: there is nothing a trim
// makes unreadable there that the overwrite did not.
bool TrimHelps(const StorageFacts& facts);

}  // namespace tw
