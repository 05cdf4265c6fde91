// SPDX-License-Identifier: GPL-3.0-or-later
// Size texts shared by every page and log line.
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// Below 1024 bytes: the count and " bytes"; below 1 MiB: the KiB value with "%2.0f"
// and " Kb"; below 1 GiB: the MiB value with `format` and " Mb"; else the GiB value
// with `format` and " Gb". Callers pass "%2.0f" or "%2.2f".
std::string FormatSize(uint32_t bytes, const char* format);
std::string FormatSize(uint64_t bytes, const char* format);

// printf into a std::string.
std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tw
