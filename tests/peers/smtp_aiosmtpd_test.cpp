// NetEmailSend against a real SMTP server: Debian's aiosmtpd, started by the
// fixture on a free loopback port. What the server received is parsed with
// Python's email package and compared with what was sent.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/net_email_send.h"
#include "net/event_poster.h"
#include "net/net_runtime.h"
#include "peer_support.h"
#include "platform/diag_sink.h"

namespace vm::mail {
namespace {

using peers::Mailer;
using peers::ReadFile;
using peers::RunCommand;
using peers::SourcePath;

// The aiosmtpd process: started with its own directory for received mail,
// stopped by closing its standard input.
class AiosmtpdServer : public peers::PythonServer {
 public:
  AiosmtpdServer(const std::filesystem::path& dir, const std::vector<std::string>& extra)
      : PythonServer("smtp_server.py", dir, extra) {}
};

class SmtpPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("vm_smtp_peer_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(dir_ / "received");
    sink_ = std::make_shared<platform::MemorySink>();
    scoped_sink_ = std::make_unique<platform::ScopedDiagSink>(sink_);
    queue_ = std::make_unique<net::OwnerEventQueue>();
    net::NetRuntimeOptions options;
    options.program_name = "smtp_peer_test";
    options.registry_file = dir_ / "registry.ini";
    options.connect_timeout_ms = 5000;
    net::NetRuntime::Start(std::move(options));
  }
  void TearDown() override {
    net::NetRuntime::Shutdown();
    queue_.reset();
    scoped_sink_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  void Prepare(Mailer* m, uint16_t port, const std::string& body) {
    m->SUPPRESSERRORMSG = 1;
    m->Init();
    m->SERVER = "127.0.0.1";
    m->PORT = port;
    m->TOLIST = "bob@example.com";
    m->FROM = "Voice Mail <vm@example.com>";
    m->SUBJECT = "New voice message";
    m->SetReplyTimeoutMs(30000);
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

  // Waits for the server to have saved `n` messages.
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

  std::string WriteFile(const std::string& name, const std::string& content) {
    const std::filesystem::path p = dir_ / name;
    std::ofstream(p, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
    return p.string();
  }

  // The checker's output for a received message, with the hashes of `files`.
  std::string Check(const std::string& eml, const std::vector<std::string>& files) {
    std::string cmd =
        "/usr/bin/python3 '" + SourcePath("tests/mail/check_mail.py") + "' '" + eml + "'";
    for (const std::string& f : files) cmd += " --file '" + f + "'";
    return RunCommand(cmd);
  }

  // True when a part of the checked message carries the bytes of file `name`.
  static bool PartMatchesFile(const std::string& out, const std::string& name) {
    const size_t f = out.find("file " + name + " ");
    if (f == std::string::npos) return false;
    const size_t s = out.find("sha256=", f);
    const std::string sha = out.substr(s + 7, 64);
    const size_t part = out.find("sha256=" + sha);
    return part < f;
  }

  std::filesystem::path dir_;
  std::shared_ptr<platform::MemorySink> sink_;
  std::unique_ptr<platform::ScopedDiagSink> scoped_sink_;
  std::unique_ptr<net::OwnerEventQueue> queue_;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

TEST_F(SmtpPeerTest, PlainSendWithAnAttachment) {
  AiosmtpdServer server(dir_ / "received", {});
  ASSERT_NE(server.port(), 0);
  const std::string wav = WriteFile("msg0001.wav", Pattern(100000));
  Mailer m;
  Prepare(&m, server.port(), "You have a new message.\n.A line with a dot\nBye\n");
  m.CCLIST = "carol@example.com";
  m.ATTACHMENTLIST = wav;
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_TRUE(m.errors.empty()) << m.errors[0];
  EXPECT_EQ(m.sent, 1);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(ReadFile(dir_ / "received" / "001.txt"),
            "from vm@example.com\nrcpt bob@example.com\nrcpt carol@example.com\n");
  const std::string out = Check((dir_ / "received" / "001.eml").string(), {"wav=" + wav});
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  EXPECT_NE(out.find("application/x-unkown name=msg0001.wav cte=base64 len=100000"),
            std::string::npos)
      << out;
  EXPECT_TRUE(PartMatchesFile(out, "wav")) << out;
  EXPECT_NE(out.find("text=b'You have a new message.\\r\\n.A line with a dot\\r\\nBye\\r\\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("header Subject: New voice message"), std::string::npos) << out;
}

TEST_F(SmtpPeerTest, EhloAndAuthLoginWithCheckedCredentials) {
  AiosmtpdServer server(dir_ / "received", {"--user", "alice", "--password", "s3cret"});
  ASSERT_NE(server.port(), 0);
  {
    Mailer m;
    Prepare(&m, server.port(), "Authenticated body\r\n");
    m.AUTHUSER = "alice";
    m.AUTHPASSWORD = "s3cret";
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_TRUE(m.errors.empty()) << m.errors[0];
    EXPECT_EQ(m.sent, 1);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(ReadFile(dir_ / "received" / "001.txt"),
              "from vm@example.com\nrcpt bob@example.com\nauth alice\n");
  }
  {
    Mailer m;
    Prepare(&m, server.port(), "x");
    m.AUTHUSER = "alice";
    m.AUTHPASSWORD = "wrong";
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_EQ(m.server_codes[0], 535);
    EXPECT_EQ(m.errors[0].rfind("Fatal Error. Email (SMTP) server sent error = 535 ", 0), 0u)
        << m.errors[0];
    EXPECT_NE(m.errors[0].find(" State = 73. "), std::string::npos) << m.errors[0];
    EXPECT_EQ(m.sent, 0);
  }
  {
    // Without credentials the server refuses MAIL FROM: a message error.
    Mailer m;
    Prepare(&m, server.port(), "x");
    m.SendMail(2);
    ASSERT_TRUE(RunUntilDone(&m));
    ASSERT_EQ(m.errors.size(), 1u);
    EXPECT_EQ(m.server_codes[0], 530);
    EXPECT_NE(m.errors[0].find(" State = 74. Will try and send next email"), std::string::npos)
        << m.errors[0];
  }
}

TEST_F(SmtpPeerTest, RejectedRecipientThenTheNextMessageOnAFreshConnection) {
  AiosmtpdServer server(dir_ / "received", {});
  ASSERT_NE(server.port(), 0);
  Mailer m;
  Prepare(&m, server.port(), "first");
  m.TOLIST = "reject-me@example.com";
  m.SendMail(2);
  m.TOLIST = "bob@example.com";
  m.SetRequiredMessageSize(0, 6, 0);
  m.SetMessageText("second");
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_EQ(m.errors.size(), 1u);
  EXPECT_EQ(m.server_codes[0], 550);
  EXPECT_NE(m.errors[0].find(
                "server sent error = 550 5.1.1 <reject-me@example.com>: Recipient address rejected "
                "State = 75. Will try and send next email."),
            std::string::npos)
      << m.errors[0];
  EXPECT_EQ(m.SERVERERRORNUM, 0);
  EXPECT_EQ(m.sent, 1);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(ReadFile(dir_ / "received" / "001.txt"), "from vm@example.com\nrcpt bob@example.com\n");
  EXPECT_TRUE(ReadFile(dir_ / "received" / "001.eml").ends_with("\r\n\r\nsecond\r\n"));
}

TEST_F(SmtpPeerTest, QuotedNameWithACommaIsOneRecipientAndNonAsciiTextArrives) {
  AiosmtpdServer server(dir_ / "received", {});
  ASSERT_NE(server.port(), 0);
  // The recording's name holds what a list would read as syntax.
  const std::string wav = WriteFile("m\xc3\xbc, \"x\"|1.wav", Pattern(5000));
  Mailer m;
  Prepare(&m, server.port(),
          "Gr\xc3\xbc\xc3\x9f"
          "e aus K\xc3\xb6ln\r\n" +
              std::string(999, 'z') + "\r\n");
  m.TOLIST = "\"Doe, John\" <john@example.com>";
  m.SUBJECT = "Nachricht f\xc3\xbcr Sie";
  m.AddAttachmentFile(wav);
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m));
  ASSERT_TRUE(m.errors.empty()) << m.errors[0];
  EXPECT_EQ(m.sent, 1);
  ASSERT_TRUE(WaitForMessages(1));
  EXPECT_EQ(ReadFile(dir_ / "received" / "001.txt"),
            "from vm@example.com\nrcpt john@example.com\n");
  const std::string out = Check((dir_ / "received" / "001.eml").string(), {"wav=" + wav});
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  EXPECT_TRUE(PartMatchesFile(out, "wav")) << out;
  EXPECT_NE(out.find("name=m\xc3\xbc, \"x\"|1.wav cte=base64 len=5000"), std::string::npos) << out;
  EXPECT_NE(out.find("header Subject: Nachricht f\xc3\xbcr Sie\n"), std::string::npos) << out;
  EXPECT_NE(out.find("header To: \"Doe, John\" <john@example.com>\n"), std::string::npos) << out;
  // The decoded text: the umlauts and the 999-character line intact.
  std::string hex;
  for (char c :
       "Gr\xc3\xbc\xc3\x9f"
       "e aus K\xc3\xb6ln\r\n" +
           std::string(999, 'z') + "\r\n") {
    static constexpr char kHex[] = "0123456789abcdef";
    hex.push_back(kHex[static_cast<unsigned char>(c) >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  EXPECT_NE(out.find("contenthex=" + hex), std::string::npos) << out;
}

TEST_F(SmtpPeerTest, TwentyMegabyteAttachment) {
  AiosmtpdServer server(dir_ / "received", {});
  ASSERT_NE(server.port(), 0);
  const std::string wav = WriteFile("big.wav", Pattern(20 * 1024 * 1024));
  Mailer m;
  Prepare(&m, server.port(), "Big one");
  m.ATTACHMENTLIST = wav;
  m.SendMail(2);
  ASSERT_TRUE(RunUntilDone(&m, std::chrono::seconds(120)));
  ASSERT_TRUE(m.errors.empty()) << m.errors[0];
  EXPECT_EQ(m.sent, 1);
  ASSERT_TRUE(WaitForMessages(1));
  const std::string out = Check((dir_ / "received" / "001.eml").string(), {"wav=" + wav});
  EXPECT_NE(out.find("application/x-unkown name=big.wav cte=base64 len=20971520"),
            std::string::npos)
      << out;
  EXPECT_TRUE(PartMatchesFile(out, "wav")) << out;
}

}  // namespace
}  // namespace vm::mail
