// The socket layer of NetSimple client connections: open, the sending loop,
// receiving, the two close phases, abort and the periodic close check. The
// queues are shared between owner threads and the callback window's thread
// and are touched only under mu_.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "net/error_text.h"
#include "net/net_runtime.h"
#include "platform/winsock_errors.h"

namespace vm::net {

namespace {

constexpr int32_t kClosingExpiryHundredths = 30000;
constexpr size_t kSparePayloads = 256;  // 4 MB of payload buffers at most
constexpr size_t kSendBatch = 16;       // packets handed to one send call
// How long a peer may take nothing before a Send stops waiting for it.
constexpr auto kStalledPeer = std::chrono::seconds(1);

std::string Str(int64_t v) {
  return std::to_string(v);
}

std::string CString(const char* field, size_t size) {
  return std::string(field, strnlen(field, size));
}

uint32_t RemoteAddr(const Connection& c) {
  uint32_t a;
  std::memcpy(&a, c.RESERVED1, 4);
  return a;
}

}  // namespace

bool ChooseClientMessage(uint32_t* counter, const std::function<bool(uint32_t)>& in_use,
                         uint32_t* message) {
  // Every number of the range is tried once.
  for (uint32_t tries = 0; tries <= kMsgSimpleClientLast - kMsgSimpleClientFirst; ++tries) {
    *counter += 1;
    if (*counter > kMsgSimpleClientLast || *counter < kMsgSimpleClientFirst)
      *counter = kMsgSimpleClientFirst;
    if (!in_use(*counter)) {
      *message = *counter;
      return true;
    }
  }
  return false;
}

// ---- Lookups ---------------------------------------------------------------

SimpleClientSocketEntry* NetRuntime::FindByMessageLocked(uint32_t message) {
  if (message == 0) return nullptr;
  for (SimpleClientSocketEntry& e : qSimpleClientSockets) {
    if (e.ASYNCMESSAGE == message) return &e;
  }
  return nullptr;
}

SimpleClientSocketEntry* NetRuntime::FindConnectionLocked(uint32_t addr, int32_t socket,
                                                          int32_t sockid) {
  for (SimpleClientSocketEntry& e : qSimpleClientSockets) {
    if (e.ADDR.S_ADDR == addr && e.SOCKET == socket && e.SOCKID == sockid) return &e;
  }
  return nullptr;
}

SimpleClientSocketEntry* NetRuntime::FindBySocketLocked(int32_t socket, int32_t sockid) {
  for (SimpleClientSocketEntry& e : qSimpleClientSockets) {
    if (e.SOCKET == socket && e.SOCKID == sockid) return &e;
  }
  return nullptr;
}

QueueCounts NetRuntime::Counts() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {qSimpleClientSockets.size(), qSimpleOutList.size(), qSimpleOutData.size(),
          qSimpleInData.size()};
}

std::vector<SimpleClientSocketEntry> NetRuntime::ClientSockets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {qSimpleClientSockets.begin(), qSimpleClientSockets.end()};
}

void NetRuntime::OutgoingPackets(uint32_t socket, int32_t sockid, int32_t* count, int64_t* bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  *count = 0;
  *bytes = 0;
  for (const SimpleOutListEntry& o : qSimpleOutList) {
    if (o.SOCKET != static_cast<int32_t>(socket) || o.SOCKID != sockid || o.ALLSENT != 0) continue;
    ++*count;
    auto it = qSimpleOutData.find(o.SIMPLEPACKETID);
    if (it != qSimpleOutData.end()) *bytes += it->second.BINDATALEN;
  }
}

// ---- Queue helpers ---------------------------------------------------------

int NetRuntime::CloseSocketLocked(int fd) {
  // A sending loop may be sending on this socket without the lock; its
  // number must stay taken until that send has returned.
  if (std::find(sending_sockets_.begin(), sending_sockets_.end(), fd) != sending_sockets_.end()) {
    if (std::find(deferred_closes_.begin(), deferred_closes_.end(), fd) == deferred_closes_.end())
      deferred_closes_.push_back(fd);
    return 0;
  }
  return platform::SocketClose(fd);
}

void NetRuntime::ClearQueuesLocked(int32_t socket, int32_t sockid, bool incoming_too) {
  if (SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid)) e->unsent = 0;
  for (auto it = qSimpleOutList.begin(); it != qSimpleOutList.end();) {
    if (it->SOCKET == socket && it->SOCKID == sockid) {
      qSimpleOutData.erase(it->SIMPLEPACKETID);
      it = qSimpleOutList.erase(it);
    } else {
      ++it;
    }
  }
  if (!incoming_too) return;
  qSimpleInData.remove_if(
      [&](const SimpleInDataEntry& p) { return p.ONSOCKET == socket && p.SOCKID == sockid; });
}

void NetRuntime::DeleteEntryLocked(int32_t socket, int32_t sockid) {
  for (auto it = qSimpleClientSockets.begin(); it != qSimpleClientSockets.end(); ++it) {
    if (it->SOCKET == socket && it->SOCKID == sockid) {
      if (it->socket_open) CloseSocketLocked(it->SOCKET);
      qSimpleClientSockets.erase(it);
      return;
    }
  }
}

