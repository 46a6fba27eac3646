#include "gui/desktop.h"

#include <memory>

#include <QApplication>
#include <QMetaObject>

#include "gui/qt_presenter.h"
#include "gui/qt_printer_setup.h"
#include "gui/qt_renderer.h"
#include "runtime/message_box.h"
#include "runtime/printer_setup.h"
#include "runtime/thread.h"
#include "runtime/window_system.h"

namespace vm::gui {

bool DisplayAvailable() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

int RunDesktop(int& argc, char** argv, std::function<void()> frame_procedure) {
  QApplication app(argc, argv);
  // The frame's close box asks the frame procedure; the loop ends with it.
  app.setQuitOnLastWindowClosed(false);
  auto renderer = std::make_shared<QtRenderer>();
  runtime::SetRenderer(renderer);
  renderer->ShowOpenWindows();
  runtime::SetMessagePresenter(std::make_shared<QtPresenter>());
  auto printer_setup = std::make_shared<QtPrinterSetup>();
  runtime::SetPrinterSetup(printer_setup);

  const runtime::ThreadId frame =
      runtime::StartThread([&app, procedure = std::move(frame_procedure)] {
        procedure();
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
      });
  const int code = app.exec();
  printer_setup->Close();
  runtime::SetPrinterSetup(nullptr);
  runtime::SetMessagePresenter(nullptr);
  runtime::SetRenderer(nullptr);
  renderer.reset();
  runtime::WaitThread(frame, std::chrono::milliseconds(5000));
  return code;
}

}  // namespace vm::gui
