#include "gui_test_support.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include <QApplication>

namespace vm::gui::testing {

QApplication& TestApp() {
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "gui_test";
    static char* argv[] = {name, nullptr};
    // Lives until the process ends: tearing Qt down after main is not worth the risk.
    return new QApplication(argc, argv);
  }();
  return *app;
}

bool PumpUntil(const std::function<bool()>& done, int ms) {
  TestApp();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vm::gui::testing
