// The printer set-up hook: headless it only writes its diagnostic line; an
// installed dialog is asked, from any thread, and can be taken away again.
#include "runtime/printer_setup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/diag_sink.h"

namespace vm::runtime {
namespace {

class Counting final : public PrinterSetup {
 public:
  bool Run() override {
    ++calls;
    return true;
  }
  std::atomic<int> calls{0};
};

TEST(PrinterSetup, HeadlessWritesOneLineAndChangesNothing) {
  auto sink = std::make_shared<platform::MemorySink>();
  platform::ScopedDiagSink scoped(sink);
  EXPECT_FALSE(RunPrinterSetup());
  ASSERT_EQ(sink->Lines().size(), 1u);
  EXPECT_EQ(sink->Lines()[0], "[PrintSetup] no printer set-up without windows");
}

TEST(PrinterSetup, TheInstalledDialogIsAskedFromAnyThreadUntilRemoved) {
  auto sink = std::make_shared<platform::MemorySink>();
  platform::ScopedDiagSink scoped(sink);
  auto dialog = std::make_shared<Counting>();
  EXPECT_EQ(SetPrinterSetup(dialog), nullptr);
  EXPECT_TRUE(RunPrinterSetup());
  std::thread other([] { EXPECT_TRUE(RunPrinterSetup()); });
  other.join();
  EXPECT_EQ(dialog->calls, 2);
  EXPECT_TRUE(sink->Lines().empty());
  EXPECT_EQ(SetPrinterSetup(nullptr), dialog);
  EXPECT_FALSE(RunPrinterSetup());
  EXPECT_EQ(dialog->calls, 2);
}

}  // namespace
}  // namespace vm::runtime
