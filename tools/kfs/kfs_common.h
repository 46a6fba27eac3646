// Shared pieces of the kfs commands: exit codes, how storage errors are
// worded, opening a table file, listing its tables and the file's size.
// Called from the tool's one thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "storage/tree/tree_file.h"

namespace vm::storage::kfs {

inline constexpr int kExitOk = 0;
inline constexpr int kExitDamaged = 1;  // the file is damaged, or the command failed on its data
inline constexpr int kExitUsage = 2;    // usage errors, missing files, refused opens

// "Creates Duplicate Key (40)", or the corruption text with its number.
std::string Describe(const Status& s);
// Prints "kfs: WHAT: DESCRIPTION" and returns the exit code for `s`.
int Fail(const std::string& what, const Status& s);
// Prints "kfs: MESSAGE" and returns `exit_code`.
int Complain(const std::string& message, int exit_code);

// Opens an existing file for reading, or for writing (with `create`, a
// missing file is made).
Status OpenForReading(const std::string& path, std::unique_ptr<TreeFile>* out);
Status OpenForWriting(const std::string& path, bool create, std::unique_ptr<TreeFile>* out);

// Names and numbers of the tables in the file, from the name records.
// REQUIRES: an operation is open on the file.
Status ListTables(TreeFile& file, std::map<std::string, uint32_t>* tables);

// Cuts the file at the end of its data, under the update lock so that no
// other writer's commit is in flight. Outside any operation.
Status CutToData(TreeFile& file);

// The file's length in bytes, 0 when it cannot be told.
uint64_t FileSize(TreeFile& file);

// Whether the open file has 0 bytes.
bool IsEmptyFile(TreeFile& file);
// A file of 0 bytes is what a table file is before its first commit: no
// header, no tables. Prints "kfs: FILE: an empty file (0 bytes), not a table
// file" and returns `exit_code`.
int EmptyFile(const std::string& path, int exit_code);

// The table name argument as the storage layer reads it: "FILE!TABLE" (a
// shell keeps the "!" while it eats the backslash of an unquoted
// FILE\!TABLE) becomes "FILE\!TABLE" when FILE (with the default extension
// when it has none) is an existing file and no file is named FILE!TABLE.
std::string TableArgument(const std::string& arg);

}  // namespace vm::storage::kfs
