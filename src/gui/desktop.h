// Running the program with windows: the Qt application on the calling thread
// (the process's main thread), the renderer and the message presenter
// installed for the run, and the frame procedure on a procedure thread.
// Call from main() only.
#pragma once

#include <functional>

namespace vm::gui {

// True when a display is there to show windows on (an X or Wayland display,
// or a Qt platform named in QT_QPA_PLATFORM).
bool DisplayAvailable();

// Makes the QApplication, installs the Qt renderer and message presenter,
// runs `frame_procedure` on a procedure thread and the GUI loop here until
// that procedure returns; then uninstalls both (later windows and messages
// are headless). Returns the GUI loop's exit code.
int RunDesktop(int& argc, char** argv, std::function<void()> frame_procedure);

}  // namespace vm::gui
