// The "callback window": a notification thread that polls every registered
// socket, turns readiness into FD_READ / FD_WRITE / FD_CLOSE messages with
// the socket's message number, routes them as the window procedure does, and
// runs the one-second housekeeping.
#include <chrono>

#include "net/error_text.h"
#include "net/net_runtime.h"

namespace vm::net {

namespace {

constexpr int kEventCloseDown = 1;
constexpr int kEventCloseWindow = 2;
constexpr int kNetSimpleCloseCheckHundredths = 2000;
constexpr int kTimerHundredths = 100;

uint32_t MakeLParam(uint16_t event, uint16_t error) {
  return uint32_t{event} | uint32_t{error} << 16;
}

}  // namespace

int32_t NetRuntime::NetInitCheck() {
  if (active_) return 0;
  if (!wsa_started_) return kNetErrCouldNotLoad;
  return WindowLoader();
}

int32_t NetRuntime::WindowLoader() {
  static std::mutex loader_mu;  // one loader at a time in the process
  std::lock_guard<std::mutex> loader(loader_mu);
  if (active_) return 0;
  const char* kF = "WindowLoaderSrc";
  TraceLine("About to open Linkora CallBack Window. WindowLoaderThread = " +
                std::to_string(CurrentEventPoster()->CurrentThread()),
            kF, kTraceInfo);
  if (window_thread_.joinable()) window_thread_.join();  // an earlier window that has closed
  {
    std::lock_guard<std::mutex> lock(window_mu_);
    window_happy_ = false;
    window_events_.clear();
  }
  closed_down_ = false;
  try {
    window_thread_ = std::thread(&NetRuntime::CallBackWindowSrc, this);
  } catch (const std::system_error&) {
    TraceLine("Error. Could not create a new thread.", kF, kTraceError);
    return kNetErrNoThread;
  }
  std::unique_lock<std::mutex> lock(window_mu_);
  window_cv_.wait(lock, [this] { return window_happy_; });
  TraceLine("In same function after start(CallBackWindowSrc). New thread = " +
                std::to_string(window_thread_id_),
            kF, kTraceInfo);
  TraceLine("Linkora Call Back Window Started Okay - received NETDLL:EVENT:CallBackWindowHappy", kF,
            kTraceInfo);
  return 0;
}

void NetRuntime::NetCloseCallBackWindow() {
  if (active_) {
    TraceLine("Closing NetCloseCallBackWindow.", "NetCloseCallBackWindow", kTraceInfo);
    PostWindowEvent(kEventCloseDown);
  } else {
    TraceLine("NetCloseCallBackWindow already closed", "NetCloseCallBackWindow", kTraceInfo);
  }
}

void NetRuntime::PostWindowEvent(int event) {
  {
    std::lock_guard<std::mutex> lock(window_mu_);
    window_events_.push_back(event);
  }
  waker_.Wake();
}

void NetRuntime::CallBackWindowSrc() {
  simple_countdown_ = std::max(1, kNetSimpleCloseCheckHundredths / kTimerHundredths);
  active_ = true;
  {
    std::lock_guard<std::mutex> lock(window_mu_);
    window_thread_id_ = CurrentEventPoster()->CurrentThread();
    window_happy_ = true;  // event 3107 to the loader
  }
  window_cv_.notify_all();

  using Steady = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(std::max(1, options_.tick_ms));
  auto next_tick = Steady::now() + period;
  while (!HandleWindowEvents()) {
    auto now = Steady::now();
    int timeout =
        now >= next_tick
            ? 0
            : static_cast<int>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(next_tick - now).count()) +
                  1;
    for (const SocketMessage& m : WaitForSocketMessages(timeout)) {
      CallBackWindowMainCallBack(m.message, m.socket, MakeLParam(m.event, m.error));
    }
    if (Steady::now() >= next_tick) {
      // The timer is stopped while the tasks run, then restarted.
      PeriodicTasks();
      ++ticks_;
      next_tick = Steady::now() + period;
    }
  }
  active_ = false;
  TraceLine("Linkora Call Back Window Closed.", "CallBackWindowSrc", kTraceInfo);
}

