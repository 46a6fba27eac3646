// The one place where the gateway's procedures open and close the three
// tables. Each procedure (the frame, one scan pass, the dispatcher inside it)
// makes or borrows a GatewayFiles; every open and close goes through the
// program's relation manager of the table (GatewayRelations), so opens nest
// and only the last close closes. A missing file is created on open. Owner
// thread only: a procedure on another thread makes its own GatewayFiles, whose
// handles and row buffers are its own, so no thread clobbers another's row.
#pragma once

#include <array>
#include <memory>
#include <string>

#include "platform/file.h"
#include "storage/driver/declared_table.h"

namespace vm::app {

class GatewayRelations;

enum class Table { kControl = 0, kMailboxes = 1, kProcessedFiles = 2 };

class GatewayFiles {
 public:
  // `dir`: the working directory holding the table files ("" = current);
  // `relations`: the program's relation managers (null: tools and tests
  // that run a procedure without the program around it).
  explicit GatewayFiles(std::string dir, platform::Env* env = platform::Env::Default(),
                        GatewayRelations* relations = nullptr);
  ~GatewayFiles();
  GatewayFiles(const GatewayFiles&) = delete;
  GatewayFiles& operator=(const GatewayFiles&) = delete;

  // Opens the table (creating its file when missing) on the first call;
  // later calls only count. A log of an earlier version's layout is moved to
  // the current one first (log_migration.h). Returns the storage error code
  // (0 = open).
  int Open(Table t);
  // Closes on the last matching call.
  void Close(Table t);
  // Whether the last failed Open of `t` failed to create the missing file.
  bool create_failed(Table t) const { return create_failed_[static_cast<size_t>(t)]; }

  storage::DeclaredTable& table(Table t) { return *tables_[static_cast<size_t>(t)]; }
  storage::DeclaredTable& control() { return table(Table::kControl); }
  storage::DeclaredTable& mailboxes() { return table(Table::kMailboxes); }
  storage::DeclaredTable& processed() { return table(Table::kProcessedFiles); }
  const std::string& dir() const { return dir_; }
  GatewayRelations* relations() const { return relations_; }
  // The name that messages show: "Control", "Mailboxes", "ProcessedFiles".
  static const char* Name(Table t);

 private:
  std::string dir_;
  platform::Env* const env_;
  GatewayRelations* const relations_;
  std::array<std::unique_ptr<storage::DeclaredTable>, 3> tables_;
  std::array<int, 3> opens_{};
  std::array<bool, 3> create_failed_{};
};

// Opens a table for the length of a scope; the code says whether it did.
class OpenTable {
 public:
  OpenTable(GatewayFiles& files, Table t) : files_(files), t_(t), code_(files.Open(t)) {}
  ~OpenTable() {
    if (code_ == 0) files_.Close(t_);
  }
  OpenTable(const OpenTable&) = delete;
  OpenTable& operator=(const OpenTable&) = delete;
  int code() const { return code_; }

 private:
  GatewayFiles& files_;
  Table t_;
  int code_;
};

}  // namespace vm::app
