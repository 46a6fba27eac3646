// Keeps the page space dense and ordered: region k holds only pages of k
// units, back to back, and regions follow each other by class. Allocating,
// freeing and squeezing move pages; every move is reported to the PageMover,
// which carries the page's content along and renumbers it in the tree.
// Owner thread only.
#pragma once

#include <cstdint>

#include "storage/file/file_header.h"
#include "storage/file/storage_status.h"

namespace vm::storage {

class PageMover {
 public:
  virtual ~PageMover() = default;
  // The page at `from` now lives at `to` (a free slot of the same class).
  virtual Status MovePage(int32_t from, int32_t to) = 0;
};

class Regions {
 public:
  Regions(FileHeader* header, PageMover* mover) : h_(header), mover_(mover) {}

  // Gives a new page of class k a number.
  Status Allocate(int k, int32_t* page);
  // Frees page p of class k; the last page of the region moves into its slot.
  Status Free(int k, int32_t page);
  // Closes the gaps below the regions of classes 2 to 59.
  Status Squeeze();

 private:
  // Makes at least `units` free units between region j and the next one.
  Status MakeRoomAbove(int j, uint32_t units);
  Status Move(uint32_t from, uint32_t to);
  uint32_t Floor(int k) const { return k == 1 ? h_->end[0] : h_->end[k - 1]; }
  uint32_t Ceiling(int k) const;  // start of the next region above k (UINT32_MAX for none)

  FileHeader* h_;
  PageMover* mover_;
};

}  // namespace vm::storage