bool NetRuntime::HandleWindowEvents() {
  const char* kF = "CallBackWindowSrc";
  std::deque<int> events;
  {
    std::lock_guard<std::mutex> lock(window_mu_);
    events.swap(window_events_);
  }
  for (int e : events) {
    if (e == kEventCloseWindow) {
      TraceLine(
          "Got Event:CloseWindow - Will ignore. You can only close NetMainWindow with a "
          "Event:CloseDown.",
          kF, kTraceInfo);
    } else if (e == kEventCloseDown) {
      TraceLine("Information: Got Event:CloseDown - will close down the DLL process.", kF,
                kTraceInfo);
      // No peer list or peer sign-off exists in this program.
      CloseAll();
      closed_down_ = true;
      return true;
    }
  }
  return false;
}

std::vector<SocketMessage> NetRuntime::WaitForSocketMessages(int timeout_ms) {
  // The wait list: the wake pipe, then every registered client socket.
  std::vector<platform::PollItem> items(1);
  items[0].fd = waker_.read_fd();
  items[0].want_read = true;
  std::vector<std::pair<uint32_t, int32_t>> ids(1);
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const SimpleClientSocketEntry& e : qSimpleClientSockets) {
      if (e.ASYNCMESSAGE == 0 || !e.socket_open) continue;
      platform::PollItem it;
      it.fd = e.SOCKET;
      it.want_read = true;
      it.want_write =
          e.want_write || e.connecting;  // a connect ends when the socket turns writable
      items.push_back(it);
      ids.emplace_back(e.ASYNCMESSAGE, e.SOCKID);
    }
  }
  int poll_error = 0;
  int ready = platform::SocketPoll(&items, timeout_ms, &poll_error);
  if (ready < 0) {
    TraceLine("Error waiting for socket events. Error = " + std::to_string(poll_error),
              "CallBackWindowSrc", kTraceError);
  }
  if (items[0].readable) waker_.Drain();
  std::vector<SocketMessage> messages;
  if (ready <= 0) return messages;
  std::lock_guard<std::mutex> lock(mu_);
  for (size_t i = 1; i < items.size(); ++i) {
    const platform::PollItem& it = items[i];
    if (!it.readable && !it.writable && !it.hangup) continue;
    SimpleClientSocketEntry* e = FindByMessageLocked(ids[i].first);
    // The socket may have been closed (and its number reused) meanwhile.
    if (e == nullptr || e->SOCKID != ids[i].second || !e->socket_open || e->SOCKET != it.fd)
      continue;
    if (e->connecting) {
      FinishConnectLocked(e, platform::SocketConnectOutcome(e->SOCKET));
      continue;
    }
    if (it.writable && e->want_write) {
      e->want_write = false;
      messages.push_back({e->ASYNCMESSAGE, static_cast<uint32_t>(e->SOCKET), kFdWrite, 0});
    }
    if (it.readable || it.hangup) AddInputMessageLocked(*e, it.hangup, &messages);
  }
  return messages;
}

void NetRuntime::AddInputMessageLocked(const SimpleClientSocketEntry& e, bool hangup,
                                       std::vector<SocketMessage>* messages) {
  const uint32_t sock = static_cast<uint32_t>(e.SOCKET);
  int err = 0;
  switch (platform::SocketPeek(e.SOCKET, &err)) {
    case platform::PeekResult::kData:
      messages->push_back({e.ASYNCMESSAGE, sock, kFdRead, 0});
      break;
    case platform::PeekResult::kClosed:
      messages->push_back({e.ASYNCMESSAGE, sock, kFdClose, 0});
      break;
    case platform::PeekResult::kError:
      messages->push_back({e.ASYNCMESSAGE, sock, kFdClose, static_cast<uint16_t>(err)});
      break;
    case platform::PeekResult::kNothing:
      if (hangup) {
        const int pending = platform::SocketPendingError(e.SOCKET);
        messages->push_back({e.ASYNCMESSAGE, sock, kFdClose, static_cast<uint16_t>(pending)});
      }
      break;
  }
}

void NetRuntime::PeriodicTasks() {
  // Dial-up bookkeeping and the peer-service countdowns have nothing to do
  // here: this program opens no peer services.
  ExpireConnects();
  if (--simple_countdown_ <= 0) {
    CheckToCloseNetSimpleSockets();
    ++close_checks_;
    simple_countdown_ = std::max(1, kNetSimpleCloseCheckHundredths / kTimerHundredths);
  }
}

