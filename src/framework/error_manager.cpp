#include "framework/error_manager.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "framework/history_window.h"
#include "framework/substitution.h"
#include "framework/text_cut.h"
#include "runtime/window_system.h"

namespace vm::framework {
namespace {

// Every message of the manager reports an error condition: one that ends the
// program (everything TakeFatal shows) is an error of the log, the rest,
// which the program goes on from, warnings.
platform::DiagPriority LogPriority(const ErrorContext& context) {
  switch (context.row.fatality) {
    case kLevelBenign:
    case kLevelUser:
    case kLevelCancel:
    case kLevelNotify:
      return platform::DiagPriority::kWarning;
    default:
      return platform::DiagPriority::kError;
  }
}

std::string Cut(std::string_view s, size_t limit) {
  return CutUtf8(s, limit);
}

void EndProcess(int status) {
  // Other procedure threads may still run: end at once rather than run the
  // static destructors under them.
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

ErrorManager::ErrorManager(platform::Env* env, const platform::Clock* clock)
    : env_(env), clock_(clock), exit_(EndProcess) {
  errors_.AddBlock(StandardMessageBlock());
}

// ---- message table

platform::Status ErrorManager::AddErrors(const std::vector<uint8_t>& block) {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_.AddBlock(block);
}

void ErrorManager::AddErrors(const std::vector<MessageRow>& rows) {
  std::lock_guard<std::mutex> lock(mu_);
  errors_.Add(rows);
}

std::optional<MessageRow> ErrorManager::FindMessage(uint16_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return errors_.Find(id);
}

// ---- throwing

Level ErrorManager::Throw(uint16_t id, const RuntimeError& error) {
  ErrorValues v;
  v.error = error;
  return ThrowValues(id, v);
}

Level ErrorManager::ThrowFile(uint16_t id, std::string_view file_name, const RuntimeError& error) {
  ErrorValues v;
  v.file = std::string(file_name);
  v.error = error;
  return ThrowValues(id, v);
}

Level ErrorManager::ThrowMessage(uint16_t id, std::string_view message, const RuntimeError& error) {
  ErrorValues v;
  v.message = std::string(message);
  v.error = error;
  return ThrowValues(id, v);
}

Level ErrorManager::ThrowValues(uint16_t id, const ErrorValues& values) {
  ErrorContext context;
  {
    // Storing the values and substituting under one lock: another thread's
    // throw cannot slip its values into this message.
    std::lock_guard<std::mutex> lock(mu_);
    if (values.file) file_name_ = Cut(*values.file, kFieldLength);
    if (values.field) field_name_ = Cut(*values.field, kFieldLength);
    if (values.message) message_text_ = Cut(*values.message, kFieldLength);
    StoreErrors(values.error);
    context = ContextLocked(id);
  }
  return Dispatch(context);
}

void ErrorManager::SetField(std::string_view name) {
  std::lock_guard<std::mutex> lock(mu_);
  field_name_ = Cut(name, kFieldLength);
}

void ErrorManager::SetFile(std::string_view name) {
  std::lock_guard<std::mutex> lock(mu_);
  file_name_ = Cut(name, kFieldLength);
}

void ErrorManager::SetMessageText(std::string_view text) {
  std::lock_guard<std::mutex> lock(mu_);
  message_text_ = Cut(text, kFieldLength);
}

void ErrorManager::SetErrors(const RuntimeError& error) {
  std::lock_guard<std::mutex> lock(mu_);
  StoreErrors(error);
}

// REQUIRES: mu_ held.
void ErrorManager::StoreErrors(const RuntimeError& error) {
  saved_ = error;
  saved_.text = Cut(saved_.text, kFieldLength);
  saved_.file_code = Cut(saved_.file_code, kFieldLength);
  saved_.file_text = Cut(saved_.file_text, kFieldLength);
}

Level ErrorManager::TakeError(uint16_t id) {
  return Dispatch(ContextFor(id));
}

std::string ErrorManager::SubstitutedText(uint16_t id) const {
  return ContextFor(id).text;
}

ErrorContext ErrorManager::ContextFor(uint16_t id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return ContextLocked(id);
}

// REQUIRES: mu_ held.
ErrorContext ErrorManager::ContextLocked(uint16_t id) const {
  ErrorContext c;
  c.id = id;
  if (auto row = errors_.Find(id)) {
    c.row = std::move(*row);
  } else {
    // An id the table does not know: say so rather than show nothing.
    c.row.id = id;
    c.row.title = "Unknown Error";
    c.row.message = "Error number " + std::to_string(id) + " has no message.";
    c.row.fatality = static_cast<uint8_t>(kLevelNotify);
  }
  if (c.row.category.empty()) c.row.category = default_category_;
  c.text = Substitute(c.row);
  return c;
}

// REQUIRES: mu_ held.
std::string ErrorManager::Substitute(const MessageRow& row) const {
  SubstitutionValues v;
  v.file = file_name_;
  v.field = field_name_;
  v.message = message_text_;
  v.error = saved_;
  v.procedure = procnames_.Current(runtime::CurrentThread());
  v.category = row.category;
  if (!history_.empty()) v.previous = history_.back().text;
  return SubstitutePlaceHolders(row.message, v, kWorkBufferLength);
}

Level ErrorManager::Dispatch(const ErrorContext& context) {
  switch (context.row.fatality) {
    case kLevelBenign:
      return TakeBenign(context);
    case kLevelUser:
    case kLevelCancel:
      return TakeUser(context);
    case kLevelProgram:
      return TakeProgram(context);
    case kLevelFatal:
      return TakeFatal(context);
    case kLevelNotify:
      return TakeNotify(context);
    default:
      return TakeOther(context);
  }
}

// ---- procedure names

void ErrorManager::SetProcedureName(std::string_view name) {
  procnames_.Push(runtime::CurrentThread(), Cut(name, kFieldLength));
}

void ErrorManager::SetProcedureName() {
  procnames_.Pop(runtime::CurrentThread());
}

std::optional<std::string> ErrorManager::ProcedureName() const {
  return procnames_.Current(runtime::CurrentThread());
}

// ---- switches

void ErrorManager::SetSilent(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  silent_ = on;
}

bool ErrorManager::silent() const {
  std::lock_guard<std::mutex> lock(mu_);
  return silent_;
}

void ErrorManager::SetLogErrors(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  log_errors_ = on;
}

bool ErrorManager::log_errors() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_errors_;
}

void ErrorManager::SetLogPath(std::string path) {
  std::lock_guard<std::mutex> lock(mu_);
  log_path_ = std::move(path);
}

void ErrorManager::SetExitHandler(std::function<void(int)> exit_handler) {
  std::lock_guard<std::mutex> lock(mu_);
  exit_ = exit_handler ? std::move(exit_handler) : EndProcess;
}

void ErrorManager::SetDefaultCategory(std::string_view category) {
  std::lock_guard<std::mutex> lock(mu_);
  default_category_ = std::string(category);
}

// ---- history

void ErrorManager::SetHistoryThreshold(int32_t threshold) {
  std::lock_guard<std::mutex> lock(mu_);
  history_threshold_ = threshold < 0 ? 0 : threshold;
  while (history_.size() > static_cast<size_t>(history_threshold_))
    history_.erase(history_.begin());
}

int32_t ErrorManager::history_threshold() const {
  std::lock_guard<std::mutex> lock(mu_);
  return history_threshold_;
}

void ErrorManager::SetHistoryViewLevel(int32_t level) {
  std::lock_guard<std::mutex> lock(mu_);
  history_view_level_ = level;
}

void ErrorManager::SetHistoryResetOnView(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  history_reset_on_view_ = on;
}

std::vector<HistoryEntry> ErrorManager::History() const {
  std::lock_guard<std::mutex> lock(mu_);
  return history_;
}

void ErrorManager::ResetHistory() {
  std::lock_guard<std::mutex> lock(mu_);
  history_.clear();
}

void ErrorManager::Remember(const ErrorContext& context, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (history_threshold_ <= 0) return;
  while (history_.size() >= static_cast<size_t>(history_threshold_))
    history_.erase(history_.begin());
  history_.push_back({context.row.category, Cut(text, kHistoryTextLength), context.id});
}

// ---- the take-operations

Level ErrorManager::TakeBenign(const ErrorContext&) {
  return kLevelBenign;
}

Level ErrorManager::TakeUser(const ErrorContext& context) {
  const uint32_t answer = Message(context, context.text, runtime::MessageIcon::kExclamation,
                                  runtime::kButtonYes | runtime::kButtonNo, runtime::kButtonYes);
  return answer == runtime::kButtonYes ? kLevelBenign : kLevelCancel;
}

Level ErrorManager::TakeProgram(const ErrorContext& context) {
  return TakeFatal(context);
}

Level ErrorManager::TakeFatal(const ErrorContext& context) {
  Message(context, context.text + std::string(kFatalSuffix), runtime::MessageIcon::kInformation,
          runtime::kButtonOk, runtime::kButtonOk);
  EndProgram();
  return kLevelFatal;
}

Level ErrorManager::TakeNotify(const ErrorContext& context) {
  Message(context, context.text, runtime::MessageIcon::kInformation, runtime::kButtonOk,
          runtime::kButtonOk);
  return kLevelNotify;
}

Level ErrorManager::TakeOther(const ErrorContext& context) {
  return TakeProgram(context);
}

void ErrorManager::EndProgram() {
  std::function<void(int)> end;
  {
    std::lock_guard<std::mutex> lock(mu_);
    end = exit_;
  }
  end(kFatalExitStatus);
}

// ---- showing

uint32_t ErrorManager::Message(const ErrorContext& context, const std::string& text,
                               runtime::MessageIcon icon, uint32_t buttons,
                               uint32_t default_button) {
  std::string shown = text;
  bool silent = false;
  bool history_on = false;
  bool view_history = false;
  bool reset_on_view = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    silent = silent_;
    history_on = history_threshold_ > 0;
    view_history = context.row.fatality == history_view_level_;
    reset_on_view = history_reset_on_view_;
  }
  if (log_errors()) {
    const std::string failure = AppendToLog(text);
    if (!failure.empty()) shown += "|" + failure;
  }
  Remember(context, shown);
  runtime::MessageRequest request{shown, context.row.title, icon, buttons, default_button, {}};
  request.priority = LogPriority(context);
  if (silent) return request.EffectiveDefault();
  if (!history_on || !view_history) return MessageBox(request);
  HistoryView view{context.row.title, shown, icon, buttons, default_button, History(), {}};
  view.priority = request.priority;
  const uint32_t answer = HistoryMessage(view);
  if (reset_on_view) ResetHistory();
  return answer;
}

uint32_t ErrorManager::MessageBox(const runtime::MessageRequest& request) {
  return runtime::Message(request);
}

uint32_t ErrorManager::HistoryMessage(const HistoryView& view) {
  if (runtime::CurrentRenderer() != nullptr) return RunHistoryWindow(view);
  // Headless: the presenter answers as it does for any message.
  return MessageBox(
      {view.text, view.caption, view.icon, view.buttons, view.default_button, view.priority});
}

uint32_t ErrorManager::ViewHistory() {
  HistoryView view;
  view.caption = std::string(kHistoryCaption);
  view.buttons = runtime::kButtonOk | runtime::kButtonHelp;
  view.default_button = runtime::kButtonOk;
  bool reset_on_view = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    view.entries = history_;
    if (!history_.empty()) view.text = history_.back().text;
    reset_on_view = history_reset_on_view_;
  }
  const uint32_t answer = HistoryMessage(view);
  if (reset_on_view) ResetHistory();
  return answer;
}

}  // namespace vm::framework
