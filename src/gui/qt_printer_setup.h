// The printer set-up as Qt's page set-up dialog, for the frame's
// "P&rint Setup..." item. Made on the GUI thread; Run is safe from any
// thread and blocks the caller until the dialog has closed (the GUI thread
// shows it without a nested loop for callers on other threads). The printer
// it sets up lives as long as this object, so a second call starts from
// what the first one chose.
#pragma once

#include <memory>
#include <mutex>

#include <QPointer>
#include <QPrinter>

#include "runtime/printer_setup.h"

class QDialog;

namespace vm::gui {

class QtPrinterSetup final : public runtime::PrinterSetup {
 public:
  QtPrinterSetup();
  ~QtPrinterSetup() override;
  QtPrinterSetup(const QtPrinterSetup&) = delete;
  QtPrinterSetup& operator=(const QtPrinterSetup&) = delete;

  // True when the user accepted the dialog; false when cancelled or when
  // this object goes (the GUI is ending) before the dialog was answered.
  bool Run() override;
  // GUI thread, when the GUI ends: a caller still waiting gets false, the
  // dialog goes, and later calls answer false at once. (A waiting caller
  // holds this object, so its destruction cannot be what lets it go.)
  void Close();

 private:
  struct Answer;
  // GUI thread only; shared with work posted there, which may run after
  // this object went.
  struct Shown {
    std::unique_ptr<QPrinter> printer;
    QPointer<QDialog> dialog;         // the dialog shown for another thread
    std::shared_ptr<Answer> pending;  // its caller's answer
  };
  QObject* context_;  // lives on the GUI thread
  std::shared_ptr<Shown> shown_;
  std::mutex mu_;
  bool detached_ = false;  // under mu_
};

}  // namespace vm::gui
