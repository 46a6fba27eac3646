#include "net/net_simple.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <future>
#include <thread>

#include "net/net_runtime.h"
#include "net_test_support.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/winsock_errors.h"

namespace vm::net {
namespace {

using testing::Gate;
using testing::LoopbackServer;
using testing::NetTest;
using testing::ReadAll;
using testing::RecvWithin;
using testing::WaitUntil;

// How long the test waits for the runtime, and a server thread for the test.
constexpr std::chrono::seconds kWait{10};
constexpr std::chrono::seconds kServerWait{20};

// Records what the connection hands to its owner.
class RecordingClient : public NetSimple {
 public:
  void Process() override {
    received.append(PACKET.BINDATA, static_cast<size_t>(PACKET.BINDATALEN));
    sequence.push_back(PACKET.RESERVED2);
    ++packets;
  }
  void ConnectionClosed() override { ++closed; }
  void Trace(std::string_view message, std::string_view) override { traces.emplace_back(message); }

  void SendText(std::string_view text) {
    std::memcpy(PACKET.BINDATA, text.data(), text.size());
    PACKET.BINDATALEN = static_cast<int32_t>(text.size());
    Send();
  }

  std::string received;
  std::vector<int32_t> sequence;
  std::vector<std::string> traces;
  int packets = 0;
  int closed = 0;
};

std::string Pattern(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
  return s;
}

class NetSimpleTest : public NetTest {
 protected:
  QueueCounts Counts() { return NetRuntime::Current()->Counts(); }
  bool QueuesEmpty() {
    QueueCounts c = Counts();
    return c.client_sockets == 0 && c.out_list == 0 && c.out_data == 0 && c.in_data == 0;
  }
};

TEST_F(NetSimpleTest, SendChecksTheLengthAndTheOpenFlagInOrder) {
  StartRuntime();
  RecordingClient client;
  client.Init();
  client.PACKET.BINDATALEN = 16385;
  client.Send();
  EXPECT_EQ(client.ERROR, -4);
  EXPECT_EQ(client.ERRORSTRING,
            "Trying to send too much data in self.packet.binData and self.packet.binDataLen. The "
            "error number was -4 "
            "which means Invalid structure size.");
  auto shown = presenter_->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, "Linkora Object Error");
  EXPECT_EQ(shown[0].second,
            "A network communication error has occurred.||Error = Trying to send too much data in "
            "self.packet.binData and self.packet.binDataLen.||The error number was -4 which means "
            "Invalid structure "
            "size.||Error occurred in function NetSimple.Send");

  client.PACKET.BINDATALEN = 10;
  client.Send();
  EXPECT_EQ(client.ERROR, -36);
  EXPECT_EQ(client.ERRORSTRING,
            "The connection is not open and therefore the data can not be sent.. The error number "
            "was -36 which means "
            "The connection is not open.");
  client.SUPPRESSERRORMSG = 1;
  client.PACKET.BINDATALEN = 0;
  client.Send();
  EXPECT_EQ(client.ERROR, -36);  // the open flag is tested before the lower bound
  EXPECT_EQ(presenter_->Shown().size(), 2u);
}

TEST_F(NetSimpleTest, RoundTripWithLimitsOfOnePacket) {
  StartRuntime();
  std::promise<std::string> got;
  LoopbackServer server([&](int* fd) {
    platform::SocketSendAllBlocking(*fd, "220 ready\r\n", 11);
    got.set_value(ReadAll(*fd));
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  EXPECT_EQ(client.OPENFLAG, 1);
  EXPECT_STREQ(client._CONNECTION.LOCALIP, "127.0.0.1");
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.received.size() >= 11; }));
  EXPECT_EQ(client.received, "220 ready\r\n");
  EXPECT_STREQ(client.PACKET.FROMIP, "127.0.0.1");

  client.SUPPRESSERRORMSG = 1;
  client.PACKET.BINDATALEN = 0;
  client.Send();
  EXPECT_EQ(client.ERROR, -4);
  EXPECT_EQ(client.ERRORSTRING,
            "Data length is less than or equal to zero. The error number was -4 which means "
            "Invalid structure size.");
  std::string full = Pattern(16384, 1);
  client.SendText(full);
  EXPECT_EQ(client.ERROR, 0);
  client.Close();
  EXPECT_EQ(client.OPENFLAG, 0);
  EXPECT_EQ(client.ERROR, 0);
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(all.get(), full);
  // Phase one's packet leads the owner to phase two; FD_CLOSE ends the entry.
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); })) << DumpLines();
  EXPECT_EQ(client.closed, 0);
}

