// Helpers for the GUI tests: one QApplication on the offscreen platform for
// the whole test program, and waiting (with a deadline) while the GUI loop
// runs. Main thread only.
#pragma once

#include <functional>

class QApplication;

namespace vm::gui::testing {

QApplication& TestApp();

// Runs the GUI loop until `done` holds; false when `ms` milliseconds passed first.
bool PumpUntil(const std::function<bool()>& done, int ms = 5000);

}  // namespace vm::gui::testing
