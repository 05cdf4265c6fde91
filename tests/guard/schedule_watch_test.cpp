// SPDX-License-Identifier: GPL-3.0-or-later
// When the guard fires: due times from the record, and the panel's time window.
#include "guard/schedule_watch.h"

#include <gtest/gtest.h>

using tw::FileTime;
using tw::guard::FireNow;
using tw::guard::NextDue;
using tw::guard::ScheduleSnapshot;

namespace {

constexpr FileTime kSecond = tw::kFileTimePerSecond;
constexpr FileTime kDay = tw::kFileTimePerDay;

// 2024-03-03 is a Sunday.
FileTime At(int day, int hour, int minute, int second = 0) {
    tw::SystemTime st;
    st.year = 2024;
    st.month = 3;
    st.day = day;
    st.hour = hour;
    st.minute = minute;
    st.second = second;
    FileTime ft = 0;
    EXPECT_TRUE(tw::SystemTimeToFileTime(st, &ft));
    return ft;
}

ScheduleSnapshot Once(FileTime start) {
    ScheduleSnapshot s;
    s.active = true;
    s.start = start;
    s.record.repeatType = tw::sched::kRunOnce;
    return s;
}

ScheduleSnapshot Weekly(FileTime start, std::initializer_list<int> days) {
    ScheduleSnapshot s = Once(start);
    s.record.repeatType = tw::sched::kRunOnDays;
    for (int d : days) s.record.days[d] = 1;
    return s;
}

}  // namespace

TEST(NextDue, OneTimeScheduleIsDueAtItsStartOnly) {
    const FileTime start = At(5, 10, 15, 30);
    EXPECT_EQ(NextDue(Once(start), At(5, 9, 0), 0), start);
    // Its window is still open a little after the start ...
    EXPECT_EQ(NextDue(Once(start), start + 20 * kSecond, 0), start);
    // ... and closed once the panel would no longer accept it.
    EXPECT_FALSE(NextDue(Once(start), start + 40 * kSecond, 0));
    // Fired once, never again.
    EXPECT_FALSE(NextDue(Once(start), start + kSecond, start));
    ScheduleSnapshot off = Once(start);
    off.active = false;
    EXPECT_FALSE(NextDue(off, At(5, 9, 0), 0));
    EXPECT_FALSE(NextDue(Once(0), At(5, 9, 0), 0));  // never set
}

TEST(NextDue, WeeklyScheduleFollowsTheChosenDays) {
    const FileTime start = At(3, 9, 0);  // the first run the page computed
    // Only Saturday, asked on Sunday: the Saturday of that week.
    EXPECT_EQ(NextDue(Weekly(start, {6}), At(3, 10, 0), 0), At(9, 9, 0));
    // Only Sunday, asked on Saturday: the next day, through the week's wrap.
    EXPECT_EQ(NextDue(Weekly(start, {0}), At(9, 10, 0), 0), At(10, 9, 0));
    // Today chosen and its time still ahead: today.
    EXPECT_EQ(NextDue(Weekly(start, {2, 4}), At(5, 8, 59), 0), At(5, 9, 0));
    // Today's time 10 s gone: still today (its window is open) ...
    EXPECT_EQ(NextDue(Weekly(start, {2}), At(5, 9, 0, 10), 0), At(5, 9, 0));
    // ... unless it was fired: then a week later.
    EXPECT_EQ(NextDue(Weekly(start, {2}), At(5, 9, 0, 10), At(5, 9, 0)), At(12, 9, 0));
    // Fired on Tuesday with Thursday chosen too: Thursday.
    EXPECT_EQ(NextDue(Weekly(start, {2, 4}), At(5, 9, 0, 10), At(5, 9, 0)), At(7, 9, 0));
    // Long past today's time: the next chosen day.
    EXPECT_EQ(NextDue(Weekly(start, {2}), At(5, 9, 1), 0), At(12, 9, 0));
    // No day chosen: never, on a Saturday too (the word after the days is no day).
    EXPECT_FALSE(NextDue(Weekly(start, {}), At(5, 8, 0), 0));
    ScheduleSnapshot none = Weekly(start, {});
    none.record.repeatDOM = 1;
    EXPECT_FALSE(NextDue(none, At(9, 8, 0), 0));
}

TEST(NextDue, TypesNeverProducedNeverFire) {
    ScheduleSnapshot s = Weekly(At(3, 9, 0), {0, 1, 2, 3, 4, 5, 6});
    for (uint32_t type : {1u, 2u}) {
        s.record.repeatType = type;
        EXPECT_FALSE(NextDue(s, At(5, 8, 0), 0)) << type;
    }
}

TEST(FireNow, MatchesThePanelsWindow) {
    const FileTime due = At(5, 10, 15, 11);
    EXPECT_FALSE(FireNow(due, due - kSecond));  // not yet
    EXPECT_TRUE(FireNow(due, due));
    EXPECT_TRUE(FireNow(due, At(5, 10, 15, 40)));                 // 29 s late: still accepted
    EXPECT_FALSE(FireNow(At(5, 10, 15, 10), At(5, 10, 15, 40)));  // 30 s: refused
    EXPECT_FALSE(FireNow(At(5, 10, 15, 50), At(5, 10, 16, 5)));   // the minute changed
    // The panel's test ignores the date; the guard does not fire a day late.
    EXPECT_FALSE(FireNow(due, due + kDay));
}
