// Day numbers and times of day, the program's date and time values.
// A day number counts days from 28 December 1800 (day 0; 1 January 1801 is
// day 4); a time of day counts hundredths of a second since local midnight,
// plus one (midnight is 1, 0 means "no time"). Pure functions, safe from any thread.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace vm::runtime {

constexpr int32_t kHundredthsPerDay = 24 * 60 * 60 * 100;

struct CivilDate {
  int year = 1801;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
};

struct TimeParts {
  int hour = 0;  // 0..23
  int minute = 0;
  int second = 0;
  int hundredths = 0;
};

// Day number of a date. Out-of-range months and days carry over like a
// calendar would count them: month 13 of 2003 is January 2004, day 0 is the
// last day of the month before, day 32 of January is 1 February.
int32_t DayFromDate(int year, int month, int day);
CivilDate DateFromDay(int32_t day);
// 0 = Sunday ... 6 = Saturday.
int DayOfWeek(int32_t day);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Time of day from its parts (no range check; 24:00 gives kHundredthsPerDay + 1).
int32_t TimeFrom(int hour, int minute, int second = 0, int hundredths = 0);
// Parts of a time of day; a value outside 1..kHundredthsPerDay is first taken
// modulo one day, so a time is always shown as a clock time.
TimeParts PartsOfTime(int32_t time);

// Today's day number and the current time of day by `clock`.
int32_t Today(const platform::Clock& clock = platform::SystemClock());
int32_t ClockTime(const platform::Clock& clock = platform::SystemClock());

// A moment as one count of hundredths (for ages and differences):
// day * kHundredthsPerDay + (time - 1).
int64_t MomentOf(int32_t day, int32_t time);

// Local day number and time of day of a Unix time (file times).
struct DayAndTime {
  int32_t day = 0;
  int32_t time = 0;
};
DayAndTime LocalDayAndTime(int64_t unix_seconds, long nanoseconds);

}  // namespace vm::runtime
