// NetSimple: one TCP client connection of the networking layer. The object
// lives on its owner's thread (the thread that calls Init, or USETHISTHREAD);
// the socket layer of NetRuntime owns the socket and talks to the object by
// posting EVENT to the owner thread, whose loop passes every event to
// TakeEvent. All operations are owner thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/event_poster.h"
#include "net/net_errors.h"
#include "net/tls_context.h"

namespace vm::net {

// One outgoing or received packet, as exchanged with the socket layer.
struct Packet {
  char TOIP[16] = {};              // server mode: destination address (dotted text)
  uint32_t ONSOCKET = 0;           // socket the packet belongs to
  int32_t SOCKID = 0;              // connection id the packet belongs to
  char FROMIP[16] = {};            // remote address, dotted text
  char BINDATA[kMaxBinData] = {};  // payload; the first BINDATALEN bytes count
  int32_t BINDATALEN = 0;
  int32_t PACKETTYPE = 0;  // kPacketData, kPacketRemoteClosed, ...
  int32_t RESERVED2 = 0;   // sequence number of a received packet
  uint16_t UDPTOPORT = 0;
  uint16_t UDPFROMPORT = 0;
  char RESERVED[124] = {};
};
static_assert(sizeof(Packet) == 16564);

// Description of a connection, handed whole to every socket-layer call.
struct Connection {
  uint8_t MODE = 0;      // 0 = client, 1 = server
  char SERVER[81] = {};  // host name or dotted address (NUL-terminated)
  uint16_t PORT = 0;
  uint32_t SOCKET = 0;  // set by the socket layer
  int32_t SOCKID = 0;   // set by the socket layer
  int32_t THREAD = 0;   // thread that gets the notifications
  int32_t EVENT = 0;    // first of the object's three event numbers
  int32_t MAXSERVERCONNECTIONS = 0;
  char LOCALIP[16] = {};   // local address, dotted, or "<unknown>"
  char RESERVED1[4] = {};  // remote IPv4 address, network order, set at open
  uint8_t UDPMODE = 0;
  char RESERVED2[123] = {};
};
static_assert(sizeof(Connection) == 248);

// One accepted connection of server mode (kept for the object's layout; the
// client mode never fills it).
struct ServerConnection {
  uint32_t socket = 0;
  int32_t sockid = 0;
  std::string from_ip;
};

// The event of an asynchronous open's outcome, after the connection's EVENT.
inline constexpr int32_t kConnectEventOffset = 4;

class TlsSession;

// Whether a connection speaks TLS from its first byte.
enum class TlsMode { kNone, kImplicit };

class NetSimple {
 public:
  NetSimple();
  virtual ~NetSimple();
  NetSimple(const NetSimple&) = delete;
  NetSimple& operator=(const NetSimple&) = delete;

  // Object fields, in declaration order.
  int32_t ERROR = 0;          // last result: 0, library error (<0), WinSock error (>0)
  std::string ERRORSTRING;    // text built by ErrorTrap (at most 255 characters)
  int32_t USETHISTHREAD = 0;  // thread to notify; 0 = the thread that calls Init
  Packet PACKET;
  uint8_t OPENFLAG = 0;
  int32_t OUTGOINGDLLPACKETS = 0;
  int64_t OUTGOINGDLLPACKETSBYTES = 0;
  std::vector<ServerConnection>* QSERVERCONNECTIONS = nullptr;
  int32_t SERVERCONNECTIONSCOUNT = 0;
  uint8_t SUPPRESSERRORMSG = 0;
  uint8_t DONTERRORTRAPINSENDIFCONNECTIONCLOSED = 0;
  Connection _CONNECTION;
  uint8_t _INITALISED = 0;
  std::vector<ServerConnection>* _QSERVERCONNECTIONS = nullptr;
  uint8_t _BETWEENPHASEONEANTWO = 0;
  uint8_t _IGNOREPHASETWO = 0;

  // Allocates the event numbers (first object 2053, then +5) and the thread
  // to notify. mode 0 = client.
  void Init(uint8_t mode = 0);
  // Closes an open connection and releases what Init made. A close the
  // object started is finished by the socket layer without it: the entry
  // goes when the close completes.
  void Kill();
  // Feeds one event of the owner's loop; events that are not this object's
  // are ignored.
  void TakeEvent(int32_t event);

