#include "app/log_viewer.h"

#include "app/attachment_limit.h"
#include "app/gateway_relations.h"
#include "app/procedure_scope.h"
#include "app/records.h"
#include "app/resend.h"
#include "platform/clock.h"
#include "runtime/message_box.h"

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

LogBrowser::LogBrowser(runtime::Window* window, GatewayRelations* relations, std::string data_dir)
    : relations_(relations),
      data_dir_(std::move(data_dir)),
      list_(window, &relations->relation(Table::kProcessedFiles), LogColumns(), LogListOptions()),
      resend_(window->AddButton("?RESEND", "Resend")) {
  // The log window carries Delete, Select, Resend and Close.
  for (const char* use : {"?INSERT", "?CHANGE"}) window->control(use).hide();
}

framework::ListAction LogBrowser::HandleEvent(const runtime::Event& event) {
  const framework::ListAction action = list_.HandleEvent(event);
  if (event.accepted(resend_.number())) Resend();
  return action;
}

void LogBrowser::Resend() {
  framework::FileManager& file = relations_->file(Table::kProcessedFiles);
  uint32_t record = 0;
  ProcessedRow row;
  {
    auto lock = file.Lock();
    if (list_.FetchCurrent() != 0) return;
    record = file.current_record();
    row = ReadProcessed(file.buffer());
  }
  bool force = false;
  if (row.processed == 1 && IsSentOutcome(row.error_code, row.error)) {
    const uint32_t answer = runtime::Message(
        "This recording was sent. Send it again?", "Resend", runtime::MessageIcon::kQuestion,
        runtime::kButtonYes | runtime::kButtonNo, runtime::kButtonNo);
    if (answer != runtime::kButtonYes) return;
    force = true;
  }
  GatewayFiles files(data_dir_);
  std::string error;
  const ResendResult r = ResendRow(files, record, force, platform::SystemClock(), &error);
  if (r != ResendResult::kQueued) {
    runtime::Message("Not resent: " + ResendResultText(r) + (error.empty() ? "" : ": " + error),
                     "Resend", runtime::MessageIcon::kExclamation);
  }
  list_.Reload();
}

void View_Log(const WindowOptions& options) {
  ProcedureScope procedure(options.errors, "View_Log");
  runtime::Window window("Browse Records");
  LogBrowser browser(&window, options.relations, options.data_dir);
  if (browser.list().Open() != 0) return;
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (browser.HandleEvent(*ev) == framework::ListAction::kClose) window.Close();
  }
}

}  // namespace vm::app
