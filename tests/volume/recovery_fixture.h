// SPDX-License-Identifier: GPL-3.0-or-later
// What the recovery and trace-wiping tests share: a searched volume (in memory or an
// image file) ready for RecoverFile or a trace wipe, the shared NTFS image, the peer
// tools, and small file and text helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/common/run_cli.h"
#include "tests/common/scratch_volume.h"
#include "volume/fat32.h"
#include "volume/recovery.h"
#include "volume/search.h"

namespace tw::volume::testing {

// What `yes TEXT | head -c SIZE` writes: the content the image scripts give their files.
inline std::string Content(const std::string& text, size_t size) {
    std::string s;
    while (s.size() < size) s += text + "\n";
    return s.substr(0, size);
}

// The NTFS image of tests/data/make_ntfs_image.sh (mkntfs, populated through ntfs-3g),
// made once per test program for every suite that reads it. `skip` says why it could
// not be made here; it starts with "FAILED" when the script itself broke.
struct SharedNtfsImage {
    std::unique_ptr<test::TempDir> dir;
    std::string path;
    std::string skip;
};

inline SharedNtfsImage& NtfsImage() {
    static SharedNtfsImage img = [] {
        SharedNtfsImage s;
        s.dir = std::make_unique<test::TempDir>("ntfsimg");
        s.path = s.dir->Path() + "/ntfs.img";
        std::string out;
        const int rc = test::RunTool(
            {"sh", std::string(TW_TEST_DATA_DIR) + "/make_ntfs_image.sh", s.path}, &out);
        if (rc == 77)
            s.skip = "cannot make the NTFS image here: " + out;
        else if (rc != 0)
            s.skip = "FAILED: make_ntfs_image.sh exited " + std::to_string(rc) + ": " + out;
        return s;
    }();
    return img;
}

#define REQUIRE_NTFS_IMAGE()                                        \
    do {                                                            \
        const auto& img_ = ::tw::volume::testing::NtfsImage();      \
        if (img_.skip.rfind("FAILED", 0) == 0) FAIL() << img_.skip; \
        if (!img_.skip.empty()) GTEST_SKIP() << img_.skip;          \
    } while (0)

// What icat (The Sleuth Kit) extracts for `inode`, through a file in `scratch`; `options`
// go before the image ("-r" to recover a deleted FAT entry).
inline std::string Icat(const std::string& image, uint64_t inode, const std::string& scratch,
                        const std::string& options = "") {
    const std::string file = scratch + "/icat-" + std::to_string(inode);
    test::RunTool(
        {"sh", "-c",
         "icat " + options + " '" + image + "' " + std::to_string(inode) + " > '" + file + "'"});
    return test::ReadFileBytes(file);
}

// A volume searched the way the CLI does it: the search first (read-only), then the
// drive opened again for what recovery needs.
struct SearchedVolume {
    CRawDriveMemory* memory = nullptr;  // the backend, for in-memory volumes (set first)
    CRawDriveRef drive;
    std::unique_ptr<NtfsVolume> ntfs;
    std::unique_ptr<FatTable> fat;
    FatBootInfo fatBoot;
    std::vector<RecoverableFile> found;
    SearchReport report;

    SearchedVolume() = default;
    explicit SearchedVolume(std::vector<uint8_t> bytes)
        : drive(MakeMemory(std::move(bytes), &memory)) {}
    // Over another backend (a fault injector, say).
    explicit SearchedVolume(std::unique_ptr<CRawDrive> backend) : drive(std::move(backend)) {}

    // Searches `source` ("mem" for an in-memory volume), then opens it again, for
    // writing when `writable`. False when the search did not complete.
    bool Search(const std::string& source, bool writable) {
        SearchContext ctx;
        ctx.drive = &drive;
        ctx.driveText = "/";
        report = SearchDrive(ctx, source, source, &ntfs);
        found = std::move(ctx.found);
        if (report.end != SearchEnd::Completed) return false;
        if (!drive.Open(source, writable)) return false;
        if (report.fs == FileSystemKind::Fat32) {
            auto b = ReadFatBootInfo(drive);
            if (!b) return false;
            fatBoot = *b;
            fat = std::make_unique<FatTable>(drive, fatBoot);
        }
        return true;
    }

    RecoveryVolume Recovery(bool clearEntries) {
        RecoveryVolume v;
        v.drive = &drive;
        v.ntfs = ntfs.get();
        v.fat = fat.get();
        v.clearFatEntries = clearEntries;
        return v;
    }

    // Recovers `item` into `folder`, directory entries left as they are.
    RecoverResult Recover(const RecoverableFile& item, RecoveryFolder& folder,
                          const OpContext& op = tw::IdleOperation()) {
        RecoveryVolume v = Recovery(false);
        return RecoverFile(op, v, item, folder);
    }

    const RecoverableFile* Find(const std::string& name) const {
        for (const auto& f : found)
            if (f.name == name) return &f;
        return nullptr;
    }

  private:
    static std::unique_ptr<CRawDrive> MakeMemory(std::vector<uint8_t> bytes,
                                                 CRawDriveMemory** out) {
        auto m = std::make_unique<CRawDriveMemory>(std::move(bytes));
        *out = m.get();
        return m;
    }
};

// A fresh folder opened for recovery (no source check).
struct OutFolder {
    test::TempDir dir{"recover"};
    RecoveryFolder folder;
    OutFolder() { EXPECT_EQ(folder.Open(dir.Path(), ""), FolderCheck::Ok); }
    std::string Read(const std::string& name) const {
        return test::ReadFileBytes(dir.Path() + "/" + name);
    }
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// `size` bytes of numbered copies of `line`: text that is easy to find in an image and
// never one repeated byte.
inline std::string Repeat(const std::string& line, size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += line + " " + std::to_string(i) + "\n";
    s.resize(size);
    return s;
}

// A name as UTF-16LE bytes, the way NTFS and FAT long names store it.
inline std::string Utf16(const std::string& ascii) {
    std::string s;
    for (char c : ascii) {
        s += c;
        s += '\0';
    }
    return s;
}

// What the search finds on an image file.
inline std::vector<RecoverableFile> SearchImage(const std::string& image) {
    SearchedVolume v;
    v.Search(image, false);
    return std::move(v.found);
}

inline const RecoverableFile* FindByName(const std::vector<RecoverableFile>& found,
                                         const std::string& name) {
    for (const auto& f : found)
        if (f.name == name) return &f;
    return nullptr;
}

// What `argv` prints, whatever it exits with.
inline std::string Tool(const std::vector<std::string>& argv) {
    std::string out;
    test::RunTool(argv, &out);
    return out;
}

// "fsck.fat -n" / "ntfsfix -n" output without lines that name the program's version.
inline std::string WithoutFirstLine(const std::string& s) {
    auto nl = s.find('\n');
    return nl == std::string::npos ? std::string() : s.substr(nl + 1);
}

}  // namespace tw::volume::testing
