// SPDX-License-Identifier: GPL-3.0-or-later
// What the recovery tests share: a searched volume (in memory or an image file) ready
// for RecoverFile, a progress sink that counts steps and can raise the stop flag, and
// small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

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

// Counts the steps of each bar; `onStep` runs after every step of the Current bar.
class StepSink : public ProgressSink {
  public:
    void SetRange(Bar b, int64_t lo, int64_t hi) override { range[b] = hi - lo; }
    // The operation reports steps as positions: a rise is a step.
    int64_t last_[2] = {};
    void SetPos(Bar b, int64_t p) override {
        const int64_t by = p - last_[b];
        last_[b] = p;
        if (by <= 0) return;
        steps[b] += by;
        if (b == Current && onStep) onStep(steps[b]);
    }
    void SetText(Slot s, std::string_view t) override {
        if (s == Status) statuses.emplace_back(t);
    }
    std::map<int, int64_t> range, steps;
    std::vector<std::string> statuses;
    std::function<void(int64_t)> onStep;
};

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

}  // namespace tw::volume::testing
