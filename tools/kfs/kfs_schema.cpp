// Writing the schema text of a table, and the field type names and sizes
// the schema text uses (kfs_schema.h).
#include "kfs_schema.h"

#include <cstdio>

namespace vm::storage::kfs {
namespace {

struct TypeEntry {
  uint8_t type;
  const char* name;
  uint16_t size;  // the only size the type allows; 0 when any
};

constexpr TypeEntry kTypes[] = {
    {kTypeByte, "BYTE", 1},       {kTypeShort, "SHORT", 2},       {kTypeUShort, "USHORT", 2},
    {kTypeDate, "DATE", 4},       {kTypeTime, "TIME", 4},         {kTypeLong, "LONG", 4},
    {kTypeULong, "ULONG", 4},     {kTypeSReal, "SREAL", 4},       {kTypeReal, "REAL", 8},
    {kTypeDecimal, "DECIMAL", 0}, {kTypePDecimal, "PDECIMAL", 0}, {kTypeString, "STRING", 0},
    {kTypeCString, "CSTRING", 0}, {kTypePString, "PSTRING", 0},   {kTypeGroup, "GROUP", 0},
};

const TypeEntry* FindType(uint8_t type) {
  for (const TypeEntry& e : kTypes)
    if (e.type == type) return &e;
  return nullptr;
}

}  // namespace

bool IsTextType(uint8_t type) {
  return type == kTypeString || type == kTypeCString || type == kTypePString;
}

bool IsDecimalType(uint8_t type) {
  return type == kTypeDecimal || type == kTypePDecimal;
}

bool TypeByName(std::string_view name, uint8_t* type) {
  for (const TypeEntry& e : kTypes) {
    if (name == e.name) {
      *type = e.type;
      return true;
    }
  }
  return false;
}

uint16_t TypeFixedSize(uint8_t type) {
  const TypeEntry* e = FindType(type);
  return e == nullptr ? 0 : e->size;
}

namespace {

// A word that reads back as itself: not empty, no blanks or quotes, and not
// mistaken for a component's sign, number or flags.
bool IsPlain(std::string_view s) {
  if (s.empty() || s[0] == '+' || s[0] == '-' || s[0] == '#') return false;
  for (unsigned char c : s)
    if (c <= ' ' || c == '"' || c == '=' || c == 0x7F) return false;
  return true;
}

std::string Quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  return out + "\"";
}

std::string Name(std::string_view s) {
  return IsPlain(s) ? std::string(s) : Quoted(s);
}

std::string Padded(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}

std::string Number(unsigned n, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%*u", width, n);
  return buf;
}

std::string FieldLine(const FieldDef& f) {
  std::string line = "  field " + Padded(Name(f.name), 28) + " " + Padded(TypeName(f.type), 8) +
                     " offset " + Number(f.offset, 5) + " size " + Number(f.size, 5);
  const uint16_t default_length = IsTextType(f.type) ? f.size : 0;
  if (f.string_length != default_length) line += " length " + std::to_string(f.string_length);
  if (f.digits != 0) line += " digits " + std::to_string(f.digits);
  if (f.places != 0) line += " places " + std::to_string(f.places);
  if (f.attr1 != 0) line += " attr1 " + std::to_string(f.attr1);
  if (f.attr2 != 0) line += " attr2 " + std::to_string(f.attr2);
  if (f.attr3 != 0) line += " attr3 " + std::to_string(f.attr3);
  if (!f.picture.empty()) line += " picture " + Quoted(f.picture);
  return line + "\n";
}

std::string ComponentText(const TableDef& def, const KeyComponent& c) {
  std::string ref;
  if (c.field < def.fields.size()) {
    const std::string& name = def.fields[c.field].name;
    size_t same = 0;
    for (const FieldDef& f : def.fields) same += f.name == name ? 1 : 0;
    ref = IsPlain(name) && same == 1 ? name : "#" + std::to_string(c.field + 1);
  } else {
    ref = "#" + std::to_string(c.field + 1);
  }
  std::string text = (c.descending() ? "-" : "+") + ref;
  if (c.flags > 1) text += "=" + std::to_string(c.flags);
  return text;
}

}  // namespace

std::string TypeName(uint8_t type) {
  if (const TypeEntry* e = FindType(type)) return e->name;
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", type);
  return buf;
}

std::string FormatSchema(const Schema& schema) {
  const TableDef& def = schema.def;
  std::string out =
      "table " + Name(schema.table) + " record length " + std::to_string(def.record_length);
  if (schema.oem) out += " oem";
  if (schema.flags != 0) out += " flags " + std::to_string(schema.flags);
  out += "\n";
  for (const FieldDef& f : def.fields) out += FieldLine(f);
  for (const MemoDef& m : def.memos) {
    out += "  memo  " + Padded(Name(m.name), 28) + " size " + std::to_string(m.size) + " flags " +
           std::to_string(m.flags);
    if (!m.external_name.empty()) out += " external " + Quoted(m.external_name);
    out += "\n";
  }
  for (const KeyDef& k : def.keys) {
    out += "  key   " + Padded(Name(k.name), 28);
    if (!k.external_name.empty()) out += " external " + Quoted(k.external_name);
    out += " attributes " + std::to_string(k.flags) + ":";
    for (const KeyComponent& c : k.components) out += " " + ComponentText(def, c);
    out += "\n";
  }
  return out;
}

}  // namespace vm::storage::kfs
