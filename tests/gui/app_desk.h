// The program's frame under the Qt renderer for the GUI acceptance tests:
// the frame procedure `Main` with the program's error manager, relation
// managers and placement store in email.INI (as the program makes them), on
// a temporary working directory, with the Qt message presenter and a
// printer set-up hook that counts its calls. Helpers find windows by caption
// and their widgets by control name. Main thread only.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QString>

#include "app/app_test_support.h"
#include "app/frame.h"
#include "app/gateway_relations.h"
#include "framework/error_manager.h"
#include "framework/file_errors.h"
#include "framework/ini_manager.h"
#include "gui/qt_renderer.h"
#include "gui/window_view.h"

class QAction;
class QMessageBox;
class QMdiSubWindow;

namespace vm::gui::testing {

class AppDeskTest : public app::testing::GatewayTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts Main with a timer of `timer` hundredths and waits for the frame.
  void StartFrame(int timer = 0, app::ScanOptions scan = {});
  // Exit from the menu (closing every other window first); waits for Main.
  void StopFrame();

  // The frame's menu item `text` under menu `menu` (nullptr when missing).
  QAction* MenuItem(const QString& menu, const QString& text) const;
  // The open window with `caption` once its widgets show (nullptr after 10 s).
  WindowView* WaitForWindow(const std::string& caption);
  // Triggers the frame's &File item `text` and waits for window `caption`.
  WindowView* OpenFromMenu(const QString& text, const std::string& caption);
  // Asks the window to close with its close box and waits until it has.
  bool CloseWindow(WindowView* view);
  bool IsOpen(const std::string& caption) const;

  template <typename T>
  static T* Widget(WindowView* view, const char* use) {
    return qobject_cast<T*>(view->WidgetOf(view->model()->NumberOf(use)));
  }
  // Texts of the window's prompts, in control order.
  static std::vector<std::string> Prompts(WindowView* view);
  // Texts of its buttons, in control order.
  static std::vector<std::string> Buttons(WindowView* view);
  // The message box shown now (nullptr after 10 s).
  static QMessageBox* WaitForMessageBox();

  app::ControlRow Settings();
  std::vector<app::MailboxRow> MailboxRows();

  std::shared_ptr<QtRenderer> renderer_;
  std::shared_ptr<framework::ErrorManager> errors_;
  std::unique_ptr<framework::ErrorManagerErrors> file_errors_;
  std::unique_ptr<app::GatewayRelations> relations_;
  framework::IniManager ini_;
  std::shared_ptr<runtime::WindowModel> frame_;
  std::thread main_;
  std::atomic<int> passes_{0};
  std::atomic<int> print_setups_{0};
};

}  // namespace vm::gui::testing
