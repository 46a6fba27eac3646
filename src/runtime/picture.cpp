#include "runtime/picture.h"

#include <cctype>
#include <mutex>
#include <vector>

#include "platform/ascii_text.h"
#include "runtime/date_time.h"
#include "runtime/fixed_text.h"
#include "runtime/text_number.h"

namespace vm::runtime {
namespace {

const char* const kMonthNames[] = {"January",   "February", "March",    "April",
                                   "May",       "June",     "July",     "August",
                                   "September", "October",  "November", "December"};

std::mutex formats_mu;
std::optional<platform::LocaleFormats>& FormatsOverride() {
  static std::optional<platform::LocaleFormats> f;
  return f;
}

std::string Two(int n) {
  n = ((n % 100) + 100) % 100;
  return {static_cast<char>('0' + n / 10), static_cast<char>('0' + n % 10)};
}

// Two digits with a blank in place of a zero tens digit.
std::string BlankTens(int n) {
  std::string s = Two(n);
  if (s[0] == '0') s[0] = ' ';
  return s;
}

std::string Year4(int y) {
  std::string s = std::to_string(y < 0 ? -y : y);
  if (s.size() < 4) s.insert(0, 4 - s.size(), '0');
  return y < 0 ? "-" + s : s;
}

std::string ShortMonth(int m) {
  return std::string(kMonthNames[m - 1], 3);
}

}  // namespace

void SetLocaleFormats(const platform::LocaleFormats& formats) {
  std::lock_guard<std::mutex> lock(formats_mu);
  FormatsOverride() = formats;
}

platform::LocaleFormats CurrentLocaleFormats() {
  {
    std::lock_guard<std::mutex> lock(formats_mu);
    if (FormatsOverride()) return *FormatsOverride();
  }
  static const platform::LocaleFormats system = platform::SystemLocaleFormats();
  return system;
}

std::string FormatDate(int32_t day, int picture) {
  if (day <= 0) return std::string();
  const CivilDate c = DateFromDay(day);
  const std::string yy = Two(c.year), yyyy = Year4(c.year), mm = Two(c.month), dd = Two(c.day);
  switch (picture) {
    case 1:
      return BlankTens(c.month) + "/" + dd + "/" + yy;
    case 2:
      return BlankTens(c.month) + "/" + dd + "/" + yyyy;
    case 3:
      return ShortMonth(c.month) + " " + BlankTens(c.day) + ", " + yyyy;
    case 4:
      return std::string(kMonthNames[c.month - 1]) + " " + BlankTens(c.day) + ", " + yyyy;
    case 5:
      return BlankTens(c.day) + "/" + mm + "/" + yy;
    case 6:
      return BlankTens(c.day) + "/" + mm + "/" + yyyy;
    case 7:
      return BlankTens(c.day) + " " + ShortMonth(c.month) + " " + yy;
    case 8:
      return BlankTens(c.day) + " " + ShortMonth(c.month) + " " + yyyy;
    case 9:
      return yy + "/" + mm + "/" + dd;
    case 10:
      return yyyy + "/" + mm + "/" + dd;
    case 11:
      return yy + mm + dd;
    case 12:
      return yyyy + mm + dd;
    case 13:
      return BlankTens(c.month) + "/" + yy;
    case 14:
      return BlankTens(c.month) + "/" + yyyy;
    case 15:
      return yy + "/" + mm;
    case 16:
      return yyyy + "/" + mm;
    case 17:
    case 18: {
      const platform::LocaleFormats f = CurrentLocaleFormats();
      return platform::FormatLocalized(picture == 17 ? f.short_date : f.long_date, c.year, c.month,
                                       c.day, 0, 0, 0);
    }
    default:
      return std::string();
  }
}

std::string FormatTime(int32_t time, int picture) {
  if (time <= 0) return std::string();
  const TimeParts p = PartsOfTime(time);
  const int h12 = p.hour % 12 == 0 ? 12 : p.hour % 12;
  const char* ampm = p.hour < 12 ? "AM" : "PM";
  const std::string mm = Two(p.minute), ss = Two(p.second);
  switch (picture) {
    case 1:
      return BlankTens(p.hour) + ":" + mm;
    case 2:
      return BlankTens(p.hour) + mm;
    case 3:
      return BlankTens(h12) + ":" + mm + ampm;
    case 4:
      return BlankTens(p.hour) + ":" + mm + ":" + ss;
    case 5:
      return BlankTens(p.hour) + mm + ss;
    case 6:
      return BlankTens(h12) + ":" + mm + ":" + ss + ampm;
    case 7:
    case 8: {
      const platform::LocaleFormats f = CurrentLocaleFormats();
      return platform::FormatLocalized(picture == 7 ? f.short_time : f.long_time, 2003, 7, 5,
                                       p.hour, p.minute, p.second);
    }
    default:
      return std::string();
  }
}

namespace {

struct Token {
  bool digits;
  std::string text;
};

std::vector<Token> Tokenize(std::string_view text) {
  std::vector<Token> out;
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isdigit(c) || std::isalpha(c)) {
      const bool digits = std::isdigit(c) != 0;
      size_t j = i;
      while (j < text.size() && (digits ? std::isdigit(static_cast<unsigned char>(text[j]))
                                        : std::isalpha(static_cast<unsigned char>(text[j]))))
        ++j;
      out.push_back({digits, std::string(text.substr(i, j - i))});
      i = j;
    } else {
      ++i;
    }
  }
  return out;
}

