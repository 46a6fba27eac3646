#include "platform/locale_formats.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

namespace vm::platform {
namespace {

// The user's LC_TIME locale, loaded once and kept for the process.
locale_t UserTimeLocale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0)) l = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    return l;
  }();
  return loc;
}

std::string LongDateFrom(const std::string& short_date) {
  const size_t d = short_date.find_first_of("de");
  const size_t m = short_date.find_first_of("mbB");
  const size_t y = short_date.find_first_of("yY");
  if (y != std::string::npos && (d == std::string::npos || y < d) &&
      (m == std::string::npos || y < m))
    return "%Y %B %d, %A";
  if (d != std::string::npos && m != std::string::npos && d < m) return "%A, %d %B %Y";
  return "%A, %B %d, %Y";
}

std::string WithoutSeconds(std::string t) {
  for (const char* s : {":%S", ".%S", "%S"}) {
    const size_t p = t.find(s);
    if (p != std::string::npos) {
      t.erase(p, std::string(s).size());
      break;
    }
  }
  return t;
}

}  // namespace

LocaleFormats SystemLocaleFormats() {
  locale_t loc = UserTimeLocale();
  LocaleFormats f;
  f.short_date = "%m/%d/%y";
  f.long_time = "%H:%M:%S";
  if (loc != static_cast<locale_t>(0)) {
    const char* d = nl_langinfo_l(D_FMT, loc);
    const char* t = nl_langinfo_l(T_FMT, loc);
    if (d != nullptr && *d != '\0') f.short_date = d;
    if (t != nullptr && *t != '\0') f.long_time = t;
  }
  // "%D", "%T", "%r" and "%R" are shorthands some locales use; spell them out so the
  // long forms can be derived from them.
  if (f.short_date == "%D") f.short_date = "%m/%d/%y";
  if (f.long_time == "%T") f.long_time = "%H:%M:%S";
  if (f.long_time == "%r") f.long_time = "%I:%M:%S %p";
  if (f.long_time == "%R") f.long_time = "%H:%M";
  f.long_date = LongDateFrom(f.short_date);
  f.short_time = WithoutSeconds(f.long_time);
  return f;
}

std::string FormatLocalized(const std::string& pattern, int year, int month, int day, int hour,
                            int minute, int second) {
  if (month < 1 || month > 12) return std::string();
  struct tm tm = {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  // Weekday and day of year from the calendar alone (no time zone involved).
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy_march = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t days = era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy_march - 719468;
  tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
  static const int kCumulative[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  tm.tm_yday = kCumulative[month - 1] + day - 1 + (leap && month > 2 ? 1 : 0);
  char buf[256];
  locale_t loc = UserTimeLocale();
  size_t n = loc != static_cast<locale_t>(0)
                 ? strftime_l(buf, sizeof buf, pattern.c_str(), &tm, loc)
                 : strftime(buf, sizeof buf, pattern.c_str(), &tm);
  return std::string(buf, n);
}

}  // namespace vm::platform
