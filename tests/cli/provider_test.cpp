// The program sending through a mail provider as an operator sets it up:
// `settings set` for the security, login and CA file, then `--scan-once`
// and `test-mail`, against aiosmtpd with STARTTLS or TLS from the first
// byte, a login it checks, and certificates made for the run. The server's
// transcript says which commands it saw and whether TLS ran; the password
// is looked for in every file, output and trace the runs leave.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "app/settings_file.h"
#include "cli_test_support.h"
#include "mail/mime_codec.h"
#include "peers/peer_support.h"

namespace vm::cli::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kUser[] = "alice";
constexpr char kPassword[] = "Pw-7qZ!x9 lK";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class ProviderTest : public CliTest {
 protected:
  static void SetUpTestSuite() {
    certs_dir_ = new fs::path(fs::temp_directory_path() /
                              ("vm_provider_certs_" + std::to_string(::getpid())));
    certs_ = new peers::TestCertificates(peers::MakeCertificates(*certs_dir_));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*certs_dir_, ec);
    delete certs_;
    delete certs_dir_;
  }
  void SetUp() override {
    CliTest::SetUp();
    ASSERT_FALSE(certs_->ca.empty()) << certs_->log;
    fs::create_directories(root() / "received");
  }

  // aiosmtpd in `mode` (starttls, tls) on a port the settings record holds,
  // requiring the login alice / kPassword.
  std::unique_ptr<peers::PythonServer> Server(const std::string& mode,
                                              std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        "--mode", mode,  "--cert",     certs_->server_cert, "--key",     certs_->server_key,
        "--user", kUser, "--password", kPassword,           "--low-port"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto s = std::make_unique<peers::PythonServer>("smtp_tls_server.py", root() / "received", args);
    EXPECT_NE(s->port(), 0) << "the TLS server did not start";
    return s;
  }

  // The settings record for `port`, mailbox 101 and the mail settings.
  void SetUpProvider(uint16_t port, const std::vector<std::string>& mail_settings) {
    WriteSettings(port);
    AddMailbox(101, "bob@example.com", "", "YES", "YES");
    std::vector<std::string> words = {"settings", "set"};
    words.insert(words.end(), mail_settings.begin(), mail_settings.end());
    const Outcome set = Run(words);
    ASSERT_EQ(set.status, 0) << set.err;
    const Outcome password = Run({"settings", "set", "password=-"}, std::string(kPassword) + "\n");
    ASSERT_EQ(password.status, 0) << password.err;
  }

  std::string ServerTranscript() {
    return app::testing::ReadFileBytes(root() / "received" / "transcript.txt");
  }

  // Everything a run may leave that is not the credentials file: every file
  // below the working directory and the outputs kept in `seen_`.
  void ExpectPasswordNowhere() {
    const std::string plain_token =
        mail::NetBase64Encode(std::string("\0", 1) + kUser + std::string("\0", 1) + kPassword);
    const std::vector<std::string> forms = {kPassword, mail::NetBase64Encode(kPassword),
                                            plain_token};
    std::vector<std::pair<std::string, std::string>> places = seen_;
    for (const auto& e : fs::recursive_directory_iterator(data_dir())) {
      if (e.is_regular_file() && e.path().filename() != app::kCredentialsFileName)
        places.emplace_back(e.path().string(), app::testing::ReadFileBytes(e.path()));
    }
    places.emplace_back("the server's transcript", ServerTranscript());
    for (const auto& [where, bytes] : places) {
      for (const std::string& f : forms)
        EXPECT_EQ(bytes.find(f), std::string::npos) << "the password is in " << where;
    }
    EXPECT_NE(app::testing::ReadFileBytes(fs::path(data_dir()) / app::kCredentialsFileName)
                  .find(std::string("password=") + kPassword + "\n"),
              std::string::npos);
  }

  // The program with the full trace of the networking layer in a file.
  Outcome Pass() {
    const std::string trace = (root() / "trace.log").string();
    const Outcome o = Run({"--scan-once", "--trace-file", trace, "/netall"});
    seen_.emplace_back("--scan-once output", o.out + o.err);
    seen_.emplace_back("the trace file", app::testing::ReadFileBytes(trace));
    return o;
  }
  Outcome TestMail(const std::string& to) {
    const Outcome o = Run({"test-mail", to});
    seen_.emplace_back("test-mail output", o.out + o.err);
    return o;
  }

  static fs::path* certs_dir_;
  static peers::TestCertificates* certs_;
  std::vector<std::pair<std::string, std::string>> seen_;
};

