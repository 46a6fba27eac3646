// Field and memo values of a row as text: the readable form of `kfs dump`
// and the CSV form of `kfs dump --csv` and `kfs import`, both ways.
//
// CSV values carry a field's bytes exactly: integers (BYTE, SHORT, USHORT,
// LONG, ULONG, DATE, TIME) in decimal; SREAL and REAL in the shortest
// decimal form that reads back to the same bits, or "0x" and the hex digits
// of their bytes when none does (NaNs); STRING without its trailing blanks;
// CSTRING without its trailing zeros (so a full-width one keeps trailing
// blanks); PSTRING as long as its length byte says, or "0x" and the hex
// digits of all its bytes when bytes follow its characters; DECIMAL,
// PDECIMAL and other types as hex digits of their bytes; text memos without
// trailing blanks, binary memos as hex. GROUP fields are left out: their
// bytes are their member fields'. An empty value reads as zero or blank.
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

#include "storage/table/table_def.h"

namespace vm::storage::kfs {

// The readable form: numbers, strings in quotes with backslash escapes.
std::string FieldText(const FieldDef& field, std::string_view row);

// Whether the field is a CSV column.
bool IsCsvColumn(const FieldDef& field);
// The CSV value of the field in `row`; *quoted tells whether it is text.
std::string FieldCsvValue(const FieldDef& field, std::string_view row, bool* quoted);
// Writes the field's empty value (blanks for STRING, zeros otherwise).
void PutEmptyValue(const FieldDef& field, std::string* row);
// Writes the field's bytes in `row` from its CSV value. False with *error
// when the value does not read as the field's type or does not fit.
bool PutCsvValue(const FieldDef& field, std::string_view value, std::string* row,
                 std::string* error);

// A memo's content (as StoredTable::ReadMemo gives it) as a CSV value, and
// back. False with *error when the value does not fit the memo.
std::string MemoCsvValue(const MemoDef& memo, std::string_view content);
bool MemoFromCsv(const MemoDef& memo, std::string_view value, std::string* content,
                 std::string* error);

}  // namespace vm::storage::kfs
