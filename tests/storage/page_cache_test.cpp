// The cache of unchanged pages: least recently used pages go first when the
// budget is exceeded, and a lowered budget lets go of pages at once.
#include "storage/file/page_cache.h"

#include <gtest/gtest.h>

namespace vm::storage {
namespace {

std::shared_ptr<TreePage> PageOf(size_t data_bytes) {
  auto p = std::make_shared<TreePage>();
  p->records.push_back(Record{"k", std::string(data_bytes, 'x')});
  return p;
}

TEST(PageCacheTest, LeastRecentlyUsedGoFirstAndALowerBudgetLetsGoAtOnce) {
  const size_t one = PageOf(1000)->ExpandedSize();
  CleanPageCache cache(3 * one);
  for (int32_t n = 1; n <= 3; ++n) cache.Insert(n, PageOf(1000));
  ASSERT_NE(cache.Find(1), nullptr);  // 1 is now the most recently used
  cache.Insert(4, PageOf(1000));
  EXPECT_EQ(cache.Find(2), nullptr);
  EXPECT_NE(cache.Find(1), nullptr);
  EXPECT_EQ(cache.size(), 3u);
  EXPECT_EQ(cache.bytes(), 3 * one);

  // Order of use now: 1, 4, 3 (most recent first).
  EXPECT_EQ(cache.SetBudget(one), 3 * one);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_NE(cache.Find(1), nullptr);
  EXPECT_LE(cache.bytes(), one);
  // A page larger than the whole budget is still kept while it is the only one.
  cache.Insert(5, PageOf(5000));
  EXPECT_NE(cache.Find(5), nullptr);
  EXPECT_EQ(cache.size(), 1u);
  EXPECT_EQ(cache.SetBudget(0), one);
  EXPECT_EQ(cache.size(), 0u);
  EXPECT_EQ(cache.bytes(), 0u);
}

}  // namespace
}  // namespace vm::storage
