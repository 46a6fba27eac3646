#include "app/test_mail.h"

#include <algorithm>
#include <chrono>

#include "mail/net_email_send.h"
#include "net/event_poster.h"

namespace vm::app {
namespace {

constexpr char kSubject[] = "voicemail-mailer test mail";

// The mail object reporting the dialogue and its outcome. Of the traces
// only the dialogue's own lines are shown: commands as sent (credentials
// already masked by the mail object), replies, and the TLS session.
class TestMailer final : public mail::NetEmailSend {
 public:
  TestMailer(const std::function<void(std::string)>* line, TestMailOutcome* outcome)
      : line_(line), outcome_(outcome) {}
  ~TestMailer() override { Kill(); }

  void Trace(std::string_view message, std::string_view) override {
    for (std::string_view prefix : {"C: ", "S: ", "TLS: "}) {
      if (message.substr(0, prefix.size()) != prefix) continue;
      (*line_)(std::string(message));
      // The message itself is not shown line by line, only its size.
      if (message.substr(0, 7) == "S: 354 " && DATAQUEUE != nullptr && !DATAQUEUE->empty()) {
        (*line_)("C: (the message, " + std::to_string(DATAQUEUE->front().WHOLEMESSAGELEN) +
                 " bytes, and the line \".\")");
      }
      return;
    }
  }
  // The first failure is the outcome; what the close after it reports
  // changes nothing. The code is the first that names the failure, as a
  // pass stores it.
  void ErrorTrap(std::string_view text, std::string_view function) override {
    const int32_t reported = ERROR;
    NetEmailSend::ErrorTrap(text, function);
    if (done_) return;
    done_ = true;
    outcome_->accepted = false;
    outcome_->code = ERROR != 0 ? ERROR : reported != 0 ? reported : SERVERERRORNUM;
    outcome_->text = ERRORSTRING;
  }
  void MessageSent() override {
    NetEmailSend::MessageSent();
    if (done_) return;
    done_ = true;
    outcome_->accepted = true;
    outcome_->code = 0;
    outcome_->text = "Nil";
  }
  bool done() const { return done_; }
  // The dialogue has ended: nothing queued, the connection closed.
  bool finished() const {
    return DATAQUEUE != nullptr && DATAQUEUE->empty() && OPENFLAG == 0 &&
           _STATE == mail::kEsNotConnected;
  }

 private:
  const std::function<void(std::string)>* line_;
  TestMailOutcome* outcome_;
  bool done_ = false;
};

std::string Body(const TestMail& m) {
  return "This is a test message from voicemail-mailer, sent with the settings of " +
         (m.dir.empty() ? std::string(".") : m.dir) +
         ".\r\nWhen it arrives, the recordings of the voice-mail system will too.\r\n";
}

void Prepare(TestMailer* m, const TestMail& t) {
  m->SUPPRESSERRORMSG = 1;
  m->Init();
  m->SERVER = t.server;
  m->PORT = t.port;
  m->TOLIST = t.to;
  m->FROM = t.from;
  m->SUBJECT = kSubject;
  m->SetReplyTimeoutMs(t.reply_timeout_ms);
  ApplyMailSettings(t.mail, m);
  const std::string body = Body(t);
  m->SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
  m->SetMessageText(body);
}

}  // namespace

std::optional<Refusal> CheckTestAddress(std::string_view to) {
  if (auto r = CheckText(to, mail::kListWidth, true, "one address: user@host or Name <user@host>"))
    return r;
  if (!IsAddressList(to, true))
    return Refusal{"is not an address", "one address: user@host or Name <user@host>"};
  return std::nullopt;
}

TestMail MakeTestMail(const ControlRow& record, const MailSettings& mail, std::string to,
                      std::string dir) {
  TestMail t;
  t.server = record.smtp_server;
  t.port = static_cast<uint16_t>(record.port);
  t.from = record.from;
  t.to = std::move(to);
  t.mail = mail;
  t.dir = std::move(dir);
  return t;
}

std::string TestMailHeading(const TestMail& t) {
  std::string line = "Sending a test mail to " + t.to + " through " + t.server + " port " +
                     std::to_string(t.port) + ", security " +
                     std::string(SecurityWord(t.mail.security));
  if (t.mail.security != mail::Security::kNone && !t.mail.tls.verify)
    line += " (certificate not checked)";
  line += t.mail.login() ? ", login as " + t.mail.user : ", no login";
  return line;
}

TestMailOutcome SendTestMail(const TestMail& t, const std::function<void(std::string)>& line,
                             const std::atomic<bool>* stop) {
  TestMailOutcome outcome;
  outcome.text = "The send ended without a report from the mail object";
  net::OwnerEventQueue queue;
  TestMailer m(&line, &outcome);
  Prepare(&m, t);
  m.SendMail(2);
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(t.send_timeout_ms);
  bool outcome_known = false;
  // Once the outcome is known, the QUIT and the close get a moment to show
  // in the transcript; Kill ends whatever is left.
  while (!m.finished() && Clock::now() < deadline) {
    if (stop != nullptr && stop->load() && !m.done()) {
      m.ERROR = mail::kNetErrTimeout;
      m.ErrorTrap("The test mail was stopped", "SendTestMail");
    }
    if (m.done() && !outcome_known) {
      outcome_known = true;
      deadline = std::min(deadline, Clock::now() + std::chrono::seconds(2));
    }
    if (auto e = queue.Wait(std::chrono::milliseconds(50))) m.TakeEvent(*e);
  }
  if (!m.done()) {
    m.ERROR = mail::kNetErrTimeout;
    m.ErrorTrap(
        "The message was not sent within " + std::to_string(t.send_timeout_ms / 1000) + " seconds",
        "SendTestMail");
  }
  return outcome;
}

std::string TestMailVerdict(const TestMailOutcome& outcome) {
  if (outcome.accepted) return "Accepted: the server took the message.";
  return "Not accepted: " + std::to_string(outcome.code) + " " + outcome.text;
}

}  // namespace vm::app
