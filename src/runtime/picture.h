// Display pictures: date pictures 1-18 and time pictures 1-8 of day numbers
// and times of day, their reverse (reading typed text back), and the small
// picture language of entry fields and list columns ("@D5", "@T1", "@S50",
// "@N3B", "@N-7"). Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/locale_formats.h"

namespace vm::runtime {

// Date pictures (d = day, m = month, y = year, N = month name; a capital
// letter leads an element whose tens digit shows as a blank when it is 0):
//   1 "Mm/dd/yy"   2 "Mm/dd/yyyy"  3 "NNN Dd, yyyy"  4 "NNNNNNNNN Dd, yyyy"
//   5 "Dd/mm/yy"   6 "Dd/mm/yyyy"  7 "Dd NNN yy"     8 "Dd NNN yyyy"
//   9 "yy/mm/dd"  10 "yyyy/mm/dd" 11 "yymmdd"       12 "yyyymmdd"
//  13 "Mm/yy"     14 "Mm/yyyy"    15 "yy/mm"        16 "yyyy/mm"
//  17 the system's short date format, 18 its long date format.
// Month names are English ("Jul", "July"); pictures 17 and 18 use the
// locale's. Day number 0 (a cleared field) and below give "". An unknown
// picture number gives "".
std::string FormatDate(int32_t day, int picture);

// Time pictures (a leading hour below 10 shows a blank tens digit):
//   1 "hh:mm"  2 "hhmm"  3 "Hh:mmPP" (12-hour, AM/PM)  4 "hh:mm:ss"
//   5 "hhmmss" 6 "Hh:mm:ssPP"  7 the system's short time, 8 its long time.
// Time 0 (a cleared field) and below give "".
std::string FormatTime(int32_t time, int picture);

// Reads typed text back into a day number: the same element order as the
// picture; separators may be any non-digit bytes, digits of pictures 11, 12
// and 13-16 may be packed. A two-digit year is placed in the hundred years
// from `this_year` - 80 to `this_year` + 19. Picture 17 is read in the order
// of the locale's short format; 18 is not readable. nullopt when the text is
// not a valid date (month 13, 31 April, 29 February of a common year...).
// Blank text reads as day 0.
std::optional<int32_t> DeformatDate(std::string_view text, int picture, int this_year);
std::optional<int32_t> DeformatDate(std::string_view text,
                                    int picture);  // this year by the system clock

// Reads typed text back into a time of day: hours, minutes and optional
// seconds separated by non-digits (or packed as in pictures 2 and 5), with an
// optional AM/PM that is honoured for every picture. nullopt when a part is
// out of range. Blank text reads as 0.
std::optional<int32_t> DeformatTime(std::string_view text, int picture);

// The formats that pictures 17, 18, 7 and 8 use: the system's unless a test
// or the program set others. Safe from any thread.
void SetLocaleFormats(const platform::LocaleFormats& formats);
platform::LocaleFormats CurrentLocaleFormats();

// A display picture of a control or list column.
//   @Dn[B]  date picture n       @Tn[B]  time picture n
//   @Sn     text, n bytes wide   @N[-]w[B]  number, right-aligned in w
// '-' allows a sign, 'B' shows zero as blanks; letters may be lower case.
struct Picture {
  enum class Kind { kString, kNumber, kDate, kTime };
  Kind kind = Kind::kString;
  int number = 0;  // date or time picture number
  int width = 0;   // string and number width
  bool is_signed = false;
  bool blank_zero = false;
};
std::optional<Picture> ParsePicture(std::string_view text);

// Display text of a stored value (the value as text: digits for numbers,
// day numbers and times). A number that does not fit its width, or a negative
// one under an unsigned picture, shows as '#' characters.
std::string FormatPicture(const Picture& picture, std::string_view value);
// The stored value (as text) of typed display text; nullopt when a date or
// time cannot be read. Text of a text picture comes back whole, however long.
std::optional<std::string> DeformatPicture(const Picture& picture, std::string_view text);

}  // namespace vm::runtime