// Element order of a date picture: 'D' day, 'M' month number, 'N' month name,
// 'Y' year. Empty when the picture cannot be read back.
std::string DateOrder(int picture) {
  switch (picture) {
    case 1:
    case 2:
      return "MDY";
    case 3:
    case 4:
      return "NDY";
    case 5:
    case 6:
      return "DMY";
    case 7:
    case 8:
      return "DNY";
    case 9:
    case 10:
    case 11:
    case 12:
      return "YMD";
    case 13:
    case 14:
      return "MY";
    case 15:
    case 16:
      return "YM";
    case 17: {
      std::string order;
      const std::string f = CurrentLocaleFormats().short_date;
      for (size_t i = 0; i + 1 < f.size(); ++i) {
        if (f[i] != '%') continue;
        const char c = f[++i];
        const char e = (c == 'd' || c == 'e')   ? 'D'
                       : (c == 'm')             ? 'M'
                       : (c == 'b' || c == 'B') ? 'N'
                       : (c == 'y' || c == 'Y') ? 'Y'
                                                : 0;
        if (e != 0 && order.find(e) == std::string::npos) order += e;
      }
      return order.size() == 3 ? order : std::string();
    }
    default:
      return std::string();
  }
}

int MonthFromName(const std::string& name) {
  if (name.size() < 3) return 0;
  for (int m = 0; m < 12; ++m) {
    bool same = true;
    for (size_t i = 0; i < 3; ++i)
      same = same && platform::AsciiLower(name[i]) == platform::AsciiLower(kMonthNames[m][i]);
    if (same) return m + 1;
  }
  return 0;
}

}  // namespace

