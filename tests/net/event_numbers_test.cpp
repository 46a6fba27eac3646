// Event numbers are handed out process-wide, so this check runs in a process
// of its own where no object was made before.
#include <gtest/gtest.h>

#include "net/net_simple.h"

namespace vm::net {
namespace {

TEST(EventNumbers, ThreeObjectsGet2053And2058And2063AndKeepThem) {
  NetSimple a, b, c;
  a.Init();
  b.Init();
  c.Init();
  EXPECT_EQ(a._CONNECTION.EVENT, 2053);
  EXPECT_EQ(b._CONNECTION.EVENT, 2058);
  EXPECT_EQ(c._CONNECTION.EVENT, 2063);
  EXPECT_EQ(a.ClosedEvent(), 2054);
  EXPECT_EQ(a.PhaseTwoEvent(), 2055);
  // A second Init keeps the numbers.
  a.Init();
  EXPECT_EQ(a._CONNECTION.EVENT, 2053);
  EXPECT_NE(a._CONNECTION.THREAD, 0);
  a.USETHISTHREAD = 77;
  a.Init();
  EXPECT_EQ(a._CONNECTION.THREAD, 77);
  a.Kill();
  EXPECT_EQ(a._CONNECTION.THREAD, 0);
}

}  // namespace
}  // namespace vm::net
