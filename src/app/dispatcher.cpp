#include "app/dispatcher.h"

#include <chrono>
#include <functional>
#include <optional>

#include "app/attachment_limit.h"
#include "app/mail_settings.h"
#include "app/procedure_scope.h"
#include "app/records.h"
#include "mail/net_email_send.h"
#include "runtime/fixed_text.h"
#include "runtime/window.h"

namespace vm::app {
namespace {

constexpr int kProgressControl = 1;

// Moves ?PROGRESS1 for the mail object.
class WindowProgress final : public mail::ProgressView {
 public:
  explicit WindowProgress(runtime::Window* w) : w_(w) {}
  void SetRange(int32_t control, int32_t low, int32_t high) override {
    w_->control(control).set_range(low, high);
  }
  void SetVisible(int32_t control, bool visible) override {
    w_->control(control).set_visible(visible);
  }
  void SetValue(int32_t control, int32_t value) override {
    w_->control(control).set_value(int64_t{value});
  }
  void Redisplay(int32_t control) override { w_->model()->Announce(control); }

 private:
  runtime::Window* w_;
};

// The mail object with its two notifications replaced: each sets the outcome
// pair and asks the window to close.
class DispatchMailer final : public mail::NetEmailSend {
 public:
  DispatchMailer(runtime::Window* w, SendOutcome* outcome) : w_(w), outcome_(outcome) {}
  // The class's own ErrorTrap closes the connection after most failures, and
  // the close leaves ERROR at 0, which the log also uses for a message sent.
  // So the code stored is the first that names the failure: ERROR after the
  // class's handling, else ERROR as it was when the failure was reported (the
  // socket or library number), else the server's reply code (550).
  void ErrorTrap(std::string_view text, std::string_view function) override {
    const int32_t reported = ERROR;
    NetEmailSend::ErrorTrap(text, function);
    // The outcome of the message is the reply to its end of data: whatever
    // the connection does after the server accepted it changes nothing.
    if (sent_) return;
    const int32_t server = SERVERERRORNUM;
    outcome_->text = ERRORSTRING;
    outcome_->code = static_cast<int16_t>(ERROR != 0 ? ERROR : reported != 0 ? reported : server);
    reported_ = true;
    w_->Post(runtime::kEventCloseWindow);
  }
  void MessageSent() override {
    NetEmailSend::MessageSent();
    outcome_->text = sent_text_;
    outcome_->code = 0;
    sent_ = true;
    reported_ = true;
    w_->Post(runtime::kEventCloseWindow);
  }
  bool reported() const { return reported_; }
  // The outcome text stored once the server accepts the message.
  void SetSentText(std::string text) { sent_text_ = std::move(text); }

 private:
  runtime::Window* w_;
  SendOutcome* outcome_;
  std::string sent_text_{kSentText};
  bool sent_ = false;
  bool reported_ = false;
};

// Opens the recording the way a file of someone else's tree must be opened
// (Env::OpenForReading: read only, no lock, no link, the listed file); every
// other open goes on as asked.
class RecordingEnv final : public platform::EnvWrapper {
 public:
  RecordingEnv(platform::Env* target, std::string path, platform::FileId listed)
      : EnvWrapper(target), path_(std::move(path)), listed_(listed) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    if (path == path_ && access == platform::Access::kRead) return TakeRecording();
    return EnvWrapper::OpenFile(path, access, share, disposition);
  }

  // Opens the recording ahead of the mail object, so its size can be
  // weighed against the limit. The mail object's open then gets this very
  // file, or the same failure: the name is opened once, and nothing swapped
  // in under it afterwards is read.
  platform::Result<uint64_t> RecordingSize() {
    if (!ahead_) ahead_.emplace(OpenForReading(path_, &listed_));
    if (!ahead_->ok()) return ahead_->status();
    return ahead_->value()->Size();
  }

 private:
  platform::Result<std::unique_ptr<platform::File>> TakeRecording() {
    if (!ahead_) return OpenForReading(path_, &listed_);
    platform::Result<std::unique_ptr<platform::File>> taken = std::move(*ahead_);
    ahead_.reset();
    return taken;
  }

