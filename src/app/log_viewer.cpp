#include "app/log_viewer.h"

#include "app/gateway_relations.h"
#include "app/procedure_scope.h"

namespace vm::app {

std::vector<framework::ListColumnSpec> LogColumns() {
  // Date and time of queuing, not of the recording.
  return {{"Date", "PRO:DATE", "@D5", 33},
          {"Time", "PRO:TIME", "@T1", 23},
          {"MailBox", "PRO:MAILBOX", "@N3B", 31},
          {"Email", "PRO:EMAILADDRESS", "@S50", 113},
          {"Error Code", "PRO:ERRORCODE", "@N-7", 21},
          {"Error", "PRO:ERROR", "@S255", 1020}};
}

namespace {

framework::ListOptions LogListOptions() {
  framework::ListOptions o;
  o.view_only = true;  // the log offers no way to add, change or delete a row
  return o;
}

}  // namespace

LogBrowser::LogBrowser(runtime::Window* window, GatewayRelations* relations)
    : list_(window, &relations->relation(Table::kProcessedFiles), LogColumns(), LogListOptions()) {
  // The log window carries Delete, Select and Close only.
  for (const char* use : {"?INSERT", "?CHANGE"}) window->control(use).hide();
}

void View_Log(const WindowOptions& options) {
  ProcedureScope procedure(options.errors, "View_Log");
  runtime::Window window("Browse Records");
  LogBrowser browser(&window, options.relations);
  if (browser.list().Open() != 0) return;
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (browser.list().HandleEvent(*ev) == framework::ListAction::kClose) window.Close();
  }
}

}  // namespace vm::app
