// SPDX-License-Identifier: GPL-3.0-or-later
// The index file format: percent decoding, dates, and the parser's refusals. What is
// written is read back by trash-cli and by us in interop_test and trash_volume_test.
#include "recyclebin/trashinfo.h"

#include <gtest/gtest.h>

#include <ctime>

namespace tw::recyclebin {
namespace {

TEST(PercentCoding, RefusesBrokenEscapesAndNul) {
    EXPECT_FALSE(PercentDecode("/a%2").has_value());
    EXPECT_FALSE(PercentDecode("/a%").has_value());
    EXPECT_FALSE(PercentDecode("/a%zz").has_value());
    EXPECT_FALSE(PercentDecode("/a%00b").has_value());
    EXPECT_EQ(PercentDecode("%41%62c").value(), "Abc");
    EXPECT_EQ(PercentDecode("a+b").value(), "a+b");  // '+' is not a blank here
}

TEST(DeletionDates, ParseFormatAndRefuseOutOfRange) {
    auto d = ParseDeletionDate("2024-03-05T14:30:07");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->year, 2024);
    EXPECT_EQ(d->month, 3);
    EXPECT_EQ(d->second, 7);
    EXPECT_EQ(DisplayDate(*d), "2024-03-05 14:30:07");
    // Fractions and zones written by some programs are tolerated.
    EXPECT_TRUE(ParseDeletionDate("2024-03-05T14:30:07.123+01:00").has_value());
    for (const char* bad : {"", "2024-03-05 14:30:07", "2024-13-05T14:30:07", "2024-03-00T14:30:07",
                            "2024-03-05T24:00:00", "24-03-05T14:30:07", "2024-0a-05T14:30:07"})
        EXPECT_FALSE(ParseDeletionDate(bad).has_value()) << bad;

    // Formatting uses local time and reads back to the same instant.
    const time_t t = 1709649007;
    auto parsed = ParseDeletionDate(FormatDeletionDate(t));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(DeletionDateToFileTime(*parsed), FileTimeFromUnix(t));
}

TEST(TrashInfoParser, ToleratesCrLfCommentsOtherGroupsAndUnknownKeys) {
    auto info = ParseTrashInfo(
        "# made elsewhere\r\n[Other]\r\nPath=/wrong\r\n\r\n[Trash Info]\r\nX-Extra=1\r\n"
        "Path=relative/dir/f\r\nDeletionDate=2020-01-02T03:04:05\r\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->path, "relative/dir/f");
    EXPECT_EQ(info->dateText, "2020-01-02T03:04:05");
    // Repeated slashes are collapsed, not refused.
    EXPECT_EQ(ParseTrashInfo("[Trash Info]\nPath=//a///b\n")->path, "/a/b");
}

TEST(TrashInfoParser, MissingOrBadDateStillListsTheItem) {
    auto info = ParseTrashInfo("[Trash Info]\nPath=/a/b\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->date.has_value());
    info = ParseTrashInfo("[Trash Info]\nPath=/a/b\nDeletionDate=yesterday\n");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->date.has_value());
    EXPECT_EQ(info->dateText, "yesterday");
}

TEST(TrashInfoParser, RefusesMalformedFiles) {
    const char* bad[] = {
        "",                                                  // nothing
        "Path=/a/b\nDeletionDate=2020-01-02T03:04:05",       // no group
        "[Trash Info]\nDeletionDate=2020-01-02T03:04:05\n",  // no Path=
        "[Trash Info]\nPath=\n",                             // empty
        "[Trash Info]\nPath=/\n",                            // no name
        "[Trash Info]\nPath=/a/b/\n",                        // no name
        "[Trash Info]\nPath=/a/%2\n",                        // broken escape
        "[Trash Info]\nPath=/a/%00b\n",                      // NUL
        "[Trash Info]\nPath=/a/../etc/passwd\n",             // climbs
        "[Trash Info]\nPath=../../etc/passwd\n",             // climbs out of the top folder
        "[Trash Info]\nPath=a/./b\n",                        // "." component
        "[Trash Info]\nPath=/a/%2E%2E/b\n",                  // ".." hidden in escapes
        "[Trash info]\nPath=/a/b\n",                         // the group name is exact
    };
    for (const char* text : bad) EXPECT_FALSE(ParseTrashInfo(text).has_value()) << text;
    std::string huge = "[Trash Info]\nPath=/a\n" + std::string(kMaxTrashInfoBytes, '#');
    EXPECT_FALSE(ParseTrashInfo(huge).has_value());
}

}  // namespace
}  // namespace tw::recyclebin
