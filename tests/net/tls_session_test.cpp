// TlsSession against an OpenSSL server in the same process, the two joined
// by memory buffers: the handshake, data both ways, resumption from the
// context's session cache, and how each kind of failure is told apart.
// Certificates are made for the run by the openssl command.

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "net/net_errors.h"
#include "net/tls_context.h"
#include "net/tls_session.h"

namespace vm::net {
namespace {

std::string RunShell(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// A server end over memory buffers with the certificate made for the run.
class MemoryServer {
 public:
  MemoryServer(const std::string& cert, const std::string& key, int max_version = 0) {
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_chain_file(ctx_, cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM);
    if (max_version != 0) SSL_CTX_set_max_proto_version(ctx_, max_version);
  }
  ~MemoryServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  // A fresh connection (the context, and so its ticket key, stays).
  void Accept() {
    SSL_free(ssl_);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(in_, -1);
    BIO_set_mem_eof_return(out_, -1);
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
  }
  // Moves bytes both ways until neither side has anything more to say.
  void Pump(TlsSession* client) {
    for (int round = 0; round < 20; ++round) {
      const std::string to_server = client->TakeOutput();
      if (!to_server.empty()) BIO_write(in_, to_server.data(), static_cast<int>(to_server.size()));
      if (!SSL_is_init_finished(ssl_)) {
        SSL_do_handshake(ssl_);
      } else {
        char buf[65536];
        size_t got = 0;
        while (SSL_read_ex(ssl_, buf, sizeof buf, &got) == 1) received.append(buf, got);
      }
      const std::string to_client = Output();
      if (to_server.empty() && to_client.empty()) return;
      client->Feed(to_client);
      if (client->status() == TlsSession::Status::kHandshaking) client->Handshake();
      char buf[65536];
      while (size_t n = client->Read(buf, sizeof buf)) client_received.append(buf, n);
    }
  }
  void Write(const std::string& s) {
    size_t written = 0;
    SSL_write_ex(ssl_, s.data(), s.size(), &written);
  }
  std::string Output() {
    std::string out(BIO_ctrl_pending(out_), '\0');
    if (!out.empty()) BIO_read(out_, out.data(), static_cast<int>(out.size()));
    return out;
  }

  std::string received;         // plaintext the server read
  std::string client_received;  // plaintext the client read

 private:
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
};

class TlsSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::filesystem::path(std::filesystem::temp_directory_path() /
                                     ("vm_tls_session_" + std::to_string(getpid())));
    std::filesystem::create_directories(*dir_);
    const std::string d = "'" + dir_->string() + "'";
    const std::string ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    log_ = new std::string(
        RunShell("openssl req -x509 " + ec + " -keyout " + d + "/ca.key -out " + d +
                 "/ca.pem -days 2 -subj /CN=TestCA -addext basicConstraints=critical,CA:TRUE && "
                 "openssl req -new " +
                 ec + " -keyout " + d + "/server.key -out " + d +
                 "/server.csr -subj /CN=localhost && printf "
                 "'subjectAltName=DNS:localhost,IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > " +
                 d + "/server.ext && openssl x509 -req -in " + d + "/server.csr -CA " + d +
                 "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial -days 2 -out " + d +
                 "/server.pem -extfile " + d + "/server.ext && echo CERTS-OK"));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    std::filesystem::remove_all(*dir_, ec);
    delete dir_;
    delete log_;
  }
  void SetUp() override { ASSERT_NE(log_->find("CERTS-OK"), std::string::npos) << *log_; }
  static std::string File(const char* name) { return (*dir_ / name).string(); }

  static std::shared_ptr<TlsContext> Context(bool with_ca, bool verify = true) {
    TlsOptions o;
    if (with_ca) o.ca_file = File("ca.pem");
    o.verify = verify;
    std::string error;
    auto c = TlsContext::Create(o, &error);
    EXPECT_NE(c, nullptr) << error;
    return c;
  }
  static std::unique_ptr<TlsSession> Session(const std::shared_ptr<TlsContext>& c,
                                             const std::string& host) {
    std::string error;
    auto s = TlsSession::Create(c, host, 465, &error);
    EXPECT_NE(s, nullptr) << error;
    if (s != nullptr) s->Handshake();  // the ClientHello
    return s;
  }

