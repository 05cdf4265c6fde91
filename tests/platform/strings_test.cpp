// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "platform/strings.h"

namespace tw {
namespace {

TEST(StringTable, TextsAreKeptExactlyWithTheirTyposAndBlanks) {
    EXPECT_EQ(S<106>,
              "Free space wiping was not sucessfully completed the last time this program was "
              "run. Please try again.");
    EXPECT_EQ(S<196>, "created: ");
    EXPECT_EQ(S<105>, " Watchkeep Protection ");
    EXPECT_EQ(S<415>, "Recorvered data to:");
    EXPECT_EQ(S<384>, " Junk File && Link Cleanup");
}

TEST(StringTable, EscapesBecomeRealCharacters) {
    EXPECT_EQ(S<173>, "Recycle Bin\nAuto-wiping\nACTIVE");
    EXPECT_NE(std::string(S<409>).find("\"Set the file recovery folder\""), std::string::npos);
}

TEST(StringTable, RunTimeLookupAgreesAndAnswersEmptyForUnknownIds) {
    EXPECT_EQ(Text(103), S<103>);
    EXPECT_TRUE(HasText(102));
    EXPECT_FALSE(HasText(1));
    EXPECT_EQ(Text(99999), "");
}

TEST(StringTable, IdsComputedAtRunTimeAreAllPresent) {
    // Week-day names are looked up as 494 + day of week.
    for (int id = 494; id <= 500; ++id) EXPECT_TRUE(HasText(id)) << id;
    EXPECT_EQ(Text(494), "Sunday");
    EXPECT_EQ(Text(500), "Saturday");
}

TEST(StringTable, IsSortedAndUnique) {
    for (size_t i = 1; i < std::size(kStringTable); ++i)
        EXPECT_LT(kStringTable[i - 1].id, kStringTable[i].id);
}

}  // namespace
}  // namespace tw