fs::path* ProviderTest::certs_dir_ = nullptr;
peers::TestCertificates* ProviderTest::certs_ = nullptr;

TEST_F(ProviderTest, StartTlsDeliversWithTheCaFileAndFailsWithoutItLeavingThePasswordNowhere) {
  auto server = Server("starttls");
  ASSERT_NO_FATAL_FAILURE(
      SetUpProvider(server->port(),
                    {"security=starttls", std::string("user=") + kUser, "ca-file=" + certs_->ca}));
  MakeRecording(101, "first.wav", std::string(3000, 'a'));
  Outcome o = Pass();
  ASSERT_EQ(o.status, 0) << o.err;
  const std::vector<std::string> t = Lines(ServerTranscript());
  ASSERT_GE(t.size(), 7u) << ServerTranscript();
  EXPECT_EQ(t[0], "tls=0 EHLO NetSendMail");
  EXPECT_EQ(t[1], "tls=0 STARTTLS ");
  EXPECT_EQ(t[2], "tls=1 EHLO NetSendMail");
  EXPECT_EQ(t[3], "tls=1 AUTH PLAIN");
  EXPECT_EQ(t[4], "tls=1 MAIL FROM: <vm@example.com>");
  EXPECT_EQ(app::testing::ReadFileBytes(root() / "received" / "001.txt"),
            "from vm@example.com\nrcpt bob@example.com\nauth alice\n");
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].error, "Nil");

  // Without the CA file the server's certificate is not trusted: -62, and
  // nothing goes after the handshake, in the clear or not.
  ASSERT_EQ(Run({"settings", "set", "ca-file="}).status, 0);
  const size_t before = t.size();
  MakeRecording(101, "second.wav", std::string(3000, 'b'));
  o = Pass();
  EXPECT_EQ(o.status, 1) << o.err;
  const std::vector<app::ProcessedRow> log = Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].error_code, -62);
  EXPECT_NE(log[1].error.find("The server's certificate is not trusted: "), std::string::npos)
      << log[1].error;
  EXPECT_NE(app::testing::ReadFileBytes(root() / "trace.log")
                .find("send_mail: failed mailbox 101 file second.wav: -62 "),
            std::string::npos);
  std::vector<std::string> after = Lines(ServerTranscript());
  after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(before));
  EXPECT_EQ(after, (std::vector<std::string>{"tls=0 EHLO NetSendMail", "tls=0 STARTTLS "}));

  // verify=no sends (and says so at every pass).
  ASSERT_EQ(Run({"settings", "set", "verify=no"}).status, 0);
  size_t warnings = 0;
  for (const char* name : {"third.wav", "fourth.wav"}) {
    MakeRecording(101, name, std::string(3000, 'c'));
    o = Pass();
    EXPECT_EQ(o.status, 0) << o.err;
    // The trace file is appended to: one line more each pass.
    EXPECT_EQ(Count(app::testing::ReadFileBytes(root() / "trace.log"), "warning: verify=no: "),
              ++warnings);
  }
  EXPECT_EQ(Log().back().error, "Nil");
  seen_.emplace_back("log --json", Run({"log", "--json"}).out);
  seen_.emplace_back("status", Run({"status"}).out);
  ExpectPasswordNowhere();
}