std::optional<int32_t> DeformatDate(std::string_view text, int picture, int this_year) {
  if (IsBlank(text)) return 0;
  const std::string order = DateOrder(picture);
  if (order.empty()) return std::nullopt;
  const std::vector<Token> tokens = Tokenize(text);
  std::vector<std::string> numbers;
  std::string name;
  for (const Token& t : tokens) {
    if (t.digits) {
      numbers.push_back(t.text);
    } else if (name.empty()) {
      name = t.text;
    }
  }
  const size_t numeric = order.size() - (order.find('N') != std::string::npos ? 1 : 0);
  if (numbers.size() == 1 && numeric > 1) {
    // Packed digits ("030705", "200307"): two each for day and month, the
    // rest for the year.
    const std::string packed = numbers[0];
    const size_t year_width =
        packed.size() >= 2 * (numeric - 1) ? packed.size() - 2 * (numeric - 1) : 0;
    if (year_width != 2 && year_width != 4) return std::nullopt;
    numbers.clear();
    size_t pos = 0;
    for (char e : order) {
      if (e == 'N') continue;
      const size_t w = e == 'Y' ? year_width : 2;
      numbers.push_back(packed.substr(pos, w));
      pos += w;
    }
  }
  if (numbers.size() != numeric) return std::nullopt;
  int day = 1, month = 0, year = 0;
  size_t next = 0;
  for (char e : order) {
    if (e == 'N') {
      month = MonthFromName(name);
      continue;
    }
    const std::string& n = numbers[next++];
    if (n.size() > 9) return std::nullopt;
    const int v = static_cast<int>(TextToNumber(n));
    if (e == 'D') day = v;
    if (e == 'M') month = v;
    if (e == 'Y') {
      year = v;
      if (n.size() <= 2) {
        const int low = this_year - 80;
        year = low - ((low % 100) + 100) % 100 + v;
        if (year < low) year += 100;
      }
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return std::nullopt;
  return DayFromDate(year, month, day);
}

std::optional<int32_t> DeformatDate(std::string_view text, int picture) {
  return DeformatDate(text, picture, platform::SystemClock().Now().year);
}

std::optional<int32_t> DeformatTime(std::string_view text, int picture) {
  if (IsBlank(text)) return 0;
  if (picture < 1 || picture > 8) return std::nullopt;
  std::vector<std::string> numbers;
  int meridian = 0;  // 1 = AM, 2 = PM
  for (const Token& t : Tokenize(text)) {
    if (t.digits) {
      numbers.push_back(t.text);
      continue;
    }
    const std::string word = platform::AsciiUpperCase(t.text);
    if (word == "A" || word == "AM") {
      meridian = 1;
    } else if (word == "P" || word == "PM") {
      meridian = 2;
    } else {
      return std::nullopt;
    }
  }
  if (numbers.size() == 1 && numbers[0].size() > 2) {
    // Packed: "909", "0909", "90900", "090900".
    const std::string p = numbers[0];
    if (p.size() > 6) return std::nullopt;
    const size_t hw = p.size() <= 4 ? p.size() - 2 : p.size() - 4;
    numbers = {p.substr(0, hw), p.substr(hw, 2)};
    if (p.size() > 4) numbers.push_back(p.substr(hw + 2, 2));
  }
  if (numbers.empty() || numbers.size() > 3) return std::nullopt;
  int parts[3] = {0, 0, 0};
  for (size_t i = 0; i < numbers.size(); ++i) {
    if (numbers[i].size() > 2) return std::nullopt;
    parts[i] = static_cast<int>(TextToNumber(numbers[i]));
  }
  int hour = parts[0];
  if (meridian != 0) {
    if (hour < 1 || hour > 12) return std::nullopt;
    hour = hour % 12 + (meridian == 2 ? 12 : 0);
  }
  if (hour > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
  return TimeFrom(hour, parts[1], parts[2], 0);
}

std::optional<Picture> ParsePicture(std::string_view text) {
  if (text.size() < 3 || text[0] != '@') return std::nullopt;
  Picture p;
  const char kind = platform::AsciiUpper(text[1]);
  size_t i = 2;
  if (kind == 'N' && i < text.size() && text[i] == '-') {
    p.is_signed = true;
    ++i;
  }
  size_t digits_start = i;
  int n = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) &&
         i - digits_start < 5)
    n = n * 10 + (text[i++] - '0');
  if (i == digits_start) return std::nullopt;
  if (i < text.size() && platform::AsciiUpper(text[i]) == 'B') {
    p.blank_zero = true;
    ++i;
  }
  if (i != text.size()) return std::nullopt;
  switch (kind) {
    case 'S':
      p.kind = Picture::Kind::kString;
      p.width = n;
      break;
    case 'N':
      p.kind = Picture::Kind::kNumber;
      p.width = n;
      break;
    case 'D':
      p.kind = Picture::Kind::kDate;
      p.number = n;
      if (n < 1 || n > 18) return std::nullopt;
      break;
    case 'T':
      p.kind = Picture::Kind::kTime;
      p.number = n;
      if (n < 1 || n > 8) return std::nullopt;
      break;
    default:
      return std::nullopt;
  }
  if ((kind == 'S' && p.blank_zero) || (kind == 'S' && p.is_signed)) return std::nullopt;
  return p;
}

std::string FormatPicture(const Picture& picture, std::string_view value) {
  switch (picture.kind) {
    case Picture::Kind::kString:
      return std::string(Clip(CutUtf8(value, static_cast<size_t>(picture.width))));
    case Picture::Kind::kDate:
      return FormatDate(TextToLong(value), picture.number);
    case Picture::Kind::kTime:
      return FormatTime(TextToLong(value), picture.number);
    case Picture::Kind::kNumber:
      break;
  }
  const int64_t v = TextToNumber(value);
  const size_t width = static_cast<size_t>(picture.width);
  if (v == 0 && picture.blank_zero) return std::string(width, ' ');
  if (v < 0 && !picture.is_signed) return std::string(width, '#');
  std::string s = std::to_string(v);
  if (s.size() > width) return std::string(width, '#');
  return std::string(width - s.size(), ' ') + s;
}

std::optional<std::string> DeformatPicture(const Picture& picture, std::string_view text) {
  switch (picture.kind) {
    case Picture::Kind::kString:
      // Kept whole: the form's check refuses a text longer than its field
      // (in bytes) instead of losing its end here without a word.
      return std::string(text);
    case Picture::Kind::kNumber: {
      int64_t v = TextToNumber(text);
      if (v < 0 && !picture.is_signed) v = 0;
      return std::to_string(v);
    }
    case Picture::Kind::kDate: {
      const auto d = DeformatDate(text, picture.number);
      if (!d) return std::nullopt;
      return std::to_string(*d);
    }
    case Picture::Kind::kTime: {
      const auto t = DeformatTime(text, picture.number);
      if (!t) return std::nullopt;
      return std::to_string(*t);
    }
  }
  return std::nullopt;
}

}  // namespace vm::runtime
