#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/winsock_errors.h"

namespace vm::platform {

namespace {

int LastError() {
  return WinsockErrorFromErrno(errno);
}

sockaddr_in MakeAddr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = port;
  return sa;
}

}  // namespace

int SocketCreateTcp(int* fd) {
  *fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return *fd < 0 ? LastError() : 0;
}

int SocketSetNonBlocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return LastError();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) < 0 ? LastError() : 0;
}

int SocketConnect(int fd, uint32_t addr, uint16_t port, int timeout_ms) {
  if (int err = SocketSetNonBlocking(fd, true)) return err;
  sockaddr_in sa = MakeAddr(addr, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno != EINPROGRESS) return LastError();
  pollfd p{fd, POLLOUT, 0};
  for (;;) {
    int n = ::poll(&p, 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) return kWsaEtimedout;
    break;
  }
  // Connected when the peer has a name; a reset that followed at once stays
  // pending for the first read instead of failing the connect.
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) return 0;
  int err = SocketPendingError(fd);
  return err != 0 ? err : kWsaEnotconn;
}

int SocketConnectStart(int fd, uint32_t addr, uint16_t port) {
  if (int err = SocketSetNonBlocking(fd, true)) return err;
  sockaddr_in sa = MakeAddr(addr, port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  if (errno == EINPROGRESS) return kWsaEinprogress;
  return LastError();
}

int SocketConnectOutcome(int fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0) return 0;
  int err = SocketPendingError(fd);
  return err != 0 ? err : kWsaEnotconn;
}

int SocketSend(int fd, const void* data, size_t len, size_t* sent) {
  *sent = 0;
  for (;;) {
    ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      *sent = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return LastError();
  }
}

int SocketSendParts(int fd, const SendPart* parts, size_t count, size_t* sent) {
  *sent = 0;
  iovec iov[64];
  count = std::min(count, sizeof iov / sizeof iov[0]);
  for (size_t i = 0; i < count; ++i) {
    iov[i].iov_base = const_cast<void*>(parts[i].data);
    iov[i].iov_len = parts[i].len;
  }
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = count;
  for (;;) {
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      *sent = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return LastError();
  }
}

int SocketRecv(int fd, void* buf, size_t len, size_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = ::recv(fd, buf, len, MSG_DONTWAIT);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return LastError();
  }
}

PeekResult SocketPeek(int fd, int* error) {
  *error = 0;
  char c;
  for (;;) {
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return PeekResult::kData;
    if (n == 0) return PeekResult::kClosed;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return PeekResult::kNothing;
    *error = LastError();
    return PeekResult::kError;
  }
}

int SocketPendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return LastError();
  return WinsockErrorFromErrno(err);
}

int SocketShutdown(int fd, ShutdownHow how) {
  int h = how == ShutdownHow::kReceive ? SHUT_RD : how == ShutdownHow::kSend ? SHUT_WR : SHUT_RDWR;
  return ::shutdown(fd, h) < 0 ? LastError() : 0;
}

int SocketSetLinger(int fd, bool on, int seconds) {
  linger l{};
  l.l_onoff = on ? 1 : 0;
  l.l_linger = on ? seconds : 0;
  return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0 ? LastError() : 0;
}

int SocketSetNoDelay(int fd, bool on) {
  int v = on ? 1 : 0;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) < 0 ? LastError() : 0;
}

int SocketClose(int fd) {
  // The descriptor is released even when close reports an error.
  return ::close(fd) < 0 && errno != EINTR ? LastError() : 0;
}

int SocketGetName(int fd, uint32_t* addr, uint16_t* port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) < 0) return LastError();
  *addr = sa.sin_addr.s_addr;
  *port = sa.sin_port;
  return 0;
}

int SocketPoll(std::vector<PollItem>* items, int timeout_ms, int* error) {
  *error = 0;
  std::vector<pollfd> fds(items->size());
  for (size_t i = 0; i < items->size(); ++i) {
    const PollItem& it = (*items)[i];
    fds[i].fd = it.fd;
    fds[i].events = static_cast<short>((it.want_read ? POLLIN : 0) | (it.want_write ? POLLOUT : 0));
  }
  int n = ::poll(fds.data(), fds.size(), timeout_ms);
  if (n < 0) {
    if (errno == EINTR) return 0;
    *error = LastError();
    return -1;
  }
  for (size_t i = 0; i < items->size(); ++i) {
    PollItem& it = (*items)[i];
    it.readable = (fds[i].revents & POLLIN) != 0;
    it.writable = (fds[i].revents & POLLOUT) != 0;
    it.hangup = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  return n;
}

int SocketListenLoopback(int* fd, uint16_t* port_host_order, int backlog) {
  *fd = -1;
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return LastError();
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = MakeAddr(htonl(INADDR_LOOPBACK), 0);
  socklen_t len = sizeof sa;
  if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(s, backlog) < 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) < 0) {
    int err = LastError();
    ::close(s);
    return err;
  }
  *fd = s;
  *port_host_order = ntohs(sa.sin_port);
  return 0;
}

