// The file's one ordered tree of records: search, insert with page splits,
// delete with freeing of empty pages, and walking forwards and backwards.
// Pages come from a TreePages implementation (the file layer's page cache, or
// an in-memory store in tests). Owner thread only, like the file it serves.
//
// Every failure is an internal consistency number (Status::Internal): pages
// found damaged on the way (wrong level, a child whose first key is not its
// separator, records out of order) stop the operation instead of being
// trusted.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file/record.h"
#include "storage/file/storage_status.h"
#include "storage/file/tree_pages.h"

namespace vm::storage {

class RecordTree {
 public:
  explicit RecordTree(TreePages* pages) : pages_(pages) {}
  RecordTree(const RecordTree&) = delete;
  RecordTree& operator=(const RecordTree&) = delete;

  // Makes the first page with the empty record when the file has no tree.
  Status EnsureRoot();

  // Inserts a record whose key is not yet in the tree (706 when it is; 824
  // when key plus data reach 15094 bytes, or when a key longer than
  // kMaxKeyLength does not compress as earlier versions required).
  Status Insert(std::string_view key, std::string_view data);
  // Replaces the data of the record with `key`, or inserts it.
  Status Put(std::string_view key, std::string_view data);
  // Removes the record with `key`; *found tells whether there was one.
  Status Delete(std::string_view key, bool* found);
  Status Get(std::string_view key, std::string* data, bool* found);

  // Positioning: the first record with a key >= `key` (Seek), > `key`
  // (Next), or the last one < `key` (Prev); Last gives the final record.
  // *found is false when there is no such record.
  Status Seek(std::string_view key, Record* out, bool* found);
  Status Next(std::string_view key, Record* out, bool* found);
  Status Prev(std::string_view key, Record* out, bool* found);
  Status Last(Record* out, bool* found);

  // The file layer moved a page from `from` to `to`: the root number or the
  // parent's child pointer is changed accordingly. `page` is the moved page.
  Status PageMoved(int32_t from, int32_t to, const TreePage& page);

  // Walks every page and checks the tree's rules: levels, separator equal to
  // the child's first key, key order, split limits. For tests and repairs.
  Status Verify();

 private:
  struct Step {
    int32_t number;
    std::shared_ptr<TreePage> page;
    size_t index;  // child taken (internal) or record position (leaf)
  };
  using Path = std::vector<Step>;

  Status LoadChild(const Step& parent, size_t index, Step* child);
  // Descends to the page of `level` that covers `key`; on the leaf, `index`
  // is the lower bound of `key`.
  Status Descend(std::string_view key, uint8_t level, Path* path);
  Status SplitIfNeeded(Path path);
  Status SplitAt(std::string_view first_key, uint8_t level);
  Status RemoveEmpty(Path& path);
  Status FixSeparators(Path& path);
  Status StepOut(Path& path, bool forward, Record* out, bool* found);
  Status CheckRightNeighbour(const Path& path);
  Status VerifyPage(int32_t number, uint8_t level, std::string_view low, const std::string* high,
                    int depth);
  // The leaf last reached, when it is still the page its number loads and
  // `key` lies between its first and last keys; null otherwise.
  const TreePage* HintedLeaf(std::string_view key);
  void Remember(const Step& leaf);

  TreePages* pages_;
  // The leaf last reached. Reads in key order (a scan, or a read of the row
  // just stepped to) stay on one leaf, so they are answered there without a
  // descent. It is used only while loading its number still gives this very
  // page object and the page is a leaf that spans the key. The tree changes
  // pages in place, so the held object is as current as the tree; a page
  // moved, freed, rolled back or dropped from the cache because another
  // process committed is a different object (or none) under that number.
  Step hint_{-1, nullptr, 0};
};

}  // namespace vm::storage
