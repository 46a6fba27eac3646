// Description of one stored table: its fields, memos and keys, as the program
// declares them and as the table's definition stream holds them in the file.
// Plain value type; the driver fills it from a declaration or reads it from a
// file (definition.h). Safe to copy between threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vm::storage {

// Field type codes, one byte each, as they appear in the definition stream.
enum FieldType : uint8_t {
  kTypeByte = 0x01,
  kTypeShort = 0x02,
  kTypeUShort = 0x03,
  kTypeDate = 0x04,
  kTypeTime = 0x05,
  kTypeLong = 0x06,
  kTypeULong = 0x07,
  kTypeSReal = 0x08,
  kTypeReal = 0x09,
  kTypeDecimal = 0x0A,
  kTypePDecimal = 0x0B,
  kTypeString = 0x12,
  kTypeCString = 0x13,
  kTypePString = 0x14,
  kTypeGroup = 0x16,
};

// Key attribute bits (one byte per key).
inline constexpr uint8_t kKeyDuplicates = 0x01;   // record number is part of the entry's key
inline constexpr uint8_t kKeyOptional = 0x02;     // no entry when every component is empty
inline constexpr uint8_t kKeyNoCase = 0x04;       // strings compared without regard to case
inline constexpr uint8_t kKeyNotCompared = 0x10;  // ignored when definitions are compared
inline constexpr uint8_t kKeyDeferred = 0x20;     // entries made only by a build
inline constexpr uint8_t kKeyDynamic = 0x40;      // never stored in the file

// Memo attribute bits.
inline constexpr uint16_t kMemoNoOemConvert = 0x02;  // content kept as it is in OEM tables
inline constexpr uint16_t kMemoBinary = 0x04;        // length-prefixed binary content

// The largest row image a table may declare.
inline constexpr uint16_t kMaxRecordLength = 15000;

struct FieldDef {
  uint8_t type = kTypeString;
  uint16_t offset = 0;  // position in the row image
  std::string name;     // upper case in stored definitions, e.g. "PRO:FILENAME"
  // The runtime's field descriptor values, stored and compared as given:
  // attr1 is the first attribute (the driver puts the field's dimension
  // count there), attr2 non-zero exempts the field from OEM conversion,
  // attr3 is the third attribute.
  uint16_t attr1 = 0;
  uint16_t size = 0;  // bytes in the row image
  uint16_t attr2 = 0;
  uint16_t attr3 = 0;
  uint8_t digits = 0;  // DECIMAL and PDECIMAL only
  uint8_t places = 0;
  uint16_t string_length = 0;  // STRING, CSTRING and PSTRING only
  std::string picture;

  bool operator==(const FieldDef&) const = default;
};

struct MemoDef {
  std::string external_name;
  std::string name;
  uint16_t size = 0;  // capacity of the memo's buffer
  uint16_t flags = 0;
  bool binary() const { return (flags & kMemoBinary) != 0; }
  bool operator==(const MemoDef&) const = default;
};

struct KeyComponent {
  uint16_t field = 0;  // index into TableDef::fields
  uint16_t flags = 0;  // non-zero: descending
  bool descending() const { return flags != 0; }
  bool operator==(const KeyComponent&) const = default;
};

struct KeyDef {
  std::string external_name;
  std::string name;  // upper case in stored definitions, e.g. "PRO:FILENAMEKEY"
  uint8_t flags = 0;
  std::vector<KeyComponent> components;

  bool duplicates() const { return (flags & kKeyDuplicates) != 0; }
  bool optional() const { return (flags & kKeyOptional) != 0; }
  bool no_case() const { return (flags & kKeyNoCase) != 0; }
  bool deferred() const { return (flags & kKeyDeferred) != 0; }
  bool dynamic() const { return (flags & kKeyDynamic) != 0; }
  bool operator==(const KeyDef&) const = default;
};

struct TableDef {
  uint16_t record_length = 0;
  std::vector<FieldDef> fields;
  std::vector<MemoDef> memos;
  std::vector<KeyDef> keys;

  bool has_binary_memo() const {
    for (const MemoDef& m : memos)
      if (m.binary()) return true;
    return false;
  }
  bool operator==(const TableDef&) const = default;
};

// Shorthands for building descriptions in code.
FieldDef MakeField(std::string name, uint8_t type, uint16_t offset, uint16_t size);
KeyDef MakeKey(std::string name, uint8_t flags, std::vector<KeyComponent> components);

// Checks that fields lie inside the row, keys name existing fields and the
// key entries fit in a record. Returns an empty string when the description
// is sound, otherwise what is wrong with it. Stored definitions are read
// with this check: a table made by an earlier version keeps opening.
std::string CheckTableDef(const TableDef& def);

// The longest value of a key with and without duplicates whose entries can
// be stored whatever bytes they hold (an entry's key is the table number,
// the key number, the value and, with duplicates, the record number).
size_t MaxKeyValueLength(bool duplicates);

// CheckTableDef, and for a table about to be created that no key's value is
// longer than MaxKeyValueLength ("key NAME is too long: ...").
std::string CheckNewTableDef(const TableDef& def);

}  // namespace vm::storage
