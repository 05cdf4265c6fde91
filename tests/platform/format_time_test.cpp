// SPDX-License-Identifier: GPL-3.0-or-later
// The formatting helpers: sizes, file times, mount points and error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "platform/drives.h"
#include "platform/error.h"
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

TEST(FileTime, UnixRoundTripsAndIsoUtcText) {
    EXPECT_EQ(IsoUtc(FileTimeFromUnix(1700000000)), "2023-11-14T22:13:20Z");
    EXPECT_EQ(IsoUtc(0), "");
    EXPECT_EQ(UnixFromFileTime(kFileTimeUnixEpoch + 15 * kFileTimePerSecond), 15);
    timespec ts{1700000000, 123456700};
    timespec back = TimespecFromFileTime(FileTimeFromTimespec(ts));
    EXPECT_EQ(back.tv_sec, ts.tv_sec);
    EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
    // Before 1970.
    EXPECT_EQ(UnixFromFileTime(kFileTimeUnixEpoch - kFileTimePerSecond), -1);
}

// Week days by name are the schedule's texts (scheduler schedule_test).
TEST(FileTime, SystemTimeFieldsAndWeekDays) {
    SystemTime monday{2007, 3, 0, 5, 14, 30, 7, 250};
    FileTime ft = 0;
    ASSERT_TRUE(SystemTimeToFileTime(monday, &ft));
    SystemTime back{};
    ASSERT_TRUE(FileTimeToSystemTime(ft, &back));
    EXPECT_EQ(back.dayOfWeek, 1);
    monday.dayOfWeek = 1;
    EXPECT_EQ(back, monday);
    // A leap day exists in 2024 and not in 2023.
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

TEST(MountInfo, ParsesEscapesTypesAndDropsPseudoFileSystems) {
    const std::string text =
        "22 1 254:1 / / rw,relatime shared:1 - ext4 /dev/vda1 rw\n"
        "23 22 0:21 / /proc rw,nosuid - proc proc rw\n"
        "24 22 0:5 / /dev rw - devtmpfs udev rw\n"
        "25 22 0:30 / /run/user/0 rw - tmpfs tmpfs rw\n"
        "26 22 7:0 / /mnt/my\\040disk ro,relatime - fuseblk /dev/loop0 ro\n"
        "27 22 0:40 / /srv/share rw - nfs4 host:/export rw\n"
        "28 22 11:0 / /media/cd ro - iso9660 /dev/sr0 ro\n"
        "garbage line\n";
    auto drives = ParseMountInfo(text);
    ASSERT_EQ(drives.size(), 5u);
    EXPECT_EQ(drives[0].mountPoint, "/");
    EXPECT_EQ(drives[0].Root(), "/");
    EXPECT_EQ(drives[0].fsType, "ext4");
    EXPECT_FALSE(drives[0].readOnly);
    EXPECT_EQ(drives[1].type, DriveType::RamDisk);
    EXPECT_EQ(drives[2].mountPoint, "/mnt/my disk");
    EXPECT_EQ(drives[2].Root(), "/mnt/my disk/");
    EXPECT_TRUE(drives[2].readOnly);
    EXPECT_EQ(drives[2].device, "/dev/loop0");
    EXPECT_EQ(drives[3].type, DriveType::Remote);
    EXPECT_EQ(drives[4].type, DriveType::CdRom);
}

// The one place an error becomes words: placeholders filled once each, the errno's text
// appended, an offset the text has no place for still shown, and a code this build
// has no text for still says what it happened to. TextWith fills the same way.
TEST(ErrorText, FillsPlaceholdersAppendsErrnoAndCopesWithUnknownCodes) {
    // %1 and %3; a subject that itself holds "%2" is not expanded again.
    Error mounted = Error(ErrorCode::Mounted, "/img%2").With("/mnt/x");
    EXPECT_EQ(ErrorText(mounted), "/img%2 is mounted read-write at /mnt/x");

    // No text of its own and no errno: the code's general text; the offset is added.
    Error corrupt = Error(ErrorCode::Corrupt, "MFT record 7").At(4096);
    EXPECT_EQ(ErrorText(corrupt), "MFT record 7 is damaged (offset 4096)");

    // With an errno, its strerror says what went wrong, once, at the end.
    Error full = Error::FromErrno(ENOSPC, "/tmp/f");
    EXPECT_EQ(full.code, ErrorCode::NoSpace);
    EXPECT_EQ(ErrorText(full), std::string("/tmp/f: ") + std::strerror(ENOSPC));

    // A precise text wins over the general one, and errno still comes last.
    Error refused = Error(ErrorCode::Busy, "/dev/x", EBUSY).Says(TextId<1033>);
    EXPECT_EQ(ErrorText(refused),
              std::string("Refusing to write to /dev/x: the device is in use (mounted or held "
                          "by another program): ") +
                  std::strerror(EBUSY));

    // An unknown code, or a text id missing from the table, never gives an empty text.
    Error unknown(static_cast<ErrorCode>(250), "/x");
    EXPECT_EQ(ErrorText(unknown), "/x: unexpected error");
    Error missingText = Error(ErrorCode::ReadOnly, "/y").Says(999999);
    EXPECT_EQ(ErrorText(missingText), "/y is read-only");

    // The same filler for the engine's other lines: what is filled in is not expanded.
    EXPECT_EQ(TextWith(TextId<1011>, "/img%3", "", "/mnt/x"),
              "/img%3 is mounted read-write at /mnt/x");
    EXPECT_EQ(TextWith(999999, "/x"), "");
}

}  // namespace
}  // namespace tw
