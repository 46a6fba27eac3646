#include "storage/file/regions.h"

#include <limits>

namespace vm::storage {

uint32_t Regions::Ceiling(int k) const {
  return k + 1 < kRegionCount ? h_->start[k + 1] : std::numeric_limits<uint32_t>::max();
}

Status Regions::Move(uint32_t from, uint32_t to) {
  if (from == to) return Status::Ok();
  return mover_->MovePage(static_cast<int32_t>(from), static_cast<int32_t>(to));
}

Status Regions::Allocate(int k, int32_t* page) {
  const uint32_t size = static_cast<uint32_t>(k);
  // An empty region may sit anywhere between its neighbours: put it on the floor.
  if (h_->start[k] == h_->end[k]) h_->start[k] = h_->end[k] = Floor(k);
  if (h_->start[k] - Floor(k) >= size) {
    h_->start[k] -= size;
    *page = static_cast<int32_t>(h_->start[k]);
    return Status::Ok();
  }
  Status s = MakeRoomAbove(k, size);
  if (!s.ok()) return s;
  *page = static_cast<int32_t>(h_->end[k]);
  h_->end[k] += size;
  return Status::Ok();
}

Status Regions::MakeRoomAbove(int j, uint32_t units) {
  if (j + 1 >= kRegionCount) return Status::Ok();  // the file grows past the last region
  const int r = j + 1;
  const uint32_t size = static_cast<uint32_t>(r);
  while (h_->start[r] - h_->end[j] < units) {
    const uint32_t missing = units - (h_->start[r] - h_->end[j]);
    if (h_->PagesIn(r) > 1) {
      // Rotate: the region's first page moves to a new slot at its end.
      Status s = MakeRoomAbove(r, size);
      if (!s.ok()) return s;
      s = Move(h_->start[r], h_->end[r]);
      if (!s.ok()) return s;
      h_->start[r] += size;
      h_->end[r] += size;
    } else {
      // At most one page: the whole region rises by what is missing.
      Status s = MakeRoomAbove(r, missing);
      if (!s.ok()) return s;
      if (h_->PagesIn(r) == 1) {
        s = Move(h_->start[r], h_->start[r] + missing);
        if (!s.ok()) return s;
      }
      h_->start[r] += missing;
      h_->end[r] += missing;
    }
  }
  return Status::Ok();
}

Status Regions::Free(int k, int32_t page) {
  const uint32_t size = static_cast<uint32_t>(k);
  const uint32_t p = static_cast<uint32_t>(page);
  if (page < 0 || p < h_->start[k] || p >= h_->end[k] || (p - h_->start[k]) % size != 0) {
    return Status::Internal(kErrPageInNoRegion);
  }
  const uint32_t last = h_->end[k] - size;
  Status s = Move(last, p);
  if (!s.ok()) return s;
  h_->end[k] -= size;
  return Status::Ok();
}

Status Regions::Squeeze() {
  for (int k = 2; k < kRegionCount; ++k) {
    const uint32_t size = static_cast<uint32_t>(k);
    const uint32_t floor = Floor(k);
    if (h_->PagesIn(k) <= 1) {
      if (h_->start[k] > floor) {
        if (h_->PagesIn(k) == 1) {
          Status s = Move(h_->start[k], floor);
          if (!s.ok()) return s;
        }
        const uint32_t shift = h_->start[k] - floor;
        h_->start[k] -= shift;
        h_->end[k] -= shift;
      }
      continue;
    }
    while (h_->start[k] - floor >= size) {
      Status s = Move(h_->end[k] - size, h_->start[k] - size);
      if (!s.ok()) return s;
      h_->start[k] -= size;
      h_->end[k] -= size;
    }
  }
  return Status::Ok();
}

}  // namespace vm::storage