TEST_F(ProviderTest, ImplicitTlsTestMailShowsTheDialogueWithTheLoginMasked) {
  // AUTH LOGIN alone: both the name and the password are lines of their own.
  auto server = Server("tls", {"--mechanisms", "LOGIN"});
  ASSERT_NO_FATAL_FAILURE(
      SetUpProvider(server->port(), {"security=tls", std::string("user=") + kUser,
                                     "ca-file=" + certs_->ca, "helo-name=gw.example.com"}));
  Outcome o = TestMail("Bob <bob@example.com>");
  ASSERT_EQ(o.status, 0) << o.out << o.err;
  const std::vector<std::string> lines = Lines(o.out);
  ASSERT_GE(lines.size(), 10u) << o.out;
  EXPECT_EQ(lines[0], "Sending a test mail to Bob <bob@example.com> through 127.0.0.1 port " +
                          std::to_string(server->port()) + ", security tls, login as alice");
  EXPECT_EQ(lines[1].substr(0, 8), "TLS: TLS") << lines[1];
  EXPECT_EQ(lines[2].substr(0, 7), "S: 220 ") << lines[2];
  EXPECT_EQ(lines[3], "C: EHLO gw.example.com");
  // The login: the server's two prompts, each answered by a masked line.
  const auto login = std::find(lines.begin(), lines.end(), "C: AUTH LOGIN");
  ASSERT_LE(login + 6, lines.end()) << o.out;
  const std::vector<std::string> prefixes = {"S: 334 ", "C: ****", "S: 334 ", "C: ****", "S: 235 "};
  for (size_t i = 0; i < prefixes.size(); ++i)
    EXPECT_EQ(login[static_cast<std::ptrdiff_t>(i) + 1].substr(0, 7), prefixes[i]) << o.out;
  EXPECT_EQ(login[2], "C: ****");
  EXPECT_NE(o.out.find("C: RCPT TO: <bob@example.com>\n"), std::string::npos);
  EXPECT_NE(o.out.find("S: 354 "), std::string::npos);
  EXPECT_EQ(lines.back(), "Accepted: the server took the message.");
  EXPECT_EQ(o.out.find(mail::NetBase64Encode(kUser)), std::string::npos);
  ASSERT_TRUE(fs::exists(root() / "received" / "001.eml"));
  EXPECT_NE(app::testing::ReadFileBytes(root() / "received" / "001.eml")
                .find("Subject: voicemail-mailer test mail"),
            std::string::npos);

  // The same settings carry a pass.
  MakeRecording(101, "first.wav", std::string(5000, 'x'));
  o = Pass();
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(Log().at(0).error, "Nil");

  // A wrong password: the server's refusal, and status 1.
  ASSERT_EQ(Run({"settings", "set", "password=-"}, "wrong\n").status, 0);
  o = TestMail("bob@example.com");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(Lines(o.out).back().substr(0, 18), "Not accepted: 535 ") << o.out;
  ASSERT_EQ(Run({"settings", "set", "password=-"}, std::string(kPassword) + "\n").status, 0);
  ExpectPasswordNowhere();
}

TEST_F(ProviderTest, TestMailThatCannotStartSaysWhyWithStatusTwo) {
  WriteSettings(2525);
  for (const auto& [words, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"test-mail"}, "give one ADDRESS"},
           {{"test-mail", "a@example.com", "b@example.com"}, "give one ADDRESS"},
           {{"test-mail", "not an address"}, "not an address is not an address"},
           {{"test-mail", "--bogus", "a@example.com"}, "unknown option --bogus"},
       }) {
    const Outcome o = Run(words);
    EXPECT_EQ(o.status, 2) << line;
    EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find(line), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  const fs::path empty = root() / "empty";
  fs::create_directories(empty);
  const Outcome none = RunProgram({"test-mail", "a@example.com", "--data-dir", empty.string()});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("no mail server is set in " + empty.string()), std::string::npos)
      << none.err;
  EXPECT_NE(Run({"test-mail", "--help"}).out.find("Exit status: 0 the server accepted"),
            std::string::npos);
}

TEST_F(ProviderTest, CredentialsOthersCanReadStopThePassBeforeAnythingIsQueuedOrSent) {
  auto server = Server("starttls");
  ASSERT_NO_FATAL_FAILURE(
      SetUpProvider(server->port(),
                    {"security=starttls", std::string("user=") + kUser, "ca-file=" + certs_->ca}));
  MakeRecording(101, "first.wav", std::string(3000, 'a'));
  const fs::path credentials = fs::path(data_dir()) / app::kCredentialsFileName;
  fs::permissions(credentials, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read | fs::perms::others_read);
  const Outcome o = Run({"--scan-once"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(o.err, "send_mail: nothing queued or sent: " + credentials.string() +
                       " can be read by other users; make it private: chmod 600 " +
                       credentials.string() + "\n");
  EXPECT_TRUE(Log().empty());
  EXPECT_EQ(ServerTranscript(), "");
  const Outcome test = Run({"test-mail", "bob@example.com"});
  EXPECT_EQ(test.status, 2);
  EXPECT_NE(test.err.find("chmod 600 " + credentials.string()), std::string::npos);

  // Mended as the line says, the recording goes.
  fs::permissions(credentials, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Run({"--scan-once"}).status, 0);
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].error, "Nil");
}

}  // namespace
}  // namespace vm::cli::testing
