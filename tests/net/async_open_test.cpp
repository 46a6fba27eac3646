// The asynchronous open of NetSimple: Open returns while the connect runs,
// the outcome arrives as the object's connect event, a connected object
// sends and receives as after a blocking open, and a refused connect is
// reported through ErrorTrap from that event.

#include <gtest/gtest.h>

#include <cstring>

#include "net_test_support.h"
#include "platform/socket.h"

namespace vm::net {
namespace {

using testing::LoopbackServer;
using testing::NetTest;

class AsyncClient : public NetSimple {
 public:
  void Process() override {
    received.append(PACKET.BINDATA, static_cast<size_t>(PACKET.BINDATALEN));
  }
  void ErrorTrap(std::string_view text, std::string_view function) override {
    NetSimple::ErrorTrap(text, function);
    traps.push_back(std::string(function) + ": " + ERRORSTRING);
  }
  void ConnectDone(int32_t result) override { outcomes.push_back(result); }
  std::string received;
  std::vector<std::string> traps;
  std::vector<int32_t> outcomes;
};

TEST_F(NetTest, AsyncOpenConnectsThenCarriesDataLikeABlockingOne) {
  StartRuntime();
  LoopbackServer server([](int* fd) {
    const char hello[] = "hello";
    platform::SocketSendAllBlocking(*fd, hello, 5);
    char buf[16];
    size_t got = 0;
    platform::SocketRecvBlocking(*fd, buf, sizeof buf, &got);
    platform::SocketSendAllBlocking(*fd, buf, got);
  });
  OwnerEventQueue queue;
  AsyncClient c;
  c.SUPPRESSERRORMSG = 1;
  c.Init(0);
  c.SetAsyncOpen(true);
  c.Open("127.0.0.1", server.port());
  EXPECT_EQ(c.ERROR, 0);
  EXPECT_EQ(c.OPENFLAG, 1);
  ASSERT_TRUE(Pump(queue, {&c}, [&c] { return !c.outcomes.empty(); })) << DumpLines();
  EXPECT_EQ(c.outcomes, std::vector<int32_t>{0});
  EXPECT_STREQ(c._CONNECTION.LOCALIP, "127.0.0.1");
  ASSERT_TRUE(Pump(queue, {&c}, [&c] { return c.received == "hello"; })) << c.received;
  std::memcpy(c.PACKET.BINDATA, "ping", 4);
  c.PACKET.BINDATALEN = 4;
  c.Send();
  ASSERT_TRUE(Pump(queue, {&c}, [&c] { return c.received == "helloping"; })) << c.received;
  EXPECT_TRUE(c.traps.empty()) << c.traps[0];
  c.Close();
  server.Join();
  c.Kill();
}

TEST_F(NetTest, AsyncOpenRefusedOrClosedWhileConnecting) {
  StartRuntime();
  int fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&fd, &port, 1), 0);
  platform::SocketClose(fd);
  OwnerEventQueue queue;
  {
    AsyncClient c;
    c.SUPPRESSERRORMSG = 1;
    c.Init(0);
    c.SetAsyncOpen(true);
    c.Open("127.0.0.1", port);
    EXPECT_EQ(c.ERROR, 0);
    EXPECT_TRUE(c.traps.empty());
    ASSERT_TRUE(Pump(queue, {&c}, [&c] { return !c.outcomes.empty(); })) << DumpLines();
    EXPECT_EQ(c.outcomes, std::vector<int32_t>{10061});
    ASSERT_EQ(c.traps.size(), 1u);
    EXPECT_EQ(
        c.traps[0].rfind(
            "NetSimple(Client).Open: Unable to Open Connection. The error number was 10061", 0),
        0u)
        << c.traps[0];
    EXPECT_EQ(c.OPENFLAG, 0);
    c.Kill();
  }
  {
    // Closed before its outcome was taken: the outcome is dropped with it.
    AsyncClient c;
    c.SUPPRESSERRORMSG = 1;
    c.Init(0);
    c.SetAsyncOpen(true);
    c.Open("127.0.0.1", port);
    c.Close();
    EXPECT_EQ(c.ERROR, 0);
    Pump(
        queue, {&c}, [] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(c.outcomes.empty());
    EXPECT_TRUE(c.traps.empty()) << c.traps[0];
    c.Kill();
  }
  EXPECT_TRUE(NetRuntime::Current()->ClientSockets().empty());
}

}  // namespace
}  // namespace vm::net
