// Day numbers and times of day against an independent calendar, and the
// manual clock that tests of other layers rely on.
#include "platform/clock.h"

#include <chrono>

#include <gtest/gtest.h>

namespace vm::platform {
namespace {

TEST(DayNumber, FixedPoints) {
  EXPECT_EQ(DayNumberFromCivil(1800, 12, 28), 0);
  EXPECT_EQ(DayNumberFromCivil(1801, 1, 1), 4);
  int y, m, d;
  CivilFromDayNumber(4, &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18010101);
  CivilFromDayNumber(-1, &y, &m, &d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18001227);
  // 1900 is not a leap year, 2000 is.
  EXPECT_EQ(DayNumberFromCivil(1900, 3, 1) - DayNumberFromCivil(1900, 2, 28), 1);
  EXPECT_EQ(DayNumberFromCivil(2000, 3, 1) - DayNumberFromCivil(2000, 2, 28), 2);
  EXPECT_EQ(DayNumberFromCivil(2100, 3, 1) - DayNumberFromCivil(2100, 2, 28), 1);
}

TEST(DayNumber, AgreesWithStdChronoOverFourCenturies) {
  using namespace std::chrono;
  const sys_days zero = sys_days(year{1800} / December / 28);
  for (int32_t n = -1000; n < 146097 + 1000; n += 7) {
    year_month_day ref{zero + days{n}};
    EXPECT_EQ(
        DayNumberFromCivil(int(ref.year()), int(unsigned(ref.month())), int(unsigned(ref.day()))),
        n);
    int y, m, d;
    CivilFromDayNumber(n, &y, &m, &d);
    ASSERT_EQ(y, int(ref.year())) << n;
    ASSERT_EQ(m, int(unsigned(ref.month()))) << n;
    ASSERT_EQ(d, int(unsigned(ref.day()))) << n;
  }
}

TEST(TimeOfDay, MidnightIsOne) {
  EXPECT_EQ(TimeOfDayFrom(0, 0, 0, 0), 1);
  EXPECT_EQ(TimeOfDayFrom(9, 9, 0, 0), (9 * 3600 + 9 * 60) * 100 + 1);
  EXPECT_EQ(TimeOfDayFrom(23, 59, 59, 99), 8640000);
}

TEST(ManualClock, AdvancesDateTimeTicksAndUnixTogether) {
  ManualClock clock;
  clock.Set(LocalDateTime{2003, 12, 31, 3, 23, 59, 59, 500}, 1072915199);
  clock.SetTickCount(0xFFFFFF00u);
  clock.AdvanceMilliseconds(600);
  LocalDateTime now = clock.Now();
  EXPECT_EQ(now.year, 2004);
  EXPECT_EQ(now.month, 1);
  EXPECT_EQ(now.day, 1);
  EXPECT_EQ(now.weekday, 4);  // 1 January 2004 was a Thursday
  EXPECT_EQ(now.hour, 0);
  EXPECT_EQ(now.second, 0);
  EXPECT_EQ(now.millisecond, 100);
  EXPECT_EQ(clock.TickCount(),
            static_cast<uint32_t>(0xFFFFFF00u + 600u));  // wraps like GetTickCount
  EXPECT_EQ(clock.UnixSeconds(), 1072915199);  // 600 ms after a whole second is not yet a new one
  clock.AdvanceMilliseconds(400);
  EXPECT_EQ(clock.UnixSeconds(), 1072915200);
}

TEST(SystemClock, ZoneOffsetMatchesLocalTime) {
  ZoneInfo z = SystemClock().Zone();
  EXPECT_GE(z.offset_minutes, -14 * 60);
  EXPECT_LE(z.offset_minutes, 14 * 60);
  LocalDateTime a = SystemClock().Now();
  LocalDateTime b = LocalFromUnix(SystemClock().UnixSeconds(), 0);
  EXPECT_EQ(a.year, b.year);
  EXPECT_FALSE(SystemVersionText().empty());
}

}  // namespace
}  // namespace vm::platform