  std::string path_;
  platform::FileId listed_;
  std::optional<platform::Result<std::unique_ptr<platform::File>>> ahead_;
};

// Whether the server may have the whole message: its end line has been
// handed to the connection (every byte of the message is queued before the
// state moves to sending) and nothing of it is left in the outgoing queue.
bool PastEndOfData(DispatchMailer* m) {
  if (m->_STATE != mail::kEsSendingData) return false;
  m->GetOutgoingPackets(2);
  return m->OUTGOINGDLLPACKETSBYTES == 0;
}

// Seconds of a limit in milliseconds, as the outcome texts say them.
std::string SecondsOf(int32_t ms) {
  return std::to_string(ms / 1000);
}

bool PathEndsWithName(const std::string& path, const std::string& name) {
  const size_t slash = path.rfind('/');
  return slash != std::string::npos && path.compare(slash + 1, std::string::npos, name) == 0;
}

void SetBody(DispatchMailer* m, const std::string& body) {
  m->SetRequiredMessageSize(0, static_cast<int64_t>(body.size()), 0);
  m->SetMessageText(body);
}

void FillMailObject(DispatchMailer* m, const ControlRow& con, const ProcessedRow& pro) {
  m->SERVER = con.smtp_server;
  m->PORT = static_cast<uint16_t>(con.port);
  m->TOLIST = pro.email_address;
  m->CCLIST = pro.cc_email_address;
  m->FROM = con.from;
  m->SUBJECT = con.subject;
  std::string body;
  m->ClearAttachmentFiles();
  if (IsYes(pro.send_attachment)) {
    // The recording is named literally: a list would read quotes, commas
    // and "|" in a file name as list syntax.
    m->ATTACHMENTLIST.clear();
    m->AddAttachmentFile(pro.full_path);
    body = con.attachment_body;
  } else {
    m->ATTACHMENTLIST.clear();
    body = con.nonattachment_body;
  }
  SetBody(m, std::string(runtime::Clip(body)));
}

// A recording over the limit is mailed without itself: the body of a
// message without the recording, one line that says why, and an outcome
// that says so too, so the log tells the operator where the recording went.
void LeaveOutLargeRecording(DispatchMailer* m, const ControlRow& con, const ProcessedRow& pro,
                            uint64_t size, int64_t limit_mb) {
  m->ClearAttachmentFiles();
  std::string body(runtime::Clip(con.nonattachment_body));
  if (!body.empty()) body += "\r\n\r\n";
  body += TooLargeToAttachLine(pro.filename, size, limit_mb);
  SetBody(m, body);
  m->SetSentText(SentWithoutAttachmentText(size, limit_mb));
}

// REQUIRES: the row's recording is to be attached.
// A recording that cannot be opened or measured is left to the mail object,
// which reports that as it always does.
void ApplyAttachmentLimit(DispatchMailer* m, RecordingEnv* env, const ControlRow& con,
                          const ProcessedRow& pro, const DispatchOptions& options) {
  const int64_t limit =
      options.mail != nullptr ? options.mail->max_attachment_mb : kDefaultMaxAttachmentMb;
  const platform::Result<uint64_t> size = env->RecordingSize();
  if (size.ok() && TooLargeToAttach(size.value(), limit))
    LeaveOutLargeRecording(m, con, pro, size.value(), limit);
}

}  // namespace