// The first packet after a received one (a command after a reply) is written
// by the owner's thread itself; the ones that follow it without a reply in
// between go through the sending loop, which writes them in batches.
TEST_F(NetSimpleTest, OnlyTheFirstPacketOfATurnIsWrittenByTheOwner) {
  StartRuntime();
  std::promise<std::string> got;
  Gate may_answer;
  LoopbackServer server([&](int* fd) {
    platform::SocketSendAllBlocking(*fd, "220 ready\r\n", 11);
    std::string seen;
    char buf[64];
    size_t n = 0;
    while (seen.size() < 9 && RecvWithin(*fd, buf, sizeof buf, &n, kServerWait, "three lines"))
      seen.append(buf, n);
    if (!may_answer.Wait(kServerWait, "the test to let the server answer")) return;
    platform::SocketSendAllBlocking(*fd, "250 ok\r\n", 8);
    got.set_value(seen + ReadAll(*fd));
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.received.size() >= 11; }));
  auto entry = [] { return NetRuntime::Current()->ClientSockets().front(); };
  client.SendText("A1\r\n");
  EXPECT_EQ(entry().sends_this_turn, 1);
  EXPECT_EQ(entry().sent_by_owner, 1);  // written at once
  client.SendText("A2\r\n");
  client.SendText("A3\r\n");
  EXPECT_EQ(entry().sends_this_turn, 3);
  EXPECT_EQ(entry().sent_by_owner, 1);  // queued for the sending loop
  may_answer.Open();
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.received.size() >= 19; }));
  EXPECT_EQ(entry().sends_this_turn, 0);
  client.SendText("B1\r\n");
  EXPECT_EQ(entry().sent_by_owner, 1);  // a new turn: written at once again
  client.Close();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(all.get(), "A1\r\nA2\r\nA3\r\nB1\r\n");
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); })) << DumpLines();
}