  static std::filesystem::path* dir_;
  static std::string* log_;
};

std::filesystem::path* TlsSessionTest::dir_ = nullptr;
std::string* TlsSessionTest::log_ = nullptr;

TEST_F(TlsSessionTest, HandshakeDataBothWaysAndResumptionOfTheNextSession) {
  MemoryServer server(File("server.pem"), File("server.key"));
  auto context = Context(true);
  server.Accept();
  auto first = Session(context, "localhost");
  server.Pump(first.get());
  ASSERT_EQ(first->status(), TlsSession::Status::kOpen) << first->detail();
  EXPECT_EQ(first->Description().rfind("TLSv1.3 ", 0), 0u) << first->Description();
  EXPECT_FALSE(first->resumed());
  // More than one record's worth each way.
  const std::string big(40000, 'x');
  ASSERT_TRUE(first->Write(big + "EHLO\r\n"));
  server.Write("220 ready\r\n" + std::string(20000, 'y'));
  server.Pump(first.get());
  EXPECT_EQ(server.received, big + "EHLO\r\n");
  EXPECT_EQ(server.client_received, "220 ready\r\n" + std::string(20000, 'y'));
  // The server's tickets arrived with the data: one session is kept.
  EXPECT_EQ(context->cached_sessions(), 1u);

  server.Accept();
  auto second = Session(context, "localhost");
  EXPECT_EQ(context->cached_sessions(), 0u);  // taken: a ticket is used once
  server.Pump(second.get());
  ASSERT_EQ(second->status(), TlsSession::Status::kOpen) << second->detail();
  EXPECT_TRUE(second->resumed());
  // Another server name is another key: no resumption.
  server.Accept();
  auto by_address = Session(context, "127.0.0.1");
  server.Pump(by_address.get());
  ASSERT_EQ(by_address->status(), TlsSession::Status::kOpen) << by_address->detail();
  EXPECT_FALSE(by_address->resumed());
}

TEST_F(TlsSessionTest, EachCertificateProblemHasItsOwnNumberAndDetail) {
  MemoryServer server(File("server.pem"), File("server.key"));
  struct Case {
    bool with_ca;
    bool verify;
    const char* host;
    int32_t error;  // 0: the session opens
    std::string detail;
  };
  const Case cases[] = {
      {false, true, "localhost", kNetErrTlsUntrusted, "unable to get local issuer certificate"},
      {true, true, "mail.example.com", kNetErrTlsWrongName, "mail.example.com"},
      {true, true, "127.0.0.2", kNetErrTlsWrongName, "127.0.0.2"},
      {true, true, "LOCALHOST", 0, ""},  // names compare without case
      {false, false, "mail.example.com", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    server.Accept();
    auto s = Session(Context(c.with_ca, c.verify), c.host);
    server.Pump(s.get());
    if (c.error == 0) {
      EXPECT_EQ(s->status(), TlsSession::Status::kOpen) << s->detail();
      continue;
    }
    ASSERT_EQ(s->status(), TlsSession::Status::kFailed);
    EXPECT_EQ(s->error(), c.error);
    EXPECT_EQ(s->detail(), c.detail);
  }
  EXPECT_EQ(TlsErrorText(kNetErrTlsWrongName, "mail.example.com"),
            "The server's certificate does not name mail.example.com");
  EXPECT_EQ(TlsErrorText(kNetErrTlsUntrusted, "self-signed certificate"),
            "The server's certificate is not trusted: self-signed certificate");
}

TEST_F(TlsSessionTest, ProtocolFailuresCarryOpenSslsReason) {
  {
    // A server that stops at TLS 1.1, below what the client accepts.
    MemoryServer old(File("server.pem"), File("server.key"), TLS1_1_VERSION);
    old.Accept();
    auto s = Session(Context(true), "localhost");
    old.Pump(s.get());
    ASSERT_EQ(s->status(), TlsSession::Status::kFailed);
    EXPECT_EQ(s->error(), kNetErrTlsHandshake);
    EXPECT_NE(s->detail().find("protocol version"), std::string::npos) << s->detail();
  }
  {
    // A server that answers in plain SMTP.
    auto s = Session(Context(true), "localhost");
    s->Feed("220 mail.example.com ESMTP\r\n");
    EXPECT_EQ(s->Handshake(), TlsSession::Status::kFailed);
    EXPECT_EQ(s->error(), kNetErrTlsHandshake);
    EXPECT_EQ(s->detail(), "wrong version number");
    EXPECT_EQ(TlsErrorText(s->error(), s->detail()),
              "The TLS handshake failed: wrong version number");
  }
  TlsOptions missing;
  missing.ca_file = File("no-such-ca.pem");
  std::string error;
  EXPECT_EQ(TlsContext::Create(missing, &error), nullptr);
  EXPECT_EQ(error.rfind("the CA file " + missing.ca_file + " could not be read: ", 0), 0u) << error;
}

}  // namespace
}  // namespace vm::net
