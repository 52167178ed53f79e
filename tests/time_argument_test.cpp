// Times and history points as tresmo-cli reads them from its command line.
#include "archive_cli/Cli.h"
#include "archive_cli/TimeArg.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

using cli::parsePoint;
using cli::parseRange;
using cli::parseTime;
using cli::Usage;

class TimeArgument : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        _hadTz = tz != nullptr;
        if (tz) _oldTz = tz;
    }
    void TearDown() override {
        if (_hadTz)
            ::setenv("TZ", _oldTz.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    static void zone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }

  private:
    bool _hadTz = false;
    std::string _oldTz;
};

TEST_F(TimeArgument, UnixSecondsAndIsoFormsNameTheSameMoment) {
    zone("UTC");
    EXPECT_EQ(parseTime("1700000000"), 1700000000);
    EXPECT_EQ(parseTime("@1700000000"), 1700000000);
    EXPECT_EQ(parseTime("2023-11-14T22:13:20"), 1700000000);
    EXPECT_EQ(parseTime("2023-11-14 22:13:20Z"), 1700000000);
    EXPECT_EQ(parseTime("2023-11-14T23:13:20+01:00"), 1700000000);
    EXPECT_EQ(parseTime("2023-11-14T21:13:20-0100"), 1700000000);
    EXPECT_EQ(parseTime("2023-11-14T22:13"), 1700000000 - 20);
    EXPECT_EQ(parseTime("2023-11-14"), 1700000000 - 22 * 3600 - 13 * 60 - 20);
}

TEST_F(TimeArgument, LocalTimeFollowsTheZoneAndRefusesTimesThatDoNotExist) {
    zone("Europe/Berlin");
    EXPECT_EQ(parseTime("2023-11-14T23:13:20"), 1700000000);
    // 02:30 on the last Sunday of March is skipped by the clock change.
    EXPECT_THROW(parseTime("2024-03-31T02:30"), Usage);
    EXPECT_NO_THROW(parseTime("2024-03-31T03:30"));
    EXPECT_THROW(parseTime("2023-02-29"), Usage);
    EXPECT_NO_THROW(parseTime("2024-02-29"));
}

TEST_F(TimeArgument, MalformedAndOutOfRangeTimesAreUsageErrors) {
    zone("UTC");
    for (const char* bad :
         {"", "now", "2023", "@", "@12x", "2023-1-14", "2023-11-14T9:00", "2023-11-14T25:00",
          "2023-11-14T10:00:61", "2023-11-14X", "2023-11-14T10:00+1", "4294967296", "12345678901",
          "2106-02-07T06:28:16Z"}) {
        EXPECT_THROW(parseTime(bad), Usage) << bad;
    }
    EXPECT_EQ(parseTime("4294967295"), 4294967295);
}

TEST_F(TimeArgument, ShortNumbersAreTransactionsAndLongOnesTimes) {
    zone("UTC");
    EXPECT_EQ(parsePoint("3").txn, 3);
    EXPECT_EQ(parsePoint("999999").txn, 999999);
    EXPECT_EQ(parsePoint("1000000").txn, 0);
    EXPECT_EQ(parsePoint("1000000").time, 1000000);
    EXPECT_EQ(parsePoint("2023-11-14").txn, 0);
    EXPECT_THROW(parsePoint("0"), Usage);
}

TEST_F(TimeArgument, RangesMayLeaveEitherEndOpen) {
    zone("UTC");
    cli::RangeArg r = parseRange("2..5");
    ASSERT_TRUE(r.from && r.to);
    EXPECT_EQ(r.from->txn, 2);
    EXPECT_EQ(r.to->txn, 5);
    r = parseRange("2023-11-14..");
    ASSERT_TRUE(r.from);
    EXPECT_FALSE(r.to);
    r = parseRange("..");
    EXPECT_FALSE(r.from || r.to);
    EXPECT_THROW(parseRange("5"), Usage);
    EXPECT_THROW(parseRange("1..x"), Usage);
}

}  // namespace
