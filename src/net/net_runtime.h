// The per-process networking runtime: trace switches and the trace writer,
// machine identity and Media Sense values in the registry store, the socket
// library start, the "callback window" (a notification thread that watches
// every registered socket, delivers FD_READ/FD_WRITE/FD_CLOSE to the message
// handlers and runs the one-second housekeeping), and the socket layer's
// queues of NetSimple client connections under the one critical section.
// One instance per process, made by Start and ended by Shutdown (the program
// calls both; tests start and stop it with their own registry file and
// clock). Public members are safe from any thread unless marked otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/net_errors.h"
#include "net/net_simple.h"
#include "platform/clock.h"
#include "platform/diag_sink.h"
#include "platform/socket.h"

namespace vm::platform {
class RegistryStore;
}

namespace vm::net {

inline constexpr int kTraceInfo = 0;
inline constexpr int kTraceError = 100;

struct NetRuntimeOptions {
  // The program's command-line arguments; the trace switches are read from them.
  std::vector<std::string> command_line;
  std::string program_name = "voicemail-mailer";
  // The registry store's file; empty = registry.ini in the configuration directory.
  std::filesystem::path registry_file;
  // Clock for the time of day of the close check and the machine identity;
  // nullptr = the system's. Must outlive the runtime.
  const platform::Clock* clock = nullptr;
  // Period of the callback window's timer (one tick; 100 hundredths).
  int tick_ms = 1000;
  // Bound on the connect of an open (blocking or asynchronous); running out
  // of it gives 10060.
  int connect_timeout_ms = 30000;
  // Send buffer of each client socket in bytes; 0 = the system's default.
  int send_buffer_bytes = 0;
  // false makes the socket library start fail (for tests of that path).
  bool socket_library_available = true;
};

// sockaddr_in as the queues keep it.
struct SockAddrIn {
  uint16_t SA_FAMILY = 2;  // AF_INET
  uint16_t SA_PORT = 0;    // network order
  uint32_t S_ADDR = 0;     // network order
  char SA_ZERO[8] = {};
};

// Unsent bytes a connection may hold before a Send waits for the peer (see
// WaitForQueueRoom in simple_client.cpp).
inline constexpr int64_t kMaxUnsentBytes = 2 * 1024 * 1024;

struct SimpleClientSocketEntry {
  int32_t SOCKET = -1;
  int32_t SOCKID = 0;
  SockAddrIn ADDR;
  SockAddrIn LOCADDR;
  uint32_t ASYNCMESSAGE = 0;
  int32_t NOTIFYTHREAD = 0;
  int32_t NOTIFYMSG = 0;
  uint8_t CLOSINGSTATE = 0;
  uint8_t PHASEONECLOSECALLED = 0;
  int32_t PHASEONECLOSETIME = 0;
  uint8_t FD_CLOSE_RECEIVED = 0;
  uint8_t PHASETWOCLOSECALLED = 0;
  // Kept by this implementation: whether SOCKET is still ours to close (a
  // closed descriptor number may already belong to something else), whether
  // FD_WRITE is wanted, whether the receiving direction was shut by us, and
  // when the closing state began (time of day).
  bool socket_open = true;
  bool want_write = false;
  bool in_sending_loop = false;  // the loop will look at the queue again before it ends
  // Packets the owner's thread wrote itself since it last took a received
  // packet. A close counts them as still waiting, as they would be had they
  // gone through the queue, so a close right after a send (QUIT, then close)
  // behaves the same either way.
  int32_t sent_by_owner = 0;
  // Packets the owner handed to Send since it last took a received packet:
  // only the first of a turn is written from the owner's thread.
  int32_t sends_this_turn = 0;
  // The owner will take nothing more of this connection (NetSimpleConnectRelease).
  bool released = false;
  // Bytes of the connection's queued packets not sent yet.
  int64_t unsent = 0;
  // Unsent bytes at or below which the owner wants kPacketQueueHasRoom; -1 = none.
  int64_t room_below = -1;
  // The owner's thread waits in Send for the queue to drain (WaitForQueueRoom);
  // a wait ended because the peer took nothing, and no byte has left since.
  bool owner_waits = false;
  bool peer_stalled = false;
  bool receive_shut = false;
  int32_t closing_time = 0;
  // An asynchronous open whose connect has not ended yet, and when it runs
  // out of time.
  bool connecting = false;
  std::chrono::steady_clock::time_point connect_deadline{};
};

struct SimpleOutListEntry {
  uint32_t SIMPLEPACKETID = 0;
  int32_t SOCKET = -1;
  int32_t SOCKID = 0;
  SockAddrIn ADDR;
  uint8_t ALLSENT = 0;
};

struct SimpleOutDataEntry {
  std::string BINDATA;
  int32_t BINDATALEN = 0;
  int32_t BYTESSENT = 0;
};

struct SimpleInDataEntry {
  uint32_t FROMIP = 0;
  int32_t ONSOCKET = -1;
  int32_t SOCKID = 0;
  std::string BINDATA;
  int32_t BINDATALEN = 0;
  int32_t PACKETTYPE = 0;
  uint16_t SERVERPORT2 = 0;
  int32_t SERVERONSOCKET = 0;
  int32_t SERVERSOCKID = 0;
  int32_t RESERVED2 = 0;
  uint16_t UDPFROMPORT = 0;
};

// One socket message of the callback window: message number, socket, event
// (FD_*) and the error that came with it.
struct SocketMessage {
  uint32_t message = 0;
  uint32_t socket = 0;
  uint16_t event = 0;
  uint16_t error = 0;
};

// Sizes of the socket layer's queues, for checks that nothing is left behind.
struct QueueCounts {
  size_t client_sockets = 0;
  size_t out_list = 0;
  size_t out_data = 0;
  size_t in_data = 0;
};

// Picks the next client message number: counter + 1, wrapping from above
// 7120 to 6120, skipping numbers `in_use` says are taken. false after 1000
// tries without a free one.
bool ChooseClientMessage(uint32_t* counter, const std::function<bool(uint32_t)>& in_use,
                         uint32_t* message);

class NetRuntime {
 public:
  // Runs the start-up sequence and makes the runtime current.
  // REQUIRES: no runtime is current.
  static NetRuntime& Start(NetRuntimeOptions options);
  // Closes the callback window if it is open, runs the shutdown sequence and
  // destroys the runtime. No-op when none is current. REQUIRES: no other
  // thread is using the runtime any more.
  static void Shutdown();
  static NetRuntime* Current();

