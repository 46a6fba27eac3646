// The renderer: what shows runtime windows on a screen (the Qt front end).
// Its methods are called on the thread that changed the window (the owner, or
// the renderer's own thread for user actions), never under a runtime lock; an
// implementation hands the work to its GUI thread and reads the window there
// with WindowModel::Snapshot.
#pragma once

#include <memory>

namespace vm::runtime {

class WindowModel;

class Renderer {
 public:
  virtual ~Renderer() = default;
  virtual void WindowOpened(const std::shared_ptr<WindowModel>& window) = 0;
  // `control` is the number of the control that changed; 0 means the window
  // itself (caption, timer) or several controls at once.
  virtual void WindowChanged(const std::shared_ptr<WindowModel>& window, int control) = 0;
  virtual void WindowClosed(const std::shared_ptr<WindowModel>& window) = 0;
};

}  // namespace vm::runtime