// An owner sending in bulk never has more than kMaxUnsentBytes waiting when
// Send returns: it waits for the peer as a blocking send would. The stream
// arrives whole and in order.
TEST_F(NetSimpleTest, BulkSenderWaitsWhileTheQueueIsFull) {
  // Small socket buffers and a slow reader: the sender runs ahead of it.
  StartRuntime({"/netdlllogerrors"}, [](NetRuntimeOptions* o) { o->send_buffer_bytes = 16384; });
  std::promise<std::string> got;
  LoopbackServer server(
      [&](int* fd) {
        std::string all;
        char buf[16384];
        size_t n = 0;
        while (platform::SocketRecvBlocking(*fd, buf, sizeof buf, &n) == 0 && n > 0) {
          all.append(buf, n);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        got.set_value(std::move(all));
      },
      1, 16384);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  std::string expected;
  int64_t most = 0;
  for (int i = 0; i < 400; ++i) {  // 6.5 MB
    const std::string part = Pattern(16384, i);
    client.SendText(part);
    ASSERT_EQ(client.ERROR, 0);
    expected += part;
    most = std::max(most, NetRuntime::Current()->ClientSockets().front().unsent);
  }
  EXPECT_LE(most, kMaxUnsentBytes);
  EXPECT_GT(most, kMaxUnsentBytes / 2) << "the sender did run ahead of the reader";
  client.Close();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(all.get() == expected) << "stream differs";
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

// A peer that takes nothing holds a Send for a second once, not every Send:
// the data queues, and the owner's own time limits judge the peer.
TEST_F(NetSimpleTest, PeerThatTakesNothingHoldsTheSenderOnlyOnce) {
  StartRuntime({"/netdlllogerrors"});
  std::promise<std::string> got;
  Gate may_read;
  LoopbackServer server([&](int* fd) {
    if (!may_read.Wait(kServerWait, "the test to let the server read")) return;
    got.set_value(ReadAll(*fd));
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  std::string expected;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 600; ++i) {  // far beyond what the socket buffers hold
    const std::string part = Pattern(16384, i);
    client.SendText(part);
    expected += part;
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::seconds(8));
  EXPECT_TRUE(NetRuntime::Current()->ClientSockets().front().peer_stalled);
  EXPECT_GT(NetRuntime::Current()->ClientSockets().front().unsent, kMaxUnsentBytes);
  may_read.Open();
  client.Close();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_TRUE(all.get() == expected) << "stream differs";
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, TenThousandBytePacketsSentInPartsArriveOnce) {
  StartRuntime({"/netdlllog", "/netdlllogall"},
               [](NetRuntimeOptions* o) { o->send_buffer_bytes = 4096; });
  std::promise<std::string> got;
  Gate may_read;
  LoopbackServer server(
      [&](int* fd) {
        if (!may_read.Wait(kServerWait, "the test to let the server read")) return;
        got.set_value(ReadAll(*fd));
      },
      1, 4096);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  std::string expected;
  for (int i = 0; i < 40; ++i) {
    std::string part = Pattern(10000, i);
    client.SendText(part);
    ASSERT_EQ(client.ERROR, 0);
    expected += part;
  }
  // The peer is not reading: the socket takes part of the data and refuses the rest.
  auto partial_seen = [&] {
    return HasLine("Not all data sent now (more will be sent later). SimplePacketID =") ||
           HasLine("WinSock reported 10035 WSAEWOULDBLOCK");
  };
  ASSERT_TRUE(Pump(queue, {&client}, partial_seen, std::chrono::seconds(5))) << DumpLines();
  client.GetOutgoingPackets(2);
  EXPECT_GT(client.OUTGOINGDLLPACKETS, 0);
  EXPECT_EQ(client.OUTGOINGDLLPACKETSBYTES, client.OUTGOINGDLLPACKETS * 10000);
  client.GetOutgoingPackets(1);
  EXPECT_EQ(client.OUTGOINGDLLPACKETSBYTES, 0);
  may_read.Open();
  auto sent = [&] {
    client.GetOutgoingPackets(1);
    return client.OUTGOINGDLLPACKETS == 0;
  };
  ASSERT_TRUE(Pump(queue, {&client}, sent));
  client.Close();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(all.get() == expected) << "stream differs";
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, CloseWithPacketsQueuedSendsThemBeforeShuttingTheSendingSide) {
  StartRuntime({"/netdlllog"}, [](NetRuntimeOptions* o) { o->send_buffer_bytes = 4096; });
  std::promise<std::string> got;
  Gate may_read;
  LoopbackServer server(
      [&](int* fd) {
        if (!may_read.Wait(kServerWait, "the test to let the server read")) return;
        got.set_value(ReadAll(*fd));
      },
      1, 4096);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  std::string expected;
  for (int i = 0; i < 8; ++i) {
    std::string part = Pattern(16384, i);
    client.SendText(part);
    expected += part;
  }
  auto stuck = [&] {
    client.GetOutgoingPackets(1);
    return client.OUTGOINGDLLPACKETS >= 2;
  };
  ASSERT_TRUE(Pump(queue, {&client}, stuck, std::chrono::seconds(5)));
  client.Close();
  EXPECT_EQ(client.ERROR, 0);
  EXPECT_FALSE(HasLine("Packets Waiting =0")) << DumpLines();
  EXPECT_EQ(NetRuntime::Current()->ClientSockets().front().CLOSINGSTATE, 1);
  // Sending more after Close is refused at the object.
  client.SUPPRESSERRORMSG = 1;
  client.SendText("late");
  EXPECT_EQ(client.ERROR, -36);
  may_read.Open();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(all.get() == expected);
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); })) << DumpLines();
  EXPECT_TRUE(HasLine("Going to close the socket now. It's set to the closing state"));
}

