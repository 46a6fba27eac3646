// Region maintenance: after thousands of random allocations and frees the
// page space stays dense, ordered and without overlap, and every page keeps
// its content wherever it was moved.
#include "storage/file/regions.h"

#include <map>
#include <random>

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

// Stands in for the pager: which page (by identity) lives in which slot.
class FakeMover : public PageMover {
 public:
  std::map<int32_t, int> slots;  // page number -> page id
  int moves = 0;
  Status MovePage(int32_t from, int32_t to) override {
    auto it = slots.find(from);
    EXPECT_NE(it, slots.end()) << "moved an empty slot " << from;
    if (it == slots.end()) return Status::Internal(1);
    int id = it->second;
    slots.erase(it);
    EXPECT_EQ(slots.count(to), 0u) << "moved onto a live page " << to;
    slots[to] = id;
    ++moves;
    return Status::Ok();
  }
};

void CheckInvariants(const FileHeader& h, const FakeMover& m) {
  size_t pages = 0;
  for (int k = 1; k < kRegionCount; ++k) {
    ASSERT_GE(h.start[k], h.end[k - 1]) << "region " << k << " overlaps the one below";
    ASSERT_LE(h.start[k], h.end[k]);
    ASSERT_EQ((h.end[k] - h.start[k]) % k, 0u) << "region " << k;
    for (uint32_t p = h.start[k]; p < h.end[k]; p += k) {
      ASSERT_EQ(m.slots.count(static_cast<int32_t>(p)), 1u)
          << "hole at " << p << " in region " << k;
      ++pages;
    }
  }
  ASSERT_EQ(pages, m.slots.size()) << "a page lies outside every region";
}

TEST(Regions, RandomAllocationsAndFreesKeepTheSpaceDense) {
  FileHeader h;
  FakeMover mover;
  Regions regions(&h, &mover);
  std::mt19937 rng(1234);
  std::map<int, int> class_of;  // page id -> class
  int next_id = 0;
  for (int step = 0; step < 6000; ++step) {
    bool grow = mover.slots.empty() || rng() % 100 < 55;
    if (grow) {
      int k = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % 59) : 1 + static_cast<int>(rng() % 6);
      int32_t page = 0;
      ASSERT_TRUE(regions.Allocate(k, &page).ok());
      ASSERT_EQ(mover.slots.count(page), 0u);
      mover.slots[page] = next_id;
      class_of[next_id++] = k;
    } else {
      auto it = mover.slots.begin();
      std::advance(it, rng() % mover.slots.size());
      int32_t page = it->first;
      int id = it->second;
      mover.slots.erase(it);  // the page is gone; the region's last page fills its slot
      ASSERT_TRUE(regions.Free(class_of[id], page).ok());
      class_of.erase(id);
    }
    if (step % 50 == 0) {
      ASSERT_TRUE(regions.Squeeze().ok());
    }
    ASSERT_NO_FATAL_FAILURE(CheckInvariants(h, mover));
    for (auto& [slot, id] : mover.slots) {
      int k = 0;
      ASSERT_TRUE(h.ClassOf(slot, &k).ok());
      ASSERT_EQ(k, class_of[id]) << "page " << id << " sits in the wrong region";
    }
  }
  EXPECT_GT(mover.moves, 0);
}

TEST(Regions, SqueezeClosesGapsAndClassLookupFailsOutside) {
  FileHeader h;
  FakeMover mover;
  Regions regions(&h, &mover);
  std::vector<int32_t> pages;
  for (int i = 0; i < 5; ++i) {
    int32_t p = 0;
    ASSERT_TRUE(regions.Allocate(2, &p).ok());
    mover.slots[p] = i;
    pages.push_back(p);
  }
  int32_t p3 = 0;
  ASSERT_TRUE(regions.Allocate(3, &p3).ok());
  mover.slots[p3] = 99;
  // Free region 2 down to one page: squeezing moves region 3 down to it.
  for (int i = 0; i < 4; ++i) {
    int32_t last = static_cast<int32_t>(h.end[2] - 2);
    ASSERT_TRUE(regions.Free(2, last).ok());
    mover.slots.erase(last);
  }
  ASSERT_TRUE(regions.Squeeze().ok());
  ASSERT_NO_FATAL_FAILURE(CheckInvariants(h, mover));
  EXPECT_EQ(h.start[3], h.end[2]);
  int k = 0;
  EXPECT_EQ(h.ClassOf(static_cast<int32_t>(h.end[3]) + 10, &k).internal(), kErrPageInNoRegion);
  EXPECT_EQ(h.ClassOf(-1, &k).internal(), kErrPageInNoRegion);
}

}  // namespace
}  // namespace vm::storage
