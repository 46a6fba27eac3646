#include "storage/file/page_cache.h"

namespace vm::storage {

std::shared_ptr<TreePage> CleanPageCache::Find(int32_t page) {
  auto it = entries_.find(page);
  if (it == entries_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second.use);
  return it->second.page;
}

void CleanPageCache::Insert(int32_t page, std::shared_ptr<TreePage> p) {
  Erase(page);
  const size_t bytes = p->ExpandedSize();
  order_.push_front(page);
  entries_.emplace(page, Entry{std::move(p), bytes, order_.begin()});
  bytes_ += bytes;
  // The page just added stays even when it alone exceeds the budget.
  while (bytes_ > budget_ && order_.size() > 1) Erase(order_.back());
}

void CleanPageCache::Erase(int32_t page) {
  auto it = entries_.find(page);
  if (it == entries_.end()) return;
  bytes_ -= it->second.bytes;
  order_.erase(it->second.use);
  entries_.erase(it);
}

size_t CleanPageCache::SetBudget(size_t byte_budget) {
  const size_t old = budget_;
  budget_ = byte_budget;
  while (bytes_ > budget_ && !order_.empty()) Erase(order_.back());
  return old;
}

void CleanPageCache::Clear() {
  entries_.clear();
  order_.clear();
  bytes_ = 0;
}

}  // namespace vm::storage