// A line sent with nothing queued leaves from the owner's thread at once; a
// close right after it must still count it as waiting: the peer gets the line
// before the end of stream, and its answer is read and dropped, not handed
// to the owner of a connection it has closed.
TEST_F(NetSimpleTest, CloseRightAfterASendCountsItAsWaitingAndDropsTheAnswer) {
  StartRuntime();
  std::promise<std::string> got;
  LoopbackServer server([&](int* fd) {
    char line[6];
    size_t n = 0;
    if (!RecvWithin(*fd, line, sizeof line, &n, kServerWait, "the line") || n == 0) return;
    const std::string rest = ReadAll(*fd);  // up to the end of stream
    platform::SocketSendAllBlocking(*fd, "221 bye\r\n", 9);
    got.set_value(std::string(line, n) + rest);
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  // The FD_WRITE that follows the open has been handled.
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return HasLine("Nothing to do."); })) << DumpLines();
  client.SendText("QUIT\r\n");
  ASSERT_EQ(client.ERROR, 0);
  client.Close();
  EXPECT_EQ(client.ERROR, 0);
  EXPECT_TRUE(HasLine("Packets Waiting =1")) << DumpLines();
  auto all = got.get_future();
  ASSERT_EQ(all.wait_for(kWait), std::future_status::ready);
  EXPECT_EQ(all.get(), "QUIT\r\n");
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); })) << DumpLines();
  EXPECT_EQ(client.packets, 0);
  EXPECT_EQ(client.received, "");
  EXPECT_EQ(client.closed, 0);
}

TEST_F(NetSimpleTest, PeerClosingHalfWayDeliversDataThenTheClose) {
  StartRuntime();
  std::promise<std::string> rest;
  LoopbackServer server([&](int* fd) {
    platform::SocketSendAllBlocking(*fd, "221 bye", 7);
    platform::SocketShutdown(*fd, platform::ShutdownHow::kSend);
    rest.set_value(ReadAll(*fd));  // ends when the client closes its side
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  // Without taking events: the socket layer sees the close first.
  auto closed_seen = [&] {
    auto entries = NetRuntime::Current()->ClientSockets();
    return !entries.empty() && entries.front().FD_CLOSE_RECEIVED == 1;
  };
  ASSERT_TRUE(WaitUntil(closed_seen, kWait, "the socket layer to see the peer's close"));
  EXPECT_TRUE(HasLine("(graceful close)"));
  client.DONTERRORTRAPINSENDIFCONNECTIONCLOSED = 1;
  client.SendText("QUIT\r\n");
  EXPECT_EQ(client.ERROR, -34);
  EXPECT_EQ(client.OPENFLAG, 0);
  EXPECT_TRUE(presenter_->Shown().empty());
  EXPECT_TRUE(
      HasLine("Warning. The object may not know, but the Connection is closed or closing."));
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.closed == 1; }));
  EXPECT_EQ(client.received, "221 bye");
  auto r = rest.get_future();
  ASSERT_EQ(r.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(r.get(), "");
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, SendAfterPeerClosedShowsTheBoxUnlessAskedNotTo) {
  StartRuntime();
  LoopbackServer server([&](int*) {});
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  server.Join();
  auto closed_seen = [&] {
    auto entries = NetRuntime::Current()->ClientSockets();
    return !entries.empty() && entries.front().FD_CLOSE_RECEIVED == 1;
  };
  ASSERT_TRUE(WaitUntil(closed_seen, kWait, "the socket layer to see the peer's close"));
  client.SendText("x");
  EXPECT_EQ(client.ERROR, -34);
  EXPECT_EQ(client.OPENFLAG, 0);
  auto shown = presenter_->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].second,
            "A network communication error has occurred.||Error = Error sending data.||The error "
            "number was -34 which "
            "means Could not find connected client in Simple Connect Client or Server.||Error "
            "occurred in function "
            "NetSimple.Send");
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.closed == 1 && QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, PeerResetIsAHardClose) {
  StartRuntime();
  Gate opened;
  LoopbackServer server([&](int* fd) {
    if (!opened.Wait(kServerWait, "the client to open")) return;
    platform::SocketSendAllBlocking(*fd, "x", 1);
    platform::SocketSetLinger(*fd, true, 0);  // close with a reset
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  opened.Open();
  server.Join();
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.closed == 1; })) << DumpLines();
  EXPECT_TRUE(HasLine("(hard close 10054)") || HasLine("(graceful close)")) << DumpLines();
  EXPECT_EQ(client.OPENFLAG, 0);
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, BurstLargerThanOnePacketArrivesInPiecesInOrder) {
  StartRuntime();
  const std::string burst = Pattern(100000, 3);
  LoopbackServer server(
      [&](int* fd) { platform::SocketSendAllBlocking(*fd, burst.data(), burst.size()); });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return client.closed == 1; }));
  EXPECT_TRUE(client.received == burst);
  EXPECT_GE(client.packets, 7);  // at most 16384 bytes each
  for (size_t i = 1; i < client.sequence.size(); ++i)
    EXPECT_LT(client.sequence[i - 1], client.sequence[i]);
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); }));
}