  // Virtual operations, in slot order.
  virtual void Trace(std::string_view message, std::string_view function);
  virtual std::string InterpretError();
  virtual void Open(std::string_view server, uint16_t port);
  virtual void Close();
  virtual void Process();
  virtual void Send();
  virtual void ErrorTrap(std::string_view text, std::string_view function);
  virtual void ConnectionClosed();
  virtual void CloseServerConnection();
  virtual void Abort();
  // Outgoing-packet query: form 1 fills OUTGOINGDLLPACKETS (bytes := 0),
  // form 2 also OUTGOINGDLLPACKETSBYTES. socket/sockid 0 = this connection.
  virtual void GetOutgoingPackets(int32_t form, uint32_t socket = 0, int32_t sockid = 0);
  virtual void AbortServerConnection();
  // After an asynchronous open: called with 0 once connected, or with the
  // error after ErrorTrap reported it ("Unable to Open Connection", ERROR =
  // the error, OPENFLAG 0). Does nothing by default.
  virtual void ConnectDone(int32_t result);

  // Asks for one call of QueueHasRoom once this connection's bytes still to
  // be sent are `bytes` or fewer (at once when they already are). A
  // producer of more data than memory should hold sends a share, asks, and
  // sends the next share from QueueHasRoom.
  void NotifyWhenQueuedBelow(int64_t bytes);
  // The notification asked for with NotifyWhenQueuedBelow, from TakeEvent.
  // Does nothing by default.
  virtual void QueueHasRoom();

  // Open starts the connect and returns at once (OPENFLAG 1 while it runs);
  // the outcome arrives as ConnectEvent and reaches ConnectDone. Default:
  // Open waits for the connect.
  void SetAsyncOpen(bool on) { async_open_ = on; }

  // ---- TLS (net_simple_tls.cpp) ----------------------------------------
  // The connection is then a TLS session under the same operations: Send
  // encrypts, received packets are decrypted before Process sees them, and
  // Close ends the session with its close_notify. Set before Open: with
  // kImplicit the handshake starts as soon as the connect has succeeded
  // (port 465); `options` also serve StartTls.
  void SetTls(TlsMode mode, const TlsOptions& options);
  // Switches the open connection to TLS now (after the server agreed to
  // STARTTLS): every byte received from here on belongs to the session.
  // The outcome reaches TlsDone.
  void StartTls();
  // Called once the handshake has ended: 0 when the session is open, else
  // after ErrorTrap reported the failure (ERROR -61, -62 or -63, whose text
  // InterpretError gives with OpenSSL's reason, the verify result or the
  // host after the colon) and the connection was closed. Does nothing by
  // default.
  virtual void TlsDone(int32_t result);
  bool TlsOpen() const;
  bool TlsHandshaking() const;
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" (", session resumed") while open.
  std::string TlsDescription() const;
  // The server's IPv4 address (network order) once opened; 0 before.
  uint32_t RemoteAddress() const;

  // The three event numbers this object owns.
  int32_t PacketEvent() const { return _CONNECTION.EVENT; }
  int32_t ClosedEvent() const { return _CONNECTION.EVENT + 1; }
  int32_t PhaseTwoEvent() const { return _CONNECTION.EVENT + 2; }
  int32_t ConnectEvent() const { return _CONNECTION.EVENT + kConnectEventOffset; }

 private:
  void SecondPhase(uint32_t socket, int32_t sockid);
  // Hands the connection whose close this object started to the socket
  // layer to finish (NetRuntime::NetSimpleConnectRelease).
  void ReleaseClosedConnection();
  void HandleRemoteClose();
  void TakeConnectOutcome();
  // TLS (net_simple_tls.cpp).
  bool BeginTls();
  void TlsReceived();
  bool TlsSendOutput();
  void TlsSendPlain();
  void TlsClose(bool graceful);
  void TlsFail(int32_t error, const std::string& detail, const char* text = "Unable to start TLS");

  std::vector<ServerConnection> server_connections_;
  bool async_open_ = false;
  TlsMode tls_mode_ = TlsMode::kNone;
  TlsOptions tls_options_;
  std::unique_ptr<TlsSession> tls_;
  uint64_t tls_generation_ = 0;  // counts sessions ended, so a loop sees its session go
  int32_t tls_error_ = 0;        // the last TLS failure and its detail, for InterpretError
  std::string tls_detail_;
  std::unique_ptr<Packet> tls_packet_;  // ciphertext on its way to the socket layer
};

// Caption of the ErrorTrap message box; the program may change it (at most
// 80 characters are used).
void SetObjectErrorCaption(std::string_view caption);
std::string ObjectErrorCaption();

}  // namespace vm::net
