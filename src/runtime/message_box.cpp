#include "runtime/message_box.h"

#include "platform/diag_sink.h"

namespace vm::runtime {
namespace {

std::mutex presenter_mu;
std::shared_ptr<MessagePresenter>& Installed() {
  static std::shared_ptr<MessagePresenter> p;
  return p;
}

}  // namespace

uint32_t MessageRequest::EffectiveDefault() const {
  if (buttons == 0) return kButtonOk;
  if (default_button != 0 && (default_button & (default_button - 1)) == 0 &&
      (buttons & default_button) != 0)
    return default_button;
  return buttons & (~buttons + 1);  // lowest set bit
}

platform::DiagPriority MessageRequest::LogPriority() const {
  if (priority.has_value()) return *priority;
  switch (icon) {
    case MessageIcon::kStop:
      return platform::DiagPriority::kError;
    case MessageIcon::kExclamation:
      return platform::DiagPriority::kWarning;
    default:
      return platform::DiagPriority::kInfo;
  }
}

const char* ButtonName(uint32_t button) {
  switch (button) {
    case kButtonOk:
      return "Ok";
    case kButtonYes:
      return "Yes";
    case kButtonNo:
      return "No";
    case kButtonAbort:
      return "Abort";
    case kButtonRetry:
      return "Retry";
    case kButtonIgnore:
      return "Ignore";
    case kButtonCancel:
      return "Cancel";
    case kButtonHelp:
      return "Help";
    default:
      return "?";
  }
}

uint32_t HeadlessPresenter::Present(const MessageRequest& request) {
  const uint32_t answer = request.EffectiveDefault();
  std::string text = request.text;
  for (char& c : text)
    if (c == '\n' || c == '\r') c = '|';
  std::string buttons;
  for (uint32_t b = kButtonOk; b <= kButtonHelp; b <<= 1) {
    if ((request.buttons & b) == 0) continue;
    if (!buttons.empty()) buttons += ",";
    buttons += ButtonName(b);
  }
  platform::DiagWrite(request.LogPriority(), "[Message] " + request.caption + ": " + text + " [" +
                                                 buttons + "] -> " + ButtonName(answer));
  return answer;
}

void ScriptedPresenter::QueueAnswer(uint32_t button) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_.push_back(button);
}

uint32_t ScriptedPresenter::Present(const MessageRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.push_back(request);
  if (answers_.empty()) {
    ++unscripted_;
    return request.EffectiveDefault();
  }
  const uint32_t a = answers_.front();
  answers_.pop_front();
  return a;
}

std::vector<MessageRequest> ScriptedPresenter::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

size_t ScriptedPresenter::unscripted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return unscripted_;
}

std::shared_ptr<MessagePresenter> SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter) {
  std::lock_guard<std::mutex> lock(presenter_mu);
  std::swap(Installed(), presenter);
  return presenter;
}

uint32_t Message(const MessageRequest& request) {
  std::shared_ptr<MessagePresenter> p;
  {
    std::lock_guard<std::mutex> lock(presenter_mu);
    p = Installed();
  }
  if (!p) {
    HeadlessPresenter headless;
    return headless.Present(request);
  }
  return p->Present(request);
}

uint32_t Message(std::string text, std::string caption, MessageIcon icon, uint32_t buttons,
                 uint32_t default_button) {
  MessageRequest r;
  r.text = std::move(text);
  r.caption = std::move(caption);
  r.icon = icon;
  r.buttons = buttons;
  r.default_button = default_button;
  return Message(r);
}

}  // namespace vm::runtime
