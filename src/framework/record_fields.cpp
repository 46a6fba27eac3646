#include "framework/record_fields.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "runtime/fixed_text.h"
#include "runtime/text_number.h"

namespace vm::framework {
namespace {

using storage::FieldDef;

bool Fits(const FieldDef& f, const std::vector<char>& record) {
  return static_cast<size_t>(f.offset) + f.size <= record.size();
}

struct IntShape {
  int bytes;
  bool is_signed;
};

// Integer-valued field types; bytes 0 for the others.
IntShape ShapeOf(uint8_t type) {
  switch (type) {
    case storage::kTypeByte:
      return {1, false};
    case storage::kTypeShort:
      return {2, true};
    case storage::kTypeUShort:
      return {2, false};
    case storage::kTypeDate:
    case storage::kTypeTime:
    case storage::kTypeLong:
      return {4, true};
    case storage::kTypeULong:
      return {4, false};
    default:
      return {0, false};
  }
}

int64_t ReadInt(const char* p, IntShape s) {
  const uint64_t v = platform::DecodeLittleEndian(p, static_cast<size_t>(s.bytes));
  if (s.is_signed && s.bytes < 8 && (v >> (s.bytes * 8 - 1)) != 0) {
    return static_cast<int64_t>(v) - (int64_t{1} << (s.bytes * 8));
  }
  return static_cast<int64_t>(v);
}

void WriteInt(char* p, IntShape s, int64_t v) {
  const int bits = s.bytes * 8;
  const int64_t low = s.is_signed ? -(int64_t{1} << (bits - 1)) : 0;
  const int64_t high = s.is_signed ? (int64_t{1} << (bits - 1)) - 1 : (int64_t{1} << bits) - 1;
  v = std::clamp(v, low, high);
  platform::EncodeLittleEndian(p, static_cast<uint64_t>(v), static_cast<size_t>(s.bytes));
}

}  // namespace

int FindField(const storage::TableDef& def, std::string_view name) {
  for (size_t i = 0; i < def.fields.size(); ++i) {
    if (platform::EqualsIgnoreCase(def.fields[i].name, name)) return static_cast<int>(i);
  }
  return -1;
}

std::string FieldText(const FieldDef& f, const std::vector<char>& record) {
  if (!Fits(f, record)) return std::string();
  const char* p = record.data() + f.offset;
  if (f.type == storage::kTypeString || f.type == storage::kTypeCString) {
    return std::string(runtime::ClipField(p, f.size));
  }
  if (f.type == storage::kTypePString) {
    const size_t n =
        std::min<size_t>(static_cast<unsigned char>(p[0]), f.size > 0 ? f.size - 1 : 0);
    return std::string(p + 1, n);
  }
  const IntShape s = ShapeOf(f.type);
  if (s.bytes == 0 || f.size < s.bytes) return std::string();
  return std::to_string(ReadInt(p, s));
}

void SetFieldText(const FieldDef& f, std::vector<char>* record, std::string_view text) {
  if (!Fits(f, *record)) return;
  char* p = record->data() + f.offset;
  if (f.type == storage::kTypeString) {
    runtime::AssignFixed(p, f.size, text);
    return;
  }
  if (f.type == storage::kTypeCString) {
    // Room is kept for the terminating NUL.
    const std::string_view v = runtime::CutUtf8(text, f.size > 0 ? f.size - 1 : 0);
    std::memset(p, 0, f.size);
    std::memcpy(p, v.data(), v.size());
    return;
  }
  if (f.type == storage::kTypePString) {
    const std::string_view v =
        runtime::CutUtf8(text, std::min<size_t>(f.size > 0 ? f.size - 1 : 0, 255));
    std::memset(p, 0, f.size);
    p[0] = static_cast<char>(v.size());
    std::memcpy(p + 1, v.data(), v.size());
    return;
  }
  const IntShape s = ShapeOf(f.type);
  if (s.bytes == 0 || f.size < s.bytes) return;
  WriteInt(p, s, runtime::TextToNumber(text));
}

void ClearRecord(const storage::TableDef& def, std::vector<char>* record) {
  std::fill(record->begin(), record->end(), '\0');
  for (const FieldDef& f : def.fields) {
    if (f.type == storage::kTypeString && Fits(f, *record))
      std::memset(record->data() + f.offset, ' ', f.size);
  }
}

}  // namespace vm::framework
