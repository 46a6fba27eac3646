// Reading the EHLO reply and the login and STARTTLS steps of the dialogue:
// the capability parser on well-formed and hostile replies, which login is
// chosen, when credentials may leave, what the transcript shows of them, and
// that bytes a server slips in after agreeing to STARTTLS are never read.

#include <gtest/gtest.h>

#include <cstring>

#include "mail/ehlo_capabilities.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "mail_test_support.h"
#include "net/net_runtime.h"

namespace vm::mail {
namespace {

using testing::MailTest;
using testing::ScriptedServer;
using testing::TestMailer;

TEST(EhloCapabilitiesTest, ReadsStartTlsAndMechanismsInEveryForm) {
  const EhloCapabilities caps = ParseEhloReply(
      "250-mail.example.com greets you AUTH PLAIN STARTTLS\r\n"  // the greeting line: not read
      "250-SIZE 1000\r\n"
      "250-auth login Cram-MD5\n"  // lower case, a bare LF
      "250-AUTH=PLAIN LOGIN\r\n"   // the older form, LOGIN again
      "250-STARTTLS\r\n"
      "250 HELP\r\n");
  EXPECT_TRUE(caps.starttls);
  EXPECT_EQ(caps.auth, (std::vector<std::string>{"LOGIN", "CRAM-MD5", "PLAIN"}));
  EXPECT_EQ(ChooseLogin(caps), "PLAIN");
}

TEST(EhloCapabilitiesTest, HostileOrIncompleteRepliesOfferNothingTheyDoNotSay) {
  struct Case {
    std::string reply;
    bool starttls;
    std::vector<std::string> auth;
  };
  const std::string many = [] {
    std::string s = "250-x\r\n250 AUTH";
    for (int i = 0; i < 50; ++i) s += " M" + std::to_string(i);
    return s + "\r\n";
  }();
  const Case cases[] = {
      {"250 STARTTLS\r\n", false, {}},       // a one-line reply only greets
      {"250-x\r\n250 STARTTLS", false, {}},  // no line end: not read
      {"250-x\r\n550-STARTTLS\r\n250 AUTH PLAIN\r\n", false, {"PLAIN"}},
      {"250-x\r\n250-STARTTLS now\r\n", false, {}},  // STARTTLS takes no parameters
      {"250-x\r\n250-AUTH PL\xC3\xA4IN LO GIN\r\n", false, {"LO", "GIN"}},
      {"250-x\r\n250-AUTH " + std::string(21, 'A') + " PLAIN\r\n", false, {"PLAIN"}},
      {"250-x\r\n250-AUTH\r\n250-AUTH=\r\n", false, {}},
      {"250-x\r\n250-STARTTLSX\r\n250-AUTHPLAIN\r\n", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const EhloCapabilities caps = ParseEhloReply(c.reply);
    EXPECT_EQ(caps.starttls, c.starttls);
    EXPECT_EQ(caps.auth, c.auth);
  }
  EXPECT_EQ(ParseEhloReply(many).auth.size(), kMaxAuthMechanisms);
  EXPECT_EQ(ChooseLogin(ParseEhloReply("250-x\r\n250 AUTH LOGIN CRAM-MD5\r\n")), "LOGIN");
  EXPECT_EQ(ChooseLogin(ParseEhloReply("250-x\r\n250 AUTH CRAM-MD5 XOAUTH2\r\n")), "");
}

// The mail object with its connection replaced: Open "connects" to a given
// address, Send records the bytes, and the test hands the server's replies
// to Process. No socket is involved, so any server address can be played.
class AddressMailer final : public NetEmailSend {
 public:
  explicit AddressMailer(const unsigned char (&address)[4]) {
    std::memcpy(address_, address, sizeof address_);
  }
  ~AddressMailer() override { Kill(); }
  void Open(std::string_view, uint16_t) override {
    ERROR = 0;
    OPENFLAG = 1;
    std::memcpy(_CONNECTION.RESERVED1, address_, sizeof address_);
  }
  void Close() override {
    OPENFLAG = 0;
    NetEmailSend::Close();
  }
  void Abort() override {
    OPENFLAG = 0;
    NetEmailSend::Abort();
  }
  void Send() override {
    sends.emplace_back(PACKET.BINDATA, static_cast<size_t>(PACKET.BINDATALEN));
  }
  void ErrorTrap(std::string_view text, std::string_view function) override {
    errors.push_back(ERROR);
    NetEmailSend::ErrorTrap(text, function);
    texts.push_back(ERRORSTRING);
  }
  void Trace(std::string_view message, std::string_view) override { traces.emplace_back(message); }
  void Reply(std::string_view block) {
    ERROR = 0;
    std::memcpy(PACKET.BINDATA, block.data(), block.size());
    PACKET.BINDATALEN = static_cast<int32_t>(block.size());
    Process();
  }
  std::vector<std::string> sends;
  std::vector<int32_t> errors;  // ERROR as each failure was reported
  std::vector<std::string> texts;
  std::vector<std::string> traces;

 private:
  unsigned char address_[4];
};

void Start(AddressMailer* m) {
  m->SUPPRESSERRORMSG = 1;
  m->Init();
  m->SetReplyTimeoutMs(0);
  m->SERVER = "mail.example.com";
  m->FROM = "vm@example.com";
  m->TOLIST = "bob@example.com";
  m->AUTHUSER = "alice";
  m->AUTHPASSWORD = "s3cret";
  m->SetRequiredMessageSize(0, 1, 0);
  m->SetMessageText("x");
  m->SendMail(2);
  m->Reply("220 mail.example.com ESMTP\r\n");
}

constexpr unsigned char kRemote[4] = {192, 0, 2, 10};
constexpr unsigned char kLoopback[4] = {127, 0, 0, 1};

TEST(LoginTest, CredentialsLeaveOnlyOverTlsOrToALoopbackAddress) {
  AddressMailer remote(kRemote);
  Start(&remote);
  remote.Reply("250-mail.example.com\r\n250 AUTH PLAIN LOGIN\r\n");
  EXPECT_EQ(remote.sends, (std::vector<std::string>{"EHLO NetSendMail\r\n"}));
  ASSERT_EQ(remote.errors, (std::vector<int32_t>{net::kNetErrLoginInClear}));
  EXPECT_EQ(remote.texts[0],
            "Fatal Error. Login not sent unencrypted to the Email (SMTP) server. Will abort all "
            "messages in the DataQueue. The error number was -65 which means Login not sent: the "
            "connection is not encrypted and the server is not local.");
  EXPECT_EQ(remote.ERROR, net::kNetErrLoginInClear);
  EXPECT_TRUE(remote.DATAQUEUE->empty());

  AddressMailer local(kLoopback);
  Start(&local);
  local.Reply("250-mail.example.com\r\n250 AUTH LOGIN PLAIN\r\n");
  ASSERT_EQ(local.sends.size(), 2u);
  EXPECT_EQ(local.sends[1],
            "AUTH PLAIN " + NetBase64Encode(std::string("\0alice\0s3cret", 13)) + "\r\n");
  local.Reply("235 2.7.0 ok\r\n");
  EXPECT_EQ(local.sends.back(), "MAIL FROM: <vm@example.com>\r\n");
  EXPECT_TRUE(local.errors.empty());
}

TEST(LoginTest, TheTranscriptShowsEveryCommandButNeverACredential) {
  AddressMailer plain(kLoopback);
  Start(&plain);
  plain.Reply("250-mail.example.com\r\n250 AUTH PLAIN\r\n");
  AddressMailer login(kLoopback);
  Start(&login);
  login.Reply("250-mail.example.com\r\n250 AUTH LOGIN\r\n");
  login.Reply("334 VXNlcm5hbWU6\r\n");
  login.Reply("334 UGFzc3dvcmQ6\r\n");
  login.Reply("535 5.7.8 no\r\n");
  EXPECT_EQ(plain.traces,
            (std::vector<std::string>{"S: 220 mail.example.com ESMTP", "C: EHLO NetSendMail",
                                      "S: 250-mail.example.com", "S: 250 AUTH PLAIN",
                                      "C: AUTH PLAIN ****"}));
  EXPECT_EQ(std::vector<std::string>(login.traces.begin() + 4, login.traces.end()),
            (std::vector<std::string>{"C: AUTH LOGIN", "S: 334 VXNlcm5hbWU6", "C: ****",
                                      "S: 334 UGFzc3dvcmQ6", "C: ****", "S: 535 5.7.8 no"}));
  EXPECT_EQ(login.sends[3], NetBase64Encode("s3cret") + "\r\n");  // the wire has it, of course
  EXPECT_EQ(login.texts.size(), 1u);
  for (const auto* m : {&plain, &login}) {
    for (const std::string& t : m->traces) {
      EXPECT_EQ(t.find("s3cret"), std::string::npos) << t;
      EXPECT_EQ(t.find(NetBase64Encode("s3cret")), std::string::npos) << t;
      EXPECT_EQ(t.find(NetBase64Encode("alice")), std::string::npos) << t;
    }
  }
}

TEST(LoginTest, NoUsableMechanismAndStartTlsNotOfferedEndTheDialogueAfterEhlo) {
  AddressMailer cram(kLoopback);
  Start(&cram);
  cram.Reply("250-mail.example.com\r\n250 AUTH CRAM-MD5\r\n");
  EXPECT_EQ(cram.sends, (std::vector<std::string>{"EHLO NetSendMail\r\n"}));
  EXPECT_EQ(cram.errors, (std::vector<int32_t>{net::kNetErrNoUsableLogin}));

  AddressMailer starttls(kLoopback);
  starttls.SetSecurity(Security::kStartTls);
  starttls.SetHeloName("gateway.example.com");
  Start(&starttls);
  starttls.Reply("250-mail.example.com\r\n250 AUTH PLAIN\r\n");
  EXPECT_EQ(starttls.sends, (std::vector<std::string>{"EHLO gateway.example.com\r\n"}));
  EXPECT_EQ(starttls.errors, (std::vector<int32_t>{net::kNetErrNoStartTls}));
  EXPECT_EQ(starttls.OPENFLAG, 0);
  EXPECT_EQ(starttls._STATE, kEsNotConnected);
}

class StartTlsDialogueTest : public MailTest {
 protected:
  void SetUp() override {
    MailTest::SetUp();
    StartRuntime();
  }
};

TEST_F(StartTlsDialogueTest, BytesAfterTheAgreementAreNotRepliesAndACloseFailsTheHandshake) {
  // The 250 after the 220 would pass for the answer to the client's next
  // command if it were read; then the server hangs up mid-handshake.
  ScriptedServer server("220 test ESMTP\r\n", [](const std::string& line, int) -> std::string {
    if (line.rfind("EHLO", 0) == 0) return "250-test\r\n250 STARTTLS\r\n";
    if (line == "STARTTLS") return "220 go ahead\r\n250 injected\r\n\x01<close>";
    return "";
  });
  TestMailer m;
  Prepare(&m, server.port());
  server.SetGate([&m] { return m.processed.load(); });
  m.SetSecurity(Security::kStartTls);
  m.SendMail(2);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  ASSERT_EQ(m.traps.size(), 1u) << m.traps[1].errorstring;
  EXPECT_EQ(m.traps[0].text, "Unable to start TLS");
  EXPECT_EQ(m.traps[0].function, "NetSimple.StartTls");
  EXPECT_EQ(m.traps[0].errorstring,
            "Unable to start TLS. The error number was -61 which means The TLS handshake failed: "
            "the server closed the connection during the handshake.");
  EXPECT_EQ(m.ERROR, net::kNetErrTlsHandshake);
  EXPECT_TRUE(m.DATAQUEUE->empty());
  server.Join();
  EXPECT_EQ(server.Commands(), (std::vector<std::string>{"EHLO NetSendMail", "STARTTLS"}));
  for (const std::string& t : m.traces) EXPECT_EQ(t.find("injected"), std::string::npos) << t;
}

}  // namespace
}  // namespace vm::mail
