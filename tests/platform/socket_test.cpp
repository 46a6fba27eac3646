#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/winsock_errors.h"

namespace vm::platform {
namespace {

uint32_t Loopback() {
  uint32_t a = 0;
  EXPECT_TRUE(ParseIPv4("127.0.0.1", &a));
  return a;
}

TEST(Socket, AddressTextRoundTripAndResolution) {
  uint32_t a = 0;
  ASSERT_TRUE(ParseIPv4("10.1.2.3", &a));
  EXPECT_EQ(FormatIPv4(a), "10.1.2.3");
  EXPECT_FALSE(ParseIPv4("mail.example", &a));
  EXPECT_FALSE(ParseIPv4("1.2.3", &a));
  EXPECT_FALSE(ParseIPv4("", &a));
  ASSERT_EQ(ResolveIPv4("localhost", &a), 0);
  EXPECT_EQ(FormatIPv4(a).rfind("127.", 0), 0u);
  EXPECT_EQ(ResolveIPv4("no-such-host.invalid", &a), kWsaHostNotFound);
  std::string name;
  ASSERT_EQ(HostName(&name), 0);
  EXPECT_FALSE(name.empty());
}

TEST(Socket, RefusedConnectAndPeekStates) {
  int listen_fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(SocketListenLoopback(&listen_fd, &port, 4), 0);
  int client = -1;
  ASSERT_EQ(SocketCreateTcp(&client), 0);
  ASSERT_EQ(SocketConnect(client, Loopback(), HostToNetwork16(port), 2000), 0);
  int server = -1;
  ASSERT_EQ(SocketAccept(listen_fd, &server), 0);

  int err = 0;
  EXPECT_EQ(SocketPeek(client, &err), PeekResult::kNothing);
  size_t got = 0;
  char buf[8];
  EXPECT_EQ(SocketRecv(client, buf, sizeof buf, &got), kWsaEwouldblock);
  ASSERT_EQ(SocketSendAllBlocking(server, "ab", 2), 0);
  std::vector<PollItem> items(1);
  items[0].fd = client;
  items[0].want_read = true;
  ASSERT_EQ(SocketPoll(&items, 2000, &err), 1);
  EXPECT_TRUE(items[0].readable);
  EXPECT_EQ(SocketPeek(client, &err), PeekResult::kData);
  ASSERT_EQ(SocketRecv(client, buf, sizeof buf, &got), 0);
  EXPECT_EQ(std::string(buf, got), "ab");
  ASSERT_EQ(SocketShutdown(server, ShutdownHow::kSend), 0);
  ASSERT_EQ(SocketPoll(&items, 2000, &err), 1);
  EXPECT_EQ(SocketPeek(client, &err), PeekResult::kClosed);

  // A reset shows as an error with the WinSock number.
  ASSERT_EQ(SocketSetLinger(server, true, 0), 0);
  ASSERT_EQ(SocketClose(server), 0);
  ASSERT_EQ(SocketPoll(&items, 2000, &err), 1);
  PeekResult r = SocketPeek(client, &err);
  EXPECT_TRUE((r == PeekResult::kError && err == kWsaEconnreset) || r == PeekResult::kClosed);
  SocketClose(client);

  // Nothing listens any more: refused.
  SocketClose(listen_fd);
  ASSERT_EQ(SocketCreateTcp(&client), 0);
  EXPECT_EQ(SocketConnect(client, Loopback(), HostToNetwork16(port), 2000), kWsaEconnrefused);
  SocketClose(client);
}

TEST(Socket, SendPartsKeepsOrderAndReportsBytesTaken) {
  int listen_fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(SocketListenLoopback(&listen_fd, &port, 4), 0);
  int client = -1;
  ASSERT_EQ(SocketCreateTcp(&client), 0);
  ASSERT_EQ(SocketConnect(client, Loopback(), HostToNetwork16(port), 2000), 0);
  int server = -1;
  ASSERT_EQ(SocketAccept(listen_fd, &server), 0);
  SendPart parts[3] = {{"one ", 4}, {"two ", 4}, {"three", 5}};
  size_t sent = 0;
  ASSERT_EQ(SocketSendParts(client, parts, 3, &sent), 0);
  EXPECT_EQ(sent, 13u);
  std::string all;
  while (all.size() < 13) {
    char buf[32];
    size_t got = 0;
    ASSERT_EQ(SocketRecvBlocking(server, buf, sizeof buf, &got), 0);
    ASSERT_GT(got, 0u);
    all.append(buf, got);
  }
  EXPECT_EQ(all, "one two three");
  // A full socket takes part of a large send, then refuses with would-block.
  ASSERT_EQ(SocketSetBuffer(client, false, 4096), 0);
  std::string big(1 << 20, 'x');
  SendPart one{big.data(), big.size()};
  ASSERT_EQ(SocketSendParts(client, &one, 1, &sent), 0);
  EXPECT_LT(sent, big.size());
  size_t more = 0;
  for (int i = 0; i < 100 && SocketSendParts(client, &one, 1, &more) == 0; ++i) {
  }
  EXPECT_EQ(SocketSendParts(client, &one, 1, &more), kWsaEwouldblock);
  SocketClose(client);
  SocketClose(server);
  SocketClose(listen_fd);
}

TEST(Socket, WakePipeWakesAPoll) {
  WakePipe waker;
  std::vector<PollItem> items(1);
  items[0].fd = waker.read_fd();
  items[0].want_read = true;
  int err = 0;
  EXPECT_EQ(SocketPoll(&items, 0, &err), 0);
  std::thread t([&] { waker.Wake(); });
  EXPECT_EQ(SocketPoll(&items, 5000, &err), 1);
  t.join();
  waker.Drain();
  EXPECT_EQ(SocketPoll(&items, 0, &err), 0);
}

// The system's resolver may wait on each of its name services in turn; a
// lookup that takes longer than its limit is given up (and left to end).
TEST(Socket, AHangingLookupIsGivenUpAtItsLimit) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  const HostLookup hangs = [release](const std::string&, std::vector<uint32_t>* addrs) {
    while (!release->load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    addrs->push_back(1);
    return 0;
  };
  std::vector<uint32_t> addrs;
  EXPECT_EQ(ResolveWithin("slow.example", &addrs, 100, hangs), kWsaTryAgain);
  EXPECT_TRUE(addrs.empty());
  release->store(true);

  const HostLookup answers = [](const std::string& host, std::vector<uint32_t>* addrs) {
    if (host != "mail.example") return kWsaHostNotFound;
    addrs->push_back(0x0100007f);
    return 0;
  };
  EXPECT_EQ(ResolveWithin("mail.example", &addrs, 5000, answers), 0);
  EXPECT_EQ(addrs, std::vector<uint32_t>{0x0100007f});
  EXPECT_EQ(ResolveWithin("other.example", &addrs, 5000, answers), kWsaHostNotFound);
}

}  // namespace
}  // namespace vm::platform