void NetRuntime::AddInPacketLocked(const SimpleClientSocketEntry& entry, int32_t type,
                                   const char* data, int32_t len) {
  if (entry.released) return;  // nobody would take it
  SimpleInDataEntry p;
  p.FROMIP = entry.ADDR.S_ADDR;
  p.ONSOCKET = entry.SOCKET;
  p.SOCKID = entry.SOCKID;
  if (len > 0) p.BINDATA.assign(data, static_cast<size_t>(len));
  p.BINDATALEN = len;
  p.PACKETTYPE = type;
  p.RESERVED2 = static_cast<int32_t>(++in_sequence_);
  qSimpleInData.push_back(std::move(p));
  if (!CurrentEventPoster()->PostEvent(entry.NOTIFYTHREAD, entry.NOTIFYMSG)) {
    TraceDetail("Could not post the packet event to thread " + Str(entry.NOTIFYTHREAD) +
                    " Event = " + Str(entry.NOTIFYMSG),
                "SimpleClient_Async", kTraceError);
  }
}

// ---- Open ------------------------------------------------------------------

int32_t NetRuntime::NetSimpleConnectOpen(Connection* connection, bool async) {
  int32_t rc = NetInitCheck();
  if (rc != 0) TraceLine("NetInitCheck returned " + Str(rc), "NetSimpleConnectOpen", kTraceError);
  if (connection->MODE != 0) {
    TraceLine("Server mode is not available in this program.", "NetSimpleConnectOpen", kTraceError);
    return -38;
  }
  return SimpleClientOpen(connection, async);
}

int32_t NetRuntime::SimpleClientOpen(Connection* c, bool async) {
  const char* kF = "SimpleClientOpen";
  if (!active_) {
    TraceLine("Linkora DLL not active. Linkora was unable to initialise.", kF, kTraceError);
    return kNetErrNotActive;
  }
  const std::string server = CString(c->SERVER, sizeof c->SERVER);
  uint32_t addr = 0;
  if (!platform::ParseIPv4(server, &addr)) {
    std::string result;
    if (platform::ResolveIPv4(server, &addr) == 0) result = platform::FormatIPv4(addr);
    TraceLine("Trying a DNS lookup of Host =" + server + " Result =" + result, "DNSblocking",
              kTraceInfo);
    if (result.empty()) {
      TraceLine("Could not resolve host name. HostName = " + server, kF, kTraceError);
      return kNetErrAddressNotFound;
    }
  }
  std::memcpy(c->RESERVED1, &addr, 4);
  const std::string dotted = platform::FormatIPv4(addr);
  int32_t sockid;
  {
    std::lock_guard<std::mutex> lock(mu_);
    next_sockid_ = next_sockid_ % 0x7FFFFFFFu + 1u;
    sockid = static_cast<int32_t>(next_sockid_);
  }
  c->SOCKID = sockid;

  int fd = -1;
  if (int err = platform::SocketCreateTcp(&fd)) {
    TraceLine("Error could not create Simple Socket. Error = " + Str(err) + " " + NetErrorStr(err),
              kF, kTraceError);
    return err;
  }
  if (options_.send_buffer_bytes > 0)
    platform::SocketSetBuffer(fd, false, options_.send_buffer_bytes);
  // Packets are written as they are sent, often several in a row (the pieces
  // of a message): with Nagle's rule each but the first would wait for the
  // peer's delayed ACK.
  platform::SocketSetNoDelay(fd, true);
  uint32_t message = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // A new socket may carry the number of one closed earlier: nothing of the
    // old one may reach the new connection.
    for (auto it = qSimpleOutList.begin(); it != qSimpleOutList.end();) {
      if (it->SOCKET == fd) {
        qSimpleOutData.erase(it->SIMPLEPACKETID);
        it = qSimpleOutList.erase(it);
      } else {
        ++it;
      }
    }
    qSimpleInData.remove_if([fd](const SimpleInDataEntry& p) { return p.ONSOCKET == fd; });
    for (auto it = qSimpleClientSockets.begin(); it != qSimpleClientSockets.end();) {
      if (it->SOCKET == fd) {
        TraceLine("Deleting old entry still found in qSimpleClientSockets. Socket =" + Str(fd), kF,
                  kTraceInfo);
        it = qSimpleClientSockets.erase(it);
      } else {
        ++it;
      }
    }
    auto in_use = [this](uint32_t m) {
      return FindByMessageLocked(m) != nullptr || reserved_messages_.count(m) != 0;
    };
    if (!ChooseClientMessage(&client_message_, in_use, &message)) {
      TraceLine("ERROR: Exceeded Maximum Simple Client Sockets.", kF, kTraceError);
      platform::SocketClose(fd);
      return kNetErrTooManySockets;
    }
    reserved_messages_.insert(message);  // held while the connect runs unlocked
  }
  auto release = [this, message] {
    std::lock_guard<std::mutex> lock(mu_);
    reserved_messages_.erase(message);
  };

  if (async) return StartConnect(c, fd, addr, message);
  const uint16_t port = platform::HostToNetwork16(c->PORT);
  if (int err = platform::SocketConnect(fd, addr, port, options_.connect_timeout_ms)) {
    TraceLine("Error Connecting. To host = " + server + " Port = " + Str(c->PORT) +
                  " IP = " + dotted + " Error = " + Str(err) + " " + NetErrorStr(err),
              kF, kTraceError);
    platform::SocketClose(fd);
    release();
    return err;
  }

  SimpleClientSocketEntry entry;
  entry.SOCKET = fd;
  entry.SOCKID = sockid;
  entry.ADDR.SA_PORT = port;
  entry.ADDR.S_ADDR = addr;
  entry.ASYNCMESSAGE = message;
  entry.NOTIFYTHREAD = c->THREAD;
  entry.NOTIFYMSG = c->EVENT;
  std::string local_ip = "<unknown>";
  if (platform::SocketGetName(fd, &entry.LOCADDR.S_ADDR, &entry.LOCADDR.SA_PORT) == 0) {
    local_ip = platform::FormatIPv4(entry.LOCADDR.S_ADDR);
  } else {
    TraceLine("Error. Getsockname failed. Could not find out the local IP on this socket", kF,
              kTraceError);
  }
  std::memset(c->LOCALIP, 0, sizeof c->LOCALIP);
  std::memcpy(c->LOCALIP, local_ip.data(), std::min(local_ip.size(), sizeof c->LOCALIP - 1));
  // Registering for FD_WRITE makes the first one arrive once the socket can send.
  entry.want_write = true;
  {
    std::lock_guard<std::mutex> lock(mu_);
    reserved_messages_.erase(message);
    qSimpleClientSockets.push_back(entry);
  }
  waker_.Wake();
  c->SOCKET = static_cast<uint32_t>(fd);
  TraceLine("Opened Simple Connection. To remote host = " + dotted + " Port = " + Str(c->PORT) +
                " Socket = " + Str(fd) + " SockID = " + Str(sockid) + " Message = " + Str(message) +
                " Local IP = " + local_ip,
            kF, kTraceInfo);
  return 0;
}

