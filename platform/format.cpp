// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/format.h"

#include <cstdarg>
#include <cstdio>

namespace tw {

std::string StrPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data(), out.size(), format, ap);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap);
    return out;
}

// The caller's format is a runtime string by design (two fixed variants).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
static std::string Scaled(double value, const char* format, const char* unit) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, value);
    return std::string(buf) + unit;
}
#pragma GCC diagnostic pop

std::string FormatSize(uint64_t bytes, const char* format) {
    constexpr uint64_t kKb = 1024, kMb = kKb * 1024, kGb = kMb * 1024;
    if (bytes < kKb) return StrPrintf("%u", static_cast<unsigned>(bytes)) + " bytes";
    if (bytes < kMb) return Scaled(static_cast<double>(bytes) / kKb, "%2.0f", " Kb");
    if (bytes < kGb) return Scaled(static_cast<double>(bytes) / kMb, format, " Mb");
    return Scaled(static_cast<double>(bytes) / kGb, format, " Gb");
}

std::string FormatSize(uint32_t bytes, const char* format) {
    return FormatSize(static_cast<uint64_t>(bytes), format);
}

}  // namespace tw
