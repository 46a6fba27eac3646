// POSIX sockets as the networking layer uses them: IPv4 TCP sockets, a
// connect with a time limit, non-blocking sends and receives, poll, name
// resolution and the local address list. Every failure is answered with the
// WinSock number of the errno (winsock_errors.h); 0 is success. Addresses
// and ports are in network byte order unless a name says otherwise.
// Stateless functions, safe from any thread; a descriptor belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::platform {

enum class ShutdownHow { kReceive, kSend, kBoth };

// Creates an IPv4 stream socket (close-on-exec).
int SocketCreateTcp(int* fd);
// Connects `fd` to addr:port, waiting at most `timeout_ms`; 10060 when the
// time runs out. The socket is left in non-blocking mode.
int SocketConnect(int fd, uint32_t addr, uint16_t port, int timeout_ms);
// Starts a connect without waiting: 0 when already connected, 10036
// (in progress) when the outcome comes later (the socket turns writable),
// else the error. The socket is left in non-blocking mode.
int SocketConnectStart(int fd, uint32_t addr, uint16_t port);
// The outcome of a started connect once the socket is writable or hung up:
// 0 connected, else the error (10061 refused, ...).
int SocketConnectOutcome(int fd);
int SocketSetNonBlocking(int fd, bool on);
// Sends without blocking and without SIGPIPE; *sent = bytes taken.
int SocketSend(int fd, const void* data, size_t len, size_t* sent);
// Sends the parts in order with one call, without blocking and without
// SIGPIPE; *sent = bytes taken from the front of the sequence.
struct SendPart {
  const void* data;
  size_t len;
};
int SocketSendParts(int fd, const SendPart* parts, size_t count, size_t* sent);
// Receives without blocking; *got = 0 means the peer closed.
int SocketRecv(int fd, void* buf, size_t len, size_t* got);

enum class PeekResult { kData, kClosed, kNothing, kError };
// Looks at the socket without taking data: data waiting, closed by the peer,
// nothing yet, or an error (its WinSock number in *error).
PeekResult SocketPeek(int fd, int* error);
// The socket's pending error (SO_ERROR) as a WinSock number.
int SocketPendingError(int fd);

int SocketShutdown(int fd, ShutdownHow how);
// SO_LINGER on with `seconds`, or off (the "don't linger" setting).
int SocketSetLinger(int fd, bool on, int seconds);
// TCP_NODELAY: small writes go out at once instead of waiting for an ACK.
int SocketSetNoDelay(int fd, bool on);
int SocketClose(int fd);
// Local address and port of a socket.
int SocketGetName(int fd, uint32_t* addr, uint16_t* port);

struct PollItem {
  int fd = -1;
  bool want_read = false;
  bool want_write = false;
  bool readable = false;  // data, end of stream or an error to read
  bool writable = false;
  bool hangup = false;  // POLLHUP or POLLERR
};
// Waits up to `timeout_ms` (-1 = no limit) for any item; returns the number
// of ready items or -1 with *error set. An interrupted wait returns 0.
int SocketPoll(std::vector<PollItem>* items, int timeout_ms, int* error);

// Loopback listening socket on a free port (for tests and benchmarks).
int SocketListenLoopback(int* fd, uint16_t* port_host_order, int backlog);
// Blocking accept; the new socket is blocking.
int SocketAccept(int listen_fd, int* fd);
// Blocking send of all bytes / receive of up to len bytes (0 = closed).
int SocketSendAllBlocking(int fd, const void* data, size_t len);
int SocketRecvBlocking(int fd, void* buf, size_t len, size_t* got);
// Sets SO_RCVBUF or SO_SNDBUF (bytes).
int SocketSetBuffer(int fd, bool receive, int bytes);

// Dotted text to address; false when `text` is not a dotted IPv4 address.
bool ParseIPv4(std::string_view text, uint32_t* addr);
std::string FormatIPv4(uint32_t addr);
// Longest wait for a host-name lookup: the system's resolver has no limit of
// its own (its name services may each wait in turn).
inline constexpr int kLookupLimitMs = 10000;
// Resolves a host name to its first IPv4 address; a WinSock number (11001
// and the like) when it cannot, 11002 when the lookup took longer than the
// lookup limit.
int ResolveIPv4(std::string_view host, uint32_t* addr);
// Every IPv4 address the host name resolves to (same answers).
int ResolveAllIPv4(std::string_view host, std::vector<uint32_t>* addrs);
// What ResolveAllIPv4 does, with the lookup and its limit given: `lookup`
// runs on a thread of its own, which is left to finish alone when it takes
// longer than `limit_ms` (11002 then). Tests give a lookup that hangs.
using HostLookup = std::function<int(const std::string& host, std::vector<uint32_t>* addrs)>;
int ResolveWithin(const std::string& host, std::vector<uint32_t>* addrs, int limit_ms,
                  const HostLookup& lookup);
int HostName(std::string* name);
uint16_t HostToNetwork16(uint16_t v);
uint16_t NetworkToHost16(uint16_t v);

// A self-pipe that wakes a thread waiting in SocketPoll.
class WakePipe {
 public:
  WakePipe();
  ~WakePipe();
  WakePipe(const WakePipe&) = delete;
  WakePipe& operator=(const WakePipe&) = delete;
  int read_fd() const { return fds_[0]; }
  void Wake();
  void Drain();

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace vm::platform
