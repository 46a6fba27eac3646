#include "kfs_values.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "platform/hex_text.h"

namespace vm::storage::kfs {
namespace {

std::string Hex(std::string_view bytes) {
  return platform::HexOf(bytes, platform::HexCase::kUpper);
}

std::string_view TrimBlanks(std::string_view s) {
  return platform::TrimRight(s);
}

std::string_view Trim(std::string_view s) {
  return platform::Trim(s, " \t");
}

// An integer or real number of the field's bytes (little-endian, as the file
// keeps every number).
template <typename T>
T Load(std::string_view v) {
  using Bits = std::conditional_t<sizeof(T) == 8, uint64_t,
                                  std::conditional_t<sizeof(T) == 4, uint32_t, uint16_t>>;
  return std::bit_cast<T>(static_cast<Bits>(platform::DecodeLittleEndian(v.data(), sizeof(T))));
}

template <typename T>
void Store(T x, char* out) {
  using Bits = std::conditional_t<sizeof(T) == 8, uint64_t, uint32_t>;
  platform::EncodeLittleEndian(out, std::bit_cast<Bits>(x), sizeof(T));
}

template <typename T>
std::string Shortest(T x) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x);
  return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

bool IsInteger(uint8_t type) {
  switch (type) {
    case kTypeByte:
    case kTypeShort:
    case kTypeUShort:
    case kTypeLong:
    case kTypeULong:
    case kTypeDate:
    case kTypeTime:
      return true;
    default:
      return false;
  }
}

bool IntegerRange(uint8_t type, int64_t* low, int64_t* high) {
  switch (type) {
    case kTypeByte:
      *low = 0, *high = 255;
      return true;
    case kTypeShort:
      *low = INT16_MIN, *high = INT16_MAX;
      return true;
    case kTypeUShort:
      *low = 0, *high = UINT16_MAX;
      return true;
    case kTypeLong:
    case kTypeDate:
    case kTypeTime:
      *low = INT32_MIN, *high = INT32_MAX;
      return true;
    case kTypeULong:
      *low = 0, *high = UINT32_MAX;
      return true;
    default:
      return false;
  }
}

std::string IntegerText(uint8_t type, std::string_view v) {
  switch (type) {
    case kTypeByte:
      return std::to_string(static_cast<uint8_t>(v[0]));
    case kTypeShort:
      return std::to_string(Load<int16_t>(v));
    case kTypeUShort:
      return std::to_string(Load<uint16_t>(v));
    case kTypeULong:
      return std::to_string(Load<uint32_t>(v));
    default:
      return std::to_string(Load<int32_t>(v));
  }
}

// The field's bytes as the field's type sees them; the sizes were checked
// against the type when the schema was read, not when a stored definition
// was, so a mismatch falls back to hex.
bool SizeFits(const FieldDef& f) {
  switch (f.type) {
    case kTypeByte:
      return f.size == 1;
    case kTypeShort:
    case kTypeUShort:
      return f.size == 2;
    case kTypeLong:
    case kTypeULong:
    case kTypeDate:
    case kTypeTime:
    case kTypeSReal:
      return f.size == 4;
    case kTypeReal:
      return f.size == 8;
    case kTypePString:
      return f.size >= 1;
    default:
      return true;
  }
}

std::string Escaped(std::string_view s) {
  std::string quoted = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (c < 0x20) {
      quoted += "\\x";
      platform::AppendHexByte(c, platform::HexCase::kUpper, &quoted);
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

std::string TextOf(const FieldDef& field, std::string_view v) {
  if (field.type == kTypeCString) {
    const size_t nul = v.find('\0');
    return std::string(nul == std::string_view::npos ? TrimBlanks(v) : v.substr(0, nul));
  }
  if (field.type == kTypePString) return std::string(v.substr(1, static_cast<uint8_t>(v[0])));
  return std::string(TrimBlanks(v));
}

// The CSV text of a string field, from which PutCsvValue writes back the
// very same bytes: STRING without trailing blanks (they come back as
// blanks), CSTRING without trailing zeros (a full-width one keeps its
// trailing blanks; bytes after a terminator other than zeros are kept too),
// PSTRING its counted characters. False when the bytes have no such text: a
// PSTRING whose count runs past the field or that holds bytes past its
// characters.
bool CsvText(const FieldDef& field, std::string_view v, std::string* text) {
  if (field.type == kTypeString) {
    text->assign(TrimBlanks(v));
    return true;
  }
  if (field.type == kTypeCString) {
    const size_t last = v.find_last_not_of('\0');
    text->assign(last == std::string_view::npos ? std::string_view() : v.substr(0, last + 1));
    return true;
  }
  const size_t count = static_cast<uint8_t>(v[0]);
  if (count + 1 > v.size() || v.substr(count + 1).find_first_not_of('\0') != std::string_view::npos)
    return false;
  text->assign(v.substr(1, count));
  return true;
}

// Whether the shortest text of a float or double reads back to its bits
// (not so for NaNs with a payload).
template <typename T>
bool ReadsBack(std::string_view v) {
  const std::string text = Shortest(Load<T>(v));
  T back{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  char bits[sizeof(T)];
  Store(back, bits);
  return ec == std::errc() && end == text.data() + text.size() &&
         std::memcmp(bits, v.data(), sizeof bits) == 0;
}

// Hex digits of exactly the field's bytes; empty leaves the field zero.
bool PutHex(const FieldDef& field, std::string_view value, char* out, std::string* error) {
  std::string bytes;
  if (value.empty()) return true;
  if (!platform::DecodeHex(value, &bytes) || bytes.size() != field.size) {
    *error = field.name + ": \"" + std::string(value) + "\" is not " +
             std::to_string(field.size * 2) + " hex digits";
    return false;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  return true;
}

}  // namespace

std::string FieldText(const FieldDef& field, std::string_view row) {
  if (size_t{field.offset} + field.size > row.size()) return "?";
  std::string_view v = row.substr(field.offset, field.size);
  if (!SizeFits(field)) return "?";
  if (IsInteger(field.type)) return IntegerText(field.type, v);
  switch (field.type) {
    case kTypeString:
    case kTypeCString:
    case kTypePString:
      return Escaped(TrimBlanks(TextOf(field, v)));
    case kTypeSReal:
      return Shortest(Load<float>(v));
    case kTypeReal:
      return Shortest(Load<double>(v));
    default:
      return Hex(v);
  }
}

bool IsCsvColumn(const FieldDef& field) {
  return field.type != kTypeGroup;
}

std::string FieldCsvValue(const FieldDef& field, std::string_view row, bool* quoted) {
  *quoted = false;
  if (size_t{field.offset} + field.size > row.size()) return "";
  std::string_view v = row.substr(field.offset, field.size);
  if (!SizeFits(field)) return Hex(v);
  if (IsInteger(field.type)) return IntegerText(field.type, v);
  switch (field.type) {
    case kTypeSReal:
      return ReadsBack<float>(v) ? Shortest(Load<float>(v)) : "0x" + Hex(v);
    case kTypeReal:
      return ReadsBack<double>(v) ? Shortest(Load<double>(v)) : "0x" + Hex(v);
    case kTypeString:
    case kTypeCString:
    case kTypePString: {
      std::string text;
      *quoted = CsvText(field, v, &text);
      return *quoted ? text : "0x" + Hex(v);
    }
    default:
      return Hex(v);
  }
}

void PutEmptyValue(const FieldDef& field, std::string* row) {
  if (field.type == kTypeGroup || size_t{field.offset} + field.size > row->size()) return;
  std::memset(row->data() + field.offset, field.type == kTypeString ? ' ' : 0, field.size);
}

bool PutCsvValue(const FieldDef& field, std::string_view value, std::string* row,
                 std::string* error) {
  if (size_t{field.offset} + field.size > row->size()) return true;
  char* out = row->data() + field.offset;
  PutEmptyValue(field, row);
  const std::string_view number = Trim(value);
  if (!SizeFits(field)) return PutHex(field, number, out, error);
  if (IsInteger(field.type)) {
    if (number.empty()) return true;
    int64_t low = 0, high = 0, v = 0;
    IntegerRange(field.type, &low, &high);
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), v);
    if (ec != std::errc() || end != number.data() + number.size() || v < low || v > high) {
      *error = field.name + ": \"" + std::string(value) + "\" is not a whole number from " +
               std::to_string(low) + " to " + std::to_string(high);
      return false;
    }
    // Little-endian two's complement of the field's width.
    platform::EncodeLittleEndian(out, static_cast<uint64_t>(v), field.size);
    return true;
  }
  switch (field.type) {
    case kTypeSReal:
    case kTypeReal: {
      if (number.empty()) return true;
      // A number whose bits no decimal text carries (a NaN's payload).
      if (number.substr(0, 2) == "0x") return PutHex(field, number.substr(2), out, error);
      double d = 0;
      float f = 0;
      const char* first = number.data();
      const char* last = first + number.size();
      auto [end, ec] = field.type == kTypeReal ? std::from_chars(first, last, d)
                                               : std::from_chars(first, last, f);
      if (ec != std::errc() || end != last) {
        *error = field.name + ": \"" + std::string(value) + "\" is not a number";
        return false;
      }
      if (field.type == kTypeReal) {
        Store(d, out);
      } else {
        Store(f, out);
      }
      return true;
    }
    case kTypeString:
    case kTypeCString:
    case kTypePString: {
      // A PSTRING's bytes as hex: far too long to be its text.
      if (field.type == kTypePString && value.size() == 2 + 2 * size_t{field.size} &&
          value.substr(0, 2) == "0x")
        return PutHex(field, value.substr(2), out, error);
      const size_t room = field.type == kTypePString ? field.size - 1u : field.size;
      if (value.size() > room) {
        *error = field.name + ": text of " + std::to_string(value.size()) +
                 " bytes does not fit in " + std::to_string(room);
        return false;
      }
      if (field.type == kTypePString) *out++ = static_cast<char>(value.size());
      std::memcpy(out, value.data(), value.size());
      return true;
    }
    default:
      return PutHex(field, number, out, error);
  }
}

std::string MemoCsvValue(const MemoDef& memo, std::string_view content) {
  return memo.binary() ? Hex(content) : std::string(TrimBlanks(content));
}

bool MemoFromCsv(const MemoDef& memo, std::string_view value, std::string* content,
                 std::string* error) {
  if (memo.binary()) {
    if (!platform::DecodeHex(Trim(value), content)) {
      *error = memo.name + ": binary memo value is not hex digits";
      return false;
    }
  } else {
    content->assign(value);
  }
  if (content->size() > memo.size) {
    *error = memo.name + ": " + std::to_string(content->size()) +
             " bytes do not fit in the memo's " + std::to_string(memo.size);
    return false;
  }
  return true;
}

}  // namespace vm::storage::kfs
