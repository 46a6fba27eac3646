#include "storage/table/table_def.h"

#include <utility>

#include "storage/file/record.h"
#include "storage/table/key_codec.h"

namespace vm::storage {

FieldDef MakeField(std::string name, uint8_t type, uint16_t offset, uint16_t size) {
  FieldDef f;
  f.name = std::move(name);
  f.type = type;
  f.offset = offset;
  f.size = size;
  if (type == kTypeString || type == kTypeCString || type == kTypePString) f.string_length = size;
  return f;
}

KeyDef MakeKey(std::string name, uint8_t flags, std::vector<KeyComponent> components) {
  KeyDef k;
  k.name = std::move(name);
  k.flags = flags;
  k.components = std::move(components);
  return k;
}

std::string CheckTableDef(const TableDef& def) {
  if (def.record_length == 0 || def.record_length > kMaxRecordLength)
    return "record length " + std::to_string(def.record_length) + " out of range";
  // Key numbers share the byte after the table number with the record kinds
  // (0xF3 and above), so at most 0xF3 keys.
  if (def.fields.size() > 0xFFFF || def.keys.size() > 0xF3 || def.memos.size() > 0x100)
    return "too many fields, keys or memos";
  for (const FieldDef& f : def.fields) {
    if (size_t{f.offset} + f.size > def.record_length)
      return "field " + f.name + " lies outside the record";
  }
  for (const KeyDef& k : def.keys) {
    if (k.components.empty()) return "key " + k.name + " has no components";
    for (const KeyComponent& c : k.components) {
      if (c.field >= def.fields.size()) return "key " + k.name + " names a missing field";
    }
    // A key entry is the table number, key number, value and record number.
    if (KeyValueLength(def, k) + 9 >= kRecordSizeLimit) return "key " + k.name + " is too long";
  }
  return std::string();
}

size_t MaxKeyValueLength(bool duplicates) {
  return kMaxKeyLength - 5 - (duplicates ? 4 : 0);
}

std::string CheckNewTableDef(const TableDef& def) {
  std::string unsound = CheckTableDef(def);
  if (!unsound.empty()) return unsound;
  for (const KeyDef& k : def.keys) {
    const size_t length = KeyValueLength(def, k);
    const size_t limit = MaxKeyValueLength(k.duplicates());
    if (length > limit) {
      return "key " + k.name + " is too long: its value takes " + std::to_string(length) +
             " bytes, at most " + std::to_string(limit) + " for a key " +
             (k.duplicates() ? "with" : "without") + " duplicates";
    }
  }
  return std::string();
}

}  // namespace vm::storage
