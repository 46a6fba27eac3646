// The TLS layer of a NetSimple client connection. The session sits between
// the object's operations and the socket layer, on the owner's thread: Send
// encrypts PACKET and hands the ciphertext to the socket layer as packets of
// its own, and every data packet the notification thread delivers is
// decrypted before Process sees the plaintext in PACKET. The socket layer,
// its events and its close phases are the same as for a plain connection.
#include <algorithm>
#include <cstring>

#include "net/net_runtime.h"
#include "net/net_simple.h"
#include "net/tls_session.h"

namespace vm::net {

namespace {

constexpr char kTlsFunction[] = "NetSimple.StartTls";

std::string ServerText(const Connection& c) {
  return std::string(c.SERVER, strnlen(c.SERVER, sizeof c.SERVER));
}

}  // namespace

NetSimple::NetSimple() = default;
NetSimple::~NetSimple() = default;

void NetSimple::SetTls(TlsMode mode, const TlsOptions& options) {
  tls_mode_ = mode;
  tls_options_ = options;
}

bool NetSimple::TlsOpen() const {
  return tls_ != nullptr && tls_->status() == TlsSession::Status::kOpen;
}

bool NetSimple::TlsHandshaking() const {
  return tls_ != nullptr && tls_->status() == TlsSession::Status::kHandshaking;
}

std::string NetSimple::TlsDescription() const {
  if (!TlsOpen()) return {};
  return tls_->Description() + (tls_->resumed() ? ", session resumed" : "");
}

uint32_t NetSimple::RemoteAddress() const {
  uint32_t addr = 0;
  std::memcpy(&addr, _CONNECTION.RESERVED1, sizeof addr);
  return addr;
}

void NetSimple::TlsDone(int32_t) {}

void NetSimple::StartTls() {
  ERROR = 0;
  if (OPENFLAG == 0 || tls_ != nullptr) {
    ERROR = kNetErrNotOpen;
    ErrorTrap("TLS can not be started: the connection is not open or already uses TLS",
              kTlsFunction);
    return;
  }
  BeginTls();
}

bool NetSimple::BeginTls() {
  tls_error_ = 0;
  tls_detail_.clear();
  NetRuntime* rt = NetRuntime::Current();
  const std::string host = ServerText(_CONNECTION);
  std::string error = "the networking runtime is not running";
  std::shared_ptr<TlsContext> context =
      rt != nullptr ? rt->tls_contexts().Get(tls_options_, &error) : nullptr;
  if (context != nullptr) tls_ = TlsSession::Create(context, host, _CONNECTION.PORT, &error);
  if (tls_ == nullptr) {
    TlsFail(kNetErrTlsHandshake, error, "Unable to start TLS");
    return false;
  }
  if (!tls_options_.verify) {
    rt->TraceLine("Warning. The certificate of " + host +
                      " will not be checked: certificate verification is switched off",
                  kTlsFunction, kTraceError);
  }
  rt->TraceLine("Starting the TLS handshake with " + host +
                    " Port = " + std::to_string(_CONNECTION.PORT) +
                    " SockID = " + std::to_string(_CONNECTION.SOCKID),
                kTlsFunction, kTraceInfo);
  if (tls_packet_ == nullptr) tls_packet_ = std::make_unique<Packet>();
  tls_->Handshake();  // writes the ClientHello
  return TlsSendOutput();
}

void NetSimple::TlsReceived() {
  const uint64_t generation = tls_generation_;
  tls_->Feed(std::string_view(PACKET.BINDATA,
                              static_cast<size_t>(std::clamp(PACKET.BINDATALEN, 0, kMaxBinData))));
  if (tls_->status() == TlsSession::Status::kHandshaking) {
    const TlsSession::Status status = tls_->Handshake();
    // The output holds the client's next flight, or the alert of a failure.
    if (!TlsSendOutput() || generation != tls_generation_) return;
    if (status == TlsSession::Status::kFailed)
      return TlsFail(tls_->error(), tls_->detail(), "Unable to start TLS");
    if (status == TlsSession::Status::kHandshaking) return;
    if (NetRuntime* rt = NetRuntime::Current()) {
      rt->TraceLine("TLS session open with " + ServerText(_CONNECTION) + ": " + TlsDescription(),
                    kTlsFunction, kTraceInfo);
    }
    TlsDone(0);
    if (generation != tls_generation_) return;
  }
  // The plaintext goes to Process in blocks of at most one packet, as the
  // socket layer would deliver it.
  for (;;) {
    const size_t n = tls_->Read(PACKET.BINDATA, sizeof PACKET.BINDATA);
    if (n == 0) break;
    PACKET.BINDATALEN = static_cast<int32_t>(n);
    PACKET.PACKETTYPE = kPacketData;
    ERROR = 0;
    Process();
    if (generation != tls_generation_) return;
  }
  if (tls_->status() == TlsSession::Status::kFailed) {
    return TlsFail(kNetErrTlsHandshake, "after the handshake: " + tls_->detail(),
                   "The TLS session failed");
  }
  TlsSendOutput();  // answers the session itself gives (a key update)
}

void NetSimple::TlsSendPlain() {
  if (!TlsOpen()) {
    ERROR = kNetErrNotOpen;
    ErrorTrap("The TLS handshake has not ended, so the data can not be sent.", "NetSimple.Send");
    return;
  }
  const size_t len = static_cast<size_t>(std::clamp(PACKET.BINDATALEN, 0, kMaxBinData));
  if (!tls_->Write(std::string_view(PACKET.BINDATA, len))) {
    return TlsFail(kNetErrTlsHandshake, "after the handshake: " + tls_->detail(),
                   "The TLS session failed");
  }
  TlsSendOutput();
}

bool NetSimple::TlsSendOutput() {
  if (tls_ == nullptr) return true;
  const std::string out = tls_->TakeOutput();
  NetRuntime* rt = NetRuntime::Current();
  // A TLS record is a little larger than the plaintext it carries, so the
  // ciphertext may need more than one packet.
  for (size_t pos = 0; pos < out.size(); pos += kMaxBinData) {
    const size_t n = std::min(out.size() - pos, static_cast<size_t>(kMaxBinData));
    std::memcpy(tls_packet_->BINDATA, out.data() + pos, n);
    tls_packet_->BINDATALEN = static_cast<int32_t>(n);
    const int32_t rc =
        rt != nullptr ? rt->NetSimpleConnectSend(&_CONNECTION, *tls_packet_) : kNetErrNotActive;
    if (rc == 0) continue;
    if (rc == kNetErrConnectionNotFound && TlsHandshaking()) {
      // The server hung up before our next flight could leave.
      OPENFLAG = 0;
      TlsFail(kNetErrTlsHandshake, "the server closed the connection during the handshake");
      return false;
    }
    ERROR = rc;
    if (rc == kNetErrConnectionNotFound) OPENFLAG = 0;
    if (rc != kNetErrConnectionNotFound || DONTERRORTRAPINSENDIFCONNECTIONCLOSED != 1)
      ErrorTrap("Error sending data", "NetSimple.Send");
    return false;
  }
  return true;
}

void NetSimple::TlsClose(bool graceful) {
  if (tls_ == nullptr) return;
  // Taken out first: a failure reported while the alert is sent closes again.
  std::unique_ptr<TlsSession> session = std::move(tls_);
  ++tls_generation_;
  NetRuntime* rt = NetRuntime::Current();
  if (!graceful || session->status() != TlsSession::Status::kOpen || rt == nullptr) return;
  session->Shutdown();
  const std::string out = session->TakeOutput();
  if (out.empty() || out.size() > static_cast<size_t>(kMaxBinData)) return;
  std::memcpy(tls_packet_->BINDATA, out.data(), out.size());
  tls_packet_->BINDATALEN = static_cast<int32_t>(out.size());
  // A close_notify that cannot go any more changes nothing about the close.
  rt->NetSimpleConnectSend(&_CONNECTION, *tls_packet_);
}

void NetSimple::TlsFail(int32_t error, const std::string& detail, const char* text) {
  tls_error_ = error;
  tls_detail_ = detail;
  if (NetRuntime* rt = NetRuntime::Current()) {
    rt->TraceLine(TlsErrorText(error, detail) + ". Host = " + ServerText(_CONNECTION) +
                      " SockID = " + std::to_string(_CONNECTION.SOCKID),
                  kTlsFunction, kTraceError);
  }
  TlsClose(false);
  // Nothing more may pass over this connection, in the clear or otherwise.
  if (OPENFLAG == 1) NetSimple::Close();
  ERROR = error;
  ErrorTrap(text, kTlsFunction);
  TlsDone(error);
}

}  // namespace vm::net
