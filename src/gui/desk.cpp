#include "gui/desk.h"

#include <algorithm>

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QVBoxLayout>

#include "gui/window_view.h"

namespace vm::gui {
namespace {

// Keeps `p` on `area`: no larger than it, and moved in where it hangs out.
runtime::ScreenPlacement Clamp(runtime::ScreenPlacement p, const QRect& area) {
  if (area.isEmpty()) return p;
  p.width = std::clamp(p.width, 1, area.width());
  p.height = std::clamp(p.height, 1, area.height());
  p.x = std::clamp(p.x, area.left(), area.left() + area.width() - p.width);
  p.y = std::clamp(p.y, area.top(), area.top() + area.height() - p.height);
  return p;
}

runtime::ScreenPlacement FromRect(const QRect& r) {
  return {r.x(), r.y(), r.width(), r.height(), false};
}

}  // namespace

Desk::Desk() = default;

Desk::~Desk() {
  // Views first: their widgets live inside the shells.
  for (auto& [id, shown] : shown_) shown.view.reset();
  shown_.clear();
  delete frame_;
}

void Desk::MakeFrame() {
  if (frame_ != nullptr) return;
  frame_ = new QMainWindow;
  mdi_ = new QMdiArea(frame_);
  frame_->setCentralWidget(mdi_);
  frame_->statusBar();  // menu items show their status text here
  frame_->installEventFilter(this);
}

void Desk::Open(const std::shared_ptr<runtime::WindowModel>& window) {
  if (shown_.count(window->id()) != 0) return;
  MakeFrame();
  const runtime::WindowState state = window->Snapshot();
  Shown shown;
  shown.placement_name = state.caption;
  const bool is_frame = state.style == runtime::WindowStyle::kFrame && frame_window_ == 0;
  if (is_frame) {
    frame_window_ = state.id;
    frame_->setWindowTitle(QString::fromStdString(state.caption));
    shown.shell = frame_;
    shown.view =
        std::make_unique<WindowView>(window, nullptr, frame_->menuBar(), frame_->statusBar());
  } else {
    auto* body = new QWidget;
    auto* menu_bar = new QMenuBar(body);
    shown.view = std::make_unique<WindowView>(window, body, menu_bar, frame_->statusBar());
    if (menu_bar->actions().isEmpty()) {
      delete menu_bar;
    } else {
      body->layout()->setMenuBar(menu_bar);
    }
    QMdiSubWindow* sub = mdi_->addSubWindow(body);
    sub->setAttribute(Qt::WA_DeleteOnClose, false);
    sub->setWindowTitle(QString::fromStdString(state.caption));
    sub->installEventFilter(this);
    shown.shell = sub;
  }
  // The frame is placed before it shows (no jump from its size hint); a
  // child after the frame shows, since it is placed on the laid-out MDI area.
  if (is_frame) Place(shown, is_frame);
  if (!frame_->isVisible()) frame_->show();
  if (!is_frame) Place(shown, is_frame);
  shown.shell->show();
  shown_[state.id] = std::move(shown);
}

void Desk::Place(Shown& shown, bool is_frame) {
  QRect area;
  if (is_frame) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) area = screen->availableGeometry();
  } else {
    area = QRect(QPoint(0, 0), mdi_->viewport()->size());
  }
  runtime::ScreenPlacement defaults;
  if (is_frame) {
    // The frame's own size hint is that of an empty MDI area: too small to
    // hold the forms. Without a stored place it takes most of the screen.
    QRect r(0, 0, 960, 720);
    if (!area.isEmpty()) {
      r.setSize(r.size().boundedTo(area.size() * 9 / 10));
      r.moveCenter(area.center());
    }
    defaults = FromRect(r);
  } else {
    shown.shell->adjustSize();
    defaults = FromRect(shown.shell->geometry());
  }
  const std::optional<runtime::ScreenRect> screen =
      area.isEmpty()
          ? std::nullopt
          : std::optional<runtime::ScreenRect>({area.x(), area.y(), area.width(), area.height()});
  runtime::ScreenPlacement p = runtime::FetchPlacement(shown.placement_name, defaults, screen);
  if (p.width <= 0 || p.height <= 0) p = defaults;
  p = Clamp(p, area);
  shown.shell->setGeometry(p.x, p.y, p.width, p.height);
  if (p.maximized) shown.shell->setWindowState(shown.shell->windowState() | Qt::WindowMaximized);
}

void Desk::SavePlacement(const Shown& shown, bool is_frame) {
  QRect r = shown.shell->geometry();
  if (is_frame && frame_->isMaximized()) r = frame_->normalGeometry();
  runtime::ScreenPlacement p = FromRect(r);
  p.maximized = shown.shell->isMaximized();
  runtime::UpdatePlacement(shown.placement_name, p);
}

void Desk::Refresh(runtime::WindowId id) {
  const auto it = shown_.find(id);
  if (it == shown_.end()) return;  // closed meanwhile, or never shown
  it->second.view->Refresh();
  const QString caption = QString::fromStdString(it->second.view->model()->Snapshot().caption);
  if (it->second.shell->windowTitle() != caption) it->second.shell->setWindowTitle(caption);
}

void Desk::Close(runtime::WindowId id) {
  const auto it = shown_.find(id);
  if (it == shown_.end()) return;
  const bool is_frame = id == frame_window_;
  SavePlacement(it->second, is_frame);
  it->second.view.reset();
  if (is_frame) {
    frame_window_ = 0;
    frame_->hide();
  } else {
    closing_ = true;
    mdi_->removeSubWindow(it->second.shell);
    closing_ = false;
    delete it->second.shell;
  }
  shown_.erase(it);
}

bool Desk::eventFilter(QObject* watched, QEvent* event) {
  if ((event->type() == QEvent::Move || event->type() == QEvent::Resize) && !closing_) {
    // Where a window is now goes to the store at once: the program may
    // save the store before this thread has seen the window close.
    for (const auto& [id, shown] : shown_)
      if (shown.shell == watched && shown.view) SavePlacement(shown, id == frame_window_);
    return QObject::eventFilter(watched, event);
  }
  if (event->type() != QEvent::Close || closing_) return QObject::eventFilter(watched, event);
  // The close box asks the owner; the window goes when its loop has closed it.
  for (auto& [id, shown] : shown_) {
    if (shown.shell == watched) {
      event->ignore();
      shown.view->model()->UserRequestedClose();
      return true;
    }
  }
  if (watched == frame_ && frame_window_ == 0) return QObject::eventFilter(watched, event);
  event->ignore();
  return true;
}

WindowView* Desk::ViewOf(runtime::WindowId id) const {
  const auto it = shown_.find(id);
  return it == shown_.end() ? nullptr : it->second.view.get();
}

QMdiSubWindow* Desk::SubWindowOf(runtime::WindowId id) const {
  const auto it = shown_.find(id);
  if (it == shown_.end() || id == frame_window_) return nullptr;
  return static_cast<QMdiSubWindow*>(it->second.shell);
}

}  // namespace vm::gui
