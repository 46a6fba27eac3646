#include "net/message_presenter.h"

#include <mutex>
#include <string>

#include "platform/diag_sink.h"

namespace vm::net {

namespace {
std::mutex g_mu;
std::shared_ptr<MessagePresenter>& Slot() {
  static auto* slot = new std::shared_ptr<MessagePresenter>();
  return *slot;
}
}  // namespace

std::shared_ptr<MessagePresenter> SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::swap(Slot(), presenter);
  return presenter;
}

void PresentMessage(std::string_view caption, std::string_view text) {
  std::shared_ptr<MessagePresenter> presenter;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    presenter = Slot();
  }
  if (presenter) {
    presenter->ShowMessage(caption, text);
    return;
  }
  std::string line = "[Message] ";
  line.append(caption).append(": ").append(text);
  platform::DiagWrite(line);
}

}  // namespace vm::net
