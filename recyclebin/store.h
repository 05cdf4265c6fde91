// SPDX-License-Identifier: GPL-3.0-or-later
// The Recycle Bin's model: which trash directories make up the bin, the items they
// hold, the lock that serialises listing with the other programs of the suite, and
// the change notifications that tell a view to list again.
//
// The bin is the shared desktop Trash. Its trash directories ("bin folders") are
//   - the home trash, $XDG_DATA_HOME/Trash (default ~/.local/share/Trash), and
//   - on every local mounted volume with top folder $topdir:
//       $topdir/.Trash/$uid  when $topdir/.Trash is a real folder (not a link) with the
//                            sticky bit, and $uid a real folder owned by this user;
//       $topdir/.Trash-$uid  when it is a real folder owned by this user.
// The checks keep a shared, world-writable $topdir/.Trash from handing this user
// entries (and restore targets) planted by someone else.
//
// Each trash directory holds info/<name>.trashinfo (the index entry, trashinfo.h) and
// files/<name> (the data). An item is listed only when both are there; an index file
// that does not parse is skipped and counted, never fatal. Data whose index entry is
// damaged or missing is kept apart (Orphans()): it cannot be restored, but wiping the
// whole bin must not leave it behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/filetime.h"
#include "recyclebin/trashinfo.h"

namespace tw::recyclebin {

// One trash directory.
struct BinFolder {
    std::string path;     // the trash directory: ".../Trash", "/mnt/x/.Trash-1000", ...
    std::string topdir;   // the folder relative Path= values are based on: $XDG_DATA_HOME
                          // for the home trash, the volume's top folder otherwise
    bool isHome = false;  // the home trash

    std::string InfoFolder() const { return path + "/info"; }
    std::string FilesFolder() const { return path + "/files"; }
};

// One item of the bin.
struct RecycleBinItem {
    std::string displayName;     // the name before deletion (last component of Path=)
    std::string physicalPath;    // the data: <bin>/files/<trashName>
    std::string infoPath;        // the index entry: <bin>/info/<trashName>.trashinfo
    std::string trashName;       // the name inside the trash directory (unique there)
    std::string binFolder;       // the trash directory holding the item
    std::string originalFolder;  // the folder it was deleted from, absolute, no trailing
                                 // "/" except for "/" itself
    std::string extension;       // the display name's extension without the dot, or ""
    bool isFolder = false;       // the data is a folder (links are never followed)
    uint64_t size = 0;           // file: its length; folder: the files below it
    std::string deletedText;     // "YYYY-MM-DD hh:mm:ss" local, or "" when unknown
    FileTime deleted = 0;        // deletion time as UTC FILETIME, 0 when unknown
    FileTime modified = 0;       // last write time of the data (UTC FILETIME)
    bool selected = false;       // chosen for the next run (kept across refreshes)
    bool noIndex = false;        // data without a readable index entry: displayName is the
                                 // trash name, originalFolder is "", deleted is unknown

    // originalFolder + "/" + displayName: where a restore puts the item back.
    std::string OriginalPath() const;
};

// The extension of a name: what follows its last ".", when that dot is neither the
// first nor the last character; "" otherwise.
std::string ExtensionOf(const std::string& name);

// $XDG_DATA_HOME when it is set and absolute, else HomeFolder() + "/.local/share".
std::string DataHome();
// DataHome() + "/Trash".
std::string HomeTrashPath();

// The per-volume trash directories of the volume whose top folder is `topdir` that
// pass the checks above and exist, in the order .Trash/$uid, .Trash-$uid.
std::vector<BinFolder> VolumeBinFolders(const std::string& topdir, uid_t uid);
// Which volumes count as part of the bin. By default every local mounted volume;
// a program can be kept to the volumes mounted at or below some folders (the guard's
// tests keep it off the machine's own volumes that way), or to the home trash alone.
struct BinScope {
    bool homeOnly = false;
    std::vector<std::string> volumesUnder;  // empty: no limit; else mount points equal to
                                            // or below one of these folders
};
// The top folders of the local mounted volumes in `scope` whose trash directories
// belong to the bin, in mount order, each once. The home trash is not among them.
std::vector<std::string> TrashVolumes(const BinScope& scope = {});
// The bin's trash directories of the moment: the home trash (listed even before it
// exists) and VolumeBinFolders() of every TrashVolumes() entry. The same directory
// reached through two mounts is listed once. The Recycle Bin page, the `trash`
// commands, the clean-up run and the guard all take the bin from here.
std::vector<BinFolder> CurrentBinFolders(const BinScope& scope = {});

// The bin folder for a trash directory named by the user: "$X/.Trash-<n>" and
// "$X/.Trash/<n>" are volume trashes with top folder $X; anything else is taken as a
// home-style trash whose relative Path= values are based on its parent folder. The
// path is made absolute; it need not exist.
BinFolder BinFolderFor(const std::string& trashDir);
// Whether `topdir`/.Trash may hold this user's trash: a real folder, not a link, with
// the sticky bit.
bool IsSharedTrashUsable(const std::string& topdir);

// The lock that serialises listing the bin between processes (the panel, the CLI and
// the guard). An advisory flock on a lock file; the kernel drops it when a holder
// dies, so a crashed program never blocks the others.
class CEnumLock {
  public:
    // `path` "" = DefaultPath().
    explicit CEnumLock(std::string path = "");
    ~CEnumLock();
    CEnumLock(const CEnumLock&) = delete;
    CEnumLock& operator=(const CEnumLock&) = delete;

