// One TLS client session over memory buffers (OpenSSL): ciphertext that came
// from the socket goes in with Feed, what TLS has to send comes out with
// TakeOutput; plaintext goes in with Write and comes out with Read. It does
// no I/O of its own, so sockets, events and traces stay the connection's.
// Owned by one NetSimple and used on its owner's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "net/tls_context.h"

struct ssl_st;
struct bio_st;

namespace vm::net {

class TlsSession {
 public:
  enum class Status { kHandshaking, kOpen, kFailed };

  // A session towards `host` (the name or dotted address the connection was
  // opened to): a name is sent as SNI and must be named by the certificate,
  // an address must be one of the certificate's addresses. A session kept
  // for host and port is offered for resumption. nullptr with *error set
  // when OpenSSL cannot make one.
  static std::unique_ptr<TlsSession> Create(std::shared_ptr<TlsContext> context,
                                            std::string_view host, uint16_t port,
                                            std::string* error);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Ciphertext received from the server.
  void Feed(std::string_view ciphertext);
  // Runs the handshake as far as what was fed allows.
  Status Handshake();
  // Up to `max` bytes of plaintext into `buf`; 0 when none is ready (or the
  // server sent its close_notify). A broken record sets kFailed.
  size_t Read(char* buf, size_t max);
  // Encrypts `plain` into the output. REQUIRES: status() == kOpen.
  bool Write(std::string_view plain);
  // Puts the close_notify alert into the output.
  void Shutdown();
  // Ciphertext for the server, taken out of the session.
  std::string TakeOutput();

  Status status() const { return status_; }
  // After kFailed: the library's number (kNetErrTlsHandshake,
  // kNetErrTlsUntrusted or kNetErrTlsWrongName) and the text after the colon
  // of its message (OpenSSL's reason, the verify result's text, the host).
  int32_t error() const { return error_; }
  const std::string& detail() const { return detail_; }
  // Whether the handshake resumed a session kept from an earlier connection.
  bool resumed() const;
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" once open.
  std::string Description() const;

 private:
  TlsSession(std::shared_ptr<TlsContext> context, std::string host, std::string key);
  void Fail(int32_t error, std::string detail);
  // Classifies a failed handshake or read (SSL_get_error's answer `ssl_error`).
  void FailFromSsl(int ssl_error, const char* doing);

  std::shared_ptr<TlsContext> context_;
  const std::string host_;
  const std::string key_;  // host:port, the session cache's key (the SSL's app data)
  ssl_st* ssl_ = nullptr;
  bio_st* in_ = nullptr;   // ciphertext from the server (owned by ssl_)
  bio_st* out_ = nullptr;  // ciphertext for the server (owned by ssl_)
  Status status_ = Status::kHandshaking;
  int32_t error_ = 0;
  std::string detail_;
};

// The full text of a TLS failure: the error's text, a colon and the detail
// ("The server's certificate is not trusted: self-signed certificate"); for
// kNetErrTlsWrongName the detail is the host ("... does not name HOST").
std::string TlsErrorText(int32_t error, std::string_view detail);

}  // namespace vm::net
