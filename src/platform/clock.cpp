#include "platform/clock.h"

#include <sys/utsname.h>
#include <time.h>

namespace vm::platform {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (exact for any year).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int* year, int* month, int* day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
  *month = static_cast<int>(m);
  *day = static_cast<int>(d);
}

const int64_t kDayZero = DaysFromCivil(1800, 12, 28);

LocalDateTime FromTm(const struct tm& tm, int millisecond) {
  LocalDateTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.weekday = tm.tm_wday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  t.millisecond = millisecond;
  return t;
}

// Broken-down time of a count of seconds, taken as already local.
LocalDateTime Civil(int64_t local_seconds, int millisecond) {
  int64_t days = local_seconds >= 0 ? local_seconds / 86400 : (local_seconds - 86399) / 86400;
  int64_t rest = local_seconds - days * 86400;
  LocalDateTime t;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  t.millisecond = millisecond;
  return t;
}

class RealClock final : public Clock {
 public:
  LocalDateTime Now() const override {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return LocalFromUnix(ts.tv_sec, ts.tv_nsec);
  }

  ZoneInfo Zone() const override {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    ZoneInfo z;
    z.offset_minutes = static_cast<int>(tm.tm_gmtoff / 60);
    z.daylight = tm.tm_isdst > 0;
    z.name = tm.tm_zone != nullptr ? tm.tm_zone : "";
    return z;
  }

  uint32_t TickCount() const override {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
    return static_cast<uint32_t>(ms);
  }

  int64_t UnixSeconds() const override { return static_cast<int64_t>(time(nullptr)); }
};

}  // namespace

Clock& SystemClock() {
  static RealClock clock;
  return clock;
}

LocalDateTime LocalFromUnix(int64_t seconds, long nanoseconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  localtime_r(&t, &tm);
  return FromTm(tm, static_cast<int>(nanoseconds / 1000000));
}

LocalDateTime ManualClock::Now() const {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

ZoneInfo ManualClock::Zone() const {
  std::lock_guard<std::mutex> lock(mu_);
  return zone_;
}

uint32_t ManualClock::TickCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return ticks_;
}

int64_t ManualClock::UnixSeconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unix_;
}

void ManualClock::Set(const LocalDateTime& now, int64_t unix_seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  now_ = now;
  unix_ = unix_seconds;
  unix_ms_ = 0;
}

void ManualClock::SetZone(const ZoneInfo& zone) {
  std::lock_guard<std::mutex> lock(mu_);
  zone_ = zone;
}

void ManualClock::SetTickCount(uint32_t ticks) {
  std::lock_guard<std::mutex> lock(mu_);
  ticks_ = ticks;
}

void ManualClock::AdvanceMilliseconds(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mu_);
  ticks_ += ms;
  // Local time moves by the same amount from where it was set.
  int64_t local =
      DaysFromCivil(now_.year, static_cast<unsigned>(now_.month), static_cast<unsigned>(now_.day)) *
          86400 +
      now_.hour * 3600 + now_.minute * 60 + now_.second;
  uint64_t total_ms = static_cast<uint64_t>(now_.millisecond) + ms;
  now_ = Civil(local + static_cast<int64_t>(total_ms / 1000), static_cast<int>(total_ms % 1000));
  unix_ms_ += ms;
  unix_ += static_cast<int64_t>(unix_ms_ / 1000);
  unix_ms_ %= 1000;
}

int32_t DayNumberFromCivil(int year, int month, int day) {
  return static_cast<int32_t>(
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDayZero);
}

void CivilFromDayNumber(int32_t day_number, int* year, int* month, int* day) {
  CivilFromDays(static_cast<int64_t>(day_number) + kDayZero, year, month, day);
}

int32_t TimeOfDayFrom(int hour, int minute, int second, int hundredths) {
  return ((hour * 60 + minute) * 60 + second) * 100 + hundredths + 1;
}

std::string SystemVersionText() {
  struct utsname u;
  if (uname(&u) != 0) return "Linux";
  return std::string(u.sysname) + " " + u.release;
}

}  // namespace vm::platform
