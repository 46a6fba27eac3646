// Throughput of NetSimple against a plain blocking send loop: 50 MB over
// loopback in 16,384-byte packets, both in the same run, each to a reader
// thread that drains the connection. Prints MB/s of both and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "net/event_poster.h"
#include "net/net_runtime.h"
#include "net/net_simple.h"
#include "platform/diag_sink.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kPacket = 16384;
constexpr size_t kTotal = 50u * 1024 * 1024;  // 3200 packets

// Accepts one connection and reads until the peer closes; the future gives
// the byte count and the moment the last byte arrived.
struct Reader {
  int listen_fd = -1;
  uint16_t port = 0;
  std::future<std::pair<size_t, Clock::time_point>> done;

  Reader() {
    if (vm::platform::SocketListenLoopback(&listen_fd, &port, 4) != 0) {
      std::fprintf(stderr, "bench_net: cannot listen on loopback\n");
      std::exit(1);
    }
    done = std::async(std::launch::async, [fd = listen_fd] {
      int conn = -1;
      vm::platform::SocketAccept(fd, &conn);
      static char buf[1 << 16];
      size_t total = 0;
      Clock::time_point last = Clock::now();
      for (;;) {
        size_t got = 0;
        if (vm::platform::SocketRecvBlocking(conn, buf, sizeof buf, &got) != 0 || got == 0) break;
        total += got;
        if (total >= kTotal) last = Clock::now();
      }
      vm::platform::SocketClose(conn);
      return std::make_pair(total, last);
    });
  }
  ~Reader() { vm::platform::SocketClose(listen_fd); }
};

double MegabytesPerSecond(size_t bytes, Clock::duration d) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::chrono::duration<double>(d).count();
}

double PlainLoop(const std::string& packet) {
  Reader reader;
  uint32_t loopback = 0;
  vm::platform::ParseIPv4("127.0.0.1", &loopback);
  int fd = -1;
  vm::platform::SocketCreateTcp(&fd);
  if (vm::platform::SocketConnect(fd, loopback, vm::platform::HostToNetwork16(reader.port), 5000) !=
      0) {
    std::fprintf(stderr, "bench_net: plain connect failed\n");
    std::exit(1);
  }
  vm::platform::SocketSetNonBlocking(fd, false);
  auto start = Clock::now();
  for (size_t sent = 0; sent < kTotal; sent += kPacket) {
    vm::platform::SocketSendAllBlocking(fd, packet.data(), packet.size());
  }
  vm::platform::SocketShutdown(fd, vm::platform::ShutdownHow::kSend);
  auto [bytes, last] = reader.done.get();
  vm::platform::SocketClose(fd);
  if (bytes != kTotal) std::fprintf(stderr, "bench_net: plain loop delivered %zu bytes\n", bytes);
  return MegabytesPerSecond(bytes, last - start);
}

double ThroughNetSimple(const std::string& packet) {
  Reader reader;
  vm::net::OwnerEventQueue queue;
  vm::net::NetSimple client;
  client.SUPPRESSERRORMSG = 1;
  client.Init();
  client.Open("127.0.0.1", reader.port);
  if (client.ERROR != 0) {
    std::fprintf(stderr, "bench_net: NetSimple open failed: %d\n", client.ERROR);
    std::exit(1);
  }
  auto start = Clock::now();
  for (size_t sent = 0; sent < kTotal; sent += kPacket) {
    std::memcpy(client.PACKET.BINDATA, packet.data(), packet.size());
    client.PACKET.BINDATALEN = static_cast<int32_t>(packet.size());
    client.Send();
    // Hand the owner's events over now and then, as an owner loop would between
    // its other work (the peer sends nothing, so there are few).
    if ((sent / kPacket) % 256 == 255) {
      while (auto e = queue.Wait(std::chrono::milliseconds(0))) client.TakeEvent(*e);
    }
  }
  client.Close();  // phase one after the last queued packet
  auto [bytes, last] = reader.done.get();
  for (int i = 0; i < 100 && vm::net::NetRuntime::Current()->Counts().client_sockets > 0; ++i) {
    if (auto e = queue.Wait(std::chrono::milliseconds(20))) client.TakeEvent(*e);
  }
  client.Kill();
  if (bytes != kTotal) std::fprintf(stderr, "bench_net: NetSimple delivered %zu bytes\n", bytes);
  return MegabytesPerSecond(bytes, last - start);
}

}  // namespace

int main() {
  // Quiet: trace lines would measure the sink, not the connection.
  vm::platform::ScopedDiagSink quiet(nullptr);
  auto dir = std::filesystem::temp_directory_path() / ("bench_net_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  vm::net::NetRuntimeOptions options;
  options.program_name = "bench_net";
  options.registry_file = dir / "registry.ini";
  vm::net::NetRuntime::Start(options);

  std::string packet(kPacket, '\0');
  for (size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<char>(i * 31 + 7);

  // One transfer takes tens of milliseconds, so a busy machine shows in a
  // single figure: both are run several times, alternating, and the medians
  // are compared.
  constexpr int kRounds = 5;
  std::vector<double> plain, simple;
  for (int i = 0; i < kRounds; ++i) {
    plain.push_back(PlainLoop(packet));
    simple.push_back(ThroughNetSimple(packet));
  }
  vm::net::NetRuntime::Shutdown();
  std::filesystem::remove_all(dir);

  std::sort(plain.begin(), plain.end());
  std::sort(simple.begin(), simple.end());
  const double plain_median = plain[kRounds / 2];
  const double simple_median = simple[kRounds / 2];
  std::printf("50 MB over loopback in %zu-byte packets, %d rounds each (median, best)\n", kPacket,
              kRounds);
  std::printf("  plain blocking send loop: %8.1f MB/s  %8.1f MB/s\n", plain_median, plain.back());
  std::printf("  NetSimple:                %8.1f MB/s  %8.1f MB/s\n", simple_median, simple.back());
  std::printf("  ratio NetSimple / plain:  %8.2f (medians; target >= 0.90)\n",
              simple_median / plain_median);
  return 0;
}
