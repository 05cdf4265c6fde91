// SPDX-License-Identifier: GPL-3.0-or-later
// The whole FAT32 search on an arbitrary volume image held in memory: boot sector,
// FAT reads through the cache, chains and the directory walk. Every reported item must
// point at a cluster of the volume and carry a well-formed name, folder and attribute
// text; the search must end (loops, cycles and depth are bounded).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "volume/fat32.h"

using namespace tw::volume;
using tw::Outcome;

namespace {

bool ValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t n = 0;
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F) return false;  // no control characters
        } else if ((c >> 5) == 6) {
            n = 1;
        } else if ((c >> 4) == 14) {
            n = 2;
        } else {
            return false;  // code page 437 needs at most three bytes
        }
        if (s.size() - i <= n) return false;
        for (size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += n + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto drive = std::make_unique<CRawDriveRef>(
        std::make_unique<CRawDriveMemory>(std::vector<uint8_t>(data, data + size)));
    if (!drive->Open("memory")) return 0;
    // The walk as it is by default, then with deleted folders walked too.
    for (const bool deletedFolders : {false, true}) {
        SearchContext ctx;
        ctx.drive = drive.get();
        ctx.driveText = "/fuzz/";
        ctx.walkDeletedFolders = deletedFolders;
        const Outcome o = SearchFat32(ctx);
        TW_FUZZ_CHECK(o == Outcome::Ok || o == Outcome::Failed);
        auto boot = ReadFatBootInfo(*drive);
        TW_FUZZ_CHECK(boot.ok() || ctx.found.empty());
        for (const RecoverableFile& f : ctx.found) {
            TW_FUZZ_CHECK(f.location >= 2 && f.location <= boot->maxCluster);
            TW_FUZZ_CHECK(f.directoryCluster >= 2 && f.directoryCluster <= boot->maxCluster);
            // Only an entry of a deleted folder may keep its first character.
            TW_FUZZ_CHECK(!f.name.empty() && (f.name[0] == '?' || f.folderDeleted));
            TW_FUZZ_CHECK(deletedFolders || !f.folderDeleted);
            TW_FUZZ_CHECK(ValidUtf8(f.name) && ValidUtf8(f.folder));
            TW_FUZZ_CHECK(f.folder.rfind("/fuzz/", 0) == 0);
            TW_FUZZ_CHECK(f.attributes.size() == 13);
            TW_FUZZ_CHECK(f.recoverability == 100);
        }
        // Each 32-byte slot of the image is reported at most once.
        TW_FUZZ_CHECK(ctx.found.size() <= size / kDirEntrySize);
    }
    return 0;
}
