#include "gui/qt_renderer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include "gui/desk.h"
#include "runtime/window_system.h"

namespace vm::gui {

QtRenderer::QtRenderer() : desk_(new Desk) {}

QtRenderer::~QtRenderer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    detached_ = true;
  }
  // Work still queued for the desk goes with it.
  if (QThread::currentThread() == desk_->thread())
    delete desk_;
  else
    desk_->deleteLater();
}

template <typename F>
void QtRenderer::ToGui(F&& work) {
  // Posting under the lock keeps the desk alive until the post is queued.
  std::lock_guard<std::mutex> lock(mu_);
  if (detached_) return;
  QMetaObject::invokeMethod(desk_, std::forward<F>(work), Qt::QueuedConnection);
}

void QtRenderer::WindowOpened(const std::shared_ptr<runtime::WindowModel>& window) {
  Desk* desk = desk_;
  ToGui([desk, window] { desk->Open(window); });
}

void QtRenderer::WindowChanged(const std::shared_ptr<runtime::WindowModel>& window,
                               int /*control*/) {
  // One refresh reads every control, so changes that come faster than the
  // GUI thread draws share one refresh instead of piling up.
  const runtime::WindowId id = window->id();
  const auto due = refresh_due_;
  {
    std::lock_guard<std::mutex> lock(due->mu);
    if (!due->ids.insert(id).second) return;
  }
  Desk* desk = desk_;
  ToGui([due, desk, id] {
    {
      std::lock_guard<std::mutex> lock(due->mu);
      due->ids.erase(id);
    }
    desk->Refresh(id);
  });
}

void QtRenderer::WindowClosed(const std::shared_ptr<runtime::WindowModel>& window) {
  Desk* desk = desk_;
  const runtime::WindowId id = window->id();
  ToGui([desk, id] { desk->Close(id); });
}

void QtRenderer::ShowOpenWindows() {
  for (const auto& w : runtime::OpenWindows()) WindowOpened(w);
}

WindowView* QtRenderer::ViewOf(runtime::WindowId id) const {
  return desk_->ViewOf(id);
}
QMdiSubWindow* QtRenderer::SubWindowOf(runtime::WindowId id) const {
  return desk_->SubWindowOf(id);
}
QMainWindow* QtRenderer::frame() const {
  return desk_->frame();
}

}  // namespace vm::gui
