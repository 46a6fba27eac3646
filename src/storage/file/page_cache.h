// Decoded pages that match the file, kept between operations up to a budget
// of expanded bytes; the least recently used go first when it is exceeded.
// Used by PageFile only, on its owner thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "storage/file/record.h"

namespace vm::storage {

class CleanPageCache {
 public:
  explicit CleanPageCache(size_t byte_budget) : budget_(byte_budget) {}

  // The page numbered `page`, marked as just used; null when not held.
  std::shared_ptr<TreePage> Find(int32_t page);
  // Keeps `p` as page `page` (replacing any older copy), then lets go of the
  // least recently used pages while the budget is exceeded.
  void Insert(int32_t page, std::shared_ptr<TreePage> p);
  void Erase(int32_t page);
  void Clear();
  // Replaces the budget, letting go of pages beyond it; returns the old one.
  size_t SetBudget(size_t byte_budget);

  size_t size() const { return entries_.size(); }
  size_t bytes() const { return bytes_; }

 private:
  struct Entry {
    std::shared_ptr<TreePage> page;
    size_t bytes;
    std::list<int32_t>::iterator use;
  };

  size_t budget_;
  size_t bytes_ = 0;
  std::list<int32_t> order_;  // most recently used first
  std::unordered_map<int32_t, Entry> entries_;
};

}  // namespace vm::storage
