// Day numbers, times of day and their display pictures, checked against
// std::chrono's calendar as an independent reference.
#include <gtest/gtest.h>

#include <chrono>

#include "runtime/date_time.h"
#include "runtime/picture.h"

namespace vm::runtime {
namespace {

using namespace std::chrono;

const sys_days kDayZero = sys_days(year{1800} / December / 28);

int32_t RefDay(int y, unsigned m, unsigned d) {
  return static_cast<int32_t>((sys_days(year{y} / month{m} / day{d}) - kDayZero).count());
}

TEST(DayNumber, FixedPointsAndLeapYears) {
  EXPECT_EQ(DayFromDate(1801, 1, 1), 4);
  EXPECT_EQ(DayFromDate(1800, 12, 28), 0);
  const CivilDate d4 = DateFromDay(4);
  EXPECT_EQ(d4.year * 10000 + d4.month * 100 + d4.day, 18010101);
  // 1900 and 2100 are common years, 2000 a leap year.
  EXPECT_EQ(DayFromDate(1900, 3, 1) - DayFromDate(1900, 2, 28), 1);
  EXPECT_EQ(DayFromDate(2000, 3, 1) - DayFromDate(2000, 2, 28), 2);
  EXPECT_EQ(DayFromDate(2100, 3, 1) - DayFromDate(2100, 2, 28), 1);
  EXPECT_EQ(DaysInMonth(1900, 2), 28);
  EXPECT_EQ(DaysInMonth(2000, 2), 29);
  EXPECT_EQ(DaysInMonth(2004, 2), 29);
  EXPECT_EQ(DaysInMonth(2100, 2), 28);
  EXPECT_EQ(DaysInMonth(2003, 4), 30);
  EXPECT_EQ(DayFromDate(2003, 7, 5), RefDay(2003, 7, 5));
  EXPECT_EQ(DayFromDate(9999, 12, 31), RefDay(9999, 12, 31));
}

TEST(DayNumber, CarriesOutOfRangeMonthsAndDays) {
  EXPECT_EQ(DayFromDate(2003, 13, 1), DayFromDate(2004, 1, 1));
  EXPECT_EQ(DayFromDate(2003, 0, 1), DayFromDate(2002, 12, 1));
  EXPECT_EQ(DayFromDate(2003, -11, 1), DayFromDate(2002, 1, 1));
  EXPECT_EQ(DayFromDate(2003, 3, 0), DayFromDate(2003, 2, 28));
  EXPECT_EQ(DayFromDate(2004, 3, 0), DayFromDate(2004, 2, 29));
  EXPECT_EQ(DayFromDate(2003, 1, 32), DayFromDate(2003, 2, 1));
}

TEST(DayNumber, RoundTripsAgainstChronoOverAWideRange) {
  // Every 3rd day over 2000 years around the epoch, and far dates.
  for (int32_t n = -40000; n < 700000; n += 3) {
    const year_month_day ref{kDayZero + days{n}};
    const CivilDate c = DateFromDay(n);
    ASSERT_EQ(c.year, int(ref.year())) << n;
    ASSERT_EQ(c.month, int(unsigned(ref.month()))) << n;
    ASSERT_EQ(c.day, int(unsigned(ref.day()))) << n;
    ASSERT_EQ(DayFromDate(c.year, c.month, c.day), n);
    ASSERT_EQ(DayOfWeek(n), int(weekday{kDayZero + days{n}}.c_encoding())) << n;
  }
  for (int32_t n : {10000000, 11000000, -5000000}) {
    const year_month_day ref{kDayZero + days{n}};
    const CivilDate c = DateFromDay(n);
    EXPECT_EQ(c.year, int(ref.year()));
    EXPECT_EQ(DayFromDate(c.year, c.month, c.day), n);
  }
}

TEST(TimeOfDay, PartsAndMidnight) {
  EXPECT_EQ(TimeFrom(0, 0), 1);
  EXPECT_EQ(TimeFrom(9, 9), 3294001);
  EXPECT_EQ(TimeFrom(23, 59, 59, 99), kHundredthsPerDay);
  const TimeParts p = PartsOfTime(TimeFrom(13, 45, 30, 7));
  EXPECT_EQ(p.hour * 1000000 + p.minute * 10000 + p.second * 100 + p.hundredths, 13453007);
  for (int32_t t = 1; t <= kHundredthsPerDay; t += 997) {
    const TimeParts q = PartsOfTime(t);
    ASSERT_EQ(TimeFrom(q.hour, q.minute, q.second, q.hundredths), t);
  }
  // Beyond one day wraps round to a clock time.
  EXPECT_EQ(PartsOfTime(kHundredthsPerDay + 1).hour, 0);
  EXPECT_EQ(MomentOf(5, 1) - MomentOf(4, kHundredthsPerDay), 1);
}

TEST(TimeOfDay, TodayAndNowFollowTheClock) {
  platform::ManualClock clock;  // 2003-07-05 09:09:00
  EXPECT_EQ(Today(clock), RefDay(2003, 7, 5));
  EXPECT_EQ(ClockTime(clock), TimeFrom(9, 9));
  clock.AdvanceMilliseconds(1230);
  EXPECT_EQ(ClockTime(clock), TimeFrom(9, 9, 1, 23));
}

TEST(DatePicture, AllPicturesOfOneDate) {
  const int32_t d = DayFromDate(2003, 7, 5);
  const char* const expected[] = {" 7/05/03", " 7/05/2003", "Jul  5, 2003", "July  5, 2003",
                                  " 5/07/03", " 5/07/2003", " 5 Jul 03",    " 5 Jul 2003",
                                  "03/07/05", "2003/07/05", "030705",       "20030705",
                                  " 7/03",    " 7/2003",    "03/07",        "2003/07"};
  for (int pic = 1; pic <= 16; ++pic)
    EXPECT_EQ(FormatDate(d, pic), expected[pic - 1]) << "picture " << pic;
}

TEST(DatePicture, BlankTensOnlyForTheLeadingElement) {
  const int32_t d = DayFromDate(2010, 12, 31);
  EXPECT_EQ(FormatDate(d, 5), "31/12/10");
  EXPECT_EQ(FormatDate(d, 1), "12/31/10");
  EXPECT_EQ(FormatDate(DayFromDate(2009, 1, 10), 1), " 1/10/09");
  EXPECT_EQ(FormatDate(DayFromDate(2009, 10, 1), 5), " 1/10/09");
  EXPECT_EQ(FormatDate(DayFromDate(2000, 2, 29), 6), "29/02/2000");
  EXPECT_EQ(FormatDate(4, 6), " 1/01/1801");
  EXPECT_EQ(FormatDate(DayFromDate(1900, 1, 1), 5), " 1/01/00");
  EXPECT_EQ(FormatDate(DayFromDate(2100, 9, 9), 4), "September  9, 2100");
  // Cleared field and unknown picture.
  EXPECT_EQ(FormatDate(0, 5), "");
  EXPECT_EQ(FormatDate(4, 19), "");
}

TEST(DatePicture, SystemFormatsUseTheLocalePatterns) {
  platform::LocaleFormats f;
  f.short_date = "%d.%m.%Y";
  f.long_date = "%Y-%m-%d";
  f.short_time = "%H.%M";
  f.long_time = "%H.%M.%S";
  SetLocaleFormats(f);
  EXPECT_EQ(FormatDate(DayFromDate(2003, 7, 5), 17), "05.07.2003");
  EXPECT_EQ(FormatDate(DayFromDate(2003, 7, 5), 18), "2003-07-05");
  EXPECT_EQ(FormatTime(TimeFrom(9, 9, 7), 7), "09.09");
  EXPECT_EQ(FormatTime(TimeFrom(9, 9, 7), 8), "09.09.07");
  EXPECT_EQ(DeformatDate("5.7.2003", 17, 2026), DayFromDate(2003, 7, 5));
  SetLocaleFormats(platform::SystemLocaleFormats());
  // The C locale's short date is month first.
  EXPECT_FALSE(FormatDate(DayFromDate(2003, 7, 5), 17).empty());
}

TEST(LocaleFormats, FormatLocalizedComputesWeekdayAndDayOfYear) {
  // Numeric conversions only, so the result is the same in every locale.
  EXPECT_EQ(platform::FormatLocalized("%Y-%m-%d %H:%M:%S %j %u", 2003, 7, 5, 9, 9, 7),
            "2003-07-05 09:09:07 186 6");
  EXPECT_EQ(platform::FormatLocalized("%j %w", 2000, 12, 31, 0, 0, 0), "366 0");
  EXPECT_EQ(platform::FormatLocalized("%j %w", 1900, 3, 1, 0, 0, 0), "060 4");
  EXPECT_EQ(platform::FormatLocalized("%j %w", 1801, 1, 1, 0, 0, 0), "001 4");
  EXPECT_EQ(platform::FormatLocalized("%d", 2003, 13, 1, 0, 0, 0), "");
  const platform::LocaleFormats f = platform::SystemLocaleFormats();
  EXPECT_NE(f.short_date.find('%'), std::string::npos);
  EXPECT_EQ(f.short_time.find("%S"), std::string::npos);  // the short time has no seconds
  EXPECT_NE(f.long_date.find("%B"), std::string::npos);
}

TEST(TimePicture, AllPictures) {
  const int32_t t = TimeFrom(9, 9, 5, 50);
  const char* const expected[] = {" 9:09", " 909", " 9:09AM", " 9:09:05", " 90905", " 9:09:05AM"};
  for (int pic = 1; pic <= 6; ++pic)
    EXPECT_EQ(FormatTime(t, pic), expected[pic - 1]) << "picture " << pic;
  EXPECT_EQ(FormatTime(1, 1), " 0:00");
  EXPECT_EQ(FormatTime(1, 3), "12:00AM");
  EXPECT_EQ(FormatTime(TimeFrom(12, 0), 3), "12:00PM");
  EXPECT_EQ(FormatTime(TimeFrom(23, 59, 59, 99), 6), "11:59:59PM");
  EXPECT_EQ(FormatTime(TimeFrom(10, 0), 1), "10:00");
  EXPECT_EQ(FormatTime(TimeFrom(13, 5), 3), " 1:05PM");
  EXPECT_EQ(FormatTime(0, 1), "");
  EXPECT_EQ(FormatTime(t, 9), "");
}

TEST(Deformat, DatesRoundTripThroughEveryReadablePicture) {
  for (int32_t d = DayFromDate(1930, 1, 1); d < DayFromDate(2030, 1, 1); d += 37) {
    for (int pic = 1; pic <= 12; ++pic) {
      ASSERT_EQ(DeformatDate(FormatDate(d, pic), pic, 2010), d)
          << "picture " << pic << " " << FormatDate(d, pic);
    }
  }
  // Month pictures read back as the first of the month.
  EXPECT_EQ(DeformatDate(" 7/2003", 14, 2010), DayFromDate(2003, 7, 1));
  EXPECT_EQ(DeformatDate("0307", 15, 2010), DayFromDate(2003, 7, 1));
  EXPECT_EQ(DeformatDate("200307", 16, 2010), DayFromDate(2003, 7, 1));
}

TEST(Deformat, DatesRejectImpossibleDaysAndWindowTwoDigitYears) {
  EXPECT_EQ(DeformatDate("29/02/2000", 6, 2010), DayFromDate(2000, 2, 29));
  EXPECT_EQ(DeformatDate("29/02/1900", 6, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("31/04/03", 5, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("13/13/03", 5, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("00/01/03", 5, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("5/7", 5, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("5 Foo 2003", 8, 2010), std::nullopt);
  EXPECT_EQ(DeformatDate("   ", 5, 2010), 0);
  EXPECT_EQ(DeformatDate("5 jul 2003", 8, 2010), DayFromDate(2003, 7, 5));
  EXPECT_EQ(DeformatDate("5-7-3", 5, 2010), DayFromDate(2003, 7, 5));
  // Window of 100 years: this_year - 80 .. this_year + 19.
  EXPECT_EQ(DeformatDate("1/1/29", 5, 2010), DayFromDate(2029, 1, 1));
  EXPECT_EQ(DeformatDate("1/1/30", 5, 2010), DayFromDate(1930, 1, 1));
  EXPECT_EQ(DeformatDate("1/1/30", 5, 2050), DayFromDate(2030, 1, 1));
  EXPECT_EQ(DeformatDate("1/1/0030", 6, 2010), DayFromDate(30, 1, 1));
  EXPECT_EQ(DeformatDate("1/1/03", 18, 2010), std::nullopt);
}

TEST(Deformat, Times) {
  for (int32_t t = 1; t <= kHundredthsPerDay; t += 6100) {
    const int32_t whole_minutes = (t - 1) / 6000 * 6000 + 1;
    const int32_t whole_seconds = (t - 1) / 100 * 100 + 1;
    for (int pic : {1, 2, 3})
      ASSERT_EQ(DeformatTime(FormatTime(t, pic), pic), whole_minutes) << FormatTime(t, pic);
    for (int pic : {4, 5, 6})
      ASSERT_EQ(DeformatTime(FormatTime(t, pic), pic), whole_seconds) << FormatTime(t, pic);
  }
  EXPECT_EQ(DeformatTime("9:09", 1), TimeFrom(9, 9));
  EXPECT_EQ(DeformatTime("12:30am", 1), TimeFrom(0, 30));
  EXPECT_EQ(DeformatTime("12:30 PM", 1), TimeFrom(12, 30));
  EXPECT_EQ(DeformatTime("1:30p", 3), TimeFrom(13, 30));
  EXPECT_EQ(DeformatTime("24:00", 1), std::nullopt);
  EXPECT_EQ(DeformatTime("9:60", 1), std::nullopt);
  EXPECT_EQ(DeformatTime("13:00PM", 3), std::nullopt);
  EXPECT_EQ(DeformatTime("9:09 xyz", 1), std::nullopt);
  EXPECT_EQ(DeformatTime("", 1), 0);
}

TEST(Picture, ParseFormatAndDeformat) {
  EXPECT_FALSE(ParsePicture("S50").has_value());
  EXPECT_FALSE(ParsePicture("@D19").has_value());
  EXPECT_FALSE(ParsePicture("@X5").has_value());
  EXPECT_FALSE(ParsePicture("@N5Q").has_value());

  const Picture box = *ParsePicture("@n5b");
  EXPECT_EQ(FormatPicture(box, "101"), "  101");
  EXPECT_EQ(FormatPicture(box, "0"), "     ");
  EXPECT_EQ(FormatPicture(box, "-3"), "#####");
  EXPECT_EQ(FormatPicture(box, "123456"), "#####");
  EXPECT_EQ(DeformatPicture(box, " 0101 "), "101");

  const Picture code = *ParsePicture("@N-7");
  EXPECT_EQ(FormatPicture(code, "-10061"), " -10061");
  EXPECT_EQ(FormatPicture(code, "0"), "      0");

  const Picture date = *ParsePicture("@D5");
  EXPECT_EQ(FormatPicture(date, std::to_string(DayFromDate(2003, 7, 5))), " 5/07/03");
  EXPECT_EQ(DeformatPicture(date, "31/02/03"), std::nullopt);

  const Picture time = *ParsePicture("@T1");
  EXPECT_EQ(FormatPicture(time, std::to_string(TimeFrom(9, 9))), " 9:09");
  EXPECT_EQ(DeformatPicture(time, "21:15"), std::to_string(TimeFrom(21, 15)));

  const Picture text = *ParsePicture("@S3");
  EXPECT_EQ(FormatPicture(text, "YES  "), "YES");
  EXPECT_EQ(FormatPicture(text, "NOPE"), "NOP");
  // Typed text is never cut here: the form's check refuses what does not fit.
  EXPECT_EQ(DeformatPicture(text, "J\xC3\xB6RG"), "J\xC3\xB6RG");
}

}  // namespace
}  // namespace vm::runtime
