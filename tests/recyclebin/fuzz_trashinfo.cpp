// SPDX-License-Identifier: GPL-3.0-or-later
// The index file parser on arbitrary text (index files come from other programs and
// from removable media). What it accepts must be a usable path: no NUL, no "." or ".."
// component, a name at the end; and what it accepts must survive being written again.
#include <cstdint>
#include <string>
#include <string_view>

#include "recyclebin/trashinfo.h"
#include "tests/fuzz/fuzz_check.h"

using namespace tw::recyclebin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto info = ParseTrashInfo(text)) {
        const std::string& p = info->path;
        TW_FUZZ_CHECK(!p.empty() && p.back() != '/');
        TW_FUZZ_CHECK(p.find('\0') == std::string::npos);
        TW_FUZZ_CHECK(p.find("//") == std::string::npos);
        const std::string framed = "/" + p + "/";
        TW_FUZZ_CHECK(framed.find("/../") == std::string::npos);
        TW_FUZZ_CHECK(framed.find("/./") == std::string::npos);
        auto again = ParseTrashInfo(FormatTrashInfo(p, 0));
        TW_FUZZ_CHECK(again && again->path == p);
    }
    // Any byte string without NUL survives percent coding.
    if (text.find('\0') == std::string_view::npos) {
        auto back = PercentDecode(PercentEncodePath(text));
        TW_FUZZ_CHECK(back && *back == text);
    }
    return 0;
}
