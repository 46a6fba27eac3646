// `View_Log`: the browse of ProcessedFiles, the gateway's log, in record
// order (oldest queued first). It changes no row itself (Delete is shown but
// does nothing); "Resend" puts the selected row back in the queue through
// app/resend.h, asking first when the row was sent. LogBrowser builds the list on a window (tests
// drive it without a renderer); View_Log runs the window on the calling thread until it closes (the
// frame starts it on a thread of its own).
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
  // `window` and `relations` must outlive the browser; `data_dir` holds the
  // tables (for the Resend's own handles).
  LogBrowser(runtime::Window* window, GatewayRelations* relations, std::string data_dir = "");
  framework::StandardList& list() { return list_; }
  framework::ListAction HandleEvent(const runtime::Event& event);
  // Resends the selected row (the button's action).
  void Resend();

 private:
  GatewayRelations* relations_;
  std::string data_dir_;
  framework::StandardList list_;
  runtime::ControlRef resend_;
};

void View_Log(const WindowOptions& options);

}  // namespace vm::app