TEST_F(NetSimpleTest, OpenFailures) {
  StartRuntime();
  RecordingClient client;
  client.Init();
  client.Open("no-such-host.invalid", 25);
  EXPECT_EQ(client.ERROR, -20);
  EXPECT_EQ(client.OPENFLAG, 0);
  EXPECT_TRUE(
      HasLine("SimpleClientOpen() : Could not resolve host name. HostName = no-such-host.invalid"));
  EXPECT_TRUE(
      HasLine("DNSblocking() : Trying a DNS lookup of Host =no-such-host.invalid Result ="));
  auto shown = presenter_->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(
      shown[0].second,
      "A network communication error has occurred.||Error = Unable to Open Connection.||The error "
      "number was "
      "-20 which means Address not found.||Error occurred in function NetSimple(Client).Open");

  // A port with nothing listening.
  int fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&fd, &port, 1), 0);
  platform::SocketClose(fd);
  client.Open("127.0.0.1", port);
  EXPECT_EQ(client.ERROR, 10061);
  EXPECT_EQ(client.ERRORSTRING,
            "Unable to Open Connection. The error number was 10061 which means (WSAECONNREFUSED) "
            "Connection refused. "
            "No connection could be made because the target machine actively refused it. [listed "
            "by NetErrorStr].");
  EXPECT_TRUE(HasLine("Error Connecting. To host = 127.0.0.1 Port = " + std::to_string(port)));
  EXPECT_TRUE(QueuesEmpty());
}

TEST_F(NetSimpleTest, ConnectThatNeverCompletesRunsOutOfTimeWith10060) {
  StartRuntime({"/netdlllog"}, [](NetRuntimeOptions* o) { o->connect_timeout_ms = 300; });
  int listen_fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&listen_fd, &port, 0), 0);
  uint32_t loopback = 0;
  ASSERT_TRUE(platform::ParseIPv4("127.0.0.1", &loopback));
  // Fill the accept queue so that further connection attempts go unanswered.
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 8 && !full; ++i) {
    int s = -1;
    ASSERT_EQ(platform::SocketCreateTcp(&s), 0);
    fillers.push_back(s);
    full = platform::SocketConnect(s, loopback, platform::HostToNetwork16(port), 200) ==
           platform::kWsaEtimedout;
  }
  if (full) {
    RecordingClient client;
    client.SUPPRESSERRORMSG = 1;
    client.Init();
    client.Open("127.0.0.1", port);
    EXPECT_EQ(client.ERROR, 10060);
    EXPECT_EQ(client.OPENFLAG, 0);
  }
  for (int s : fillers) platform::SocketClose(s);
  platform::SocketClose(listen_fd);
  if (!full) GTEST_SKIP() << "the system answers connections beyond the accept queue";
}

TEST_F(NetSimpleTest, AbortDropsQueuedPacketsAndTheEntryAtOnce) {
  StartRuntime({"/netdlllog"}, [](NetRuntimeOptions* o) { o->send_buffer_bytes = 4096; });
  Gate may_read;
  LoopbackServer server(
      [&](int* fd) {
        if (!may_read.Wait(kServerWait, "the test to let the server read")) return;
        ReadAll(*fd);
      },
      1, 4096);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  for (int i = 0; i < 6; ++i) client.SendText(Pattern(16384, i));
  client.Abort();
  EXPECT_EQ(client.ERROR, 0);
  EXPECT_EQ(client.OPENFLAG, 0);
  EXPECT_TRUE(QueuesEmpty());
  EXPECT_TRUE(
      HasLine("Socket Abort! Using Phase = -1 (Single Phase Client Socket CloseDown (Abort))."));
  may_read.Open();
}

