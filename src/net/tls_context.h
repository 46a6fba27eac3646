// TLS client settings and the OpenSSL context made from them: TLS 1.2 or
// newer, the system's trust store plus an optional CA file, and the cache of
// sessions that lets a later connection to the same server resume instead of
// running a full handshake. The runtime keeps one context per distinct
// settings (TlsContexts); connections share it. Safe from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct ssl_ctx_st;
struct ssl_session_st;

namespace vm::net {

struct TlsOptions {
  // Extra trusted certificates (PEM), added to the system's store; empty =
  // the system's store only.
  std::string ca_file;
  // false: the certificate is neither checked against a trust store nor
  // against the server's name (a warning is traced for every connection).
  bool verify = true;

  bool operator<(const TlsOptions& o) const {
    return ca_file != o.ca_file ? ca_file < o.ca_file : verify < o.verify;
  }
};

class TlsContext {
 public:
  // The context for `options`; nullptr with *error set (OpenSSL's reason)
  // when it cannot be made, for example when the CA file cannot be read.
  static std::shared_ptr<TlsContext> Create(const TlsOptions& options, std::string* error);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  ssl_ctx_st* ctx() const { return ctx_; }
  const TlsOptions& options() const { return options_; }

  // The session kept for `key` (server and port), taken out of the cache: a
  // TLS 1.3 ticket is meant to be used once, and the new connection brings
  // fresh ones. The caller owns the returned reference; nullptr when none.
  ssl_session_st* TakeSession(const std::string& key);
  // Keeps `session` for `key`, replacing an older one; takes the reference.
  void StoreSession(const std::string& key, ssl_session_st* session);
  size_t cached_sessions() const;

 private:
  TlsContext(const TlsOptions& options, ssl_ctx_st* ctx);

  const TlsOptions options_;
  ssl_ctx_st* const ctx_;
  mutable std::mutex mu_;
  std::map<std::string, ssl_session_st*> sessions_;
};

// The contexts of one process, by settings. Owned by the NetRuntime.
class TlsContexts {
 public:
  // The context for `options`, made on first use; nullptr with *error set
  // when it cannot be made (it is tried again next time).
  std::shared_ptr<TlsContext> Get(const TlsOptions& options, std::string* error);

 private:
  std::mutex mu_;
  std::map<TlsOptions, std::shared_ptr<TlsContext>> contexts_;
};

}  // namespace vm::net