  NetRuntime(const NetRuntime&) = delete;
  NetRuntime& operator=(const NetRuntime&) = delete;

  // ---- Trace -----------------------------------------------------------
  // Level kTraceInfo or kTraceError. Written when the full trace is on, or
  // when the errors-only trace is on and the level is kTraceError.
  void TraceLine(std::string_view message, std::string_view function, int level);
  // A line of the detailed trace: built only when "/netdlllogall" is on.
  void TraceDetail(std::string_view message, std::string_view function, int level);
  // Appends "[NetDLL] " + text to the past-info list; writes it when the full
  // trace is on.
  void StartupLine(std::string_view text);
  // The writer: trailing blanks removed, lines over 1021 characters cut.
  // Lines of the error level are warnings of the diagnostic output (the
  // failure they lead to is reported by its caller); the rest information.
  static void WriteLine(std::string_view line,
                        platform::DiagPriority priority = platform::DiagPriority::kInfo);
  // Turns trace kinds on later (the library's option call); writes the
  // banner and replays the past-info list when the full trace ends up on.
  void TurnOnLogging(bool full, bool errors_only, bool detailed);
  bool full_trace() const { return full_trace_; }
  bool errors_trace() const { return errors_trace_; }
  bool detailed_trace() const { return detailed_trace_; }
  bool any_trace() const { return full_trace_ || errors_trace_; }
  std::vector<std::string> PastInfo() const;
  // Whether `word` is one of the (expanded) command-line words.
  bool HasSwitch(std::string_view word) const;