TEST_F(NetSimpleTest, AbortWhileTheSendingLoopIsBusyLeavesNothingBehind) {
  StartRuntime({"/netdlllogerrors"});
  const int kRounds = 20;
  LoopbackServer server([&](int* fd) { ReadAll(*fd); }, kRounds);
  const std::string chunk = Pattern(16384, 9);
  for (int round = 0; round < kRounds; ++round) {
    RecordingClient client;
    client.Init();
    client.Open("127.0.0.1", server.port());
    ASSERT_EQ(client.ERROR, 0);
    for (int i = 0; i < 64; ++i) client.SendText(chunk);
    if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200 * round));
    client.Abort();
    EXPECT_EQ(client.ERROR, 0);
    EXPECT_TRUE(QueuesEmpty());
  }
  server.Join();
  EXPECT_TRUE(QueuesEmpty());
}

// An owner killed right after its close (as a mail object is once its
// message has gone) never takes its second-phase packet, nor what the peer
// still sends: the entry and those packets go when the close completes. The
// clock here never moves, so the periodic expiry cannot be what ends them.
TEST_F(NetSimpleTest, KilledOwnersConnectionGoesWhenItsCloseCompletes) {
  platform::ManualClock clock;
  StartRuntime({"/netdlllog"}, [&](NetRuntimeOptions* o) {
    o->clock = &clock;
    o->send_buffer_bytes = 4096;
  });
  const int kRounds = 6;
  std::vector<std::string> got(kRounds);
  Gate may_read[kRounds];
  int round = 0;
  LoopbackServer server(
      [&](int* fd) {
        const int r = round++;
        if (!may_read[r].Wait(kServerWait, "the test to let the server read")) return;
        got[r] = ReadAll(*fd);
        platform::SocketSendAllBlocking(*fd, "221 bye\r\n", 9);
      },
      kRounds, 4096);
  std::string expected[kRounds];
  for (int r = 0; r < kRounds; ++r) {
    RecordingClient client;
    client.Init();
    client.Open("127.0.0.1", server.port());
    ASSERT_EQ(client.ERROR, 0);
    // Odd rounds close with packets still queued behind a peer not reading.
    const int packets = r % 2 == 0 ? 1 : 8;
    for (int i = 0; i < packets; ++i) {
      expected[r] += Pattern(r % 2 == 0 ? 6 : 16384, i);
      client.SendText(expected[r].substr(expected[r].size() - (r % 2 == 0 ? 6 : 16384)));
    }
    client.Close();
    client.Kill();
    may_read[r].Open();
    ASSERT_TRUE(WaitUntil([&] { return QueuesEmpty(); }, kWait, "the entry to go")) << DumpLines();
  }
  server.Join();
  for (int r = 0; r < kRounds; ++r) EXPECT_TRUE(got[r] == expected[r]) << "round " << r;
}

// An object that opens again after a close can no longer take the old
// connection's packets either: that entry goes when its close completes,
// while the new connection carries on.
TEST_F(NetSimpleTest, ReopenedOwnersOldConnectionGoesWhenItsCloseCompletes) {
  platform::ManualClock clock;
  StartRuntime({"/netdlllog"}, [&](NetRuntimeOptions* o) { o->clock = &clock; });
  LoopbackServer server([&](int* fd) { ReadAll(*fd); }, 2);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  const int32_t first = client._CONNECTION.SOCKID;
  client.SendText("QUIT\r\n");
  client.Close();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  auto only_the_new_one = [&] {
    auto sockets = NetRuntime::Current()->ClientSockets();
    return sockets.size() == 1 && sockets.front().SOCKID == client._CONNECTION.SOCKID &&
           Counts().in_data == 0;
  };
  ASSERT_NE(client._CONNECTION.SOCKID, first);
  ASSERT_TRUE(WaitUntil(only_the_new_one, kWait, "the old entry to go")) << DumpLines();
  client.Close();
  ASSERT_TRUE(Pump(queue, {&client}, [&] { return QueuesEmpty(); })) << DumpLines();
}

