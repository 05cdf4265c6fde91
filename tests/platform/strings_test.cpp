// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/strings.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

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

TEST(StringTable, IsSortedAndUnique) {
    for (size_t i = 1; i < std::size(kStringTable); ++i)
        EXPECT_LT(kStringTable[i - 1].id, kStringTable[i].id);
}

}  // namespace
}  // namespace tw