int SocketAccept(int listen_fd, int* fd) {
  for (;;) {
    *fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (*fd >= 0) return 0;
    if (errno != EINTR) return LastError();
  }
}

int SocketSendAllBlocking(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd pf{fd, POLLOUT, 0};
        ::poll(&pf, 1, -1);
        continue;
      }
      return LastError();
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

int SocketRecvBlocking(int fd, void* buf, size_t len, size_t* got) {
  *got = 0;
  for (;;) {
    ssize_t n = ::recv(fd, buf, len, 0);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return 0;
    }
    if (errno != EINTR) return LastError();
  }
}

int SocketSetBuffer(int fd, bool receive, int bytes) {
  return ::setsockopt(fd, SOL_SOCKET, receive ? SO_RCVBUF : SO_SNDBUF, &bytes, sizeof bytes) < 0
             ? LastError()
             : 0;
}

bool ParseIPv4(std::string_view text, uint32_t* addr) {
  std::string s(text);
  in_addr a{};
  if (::inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
  *addr = a.s_addr;
  return true;
}

std::string FormatIPv4(uint32_t addr) {
  in_addr a{};
  a.s_addr = addr;
  char buf[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

namespace {

int LookupIPv4(const std::string& host, std::vector<uint32_t>* addrs) {
  addrs->clear();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) return WinsockErrorFromGai(rc, errno);
  for (addrinfo* p = res; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET) continue;
    uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t x : *addrs) seen = seen || x == a;
    if (!seen) addrs->push_back(a);
  }
  ::freeaddrinfo(res);
  return addrs->empty() ? kWsaNoData : 0;
}

// What one lookup thread hands back; shared with a caller that may have
// stopped waiting for it.
struct LookupResult {
  std::mutex mu;
  std::condition_variable done_cv;
  bool done = false;
  int rc = 0;
  std::vector<uint32_t> addrs;
};

}  // namespace

int ResolveWithin(const std::string& host, std::vector<uint32_t>* addrs, int limit_ms,
                  const HostLookup& lookup) {
  addrs->clear();
  auto result = std::make_shared<LookupResult>();
  std::thread([result, host, lookup] {
    std::vector<uint32_t> found;
    const int rc = lookup(host, &found);
    std::lock_guard<std::mutex> lock(result->mu);
    result->rc = rc;
    result->addrs = std::move(found);
    result->done = true;
    result->done_cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(result->mu);
  if (!result->done_cv.wait_for(lock, std::chrono::milliseconds(limit_ms),
                                [&] { return result->done; }))
    return kWsaTryAgain;
  *addrs = result->addrs;
  return result->rc;
}

int ResolveAllIPv4(std::string_view host, std::vector<uint32_t>* addrs) {
  return ResolveWithin(std::string(host), addrs, kLookupLimitMs, LookupIPv4);
}

int ResolveIPv4(std::string_view host, uint32_t* addr) {
  std::vector<uint32_t> all;
  if (int err = ResolveAllIPv4(host, &all)) return err;
  *addr = all.front();
  return 0;
}

int HostName(std::string* name) {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) < 0) return LastError();
  *name = buf;
  return 0;
}

uint16_t HostToNetwork16(uint16_t v) {
  return htons(v);
}
uint16_t NetworkToHost16(uint16_t v) {
  return ntohs(v);
}

WakePipe::WakePipe() {
  if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) < 0) fds_[0] = fds_[1] = -1;
}

WakePipe::~WakePipe() {
  if (fds_[0] >= 0) ::close(fds_[0]);
  if (fds_[1] >= 0) ::close(fds_[1]);
}

void WakePipe::Wake() {
  char c = 1;
  // A full pipe already guarantees a wake-up.
  [[maybe_unused]] ssize_t n = ::write(fds_[1], &c, 1);
}

void WakePipe::Drain() {
  char buf[64];
  while (::read(fds_[0], buf, sizeof buf) > 0) {
  }
}

}  // namespace vm::platform
