// The steps of the SMTP dialogue that secure the connection and log in:
// the greeting (HELO, or EHLO when something is to be read from its reply),
// STARTTLS and the second EHLO over TLS, and AUTH PLAIN or AUTH LOGIN as the
// EHLO reply offers them. With no security and no login the dialogue is the
// plain one: HELO, then MAIL FROM.

#include <cstring>

#include "mail/ehlo_capabilities.h"
#include "mail/mail_text.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"

namespace vm::mail {

namespace {

constexpr char kProcess[] = "NetEmailSend.Process";

// 127.0.0.0/8: the first byte of the address as it goes on the wire.
bool IsLoopback(uint32_t addr_network_order) {
  unsigned char first = 0;
  std::memcpy(&first, &addr_network_order, 1);
  return first == 127;
}

}  // namespace

void NetEmailSend::SetSecurity(Security security, const net::TlsOptions& options) {
  security_ = security;
  tls_options_ = options;
}

bool NetEmailSend::CredentialsSet() const {
  return !runtime::IsBlank(AUTHUSER) || !runtime::IsBlank(AUTHPASSWORD);
}

bool NetEmailSend::UsesEhlo() const {
  return CredentialsSet() || security_ != Security::kNone;
}

void NetEmailSend::SendGreeting() {
  const std::string name = runtime::IsBlank(helo_name_) ? kDefaultHeloName : helo_name_;
  if (UsesEhlo()) {
    _STATE = kEsEhlo;
    SendLine("EHLO " + name);
  } else {
    _STATE = kEsHelo;
    awaiting_ = Awaiting::kHelo;
    SendLine("HELO " + name);
  }
}

void NetEmailSend::HeloAccepted() {
  awaiting_ = Awaiting::kNone;
  if (DATAQUEUE == nullptr || DATAQUEUE->empty()) {
    _STATE = kEsConnectedAndIdle;
  } else {
    SendMailFrom();
  }
}

void NetEmailSend::AfterEhlo() {
  const EhloCapabilities caps = ParseEhloReply(last_reply_);
  const std::string desc(FieldValue(_SERVERDESC, 80));
  if (security_ == Security::kStartTls && !TlsOpen()) {
    if (!caps.starttls) {
      return SecureFail(net::kNetErrNoStartTls,
                        "Fatal Error. The " + desc +
                            " server does not offer STARTTLS. Will abort all messages in the "
                            "DataQueue");
    }
    _STATE = kEsStartTls;
    SendLine("STARTTLS");
    return;
  }
  if (!CredentialsSet()) {
    // EHLO was only needed for STARTTLS: what follows is HELO's sequel.
    _STATE = kEsHelo;
    return HeloAccepted();
  }
  if (!TlsOpen() && !IsLoopback(RemoteAddress())) {
    return SecureFail(net::kNetErrLoginInClear,
                      "Fatal Error. Login not sent unencrypted to the " + desc +
                          " server. Will abort all messages in the DataQueue");
  }
  const std::string mechanism = ChooseLogin(caps);
  if (mechanism.empty()) {
    return SecureFail(net::kNetErrNoUsableLogin,
                      "Fatal Error. The " + desc +
                          " server offers neither AUTH PLAIN nor AUTH LOGIN. Will abort all "
                          "messages in the DataQueue");
  }
  SendLogin(mechanism);
}

void NetEmailSend::SendLogin(const std::string& mechanism) {
  if (mechanism == "PLAIN") {
    // One line: no authorisation identity, the user name, the password.
    std::string token;
    token.push_back('\0');
    token.append(FieldValue(AUTHUSER, kServerWidth));
    token.push_back('\0');
    token.append(FieldValue(AUTHPASSWORD, kServerWidth));
    _STATE = kEsHelo;
    awaiting_ = Awaiting::kPassword;
    SendLine("AUTH PLAIN " + NetBase64Encode(token), "AUTH PLAIN ****");
    return;
  }
  _STATE = kEsAuthLogin;
  SendLine("AUTH LOGIN");
}

void NetEmailSend::BeginStartTls() {
  _STATE = kEsTlsHandshake;
  // Bytes that came after the server's 220 were not protected by TLS: they
  // must not be read as replies once it runs.
  _SERVERREPLYBUFFER.clear();
  _SERVERREPLYBUFFERLEN = 0;
  StartTls();
  if (_STATE == kEsTlsHandshake && OPENFLAG == 1) ArmReplyTimer();
}

void NetEmailSend::TlsDone(int32_t result) {
  if (result != 0) {
    // Reported by ErrorTrap, which discarded the queue and closed.
    reply_timer_.Disarm();
    ERROR = result;
    _STATE = kEsNotConnected;
    ProgressOff();
    return;
  }
  Trace("TLS: " + TlsDescription(), "NetEmailSend.TlsDone");
  if (_STATE == kEsTlsHandshake) {
    // What the server offered before TLS no longer counts: ask again.
    SendGreeting();  // EHLO, as security is set
  }
  // With TLS from the first byte the greeting comes next, within the reply
  // time armed at the open.
}

void NetEmailSend::SecureFail(int32_t error, const std::string& text) {
  _AFTERERRORTRYNEXTMESSAGE = 1;
  ERROR = error;
  ErrorTrap(text, kProcess);
  FreeDataQueue();
  Close();
  ProgressOff();
  ERROR = error;
}

}  // namespace vm::mail
