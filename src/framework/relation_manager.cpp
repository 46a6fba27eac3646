#include "framework/relation_manager.h"

namespace vm::framework {

RelationManager::~RelationManager() {
  std::lock_guard<std::mutex> lock(mu_);
  for (; opens_ > 0; --opens_) file_->Close();
}

int RelationManager::Open(bool report) {
  std::lock_guard<std::mutex> lock(mu_);
  const int rc = file_->Open(report);
  if (rc == 0) ++opens_;
  return rc;
}

void RelationManager::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  if (opens_ == 0) return;
  --opens_;
  file_->Close();
}

int RelationManager::open_count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return opens_;
}

}  // namespace vm::framework
