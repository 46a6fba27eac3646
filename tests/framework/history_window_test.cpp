// The history window as a runtime window: its controls, and the button a
// user presses coming back as its bit.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "framework/history_window.h"
#include "runtime/thread.h"
#include "runtime/window_system.h"

namespace vm::framework {
namespace {

using namespace std::chrono_literals;

HistoryView View() {
  HistoryView v;
  v.caption = "Errors History";
  v.text = "There are no records available to process.";
  v.icon = runtime::MessageIcon::kInformation;
  v.buttons = runtime::kButtonOk | runtime::kButtonNo | runtime::kButtonHelp;
  v.default_button = runtime::kButtonOk;
  v.entries = {{"General", "first", 22}, {"Mail", "second", 42}};
  return v;
}

// The open window with `caption`, waiting up to 20 s for it.
std::shared_ptr<runtime::WindowModel> WaitForWindow(const std::string& caption) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    for (const auto& w : runtime::OpenWindows()) {
      if (w->Snapshot().caption == caption) return w;
    }
    std::this_thread::sleep_for(5ms);
  }
  return nullptr;
}

TEST(HistoryWindow, ShowsTheHistoryAndReturnsThePressedButton) {
  std::atomic<uint32_t> answer{0};
  const runtime::ThreadId t = runtime::StartThread([&] { answer = RunHistoryWindow(View()); });
  const auto w = WaitForWindow("Errors History");
  ASSERT_NE(w, nullptr) << "the history window never opened";
  const runtime::WindowState s = w->Snapshot();
  std::vector<std::string> buttons;
  const runtime::Control* list = nullptr;
  for (const auto& c : s.controls) {
    if (c.kind == runtime::ControlKind::kButton) buttons.push_back(c.text);
    if (c.use == kHistoryList) list = &c;
    if (c.use == kHistoryText) {
      EXPECT_EQ(c.value, "There are no records available to process.");
    }
  }
  EXPECT_EQ(buttons, (std::vector<std::string>{"O&k", "&No", "&Help"}));
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->columns.size(), 2u);
  EXPECT_EQ(list->columns[0].header, "Message");
  EXPECT_EQ(list->columns[1].header, "Category");
  EXPECT_EQ(list->rows,
            (std::vector<std::vector<std::string>>{{"first", "General"}, {"second", "Mail"}}));
  w->UserAccepted(w->NumberOf(HistoryButtonUse(runtime::kButtonNo)));
  ASSERT_TRUE(runtime::WaitThread(t, 20s)) << "the window did not close after a button";
  EXPECT_EQ(answer.load(), runtime::kButtonNo);
}

TEST(HistoryWindow, ClosedWithoutAButtonAnswersTheDefault) {
  std::atomic<uint32_t> answer{0};
  HistoryView v = View();
  v.caption = "Record Update Error";
  v.default_button = runtime::kButtonHelp;
  const runtime::ThreadId t = runtime::StartThread([&] { answer = RunHistoryWindow(v); });
  const auto w = WaitForWindow("Record Update Error");
  ASSERT_NE(w, nullptr) << "the history window never opened";
  w->UserRequestedClose();
  ASSERT_TRUE(runtime::WaitThread(t, 20s)) << "the window did not close";
  EXPECT_EQ(answer.load(), runtime::kButtonHelp);
  EXPECT_EQ(HistoryButtonLabel(runtime::kButtonRetry), "&Retry");
  EXPECT_EQ(HistoryButtonLabel(0x100), "");
}

}  // namespace
}  // namespace vm::framework
