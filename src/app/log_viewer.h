// `View_Log`: the browse of ProcessedFiles, the gateway's log, in record
// order (oldest queued first). It only reads: Delete is shown but does
// nothing. LogBrowser builds the list on a window (tests drive it without a
// renderer); View_Log runs the window on the calling thread until it closes
// (the frame starts it on a thread of its own).
#pragma once

#include <memory>

#include "app/app_windows.h"
#include "framework/list_model.h"
#include "runtime/window.h"

namespace vm::app {

// The list's columns: "Date", "Time", "MailBox", "Email", "Error Code", "Error".
std::vector<framework::ListColumnSpec> LogColumns();

class LogBrowser {
 public:
  // `window` and `relations` must outlive the browser.
  LogBrowser(runtime::Window* window, GatewayRelations* relations);
  framework::StandardList& list() { return list_; }

 private:
  framework::StandardList list_;
};

void View_Log(const WindowOptions& options);

}  // namespace vm::app
