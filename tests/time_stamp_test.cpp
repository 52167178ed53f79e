#include "support/ScopedEnv.h"
#include "support/TestDir.h"

#include "archive/support/cfg.h"
#include "archive/support/tstamp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

// glibc's newlocale leaks its copy of LOCPATH on every call while LOCPATH is set, which only the
// tests here do. The hook is read by the leak checker of sanitizer builds and unused elsewhere.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace {

// Compiles one locale from the system's sources into a private folder, so the tests do not
// depend on which locales the machine has generated. LOCPATH makes the C library look there.
class LocaleTest : public ::testing::Test {
  protected:
    void useLocale(const std::string& name) {
        std::string cmd = "localedef -i " + name + " -f UTF-8 '" + (_dir / (name + ".UTF-8")) +
                          "' >/dev/null 2>&1";
        int rc = std::system(cmd.c_str());
        // localedef exits with 1 for warnings only; the locale is usable then.
        ASSERT_TRUE(rc == 0 || (WIFEXITED(rc) && WEXITSTATUS(rc) == 1)) << cmd;
        _env.push_back(std::make_unique<ScopedEnv>("LOCPATH", _dir.path()));
        _env.push_back(std::make_unique<ScopedEnv>("LC_ALL", ""));
        _env.push_back(std::make_unique<ScopedEnv>("LC_TIME", name + ".UTF-8"));
    }

    ~LocaleTest() override {
        while (!_env.empty())  // newest first, so each gives back what it found
            _env.pop_back();
    }

    TestDir _dir;
    std::vector<std::unique_ptr<ScopedEnv>> _env;
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

    useLocale("en_US");  // weeks start on Sunday, times have AM and PM
    EXPECT_EQ(startOfWeek(SUN_1500), SUN_0000);
    ASSERT_TRUE(formatTime(buf, sizeof buf, SUN_1500 + 7, NO_SECONDS));
    EXPECT_STREQ(buf, "03/10/2024 03:00 PM");
    ASSERT_TRUE(formatTime(buf, sizeof buf, SUN_1500, WEEKDAY_NAME | DATE_ONLY));
    EXPECT_STREQ(buf, "Sunday");
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
