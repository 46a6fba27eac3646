// The GUI thread's side of the renderer: the frame (a QMainWindow around a
// QMdiArea), the view of every shown window, their placement, and the close
// box turned into a close request to the window's owner. GUI thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <QObject>

#include "runtime/window_model.h"
#include "runtime/window_placement.h"

class QMainWindow;
class QMdiArea;
class QMdiSubWindow;
class QWidget;

namespace vm::gui {

class WindowView;

class Desk final : public QObject {
 public:
  Desk();
  ~Desk() override;
  Desk(const Desk&) = delete;
  Desk& operator=(const Desk&) = delete;

  void Open(const std::shared_ptr<runtime::WindowModel>& window);
  void Refresh(runtime::WindowId id);
  void Close(runtime::WindowId id);

  WindowView* ViewOf(runtime::WindowId id) const;
  QMdiSubWindow* SubWindowOf(runtime::WindowId id) const;
  QMainWindow* frame() const { return frame_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Shown {
    std::unique_ptr<WindowView> view;
    QWidget* shell = nullptr;    // the MDI child, or the frame
    std::string placement_name;  // the caption it opened with
  };
  void MakeFrame();
  void Place(Shown& shown, bool is_frame);
  void SavePlacement(const Shown& shown, bool is_frame);

  QMainWindow* frame_ = nullptr;
  QMdiArea* mdi_ = nullptr;
  runtime::WindowId frame_window_ = 0;  // the runtime window shown as the frame
  std::map<runtime::WindowId, Shown> shown_;
  bool closing_ = false;  // a close the owner asked for: let it through
};

}  // namespace vm::gui