  // ---- Identity and addresses ------------------------------------------
  uint32_t guid_first() const { return guid_[0]; }
  uint32_t guid_second() const { return guid_[1]; }
  uint32_t run_id() const { return run_id_; }
  const std::string& description() const { return description_; }
  const std::string& host_name() const { return host_name_; }
  const std::vector<uint32_t>& local_addresses() const { return local_addresses_; }
  bool IsLocalAddress(uint32_t addr_network_order) const;
  bool socket_library_started() const { return wsa_started_; }

  // ---- Callback window -------------------------------------------------
  // 0 when active (starting the notification thread on first use), -31 when
  // the socket library was not started, -49 when no thread could be started.
  int32_t NetInitCheck();
  // Posts the close-down event to the callback window when it is active.
  void NetCloseCallBackWindow();
  bool active() const { return active_; }
  bool closed_down() const { return closed_down_; }
  // Routes one window message as the callback window's procedure does.
  // wparam = socket, lparam = event (low word) | error (high word).
  // Returns true for the end-session messages.
  bool CallBackWindowMainCallBack(uint32_t message, uint32_t wparam, uint32_t lparam);
  // Periodic close check of NetSimple client connections.
  void CheckToCloseNetSimpleSockets();
  // Number of timer ticks the callback window has run.
  uint64_t ticks() const { return ticks_; }
  // Number of close checks the timer has run.
  uint64_t close_checks() const { return close_checks_; }

  // ---- Socket layer (called by NetSimple on its owner's thread) ----------
  // With `async` the call returns once the connect has started (0) or has
  // failed at once (the error); the outcome is posted later as the
  // connection's EVENT + kConnectEventOffset and read with
  // NetSimpleConnectOutcome.
  int32_t NetSimpleConnectOpen(Connection* connection, bool async = false);
  // The outcome of an asynchronous open of this connection (0 connected,
  // else the error, 10060 when it ran out of time); false when there is none
  // (not ended yet, already taken, or the connection was closed meanwhile).
  // On success fills the connection's LOCALIP.
  bool NetSimpleConnectOutcome(Connection* connection, int32_t* result);
  int32_t NetSimpleConnectSend(Connection* connection, const Packet& packet);
  int32_t NetSimpleConnectClose(Connection* connection, uint32_t socket, int32_t sockid,
                                int32_t phase);
  int32_t NetSimpleConnectReceive(Connection* connection, Packet* packet);
  // The owner of a connection whose close it started will take nothing of it
  // any more (it was killed, or opened another connection): its received
  // packets are dropped, nothing more is queued for it, and the entry goes
  // as soon as the close completes (FD_CLOSE after the first phase) rather
  // than at the periodic expiry. A connection not closing is left alone.
  void NetSimpleConnectRelease(uint32_t socket, int32_t sockid);
  // Entries of qSimpleOutList for this socket and connection id (not all
  // sent) and the sum of their whole lengths.
  void OutgoingPackets(uint32_t socket, int32_t sockid, int32_t* count, int64_t* bytes);
  // Puts a packet of type kPacketQueueHasRoom for the owner (posting its
  // EVENT) once the bytes of this connection still to be sent are `bytes`
  // or fewer: at once when they already are, else when the sending loop
  // gets there. One request gives one packet; a new request replaces an
  // earlier one. A producer that refills the queue on that packet keeps
  // its memory bounded while the peer takes the data.
  void NetSimpleConnectNotifyWhenQueuedBelow(Connection* connection, int64_t bytes);
  QueueCounts Counts() const;
  // Copy of the client socket entries (for checks).
  std::vector<SimpleClientSocketEntry> ClientSockets() const;
  uint64_t total_bytes_sent() const { return total_sent_; }
  uint64_t total_bytes_received() const { return total_received_; }
  // The TLS client contexts of the process, with their session caches.
  TlsContexts& tls_contexts() { return tls_contexts_; }

