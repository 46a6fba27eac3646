#include "app/security_window.h"

#include <chrono>
#include <mutex>
#include <vector>

#include "app/procedure_scope.h"
#include "app/retry_policy.h"
#include "app/settings_record.h"
#include "app/test_mail.h"
#include "app/value_rules.h"
#include "framework/error_manager.h"
#include "runtime/message_box.h"
#include "runtime/thread.h"

namespace vm::app {

constexpr char kCaption[] = "Mail Security";

// A test mail on a thread of its own, so the window stays live while the
// server takes its time. Its lines are collected here and the window is
// told (kEventTestMailLines); the window's thread shows them.
struct SecurityWindow::TestRun {
  std::mutex mu;
  std::vector<std::string> lines;  // not yet shown
  bool done = false;
  std::atomic<bool> stop{false};
  runtime::ThreadId thread = 0;
};

namespace {

void SetParent(runtime::Window* w, const runtime::ControlRef& c, int parent) {
  w->model()->Modify(c.number(), [parent](runtime::Control& x) { x.parent = parent; });
}

}  // namespace

SecurityWindow::SecurityWindow(runtime::Window* w, std::string dir, framework::ErrorManager* errors)
    : window_(w), dir_(std::move(dir)), errors_(errors) {
  const auto value = [&](const char* prompt, const char* key, runtime::ControlRef control) {
    values_.push_back(Value{key, control, prompt, ""});
  };
  w->AddPrompt("Security:");
  value("Security", kKeySecurity, w->AddDropList("?SECURITY", {"none", "starttls", "tls"}));
  w->AddPrompt("User:");
  value("User", kKeyUser, w->AddEntry("?USER", "@S255"));
  w->AddPrompt("Password:");
  password_ = w->AddSecretEntry("?PASSWORD", "@S255");
  password_state_ = w->AddString("?PASSWORDSTATE", "@S30");
  SetParent(w, password_state_, password_.number());
  w->AddPrompt("CA File:");
  value("CA File", kKeyCaFile, w->AddEntry("?CAFILE", "@S255"));
  w->AddPrompt("Verify Certificate:");
  value("Verify Certificate", kKeyVerify, w->AddDropList("?VERIFY", {"yes", "no"}));
  w->AddPrompt("HELO Name:");
  value("HELO Name", kKeyHeloName, w->AddEntry("?HELONAME", "@S64"));
  w->AddPrompt("Max Attachment (MB):");
  value("Max Attachment", kKeyMaxAttachment, w->AddEntry("?MAXATTACHMENT", "@S4"));
  w->AddPrompt("Retry For (hours):");
  value("Retry For", kKeyRetryFor, w->AddEntry("?RETRYFOR", "@S3"));
  // Not a mail setting, but a setting of the same file: kept with them.
  w->AddPrompt("Settle Seconds:");
  value("Settle Seconds", kKeySettle, w->AddEntry("?SETTLE", "@S4"));

  const int group = w->AddGroup("Test Mail").number();
  SetParent(w, w->AddPrompt("Send To:"), group);
  address_ = w->AddEntry("?TESTADDRESS", "@S255");
  SetParent(w, address_, group);
  send_test_ = w->AddButton("?SENDTEST", "Send Test Mail");
  SetParent(w, send_test_, group);
  transcript_ = w->AddText("?TRANSCRIPT");
  w->model()->Modify(transcript_.number(), [group](runtime::Control& c) {
    c.read_only = true;
    c.parent = group;
  });
  ok_ = w->AddButton("?OK", "OK");
  cancel_ = w->AddButton("?CANCEL", "Cancel");
}

SecurityWindow::~SecurityWindow() {
  if (test_ == nullptr) return;
  // The test mail sees the flag within a fraction of a second and closes.
  test_->stop = true;
  while (!runtime::WaitThread(test_->thread, std::chrono::milliseconds(500))) {
  }
}

bool SecurityWindow::Open() {
  platform::Result<SettingsFile> file = SettingsFile::Read(dir_);
  if (!file.ok()) {
    runtime::Message(file.status().message(), kCaption, runtime::MessageIcon::kStop);
    return false;
  }
  for (Value& v : values_) {
    v.opened = file->Text(v.key);
    v.control.set_value(v.opened);
  }
  password_state_.set_value(
      file->IsSet(kKeyPassword) && !file->Text(kKeyPassword).empty() ? "(set)" : "(not set)");
  // Lines of the file that were left out say so where the operator looks.
  std::string notes;
  for (const std::string& p : file->problems()) notes += "Ignored " + p + "\n";
  transcript_.set_value(notes);
  return true;
}

bool SecurityWindow::HandleEvent(const runtime::Event& ev) {
  if (ev.accepted(password_.number())) {
    if (auto typed = window_->model()->TakeSecret(password_.number())) {
      typed_password_ = std::move(typed);
      password_state_.set_value("(new: stored with OK)");
    }
  } else if (ev.accepted(send_test_.number())) {
    StartTest();
  } else if (ev.is(runtime::EventKind::kUser) && ev.number == kEventTestMailLines) {
    ShowTestLines();
  } else if (ev.accepted(ok_.number())) {
    return ValuesPass() && Store();
  } else if (ev.accepted(cancel_.number())) {
    return true;
  }
  return false;
}

std::string SecurityWindow::ValueOf(const char* key) const {
  for (const Value& v : values_) {
    if (std::string_view(v.key) == key) return v.control.value();
  }
  return {};
}

void SecurityWindow::RefuseValue(const std::string& field, const std::string& allowed) {
  if (errors_ != nullptr) {
    framework::ErrorManager::ErrorValues values;
    values.field = field;
    values.message = allowed;
    errors_->ThrowValues(kMsgValueRefused, values);
    return;
  }
  runtime::Message("The value of " + field + " must be " + allowed + ".", "Value Error",
                   runtime::MessageIcon::kExclamation);
}

bool SecurityWindow::ValuesPass() {
  const std::vector<SettingKey>& keys = ProgramSettingKeys();
  for (const Value& v : values_) {
    if (auto refusal = CheckSettingValue(*FindSettingKey(keys, v.key), v.control.value())) {
      RefuseValue(v.field, refusal->allowed);
      return false;
    }
  }
  if (typed_password_) {
    if (auto r = CheckSettingValue(*FindSettingKey(keys, kKeyPassword), *typed_password_)) {
      RefuseValue("Password", r->allowed);
      return false;
    }
  }
  return true;
}

// Only what changed here is written, so a value another command set while
// the window was open stays.
bool SecurityWindow::Store() {
  std::string error;
  auto lock = SettingsWriteLock::Acquire(dir_, std::chrono::seconds(10), &error);
  platform::Result<SettingsFile> file =
      lock != nullptr ? SettingsFile::Read(dir_)
                      : platform::Result<SettingsFile>(
                            platform::Status::Error(platform::Code::kAccessDenied, error));
  platform::Status s = file.status();
  if (file.ok()) {
    for (const Value& v : values_) {
      if (v.control.value() != v.opened) file->Set(v.key, v.control.value());
    }
    if (typed_password_) file->Set(kKeyPassword, *typed_password_);
    s = file->Write();
  }
  if (!s.ok()) {
    runtime::Message("The settings were not stored: " + s.message(), kCaption,
                     runtime::MessageIcon::kStop);
    return false;
  }
  typed_password_.reset();
  return true;
}

MailSettings SecurityWindow::Typed() const {
  MailSettings m;
  ParseSecurity(ValueOf(kKeySecurity), &m.security);
  m.user = ValueOf(kKeyUser);
  m.tls.ca_file = ValueOf(kKeyCaFile);
  m.tls.verify = ValueOf(kKeyVerify) == "yes";
  m.helo_name = ValueOf(kKeyHeloName);
  return m;
}

void SecurityWindow::StartTest() {
  if (test_ != nullptr || !ValuesPass()) return;
  const std::string to = address_.value();
  if (auto refusal = CheckTestAddress(to)) return RefuseValue("Send To", refusal->allowed);
  auto record = ReadSettingsRecord(dir_);
  platform::Result<SettingsFile> file = SettingsFile::Read(dir_);
  std::string problem = !record.ok() ? record.status().message()
                        : !file.ok() ? file.status().message()
                        : (!record->has_value() || (*record)->smtp_server.empty())
                            ? "No mail server is set: set one in the Control File window."
                            : "";
  if (!problem.empty()) {
    runtime::Message(problem, kCaption, runtime::MessageIcon::kStop);
    return;
  }
  MailSettings mail = Typed();
  mail.password = typed_password_ ? *typed_password_ : file->Text(kKeyPassword);
  const TestMail t = MakeTestMail(**record, mail, to, dir_);
  transcript_.set_value(TestMailHeading(t) + "\n");
  send_test_.set_enabled(false);
  test_ = std::make_shared<TestRun>();
  test_->thread = runtime::StartThread([run = test_, t, model = window_->model()] {
    const auto add = [&](std::string line) {
      std::lock_guard<std::mutex> lock(run->mu);
      run->lines.push_back(std::move(line));
    };
    const TestMailOutcome outcome = SendTestMail(
        t,
        [&](std::string line) {
          add(std::move(line));
          model->Post(kEventTestMailLines);
        },
        &run->stop);
    add(TestMailVerdict(outcome));
    {
      std::lock_guard<std::mutex> lock(run->mu);
      run->done = true;
    }
    model->Post(kEventTestMailLines);
  });
}

void SecurityWindow::ShowTestLines() {
  if (test_ == nullptr) return;
  std::vector<std::string> lines;
  bool done = false;
  {
    std::lock_guard<std::mutex> lock(test_->mu);
    lines.swap(test_->lines);
    done = test_->done;
  }
  std::string text = transcript_.value();
  for (const std::string& l : lines) text += l + "\n";
  transcript_.set_value(std::move(text));
  if (done) EndTest();
}

void SecurityWindow::EndTest() {
  while (!runtime::WaitThread(test_->thread, std::chrono::milliseconds(500))) {
  }
  test_.reset();
  send_test_.set_enabled(true);
}

void Mail_Security(const WindowOptions& options) {
  ProcedureScope procedure(options.errors, "Mail_Security");
  runtime::Window window(kCaption);
  SecurityWindow security(&window, options.data_dir, options.errors);
  if (!security.Open()) return;
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (security.HandleEvent(*ev)) window.Close();
  }
}

}  // namespace vm::app
