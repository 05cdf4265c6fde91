// SPDX-License-Identifier: GPL-3.0-or-later
// Stored times are FILETIMEs: 100-nanosecond units since 1 January 1601. Two forms
// are in use: UTC (deep-clean stamps, file times read from volumes) and local wall
// clock (the scheduler's start time: local date and time fields encoded as if they
// were UTC, with no time-zone conversion).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tw {

using FileTime = uint64_t;

inline constexpr FileTime kFileTimeUnixEpoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME
inline constexpr FileTime kFileTimePerSecond = 10000000ULL;
inline constexpr FileTime kFileTimePerDay = 864000000000ULL;

// Broken-down time like the platform's SYSTEMTIME. dayOfWeek: 0 = Sunday.
struct SystemTime {
    int year = 1601, month = 1, dayOfWeek = 1, day = 1;
    int hour = 0, minute = 0, second = 0, milliseconds = 0;
    bool operator==(const SystemTime&) const = default;
};

// UTC conversions.
FileTime FileTimeFromTimespec(const timespec& ts);
timespec TimespecFromFileTime(FileTime ft);
FileTime FileTimeFromUnix(time_t seconds);
// Seconds since 1970 (may be negative for times before it).
int64_t UnixFromFileTime(FileTime ft);

// Field-wise conversions (no time zone involved); false when the fields are invalid.
bool SystemTimeToFileTime(const SystemTime& st, FileTime* out);
bool FileTimeToSystemTime(FileTime ft, SystemTime* out);

// Now, as broken-down UTC and as local wall clock.
SystemTime GetSystemTime();
SystemTime GetLocalTime();
// Now as a UTC FILETIME.
FileTime NowFileTime();

// A time_t rendered as local wall clock fields.
SystemTime LocalSystemTime(time_t t);
// ISO 8601 UTC text of a UTC FILETIME ("2024-03-05T14:30:07Z"); "" for 0.
std::string IsoUtc(FileTime ft);

}  // namespace tw
