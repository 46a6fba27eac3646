#include "runtime/printer_setup.h"

#include <mutex>
#include <utility>

#include "platform/diag_sink.h"

namespace vm::runtime {
namespace {

struct SetupSlot {
  std::mutex mu;
  std::shared_ptr<PrinterSetup> setup;
};

SetupSlot& TheSetup() {
  static SetupSlot* s = new SetupSlot;  // used until the last thread ends
  return *s;
}

}  // namespace

std::shared_ptr<PrinterSetup> SetPrinterSetup(std::shared_ptr<PrinterSetup> setup) {
  std::lock_guard<std::mutex> lock(TheSetup().mu);
  std::swap(TheSetup().setup, setup);
  return setup;
}

bool RunPrinterSetup() {
  std::shared_ptr<PrinterSetup> setup;
  {
    std::lock_guard<std::mutex> lock(TheSetup().mu);
    setup = TheSetup().setup;
  }
  // The dialog runs without the lock: it may take as long as the user likes.
  if (setup) return setup->Run();
  platform::DiagWrite(platform::DiagPriority::kWarning,
                      "[PrintSetup] no printer set-up without windows");
  return false;
}

}  // namespace vm::runtime
