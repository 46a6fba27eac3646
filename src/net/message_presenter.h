// How the networking layer shows a message box (ErrorTrap, the registry
// failure at start-up). The program installs a presenter that shows a real
// dialog; without one the message goes to the diagnostic sink as one line.
// Safe from any thread; the presenter is called with no lock of ours held.
#pragma once

#include <memory>
#include <string_view>

namespace vm::net {

class MessagePresenter {
 public:
  virtual ~MessagePresenter() = default;
  // Shows a modal message; "|" in `text` is a line break.
  virtual void ShowMessage(std::string_view caption, std::string_view text) = 0;
};

// Installs the process-wide presenter (nullptr = diagnostic line) and
// returns the previous one.
std::shared_ptr<MessagePresenter> SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter);
void PresentMessage(std::string_view caption, std::string_view text);

}  // namespace vm::net
