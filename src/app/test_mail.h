// One short message sent with the gateway's settings to an address the
// operator names, the dialogue shown line by line as it goes: what the
// `test-mail` command and the security window's "Send Test Mail" button
// run to show whether the mail server takes the gateway's mail. The
// transcript never holds a credential (the mail object masks them as
// "****"). SendTestMail runs on the calling thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "app/mail_settings.h"
#include "app/records.h"
#include "app/value_rules.h"

namespace vm::app {

struct TestMail {
  std::string server;
  uint16_t port = 25;
  std::string from;
  std::string to;
  MailSettings mail;
  std::string dir;  // the working directory, named in the body
  // Longest wait for one reply, and for the whole message.
  int32_t reply_timeout_ms = 30000;
  int32_t send_timeout_ms = 120000;
};

struct TestMailOutcome {
  bool accepted = false;  // the server took the message
  int32_t code = 0;       // the failure's number (server reply or library error)
  std::string text;       // "Nil" when accepted, else the failure's text
};

// nullopt when `to` is one address the mail object reads as typed.
std::optional<Refusal> CheckTestAddress(std::string_view to);

// The test mail to `to` with the settings record `record` and `mail`.
TestMail MakeTestMail(const ControlRow& record, const MailSettings& mail, std::string to,
                      std::string dir);

// The line that says what is tried: server, port, security and login.
std::string TestMailHeading(const TestMail& mail);

// Sends `mail`, giving each line of the dialogue to `line` as it happens
// ("C: EHLO host", "S: 250 ...", "TLS: TLSv1.3 ..."), and returns the
// outcome. Bounded by the mail's time limits; `stop` (may be null), set
// from another thread, ends it early as a failure.
// REQUIRES: the networking runtime runs, and the calling thread has no
// window open (the loop takes the thread's events).
TestMailOutcome SendTestMail(const TestMail& mail, const std::function<void(std::string)>& line,
                             const std::atomic<bool>* stop = nullptr);

// The last line of the transcript: "Accepted: ..." or "Not accepted: ...".
std::string TestMailVerdict(const TestMailOutcome& outcome);

}  // namespace vm::app
