// Key values: the bytes of a key entry built from a row image so that plain
// unsigned byte order equals the key's order (signed and floating numbers,
// decimals, case-insensitive strings through the table's collation, and
// descending components). Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "storage/table/table_def.h"
#include "storage/tree/collation.h"

namespace vm::storage {

// Sum of the widths of the key's component fields.
size_t KeyValueLength(const TableDef& def, const KeyDef& key);

// Appends the key value of `key` for `row` to *out.
// REQUIRES: CheckTableDef(def) is empty and row.size() >= def.record_length.
void AppendKeyValue(const TableDef& def, const KeyDef& key, const Collation& collation,
                    std::string_view row, std::string* out);

// Appends the encoding of one field's bytes as a key component.
void AppendKeyComponent(const FieldDef& field, bool no_case, bool descending,
                        const Collation& collation, std::string_view field_bytes, std::string* out);

// True when every component of `key` is empty in `row`: blanks for STRING and
// GROUP, a zero first byte for CSTRING and PSTRING, all zero bytes otherwise.
bool KeyValueIsEmpty(const TableDef& def, const KeyDef& key, std::string_view row);

}  // namespace vm::storage