// ---- Send ------------------------------------------------------------------

int32_t NetRuntime::NetSimpleConnectSend(Connection* connection, const Packet& packet) {
  if (connection->MODE != 0) return -38;
  return SimpleClientSend(connection, packet);
}

int32_t NetRuntime::SimpleClientSend(Connection* c, const Packet& packet) {
  const char* kF = "SimpleClientSend";
  // The payload is copied before the lock is taken, so that the callback
  // window's sending loop waits as little as possible.
  SimpleOutDataEntry data;
  const int32_t len = std::clamp(packet.BINDATALEN, 0, kMaxBinData);
  {
    std::lock_guard<std::mutex> spare(spare_mu_);
    if (!spare_payloads_.empty()) {
      data.BINDATA = std::move(spare_payloads_.back());
      spare_payloads_.pop_back();
    }
  }
  data.BINDATA.assign(packet.BINDATA, static_cast<size_t>(len));
  data.BINDATALEN = len;
  bool wake = false;
  {
    std::unique_lock<std::mutex> lock(mu_);
    SimpleClientSocketEntry* e =
        FindConnectionLocked(RemoteAddr(*c), static_cast<int32_t>(c->SOCKET), c->SOCKID);
    if (e == nullptr) {
      TraceLine("Could not find host and Socket in qSimpleClientSockets", kF, kTraceError);
      return kNetErrConnectionNotFound;
    }
    if (e->CLOSINGSTATE || e->PHASEONECLOSECALLED || e->FD_CLOSE_RECEIVED ||
        e->PHASETWOCLOSECALLED) {
      TraceLine(
          "Warning. The object may not know, but the Connection is closed or closing. ClosingState "
          "=" +
              Str(e->CLOSINGSTATE) + " PhaseOneCloseCalled =" + Str(e->PHASEONECLOSECALLED) +
              " FD_Close_Received =" + Str(e->FD_CLOSE_RECEIVED) +
              " PhaseTwoCloseCalled =" + Str(e->PHASETWOCLOSECALLED),
          kF, kTraceError);
      return kNetErrConnectionNotFound;
    }
    // The first packet of a turn (a command after the peer's reply), with
    // nothing of this connection queued, is written from this thread at once
    // (the socket never blocks); what the socket does not take waits for
    // FD_WRITE. Any other packet queues: several in a row are a bulk
    // transfer, which the sending loop writes in batches, many packets to
    // one call, while this thread goes on filling the queue. Written here one
    // call each, on a socket without Nagle's delay, such packets cost a
    // segment and a wake-up of the peer apiece and halve the throughput.
    bool queue_empty = true;
    for (const SimpleOutListEntry& o : qSimpleOutList) {
      if (o.SOCKET == e->SOCKET && o.SOCKID == e->SOCKID) {
        queue_empty = false;
        break;
      }
    }
    const bool send_now = e->sends_this_turn == 0 && queue_empty && !e->in_sending_loop &&
                          !e->connecting && e->socket_open;
    ++e->sends_this_turn;
    const uint32_t id = ++next_packet_id_;
    qSimpleOutData[id] = std::move(data);
    e->unsent += len;
    SimpleOutListEntry item;
    item.SIMPLEPACKETID = id;
    item.SOCKET = e->SOCKET;
    item.SOCKID = e->SOCKID;
    item.ADDR = e->ADDR;
    qSimpleOutList.push_back(item);
    if (send_now) {
      wake = SendNowLocked(&lock, e, id);
    } else {
      // Registering again: FD_WRITE comes as soon as the socket can send.
      // When it is already wanted, the waiting thread already watches for it.
      wake = !e->want_write && !e->in_sending_loop;
      e->want_write = true;
    }
  }
  if (wake) waker_.Wake();
  WaitForQueueRoom(*c);
  return 0;
}

