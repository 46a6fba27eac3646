// Page access as the record tree needs it: the interface between the tree
// (tree.h) and whoever keeps its pages, the table file (page_file.h) or a
// store in memory (private_tree.h). Called on the owner thread of the pages.
#pragma once

#include <cstdint>
#include <memory>

#include "storage/file/record.h"
#include "storage/file/storage_status.h"

namespace vm::storage {

// Pages are shared objects: the tree changes a page in place and then calls
// Changed() so that the owner writes it at the next commit.
class TreePages {
 public:
  virtual ~TreePages() = default;
  // Root page number; -1 when the file has no tree yet.
  virtual int32_t root() = 0;
  virtual void set_root(int32_t page) = 0;
  virtual Status Load(int32_t page, std::shared_ptr<TreePage>* out) = 0;
  virtual Status Changed(int32_t page, const std::shared_ptr<TreePage>& p) = 0;
  // Gives `p` a page number (a temporary one is fine) and marks it changed.
  virtual Status Allocate(const std::shared_ptr<TreePage>& p, int32_t* page) = 0;
  virtual Status Free(int32_t page) = 0;
  // False while the handle is in reading mode: inserts then fail with 1194.
  virtual bool updating() { return true; }
};

}  // namespace vm::storage
