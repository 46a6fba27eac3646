// A record tree held in memory only: the private tree into which a handle
// builds the entries of a dynamic key. Owned by the table handle; owner
// thread only. Nothing of it ever reaches the file.
#pragma once

#include <map>
#include <memory>

#include "storage/tree/tree.h"

namespace vm::storage {

class PrivateTreePages : public TreePages {
 public:
  int32_t root() override { return root_; }
  void set_root(int32_t page) override { root_ = page; }
  Status Load(int32_t page, std::shared_ptr<TreePage>* out) override {
    auto it = pages_.find(page);
    if (it == pages_.end()) return Status::Internal(kErrBadRecords);
    *out = it->second;
    return Status::Ok();
  }
  Status Changed(int32_t page, const std::shared_ptr<TreePage>& p) override {
    pages_[page] = p;
    return Status::Ok();
  }
  Status Allocate(const std::shared_ptr<TreePage>& p, int32_t* page) override {
    *page = next_++;
    pages_[*page] = p;
    return Status::Ok();
  }
  Status Free(int32_t page) override {
    pages_.erase(page);
    return Status::Ok();
  }

 private:
  int32_t root_ = -1;
  int32_t next_ = 0;
  std::map<int32_t, std::shared_ptr<TreePage>> pages_;
};

// A private tree with its pages.
class PrivateTree {
 public:
  PrivateTree() : tree_(&pages_) {}
  RecordTree& tree() { return tree_; }

 private:
  PrivateTreePages pages_;
  RecordTree tree_;
};

}  // namespace vm::storage
