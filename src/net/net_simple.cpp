#include "net/net_simple.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "net/error_text.h"
#include "net/net_runtime.h"
#include "net/tls_session.h"
#include "platform/ascii_text.h"
#include "runtime/message_box.h"

namespace vm::net {

namespace {

constexpr int32_t kEventBlockBase = 1024;
constexpr size_t kErrorStringWidth = 255;
constexpr size_t kCaptionWidth = 80;

std::atomic<int32_t> g_event_block{kEventBlockBase};

std::mutex g_caption_mu;
std::string& Caption() {
  static auto* caption = new std::string("Linkora Object Error");
  return *caption;
}

// Blanks and NULs end a fixed-width text.
std::string_view TrimRight(std::string_view s) {
  return platform::TrimRight(s, std::string_view(" \0", 2));
}

}  // namespace

void SetObjectErrorCaption(std::string_view caption) {
  std::lock_guard<std::mutex> lock(g_caption_mu);
  Caption() = std::string(caption.substr(0, kCaptionWidth));
}

std::string ObjectErrorCaption() {
  std::lock_guard<std::mutex> lock(g_caption_mu);
  return Caption();
}

void NetSimple::Init(uint8_t mode) {
  ERROR = 0;
  server_connections_.clear();
  QSERVERCONNECTIONS = &server_connections_;
  _QSERVERCONNECTIONS = &server_connections_;
  _CONNECTION.MODE = mode;
  _CONNECTION.THREAD = USETHISTHREAD != 0 ? USETHISTHREAD : CurrentEventPoster()->CurrentThread();
  if (!_INITALISED) {
    _CONNECTION.EVENT = g_event_block.fetch_add(5) + 5 + kEventBlockBase;
    _INITALISED = 1;
  }
}

void NetSimple::Kill() {
  if (OPENFLAG == 1) Close();
  // No more events reach this object, so it never runs the second phase of
  // its close: the socket layer finishes the close without it.
  ReleaseClosedConnection();
  _CONNECTION.THREAD = 0;
  server_connections_.clear();
  QSERVERCONNECTIONS = nullptr;
  _QSERVERCONNECTIONS = nullptr;
}

void NetSimple::Trace(std::string_view, std::string_view) {}

std::string NetSimple::InterpretError() {
  // A TLS failure's text carries its detail (reason, verify result, host).
  if (ERROR != 0 && ERROR == tls_error_ && !tls_detail_.empty())
    return TlsErrorText(tls_error_, tls_detail_);
  return InterpretErrorText(ERROR);
}

void NetSimple::Open(std::string_view server, uint16_t port) {
  ERROR = 0;
  TlsClose(false);
  if (_BETWEENPHASEONEANTWO) {
    _IGNOREPHASETWO = 1;
    // The receive takes only the new connection's packets: the closing one's
    // second-phase packet would never be taken.
    ReleaseClosedConnection();
  }
  std::memset(_CONNECTION.SERVER, 0, sizeof _CONNECTION.SERVER);
  std::memcpy(_CONNECTION.SERVER, server.data(),
              std::min(server.size(), sizeof _CONNECTION.SERVER - 1));
  _CONNECTION.PORT = port;
  NetRuntime* rt = NetRuntime::Current();
  ERROR = rt != nullptr
              ? rt->NetSimpleConnectOpen(&_CONNECTION, async_open_ && _CONNECTION.MODE == 0)
              : kNetErrNotActive;
  if (ERROR == 0) {
    OPENFLAG = 1;
    if (tls_mode_ == TlsMode::kImplicit && !async_open_) BeginTls();
  } else if (_CONNECTION.MODE == 0) {
    ErrorTrap("Unable to Open Connection", "NetSimple(Client).Open");
  } else {
    ErrorTrap(_CONNECTION.UDPMODE ? "Unable to Listen on UDP Port" : "Unable to Listen on TCP Port",
              "NetSimple(Server).Open");
  }
}

void NetSimple::Send() {
  ERROR = 0;
  const char* kF = "NetSimple.Send";
  auto fail = [&](int32_t error, const char* text) {
    ERROR = error;
    ErrorTrap(text, kF);
  };
  if (PACKET.BINDATALEN > kMaxBinData) {
    return fail(kNetErrBadDataLength,
                "Trying to send too much data in self.packet.binData and self.packet.binDataLen");
  }
  if (OPENFLAG == 0 && _CONNECTION.UDPMODE == 0) {
    return fail(kNetErrNotOpen,
                "The connection is not open and therefore the data can not be sent.");
  }
  if (PACKET.BINDATALEN <= 0)
    return fail(kNetErrBadDataLength, "Data length is less than or equal to zero");
  if (_CONNECTION.MODE == 0 && (_CONNECTION.SERVER[0] == '\0' || _CONNECTION.PORT == 0)) {
    return fail(kNetErrHostOrPortNotSet,
                "Hostname or Port are not set to anything. (You must call self.open first).");
  }
  if (_CONNECTION.MODE == 1 && _CONNECTION.UDPMODE == 0 &&
      (PACKET.TOIP[0] == '\0' || PACKET.ONSOCKET == 0)) {
    return fail(
        kNetErrHostOrPortNotSet,
        "Hostname or Socket are not set to anything. (You must set self.packet.ToIp and OnSocket)");
  }
  if (_CONNECTION.MODE == 1 && _CONNECTION.UDPMODE == 1 &&
      (PACKET.TOIP[0] == '\0' || PACKET.UDPTOPORT == 0)) {
    return fail(
        kNetErrHostOrPortNotSet,
        "Hostname or Port are not set to anything. (You must set self.packet.ToIp and UDPToPort)");
  }
  if (tls_ != nullptr) return TlsSendPlain();
  NetRuntime* rt = NetRuntime::Current();
  int32_t rc = rt != nullptr ? rt->NetSimpleConnectSend(&_CONNECTION, PACKET) : kNetErrNotActive;
  if (rc == 0) return;
  ERROR = rc;
  if (_CONNECTION.MODE == 0 && rc == kNetErrConnectionNotFound) OPENFLAG = 0;
  if (rc == kNetErrConnectionNotFound && DONTERRORTRAPINSENDIFCONNECTIONCLOSED == 1) return;
  ErrorTrap("Error sending data", kF);
}

void NetSimple::Close() {
  TlsClose(OPENFLAG == 1);
  ERROR = 0;
  if (OPENFLAG == 1) {
    NetRuntime* rt = NetRuntime::Current();
    ERROR = rt != nullptr ? rt->NetSimpleConnectClose(&_CONNECTION, _CONNECTION.SOCKET,
                                                      _CONNECTION.SOCKID, kPhaseOne)
                          : kNetErrNotActive;
    _BETWEENPHASEONEANTWO = 1;
    _IGNOREPHASETWO = 0;
  }
  OPENFLAG = 0;
  if (ERROR == 0) {
    server_connections_.clear();
    SERVERCONNECTIONSCOUNT = 0;
  } else {
    ErrorTrap("Unable to Close connection", "NetSimple.Close");
  }
}

void NetSimple::Abort() {
  TlsClose(false);
  ERROR = 0;
  if (OPENFLAG == 1) {
    NetRuntime* rt = NetRuntime::Current();
    ERROR = rt != nullptr ? rt->NetSimpleConnectClose(&_CONNECTION, _CONNECTION.SOCKET,
                                                      _CONNECTION.SOCKID, kPhaseAbort)
                          : kNetErrNotActive;
    _BETWEENPHASEONEANTWO = 1;
    _IGNOREPHASETWO = 0;
  }
  OPENFLAG = 0;
  if (ERROR == 0) {
    server_connections_.clear();
    SERVERCONNECTIONSCOUNT = 0;
  } else {
    ErrorTrap("Unable to Abort (Close) connection", "NetSimple.Abort");
  }
}

void NetSimple::ConnectDone(int32_t) {}

void NetSimple::TakeConnectOutcome() {
  NetRuntime* rt = NetRuntime::Current();
  int32_t result = 0;
  // No outcome: the connection was closed before the connect ended.
  if (rt == nullptr || OPENFLAG == 0 || !rt->NetSimpleConnectOutcome(&_CONNECTION, &result)) return;
  if (result != 0) {
    ERROR = result;
    OPENFLAG = 0;
    ErrorTrap("Unable to Open Connection", "NetSimple(Client).Open");
  }
  ConnectDone(result);
  if (result == 0 && OPENFLAG == 1 && tls_mode_ == TlsMode::kImplicit && tls_ == nullptr)
    BeginTls();
}

void NetSimple::NotifyWhenQueuedBelow(int64_t bytes) {
  if (OPENFLAG == 0 || _CONNECTION.MODE != 0) return;
  if (NetRuntime* rt = NetRuntime::Current())
    rt->NetSimpleConnectNotifyWhenQueuedBelow(&_CONNECTION, bytes);
}

void NetSimple::QueueHasRoom() {}
void NetSimple::Process() {}
void NetSimple::ConnectionClosed() {}
void NetSimple::CloseServerConnection() {}
void NetSimple::AbortServerConnection() {}

void NetSimple::GetOutgoingPackets(int32_t form, uint32_t socket, int32_t sockid) {
  ERROR = 0;
  if (socket == 0) socket = _CONNECTION.SOCKET;
  if (sockid == 0) sockid = _CONNECTION.SOCKID;
  int32_t count = 0;
  int64_t bytes = 0;
  if (NetRuntime* rt = NetRuntime::Current()) rt->OutgoingPackets(socket, sockid, &count, &bytes);
  OUTGOINGDLLPACKETS = count;
  OUTGOINGDLLPACKETSBYTES = form == 2 ? bytes : 0;
}

void NetSimple::ReleaseClosedConnection() {
  if (!_BETWEENPHASEONEANTWO || _CONNECTION.MODE != 0 || _CONNECTION.SOCKID == 0) return;
  if (NetRuntime* rt = NetRuntime::Current())
    rt->NetSimpleConnectRelease(_CONNECTION.SOCKET, _CONNECTION.SOCKID);
}

void NetSimple::SecondPhase(uint32_t socket, int32_t sockid) {
  if (NetRuntime* rt = NetRuntime::Current())
    rt->NetSimpleConnectClose(&_CONNECTION, socket, sockid, kPhaseTwo);
}

void NetSimple::HandleRemoteClose() {
  SecondPhase(PACKET.ONSOCKET, PACKET.SOCKID);
  if (TlsHandshaking()) {
    OPENFLAG = 0;
    return TlsFail(kNetErrTlsHandshake, "the server closed the connection during the handshake");
  }
  if (_CONNECTION.MODE == 0) {
    OPENFLAG = 0;
  } else {
    auto it = std::find_if(server_connections_.begin(), server_connections_.end(),
                           [this](const ServerConnection& s) {
                             return s.socket == PACKET.ONSOCKET && s.sockid == PACKET.SOCKID;
                           });
    if (it != server_connections_.end()) server_connections_.erase(it);
    if (SERVERCONNECTIONSCOUNT > 0) --SERVERCONNECTIONSCOUNT;
  }
  ConnectionClosed();
}

void NetSimple::TakeEvent(int32_t event) {
  if (!_INITALISED) return;
  if (event == PacketEvent()) {
    ERROR = 0;
    NetRuntime* rt = NetRuntime::Current();
    int32_t rc =
        rt != nullptr ? rt->NetSimpleConnectReceive(&_CONNECTION, &PACKET) : kNetErrNotActive;
    if (rc == kNetErrNoRequest) {
      ERROR = rc;
      Trace(
          "Attention. This is not normally a problem. The DLL could not find a packet matching "
          "this connection.",
          "NetSimple.TakeEvent");
      return;
    }
    if (rc != 0) {
      ERROR = rc;
      ErrorTrap("An error occurred while trying receive data", "NetSimple.TakeEvent");
      return;
    }
    switch (PACKET.PACKETTYPE) {
      case kPacketRemoteClosed:
        HandleRemoteClose();
        break;
      case kPacketPhaseOneDone:
        if (!_IGNOREPHASETWO) SecondPhase(PACKET.ONSOCKET, PACKET.SOCKID);
        if (_CONNECTION.MODE == 0) OPENFLAG = 0;
        break;
      case kPacketIgnore:
        break;
      case kPacketQueueHasRoom:
        QueueHasRoom();
        break;
      case kPacketNewConnection:
        if (_CONNECTION.MODE == 1) {
          server_connections_.push_back({PACKET.ONSOCKET, PACKET.SOCKID, PACKET.FROMIP});
          ++SERVERCONNECTIONSCOUNT;
        }
        Process();
        break;
      default:
        if (tls_ != nullptr) {
          TlsReceived();
        } else {
          Process();
        }
        break;
    }
  } else if (event == ClosedEvent()) {
    HandleRemoteClose();
  } else if (event == ConnectEvent()) {
    TakeConnectOutcome();
  } else if (event == PhaseTwoEvent() && !_IGNOREPHASETWO) {
    SecondPhase(_CONNECTION.SOCKET, _CONNECTION.SOCKID);
  }
}

void NetSimple::ErrorTrap(std::string_view text, std::string_view function) {
  const std::string error_text = InterpretError();
  const std::string t(TrimRight(text));
  const std::string number = std::to_string(ERROR);
  if (ERROR == 0) {
    ERRORSTRING = t + ".";
  } else {
    ERRORSTRING = t + "." + " The error number was " + number + " which means " + error_text + ".";
  }
  if (ERRORSTRING.size() > kErrorStringWidth) ERRORSTRING.resize(kErrorStringWidth);
  if (SUPPRESSERRORMSG == 1) return;
  std::string message = "A network communication error has occurred.||Error = " + t + ".";
  if (ERROR != 0)
    message += "||The error number was " + number + " which means " + error_text + ".";
  message += "||Error occurred in function ";
  message.append(function);
  runtime::Message(message, ObjectErrorCaption(), runtime::MessageIcon::kExclamation);
}

}  // namespace vm::net
