// The mail object over TLS against a real SMTP server: aiosmtpd with
// STARTTLS or with TLS from the first byte, a login checked by the server,
// and certificates made for the run by the openssl command. The server's
// transcript tells which commands it saw and whether TLS was running then.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "net/event_poster.h"
#include "net/net_runtime.h"
#include "peer_support.h"
#include "platform/diag_sink.h"
#include "platform/socket.h"

namespace vm::mail {
namespace {

using peers::Mailer;
using peers::PythonServer;
using peers::ReadFile;

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "Pw-9f3k2LxQ";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
  for (const std::string& l : lines) {
    if (l.find(part) != std::string::npos) return true;
  }
  return false;
}

class SmtpTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_dir_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                           ("vm_tls_certs_" + std::to_string(getpid())));
    certs_ = new peers::TestCertificates(peers::MakeCertificates(*certs_dir_));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(*certs_dir_, ec);
    delete certs_;
    delete certs_dir_;
  }

  void SetUp() override {
    ASSERT_FALSE(certs_->ca.empty()) << "the openssl command could not make certificates:\n"
                                     << certs_->log;
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("vm_tls_peer_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(dir_ / "received");
    sink_ = std::make_shared<platform::MemorySink>();
    scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
    queue_ = std::make_unique<net::OwnerEventQueue>();
    net::NetRuntimeOptions options;
    options.program_name = "smtp_tls_test";
    options.registry_file = dir_ / "registry.ini";
    options.connect_timeout_ms = 5000;
    // The full trace: no line of it may show a credential.
    options.command_line = {"/netdlllog"};
    net::NetRuntime::Start(std::move(options));
  }
  void TearDown() override {
    net::NetRuntime::Shutdown();
    queue_.reset();
    scoped_sink_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // A server in `mode` (plain, starttls, tls) with the localhost certificate
  // unless `cert`/`key` say otherwise; `extra` adds options.
  std::unique_ptr<PythonServer> Server(const std::string& mode, std::vector<std::string> extra = {},
                                       std::string cert = {}, std::string key = {}) {
    std::vector<std::string> args = {"--mode", mode,
                                     "--cert", cert.empty() ? certs_->server_cert : cert,
                                     "--key",  key.empty() ? certs_->server_key : key};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<PythonServer>("smtp_tls_server.py", dir_ / "received", args);
  }
  static std::vector<std::string> Login() { return {"--user", kUser, "--password", kPassword}; }

  void Prepare(Mailer* m, uint16_t port, Security security, const std::string& server,
               const std::string& ca_file) {
    m->SUPPRESSERRORMSG = 1;
    m->Init();
    m->SERVER = server;
    m->PORT = port;
    m->TOLIST = "bob@example.com";
    m->FROM = "Voice Mail <vm@example.com>";
    m->SUBJECT = "New voice message";
    m->SetReplyTimeoutMs(20000);
    net::TlsOptions tls;
    tls.ca_file = ca_file;
    m->SetSecurity(security, tls);
    const std::string body = "You have a new message.\r\n";
    m->SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
    m->SetMessageText(body);
  }

  bool RunUntilDone(Mailer* m, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!(m->DATAQUEUE->empty() && m->OPENFLAG == 0 && m->_STATE == 0)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (auto e = queue_->Wait(std::chrono::milliseconds(20))) m->TakeEvent(*e);
    }
    return true;
  }

  // The server's transcript once it has seen `n` commands or had time to.
  std::vector<std::string> Transcript(size_t at_least = 0) {
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i) {
      lines = Lines(ReadFile(dir_ / "received" / "transcript.txt"));
      if (lines.size() >= at_least) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return lines;
  }

  bool WaitForMessages(size_t n) {
    for (int i = 0; i < 200; ++i) {
      size_t count = 0;
      for (const auto& e : std::filesystem::directory_iterator(dir_ / "received")) {
        if (e.path().extension() == ".eml") ++count;
      }
      if (count >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }

  static std::filesystem::path* certs_dir_;
  static peers::TestCertificates* certs_;
  std::filesystem::path dir_;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::unique_ptr<net::OwnerEventQueue> queue_;
};

std::filesystem::path* SmtpTlsTest::certs_dir_ = nullptr;
peers::TestCertificates* SmtpTlsTest::certs_ = nullptr;

TEST_F(SmtpTlsTest, StartTlsWithTheCaFileDeliversAndTheServerSawTlsBeforeLoginAndMail) {
  auto server = Server("starttls", Login());
  ASSERT_NE(server->port(), 0);
  Mailer m;
  Prepare(&m, server->port(), Security::kStartTls, "127.0.0.1", certs_->ca);
  m.AUTHUSER = kUser;
  m.AUTHPASSWORD = kPassword;
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_TRUE(m.errors.empty()) << m.errors[0];
  EXPECT_EQ(m.sent, 1);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(ReadFile(dir_ / "received" / "001.txt"),
            "from vm@example.com\nrcpt bob@example.com\nauth alice\n");
  const std::vector<std::string> t = Transcript(7);
  ASSERT_GE(t.size(), 7u);
  EXPECT_EQ(t[0], "tls=0 EHLO NetSendMail");
  EXPECT_EQ(t[1], "tls=0 STARTTLS ");
  EXPECT_EQ(t[2], "tls=1 EHLO NetSendMail");
  EXPECT_EQ(t[3], "tls=1 AUTH PLAIN");
  EXPECT_EQ(t[4], "tls=1 MAIL FROM: <vm@example.com>");
  EXPECT_EQ(t[5], "tls=1 RCPT TO: <bob@example.com>");
  EXPECT_EQ(t[6], "tls=1 DATA ");
  EXPECT_TRUE(Contains(m.traces, "NetEmailSend.TlsDone: TLS: TLSv1.3 "));
}

TEST_F(SmtpTlsTest, ImplicitTlsByNameDeliversAndTheSecondConnectionResumesTheSession) {
  auto server = Server("tls", Login());
  ASSERT_NE(server->port(), 0);
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    Mailer m;
    Prepare(&m, server->port(), Security::kTls, "localhost", certs_->ca);
    m.AUTHUSER = kUser;
    m.AUTHPASSWORD = kPassword;
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_TRUE(m.errors.empty()) << m.errors[0];
    EXPECT_EQ(m.sent, 1);
    // The first handshake is a full one; the second uses the first's ticket.
    EXPECT_EQ(Contains(m.traces, "session resumed"), i == 1);
  }
  ASSERT_TRUE(WaitForMessages(2));
  const std::vector<std::string> t = Transcript();
  ASSERT_FALSE(t.empty());
  for (const std::string& line : t) EXPECT_EQ(line.rfind("tls=1 ", 0), 0u) << line;
  EXPECT_TRUE(Contains(t, "AUTH PLAIN"));
}

TEST_F(SmtpTlsTest, WithoutTheCaFileTheCertificateIsNotTrustedAndNothingFollowsTheHandshake) {
  for (const std::string mode : {"starttls", "tls"}) {
    SCOPED_TRACE(mode);
    std::error_code ec;
    std::filesystem::remove(dir_ / "received" / "transcript.txt", ec);
    auto server = Server(mode, Login());
    ASSERT_NE(server->port(), 0);
    Mailer m;
    Prepare(&m, server->port(), mode == "tls" ? Security::kTls : Security::kStartTls, "127.0.0.1",
            "");
    m.AUTHUSER = kUser;
    m.AUTHPASSWORD = kPassword;
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_EQ(m.error_numbers[0], net::kNetErrTlsUntrusted);
    EXPECT_NE(m.errors[0].find("The error number was -62 which means The server's certificate is "
                               "not trusted: unable to get local issuer certificate."),
              std::string::npos)
        << m.errors[0];
    EXPECT_EQ(m.ERROR, net::kNetErrTlsUntrusted);
    EXPECT_EQ(m.sent, 0);
    EXPECT_TRUE(m.DATAQUEUE->empty());
    server.reset();  // the transcript is complete once the server has stopped
    const std::vector<std::string> t = Transcript();
    if (mode == "tls") {
      EXPECT_TRUE(t.empty()) << t[0];
    } else {
      EXPECT_EQ(t, (std::vector<std::string>{"tls=0 EHLO NetSendMail", "tls=0 STARTTLS "}));
    }
  }
}

TEST_F(SmtpTlsTest, ACertificateForAnotherNameFailsWithTheHostItDoesNotName) {
  auto server = Server("tls", {}, certs_->other_cert, certs_->other_key);
  ASSERT_NE(server->port(), 0);
  for (const std::string host : {"127.0.0.1", "localhost"}) {
    SCOPED_TRACE(host);
    Mailer m;
    Prepare(&m, server->port(), Security::kTls, host, certs_->ca);
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_EQ(m.error_numbers[0], net::kNetErrTlsWrongName);
    EXPECT_NE(m.errors[0].find("which means The server's certificate does not name " + host + "."),
              std::string::npos)
        << m.errors[0];
    EXPECT_EQ(m.sent, 0);
  }
  server.reset();
  EXPECT_TRUE(Transcript().empty());
}

TEST_F(SmtpTlsTest, StartTlsRequiredButNotOfferedFailsWithNothingSentAfterEhlo) {
  auto server = Server("plain", Login());
  ASSERT_NE(server->port(), 0);
  Mailer m;
  Prepare(&m, server->port(), Security::kStartTls, "127.0.0.1", certs_->ca);
  m.AUTHUSER = kUser;
  m.AUTHPASSWORD = kPassword;
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_EQ(m.errors.size(), 1u);
  EXPECT_EQ(m.error_numbers[0], net::kNetErrNoStartTls);
  EXPECT_NE(m.errors[0].find("which means The server does not offer STARTTLS."), std::string::npos)
      << m.errors[0];
  EXPECT_EQ(m.ERROR, net::kNetErrNoStartTls);
  server.reset();
  // No login, no envelope and not even QUIT went out in the clear.
  EXPECT_EQ(Transcript(), (std::vector<std::string>{"tls=0 EHLO NetSendMail"}));
}

TEST_F(SmtpTlsTest, AWrongPasswordKeepsTheServersCodeAndText) {
  auto server = Server("starttls", Login());
  ASSERT_NE(server->port(), 0);
  Mailer m;
  Prepare(&m, server->port(), Security::kStartTls, "localhost", certs_->ca);
  m.AUTHUSER = kUser;
  m.AUTHPASSWORD = "not-the-password";
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_EQ(m.errors.size(), 1u);
  EXPECT_EQ(m.server_codes[0], 535);
  EXPECT_EQ(m.errors[0].rfind("Fatal Error. Email (SMTP) server sent error = 535 5.7.8 "
                              "Authentication credentials invalid State = 73.",
                              0),
            0u)
      << m.errors[0];
  EXPECT_EQ(m.sent, 0);
  server.reset();
  EXPECT_FALSE(Contains(Transcript(), "MAIL"));
}

TEST_F(SmtpTlsTest, EachLoginIsChosenWhenOfferedAloneAndCramMd5AloneIsRefused) {
  struct Case {
    std::string offered;
    std::string expected_auth;  // empty: no AUTH may be sent
  };
  for (const Case& c :
       {Case{"PLAIN", "AUTH PLAIN"}, Case{"LOGIN", "AUTH LOGIN"}, Case{"CRAM-MD5", ""}}) {
    SCOPED_TRACE(c.offered);
    std::error_code ec;
    std::filesystem::remove(dir_ / "received" / "transcript.txt", ec);
    auto server =
        Server("starttls", {"--user", kUser, "--password", kPassword, "--mechanisms", c.offered});
    ASSERT_NE(server->port(), 0);
    Mailer m;
    Prepare(&m, server->port(), Security::kStartTls, "127.0.0.1", certs_->ca);
    m.AUTHUSER = kUser;
    m.AUTHPASSWORD = kPassword;
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    server.reset();
    const std::vector<std::string> t = Transcript();
    if (c.expected_auth.empty()) {
      ASSERT_EQ(m.errors.size(), 1u);
      EXPECT_EQ(m.error_numbers[0], net::kNetErrNoUsableLogin);
      EXPECT_NE(m.errors[0].find("which means The server offers no login this program can use."),
                std::string::npos)
          << m.errors[0];
      EXPECT_FALSE(Contains(t, "AUTH"));
      EXPECT_FALSE(Contains(t, "MAIL"));
    } else {
      ASSERT_TRUE(m.errors.empty()) << m.errors[0];
      EXPECT_EQ(m.sent, 1);
      EXPECT_TRUE(Contains(t, "tls=1 " + c.expected_auth));
    }
  }
}

// A server that takes the connection and the client's first TLS bytes and
// then says nothing more; with `starttls` it first agrees to STARTTLS.
class StallingServer {
 public:
  explicit StallingServer(bool starttls) {
    platform::SocketListenLoopback(&listen_fd_, &port_, 1);
    thread_ = std::thread([this, starttls] {
      int fd = -1;
      if (platform::SocketAccept(listen_fd_, &fd) != 0) return;
      char buf[4096];
      size_t got = 0;
      auto say = [fd](const std::string& s) {
        platform::SocketSendAllBlocking(fd, s.data(), s.size());
      };
      if (starttls) {
        say("220 stall.example ESMTP\r\n");
        platform::SocketRecvBlocking(fd, buf, sizeof buf, &got);  // EHLO
        say("250-stall.example\r\n250 STARTTLS\r\n");
        platform::SocketRecvBlocking(fd, buf, sizeof buf, &got);  // STARTTLS
        say("220 go ahead\r\n");
      }
      // The ClientHello, and whatever else comes, until the client gives up.
      while (platform::SocketRecvBlocking(fd, buf, sizeof buf, &got) == 0 && got > 0) {
      }
      platform::SocketClose(fd);
    });
  }
  ~StallingServer() {
    platform::SocketShutdown(listen_fd_, platform::ShutdownHow::kBoth);
    thread_.join();
    platform::SocketClose(listen_fd_);
  }
  uint16_t port() const { return port_; }

 private:
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

TEST_F(SmtpTlsTest, AServerThatStallsInTheHandshakeFailsWithinTheReplyTime) {
  for (bool starttls : {false, true}) {
    SCOPED_TRACE(starttls ? "starttls" : "tls");
    StallingServer server(starttls);
    Mailer m;
    Prepare(&m, server.port(), starttls ? Security::kStartTls : Security::kTls, "127.0.0.1",
            certs_->ca);
    m.SetReplyTimeoutMs(1500);
    m.SendMail(2);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunUntilDone(&m, std::chrono::seconds(20)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_EQ(m.error_numbers[0], net::kNetErrTlsHandshake);
    EXPECT_NE(m.errors[0].find("The TLS handshake with the Email (SMTP) Server did not end within"),
              std::string::npos)
        << m.errors[0];
    EXPECT_EQ(m.ERROR, net::kNetErrTlsHandshake);
  }
}

TEST_F(SmtpTlsTest, ThePasswordAppearsInNoTraceOrDiagnosticLine) {
  std::vector<std::string> all;
  for (const std::string mechanisms : {"PLAIN", "LOGIN"}) {
    auto server =
        Server("starttls", {"--user", kUser, "--password", kPassword, "--mechanisms", mechanisms});
    ASSERT_NE(server->port(), 0);
    Mailer m;
    Prepare(&m, server->port(), Security::kStartTls, "127.0.0.1", certs_->ca);
    m.AUTHUSER = kUser;
    m.AUTHPASSWORD = kPassword;
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_TRUE(m.errors.empty()) << m.errors[0];
    all.insert(all.end(), m.traces.begin(), m.traces.end());
  }
  // A failed login writes an error text as well.
  auto server = Server("starttls", Login());
  Mailer failing;
  Prepare(&failing, server->port(), Security::kStartTls, "127.0.0.1", certs_->ca);
  failing.AUTHUSER = kUser;
  failing.AUTHPASSWORD = std::string(kPassword) + "x";
  failing.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&failing));
  ASSERT_EQ(failing.errors.size(), 1u);
  all.insert(all.end(), failing.traces.begin(), failing.traces.end());
  all.insert(all.end(), failing.errors.begin(), failing.errors.end());
  const std::vector<std::string> diagnostics = sink_->Lines();
  all.insert(all.end(), diagnostics.begin(), diagnostics.end());

  EXPECT_TRUE(Contains(all, "C: AUTH PLAIN ****"));
  EXPECT_TRUE(Contains(all, "C: AUTH LOGIN"));
  EXPECT_TRUE(Contains(all, "C: ****"));
  EXPECT_TRUE(Contains(diagnostics, "TLS session open with 127.0.0.1"));
  const std::string plain_token =
      NetBase64Encode(std::string("\0", 1) + kUser + std::string("\0", 1) + kPassword);
  for (const std::string& secret : {std::string(kPassword), NetBase64Encode(kPassword), plain_token,
                                    std::string(kPassword) + "x"}) {
    EXPECT_FALSE(Contains(all, secret)) << secret;
  }
}

}  // namespace
}  // namespace vm::mail
