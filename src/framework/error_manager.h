// The error manager: turns a numbered error condition into a message for the
// operator, an optional line in the error log and an optional history entry,
// and returns the level the caller acts on (go on, retry, give up). One
// object per program, created at start-up and shared by every procedure
// thread: every public method is safe from any thread. Message boxes are
// shown without holding the manager's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/history_view.h"
#include "framework/message_ids.h"
#include "framework/message_table.h"
#include "framework/procedure_names.h"
#include "framework/runtime_error.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "runtime/message_box.h"

namespace vm::framework {

// Everything a take-operation needs, fixed at throw time so that another
// thread's throw cannot change it while a message box is up.
struct ErrorContext {
  uint16_t id = 0;
  MessageRow row;    // the message's row (a made-up row for an unknown id)
  std::string text;  // the message after place-holder substitution
};

class ErrorManager {
 public:
  static constexpr size_t kWorkBufferLength = 2000;  // substituted text is cut here
  static constexpr size_t kFieldLength = 255;        // FIELDNAME, FILENAME, MESSAGETEXT
  static constexpr size_t kHistoryTextLength = 1024;
  static constexpr std::string_view kLogFileName = "TarnError.Log";
  static constexpr std::string_view kFatalSuffix = "  Press OK to end this application";
  static constexpr std::string_view kHistoryCaption = "Errors History";
  static constexpr int kFatalExitStatus = 3;

  // Builds the manager with the framework's message table installed. `env`
  // opens the error log, `clock` dates its lines; both outlive the manager.
  explicit ErrorManager(platform::Env* env = platform::Env::Default(),
                        const platform::Clock* clock = &platform::SystemClock());
  virtual ~ErrorManager() = default;
  ErrorManager(const ErrorManager&) = delete;
  ErrorManager& operator=(const ErrorManager&) = delete;

  // ---- message table
  // Adds a packed block of rows (see message_table.h); rows with an id
  // already present replace it. On a damaged block nothing is added.
  virtual platform::Status AddErrors(const std::vector<uint8_t>& block);
  void AddErrors(const std::vector<MessageRow>& rows);
  std::optional<MessageRow> FindMessage(uint16_t id) const;

  // ---- throwing: store the place-holder values and the error state, then take
  // the error. `error` is the runtime/driver state at the time of the error
  // (CaptureError(table) for a table statement); a default one means none.
  Level Throw(uint16_t id, const RuntimeError& error = {});
  Level ThrowFile(uint16_t id, std::string_view file_name, const RuntimeError& error = {});
  Level ThrowMessage(uint16_t id, std::string_view message, const RuntimeError& error = {});
  // The value of %Field for the next message (kept until changed).
  void SetField(std::string_view name);
  // The values of %File and %Message without throwing (kept until changed).
  void SetFile(std::string_view name);
  void SetMessageText(std::string_view text);
  // Stores the error state for the next TakeError (Throw* do this themselves).
  void SetErrors(const RuntimeError& error);
  // Every value of one message at once: the given place-holder values (a
  // missing one keeps the value held now) and the error state are stored and
  // the text substituted under one lock, so another thread's throw cannot
  // mix its values into this message. The other throws are made of this one.
  struct ErrorValues {
    std::optional<std::string> file;
    std::optional<std::string> field;
    std::optional<std::string> message;
    RuntimeError error;
  };
  Level ThrowValues(uint16_t id, const ErrorValues& values);

  // Takes error `id` with the values stored now: substitutes, then dispatches
  // on the row's severity. An id missing from the table gives a notify
  // message that names the id and returns kLevelNotify.
  Level TakeError(uint16_t id);
  // The text message `id` gets with the values stored now (no showing).
  std::string SubstitutedText(uint16_t id) const;

  // ---- procedure names (PROCNAMES): one stack per thread.
  // With a name: pushes it for the calling thread. Without: pops the calling
  // thread's last name (nothing happens when it has none).
  void SetProcedureName(std::string_view name);
  void SetProcedureName();
  // The calling thread's current procedure name; nullopt when none.
  std::optional<std::string> ProcedureName() const;

