// The printer set-up dialog that the frame's "P&rint Setup..." item asks
// for. The Qt front end installs one that shows the page set-up dialog;
// with none installed (headless) the request writes one diagnostic line and
// changes nothing. Safe from any thread; the caller waits until the dialog
// has closed.
#pragma once

#include <memory>

namespace vm::runtime {

class PrinterSetup {
 public:
  virtual ~PrinterSetup() = default;
  // Shows the dialog; true when the user accepted a new set-up.
  virtual bool Run() = 0;
};

// Installs the process-wide dialog (nullptr = none) and returns the previous one.
std::shared_ptr<PrinterSetup> SetPrinterSetup(std::shared_ptr<PrinterSetup> setup);

// Asks the installed dialog; false (after the diagnostic line) with none.
bool RunPrinterSetup();

}  // namespace vm::runtime