// Send queues what the socket cannot take at once, and an owner sending in
// bulk outruns any peer: unchecked, it queued a whole transfer, and every
// byte went through memory that had long left the cache when it was sent,
// which halved the throughput. So a Send that leaves more than
// kMaxUnsentBytes queued waits, as a blocking send would, until the sending
// loop has brought them down to half. A peer that takes nothing for
// kStalledPeer ends the wait, and no Send waits again until a byte has left:
// the data stays queued, and the owner's own time limits judge the peer. An
// owner that keeps its share smaller (the mail object, with
// NotifyWhenQueuedBelow) never waits here.
void NetRuntime::WaitForQueueRoom(const Connection& c) {
  const int32_t socket = static_cast<int32_t>(c.SOCKET);
  std::unique_lock<std::mutex> lock(mu_);
  SimpleClientSocketEntry* e = FindConnectionLocked(RemoteAddr(c), socket, c.SOCKID);
  if (e == nullptr || e->unsent <= kMaxUnsentBytes || e->peer_stalled) return;
  int64_t last = e->unsent;
  auto deadline = std::chrono::steady_clock::now() + kStalledPeer;
  for (;;) {
    e->owner_waits = true;
    const bool timed_out = queue_drained_.wait_until(lock, deadline) == std::cv_status::timeout;
    e = FindConnectionLocked(RemoteAddr(c), socket, c.SOCKID);
    if (e == nullptr) return;
    e->owner_waits = false;
    if (e->unsent <= kMaxUnsentBytes / 2 || !e->socket_open) return;
    if (e->unsent < last) {
      last = e->unsent;
      deadline = std::chrono::steady_clock::now() + kStalledPeer;
    } else if (timed_out) {
      e->peer_stalled = true;
      return;
    }
  }
}

bool NetRuntime::SendingLoopLocked(std::unique_lock<std::mutex>* lock, SimpleClientSocketEntry* e) {
  const uint32_t message = e->ASYNCMESSAGE;
  const int32_t sockid = e->SOCKID;
  e->in_sending_loop = true;
  SendingLoopStepsLocked(lock, e);
  e = FindByMessageLocked(message);
  if (e == nullptr || e->SOCKID != sockid) return false;
  e->in_sending_loop = false;
  return e->want_write;
}

bool NetRuntime::SendNowLocked(std::unique_lock<std::mutex>* lock, SimpleClientSocketEntry* e,
                               uint32_t packet_id) {
  const uint32_t message = e->ASYNCMESSAGE;
  const int32_t sockid = e->SOCKID;
  const bool rest_waits = SendingLoopLocked(lock, e);
  e = FindByMessageLocked(message);
  if (e == nullptr || e->SOCKID != sockid) return false;  // closed meanwhile
  if (qSimpleOutData.count(packet_id) == 0) ++e->sent_by_owner;
  return rest_waits;
}

void NetRuntime::SendingLoopStepsLocked(std::unique_lock<std::mutex>* lock,
                                        SimpleClientSocketEntry* e) {
  const char* kF = "SimpleClient_Async";
  const uint32_t message = e->ASYNCMESSAGE;
  const int32_t sockid = e->SOCKID;
  std::vector<InFlightPacket> batch;
  for (;;) {
    TakeBatchLocked(*e, &batch);
    if (batch.empty()) {
      e->unsent = 0;
      TraceDetail("Nothing to do. records (qSimpleOutList) =" +
                      Str(static_cast<int64_t>(qSimpleOutList.size())),
                  kF, kTraceInfo);
      if (e->CLOSINGSTATE == 1) {
        TraceLine(
            "Going to close the socket now. It's set to the closing state, and should be closed "
            "when there is "
            "no more data to send",
            kF, kTraceInfo);
        if (ClosePhaseOneLocked(e->SOCKET, e->SOCKID) == 0) e->CLOSINGSTATE = 0;
      }
      return;
    }

    // The send runs without the lock so that owners can queue packets
    // meanwhile. The payloads travel with this thread, and a close of the
    // socket in that time waits until the send has returned (CloseSocketLocked).
    // Several packets go in one call; the bytes on the wire are the same.
    const int fd = e->SOCKET;
    platform::SendPart parts[kSendBatch];
    for (size_t i = 0; i < batch.size(); ++i) {
      parts[i] = {batch[i].payload.data() + batch[i].offset,
                  static_cast<size_t>(batch[i].length - batch[i].offset)};
    }
    sending_sockets_.push_back(fd);
    lock->unlock();
    size_t sent = 0;
    const int err = platform::SocketSendParts(fd, parts, batch.size(), &sent);
    lock->lock();
    sending_sockets_.erase(std::find(sending_sockets_.begin(), sending_sockets_.end(), fd));
    auto deferred = std::find(deferred_closes_.begin(), deferred_closes_.end(), fd);
    if (deferred != deferred_closes_.end()) {
      deferred_closes_.erase(deferred);
      platform::SocketClose(fd);
    }
    total_sent_ += sent;

    e = FindByMessageLocked(message);
    if (e == nullptr || e->SOCKID != sockid) e = nullptr;  // aborted meanwhile
    const bool partial = SettleBatchLocked(&batch, sent);
    if (e == nullptr) return;
    e->unsent = std::max<int64_t>(e->unsent - static_cast<int64_t>(sent), 0);
    if (sent > 0) e->peer_stalled = false;
    CheckRoomLocked(e);
    if (e->owner_waits && e->unsent <= kMaxUnsentBytes / 2) queue_drained_.notify_all();
    // A closing connection that still moves data is not stuck.
    if (e->CLOSINGSTATE && sent > 0) e->closing_time = TimeOfDay();
    if (err == platform::kWsaEwouldblock) {
      TraceDetail(
          "WinSock reported 10035 WSAEWOULDBLOCK. ie We can't send anymore data or the call would "
          "block. "
          "We'll send more later. SockID =" +
              Str(e->SOCKID),
          kF, kTraceInfo);
      e->want_write = true;
      return;
    }
    if (err != 0) {
      TraceLine("Error Sending Asyc Packet (connection was okay though) on socket =" +
                    Str(e->SOCKET) + " Error = " + Str(err) + " " + NetErrorStr(err),
                kF, kTraceError);
      return;
    }
    if (partial) {
      e->want_write = true;  // the rest goes when the socket can take more
      return;
    }
  }
}

