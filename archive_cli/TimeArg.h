// Times and points of the archive's history as the command line takes them.
//
// A time is Unix seconds ("1765000000", or "@1765000000") or ISO 8601: a date, optionally a
// time of day after 'T' or a blank, optionally seconds, optionally "Z" or an offset "+01:00".
// Without an offset the time is local (TZ), as the desktop program shows times. A local time
// that does not exist (a date like 2026-02-30, or an hour skipped by a clock change) is
// refused rather than moved. Every parser throws cli::Usage with a text that names the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

// Transaction numbers count from 1 (the oldest) and are at most this many digits, so that a
// number can never be mistaken for Unix seconds of a real archive.
constexpr size_t TXN_DIGITS = 6;
// Time stamps are stored as unsigned 32-bit words.
constexpr int64_t MAX_TIME = 4294967295;

int64_t parseTime(std::string_view text);

// A transaction number (as `log` prints it) or a time.
struct Point {
    int32_t txn = 0;  // 0 when the point is a time
    int64_t time = 0;
};
Point parsePoint(std::string_view text);

// "A..B"; either side may be empty (open).
struct RangeArg {
    std::optional<Point> from, to;
};
RangeArg parseRange(std::string_view text);

// The start of "today", "week", "month" or "year" containing now, as the desktop program's
// Recent Changes menu computes it.
int64_t periodStart(std::string_view period, int64_t now);

// "2026-12-06 10:15:30" in local time; what every listing prints.
std::string localTimeText(int64_t t);

}  // namespace cli
