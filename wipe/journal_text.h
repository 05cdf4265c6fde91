// SPDX-License-Identifier: GPL-3.0-or-later
// The small text pieces of the crash journals (deep clean, slack wipe): times written
// as "<seconds>.<nanoseconds>" and whole-field number parsing, so that a record cut short
// or edited never parses into a wrong value.
#pragma once

#include <time.h>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw::wipe::journal {

inline std::string TimeText(const timespec& t) {
    return std::to_string(static_cast<int64_t>(t.tv_sec)) + "." + std::to_string(t.tv_nsec);
}

// The whole of `text` is one number of T's range.
template <typename T>
bool ParseNumber(std::string_view text, T* out) {
    if (text.empty()) return false;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && p == text.data() + text.size();
}

inline bool ParseTime(std::string_view text, timespec* out) {
    const size_t dot = text.find('.');
    int64_t sec = 0;
    long nsec = 0;
    if (dot == std::string_view::npos || !ParseNumber(text.substr(0, dot), &sec) ||
        !ParseNumber(text.substr(dot + 1), &nsec) || nsec < 0 || nsec > 999999999)
        return false;
    *out = timespec{static_cast<time_t>(sec), nsec};
    return true;
}

// Reads the "key=value\n" fields of `text` from `pos` up to `end` (exclusive) until the
// field `lastKey`, whose value is "<length>:<bytes>\n" and must end exactly at `end`; its
// bytes go to `last`. Every other field goes to `field(key, value)`; false from it, a
// field without its "=" or "\n", or no `lastKey` before `end` fails the whole read.
template <typename Field>
bool ReadFields(std::string_view text, size_t pos, size_t end, std::string_view lastKey,
                std::string* last, Field&& field) {
    while (pos < end) {
        const size_t eq = text.find('=', pos);
        if (eq == std::string_view::npos || eq >= end) return false;
        const std::string_view key = text.substr(pos, eq - pos);
        if (key == lastKey) {
            const size_t colon = text.find(':', eq);
            size_t len = 0;
            if (colon == std::string_view::npos ||
                !ParseNumber(text.substr(eq + 1, colon - eq - 1), &len) ||
                colon + 1 + len + 1 != end || text[end - 1] != '\n')
                return false;
            last->assign(text.substr(colon + 1, len));
            return true;
        }
        const size_t nl = text.find('\n', eq);
        if (nl == std::string_view::npos || nl >= end ||
            !field(key, text.substr(eq + 1, nl - eq - 1)))
            return false;
        pos = nl + 1;
    }
    return false;
}

}  // namespace tw::wipe::journal
