// Clocks: local date and time, the time zone, a millisecond tick count and the
// system's version text. `Clock` is an interface so that tests put a
// ManualClock in place of the system's. Both implementations are safe from
// any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace vm::platform {

struct LocalDateTime {
  int year = 1801;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int weekday = 0;  // 0 = Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

struct ZoneInfo {
  int offset_minutes = 0;  // local time minus UTC, e.g. +60 for CET
  bool daylight = false;   // daylight saving time is in force now
  std::string name;        // abbreviation such as "CET"
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual LocalDateTime Now() const = 0;
  virtual ZoneInfo Zone() const = 0;
  // Milliseconds since an arbitrary start, wrapping at 2^32 like GetTickCount.
  virtual uint32_t TickCount() const = 0;
  // Seconds since 1970-01-01 UTC.
  virtual int64_t UnixSeconds() const = 0;
};

// The system's clock; lives for the whole process.
Clock& SystemClock();

// A clock that only moves when told to. Starts at 2003-07-05 09:09:00, UTC.
class ManualClock final : public Clock {
 public:
  LocalDateTime Now() const override;
  ZoneInfo Zone() const override;
  uint32_t TickCount() const override;
  int64_t UnixSeconds() const override;

  void Set(const LocalDateTime& now, int64_t unix_seconds);
  void SetZone(const ZoneInfo& zone);
  void SetTickCount(uint32_t ticks);
  // Moves the tick count, the date and time and the Unix time together.
  void AdvanceMilliseconds(uint32_t ms);

 private:
  mutable std::mutex mu_;
  LocalDateTime now_{2003, 7, 5, 6, 9, 9, 0, 0};
  int64_t unix_ = 1057396140;  // 2003-07-05 09:09:00 UTC
  uint64_t unix_ms_ = 0;       // milliseconds past unix_
  ZoneInfo zone_{0, false, "UTC"};
  uint32_t ticks_ = 1000;
};

// Local date and time of a Unix time (seconds and nanoseconds).
LocalDateTime LocalFromUnix(int64_t seconds, long nanoseconds);

// Day number: days since 28 December 1800 (1 January 1801 is day 4).
int32_t DayNumberFromCivil(int year, int month, int day);
void CivilFromDayNumber(int32_t day_number, int* year, int* month, int* day);
// Time of day: hundredths of a second since midnight, plus one.
int32_t TimeOfDayFrom(int hour, int minute, int second, int hundredths);

// "Linux 6.1.0-18-amd64" and the like (uname).
std::string SystemVersionText();

}  // namespace vm::platform
