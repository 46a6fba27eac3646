#include "runtime/date_time.h"

namespace vm::runtime {
namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int32_t DayFromDate(int year, int month, int day) {
  // Carry the month into the year first, then count the day from the 1st.
  const int64_t m0 = static_cast<int64_t>(month) - 1;
  const int64_t y = year + FloorDiv(m0, 12);
  const int m = static_cast<int>(m0 - FloorDiv(m0, 12) * 12) + 1;
  const int64_t first = platform::DayNumberFromCivil(static_cast<int>(y), m, 1);
  return static_cast<int32_t>(first + day - 1);
}

CivilDate DateFromDay(int32_t day) {
  CivilDate d;
  platform::CivilFromDayNumber(day, &d.year, &d.month, &d.day);
  return d;
}

int DayOfWeek(int32_t day) {
  // Day 0, 28 December 1800, was a Sunday.
  return static_cast<int>(FloorDiv(day, 7) * -7 + day);
}

int32_t TimeFrom(int hour, int minute, int second, int hundredths) {
  return platform::TimeOfDayFrom(hour, minute, second, hundredths);
}

TimeParts PartsOfTime(int32_t time) {
  int64_t t = (static_cast<int64_t>(time) - 1) % kHundredthsPerDay;
  if (t < 0) t += kHundredthsPerDay;
  TimeParts p;
  p.hundredths = static_cast<int>(t % 100);
  p.second = static_cast<int>(t / 100 % 60);
  p.minute = static_cast<int>(t / 6000 % 60);
  p.hour = static_cast<int>(t / 360000);
  return p;
}

int32_t Today(const platform::Clock& clock) {
  const platform::LocalDateTime now = clock.Now();
  return DayFromDate(now.year, now.month, now.day);
}

int32_t ClockTime(const platform::Clock& clock) {
  const platform::LocalDateTime now = clock.Now();
  return TimeFrom(now.hour, now.minute, now.second, now.millisecond / 10);
}

int64_t MomentOf(int32_t day, int32_t time) {
  return static_cast<int64_t>(day) * kHundredthsPerDay + (static_cast<int64_t>(time) - 1);
}

DayAndTime LocalDayAndTime(int64_t unix_seconds, long nanoseconds) {
  const platform::LocalDateTime t = platform::LocalFromUnix(unix_seconds, nanoseconds);
  return {DayFromDate(t.year, t.month, t.day),
          TimeFrom(t.hour, t.minute, t.second, t.millisecond / 10)};
}

}  // namespace vm::runtime
