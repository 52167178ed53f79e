// Times and history points as tresmo-cli reads them from its command line.
#include "archive_cli/Cli.h"
#include "archive_cli/TimeArg.h"
#include "support/ScopedEnv.h"

#include <gtest/gtest.h>

namespace {

using cli::parsePoint;
using cli::parseRange;
using cli::parseTime;
using cli::Usage;

TEST(TimeArgument, EveryFormNamesTheSameMomentShortNumbersAreTransactionsAndMalformedOnesFail) {
    ScopedEnv tz("TZ", "UTC");
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
    // Up to six digits name a transaction; ranges may leave either end open.
    EXPECT_EQ(parsePoint("999999").txn, 999999);
    EXPECT_EQ(parsePoint("1000000").txn, 0);
    EXPECT_EQ(parsePoint("1000000").time, 1000000);
    EXPECT_THROW(parsePoint("0"), cli::Failure);
    cli::RangeArg r = parseRange("2023-11-14..");
    EXPECT_TRUE(r.from && !r.to);
    EXPECT_THROW(parseRange("5"), Usage);
    EXPECT_THROW(parseRange("1..x"), Usage);
    // Local time follows the zone, and times that do not exist there are refused.
    ScopedEnv berlin("TZ", "Europe/Berlin");
    EXPECT_EQ(parseTime("2023-11-14T23:13:20"), 1700000000);
    EXPECT_THROW(parseTime("2024-03-31T02:30"), Usage);  // skipped by the clock change
    EXPECT_THROW(parseTime("2023-02-29"), Usage);
    EXPECT_NO_THROW(parseTime("2024-02-29"));
}

}  // namespace
