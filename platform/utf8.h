// SPDX-License-Identifier: GPL-3.0-or-later
// UTF-8 as names on disk and in the Trash need it: telling well-formed sequences from
// stray bytes, and encoding code points read from UTF-16 or code-page names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw::platform {

// Length of the well-formed UTF-8 sequence at s[i] (no overlongs, no surrogates, at most
// U+10FFFF), or 0 when the byte there does not start one. `i` must be below s.size().
size_t Utf8SequenceAt(std::string_view s, size_t i);

// True when all of `s` is well-formed UTF-8.
bool IsValidUtf8(std::string_view s);

// The longest prefix of `s` of at most `maxBytes` bytes that does not end inside a
// character (a name cut to fit a file name limit).
std::string CutUtf8(std::string_view s, size_t maxBytes);

// Appends code point `cp` as UTF-8. Surrogates and values above U+10FFFF, which have no
// encoding, become U+FFFD.
void AppendUtf8(std::string& out, uint32_t cp);

}  // namespace tw::platform
