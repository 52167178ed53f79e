// Times and history points as tresmo-cli reads them from its command line.
#include "archive_cli/Cli.h"
#include "archive_cli/TimeArg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>

namespace {

using cli::parsePoint;
using cli::parseRange;
using cli::parseTime;
using cli::Usage;

// Each test names its time zone; the one the process had is given back afterwards.
class TimeArgument : public ::testing::Test {
  protected:
    void TearDown() override {
        _old ? ::setenv("TZ", _old->c_str(), 1) : ::unsetenv("TZ");
        ::tzset();
    }
    void zone(const char* tz) {
        if (const char* old = std::getenv("TZ"); old && !_old) _old = old;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }

  private:
    std::optional<std::string> _old;
};

TEST_F(TimeArgument, EveryFormNamesTheSameMomentAndMalformedOnesAreUsageErrors) {
    zone("UTC");
    for (auto [text, want] : {std::pair{"1700000000", 1700000000L},
                              {"@1700000000", 1700000000L},
                              {"2023-11-14T22:13:20", 1700000000L},
                              {"2023-11-14 22:13:20Z", 1700000000L},
                              {"2023-11-14T23:13:20+01:00", 1700000000L},
                              {"2023-11-14T21:13:20-0100", 1700000000L},
                              {"2023-11-14T22:13", 1700000000L - 20},
                              {"2023-11-14", 1700000000L - 80000},
                              {"4294967295", 4294967295L}})
        EXPECT_EQ(parseTime(text), want) << text;
    for (const char* bad :
         {"", "now", "2023", "@", "@12x", "2023-1-14", "2023-11-14T9:00", "2023-11-14T25:00",
          "2023-11-14T10:00:61", "2023-11-14X", "2023-11-14T10:00+1", "4294967296", "12345678901",
          "2106-02-07T06:28:16Z"})
        EXPECT_THROW(parseTime(bad), Usage) << bad;
}

TEST_F(TimeArgument, LocalTimeFollowsTheZoneAndRefusesTimesThatDoNotExist) {
    zone("Europe/Berlin");
    EXPECT_EQ(parseTime("2023-11-14T23:13:20"), 1700000000);
    EXPECT_THROW(parseTime("2024-03-31T02:30"), Usage);  // skipped by the clock change
    EXPECT_NO_THROW(parseTime("2024-03-31T03:30"));
    EXPECT_THROW(parseTime("2023-02-29"), Usage);
    EXPECT_NO_THROW(parseTime("2024-02-29"));
}

TEST_F(TimeArgument, ShortNumbersAreTransactionsAndRangesMayLeaveEitherEndOpen) {
    zone("UTC");
    EXPECT_EQ(parsePoint("3").txn, 3);
    EXPECT_EQ(parsePoint("999999").txn, 999999);
    EXPECT_EQ(parsePoint("1000000").txn, 0);
    EXPECT_EQ(parsePoint("1000000").time, 1000000);
    EXPECT_EQ(parsePoint("2023-11-14").txn, 0);
    EXPECT_THROW(parsePoint("0"), Usage);
    cli::RangeArg r = parseRange("2..5");
    ASSERT_TRUE(r.from && r.to);
    EXPECT_EQ(r.from->txn, 2);
    EXPECT_EQ(r.to->txn, 5);
    r = parseRange("2023-11-14..");
    EXPECT_TRUE(r.from && !r.to);
    r = parseRange("..");
    EXPECT_FALSE(r.from || r.to);
    EXPECT_THROW(parseRange("5"), Usage);
    EXPECT_THROW(parseRange("1..x"), Usage);
}

}  // namespace
