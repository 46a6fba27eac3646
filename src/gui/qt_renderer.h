// The Qt 6 Widgets renderer of runtime windows: the frame window becomes the
// MDI parent (a QMainWindow around a QMdiArea), every other window an MDI
// child. Made and destroyed on the GUI thread (QApplication must exist); the
// Renderer methods are safe from any thread and only post work to the GUI
// thread, so a blocked procedure thread never holds the GUI up.
#pragma once

#include <memory>
#include <mutex>
#include <set>

#include "runtime/renderer.h"
#include "runtime/thread.h"
#include "runtime/window_model.h"

class QMainWindow;
class QMdiSubWindow;

namespace vm::gui {

class Desk;
class WindowView;

class QtRenderer final : public runtime::Renderer {
 public:
  QtRenderer();
  ~QtRenderer() override;
  QtRenderer(const QtRenderer&) = delete;
  QtRenderer& operator=(const QtRenderer&) = delete;

  void WindowOpened(const std::shared_ptr<runtime::WindowModel>& window) override;
  void WindowChanged(const std::shared_ptr<runtime::WindowModel>& window, int control) override;
  void WindowClosed(const std::shared_ptr<runtime::WindowModel>& window) override;

  // Shows the windows that were open before this renderer was installed.
  void ShowOpenWindows();

  // GUI thread: the widgets of window `id` (nullptr when it is not shown),
  // the MDI child that holds it (nullptr for the frame), and the frame.
  WindowView* ViewOf(runtime::WindowId id) const;
  QMdiSubWindow* SubWindowOf(runtime::WindowId id) const;
  QMainWindow* frame() const;

 private:
  template <typename F>
  void ToGui(F&& work);

  Desk* desk_;  // lives on the GUI thread; deleted there
  std::mutex mu_;
  bool detached_ = false;  // under mu_: no more posting
  // Windows with a refresh posted and not yet run; shared with the posted
  // work, which may outlive this object by a moment.
  struct RefreshDue {
    std::mutex mu;
    std::set<runtime::WindowId> ids;
  };
  std::shared_ptr<RefreshDue> refresh_due_ = std::make_shared<RefreshDue>();
};

}  // namespace vm::gui
