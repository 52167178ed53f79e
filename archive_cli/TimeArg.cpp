#include "archive_cli/TimeArg.h"

#include "archive_cli/Cli.h"

#include "archive/os/os.h"
#include "archive/support/tstamp.h"

#include <cstdio>
#include <ctime>

namespace cli {

namespace {

[[noreturn]] void bad(std::string_view text, const char* why) {
    throw Usage("invalid time '" + std::string(text) + "': " + why);
}

bool allDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// Reads exactly n digits at s[pos]; -1 when they are not there.
int digits(std::string_view s, size_t& pos, size_t n) {
    if (pos + n > s.size()) return -1;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        char c = s[pos + i];
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    pos += n;
    return v;
}

bool expect(std::string_view s, size_t& pos, char c) {
    if (pos < s.size() && s[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

int64_t parseUnix(std::string_view text, std::string_view num) {
    if (num.size() > 10) bad(text, "out of range");
    int64_t v = 0;
    for (char c : num)
        v = v * 10 + (c - '0');
    if (v > MAX_TIME) bad(text, "out of range");
    return v;
}

int64_t parseIso(std::string_view text) {
    size_t pos = 0;
    struct tm tm = {};
    int year = digits(text, pos, 4);
    if (year < 0 || !expect(text, pos, '-')) bad(text, "expected YYYY-MM-DD");
    int month = digits(text, pos, 2);
    if (month < 0 || !expect(text, pos, '-')) bad(text, "expected YYYY-MM-DD");
    int day = digits(text, pos, 2);
    if (day < 0) bad(text, "expected YYYY-MM-DD");
    int hour = 0, minute = 0, second = 0;
    if (pos < text.size() && (text[pos] == 'T' || text[pos] == ' ')) {
        ++pos;
        hour = digits(text, pos, 2);
        if (hour < 0 || !expect(text, pos, ':')) bad(text, "expected HH:MM after the date");
        minute = digits(text, pos, 2);
        if (minute < 0) bad(text, "expected HH:MM after the date");
        if (expect(text, pos, ':')) {
            second = digits(text, pos, 2);
            if (second < 0) bad(text, "expected two digits of seconds");
        }
    }
    bool utc = false;
    int offset = 0;
    if (expect(text, pos, 'Z')) {
        utc = true;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        int sign = text[pos++] == '-' ? -1 : 1;
        int oh = digits(text, pos, 2);
        expect(text, pos, ':');
        int om = digits(text, pos, 2);
        if (oh < 0 || om < 0 || oh > 23 || om > 59) bad(text, "expected an offset like +01:00");
        utc = true;
        offset = sign * (oh * 3600 + om * 60);
    }
    if (pos != text.size()) bad(text, "unexpected text at the end");
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        bad(text, "a field is out of range");

    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    struct tm want = tm;
    int64_t t;
    if (utc)
        t = os::fromUtcTime(tm) - offset;
    else
        t = os::fromLocalTime(tm);
    // mktime and timegm normalise silently (Feb 30 becomes Mar 2, a skipped hour moves on):
    // a time whose fields changed did not exist.
    if (tm.tm_year != want.tm_year || tm.tm_mon != want.tm_mon || tm.tm_mday != want.tm_mday ||
        tm.tm_hour != want.tm_hour || tm.tm_min != want.tm_min || tm.tm_sec != want.tm_sec)
        bad(text, "no such local time");
    if (t < 0 || t > MAX_TIME) bad(text, "out of range");
    return t;
}

}  // namespace

int64_t parseTime(std::string_view text) {
    if (text.empty()) bad(text, "empty");
    if (text[0] == '@') {
        if (!allDigits(text.substr(1))) bad(text, "expected digits after '@'");
        return parseUnix(text, text.substr(1));
    }
    if (allDigits(text)) {
        // Four digits alone would read as a year; Unix seconds that small are never meant.
        if (text.size() <= 4) bad(text, "too small for Unix seconds; use YYYY-MM-DD");
        return parseUnix(text, text);
    }
    return parseIso(text);
}

Point parsePoint(std::string_view text) {
    Point p;
    if (allDigits(text) && text.size() <= TXN_DIGITS) {
        int32_t n = 0;
        for (char c : text)
            n = n * 10 + (c - '0');
        // Well formed, like 99 in an archive of two: no such transaction, not a usage error.
        if (n == 0) throw Failure("no transaction 0: the oldest is 1");
        p.txn = n;
        return p;
    }
    p.time = parseTime(text);
    return p;
}

RangeArg parseRange(std::string_view text) {
    size_t dots = text.find("..");
    if (dots == std::string_view::npos)
        throw Usage("invalid range '" + std::string(text) + "': expected A..B");
    RangeArg r;
    std::string_view a = text.substr(0, dots), b = text.substr(dots + 2);
    if (!a.empty()) r.from = parsePoint(a);
    if (!b.empty()) r.to = parsePoint(b);
    return r;
}

int64_t periodStart(std::string_view period, int64_t now) {
    if (period == "today") return startOfDay(now);
    if (period == "week") return startOfWeek(now);
    if (period == "month") return startOfMonth(now);
    if (period == "year") return startOfYear(now);
    throw Usage("invalid period '" + std::string(period) + "': use today, week, month or year");
}

std::string localTimeText(int64_t t) {
    SystemTime st = toSystemTime(t);
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", st.year, st.month, st.day,
                  st.hour, st.minute, st.second);
    return buf;
}

}  // namespace cli
