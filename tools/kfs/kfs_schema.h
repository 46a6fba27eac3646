// The schema text of a table, as `kfs dump --schema` prints it and
// `kfs import --schema` reads it: one line per item, in definition order.
//
//   table NAME record length N [oem] [flags N]
//   field NAME TYPE offset N size N [length N] [digits N] [places N]
//         [attr1 N] [attr2 N] [attr3 N] [picture "TEXT"]
//   memo  NAME size N flags N [external "TEXT"]
//   key   NAME [external "TEXT"] attributes N: (+|-)FIELD ...
//
// TYPE is BYTE SHORT USHORT DATE TIME LONG ULONG SREAL REAL DECIMAL PDECIMAL
// STRING CSTRING PSTRING GROUP or a type code (0xNN). A key component names
// its field, or gives its number (#1 is the first field) when the name is
// not a plain word or not unique; "-" is descending, "-FIELD=N" keeps any
// other non-zero component flags value N. Names and texts with blanks or
// quotes are quoted, with quotes doubled. Blank lines and lines starting
// with '#' are ignored. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/table/table_def.h"

namespace vm::storage::kfs {

struct Schema {
  std::string table;  // the name on the table line
  TableDef def;
  bool oem = false;    // the table's OEM character set flag
  uint32_t flags = 0;  // the table's stored flags value
};

// The type's name ("STRING"), or "0xNN" for a code without one.
std::string TypeName(uint8_t type);
// The type of a name TypeName gives (not of "0xNN"); false for none.
bool TypeByName(std::string_view name, uint8_t* type);
// The only size a field of the type may have; 0 when any size will do.
uint16_t TypeFixedSize(uint8_t type);
// Types whose definition items include a length and picture (text) or
// digits and places (decimal).
bool IsTextType(uint8_t type);
bool IsDecimalType(uint8_t type);

std::string FormatSchema(const Schema& schema);

// Reads a schema. False with *error naming the line ("line 3: ...") when a
// line cannot be read, or saying what is wrong with the described table.
bool ParseSchema(std::string_view text, Schema* schema, std::string* error);

}  // namespace vm::storage::kfs
