// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "platform/filetime.h"
#include "platform/format.h"

namespace tw {
namespace {

TEST(FormatSize, EachUnitAndItsBoundary) {
    EXPECT_EQ(FormatSize(uint64_t{0}, "%2.2f"), "0 bytes");
    EXPECT_EQ(FormatSize(uint64_t{1023}, "%2.2f"), "1023 bytes");
    EXPECT_EQ(FormatSize(uint64_t{1024}, "%2.2f"), " 1 Kb");  // KiB always uses %2.0f
    EXPECT_EQ(FormatSize(uint64_t{1024 * 1024 - 1}, "%2.2f"), "1024 Kb");
    EXPECT_EQ(FormatSize(uint64_t{1024 * 1024}, "%2.2f"), "1.00 Mb");
    EXPECT_EQ(FormatSize(uint64_t{3 << 20}, "%2.0f"), " 3 Mb");
    EXPECT_EQ(FormatSize(uint64_t{12 * (1ull << 30) + (1ull << 29)}, "%2.2f"), "12.50 Gb");
    // 64-bit counts beyond 4 GiB, and the 32-bit version agreeing below it.
    EXPECT_EQ(FormatSize(uint64_t{5ull << 40}, "%2.0f"), "5120 Gb");
    EXPECT_EQ(FormatSize(uint32_t{2048}, "%2.0f"), FormatSize(uint64_t{2048}, "%2.0f"));
}

TEST(FileTime, UnixEpochAndRoundTrips) {
    EXPECT_EQ(FileTimeFromUnix(0), kFileTimeUnixEpoch);
    EXPECT_EQ(UnixFromFileTime(kFileTimeUnixEpoch + 15 * kFileTimePerSecond), 15);
    timespec ts{1700000000, 123456700};
    timespec back = TimespecFromFileTime(FileTimeFromTimespec(ts));
    EXPECT_EQ(back.tv_sec, ts.tv_sec);
    EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
    // Before 1970.
    EXPECT_EQ(UnixFromFileTime(kFileTimeUnixEpoch - kFileTimePerSecond), -1);
}

TEST(FileTime, SystemTimeFieldsAndWeekDays) {
    SystemTime st{};
    ASSERT_TRUE(FileTimeToSystemTime(0, &st));
    EXPECT_EQ(st.year, 1601);
    EXPECT_EQ(st.dayOfWeek, 1);  // 1601-01-01 was a Monday
    SystemTime monday{2007, 3, 0, 5, 14, 30, 7, 250};
    FileTime ft = 0;
    ASSERT_TRUE(SystemTimeToFileTime(monday, &ft));
    SystemTime back{};
    ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
    EXPECT_EQ(back.dayOfWeek, 1);
    monday.dayOfWeek = 1;
    EXPECT_EQ(back, monday);
    // A day is 864,000,000,000 units; a leap day exists in 2024 and not in 2023.
    ASSERT_TRUE(FileTimeToSystemTime(ft + kFileTimePerDay, &back));
    EXPECT_EQ(back.day, 6);
    EXPECT_TRUE(SystemTimeToFileTime({2024, 2, 0, 29, 0, 0, 0, 0}, &ft));
    EXPECT_FALSE(SystemTimeToFileTime({2023, 2, 0, 29, 0, 0, 0, 0}, &ft));
    EXPECT_FALSE(SystemTimeToFileTime({2023, 13, 0, 1, 0, 0, 0, 0}, &ft));
    EXPECT_FALSE(SystemTimeToFileTime({2023, 1, 0, 1, 24, 0, 0, 0}, &ft));
}

TEST(FileTime, LocalWallClockEncodesFieldsWithoutZoneConversion) {
    // The scheduler stores local date and time fields as if they were UTC.
    setenv("TZ", "America/New_York", 1);
    tzset();
    time_t t = 1700000000;  // 2023-11-14 22:13:20 UTC = 17:13:20 in New York
    SystemTime local = LocalSystemTime(t);
    EXPECT_EQ(local.hour, 17);
    FileTime wall = 0;
    ASSERT_TRUE(SystemTimeToFileTime(local, &wall));
    EXPECT_EQ(FileTimeFromUnix(t) - wall, 5 * 3600 * kFileTimePerSecond);
    unsetenv("TZ");
    tzset();
}

TEST(FileTime, IsoUtcText) {
    EXPECT_EQ(IsoUtc(FileTimeFromUnix(1700000000)), "2023-11-14T22:13:20Z");
    EXPECT_EQ(IsoUtc(0), "");
}

}  // namespace
}  // namespace tw
