// Diagnostic sinks: whole lines from many threads, swapping sinks, file output.
#include "platform/diag_sink.h"

#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vm::platform {
namespace {

TEST(DiagSink, LinesFromManyThreadsArriveWholeAndComplete) {
  auto sink = std::make_shared<MemorySink>();
  ScopedDiagSink scope(sink);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i)
        DiagWrite("thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  auto lines = sink->Lines();
  ASSERT_EQ(lines.size(), 4000u);
  std::vector<int> next(8, 0);
  for (const std::string& l : lines) {
    int t = 0, i = 0;
    ASSERT_EQ(std::sscanf(l.c_str(), "thread %d line %d", &t, &i), 2) << l;
    EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
  }
}

TEST(DiagSink, ScopedSinkRestoresThePreviousOne) {
  auto outer = std::make_shared<MemorySink>();
  ScopedDiagSink a(outer);
  {
    auto inner = std::make_shared<MemorySink>();
    ScopedDiagSink b(inner);
    DiagWrite("inner");
    EXPECT_EQ(inner->Lines().size(), 1u);
  }
  DiagWrite("outer");
  ASSERT_EQ(outer->Lines().size(), 1u);
  EXPECT_EQ(outer->Lines()[0], "outer");
  SetDiagSink(nullptr);
  DiagWrite("dropped");  // a null sink discards, never crashes
  SetDiagSink(outer);
  EXPECT_EQ(outer->Lines().size(), 1u);
}

TEST(DiagSink, FileSinkAppends) {
  vm::testing::TempDir dir;
  std::string path = dir.File("trace.log");
  {
    auto f = FileSink::Open(path);
    ASSERT_NE(f, nullptr);
    ScopedDiagSink scope(f);
    DiagWrite("[NetDLL]  first");
  }
  {
    ScopedDiagSink scope(FileSink::Open(path));
    DiagWrite("second");
  }
  std::ifstream in(path);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "[NetDLL]  first\nsecond\n");
  EXPECT_EQ(FileSink::Open(dir.File("no/such/dir/x.log")), nullptr);
}

}  // namespace
}  // namespace vm::platform
