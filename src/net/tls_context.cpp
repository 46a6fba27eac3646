#include "net/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace vm::net {

namespace {

// OpenSSL's reason for the oldest error of this thread's queue, or `fallback`.
std::string ErrorReason(const char* fallback) {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  const char* reason = e != 0 ? ERR_reason_error_string(e) : nullptr;
  return reason != nullptr ? reason : fallback;
}

// A new session of a connection (after its handshake, or a TLS 1.3 ticket
// that arrives later): kept under the key the connection put in its app data.
int NewSession(SSL* ssl, SSL_SESSION* session) {
  auto* context = static_cast<TlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  auto* key = static_cast<const std::string*>(SSL_get_app_data(ssl));
  if (context == nullptr || key == nullptr || !SSL_SESSION_is_resumable(session)) return 0;
  context->StoreSession(*key, session);
  return 1;  // the reference is ours now
}

}  // namespace

std::shared_ptr<TlsContext> TlsContext::Create(const TlsOptions& options, std::string* error) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    *error = ErrorReason("no TLS context could be made");
    return nullptr;
  }
  auto fail = [&](const std::string& what) {
    *error = what;
    SSL_CTX_free(ctx);
    return nullptr;
  };
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1)
    return fail(ErrorReason("TLS 1.2 could not be required"));
  if (options.verify) {
    if (SSL_CTX_set_default_verify_paths(ctx) != 1)
      return fail("the system's trusted certificates could not be loaded: " +
                  ErrorReason("unknown reason"));
    if (!options.ca_file.empty() &&
        SSL_CTX_load_verify_locations(ctx, options.ca_file.c_str(), nullptr) != 1) {
      return fail("the CA file " + options.ca_file +
                  " could not be read: " + ErrorReason("unknown reason"));
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  // Sessions are kept by server in this object, not in OpenSSL's cache,
  // which is keyed by session id and knows no server names.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, NewSession);
  std::shared_ptr<TlsContext> context(new TlsContext(options, ctx));
  SSL_CTX_set_app_data(ctx, context.get());
  return context;
}

TlsContext::TlsContext(const TlsOptions& options, ssl_ctx_st* ctx) : options_(options), ctx_(ctx) {}

TlsContext::~TlsContext() {
  for (auto& [key, session] : sessions_) SSL_SESSION_free(session);
  SSL_CTX_free(ctx_);
}

ssl_session_st* TlsContext::TakeSession(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return nullptr;
  SSL_SESSION* session = it->second;
  sessions_.erase(it);
  return session;
}

void TlsContext::StoreSession(const std::string& key, ssl_session_st* session) {
  std::lock_guard<std::mutex> lock(mu_);
  auto [it, added] = sessions_.emplace(key, session);
  if (!added) {
    SSL_SESSION_free(it->second);
    it->second = session;
  }
}

size_t TlsContext::cached_sessions() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sessions_.size();
}

std::shared_ptr<TlsContext> TlsContexts::Get(const TlsOptions& options, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = contexts_.find(options);
  if (it != contexts_.end()) return it->second;
  std::shared_ptr<TlsContext> context = TlsContext::Create(options, error);
  if (context != nullptr) contexts_.emplace(options, context);
  return context;
}

}  // namespace vm::net