 private:
  explicit NetRuntime(NetRuntimeOptions options);
  ~NetRuntime();

  // Start-up and shutdown (net_runtime.cpp).
  void ReadSwitches();
  void WriteBanner();
  void ReadWindowsInfo();
  void MachineIdentity();
  void MediaSense();
  void DLLStartUp();
  void GetIPList();
  void DLLShutDown();
  int32_t TimeOfDay() const;

  // Callback window (callback_window.cpp).
  int32_t WindowLoader();
  void CallBackWindowSrc();
  // Handles the window's own events; true when the window is to close.
  bool HandleWindowEvents();
  // Waits up to `timeout_ms` and returns the socket messages that are due.
  std::vector<SocketMessage> WaitForSocketMessages(int timeout_ms);
  void AddInputMessageLocked(const SimpleClientSocketEntry& e, bool hangup,
                             std::vector<SocketMessage>* messages);
  void PeriodicTasks();
  void CloseAll();
  void PostWindowEvent(int event);
  void SimpleClient_Async(uint32_t message, uint32_t socket, uint16_t event, uint16_t error);

  // Socket layer (simple_client.cpp); "Locked" functions need mu_ held.
  SimpleClientSocketEntry* FindByMessageLocked(uint32_t message);
  SimpleClientSocketEntry* FindConnectionLocked(uint32_t addr, int32_t socket, int32_t sockid);
  SimpleClientSocketEntry* FindBySocketLocked(int32_t socket, int32_t sockid);
  int32_t SimpleClientOpen(Connection* connection, bool async);

  // Asynchronous connect (simple_connect.cpp).
  int32_t StartConnect(Connection* c, int fd, uint32_t addr, uint32_t message);
  // Ends a connect with `result`: the entry stays (connected) or goes
  // (failed), the outcome is kept for the owner and its event posted.
  void FinishConnectLocked(SimpleClientSocketEntry* entry, int32_t result);
  // Ends every connect whose time has run out with 10060 (the timer tick).
  void ExpireConnects();
  // A close of a connection whose connect has not ended, or whose failed
  // outcome was not taken yet: true when it was one (all is released).
  bool DropConnectLocked(int32_t socket, int32_t sockid);
  int32_t SimpleClientSend(Connection* connection, const Packet& packet);
  int32_t SimpleClientClose(Connection* connection, uint32_t socket, int32_t sockid, int32_t phase);
  // Runs the sending loop of `entry`; true when it stopped with data left for
  // the next FD_WRITE.
  bool SendingLoopLocked(std::unique_lock<std::mutex>* lock, SimpleClientSocketEntry* entry);
  // Sends the only queued packet of `entry` from the calling thread; true
  // when the callback window has to watch the socket for the rest.
  bool SendNowLocked(std::unique_lock<std::mutex>* lock, SimpleClientSocketEntry* entry,
                     uint32_t packet_id);
  void SendingLoopStepsLocked(std::unique_lock<std::mutex>* lock, SimpleClientSocketEntry* entry);
  // A packet being sent without the lock: its payload is out of qSimpleOutData meanwhile.
  struct InFlightPacket {
    uint32_t id;
    std::string payload;
    int32_t offset;
    int32_t length;
  };
  // Moves the payloads of the next packets of the connection into `batch`.
  void TakeBatchLocked(const SimpleClientSocketEntry& e, std::vector<InFlightPacket>* batch);
  // Puts the payloads back, counts `sent` bytes against the packets in order and
  // removes the finished ones; true when a packet was left part-sent.
  bool SettleBatchLocked(std::vector<InFlightPacket>* batch, size_t sent);
  void RecyclePayload(std::string&& payload);
  // Posts kPacketQueueHasRoom when the owner asked for it and the queue is down to its level.
  void CheckRoomLocked(SimpleClientSocketEntry* e);
  // After a Send that left the connection's queue over its limit: waits on
  // the owner's thread until the sending loop has halved it.
  void WaitForQueueRoom(const Connection& c);
  void ReceiveLocked(SimpleClientSocketEntry* entry);
  void CloseTheSocketLocked(SimpleClientSocketEntry* entry);
  int32_t ClosePhaseOneLocked(int32_t socket, int32_t sockid);
  int32_t ClosePhaseTwoLocked(int32_t socket, int32_t sockid);
  void AbortLocked(int32_t socket, int32_t sockid);
  int CloseSocketLocked(int fd);
  void ClearQueuesLocked(int32_t socket, int32_t sockid, bool incoming_too);
  void DeleteEntryLocked(int32_t socket, int32_t sockid);
  void AddInPacketLocked(const SimpleClientSocketEntry& entry, int32_t type, const char* data,
                         int32_t len);

