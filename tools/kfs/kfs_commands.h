// The kfs commands, one per source file. Each takes its arguments as the
// command line gave them, prints its findings on stdout and its errors on
// stderr, and returns the process exit code (kfs_common.h). Called from the
// tool's one thread.
#pragma once

#include <cstdio>
#include <string>

namespace vm::storage::kfs {

// The file's header and its tables with their row counts.
int Info(const std::string& path);

enum class DumpForm {
  kRows,    // "record N: FIELD=value ..." lines
  kCsv,     // a header line of column names, then one CSV line per row
  kSchema,  // the schema text (kfs_schema.h)
};
// A table's rows in record order, or in the order of key `key_name` when it
// is not empty; or its schema.
int Dump(const std::string& name, const std::string& key_name, DumpForm form);

// Verifies the tree, every table's statistics and key entries.
int Check(const std::string& path);

// Creates table `name` from the schema file and adds the CSV rows read from
// `rows`, all in one transaction.
int Import(const std::string& name, const std::string& schema_path, std::FILE* rows);

// Builds the pending part of every stored key of the named table (every
// table when the name has no table part), then cuts the file at the end of
// its data.
int Pack(const std::string& name);

}  // namespace vm::storage::kfs
