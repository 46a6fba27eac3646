#include "storage/tree/tree.h"

#include <algorithm>

#include "storage/file/page_codec.h"
#include "storage/file/page_pack.h"

namespace vm::storage {
namespace {

// Deeper trees than this cannot arise from 2^32 records; a deeper level
// field is damage.
constexpr uint8_t kMaxLevel = 40;

Status Damaged() {
  return Status::Internal(kErrBadRecords);
}

// Index of the first record whose key is not less than `key`.
size_t LowerBound(const std::vector<Record>& records, std::string_view key) {
  auto it = std::lower_bound(records.begin(), records.end(), key,
                             [](const Record& r, std::string_view k) { return r.key < k; });
  return static_cast<size_t>(it - records.begin());
}

// Index of the first record whose key is greater than `key`.
size_t UpperBound(const std::vector<Record>& records, std::string_view key) {
  auto it = std::upper_bound(records.begin(), records.end(), key,
                             [](std::string_view k, const Record& r) { return k < r.key; });
  return static_cast<size_t>(it - records.begin());
}

// Whether `key` may be stored: any key up to kMaxKeyLength, and a longer one
// that packs and compresses as earlier versions required of it.
bool KeyFits(std::string_view key) {
  if (key.size() <= kMaxKeyLength) return true;
  std::string body;
  PackRecords({Record{std::string(key), std::string()}}, &body);
  std::string packed;
  return RleEncode(body, &packed) && packed.size() <= kMaxCompressedSeparator;
}

}  // namespace

Status RecordTree::EnsureRoot() {
  if (pages_->root() != -1) return Status::Ok();
  auto page = std::make_shared<TreePage>();
  page->records.push_back(Record{});  // the empty record, smallest of all keys
  int32_t number = 0;
  Status s = pages_->Allocate(page, &number);
  if (!s.ok()) return s;
  pages_->set_root(number);
  return Status::Ok();
}

Status RecordTree::LoadChild(const Step& parent, size_t index, Step* child) {
  const TreePage& p = *parent.page;
  if (index >= p.children.size()) return Damaged();
  child->number = p.children[index];
  child->index = 0;
  Status s = pages_->Load(child->number, &child->page);
  if (!s.ok()) return s;
  const TreePage& c = *child->page;
  // The child must sit one level lower, begin with its separator's key and
  // end below the next separator.
  if (c.level + 1 != p.level || c.records.empty() || c.records[0].key != p.records[index].key ||
      (!c.leaf() && c.children.size() != c.records.size()))
    return Damaged();
  if (index + 1 < p.records.size() && !(c.records.back().key < p.records[index + 1].key))
    return Damaged();
  return Status::Ok();
}

void RecordTree::Remember(const Step& leaf) {
  hint_.number = leaf.number;
  hint_.page = leaf.page;
}

const TreePage* RecordTree::HintedLeaf(std::string_view key) {
  if (hint_.page == nullptr) return nullptr;
  const TreePage& p = *hint_.page;
  // Checked on the held object first, so that a key elsewhere costs no load.
  if (!p.leaf() || p.records.empty() || key < p.records.front().key || p.records.back().key < key)
    return nullptr;
  std::shared_ptr<TreePage> current;
  if (!pages_->Load(hint_.number, &current).ok() || current != hint_.page) {
    hint_.page.reset();
    return nullptr;
  }
  return &p;
}

Status RecordTree::Descend(std::string_view key, uint8_t level, Path* path) {
  path->clear();
  Status s = EnsureRoot();
  if (!s.ok()) return s;
  Step step{pages_->root(), nullptr, 0};
  s = pages_->Load(step.number, &step.page);
  if (!s.ok()) return s;
  if (step.page->level > kMaxLevel || step.page->records.empty() ||
      (!step.page->leaf() && step.page->children.size() != step.page->records.size()))
    return Damaged();
  while (true) {
    const TreePage& p = *step.page;
    if (p.level < level) return Damaged();
    if (p.level == level) {
      if (p.leaf()) {
        step.index = LowerBound(p.records, key);
        Remember(step);
      } else {
        size_t upper = UpperBound(p.records, key);
        if (upper == 0) return Damaged();
        step.index = upper - 1;
      }
      path->push_back(step);
      return Status::Ok();
    }
    size_t upper = UpperBound(p.records, key);
    if (upper == 0) return Damaged();  // the first separator must not exceed any key
    step.index = upper - 1;
    path->push_back(step);
    Step child;
    s = LoadChild(step, step.index, &child);
    if (!s.ok()) return s;
    step = child;
  }
}

// A key that falls past the end of its leaf must also lie below the first
// key of the next page. Loading that page checks its separator against its
// first key, so a damaged separator that sent the search to the wrong leaf is
// reported instead of answering "not there".
Status RecordTree::CheckRightNeighbour(const Path& path) {
  const Step& leaf = path.back();
  if (leaf.index < leaf.page->records.size()) return Status::Ok();
  for (size_t i = path.size() - 1; i > 0; --i) {
    const Step& parent = path[i - 1];
    if (parent.index + 1 < parent.page->children.size()) {
      Step next;
      return LoadChild(parent, parent.index + 1, &next);
    }
  }
  return Status::Ok();
}

Status RecordTree::Insert(std::string_view key, std::string_view data) {
  if (!pages_->updating()) return Status::Internal(kErrInsertReadOnly);
  if (key.size() + data.size() >= kRecordSizeLimit || !KeyFits(key))
    return Status::Internal(kErrRecordTooLong);
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  Step& leaf = path.back();
  std::vector<Record>& records = leaf.page->records;
  if (leaf.index < records.size() && records[leaf.index].key == key)
    return Status::Internal(kErrDuplicateRecord);
  s = CheckRightNeighbour(path);
  if (!s.ok()) return s;
  records.insert(records.begin() + static_cast<std::ptrdiff_t>(leaf.index),
                 Record{std::string(key), std::string(data)});
  s = pages_->Changed(leaf.number, leaf.page);
  if (!s.ok()) return s;
  if (leaf.index == 0 && path.size() > 1) {
    // Cannot happen while the separators are intact (the key would be below
    // its separator), but keep the rule true if it does.
    s = FixSeparators(path);
    if (!s.ok()) return s;
    std::string first = records[0].key;
    return SplitAt(first, 0);
  }
  return SplitIfNeeded(std::move(path));
}

Status RecordTree::Put(std::string_view key, std::string_view data) {
  if (!pages_->updating()) return Status::Internal(kErrInsertReadOnly);
  if (key.size() + data.size() >= kRecordSizeLimit) return Status::Internal(kErrRecordTooLong);
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  Step& leaf = path.back();
  std::vector<Record>& records = leaf.page->records;
  if (leaf.index < records.size() && records[leaf.index].key == key) {
    records[leaf.index].data.assign(data);
    s = pages_->Changed(leaf.number, leaf.page);
    if (!s.ok()) return s;
    return SplitIfNeeded(std::move(path));
  }
  return Insert(key, data);
}

Status RecordTree::SplitAt(std::string_view first_key, uint8_t level) {
  Path path;
  Status s = Descend(first_key, level, &path);
  if (!s.ok()) return s;
  return SplitIfNeeded(std::move(path));
}

Status RecordTree::SplitIfNeeded(Path path) {
  Step& step = path.back();
  TreePage& page = *step.page;
  if (!page.NeedsSplit()) return Status::Ok();
  if (page.records.size() < 2) return Status::Internal(kErrSplitTooFew);
  Status s;
  if (path.size() == 1) {
    // Root split: a new page takes every record; the root rises one level and
    // keeps a single separator for it, then the new page is split.
    auto moved = std::make_shared<TreePage>(std::move(page));
    int32_t number = 0;
    s = pages_->Allocate(moved, &number);
    if (!s.ok()) return s;
    page = TreePage{};
    page.level = static_cast<uint8_t>(moved->level + 1);
    page.records.push_back(Record{moved->records[0].key, std::string()});
    page.children.push_back(number);
    s = pages_->Changed(step.number, step.page);
    if (!s.ok()) return s;
    path.front().index = 0;
    path.push_back(Step{number, moved, 0});
    return SplitIfNeeded(std::move(path));
  }
  // The lower half keeps n/2 records; the middle record joins the upper half
  // when the halves would otherwise be equal or the upper one smaller.
  const size_t n = page.records.size();
  const size_t mid = n / 2;
  auto upper = std::make_shared<TreePage>();
  upper->level = page.level;
  upper->records.assign(std::make_move_iterator(page.records.begin() + mid),
                        std::make_move_iterator(page.records.end()));
  page.records.resize(mid);
  if (!page.leaf()) {
    upper->children.assign(page.children.begin() + mid, page.children.end());
    page.children.resize(mid);
  }
  int32_t number = 0;
  s = pages_->Allocate(upper, &number);
  if (!s.ok()) return s;
  s = pages_->Changed(step.number, step.page);
  if (!s.ok()) return s;
  Step& parent = path[path.size() - 2];
  TreePage& pp = *parent.page;
  const auto at = static_cast<std::ptrdiff_t>(parent.index + 1);
  pp.records.insert(pp.records.begin() + at, Record{upper->records[0].key, std::string()});
  pp.children.insert(pp.children.begin() + at, number);
  s = pages_->Changed(parent.number, parent.page);
  if (!s.ok()) return s;

  const std::string lower_key = page.records[0].key;
  const std::string upper_key = upper->records[0].key;
  const uint8_t level = page.level;
  path.pop_back();
  s = SplitIfNeeded(std::move(path));
  if (!s.ok()) return s;
  s = SplitAt(lower_key, level);
  if (!s.ok()) return s;
  return SplitAt(upper_key, level);
}

Status RecordTree::Delete(std::string_view key, bool* found) {
  *found = false;
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  Step& leaf = path.back();
  std::vector<Record>& records = leaf.page->records;
  if (leaf.index >= records.size() || records[leaf.index].key != key)
    return CheckRightNeighbour(path);
  if (key.empty()) return Status::Ok();  // the empty record stays for good
  *found = true;
  const bool was_first = leaf.index == 0;
  records.erase(records.begin() + static_cast<std::ptrdiff_t>(leaf.index));
  s = pages_->Changed(leaf.number, leaf.page);
  if (!s.ok()) return s;
  if (path.size() == 1) return Status::Ok();
  if (records.empty()) return RemoveEmpty(path);
  if (was_first) return FixSeparators(path);
  return Status::Ok();
}

// The last page of `path` is empty: free it and drop its separator, upwards
// as long as pages become empty.
Status RecordTree::RemoveEmpty(Path& path) {
  while (path.size() > 1 && path.back().page->records.empty()) {
    Status s = pages_->Free(path.back().number);
    if (!s.ok()) return s;
    path.pop_back();
    Step& parent = path.back();
    TreePage& pp = *parent.page;
    const auto at = static_cast<std::ptrdiff_t>(parent.index);
    pp.records.erase(pp.records.begin() + at);
    pp.children.erase(pp.children.begin() + at);
    s = pages_->Changed(parent.number, parent.page);
    if (!s.ok()) return s;
    if (!pp.records.empty()) {
      if (parent.index == 0 && path.size() > 1) return FixSeparators(path);
      return Status::Ok();
    }
  }
  return Status::Ok();
}

// The first key of the last page of `path` changed: replace its separator in
// the parent, and further up while the changed separator is a first one.
Status RecordTree::FixSeparators(Path& path) {
  std::vector<std::pair<std::string, uint8_t>> changed;
  for (size_t i = path.size() - 1; i > 0; --i) {
    const TreePage& child = *path[i].page;
    Step& parent = path[i - 1];
    parent.page->records[parent.index].key = child.records[0].key;
    Status s = pages_->Changed(parent.number, parent.page);
    if (!s.ok()) return s;
    changed.emplace_back(parent.page->records[0].key, parent.page->level);
    if (parent.index != 0) break;
  }
  // A longer separator can push a parent over its split limit.
  for (const auto& [first, level] : changed) {
    Status s = SplitAt(first, level);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status RecordTree::Get(std::string_view key, std::string* data, bool* found) {
  *found = false;
  if (const TreePage* leaf = HintedLeaf(key)) {
    // Within the leaf's key range: the record is here or nowhere.
    const size_t i = LowerBound(leaf->records, key);
    if (leaf->records[i].key == key) {
      *found = true;
      data->assign(leaf->records[i].data);
    }
    return Status::Ok();
  }
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  const Step& leaf = path.back();
  const std::vector<Record>& records = leaf.page->records;
  if (leaf.index < records.size() && records[leaf.index].key == key) {
    *found = true;
    data->assign(records[leaf.index].data);
    return Status::Ok();
  }
  return CheckRightNeighbour(path);
}

// The leaf at the end of `path` has no record in the wanted direction: climb
// to the nearest ancestor with a neighbouring child and descend its nearest
// edge down to a leaf.
Status RecordTree::StepOut(Path& path, bool forward, Record* out, bool* found) {
  *found = false;
  while (path.size() > 1) {
    path.pop_back();
    Step& parent = path.back();
    const size_t count = parent.page->children.size();
    if (forward ? parent.index + 1 >= count : parent.index == 0) continue;
    parent.index = forward ? parent.index + 1 : parent.index - 1;
    Step step = parent;
    while (true) {
      Step child;
      Status s = LoadChild(step, step.index, &child);
      if (!s.ok()) return s;
      child.index = forward ? 0 : child.page->records.size() - 1;
      if (child.page->leaf()) {
        Remember(child);
        *out = child.page->records[child.index];
        *found = true;
        return Status::Ok();
      }
      step = child;
    }
  }
  return Status::Ok();
}

Status RecordTree::Seek(std::string_view key, Record* out, bool* found) {
  if (const TreePage* leaf = HintedLeaf(key)) {
    *out = leaf->records[LowerBound(leaf->records, key)];
    *found = true;
    return Status::Ok();
  }
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  const Step& leaf = path.back();
  if (leaf.index < leaf.page->records.size()) {
    *out = leaf.page->records[leaf.index];
    *found = true;
    return Status::Ok();
  }
  return StepOut(path, true, out, found);
}

Status RecordTree::Next(std::string_view key, Record* out, bool* found) {
  if (const TreePage* leaf = HintedLeaf(key)) {
    const size_t i = UpperBound(leaf->records, key);
    if (i < leaf->records.size()) {
      *out = leaf->records[i];
      *found = true;
      return Status::Ok();
    }
  }
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  Step& leaf = path.back();
  const std::vector<Record>& records = leaf.page->records;
  size_t i = leaf.index;
  if (i < records.size() && records[i].key == key) ++i;
  if (i < records.size()) {
    *out = records[i];
    *found = true;
    return Status::Ok();
  }
  return StepOut(path, true, out, found);
}

Status RecordTree::Prev(std::string_view key, Record* out, bool* found) {
  if (const TreePage* leaf = HintedLeaf(key)) {
    const size_t i = LowerBound(leaf->records, key);
    if (i > 0) {
      *out = leaf->records[i - 1];
      *found = true;
      return Status::Ok();
    }
  }
  Path path;
  Status s = Descend(key, 0, &path);
  if (!s.ok()) return s;
  Step& leaf = path.back();
  if (leaf.index > 0) {
    *out = leaf.page->records[leaf.index - 1];
    *found = true;
    return Status::Ok();
  }
  return StepOut(path, false, out, found);
}

Status RecordTree::Last(Record* out, bool* found) {
  *found = false;
  Status s = EnsureRoot();
  if (!s.ok()) return s;
  Step step{pages_->root(), nullptr, 0};
  s = pages_->Load(step.number, &step.page);
  if (!s.ok()) return s;
  if (step.page->level > kMaxLevel || step.page->records.empty() ||
      (!step.page->leaf() && step.page->children.size() != step.page->records.size()))
    return Damaged();
  while (!step.page->leaf()) {
    Step child;
    s = LoadChild(step, step.page->records.size() - 1, &child);
    if (!s.ok()) return s;
    step = child;
  }
  *out = step.page->records.back();
  *found = true;
  return Status::Ok();
}

Status RecordTree::PageMoved(int32_t from, int32_t to, const TreePage& page) {
  if (pages_->root() == from) {
    pages_->set_root(to);
    return Status::Ok();
  }
  if (page.records.empty()) return Status::Internal(kErrParentMissing);
  Path path;
  Status s = Descend(page.records[0].key, static_cast<uint8_t>(page.level + 1), &path);
  if (!s.ok()) return Status::Internal(kErrParentMissing);
  Step& parent = path.back();
  TreePage& pp = *parent.page;
  if (parent.index >= pp.children.size() || pp.children[parent.index] != from)
    return Status::Internal(kErrParentNoPointer);
  pp.children[parent.index] = to;
  return pages_->Changed(parent.number, parent.page);
}

Status RecordTree::Verify() {
  Status s = EnsureRoot();
  if (!s.ok()) return s;
  std::shared_ptr<TreePage> root;
  s = pages_->Load(pages_->root(), &root);
  if (!s.ok()) return s;
  if (root->level > kMaxLevel || root->records.empty() || !root->records[0].key.empty())
    return Damaged();
  return VerifyPage(pages_->root(), root->level, std::string_view(), nullptr, 0);
}

// Checks the page `number` at `level` whose keys must lie in [low, *high).
Status RecordTree::VerifyPage(int32_t number, uint8_t level, std::string_view low,
                              const std::string* high, int depth) {
  if (depth > kMaxLevel) return Damaged();
  std::shared_ptr<TreePage> page;
  Status s = pages_->Load(number, &page);
  if (!s.ok()) return s;
  const TreePage& p = *page;
  if (p.level != level || p.records.empty() || p.records[0].key != low) return Damaged();
  if (p.NeedsSplit()) return Damaged();
  if (p.leaf() ? !p.children.empty() : p.children.size() != p.records.size()) return Damaged();
  for (size_t i = 0; i < p.records.size(); ++i) {
    if (i > 0 && !(p.records[i - 1].key < p.records[i].key)) return Damaged();
    if (high != nullptr && !(p.records[i].key < *high)) return Damaged();
    if (p.records[i].size() >= kRecordSizeLimit) return Damaged();
  }
  if (p.leaf()) return Status::Ok();
  for (size_t i = 0; i < p.records.size(); ++i) {
    if (!p.records[i].data.empty()) return Damaged();
    const std::string* next = i + 1 < p.records.size() ? &p.records[i + 1].key : high;
    s = VerifyPage(p.children[i], static_cast<uint8_t>(level - 1), p.records[i].key, next,
                   depth + 1);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace vm::storage
