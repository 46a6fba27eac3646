// The relation manager of one table: windows open and close the table through
// it, and it opens and closes the table's file manager, so nested opens (the
// scanner, then the dispatcher inside it; a list and the form it opens) are
// allowed and only the last close closes the file. One per table, created at
// start-up and destroyed at shutdown by the program. Safe from any thread.
#pragma once

#include <mutex>

#include "framework/file_manager.h"

namespace vm::framework {

class RelationManager {
 public:
  // `file` must outlive the relation manager.
  explicit RelationManager(FileManager* file) : file_(file) {}
  // Closes what windows left open, so the file is closed at shutdown.
  ~RelationManager();
  RelationManager(const RelationManager&) = delete;
  RelationManager& operator=(const RelationManager&) = delete;

  // One more open of the table: the file manager's Open answer.
  int Open(bool report = true);
  // One open less; a close without an open is ignored.
  void Close();
  int open_count() const;
  FileManager& file() const { return *file_; }

 private:
  FileManager* const file_;
  mutable std::mutex mu_;
  int opens_ = 0;  // opens made through this manager and not yet closed
};

// Holds one open of a table for as long as a window runs.
class TableUse {
 public:
  explicit TableUse(RelationManager* relation, bool report = true)
      : relation_(relation), result_(relation->Open(report)) {}
  ~TableUse() {
    if (result_ == 0) relation_->Close();
  }
  TableUse(const TableUse&) = delete;
  TableUse& operator=(const TableUse&) = delete;
  // The answer of the open (0: the table is open for this window).
  int result() const { return result_; }

 private:
  RelationManager* const relation_;
  const int result_;
};

}  // namespace vm::framework