void NetRuntime::TakeBatchLocked(const SimpleClientSocketEntry& e,
                                 std::vector<InFlightPacket>* batch) {
  batch->clear();
  for (auto it = qSimpleOutList.begin(); it != qSimpleOutList.end() && batch->size() < kSendBatch;
       ++it) {
    if (it->ALLSENT != 0 || it->SOCKET != e.SOCKET || it->SOCKID != e.SOCKID ||
        it->ADDR.S_ADDR != e.ADDR.S_ADDR) {
      continue;
    }
    auto data = qSimpleOutData.find(it->SIMPLEPACKETID);
    if (data == qSimpleOutData.end()) {
      TraceLine("Bad Error. Could not find record in qSimpleOutData. SimplePacketID =" +
                    Str(it->SIMPLEPACKETID),
                "SimpleClient_Async", kTraceError);
      qSimpleOutList.erase(it);  // an entry without payload would block the connection for good
      return;
    }
    batch->push_back({it->SIMPLEPACKETID, std::move(data->second.BINDATA), data->second.BYTESSENT,
                      data->second.BINDATALEN});
  }
}

bool NetRuntime::SettleBatchLocked(std::vector<InFlightPacket>* batch, size_t sent) {
  bool partial = false;
  for (InFlightPacket& f : *batch) {
    auto data = qSimpleOutData.find(f.id);
    if (data == qSimpleOutData.end()) {  // the connection was aborted meanwhile
      RecyclePayload(std::move(f.payload));
      continue;
    }
    SimpleOutDataEntry& d = data->second;
    d.BINDATA = std::move(f.payload);
    const size_t take = std::min(sent, static_cast<size_t>(d.BINDATALEN - d.BYTESSENT));
    if (take == 0) continue;
    sent -= take;
    d.BYTESSENT += static_cast<int32_t>(take);
    if (d.BYTESSENT < d.BINDATALEN) {
      TraceDetail("Not all data sent now (more will be sent later). SimplePacketID =" + Str(f.id),
                  "SimpleClient_Async", kTraceInfo);
      partial = true;
      continue;
    }
    RecyclePayload(std::move(d.BINDATA));
    qSimpleOutData.erase(data);
    auto item =
        std::find_if(qSimpleOutList.begin(), qSimpleOutList.end(),
                     [&f](const SimpleOutListEntry& o) { return o.SIMPLEPACKETID == f.id; });
    if (item != qSimpleOutList.end()) qSimpleOutList.erase(item);
  }
  return partial;
}

void NetRuntime::CheckRoomLocked(SimpleClientSocketEntry* e) {
  if (e->room_below < 0 || e->unsent > e->room_below) return;
  e->room_below = -1;
  AddInPacketLocked(*e, kPacketQueueHasRoom, nullptr, 0);
}

void NetRuntime::NetSimpleConnectNotifyWhenQueuedBelow(Connection* c, int64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  SimpleClientSocketEntry* e =
      FindConnectionLocked(RemoteAddr(*c), static_cast<int32_t>(c->SOCKET), c->SOCKID);
  if (e == nullptr) return;
  e->room_below = std::max<int64_t>(bytes, 0);
  CheckRoomLocked(e);
}

void NetRuntime::RecyclePayload(std::string&& payload) {
  std::lock_guard<std::mutex> spare(spare_mu_);
  if (spare_payloads_.size() < kSparePayloads) spare_payloads_.push_back(std::move(payload));
}

// ---- Receive ---------------------------------------------------------------