  NetRuntimeOptions options_;
  const platform::Clock* clock_;
  std::unique_ptr<platform::RegistryStore> registry_;
  std::vector<std::string> words_;  // expanded command line

  std::atomic<bool> full_trace_{false};
  std::atomic<bool> errors_trace_{false};
  std::atomic<bool> detailed_trace_{false};
  mutable std::mutex past_mu_;
  std::vector<std::string> past_info_;

  uint32_t guid_[2] = {0, 0};
  uint32_t run_id_ = 0;
  std::string description_;
  std::string windows_name_, windows_version_, windows_build_, system_root_, reg_owner_, reg_org_;
  std::string host_name_;
  std::vector<uint32_t> local_addresses_;
  bool wsa_started_ = false;
  bool wsa_version2_ = false;

  // The one critical section, over the socket layer's queues and counters.
  mutable std::mutex mu_;
  std::list<SimpleClientSocketEntry> qSimpleClientSockets;
  std::list<SimpleOutListEntry> qSimpleOutList;
  std::unordered_map<uint32_t, SimpleOutDataEntry> qSimpleOutData;
  std::list<SimpleInDataEntry> qSimpleInData;
  uint32_t next_sockid_ = 0;  // wraps within 1..0x7FFFFFFF
  uint32_t next_packet_id_ = 0;
  uint32_t in_sequence_ = 0;  // wraps; stored as its 32-bit pattern
  uint32_t client_message_ = kMsgSimpleClientFirst - 1;
  std::set<uint32_t> reserved_messages_;                   // chosen for opens still connecting
  std::unordered_map<int32_t, int32_t> connect_outcomes_;  // sockid -> result not yet taken
  // Sockets a sending loop is using without the lock (the callback window's
  // and owners' threads each send on their own connections), and those of
  // them closed meanwhile: their close waits until the send has returned.
  std::vector<int> sending_sockets_;
  std::vector<int> deferred_closes_;
  // Signalled when a connection whose owner waits in Send has drained.
  std::condition_variable queue_drained_;
  // Payload buffers of sent packets kept for reuse: fresh memory for every
  // packet costs a page fault per 4 KB, more than the copy itself.
  std::mutex spare_mu_;
  std::vector<std::string> spare_payloads_;
  std::atomic<uint64_t> total_sent_{0};
  std::atomic<uint64_t> total_received_{0};
  TlsContexts tls_contexts_;

  // Callback window state.
  std::mutex window_mu_;
  std::condition_variable window_cv_;
  std::deque<int> window_events_;
  bool window_happy_ = false;
  ThreadId window_thread_id_ = 0;
  std::thread window_thread_;
  platform::WakePipe waker_;
  std::atomic<bool> active_{false};
  std::atomic<bool> closed_down_{false};
  std::atomic<uint64_t> ticks_{0};
  std::atomic<uint64_t> close_checks_{0};
  int simple_countdown_ = 0;
};

// The runtime's operations for callers without a runtime pointer.
int32_t NetInitCheck();
void NetCloseCallBackWindow();

}  // namespace vm::net
