// The mail object through a real MTA: a private Postfix instance on a free
// loopback port with STARTTLS and a self-signed certificate made for the
// run. Postfix relays what it accepts to an aiosmtpd sink, so the test sees
// the message arrive. Postfix's daemons need root; without root or without
// the postfix package the test is skipped, saying which.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

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
using peers::RunCommand;

uint16_t FreePort() {
  int fd = -1;
  uint16_t port = 0;
  if (platform::SocketListenLoopback(&fd, &port, 1) != 0) return 0;
  platform::SocketClose(fd);
  return port;
}

bool CanConnect(uint16_t port) {
  int fd = -1;
  if (platform::SocketCreateTcp(&fd) != 0) return false;
  uint32_t addr = 0;
  platform::ParseIPv4("127.0.0.1", &addr);
  const bool ok = platform::SocketConnect(fd, addr, platform::HostToNetwork16(port), 1000) == 0;
  platform::SocketClose(fd);
  return ok;
}

// The master.cf of the instance: the SMTP server on `port` and the services
// it needs to queue and relay, none of them chrooted.
std::string MasterCf(uint16_t port) {
  return std::to_string(port) + " inet n - n - - smtpd\n" +
         "cleanup unix n - n - 0 cleanup\n"
         "qmgr unix n - n 300 1 qmgr\n"
         "tlsmgr unix - - n 1000? 1 tlsmgr\n"
         "rewrite unix - - n - - trivial-rewrite\n"
         "bounce unix - - n - 0 bounce\n"
         "defer unix - - n - 0 bounce\n"
         "trace unix - - n - 0 bounce\n"
         "verify unix - - n - 1 verify\n"
         "flush unix n - n 1000? 0 flush\n"
         "proxymap unix - - n - - proxymap\n"
         "smtp unix - - n - - smtp\n"
         "relay unix - - n - - smtp\n"
         "error unix - - n - - error\n"
         "retry unix - - n - - error\n"
         "discard unix - - n - - discard\n"
         "anvil unix - - n - 1 anvil\n"
         "scache unix - - n - 1 scache\n"
         "postlog unix-dgram n - n - 1 postlogd\n"
         "showq unix n - n - - showq\n";
}

// main.cf: relay everything from loopback to the sink, offer STARTTLS with
// the given certificate, log to a file of the instance.
std::string MainCf(const std::filesystem::path& d, uint16_t sink_port) {
  const std::string dir = d.string();
  return "compatibility_level = 3.6\n"
         "queue_directory = " +
         dir + "/queue\ndata_directory = " + dir +
         "/data\n"
         "mail_owner = postfix\nsetgid_group = postdrop\n"
         "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\n"
         "myhostname = localhost\nmydomain = localdomain\nmydestination =\n"
         "local_recipient_maps =\nalias_maps =\nalias_database =\nbiff = no\n"
         "mynetworks = 127.0.0.0/8\n"
         "smtpd_relay_restrictions = permit_mynetworks, reject\n"
         "relayhost = [127.0.0.1]:" +
         std::to_string(sink_port) +
         "\nsmtp_tls_security_level = none\n"
         "smtpd_tls_security_level = may\n"
         "smtpd_tls_cert_file = " +
         dir + "/cert.pem\nsmtpd_tls_key_file = " + dir +
         "/key.pem\n"
         "smtpd_tls_loglevel = 1\n"
         "maillog_file_prefixes = " +
         dir + "\nmaillog_file = " + dir + "/maillog\n";
}

class PostfixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/sbin/postfix")) {
      GTEST_SKIP() << "postfix is not installed (Debian package postfix; ./dev test installs it)";
    }
    if (geteuid() != 0) GTEST_SKIP() << "Postfix's daemons need root to start; run as root";
    // Under /tmp, not the test's own temporary directory, because Postfix's
    // daemons (user postfix) must reach every part of the path.
    dir_ = std::filesystem::path("/tmp") / ("vm_postfix_" + std::to_string(getpid()));
    std::filesystem::remove_all(dir_);
    for (const char* sub : {"conf", "queue", "data", "sink"})
      std::filesystem::create_directories(dir_ / sub);
    sink_ = std::make_shared<platform::MemorySink>();
    scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
    queue_ = std::make_unique<net::OwnerEventQueue>();
    net::NetRuntimeOptions options;
    options.program_name = "postfix_test";
    options.registry_file = dir_ / "registry.ini";
    options.connect_timeout_ms = 5000;
    net::NetRuntime::Start(std::move(options));
  }
  void TearDown() override {
    if (started_) RunCommand("postfix -c '" + (dir_ / "conf").string() + "' stop");
    net::NetRuntime::Shutdown();
    queue_.reset();
    scoped_sink_.reset();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // A self-signed certificate for localhost and 127.0.0.1.
  bool MakeCertificate() {
    const std::string d = "'" + dir_.string() + "'";
    const std::string out = RunCommand(
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1 -keyout " +
        d + "/key.pem -out " + d + "/cert.pem && echo CERT-OK");
    return out.find("CERT-OK") != std::string::npos;
  }

  std::filesystem::path dir_;
  bool started_ = false;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::unique_ptr<net::OwnerEventQueue> queue_;
};

TEST_F(PostfixTest, OneMessageOverStartTlsWithASelfSignedCertificate) {
  ASSERT_TRUE(MakeCertificate());
  PythonServer sink("smtp_server.py", dir_ / "sink", {});
  ASSERT_NE(sink.port(), 0);
  const uint16_t port = FreePort();
  ASSERT_NE(port, 0);
  std::ofstream(dir_ / "conf" / "main.cf") << MainCf(dir_, sink.port());
  std::ofstream(dir_ / "conf" / "master.cf") << MasterCf(port);
  RunCommand("chown postfix '" + (dir_ / "data").string() + "'");
  const std::string start = RunCommand("postfix -c '" + (dir_ / "conf").string() + "' start");
  started_ = true;
  bool up = false;
  for (int i = 0; i < 100 && !up; ++i) {
    up = CanConnect(port);
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(up) << "Postfix did not start: " << start << ReadFile(dir_ / "maillog");

  Mailer m;
  m.SUPPRESSERRORMSG = 1;
  m.Init();
  m.SERVER = "localhost";
  m.PORT = port;
  m.TOLIST = "bob@example.com";
  m.FROM = "Voice Mail <vm@example.com>";
  m.SUBJECT = "Through Postfix";
  m.SetReplyTimeoutMs(30000);
  net::TlsOptions tls;
  tls.ca_file = (dir_ / "cert.pem").string();
  m.SetSecurity(Security::kStartTls, tls);
  const std::string body = "Relayed by a real MTA.\r\n";
  m.SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
  m.SetMessageText(body);
  m.SendMail(2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!(m.DATAQUEUE->empty() && m.OPENFLAG == 0 && m._STATE == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    if (auto e = queue_->Wait(std::chrono::milliseconds(20))) m.TakeEvent(*e);
  }
  ASSERT_TRUE(m.errors.empty()) << m.errors[0] << "\n" << ReadFile(dir_ / "maillog");
  EXPECT_EQ(m.sent, 1);

  // Postfix relays it to the sink on its own time.
  const std::filesystem::path eml = dir_ / "sink" / "001.eml";
  for (int i = 0; i < 600 && !std::filesystem::exists(eml); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(std::filesystem::exists(eml)) << ReadFile(dir_ / "maillog");
  EXPECT_EQ(ReadFile(dir_ / "sink" / "001.txt"), "from vm@example.com\nrcpt bob@example.com\n");
  const std::string message = ReadFile(eml);
  EXPECT_NE(message.find("Subject: Through Postfix"), std::string::npos) << message;
  EXPECT_NE(message.find("Relayed by a real MTA."), std::string::npos) << message;
  // Postfix's own record of the session: our client came over TLS.
  EXPECT_NE(ReadFile(dir_ / "maillog").find("TLS connection established from localhost"),
            std::string::npos)
      << ReadFile(dir_ / "maillog");
}

}  // namespace
}  // namespace vm::mail