void ActualSend(GatewayFiles& files, SendOutcome* outcome, const DispatchOptions& options,
                const platform::FileId* listed) {
  ProcedureScope procedure(options.errors, "ActualSend");
  outcome->code = 0;
  outcome->text = kNoOutcomeText;
  outcome->stopped = false;
  OpenTable control(files, Table::kControl);
  OpenTable processed(files, Table::kProcessedFiles);
  const ControlRow con = ReadControl(files.control().buffer());
  const ProcessedRow pro = ReadProcessed(files.processed().buffer());

  runtime::Window w("");
  w.AddProgress("?PROGRESS1");
  w.SetTimer(options.progress_timer);
  WindowProgress progress(&w);
  DispatchMailer mailer(&w, outcome);
  platform::Env* const env = options.env != nullptr ? options.env : platform::Env::Default();
  // Which file the attachment must be: the one listed, else the one the path
  // names now, and never a link or anything but a regular file.
  const platform::Result<platform::FileId> recording =
      listed != nullptr            ? platform::Result<platform::FileId>(*listed)
      : IsYes(pro.send_attachment) ? env->IdentifyRegular(pro.full_path)
                                   : platform::Result<platform::FileId>(platform::FileId{});
  RecordingEnv recording_env(env, pro.full_path,
                             recording.ok() ? recording.value() : platform::FileId{});
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options.send_timeout_ms);
  bool stop_seen = false;  // a stop came after the end of data: the reply is waited for
  auto stop_deadline = deadline;
  std::function<void()> while_connecting = options.while_connecting;
  const auto run_while_connecting = [&while_connecting] {
    if (!while_connecting) return;
    const std::function<void()> work = std::move(while_connecting);
    while_connecting = nullptr;
    work();
  };

  while (auto ev = w.Accept()) {
    if (ev->is(runtime::EventKind::kOpenWindow)) {
      mailer.SUPPRESSERRORMSG = 1;
      mailer.Init();
      mailer.PROGRESSCONTROL = kProgressControl;
      mailer.SetProgressView(&progress);
      mailer.SetReplyTimeoutMs(options.reply_timeout_ms);
      mailer.SetEnv(&recording_env);
      FillMailObject(&mailer, con, pro);
      if (options.mail != nullptr) ApplyMailSettings(*options.mail, &mailer);
      w.Display();
      if (IsYes(pro.send_attachment) && !PathEndsWithName(pro.full_path, pro.filename)) {
        // PRO:FULLPATH holds 255 characters: a longer path was cut and
        // would name another file.
        run_while_connecting();
        mailer.ERROR = mail::kNetErrFile;
        mailer.ErrorTrap(
            "The recording's path is longer than the 255 characters kept for it: " + pro.full_path,
            "ActualSend");
        continue;
      }
      if (IsYes(pro.send_attachment) && !recording.ok() &&
          recording.status().code() != platform::Code::kNotFound) {
        // A link (or a FIFO, a device) where the recording was: never read.
        run_while_connecting();
        mailer.ERROR = mail::kNetErrFile;
        mailer.ErrorTrap("The recording is not sent: " + recording.status().message(),
                         "ActualSend");
        continue;
      }
      if (IsYes(pro.send_attachment))
        ApplyAttachmentLimit(&mailer, &recording_env, con, pro, options);
      mailer.SendMail(2);
      run_while_connecting();
      w.Display();
      continue;
    }
    if (ev->is(runtime::EventKind::kCloseWindow)) break;
    mailer.TakeEvent(ev->number);
    if (!ev->is(runtime::EventKind::kTimer)) continue;
    mailer.CalcProgress();
    if (mailer.reported() || outcome->stopped) continue;
    const auto now = std::chrono::steady_clock::now();
    if (options.stop != nullptr && options.stop->load() && !stop_seen) {
      if (!PastEndOfData(&mailer)) {
        // The server never had the whole message: nothing is lost by
        // leaving it for the next run, and a message half sent is dropped.
        mailer.Abort();
        outcome->stopped = true;
        outcome->text = "stopped before the end of the message was sent";
        w.Close();
        continue;
      }
      stop_seen = true;
      stop_deadline = now + std::chrono::milliseconds(options.stop_grace_ms);
    }
    if (now >= deadline) {
      mailer.ERROR = mail::kNetErrTimeout;
      mailer.ErrorTrap(
          "The message was not sent within " + SecondsOf(options.send_timeout_ms) + " seconds",
          "ActualSend");
    } else if (stop_seen && now >= stop_deadline) {
      mailer.ERROR = mail::kNetErrTimeout;
      mailer.ErrorTrap("No reply to the end of the message within " +
                           SecondsOf(options.stop_grace_ms) + " seconds of the stop request",
                       "ActualSend");
    }
  }
  run_while_connecting();  // the window closed before it opened
  mailer.Kill();
}

}  // namespace vm::app
