// `Mail_Security`: the window of the settings that take the gateway's mail
// through a provider (security, login, certificate checks, EHLO name, the
// largest recording attached), kept in the settings file beside the tables,
// and a "Send Test Mail" button that shows the dialogue with the values as typed. The password is
// typed into a masked entry and kept only in "credentials": it is never shown back and never held
// by the window's controls. SecurityWindow builds the model on a window (tests drive it without a
// renderer); Mail_Security runs it on the calling thread until it closes (the frame starts it on a
// thread of its own; the settings form's "Security..." button runs it in place).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "app/app_windows.h"
#include "app/mail_settings.h"
#include "app/settings_file.h"
#include "runtime/window.h"

namespace vm::app {

// The window's own event: a test mail running on its thread has new lines.
inline constexpr int32_t kEventTestMailLines = runtime::kFirstUserEvent + 1;

class SecurityWindow {
 public:
  // `window` and `errors` (may be null) must outlive the object; `dir` is
  // the working directory.
  SecurityWindow(runtime::Window* window, std::string dir, framework::ErrorManager* errors);
  // Ends a test mail still running (it stops within a few seconds).
  ~SecurityWindow();
  SecurityWindow(const SecurityWindow&) = delete;
  SecurityWindow& operator=(const SecurityWindow&) = delete;

  // Reads the settings file into the controls. False (after a message that
  // says why and how to mend it) when the file cannot be used.
  bool Open();
  // One event of the window's loop; true when the window is to close (OK
  // stored the values, or Cancel).
  bool HandleEvent(const runtime::Event& event);

  bool test_running() const { return test_ != nullptr; }

 private:
  struct TestRun;
  struct Value {
    const char* key;
    runtime::ControlRef control;
    const char* field;   // as a refusal names it
    std::string opened;  // the value when the window opened
  };

  // Every value checked; false after the first refusal's message.
  bool ValuesPass();
  bool Store();
  void StartTest();
  void ShowTestLines();
  void EndTest();
  void RefuseValue(const std::string& field, const std::string& allowed);
  MailSettings Typed() const;
  std::string ValueOf(const char* key) const;

  runtime::Window* const window_;
  const std::string dir_;
  framework::ErrorManager* const errors_;
  std::vector<Value> values_;
  runtime::ControlRef password_, password_state_, address_, send_test_, transcript_, ok_, cancel_;
  // Typed since the window opened; stored with OK, never shown.
  std::optional<std::string> typed_password_;
  std::shared_ptr<TestRun> test_;
};

void Mail_Security(const WindowOptions& options);

}  // namespace vm::app
