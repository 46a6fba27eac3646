#include "net/tls_session.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/net_errors.h"
#include "platform/socket.h"

namespace vm::net {

namespace {

// OpenSSL's reason for the first error of this thread's queue, or `fallback`.
std::string Reason(const char* fallback) {
  const unsigned long e = ERR_peek_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return reason != nullptr ? reason : fallback;
}

}  // namespace

std::string TlsErrorText(int32_t error, std::string_view detail) {
  switch (error) {
    case kNetErrTlsHandshake:
      return "The TLS handshake failed: " + std::string(detail);
    case kNetErrTlsUntrusted:
      return "The server's certificate is not trusted: " + std::string(detail);
    case kNetErrTlsWrongName:
      return "The server's certificate does not name " + std::string(detail);
    default:
      return std::string(detail);
  }
}

TlsSession::TlsSession(std::shared_ptr<TlsContext> context, std::string host, std::string key)
    : context_(std::move(context)), host_(std::move(host)), key_(std::move(key)) {}

TlsSession::~TlsSession() {
  SSL_free(ssl_);  // frees both BIOs
}

std::unique_ptr<TlsSession> TlsSession::Create(std::shared_ptr<TlsContext> context,
                                               std::string_view host, uint16_t port,
                                               std::string* error) {
  ERR_clear_error();
  const std::string key = std::string(host) + ":" + std::to_string(port);
  std::unique_ptr<TlsSession> s(new TlsSession(context, std::string(host), key));
  s->ssl_ = SSL_new(context->ctx());
  s->in_ = BIO_new(BIO_s_mem());
  s->out_ = BIO_new(BIO_s_mem());
  if (s->ssl_ == nullptr || s->in_ == nullptr || s->out_ == nullptr) {
    BIO_free(s->in_);
    BIO_free(s->out_);
    s->in_ = s->out_ = nullptr;
    *error = Reason("no TLS session could be made");
    return nullptr;
  }
  // An empty buffer means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(s->in_, -1);
  BIO_set_mem_eof_return(s->out_, -1);
  SSL_set_bio(s->ssl_, s->in_, s->out_);
  SSL_set_connect_state(s->ssl_);
  SSL_set_app_data(s->ssl_, const_cast<std::string*>(&s->key_));
  uint32_t addr = 0;
  const bool is_address = platform::ParseIPv4(s->host_, &addr);
  bool ok = true;
  // SNI carries names only; an address is matched against the certificate's addresses.
  if (!is_address) ok = SSL_set_tlsext_host_name(s->ssl_, s->host_.c_str()) == 1;
  if (ok && context->options().verify) {
    ok = is_address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl_), s->host_.c_str()) == 1
                    : SSL_set1_host(s->ssl_, s->host_.c_str()) == 1;
  }
  if (!ok) {
    *error = Reason("the server's name could not be set");
    return nullptr;
  }
  if (SSL_SESSION* kept = context->TakeSession(key)) {
    SSL_set_session(s->ssl_, kept);
    SSL_SESSION_free(kept);
  }
  return s;
}

void TlsSession::Feed(std::string_view ciphertext) {
  if (!ciphertext.empty()) BIO_write(in_, ciphertext.data(), static_cast<int>(ciphertext.size()));
}

TlsSession::Status TlsSession::Handshake() {
  if (status_ != Status::kHandshaking) return status_;
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl_);
  if (r == 1) {
    status_ = Status::kOpen;
    return status_;
  }
  const int e = SSL_get_error(ssl_, r);
  if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) FailFromSsl(e, "handshake");
  return status_;
}

size_t TlsSession::Read(char* buf, size_t max) {
  if (status_ != Status::kOpen || max == 0) return 0;
  ERR_clear_error();
  size_t got = 0;
  const int r = SSL_read_ex(ssl_, buf, max, &got);
  if (r == 1) return got;
  const int e = SSL_get_error(ssl_, r);
  // Nothing more yet, or the server's close_notify: its TCP close follows.
  if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_ZERO_RETURN) return 0;
  FailFromSsl(e, "read");
  return 0;
}

bool TlsSession::Write(std::string_view plain) {
  if (status_ != Status::kOpen) return false;
  ERR_clear_error();
  size_t written = 0;
  // A memory buffer takes everything, so the write is never partial.
  if (SSL_write_ex(ssl_, plain.data(), plain.size(), &written) == 1) return true;
  FailFromSsl(SSL_get_error(ssl_, 0), "write");
  return false;
}

void TlsSession::Shutdown() {
  if (status_ != Status::kOpen) return;
  ERR_clear_error();
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::string TlsSession::TakeOutput() {
  std::string out;
  const size_t pending = BIO_ctrl_pending(out_);
  if (pending == 0) return out;
  out.resize(pending);
  const int n = BIO_read(out_, out.data(), static_cast<int>(pending));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool TlsSession::resumed() const {
  return status_ == Status::kOpen && SSL_session_reused(ssl_) == 1;
}

std::string TlsSession::Description() const {
  if (status_ != Status::kOpen) return {};
  return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

void TlsSession::Fail(int32_t error, std::string detail) {
  status_ = Status::kFailed;
  error_ = error;
  detail_ = std::move(detail);
}

void TlsSession::FailFromSsl(int ssl_error, const char* doing) {
  const long verify = SSL_get_verify_result(ssl_);
  if (ssl_error == SSL_ERROR_SSL && context_->options().verify && verify != X509_V_OK) {
    if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
      Fail(kNetErrTlsWrongName, host_);
    } else {
      Fail(kNetErrTlsUntrusted, X509_verify_cert_error_string(verify));
    }
  } else if (ssl_error == SSL_ERROR_SSL) {
    Fail(kNetErrTlsHandshake, Reason("unknown reason"));
  } else if (ssl_error == SSL_ERROR_ZERO_RETURN) {
    Fail(kNetErrTlsHandshake, "the server ended the TLS session");
  } else {
    Fail(kNetErrTlsHandshake,
         std::string("unexpected result ") + std::to_string(ssl_error) + " in the " + doing);
  }
  ERR_clear_error();
}

}  // namespace vm::net
