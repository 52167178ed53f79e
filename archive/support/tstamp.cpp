#include "archive/support/tstamp.h"

#include "archive/os/os.h"
#include "archive/support/cfg.h"
#include "archive/support/msg.h"

#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr int64_t EPOCH_DIFF_SECONDS = 11644473600;
constexpr int64_t TICKS_PER_SECOND = 10000000;

const std::string* const weekdayNames[7] = {
    stringSetting("tstamp.wday0", "Sunday"),   stringSetting("tstamp.wday1", "Monday"),
    stringSetting("tstamp.wday2", "Tuesday"),  stringSetting("tstamp.wday3", "Wednesday"),
    stringSetting("tstamp.wday4", "Thursday"), stringSetting("tstamp.wday5", "Friday"),
    stringSetting("tstamp.wday6", "Saturday"),
};

struct tm localParts(TimeStamp t) {
    struct tm parts;
    if (!os::localTime(t, parts) && !os::utcTime(t, parts)) std::memset(&parts, 0, sizeof parts);
    return parts;
}

TimeStamp minusTimeOfDay(TimeStamp t, const struct tm& p) {
    return t - p.tm_sec - 60 * p.tm_min - 3600 * int64_t(p.tm_hour);
}

// The first day of the week, 0 = Sunday. The C library gives it as a day 1..7 counted from
// the weekday of a reference date (week-1stday, a Sunday in nearly every locale).
int firstWeekday() {
    os::TimeLocale loc;
    const char* first = loc.info(_NL_TIME_FIRST_WEEKDAY);
    int n = first ? static_cast<unsigned char>(first[0]) : 0;
    VERIFY(n >= 1 && n <= 7);
    // A word-sized item comes back in the pointer's bytes.
    const char* w1st = loc.info(_NL_TIME_WEEK_1STDAY);
    unsigned int word;
    std::memcpy(&word, &w1st, sizeof word);
    using namespace std::chrono;
    year_month_day ref{year(static_cast<int>(word / 10000)), month((word / 100) % 100),
                       day(word % 100)};
    unsigned base = ref.ok() ? weekday(sys_days(ref)).c_encoding() : 0;
    return static_cast<int>((base + static_cast<unsigned>(n) - 1) % 7);
}

// The locale's time format without its seconds: composite conversions that hold seconds are
// spelled out first, then each seconds conversion goes with the separator before it.
std::string timeFormatWithoutSeconds(const os::TimeLocale& loc) {
    std::string f = loc.info(T_FMT);
    std::string expanded;
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == '%' && i + 1 < f.size()) {
            char c = f[++i];
            if (c == 'T')
                expanded += "%H:%M:%S";
            else if (c == 'r')
                expanded += loc.info(T_FMT_AMPM);
            else
                expanded += {'%', c};
        } else {
            expanded += f[i];
        }
    }
    std::string out;
    for (size_t i = 0; i < expanded.size(); ++i) {
        if (expanded[i] != '%' || i + 1 == expanded.size()) {
            out += expanded[i];
            continue;
        }
        size_t len = expanded[i + 1] == 'S' ? 2 : expanded.compare(i + 1, 2, "OS") == 0 ? 3 : 0;
        if (len == 0) {
            out += expanded.substr(i, 2);
            ++i;
            continue;
        }
        // Only a literal separator goes; after "%M" the last byte is the conversion's.
        bool literal = out.size() < 2 || out[out.size() - 2] != '%';
        if (!out.empty() && literal && !std::isalnum(static_cast<unsigned char>(out.back())))
            out.pop_back();
        i += len - 1;
    }
    return out;
}

}  // namespace

TimeStamp currentTime() {
    return os::sys().time();
}

int64_t toFileTime(TimeStamp t) {
    return (t + EPOCH_DIFF_SECONDS) * TICKS_PER_SECOND;
}

TimeStamp fromFileTime(int64_t ft) {
    return (ft - EPOCH_DIFF_SECONDS * TICKS_PER_SECOND) / TICKS_PER_SECOND;
}

TimeStamp startOfDay(TimeStamp t) {
    return minusTimeOfDay(t, localParts(t));
}

TimeStamp startOfWeek(TimeStamp t) {
    struct tm p = localParts(t);
    int back = p.tm_wday - firstWeekday();
    if (back < 0) back += 7;
    return minusTimeOfDay(t, p) - 86400 * int64_t(back);
}

TimeStamp startOfMonth(TimeStamp t) {
    struct tm p = localParts(t);
    return minusTimeOfDay(t, p) - 86400 * int64_t(p.tm_mday - 1);
}

TimeStamp startOfYear(TimeStamp t) {
    struct tm p = localParts(t);
    return minusTimeOfDay(t, p) - 86400 * int64_t(p.tm_yday);
}

bool sameMinute(TimeStamp a, TimeStamp b) {
    return a / 60 == b / 60;
}

bool sameDay(TimeStamp a, TimeStamp b) {
    return startOfDay(a) == startOfDay(b);
}

bool sameWeek(TimeStamp a, TimeStamp b) {
    return startOfWeek(a) == startOfWeek(b);
}

SystemTime toSystemTime(TimeStamp t) {
    struct tm p = localParts(t);
    return {p.tm_year + 1900, p.tm_mon + 1, p.tm_wday, p.tm_mday, p.tm_hour, p.tm_min, p.tm_sec, 0};
}

std::string timeText(TimeStamp t) {
    char buf[64];
    return formatTime(buf, sizeof buf, t, 0) ? buf : std::to_string(t);
}

bool formatTime(char* buf, size_t size, TimeStamp t, int options) {
    struct tm p = localParts(t);
    os::TimeLocale loc;
    std::string text;
    if (!(options & TIME_ONLY)) {
        if (options & WEEKDAY_NAME)
            text = *weekdayNames[p.tm_wday];
        else
            text = loc.format(loc.info(D_FMT), p);
    }
    if (!(options & DATE_ONLY)) {
        if (!(options & TIME_ONLY)) text += ' ';
        std::string format = options & NO_SECONDS ? timeFormatWithoutSeconds(loc) : loc.info(T_FMT);
        text += loc.format(format, p);
    }
    if (text.size() >= size) return false;
    std::memcpy(buf, text.c_str(), text.size() + 1);
    return true;
}