bool NetRuntime::CallBackWindowMainCallBack(uint32_t message, uint32_t wparam, uint32_t lparam) {
  const char* kF = "CallBackWindowMainCallBack";
  const uint16_t event = static_cast<uint16_t>(lparam & 0xFFFF);
  const uint16_t error = static_cast<uint16_t>(lparam >> 16);
  auto in = [message](uint32_t lo, uint32_t hi) { return message >= lo && message <= hi; };
  if (message == kMsgQueryEndSession || message == kMsgEndSession) {
    TraceLine("Received WM_EndSession or WM_QueryEndSession = " + std::to_string(message), kF,
              kTraceInfo);
    PostWindowEvent(kEventCloseDown);
    return true;
  }
  if (message == kMsgStreamListen || message == kMsgDatagram) {
    if (event == kFdClose) {
      TraceLine(message == kMsgStreamListen
                    ? "ERROR. Critical Error FD_CLOSE called for SS Listening Socket"
                    : "ERROR. Critical Error FD_CLOSE called for the datagram socket",
                kF, kTraceError);
    } else {
      // This program opens no peer-messaging sockets.
      TraceLine("Peer-messaging socket message ignored. Message = " + std::to_string(message), kF,
                kTraceInfo);
    }
    return false;
  }
  if (in(kMsgSimpleClientFirst, kMsgSimpleClientLast)) {
    SimpleClient_Async(message, wparam, event, error);
    return false;
  }
  if (in(kMsgPeerAcceptedFirst, kMsgPeerAcceptedLast) || in(kMsgPeerSendFirst, kMsgPeerSendLast) ||
      in(kMsgSimpleListenFirst, kMsgSimpleListenLast) ||
      in(kMsgSimpleServerFirst, kMsgSimpleServerLast)) {
    // Server-side and peer sockets are never opened by this program.
    TraceLine("Message for a socket kind this program does not open. Message = " +
                  std::to_string(message) + " Socket = " + std::to_string(wparam),
              kF, kTraceInfo);
    return false;
  }
  TraceLine("Attention. Received a message that isn't in one of our queues.", kF, kTraceInfo);
  return false;
}

void NetRuntime::CloseAll() {
  const char* kF = "CloseAll";
  TraceLine("Information: Closing Sockets", kF, kTraceInfo);
  std::lock_guard<std::mutex> lock(mu_);
  for (SimpleClientSocketEntry& e : qSimpleClientSockets) {
    if (!e.socket_open) {
      TraceLine("Deleting a qSimpleClientSocket queue entry (socket previously closed)  Socket =" +
                    std::to_string(e.SOCKET) + "  SockID =" + std::to_string(e.SOCKID),
                kF, kTraceInfo);
      continue;
    }
    TraceLine("Closing a qSimpleClientSocket Socket =" + std::to_string(e.SOCKET) +
                  " SockID =" + std::to_string(e.SOCKID) +
                  " Local IP = :" + platform::FormatIPv4(e.LOCADDR.S_ADDR) + ":" +
                  std::to_string(platform::NetworkToHost16(e.LOCADDR.SA_PORT)) +
                  " Remote IP =" + platform::FormatIPv4(e.ADDR.S_ADDR) + ":" +
                  std::to_string(platform::NetworkToHost16(e.ADDR.SA_PORT)),
              kF, kTraceInfo);
    if (int err = platform::SocketShutdown(e.SOCKET, platform::ShutdownHow::kReceive)) {
      TraceLine("Error call to shutdown failed. Error = " + std::to_string(err), kF, kTraceError);
    }
    if (int err = platform::SocketSetLinger(e.SOCKET, false, 0)) {
      TraceLine("Error setting socket DONTLINGER options. Error = " + std::to_string(err), kF,
                kTraceError);
    }
    if (int err = CloseSocketLocked(e.SOCKET)) {
      TraceLine("Error setting closingsocket. Error = " + std::to_string(err), kF, kTraceError);
    }
    e.socket_open = false;
  }
  qSimpleClientSockets.clear();
  connect_outcomes_.clear();
  // With every connection gone their queued packets have no one to go to.
  qSimpleOutList.clear();
  qSimpleOutData.clear();
  qSimpleInData.clear();
}

}  // namespace vm::net