void NetRuntime::ReceiveLocked(SimpleClientSocketEntry* e) {
  char buf[kMaxBinData];
  size_t got = 0;
  int err = platform::SocketRecv(e->SOCKET, buf, sizeof buf, &got);
  if (err != 0 || got == 0) {
    TraceDetail("Nothing to read", "SimpleClient_Async", kTraceInfo);
    return;
  }
  total_received_ += got;
  if (e->receive_shut) return;  // the receiving direction was shut: the data is dropped
  AddInPacketLocked(*e, kPacketData, buf, static_cast<int32_t>(got));
}

int32_t NetRuntime::NetSimpleConnectReceive(Connection* c, Packet* packet) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t addr = RemoteAddr(*c);
  auto it =
      std::find_if(qSimpleInData.begin(), qSimpleInData.end(), [&](const SimpleInDataEntry& p) {
        return p.ONSOCKET == static_cast<int32_t>(c->SOCKET) && p.SOCKID == c->SOCKID &&
               p.FROMIP == addr;
      });
  if (it == qSimpleInData.end()) return kNetErrNoRequest;
  packet->ONSOCKET = static_cast<uint32_t>(it->ONSOCKET);
  packet->SOCKID = it->SOCKID;
  std::memset(packet->FROMIP, 0, sizeof packet->FROMIP);
  const std::string from = platform::FormatIPv4(it->FROMIP);
  std::memcpy(packet->FROMIP, from.data(), std::min(from.size(), sizeof packet->FROMIP - 1));
  std::memcpy(packet->BINDATA, it->BINDATA.data(), it->BINDATA.size());
  packet->BINDATALEN = it->BINDATALEN;
  packet->PACKETTYPE = it->PACKETTYPE;
  packet->RESERVED2 = it->RESERVED2;
  packet->UDPFROMPORT = it->UDPFROMPORT;
  qSimpleInData.erase(it);
  // The owner takes what came since it last sent: a new turn of its dialogue.
  // A note that its queue has room is not something the peer said.
  SimpleClientSocketEntry* e = packet->PACKETTYPE == kPacketQueueHasRoom
                                   ? nullptr
                                   : FindBySocketLocked(static_cast<int32_t>(c->SOCKET), c->SOCKID);
  if (e != nullptr) {
    e->sent_by_owner = 0;
    e->sends_this_turn = 0;
  }
  return 0;
}

// ---- Socket messages -------------------------------------------------------

void NetRuntime::SimpleClient_Async(uint32_t message, uint32_t socket, uint16_t event,
                                    uint16_t error) {
  const char* kF = "SimpleClient_Async";
  std::unique_lock<std::mutex> lock(mu_);
  SimpleClientSocketEntry* e = FindByMessageLocked(message);
  if (e == nullptr) {
    if (event == kFdWrite) {
      TraceLine(
          "Warning! A socket is dead. Got a FD_WRITE message for a socket that is no longer in "
          "qSimpleClientSockets. (ie The connection was closed before the package could be sent).",
          kF, kTraceInfo);
    } else if (event == kFdRead || event == kFdClose) {
      TraceLine(std::string("Warning! A socket is dead. Got a ") +
                    (event == kFdRead ? "FD_READ" : "FD_CLOSE") +
                    " message for a socket that is no longer in qSimpleClientSockets. (ie The "
                    "connection was "
                    "closed before the message arrived).",
                kF, kTraceInfo);
    } else {
      TraceLine("Unknown Client Message =" + Str(event), kF, kTraceError);
    }
    return;
  }
  auto trace_error = [&](const char* what) {
    if (error != 0) {
      TraceLine(std::string(what) + " reported an error on socket =" + Str(socket) +
                    " Error = " + Str(error) + " " + NetErrorStr(error),
                kF, kTraceError);
    }
  };
  switch (event) {
    case kFdWrite:
      trace_error("FD_WRITE");
      // An owner's thread sending on it meanwhile asks for FD_WRITE again
      // when the socket does not take everything.
      if (!e->in_sending_loop) SendingLoopLocked(&lock, e);
      break;
    case kFdRead:
      trace_error("FD_READ");
      ReceiveLocked(e);
      break;
    case kFdClose:
      if (error == platform::kWsaEconnreset) {
        TraceLine("FD_CLOSE received (hard close 10054). Socket =" + Str(socket), kF, kTraceInfo);
      } else if (error == 0) {
        TraceLine("FD_CLOSE received (graceful close). Socket =" + Str(socket), kF, kTraceInfo);
      } else {
        TraceLine("FD_CLOSE received (Error ocurred). Socket =" + Str(socket), kF, kTraceError);
        trace_error("FD_CLOSE");
      }
      ReceiveLocked(e);  // data that came with the close
      CloseTheSocketLocked(e);
      break;
    default:
      TraceLine("Unknown Client Message =" + Str(event), kF, kTraceError);
      break;
  }
}

// ---- Closing ---------------------------------------------------------------
//
// A graceful close here never sets SO_LINGER on: with it, close() would block
// the callback window's thread for up to the linger time, and without it the
// system finishes sending the remaining data in the background, which is what
// the three-second linger is for.

