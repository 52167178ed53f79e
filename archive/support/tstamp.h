// Time stamps: seconds since 1970-01-01 00:00 UTC, 64 bits wide here so that times after 2038
// work; the archive stores them as 32-bit words.
//
// Calendar boundaries are computed in the machine's local time zone (TZ). The first day of the
// week and the date and time formats come from the locale that the environment names for
// LC_TIME (LC_ALL, LC_TIME, LANG), whatever the process set with setlocale: the same locale
// the user's desktop shows. Weekday names for the WEEKDAY_NAME form are the settings
// "tstamp.wday0" (Sunday) to "tstamp.wday6" (Saturday).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using TimeStamp = int64_t;

// The present time, through the platform layer so that tests can set the clock.
TimeStamp currentTime();

// File times count 100-nanosecond intervals since 1601-01-01 UTC.
int64_t toFileTime(TimeStamp t);
TimeStamp fromFileTime(int64_t ft);

// Each is t minus the local time of day of t minus whole days of 86400 seconds, so on a day
// when the clock changes the result is an hour off local midnight.
TimeStamp startOfDay(TimeStamp t);
// Local midnight of the most recent first day of the week (the locale's), counting t's day.
// A locale whose first weekday is out of range is a verification failure.
TimeStamp startOfWeek(TimeStamp t);
TimeStamp startOfMonth(TimeStamp t);
TimeStamp startOfYear(TimeStamp t);

bool sameMinute(TimeStamp a, TimeStamp b);
bool sameDay(TimeStamp a, TimeStamp b);
bool sameWeek(TimeStamp a, TimeStamp b);

// The local broken-down time, fields as the desktop's date-and-time record has them.
struct SystemTime {
    int year;       // full year
    int month;      // 1..12
    int dayOfWeek;  // 0 = Sunday
    int day;        // 1..31
    int hour;
    int minute;
    int second;
    int milliseconds;  // always 0
};
SystemTime toSystemTime(TimeStamp t);

// Options of formatTime.
constexpr int NO_SECONDS = 1;
constexpr int DATE_ONLY = 2;
constexpr int TIME_ONLY = 4;
constexpr int WEEKDAY_NAME = 8;

// The date (the locale's short date format, or with WEEKDAY_NAME the weekday's name from the
// settings), unless TIME_ONLY; then, unless DATE_ONLY, a blank and the locale's time format,
// without seconds with NO_SECONDS. DATE_ONLY with TIME_ONLY gives the empty text. False when
// the text with its NUL does not fit size bytes.
bool formatTime(char* buf, size_t size, TimeStamp t, int options);
// formatTime with both date and time, for messages; the number itself when it cannot be shown.
std::string timeText(TimeStamp t);
