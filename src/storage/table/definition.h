// The table definition stream: the table's description as the file keeps it,
// cut into definition block records of 512 bytes. Written when a table is
// created, read to describe a table opened without a declaration, and compared
// item by item with a declaration. Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "storage/table/table_def.h"

namespace vm::storage {

inline constexpr size_t kDefinitionBlockSize = 512;

std::string EncodeDefinition(const TableDef& def);
// False when the stream is cut short, has bytes left over or describes an
// unsound table.
bool DecodeDefinition(std::string_view stream, TableDef* def);

// Compares a stored definition with a declaration item by item, in stream
// order (key attribute bit 0x10 is ignored). Returns an empty string when they
// agree, otherwise names the first item that differs.
std::string CompareDefinition(const TableDef& stored, const TableDef& declared);

}  // namespace vm::storage