void NetRuntime::CloseTheSocketLocked(SimpleClientSocketEntry* e) {
  const char* kF = "CloseTheSocket";
  e->FD_CLOSE_RECEIVED = 1;
  e->ASYNCMESSAGE = 0;
  if (!e->PHASEONECLOSECALLED) {
    // The remote side closed first.
    if (int err = platform::SocketShutdown(e->SOCKET, platform::ShutdownHow::kBoth)) {
      TraceDetail("Error call to shutdown failed. Error = " + Str(err), kF, kTraceInfo);
    }
    AddInPacketLocked(*e, kPacketRemoteClosed, nullptr, 0);
  }
  if (e->socket_open) {
    if (int err = CloseSocketLocked(e->SOCKET)) {
      TraceLine("Error setting closingsocket. Error = " + Str(err), kF, kTraceError);
    }
    e->socket_open = false;
  }
  if (e->PHASEONECLOSECALLED && e->PHASETWOCLOSECALLED) {
    ClosePhaseTwoLocked(e->SOCKET, e->SOCKID);  // removes the entry
    return;
  }
  // Time 0 lets the periodic check remove the entry at its next run.
  if (!e->PHASEONECLOSECALLED) e->PHASEONECLOSECALLED = 1;
}

int32_t NetRuntime::NetSimpleConnectClose(Connection* connection, uint32_t socket, int32_t sockid,
                                          int32_t phase) {
  return SimpleClientClose(connection, socket, sockid, phase);
}

int32_t NetRuntime::SimpleClientClose(Connection* c, uint32_t socket_u, int32_t sockid,
                                      int32_t phase) {
  const char* kF = "SimpleClientClose";
  if (closed_down_) {
    TraceLine("DLL already closed down. This function is ignored", kF, kTraceInfo);
    return 0;
  }
  const int32_t socket = static_cast<int32_t>(socket_u);
  int32_t rc = 0;
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // What the callback window watches of this socket; it is woken only
    // when that changes.
    auto watched = [&] {
      const SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
      if (e == nullptr || e->ASYNCMESSAGE == 0 || !e->socket_open) return 0;
      return 1 + (e->want_write ? 2 : 0) + (e->connecting ? 4 : 0);
    };
    const int watched_before = watched();
    if (DropConnectLocked(socket, sockid)) {
      TraceLine("Closed a connection whose connect had not ended. Socket =" + Str(socket), kF,
                kTraceInfo);
    } else if (phase == kPhaseOne) {
      int32_t queued = 0;
      for (const SimpleOutListEntry& o : qSimpleOutList) {
        if (o.SOCKET == socket && o.SOCKID == sockid) ++queued;
      }
      SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
      const int32_t sent_now = e != nullptr ? e->sent_by_owner : 0;
      TraceLine("Packets Waiting =" + Str(queued + sent_now), kF, kTraceInfo);
      if (queued == 0 && sent_now > 0) {
        // Written by the owner's thread and not yet seen by the callback
        // window: closed as the sending loop closes after the last packet.
        e->receive_shut = true;
        TraceLine(
            "Going to close the socket now. It's set to the closing state, and should be closed "
            "when there is "
            "no more data to send",
            "SimpleClient_Async", kTraceInfo);
        rc = ClosePhaseOneLocked(socket, sockid);
      } else if (queued > 0 && e != nullptr) {
        // Stop taking data; the sending loop runs the first phase after the last packet.
        e->receive_shut = true;
        e->CLOSINGSTATE = 1;
        e->closing_time = TimeOfDay();
      } else if (RemoteAddr(*c) == 0) {
        TraceLine("Error. Can not find IP in reserved part of SimpleConnection", kF, kTraceError);
        rc = kNetErrAddressNotFound;
      } else {
        rc = ClosePhaseOneLocked(socket, sockid);
      }
    } else if (phase == kPhaseTwo) {
      rc = ClosePhaseTwoLocked(socket, sockid);
    } else if (phase == kPhaseAbort) {
      TraceLine("Socket Abort! Using Phase = -1 (Single Phase Client Socket CloseDown (Abort)).",
                kF, kTraceInfo);
      AbortLocked(socket, sockid);
    } else {
      TraceLine("Error Warning. Unsupported Phase in SimpleClientClose p_Phase =" + Str(phase), kF,
                kTraceError);
      rc = kNetErrBadParameters;
    }
    wake = watched() != watched_before;
  }
  if (wake) waker_.Wake();
  return rc;
}

int32_t NetRuntime::ClosePhaseOneLocked(int32_t socket, int32_t sockid) {
  const char* kF = "SimpleClientClosePhaseOne";
  SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
  if (e == nullptr) return kNetErrConnectionNotFound;
  AddInPacketLocked(*e, kPacketPhaseOneDone, nullptr, 0);
  if (e->FD_CLOSE_RECEIVED) {
    TraceLine("FD_CLOSE was previously received. Will skip calling shutdown on the socket.", kF,
              kTraceInfo);
  } else if (e->socket_open) {
    // Shutting the sending direction makes the peer close, which brings FD_CLOSE.
    if (int err = platform::SocketShutdown(e->SOCKET, platform::ShutdownHow::kSend)) {
      TraceLine("Error call to shutdown failed. Error = " + Str(err) + " " + NetErrorStr(err), kF,
                kTraceError);
    }
  }
  e->PHASEONECLOSECALLED = 1;
  e->PHASEONECLOSETIME = TimeOfDay();
  ClearQueuesLocked(socket, sockid, false);
  return 0;
}