  // ---- switches
  void SetSilent(bool on);
  bool silent() const;
  void SetLogErrors(bool on);
  bool log_errors() const;
  // The error log's path; default kLogFileName in the working directory.
  void SetLogPath(std::string path);
  // After take-fatal shows its message the program ends through this call;
  // the default ends the process with kFatalExitStatus. A replacement that
  // returns makes take-fatal return kLevelFatal (tests).
  void SetExitHandler(std::function<void(int status)> exit_handler);
  // The category rows without one take (default MessageTable::kDefaultCategory).
  void SetDefaultCategory(std::string_view category);

  // ---- history
  // Maximum number of entries kept; 0 or less keeps none (and clears it).
  void SetHistoryThreshold(int32_t threshold);
  int32_t history_threshold() const;
  // The severity whose messages are shown in the history window.
  void SetHistoryViewLevel(int32_t level);
  void SetHistoryResetOnView(bool on);
  std::vector<HistoryEntry> History() const;  // oldest first
  void ResetHistory();

  // ---- the virtual operations, replaceable by a derived manager
  virtual Level TakeBenign(const ErrorContext& context);
  virtual Level TakeUser(const ErrorContext& context);
  virtual Level TakeProgram(const ErrorContext& context);
  virtual Level TakeFatal(const ErrorContext& context);
  virtual Level TakeNotify(const ErrorContext& context);
  virtual Level TakeOther(const ErrorContext& context);
  // The showing step of every take-operation: log, remember, show. Returns
  // the button pressed (the default button when nothing was shown).
  virtual uint32_t Message(const ErrorContext& context, const std::string& text,
                           runtime::MessageIcon icon, uint32_t buttons, uint32_t default_button);
  // A plain message box through the installed presenter.
  virtual uint32_t MessageBox(const runtime::MessageRequest& request);
  // The history window: the current message above the list of remembered
  // ones, one button per bit of view.buttons; returns the pressed button.
  // The default opens a runtime window on the calling thread when a renderer
  // is installed, and asks the message presenter when headless.
  virtual uint32_t HistoryMessage(const HistoryView& view);
  // Shows the history window captioned "Errors History" with OK and Help.
  virtual uint32_t ViewHistory();

 protected:
  // The substitution of `row` with the values stored now.
  std::string Substitute(const MessageRow& row) const;
  ErrorContext ContextFor(uint16_t id) const;
  // REQUIRES: mu_ held.
  ErrorContext ContextLocked(uint16_t id) const;
  void StoreErrors(const RuntimeError& error);
  Level Dispatch(const ErrorContext& context);
  // Appends one line to the error log; an empty string on success, else the
  // "Unable to ..." text to add to the message.
  std::string AppendToLog(const std::string& text);
  void Remember(const ErrorContext& context, const std::string& text);
  void EndProgram();

 private:
  platform::Env* const env_;
  const platform::Clock* const clock_;
  mutable std::mutex mu_;
  std::mutex log_mu_;  // lines of several threads must not share one end-of-file position
  MessageTable errors_;
  ProcedureNames procnames_;
  std::string field_name_;
  std::string file_name_;
  std::string message_text_;
  RuntimeError saved_;
  bool silent_ = false;
  bool log_errors_ = false;
  std::string log_path_{kLogFileName};
  std::string default_category_{MessageTable::kDefaultCategory};
  std::function<void(int)> exit_;
  std::vector<HistoryEntry> history_;
  int32_t history_threshold_ = 0;
  int32_t history_view_level_ = kLevelNotify;
  bool history_reset_on_view_ = false;
};

// Registers a procedure name for the calling thread while it lives:
//   ProcedureScope scope(errors, "send_mail");
// Owner thread only (it pops the name of the thread that made it).
class ProcedureScope {
 public:
  ProcedureScope(ErrorManager& errors, std::string_view name) : errors_(errors) {
    errors_.SetProcedureName(name);
  }
  ~ProcedureScope() { errors_.SetProcedureName(); }
  ProcedureScope(const ProcedureScope&) = delete;
  ProcedureScope& operator=(const ProcedureScope&) = delete;

 private:
  ErrorManager& errors_;
};

}  // namespace vm::framework
