// Message boxes: a question to the user with a set of buttons, answered by
// the installed presenter (a real dialog in the Qt front end; a line in the
// diagnostic log when headless; a script in tests). Safe from any thread; the
// caller blocks until the presenter answers.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/diag_sink.h"

namespace vm::runtime {

// Buttons, combined as a set; an answer is one of them.
constexpr uint32_t kButtonOk = 0x01;
constexpr uint32_t kButtonYes = 0x02;
constexpr uint32_t kButtonNo = 0x04;
constexpr uint32_t kButtonAbort = 0x08;
constexpr uint32_t kButtonRetry = 0x10;
constexpr uint32_t kButtonIgnore = 0x20;
constexpr uint32_t kButtonCancel = 0x40;
constexpr uint32_t kButtonHelp = 0x80;

enum class MessageIcon { kNone, kInformation, kQuestion, kExclamation, kStop };

struct MessageRequest {
  std::string text;  // "|" marks a line break
  std::string caption;
  MessageIcon icon = MessageIcon::kNone;
  uint32_t buttons = kButtonOk;
  uint32_t default_button = 0;  // 0: the first button of the set
  // How the headless presenter's line ranks the message; unset: by its icon
  // (a stop is an error, an exclamation a warning, the rest information).
  // A message that ends the program is an error whatever its icon.
  std::optional<platform::DiagPriority> priority;

  // The default button, or the lowest button of the set when none (or one
  // outside the set) was given; kButtonOk for an empty set.
  uint32_t EffectiveDefault() const;
  platform::DiagPriority LogPriority() const;
};

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows the message and returns the button chosen. May be called from any
  // thread, several at once.
  virtual uint32_t Present(const MessageRequest& request) = 0;
};

// Writes "[Message] caption: text" (plus the buttons and the answer) to the
// diagnostic sink at the request's LogPriority and answers the default button.
class HeadlessPresenter final : public MessagePresenter {
 public:
  uint32_t Present(const MessageRequest& request) override;
};

// For tests: answers queued in advance, in order, and a record of every
// request. With no answer left it answers the default button.
class ScriptedPresenter final : public MessagePresenter {
 public:
  void QueueAnswer(uint32_t button);
  uint32_t Present(const MessageRequest& request) override;
  std::vector<MessageRequest> requests() const;
  size_t unscripted() const;  // requests answered with the default

 private:
  mutable std::mutex mu_;
  std::deque<uint32_t> answers_;
  std::vector<MessageRequest> requests_;
  size_t unscripted_ = 0;
};

// Installs the process-wide presenter (nullptr = headless) and returns the
// previous one.
std::shared_ptr<MessagePresenter> SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter);

// Asks the installed presenter.
uint32_t Message(const MessageRequest& request);
uint32_t Message(std::string text, std::string caption = "", MessageIcon icon = MessageIcon::kNone,
                 uint32_t buttons = kButtonOk, uint32_t default_button = 0);

// "Ok", "Yes", ... for a single button.
const char* ButtonName(uint32_t button);

}  // namespace vm::runtime