TEST_F(NetSimpleTest, HalfClosedConnectionExpiresAfterThreeHundredSecondsAcrossMidnight) {
  platform::ManualClock clock;
  platform::LocalDateTime late{2003, 7, 5, 6, 23, 59, 0, 0};
  clock.Set(late, 1057449540);
  StartRuntime({"/netdlllog"}, [&](NetRuntimeOptions* o) { o->clock = &clock; });
  Gate release;
  LoopbackServer server([&](int*) {
    // Keeps the connection open and never answers the close.
    release.Wait(kServerWait, "the test to let the server hang up");
  });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  client.Close();
  ASSERT_TRUE(Pump(queue, {&client},
                   [&] { return HasLine("Hold on, we haven't received FD_CLOSE yet."); }));
  NetRuntime& rt = *NetRuntime::Current();
  ASSERT_EQ(rt.ClientSockets().size(), 1u);
  EXPECT_EQ(rt.ClientSockets().front().PHASETWOCLOSECALLED, 1);

  clock.AdvanceMilliseconds(120 *
                            1000);  // 00:01: the first phase's time lies "later" and restarts at 0
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_EQ(rt.ClientSockets().size(), 1u);
  clock.AdvanceMilliseconds(180 * 1000);  // 00:04
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_EQ(rt.ClientSockets().size(), 1u);
  EXPECT_FALSE(HasLine("has expired"));
  clock.AdvanceMilliseconds(61 * 1000);  // 00:05:01
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_TRUE(
      HasLine("Closing State on Client Socket has expired. Will run 2nd Phase close on Socket ="));
  EXPECT_TRUE(HasLine(
      "We never received FD_CLOSE. Closing Socket and Simulating as if we had received FD_Close"));
  EXPECT_TRUE(QueuesEmpty());
  release.Open();
}

TEST_F(NetSimpleTest, PeerThatNeverReadsIsGivenUpThreeHundredSecondsAfterTheClose) {
  platform::ManualClock clock;
  StartRuntime({"/netdlllog"}, [&](NetRuntimeOptions* o) {
    o->clock = &clock;
    o->send_buffer_bytes = 4096;
  });
  Gate release;
  LoopbackServer server(
      [&](int*) { release.Wait(kServerWait, "the test to let the server hang up"); }, 1, 4096);
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  for (int i = 0; i < 40; ++i) client.SendText(Pattern(16384, i));
  client.Close();
  NetRuntime& rt = *NetRuntime::Current();
  ASSERT_EQ(rt.ClientSockets().size(), 1u);
  EXPECT_EQ(rt.ClientSockets().front().CLOSINGSTATE, 1);
  // Wait until the socket takes nothing more.
  int32_t before = -1;
  for (int i = 0; i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.GetOutgoingPackets(2, client._CONNECTION.SOCKET, client._CONNECTION.SOCKID);
    if (client.OUTGOINGDLLPACKETS == before) break;
    before = client.OUTGOINGDLLPACKETS;
  }
  EXPECT_GT(client.OUTGOINGDLLPACKETS, 0);
  clock.AdvanceMilliseconds(299 * 1000);
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_EQ(rt.ClientSockets().size(), 1u);
  clock.AdvanceMilliseconds(2 * 1000);
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_TRUE(HasLine("Closing State on Client Socket has expired with data still unsent."));
  EXPECT_TRUE(QueuesEmpty());
  release.Open();
}

TEST_F(NetSimpleTest, ExpiryWithinOneDay) {
  platform::ManualClock clock;
  StartRuntime({"/netdlllog"}, [&](NetRuntimeOptions* o) { o->clock = &clock; });
  Gate release;
  LoopbackServer server(
      [&](int*) { release.Wait(kServerWait, "the test to let the server hang up"); });
  OwnerEventQueue queue;
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  client.Close();
  ASSERT_TRUE(Pump(queue, {&client},
                   [&] { return HasLine("Hold on, we haven't received FD_CLOSE yet."); }));
  NetRuntime& rt = *NetRuntime::Current();
  clock.AdvanceMilliseconds(299 * 1000);
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_EQ(rt.ClientSockets().size(), 1u);
  clock.AdvanceMilliseconds(1000);
  rt.CheckToCloseNetSimpleSockets();
  EXPECT_TRUE(QueuesEmpty());
  release.Open();
}

