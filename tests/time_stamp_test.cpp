#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/support/cfg.h"
#include "archive/support/tstamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

// glibc's newlocale leaks its copy of LOCPATH while it is set; read by sanitizer builds only.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace {

// Compiles a locale into a private folder that LOCPATH points to, whatever the machine has.
class LocaleTest : public ::testing::Test {
  protected:
    void useLocale(const std::string& name) {
        std::string cmd = "localedef -i " + name + " -f UTF-8 '" + (_dir / (name + ".UTF-8")) +
                          "' >/dev/null 2>&1";
        int rc = std::system(cmd.c_str());
        // localedef exits with 1 for warnings only.
        ASSERT_TRUE(rc == 0 || (WIFEXITED(rc) && WEXITSTATUS(rc) == 1)) << cmd;
        _locPath.emplace("LOCPATH", _dir.path());
        _lcAll.emplace("LC_ALL", "");
        _lcTime.emplace("LC_TIME", name + ".UTF-8");
    }

    TestDir _dir;
    std::optional<ScopedEnv> _locPath, _lcAll, _lcTime;  // given back in reverse order
    ScopedEnv _tz{"TZ", "UTC0"};
};

// 2024-03-10 was a Sunday; these are UTC.
constexpr TimeStamp SUN_0000 = 1710028800;
constexpr TimeStamp SUN_1500 = SUN_0000 + 15 * 3600;
constexpr TimeStamp MON_0000_BEFORE = SUN_0000 - 6 * 86400;

TEST_F(LocaleTest, WeeksAndFormatsFollowTheLocale) {
    useLocale("de_DE");
    EXPECT_EQ(startOfWeek(SUN_1500), MON_0000_BEFORE);
    EXPECT_EQ(startOfWeek(MON_0000_BEFORE - 1), MON_0000_BEFORE - 7 * 86400);
    EXPECT_FALSE(sameWeek(SUN_1500, SUN_1500 + 9 * 3600));  // Monday 00:00 is a new week
    char buf[64];
    // "10.03.2024 15:00:07" is 19 characters.
    EXPECT_FALSE(formatTime(buf, 19, SUN_1500 + 7, 0));
    ASSERT_TRUE(formatTime(buf, 20, SUN_1500 + 7, 0));
    EXPECT_STREQ(buf, "10.03.2024 15:00:07");
    // The date alone fits 11 bytes, the blank before the time does not.
    EXPECT_FALSE(formatTime(buf, 11, SUN_1500, 0));
    EXPECT_TRUE(formatTime(buf, 11, SUN_1500, DATE_ONLY));
    std::string& monday = findSetting("tstamp.wday1", Setting::STRING, false)->_string;
    std::string saved = std::exchange(monday, "Montag");
    bool ok = formatTime(buf, sizeof buf, MON_0000_BEFORE + 54030, WEEKDAY_NAME | NO_SECONDS);
    monday = saved;
    ASSERT_TRUE(ok);
    EXPECT_STREQ(buf, "Montag 15:00");
    {
        // Monday 02:00 UTC is still Sunday 21:00 in New York (no daylight saving in EST5).
        ScopedEnv tz("TZ", "EST5");
        EXPECT_EQ(startOfWeek(SUN_0000 + 26 * 3600), MON_0000_BEFORE + 5 * 3600);
    }
}

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
