#include "app/stop_message.h"

#include <cstdlib>
#include <mutex>

#include "app/gateway_files.h"
#include "framework/error_manager.h"
#include "framework/message_ids.h"
#include "framework/runtime_error.h"
#include "platform/diag_sink.h"
#include "runtime/message_box.h"

namespace vm::app {
namespace {

std::mutex& AbortMutex() {
  static std::mutex mu;
  return mu;
}

std::function<void()>& AbortSlot() {
  static std::function<void()> handler = [] { std::_Exit(3); };
  return handler;
}

}  // namespace

std::function<void()> SetAbortHandler(std::function<void()> handler) {
  std::lock_guard<std::mutex> lock(AbortMutex());
  std::swap(AbortSlot(), handler);
  return handler;
}

std::string StorageErrorText(const storage::DeclaredTable& table) {
  std::string text = table.error_text();
  if (table.file_error() != 0 && !table.file_error_text().empty()) {
    text += " (" + table.file_error_text() + ")";
  }
  return text;
}

void OpenFailure(GatewayFiles& files, Table t, framework::ErrorManager* errors,
                 const std::string& procedure) {
  const storage::DeclaredTable& table = files.table(t);
  if (errors == nullptr) {
    platform::DiagWrite(
        platform::DiagPriority::kError,
        procedure + ": cannot open " + GatewayFiles::Name(t) + ": " + StorageErrorText(table));
    return;
  }
  errors->ThrowFile(
      files.create_failed(t) ? framework::msg::kCreateError : framework::msg::kOpenFailed,
      GatewayFiles::Name(t), framework::CaptureError(table));
}

void StopMessage(const storage::DeclaredTable& table) {
  StopMessage(StorageErrorText(table));
}

void StopMessage(const std::string& text) {
  const uint32_t answer =
      runtime::Message(text, "Stop", runtime::MessageIcon::kStop,
                       runtime::kButtonAbort | runtime::kButtonIgnore, runtime::kButtonIgnore);
  if (answer != runtime::kButtonAbort) return;
  std::function<void()> handler;
  {
    std::lock_guard<std::mutex> lock(AbortMutex());
    handler = AbortSlot();
  }
  if (handler) handler();
}

}  // namespace vm::app
