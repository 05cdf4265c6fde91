// SPDX-License-Identifier: GPL-3.0-or-later
// The NTFS search, in both modes, over a small in-memory volume whose free records
// (23 on) come from the input, 1 KiB each. The record loop, attribute lists followed
// into other records, folder lookups, recoverability from the bitmap and scrubbing all
// run on them. Byte 0x08 of each input record (its log sequence number, which nothing
// reads) decides whether the harness stamps the update sequence for it (bit 0 clear),
// so that the fuzzer reaches the attributes without having to solve the fix-up.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "ntfs_volume_builder.h"
#include "volume/search.h"

using namespace tw::volume;
using tw::Outcome;
using namespace tw::volume::fuzzing;

namespace {

std::vector<uint8_t> Image(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> base = BuildNtfsVolume();
    std::vector<uint8_t> img = base;
    uint32_t n = kNtfsFirstFreeRecord;
    for (size_t off = 0; off < size && n < kNtfsMftRecords; off += kNtfsRecordSize, ++n) {
        uint8_t rec[kNtfsRecordSize] = {};
        std::memcpy(rec, data + off, std::min<size_t>(kNtfsRecordSize, size - off));
        if ((rec[0x08] & 1) == 0) RecordBuilder::StampFixup(rec, sizeof rec, 0x0202);
        PutRecord(img, n, rec, sizeof rec);
    }
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> img = Image(data, size);
    const size_t systemEnd = size_t{kNtfsMftCluster} * 512 + kNtfsFirstFreeRecord * kNtfsRecordSize;
    const uint64_t firstFree = kNtfsMftCluster + kNtfsFirstFreeRecord * (kNtfsRecordSize / 512);
    const uint64_t mftEnd = kNtfsMftCluster + kNtfsMftRecords * (kNtfsRecordSize / 512);

    // Search mode.
    auto memory = std::make_unique<CRawDriveMemory>(img);
    CRawDriveMemory* mem = memory.get();
    CRawDriveRef drive(std::move(memory));
    TW_FUZZ_CHECK(drive.Open("memory"));
    {
        SearchContext ctx;
        ctx.drive = &drive;
        ctx.driveText = "/";
        ctx.wantDetails = true;
        NtfsVolume vol(drive);
        const Outcome o = SearchNtfs(ctx, vol);
        TW_FUZZ_CHECK(o == Outcome::Ok);
        for (const RecoverableFile& f : ctx.found) {
            TW_FUZZ_CHECK(f.recoverability > 0 && f.recoverability <= 100);
            TW_FUZZ_CHECK(f.location >= firstFree && f.location < mftEnd);
            TW_FUZZ_CHECK(f.attributes.size() == 13);
            TW_FUZZ_CHECK(f.fs == FileSystemKind::Ntfs);
        }
    }

    // Scrub mode: the system records are never written, and afterwards no deleted
    // record is left for a search to find.
    TW_FUZZ_CHECK(drive.Open("memory", true));
    {
        SearchContext ctx;
        ctx.drive = &drive;
        ctx.mode = SearchMode::Scrub;
        NtfsVolume vol(drive);
        const Outcome o = SearchNtfs(ctx, vol);
        TW_FUZZ_CHECK(o == Outcome::Ok);
        TW_FUZZ_CHECK(std::memcmp(mem->Bytes().data(), img.data(), systemEnd) == 0);
    }
    {
        SearchContext ctx;
        ctx.drive = &drive;
        NtfsVolume vol(drive);
        TW_FUZZ_CHECK(SearchNtfs(ctx, vol) == Outcome::Ok);
        TW_FUZZ_CHECK(ctx.found.empty());
    }
    return 0;
}
