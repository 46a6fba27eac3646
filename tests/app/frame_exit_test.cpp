// The end of the windowed program with the menu's windows open: Exit, or a
// stop request (SIGTERM), closes every window (a form with changes as its
// Cancel does: nothing written, nothing asked), waits for their threads,
// saves email.INI and comes back (the program's lock goes when it returns).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>

#include "app/frame.h"
#include "app/records.h"
#include "app_test_support.h"
#include "framework/ini_manager.h"
#include "net/net_runtime.h"
#include "runtime/window.h"

namespace vm::app::testing {
namespace {

class FrameExitTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    // The program starts its own networking runtime; its registry store
    // goes below the test's directory.
    net::NetRuntime::Shutdown();
    if (const char* old = std::getenv("XDG_CONFIG_HOME")) saved_xdg_ = old;
    setenv("XDG_CONFIG_HOME", (root() / "config").c_str(), 1);
    WriteSettings(25);
  }
  void TearDown() override {
    if (saved_xdg_.empty()) {
      unsetenv("XDG_CONFIG_HOME");
    } else {
      setenv("XDG_CONFIG_HOME", saved_xdg_.c_str(), 1);
    }
    GatewayTest::TearDown();
  }

  // Runs the program with the three menu windows opened and a change typed
  // into the settings form, then `end` (given the frame); whether the
  // program came back within a minute, and what it answered.
  void RunAndEnd(const std::function<void(runtime::WindowModel&)>& end, std::atomic<bool>* stop,
                 bool* came_back, bool* closed) {
    std::mutex mu;
    std::shared_ptr<runtime::WindowModel> frame;
    std::vector<std::shared_ptr<runtime::WindowModel>> windows;
    ProgramOptions o;
    o.frame.data_dir = data_dir();
    o.frame.stop = stop;
    o.frame.on_open = [&](runtime::Window& w) {
      std::lock_guard<std::mutex> lock(mu);
      frame = w.model();
    };
    o.frame.windows.on_open = [&](runtime::Window& w) {
      std::lock_guard<std::mutex> lock(mu);
      windows.push_back(w.model());
    };
    auto program = std::async(std::launch::async, [&] { return RunProgram(o); });
    const auto wait_for = [&](size_t n) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (std::chrono::steady_clock::now() < deadline) {
        {
          std::lock_guard<std::mutex> lock(mu);
          if (frame != nullptr && windows.size() >= n) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return false;
    };
    ASSERT_TRUE(wait_for(0)) << "the frame did not open";
    for (const char* item : {"?FILECONTROL", "?FILEMAILBOXES", "?FILEVIEWLOG"})
      frame->UserChoseMenuItem(frame->NumberOf(item));
    ASSERT_TRUE(wait_for(3)) << "not every window opened";
    for (const auto& w : windows) {
      if (w->Snapshot().caption == "Control File")
        w->UserEdited(w->NumberOf("?CON:SUBJECT"), "typed but never saved");
    }
    end(*frame);
    *came_back = program.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!*came_back) {
      // The program is stuck with its windows: nothing more can be checked.
      ADD_FAILURE() << "the program did not end with its windows open";
      std::_Exit(1);
    }
    *closed = program.get();
    for (const auto& w : windows) EXPECT_TRUE(w->closed()) << w->Snapshot().caption;
  }

  void ExpectEndedCleanly() {
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(data_dir()) /
                                        framework::IniManager::kFileName))
        << "email.INI was not saved";
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kControl);
    ASSERT_EQ(files.control().Set(), 0);
    ASSERT_EQ(files.control().Next(), 0);
    EXPECT_EQ(ReadControl(files.control().buffer()).subject, "New voice message")
        << "the form's change was written";
    EXPECT_TRUE(presenter_->requests().empty()) << presenter_->requests()[0].text;
  }

  std::string saved_xdg_;
};

TEST_F(FrameExitTest, ExitWithEveryMenuWindowOpenClosesThemAndEnds) {
  bool came_back = false, closed = false;
  RunAndEnd([](runtime::WindowModel& frame) { frame.UserChoseMenuItem(frame.NumberOf("?EXIT")); },
            nullptr, &came_back, &closed);
  EXPECT_TRUE(closed);
  ExpectEndedCleanly();
}

TEST_F(FrameExitTest, AStopRequestWithEveryMenuWindowOpenEndsTheProgram) {
  std::atomic<bool> stop{false};
  bool came_back = false, closed = false;
  // What the service's signal watcher does on SIGTERM.
  RunAndEnd(
      [&stop](runtime::WindowModel& frame) {
        stop = true;
        frame.Post(runtime::kEventCloseWindow);
      },
      &stop, &came_back, &closed);
  EXPECT_TRUE(closed);
  ExpectEndedCleanly();
}

}  // namespace
}  // namespace vm::app::testing