    // Tries for up to `timeoutMs` milliseconds; true when held.
    bool Acquire(unsigned timeoutMs);
    void Release();
    bool Held() const { return held_; }
    // False when the lock file could not be opened or created (no lock to wait for).
    bool Usable() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // $XDG_RUNTIME_DIR/tidewipe/recyclebin.lock, else /tmp/tidewipe-$uid/... (a 0700
    // folder this user owns; a folder owned by anyone else is not used).
    static std::string DefaultPath();

  private:
    std::string path_;
    int fd_ = -1;
    bool held_ = false;
};

// Change notifications: inotify watches on the bin folders' info/ folders (or on the
// trash directory itself while it has no info/ yet, so that its creation is seen).
// A view polls Fd() for reading and calls ReadChanges(), then refreshes the store.
class CBinWatcher {
  public:
    CBinWatcher() = default;
    ~CBinWatcher();
    CBinWatcher(const CBinWatcher&) = delete;
    CBinWatcher& operator=(const CBinWatcher&) = delete;

    // Replaces the watched set with `bins`; true when at least one watch was set up.
    bool Watch(const std::vector<BinFolder>& bins);
    void Stop();
    bool Active() const { return !watched_.empty(); }
    // The non-blocking inotify descriptor, -1 when not active.
    int Fd() const { return fd_; }
    // Drains the pending events without blocking. Gives the trash directories that
    // changed (each once), empty when nothing happened.
    std::vector<std::string> ReadChanges();

  private:
    struct Watched {
        int wd;
        std::string trashDir;
    };
    int fd_ = -1;
    std::vector<Watched> watched_;
};

// The bin: its folders, its items, the enumeration lock and the watcher.
class CRecycleBinStore {
  public:
    // How long Refresh waits for the enumeration lock.
    static constexpr unsigned kEnumTimeoutMs = 200;

    // `lockPath` "" = CEnumLock::DefaultPath().
    explicit CRecycleBinStore(std::string lockPath = "");

    // Fills binFolders with CurrentBinFolders(scope).
    void BuildBinFolders(const BinScope& scope = {});
    // Uses exactly `bins` instead (a chosen trash directory, tests).
    void SetBinFolders(std::vector<BinFolder> bins) { binFolders = std::move(bins); }
    const std::vector<BinFolder>& BinFolders() const { return binFolders; }

    // Lists every bin folder into Items(). Waits up to kEnumTimeoutMs for the lock; on
    // a timeout gives false and leaves the list as it was (when the lock file cannot be
    // created at all, lists without it). Items that were selected stay
    // selected. SkippedCount() tells how many index files were malformed.
    bool Refresh();
    std::vector<RecycleBinItem>& Items() { return items_; }
    const std::vector<RecycleBinItem>& Items() const { return items_; }
    int SkippedCount() const { return skipped_; }
    // The data entries of files/ that have no readable index entry (noIndex set), from
    // the last Refresh.
    const std::vector<RecycleBinItem>& Orphans() const { return orphans_; }

    // Makes the data below `path` writable for the user (files u+w, folders u+rwx):
    // `path` is a bin folder (its files/ is walked; info/ and the other index files
    // keep their modes) or an item's data. True if anything was found.
    bool NormaliseAttributes(const std::string& path);

    // Starts (on = true) or stops the change notifications for the current bin folders.
    // True when at least one watch is active afterwards (on) or always (off).
    bool RegisterChangeNotifications(bool on);
    CBinWatcher& Watcher() { return watcher_; }

    // The bin folder an item path (data or index entry) belongs to, or null.
    const BinFolder* FolderOf(const std::string& itemPath) const;

    // Parses one bin folder's items (no lock): appended to `out`; malformed index
    // files counted in `skipped`; data without a readable index entry appended to
    // `orphans` (may be null).
    static void ListBinFolder(const BinFolder& bin, std::vector<RecycleBinItem>* out, int* skipped,
                              std::vector<RecycleBinItem>* orphans = nullptr);

  private:
    std::vector<BinFolder> binFolders;
    std::vector<RecycleBinItem> items_;
    std::vector<RecycleBinItem> orphans_;
    int skipped_ = 0;
    CEnumLock enumLock_;
    CBinWatcher watcher_;
};

}  // namespace tw::recyclebin
