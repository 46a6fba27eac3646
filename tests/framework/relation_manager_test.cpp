// Relation managers: nested opens from windows on one thread and on several
// threads; the file closes only at the last close.
#include "framework/relation_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "framework_test_support.h"

namespace vm::framework {
namespace {

using testing::RecordingErrors;
using testing::TempDir;

class RelationManagerTest : public ::testing::Test {
 protected:
  RelationManagerTest()
      : file("Things", dir.File("THINGS"), testing::TwoKeyDef(), &errors), relation(&file) {
    TableUse use(&relation);
    testing::PutRow(file, "A", "A", 1);
    EXPECT_EQ(file.Insert(), 0);
  }
  TempDir dir;
  RecordingErrors errors;
  FileManager file;
  RelationManager relation;
};

template <typename T>
T GetOrFail(std::future<T>& f) {
  if (f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the other thread did not answer in time";
    std::abort();
  }
  return f.get();
}

TEST_F(RelationManagerTest, NestedWindowsOnOneThreadCloseTheFileAtTheLastClose) {
  EXPECT_FALSE(file.really_open());
  {
    TableUse list(&relation);
    ASSERT_EQ(file.SetOrder(), 0);
    {
      TableUse form(&relation);
      EXPECT_EQ(relation.open_count(), 2);
      EXPECT_EQ(file.Next(), 0);
    }
    EXPECT_TRUE(file.really_open());
    EXPECT_EQ(file.open_count(), 1);
  }
  EXPECT_FALSE(file.really_open());
  EXPECT_EQ(file.open_count(), 0);
  relation.Close();  // a stray close changes nothing
  EXPECT_EQ(file.open_count(), 0);
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(RelationManagerTest, WindowsOnTwoThreadsShareTheOpenFile) {
  std::promise<void> opened, may_close;
  std::promise<bool> saw_open_after_close;
  std::future<void> may_close_f = may_close.get_future();
  std::thread other([&] {
    relation.Open();
    file.SetOrder();
    opened.set_value();
    if (may_close_f.wait_for(std::chrono::seconds(20)) != std::future_status::ready) return;
    relation.Close();
  });
  std::future<void> opened_f = opened.get_future();
  GetOrFail(opened_f);
  relation.Open();
  EXPECT_EQ(file.open_count(), 2);
  may_close.set_value();
  other.join();
  EXPECT_TRUE(file.really_open()) << "the other thread's close must not close this window's file";
  EXPECT_EQ(file.SetOrder(), 0);
  EXPECT_EQ(file.Next(), 0);
  relation.Close();
  EXPECT_FALSE(file.really_open());
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(RelationManagerTest, ManyThreadsOpeningAndClosingLeaveTheCountRight) {
  TableUse frame(&relation);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 100; ++i) {
        TableUse window(&relation);
        if (window.result() != 0) ++failures;
        auto lock = file.Lock();  // the order and the read belong together
        if (file.SetOrder() != 0 || file.Next() != 0) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(relation.open_count(), 1);
  EXPECT_EQ(file.open_count(), 1);
  EXPECT_TRUE(file.really_open());
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(RelationManagerTest, ShutdownClosesWhatWindowsLeftOpen) {
  auto rm = std::make_unique<RelationManager>(&file);
  rm->Open();
  rm->Open();
  file.SetOrder();
  ASSERT_TRUE(file.really_open());
  rm.reset();
  EXPECT_FALSE(file.really_open());
  EXPECT_EQ(file.open_count(), 0);
}

}  // namespace
}  // namespace vm::framework
