// The system's own date and time formats, taken from the user's LC_TIME
// locale (the environment) without touching the process-wide C locale, and
// text made with them. Safe from any thread.
#pragma once

#include <string>

namespace vm::platform {

// strftime patterns.
struct LocaleFormats {
  std::string short_date;  // e.g. "%m/%d/%y"
  std::string long_date;   // e.g. "%A, %B %d, %Y"
  std::string short_time;  // e.g. "%H:%M"
  std::string long_time;   // e.g. "%H:%M:%S"
};

// Formats of the user's locale; the "C" locale's when it cannot be loaded.
// The locale has no long date format of its own: it is built from the order
// of day, month and year in the short one, with full day and month names.
LocaleFormats SystemLocaleFormats();

// Formats a local date and time with `pattern` in the user's locale (names of
// days and months in its language). Weekday and day of year are computed.
std::string FormatLocalized(const std::string& pattern, int year, int month, int day, int hour,
                            int minute, int second);

}  // namespace vm::platform
