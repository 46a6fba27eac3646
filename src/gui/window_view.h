// One runtime window shown as Qt widgets: builds the widgets from a snapshot
// of the window model, refreshes them from later snapshots, and turns what the
// user does into the model's User* calls (which post events to the owner).
// Owned by the renderer's desk; GUI thread only.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <vector>

#include <QObject>

#include "runtime/window_model.h"

class QAction;
class QBoxLayout;
class QMenu;
class QMenuBar;
class QStatusBar;
class QTreeWidget;
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

 protected:
  // Lists: keys and the wheel beyond the rows shown ask the owner to scroll;
  // a cut cell shows its whole text in a tooltip.
  // Every control: its status text in the status bar while it has focus.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Build(const runtime::WindowState& state);
  QWidget* MakeWidget(const runtime::Control& c);
  void MakeMenuEntry(const runtime::Control& c);
  void Place(const runtime::WindowState& state, const runtime::Control& c);
  void AddToLayout(const runtime::Control& c, QWidget* w, QBoxLayout* target);
  void AlignPrompts();
  void Apply(const runtime::Control& c);
  void ApplyList(const runtime::Control& c, QWidget* w, bool first, bool rows_changed);
  void FitColumns(const runtime::Control& c, QTreeWidget* list, bool opening);
  void ApplyMenuEntry(const runtime::Control& c);
  void CommitEntry(int number, QWidget* w);
  void CommitText(int number, QWidget* w);
  // Hands every typed value not yet given to the owner (before a button's
  // press reaches it, so that the owner sees the values first).
  void CommitPending();
  bool ScrollList(int number, QWidget* list, QEvent* event);

  std::shared_ptr<runtime::WindowModel> model_;
  QWidget* body_;
  QMenuBar* menu_bar_;
  QStatusBar* status_bar_;
  QBoxLayout* layout_ = nullptr;
  QBoxLayout* open_row_ = nullptr;     // a prompt's row, waiting for the field it names
  QBoxLayout* open_target_ = nullptr;  // the box that row is in
  QWidget* open_prompt_ = nullptr;     // the prompt that opened it
  QBoxLayout* button_row_ = nullptr;   // the row the last button went to
  QBoxLayout* button_target_ = nullptr;
  std::map<int, QBoxLayout*> rows_;  // the row of each field placed beside its prompt
  std::map<QBoxLayout*, std::vector<QWidget*>> prompts_;  // prompts that open rows, by layout
  std::map<int, bool> placed_;
  std::map<int, QWidget*> widgets_;
  std::map<int, QAction*> actions_;
  std::map<int, QMenu*> menus_;
  std::map<int, runtime::Control> shown_;  // what the widgets show now
  std::set<int> fitted_;                   // lists whose columns were fitted to rows
  std::set<int> secrets_;                  // secret entries: handed over, never shown back
};

}  // namespace vm::gui