int32_t NetRuntime::ClosePhaseTwoLocked(int32_t socket, int32_t sockid) {
  const char* kF = "SimpleClientClosePhaseTwo";
  SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
  if (e == nullptr) {
    TraceLine("(Second Phase). Could not find connection in qSimpleClientSockets", kF, kTraceInfo);
    return kNetErrConnectionNotFound;
  }
  if (!e->PHASEONECLOSECALLED) return kNetErrBadParameters;
  if (e->FD_CLOSE_RECEIVED) {
    ClearQueuesLocked(socket, sockid, true);
    DeleteEntryLocked(socket, sockid);
    return 0;
  }
  TraceLine(
      "Hold on, we haven't received FD_CLOSE yet. Will continue waiting for it or for the DLL to "
      "clear this "
      "socket up",
      kF, kTraceInfo);
  e->PHASETWOCLOSECALLED = 1;
  return 0;
}

void NetRuntime::NetSimpleConnectRelease(uint32_t socket_u, int32_t sockid) {
  const int32_t socket = static_cast<int32_t>(socket_u);
  std::lock_guard<std::mutex> lock(mu_);
  SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
  if (e == nullptr || !(e->PHASEONECLOSECALLED || e->CLOSINGSTATE)) return;
  e->released = true;
  qSimpleInData.remove_if(
      [&](const SimpleInDataEntry& p) { return p.ONSOCKET == socket && p.SOCKID == sockid; });
  if (e->PHASEONECLOSECALLED) {
    // The second phase the owner would have run on its packet: the entry
    // goes now when FD_CLOSE has come, else with it.
    ClosePhaseTwoLocked(socket, sockid);
  } else {
    // Still sending before its first phase: that phase and FD_CLOSE follow.
    e->PHASETWOCLOSECALLED = 1;
  }
}

void NetRuntime::AbortLocked(int32_t socket, int32_t sockid) {
  const char* kF = "SimpleClientClose";
  SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
  if (e != nullptr && e->socket_open) {
    if (int err = platform::SocketSetLinger(e->SOCKET, false, 0)) {
      TraceLine("Error setting socket DONTLINGER options. Error = " + Str(err), kF, kTraceError);
    }
    int err = CloseSocketLocked(e->SOCKET);
    if (err != 0 && err != platform::kWsaEnotsock) {
      TraceLine("Error setting closingsocket. Error = " + Str(err), kF, kTraceError);
    }
    e->socket_open = false;
  }
  ClearQueuesLocked(socket, sockid, true);
  DeleteEntryLocked(socket, sockid);
}

// ---- Periodic close check ----------------------------------------------------

void NetRuntime::CheckToCloseNetSimpleSockets() {
  const char* kF = "CheckToCloseNetSimpleSockets";
  {
    std::lock_guard<std::mutex> lock(mu_);
    const int32_t now = TimeOfDay();
    std::vector<std::pair<int32_t, int32_t>> expired;
    std::vector<std::pair<int32_t, int32_t>> stuck;
    for (SimpleClientSocketEntry& e : qSimpleClientSockets) {
      if (e.PHASEONECLOSECALLED) {
        if (e.PHASEONECLOSETIME > now) e.PHASEONECLOSETIME = 0;  // midnight has passed
        if (e.PHASEONECLOSETIME + kClosingExpiryHundredths <= now)
          expired.emplace_back(e.SOCKET, e.SOCKID);
      } else if (e.CLOSINGSTATE) {
        // Closing with data that the peer has not taken for 300 seconds:
        // without a limit the connection would wait for ever.
        if (e.closing_time > now) e.closing_time = 0;
        if (e.closing_time + kClosingExpiryHundredths <= now)
          stuck.emplace_back(e.SOCKET, e.SOCKID);
      }
    }
    for (auto [socket, sockid] : stuck) {
      TraceLine(
          "Closing State on Client Socket has expired with data still unsent. Will abort Socket =" +
              Str(socket),
          kF, kTraceError);
      AbortLocked(socket, sockid);
    }
    for (auto [socket, sockid] : expired) {
      SimpleClientSocketEntry* e = FindBySocketLocked(socket, sockid);
      if (e == nullptr) continue;
      TraceLine("Closing State on Client Socket has expired. Will run 2nd Phase close on Socket =" +
                    Str(socket),
                kF, kTraceInfo);
      if (!e->FD_CLOSE_RECEIVED) {
        TraceLine(
            "We never received FD_CLOSE. Closing Socket and Simulating as if we had received "
            "FD_Close already",
            kF, kTraceInfo);
        if (e->socket_open) {
          CloseSocketLocked(e->SOCKET);
          e->socket_open = false;
        }
        e->FD_CLOSE_RECEIVED = 1;
        e->ASYNCMESSAGE = 0;
      }
      ClosePhaseTwoLocked(socket, sockid);
    }
  }
  waker_.Wake();
}

}  // namespace vm::net
