#include "storage/table/key_codec.h"

#include <algorithm>

namespace vm::storage {
namespace {

bool IsStringType(uint8_t type) {
  return type == kTypeString || type == kTypeCString || type == kTypePString || type == kTypeGroup;
}

// Copies the characters of a CSTRING or PSTRING and pads them with zeros.
std::string TextOf(const FieldDef& field, std::string_view bytes) {
  std::string out(bytes.size(), '\0');
  if (field.type == kTypeCString) {
    size_t n = bytes.find('\0');
    if (n == std::string_view::npos) n = bytes.size();
    std::copy_n(bytes.begin(), n, out.begin());
  } else if (field.type == kTypePString) {
    if (!bytes.empty()) {
      size_t n = std::min<size_t>(static_cast<uint8_t>(bytes[0]), bytes.size() - 1);
      std::copy_n(bytes.begin() + 1, n, out.begin());
    }
  } else {
    out.assign(bytes);
  }
  return out;
}

void Invert(std::string* s, size_t from) {
  for (size_t i = from; i < s->size(); ++i) (*s)[i] = static_cast<char>(~(*s)[i]);
}

}  // namespace

size_t KeyValueLength(const TableDef& def, const KeyDef& key) {
  size_t n = 0;
  for (const KeyComponent& c : key.components) n += def.fields[c.field].size;
  return n;
}

void AppendKeyComponent(const FieldDef& field, bool no_case, bool descending,
                        const Collation& collation, std::string_view bytes, std::string* out) {
  const size_t start = out->size();
  auto first = [&]() -> char& { return (*out)[start]; };
  switch (field.type) {
    case kTypeString:
    case kTypeGroup:
    case kTypeCString:
    case kTypePString: {
      std::string text = TextOf(field, bytes);
      // Case-insensitive keys compare by the collation's order of the
      // upper-cased text; other string keys compare their raw bytes.
      if (no_case) {
        for (char& ch : text)
          ch = static_cast<char>(collation.Rank(collation.Upper(static_cast<uint8_t>(ch))));
      }
      out->append(text);
      break;
    }
    case kTypeUShort:
    case kTypeULong:
    case kTypeDate:
    case kTypeTime:
      out->append(bytes.rbegin(), bytes.rend());
      break;
    case kTypeShort:
    case kTypeLong:
      out->append(bytes.rbegin(), bytes.rend());
      if (!bytes.empty()) first() = static_cast<char>(first() ^ 0x80);
      break;
    case kTypeSReal:
    case kTypeReal:
      out->append(bytes.rbegin(), bytes.rend());
      if (bytes.empty()) break;
      if ((first() & 0x80) == 0) {
        first() = static_cast<char>(first() | 0x80);
      } else {
        Invert(out, start);
      }
      break;
    case kTypeDecimal:
      out->append(bytes);
      if (bytes.empty()) break;
      if ((first() & 0xF0) != 0) {
        first() = static_cast<char>((first() & 0x0F) ^ 0x80);
        Invert(out, start);
      } else {
        first() = static_cast<char>(first() ^ 0x80);
      }
      break;
    default:
      out->append(bytes);
      break;
  }
  if (descending) {
    for (size_t i = start; i < out->size(); ++i)
      (*out)[i] = static_cast<char>(255 - static_cast<uint8_t>((*out)[i]));
  }
}

void AppendKeyValue(const TableDef& def, const KeyDef& key, const Collation& collation,
                    std::string_view row, std::string* out) {
  for (const KeyComponent& c : key.components) {
    const FieldDef& f = def.fields[c.field];
    AppendKeyComponent(f, key.no_case() && IsStringType(f.type), c.descending(), collation,
                       row.substr(f.offset, f.size), out);
  }
}

bool KeyValueIsEmpty(const TableDef& def, const KeyDef& key, std::string_view row) {
  for (const KeyComponent& c : key.components) {
    const FieldDef& f = def.fields[c.field];
    std::string_view b = row.substr(f.offset, f.size);
    switch (f.type) {
      case kTypeString:
      case kTypeGroup:
        if (b.find_first_not_of(' ') != std::string_view::npos) return false;
        break;
      case kTypeCString:
      case kTypePString:
        if (!b.empty() && b[0] != '\0') return false;
        break;
      default:
        if (b.find_first_not_of('\0') != std::string_view::npos) return false;
        break;
    }
  }
  return true;
}

}  // namespace vm::storage
