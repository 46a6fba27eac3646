// The asynchronous open of a NetSimple client connection: the connect is
// started without waiting, the callback window watches the socket until it
// turns writable (or fails), the timer tick ends connects that run out of
// time, and the outcome is posted to the owner as its connect event, which
// the owner answers with NetSimpleConnectOutcome on its own thread.

#include <cstring>

#include "net/error_text.h"
#include "net/net_runtime.h"
#include "platform/winsock_errors.h"

namespace vm::net {

namespace {

std::string Str(int64_t v) {
  return std::to_string(v);
}

}  // namespace

int32_t NetRuntime::StartConnect(Connection* c, int fd, uint32_t addr, uint32_t message) {
  const char* kF = "SimpleClientOpen";
  const uint16_t port = platform::HostToNetwork16(c->PORT);
  const std::string dotted = platform::FormatIPv4(addr);
  const int rc = platform::SocketConnectStart(fd, addr, port);
  SimpleClientSocketEntry entry;
  entry.SOCKET = fd;
  entry.SOCKID = c->SOCKID;
  entry.ADDR.SA_PORT = port;
  entry.ADDR.S_ADDR = addr;
  entry.ASYNCMESSAGE = message;
  entry.NOTIFYTHREAD = c->THREAD;
  entry.NOTIFYMSG = c->EVENT;
  // Even a connect that ended at once (a refusal on loopback often does) is
  // reported by the event, so the owner always learns the outcome one way.
  entry.connecting = true;
  entry.connect_deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.connect_timeout_ms);
  std::memset(c->LOCALIP, 0, sizeof c->LOCALIP);
  {
    std::lock_guard<std::mutex> lock(mu_);
    reserved_messages_.erase(message);
    connect_outcomes_.erase(c->SOCKID);
    qSimpleClientSockets.push_back(entry);
    TraceLine("Connecting Simple Connection. To remote host = " + dotted +
                  " Port = " + Str(c->PORT) + " Socket = " + Str(fd) +
                  " SockID = " + Str(c->SOCKID) + " Message = " + Str(message),
              kF, kTraceInfo);
    if (rc != 0 && rc != platform::kWsaEinprogress)
      FinishConnectLocked(&qSimpleClientSockets.back(), rc);
  }
  waker_.Wake();
  c->SOCKET = static_cast<uint32_t>(fd);
  return 0;
}

void NetRuntime::FinishConnectLocked(SimpleClientSocketEntry* e, int32_t result) {
  const char* kF = "SimpleClientOpen";
  e->connecting = false;
  connect_outcomes_[e->SOCKID] = result;
  const int32_t thread = e->NOTIFYTHREAD;
  const int32_t event = e->NOTIFYMSG + kConnectEventOffset;
  const std::string dotted = platform::FormatIPv4(e->ADDR.S_ADDR);
  const std::string port = Str(platform::NetworkToHost16(e->ADDR.SA_PORT));
  if (result == 0) {
    if (platform::SocketGetName(e->SOCKET, &e->LOCADDR.S_ADDR, &e->LOCADDR.SA_PORT) != 0) {
      TraceLine("Error. Getsockname failed. Could not find out the local IP on this socket", kF,
                kTraceError);
    }
    // The first FD_WRITE starts the sending loop, as after a blocking open.
    e->want_write = true;
    TraceLine("Opened Simple Connection. To remote host = " + dotted + " Port = " + port +
                  " Socket = " + Str(e->SOCKET) + " SockID = " + Str(e->SOCKID) +
                  " Message = " + Str(e->ASYNCMESSAGE),
              kF, kTraceInfo);
  } else {
    TraceLine("Error Connecting. To remote host = " + dotted + " Port = " + port +
                  " Error = " + Str(result) + " " + NetErrorStr(result),
              kF, kTraceError);
    DeleteEntryLocked(e->SOCKET, e->SOCKID);  // closes the socket; e is gone
  }
  if (!CurrentEventPoster()->PostEvent(thread, event)) {
    TraceLine(
        "Could not post the connect event to thread " + Str(thread) + " Event = " + Str(event), kF,
        kTraceError);
  }
}

void NetRuntime::ExpireConnects() {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = qSimpleClientSockets.begin(); it != qSimpleClientSockets.end();) {
    auto next = std::next(it);
    if (it->connecting && now >= it->connect_deadline)
      FinishConnectLocked(&*it, platform::kWsaEtimedout);
    it = next;
  }
}

bool NetRuntime::DropConnectLocked(int32_t socket, int32_t sockid) {
  SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
  if (e != nullptr && e->connecting) {
    ClearQueuesLocked(socket, sockid, true);
    DeleteEntryLocked(socket, sockid);
    connect_outcomes_.erase(sockid);
    return true;
  }
  auto it = connect_outcomes_.find(sockid);
  if (it == connect_outcomes_.end()) return false;
  const bool failed = it->second != 0;
  connect_outcomes_.erase(it);
  // A connected one whose outcome was not taken closes as usual.
  return failed;
}

bool NetRuntime::NetSimpleConnectOutcome(Connection* c, int32_t* result) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = connect_outcomes_.find(c->SOCKID);
  if (it == connect_outcomes_.end()) return false;
  *result = it->second;
  connect_outcomes_.erase(it);
  std::string local_ip;
  if (*result == 0) {
    const SimpleClientSocketEntry* e =
        FindBySocketLocked(static_cast<int32_t>(c->SOCKET), c->SOCKID);
    local_ip = e != nullptr && e->LOCADDR.S_ADDR != 0 ? platform::FormatIPv4(e->LOCADDR.S_ADDR)
                                                      : "<unknown>";
  }
  std::memset(c->LOCALIP, 0, sizeof c->LOCALIP);
  std::memcpy(c->LOCALIP, local_ip.data(), std::min(local_ip.size(), sizeof c->LOCALIP - 1));
  return true;
}

}  // namespace vm::net
