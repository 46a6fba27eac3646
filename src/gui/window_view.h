// One runtime window shown as Qt widgets: builds the widgets from a snapshot
// of the window model, refreshes them from later snapshots, and turns what the
// user does into the model's User* calls (which post events to the owner).
// Owned by the renderer's desk; GUI thread only.
#pragma once

#include <map>
#include <memory>

#include <QObject>

#include "runtime/window_model.h"

class QAction;
class QBoxLayout;
class QMenu;
class QMenuBar;
class QStatusBar;
class QWidget;

namespace vm::gui {

class WindowView final : public QObject {
 public:
  // Controls go into `body` (laid out top to bottom), menus into `menu_bar`.
  // A frame passes no body: its controls other than menus go to `status_bar`.
  WindowView(std::shared_ptr<runtime::WindowModel> model, QWidget* body, QMenuBar* menu_bar,
             QStatusBar* status_bar);
  ~WindowView() override;
  WindowView(const WindowView&) = delete;
  WindowView& operator=(const WindowView&) = delete;

  // Reads the model again and brings every widget up to date.
  void Refresh();

  const std::shared_ptr<runtime::WindowModel>& model() const { return model_; }
  // The widget of control `number` (nullptr for menus, menu items and
  // unknown numbers); the action of a menu or menu item.
  QWidget* WidgetOf(int number) const;
  QAction* ActionOf(int number) const;

 private:
  void Build(const runtime::WindowState& state);
  QWidget* MakeWidget(const runtime::Control& c);
  void MakeMenuEntry(const runtime::Control& c);
  void Place(const runtime::Control& c, QWidget* w);
  void Apply(const runtime::Control& c);
  void ApplyList(const runtime::Control& c, QWidget* w);
  void ApplyMenuEntry(const runtime::Control& c);
  void CommitEntry(int number, QWidget* w);

  std::shared_ptr<runtime::WindowModel> model_;
  QWidget* body_;
  QMenuBar* menu_bar_;
  QStatusBar* status_bar_;
  QBoxLayout* layout_ = nullptr;
  QBoxLayout* open_row_ = nullptr;  // a prompt's row, waiting for the field it names
  std::map<int, QWidget*> widgets_;
  std::map<int, QAction*> actions_;
  std::map<int, QMenu*> menus_;
  std::map<int, runtime::Control> shown_;  // what the widgets show now
};

}  // namespace vm::gui
