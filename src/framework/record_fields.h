// Reading and writing one field of a record buffer as text, the way lists
// and forms show stored values: strings without trailing blanks (up to a NUL
// for NUL-terminated ones), numbers, dates and times as decimal digits.
// Pure functions over a buffer the caller owns; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "storage/table/table_def.h"

namespace vm::framework {

// Index of the field named `name` in `def` (ASCII case ignored); -1 if none.
int FindField(const storage::TableDef& def, std::string_view name);

// The stored value of `field` as text.
std::string FieldText(const storage::FieldDef& field, const std::vector<char>& record);
// Stores `text` in `field`: strings cut or blank-padded (NUL-terminated ones
// NUL-padded), numbers by the runtime's text-to-number rule, clamped to
// the field's range. Real and decimal fields are left alone.
void SetFieldText(const storage::FieldDef& field, std::vector<char>* record, std::string_view text);

// Clears a record as the runtime does: strings to blanks, NUL-terminated
// strings and everything else to zero bytes.
void ClearRecord(const storage::TableDef& def, std::vector<char>* record);

}  // namespace vm::framework
