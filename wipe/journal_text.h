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

}  // namespace tw::wipe::journal