TEST_F(NetSimpleTest, AllMessageNumbersInUseFailsWith29AndClosesTheSocket) {
  StartRuntime({"/netdlllogerrors"});
  int listen_fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&listen_fd, &port, 2048), 0);
  std::vector<std::unique_ptr<RecordingClient>> clients;
  for (int i = 0; i < 1001; ++i) {
    auto c = std::make_unique<RecordingClient>();
    c->Init();
    c->Open("127.0.0.1", port);
    ASSERT_EQ(c->ERROR, 0) << i;
    clients.push_back(std::move(c));
  }
  EXPECT_EQ(clients.front()->_CONNECTION.SOCKET != clients.back()->_CONNECTION.SOCKET, true);
  const int fds = testing::CountOpenFds();
  RecordingClient extra;
  extra.SUPPRESSERRORMSG = 1;
  extra.Init();
  extra.Open("127.0.0.1", port);
  EXPECT_EQ(extra.ERROR, -29);
  EXPECT_EQ(extra.ERRORSTRING,
            "Unable to Open Connection. The error number was -29 which means Too many sending "
            "sockets. The maximum "
            "has been reached.");
  EXPECT_TRUE(HasLine("ERROR: Exceeded Maximum Simple Client Sockets."));
  EXPECT_EQ(testing::CountOpenFds(), fds);
  // Freeing one number lets the next open take exactly that one.
  clients[500]->Abort();
  extra.Open("127.0.0.1", port);
  EXPECT_EQ(extra.ERROR, 0);
  extra.Abort();
  for (auto& c : clients) c->Abort();
  EXPECT_TRUE(QueuesEmpty());
  platform::SocketClose(listen_fd);
}

TEST_F(NetSimpleTest, InactiveRuntimeFailsTheOpen) {
  StartRuntime({"/netdlllogerrors"},
               [](NetRuntimeOptions* o) { o->socket_library_available = false; });
  RecordingClient client;
  client.SUPPRESSERRORMSG = 1;
  client.Init();
  client.Open("127.0.0.1", 25);
  EXPECT_EQ(client.ERROR, -1);
  EXPECT_TRUE(HasLine("NetSimpleConnectOpen() : NetInitCheck returned -31"));
  EXPECT_TRUE(
      HasLine("SimpleClientOpen() : Linkora DLL not active. Linkora was unable to initialise."));
}

TEST_F(NetSimpleTest, ClosingAfterCloseDownIsIgnoredAndNothingLeaks) {
  StartRuntime();
  LoopbackServer server([&](int* fd) { ReadAll(*fd); });
  RecordingClient client;
  client.Init();
  client.Open("127.0.0.1", server.port());
  ASSERT_EQ(client.ERROR, 0);
  NetRuntime& rt = *NetRuntime::Current();
  rt.NetCloseCallBackWindow();
  ASSERT_TRUE(WaitUntil([&] { return !rt.active(); }, kWait, "the runtime to close down"));
  EXPECT_TRUE(HasLine("CloseAll() : Closing a qSimpleClientSocket Socket ="));
  client.Close();
  EXPECT_EQ(client.ERROR, 0);
  EXPECT_TRUE(HasLine("DLL already closed down. This function is ignored"));
  EXPECT_TRUE(QueuesEmpty());
}

TEST_F(NetSimpleTest, ThreeObjectsOnOneLoopEachGetTheirOwnData) {
  StartRuntime();
  LoopbackServer server(
      [&](int* fd) {
        char buf[16];
        size_t got = 0;
        RecvWithin(*fd, buf, sizeof buf, &got, kServerWait, "the client naming itself");
        std::string reply = "hello " + std::string(buf, got);
        platform::SocketSendAllBlocking(*fd, reply.data(), reply.size());
      },
      3);
  OwnerEventQueue queue;
  RecordingClient a, b, c;
  for (RecordingClient* x : {&a, &b, &c}) {
    x->Init();
    x->Open("127.0.0.1", server.port());
    ASSERT_EQ(x->ERROR, 0);
  }
  a.SendText("a");
  ASSERT_TRUE(Pump(queue, {&a, &b, &c}, [&] { return a.closed == 1; }));
  b.SendText("b");
  ASSERT_TRUE(Pump(queue, {&a, &b, &c}, [&] { return b.closed == 1; }));
  c.SendText("c");
  ASSERT_TRUE(Pump(queue, {&a, &b, &c}, [&] { return c.closed == 1; }));
  EXPECT_EQ(a.received, "hello a");
  EXPECT_EQ(b.received, "hello b");
  EXPECT_EQ(c.received, "hello c");
  ASSERT_TRUE(Pump(queue, {&a, &b, &c}, [&] { return QueuesEmpty(); }));
}

}  // namespace
}  // namespace vm::net
