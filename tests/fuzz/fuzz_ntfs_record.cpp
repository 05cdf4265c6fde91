// SPDX-License-Identifier: GPL-3.0-or-later
// The file-record parsers on one arbitrary record: header, update sequence fix-up,
// attribute walk, the value parsers of every attribute type the search reads, run
// lists, scrubbing, and the same bytes read as an index block, a folder record whose
// unused space is cleared, and the journal's restart pages. Input: the record as it lies on the
// volume, cut to a whole number of 512-byte blocks (at most 4 KiB; a shorter input is padded with
// zeros).
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "volume/ntfs.h"
#include "volume/ntfs_index.h"

using namespace tw::volume;

namespace {

bool Inside(std::span<const uint8_t> part, const std::vector<uint8_t>& whole) {
    if (part.empty()) return true;
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void WalkAttributes(const std::vector<uint8_t>& rec) {
    std::vector<AttributeRef> attrs;
    ListAttributes(rec, &attrs);
    TW_FUZZ_CHECK(attrs.size() <= 512);
    for (const AttributeRef& a : attrs) {
        TW_FUZZ_CHECK(Inside(a.value, rec));
        TW_FUZZ_CHECK(a.offset < rec.size());
        const AttributeHeader& h = a.header;
        if (h.nonResident) {
            std::vector<DataRun> runs;
            bool corrupt = false;
            DecodeDataRuns(a.value, 1, Utf16ToUtf8(h.name), h.realSize, 0, &runs, &corrupt);
            continue;
        }
        switch (h.type) {
            case kAttrStandardInformation: {
                StandardInformationValue si;
                ParseStandardInformation(a.value, &si);
                break;
            }
            case kAttrFileName: {
                FileNameValue fn;
                if (ParseFileName(a.value, &fn)) {
                    TW_FUZZ_CHECK(fn.name.size() == fn.nameLength);
                    Utf16ToUtf8(fn.name);
                }
                break;
            }
            case kAttrAttributeList: {
                for (const AttributeListEntry& e : ParseAttributeList(a.value))
                    TW_FUZZ_CHECK(e.length >= kAttributeListEntryMin);
                break;
            }
            default:
                break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t len = std::min<size_t>(size, 4096);
    len = std::max<size_t>(512, (len + 511) / 512 * 512);
    std::vector<uint8_t> rec(len, 0);
    std::memcpy(rec.data(), data, std::min(size, len));

    FileRecordHeader h;
    if (!ParseRecordHeader(rec, &h)) return 0;
    WalkAttributes(rec);  // a reader that skips the fix-up must be as safe

    std::vector<uint8_t> fixed = rec;
    if (ApplyFixup(fixed, h.usaOffset, h.usaCount))
        WalkAttributes(fixed);
    else
        TW_FUZZ_CHECK(fixed == rec);  // a failed fix-up leaves the record as it was

    std::vector<uint8_t> scrubbed = rec;
    if (ScrubDeletedRecord(scrubbed)) {
        FileRecordHeader s;
        TW_FUZZ_CHECK(ParseRecordHeader(scrubbed, &s));
        TW_FUZZ_CHECK(s.signature == kFileSignature);
        TW_FUZZ_CHECK(s.flags == 0);
        TW_FUZZ_CHECK(s.bytesInUse == kRecordHeaderBytes);
        TW_FUZZ_CHECK(s.firstAttribute == 0);
        TW_FUZZ_CHECK(s.linkCount == 0);
        // With an update sequence array the fix-up accepts, the scrubbed record passes
        // it and reads as 0xFF from the header's end on, apart from the array's number.
        const size_t blocks = scrubbed.size() / 512;
        if (h.usaOffset >= kRecordHeaderBytes && h.usaOffset + 2 * (blocks + 1) < 510) {
            TW_FUZZ_CHECK(ApplyFixup(scrubbed, h.usaOffset, static_cast<uint16_t>(blocks + 1)));
            for (size_t i = kRecordHeaderBytes; i < scrubbed.size(); ++i)
                if (i != h.usaOffset && i != h.usaOffset + 1u) TW_FUZZ_CHECK(scrubbed[i] == 0xFF);
        }
        WalkAttributes(scrubbed);
    }

    // A cleared block or record still passes its fix-up; anything else is left as it was.
    const auto passesFixup = [](std::vector<uint8_t> b) {
        return ApplyFixup(b, static_cast<uint16_t>(b[4] | b[5] << 8),
                          static_cast<uint16_t>(b[6] | b[7] << 8));
    };
    for (const bool inUse : {true, false}) {
        std::vector<uint8_t> block = rec;
        if (ScrubIndexBlock(block, inUse) == SlackScrub::Scrubbed)
            TW_FUZZ_CHECK(passesFixup(block));
        else
            TW_FUZZ_CHECK(block == rec);
    }
    std::vector<uint8_t> folder = rec;
    if (ScrubFolderRecordSlack(folder) == SlackScrub::Scrubbed) {
        TW_FUZZ_CHECK(passesFixup(folder));
        WalkAttributes(folder);
    } else {
        TW_FUZZ_CHECK(folder == rec);
    }
    JournalStateOf(rec);
    return 0;
}
