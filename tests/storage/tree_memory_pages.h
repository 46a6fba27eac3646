// An in-memory TreePages for tests of the record layer. With `pack` set, each
// change is kept as its packed body and every load decodes it again, so the
// tests also run the page packing; pages can then be damaged on purpose.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "storage/file/page_pack.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/tree.h"

namespace vm::storage {

class MemoryTreePages : public TreePages {
 public:
  explicit MemoryTreePages(bool pack = false) : pack_(pack) {}

  int32_t root() override { return root_; }
  void set_root(int32_t page) override { root_ = page; }

  Status Load(int32_t page, std::shared_ptr<TreePage>* out) override {
    auto it = pages_.find(page);
    if (it == pages_.end()) return Status::Internal(1735);
    if (!pack_) {
      *out = it->second;
      return Status::Ok();
    }
    const Stored& st = bodies_[page];
    auto p = std::make_shared<TreePage>();
    p->level = st.level;
    p->children = st.children;
    if (!UnpackRecords(st.body, st.count, &p->records)) return Status::Internal(kErrBadRecords);
    *out = p;
    return Status::Ok();
  }
  Status Changed(int32_t page, const std::shared_ptr<TreePage>& p) override {
    pages_[page] = p;
    if (pack_) Repack(page, *p);
    return Status::Ok();
  }
  Status Allocate(const std::shared_ptr<TreePage>& p, int32_t* page) override {
    *page = next_++;
    ++allocated_;
    return Changed(*page, p);
  }
  Status Free(int32_t page) override {
    pages_.erase(page);
    bodies_.erase(page);
    ++freed_;
    return Status::Ok();
  }

  // Renumbers a page as the file layer does when it squeezes a region.
  void Move(int32_t from, int32_t to) {
    auto p = pages_[from];
    pages_.erase(from);
    pages_[to] = p;
    if (pack_) {
      bodies_[to] = bodies_[from];
      bodies_.erase(from);
    }
  }

  // Puts a page read from elsewhere under its number.
  void Adopt(int32_t n, std::shared_ptr<TreePage> p) {
    if (pack_) Repack(n, *p);
    pages_[n] = std::move(p);
    if (n >= next_) next_ = n + 1;
  }

  size_t page_count() const { return pages_.size(); }
  int allocated() const { return allocated_; }
  int freed() const { return freed_; }
  std::shared_ptr<TreePage> page(int32_t n) { return pages_.at(n); }
  std::map<int32_t, std::shared_ptr<TreePage>>& pages() { return pages_; }
  // Packed body of a page (pack mode only); tests damage it.
  std::string& body(int32_t n) { return bodies_.at(n).body; }
  // Re-encodes a page after a test changed its decoded form directly.
  void Repack(int32_t page, const TreePage& p) {
    Stored st;
    st.level = p.level;
    st.children = p.children;
    st.count = p.records.size();
    PackRecords(p.records, &st.body);
    bodies_[page] = std::move(st);
  }

 private:
  struct Stored {
    uint8_t level = 0;
    std::vector<int32_t> children;
    size_t count = 0;
    std::string body;
  };
  bool pack_;
  int32_t root_ = -1;
  int32_t next_ = 1;
  int allocated_ = 0;
  int freed_ = 0;
  std::map<int32_t, std::shared_ptr<TreePage>> pages_;
  std::map<int32_t, Stored> bodies_;
};

// The header's number counter, held in memory.
class MemoryNumbers : public NumberSource {
 public:
  Status TakeNumber(uint32_t* number) override {
    return vm::storage::TakeNumber(counter, updating, number);
  }
  uint8_t counter[4] = {0, 0, 0, 0};
  bool updating = true;
};

}  // namespace vm::storage
