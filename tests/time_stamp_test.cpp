#include "support/ScopedEnv.h"

#include "archive/support/tstamp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(TimeStamp, FileTimesMinutesAndCalendarStartsInLocalTimeBeyond2038) {
    EXPECT_EQ(toFileTime(0), 116444736000000000);
    EXPECT_EQ(fromFileTime(116444736000000000), 0);
    EXPECT_EQ(fromFileTime(116444736000000000 + 19999999), 1);  // intervals are cut off
    EXPECT_FALSE(sameMinute(119, 120));
    EXPECT_TRUE(sameMinute(-59, 59));  // division truncates toward zero

    ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    // 2100-01-01 00:00 local is 2099-12-31 23:00 UTC.
    constexpr TimeStamp Y2100 = 4102444800 - 3600;
    EXPECT_EQ(startOfYear(Y2100 + 40 * 86400 + 5000), Y2100);
    EXPECT_EQ(startOfMonth(Y2100 + 40 * 86400 + 5000), Y2100 + 31 * 86400);
    EXPECT_EQ(startOfDay(Y2100 + 86399), Y2100);
    EXPECT_FALSE(sameDay(Y2100 - 1, Y2100));
    SystemTime st = toSystemTime(Y2100 + 3723);
    EXPECT_EQ(std::vector<int>({st.year, st.month, st.day, st.dayOfWeek, st.hour, st.minute,
                                st.second, st.milliseconds}),
              std::vector<int>({2100, 1, 1, 5, 1, 2, 3, 0}));  // a Friday
}

}  // namespace
