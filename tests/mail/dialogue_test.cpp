// The SMTP dialogue against scripted servers on loopback: the normal paths,
// every error path, split and multi-line replies, dot-stuffing, piece sizes,
// reconnecting, keeping the connection open, time limits and progress.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "mail_test_support.h"
#include "net/net_runtime.h"
#include "platform/socket.h"
#include "runtime/message_box.h"

namespace vm::mail {
namespace {

using testing::MailTest;
using testing::RecordingProgress;
using testing::ScriptedServer;
using testing::TestMailer;

// A well-behaved server; `special` may answer a line first (return
// std::nullopt-like "\x02" to fall through).
ScriptedServer::Reply Smtp(std::function<std::string(const std::string&, int)> special = nullptr) {
  return [special](const std::string& line, int connection) -> std::string {
    if (special) {
      std::string s = special(line, connection);
      if (s != "\x02") return s;
    }
    if (line.rfind("HELO", 0) == 0) return "250 hello\r\n";
    if (line.rfind("EHLO", 0) == 0) return "250-mail.example.com\r\n250-AUTH LOGIN\r\n250 HELP\r\n";
    if (line == "AUTH LOGIN") return "334 VXNlcm5hbWU6\r\n";
    if (line.rfind("MAIL FROM", 0) == 0) return "250 ok\r\n";
    if (line.rfind("RCPT TO", 0) == 0) return "250 ok\r\n";
    if (line == "DATA") return "354 go ahead\r\n";
    if (line == "<end of data>") return "250 queued\r\n";
    if (line == "RSET") return "250 reset\r\n";
    if (line == "QUIT") return "221 bye\r\n<close>";
    return "500 what\r\n";
  };
}

constexpr char kGreeting[] = "220 test ESMTP\r\n";

class DialogueTest : public MailTest {
 protected:
  void SetUp() override {
    MailTest::SetUp();
    StartRuntime();
  }
  bool Finished(TestMailer* m) {
    return Pump(m, [m] { return m->DATAQUEUE->empty() && m->OPENFLAG == 0 && m->_STATE == 0; });
  }
};

TEST_F(DialogueTest, PlainSendWithHeloQuitsWithoutAwaitingTheReply) {
  // QUIT gets no answer at all: the client must not wait for one.
  ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                          return line == "QUIT" ? "" : "\x02";
                        }));
  TestMailer m;
  Prepare(&m, server.port());
  m.TOLIST = "bob@example.com, \"Carol\" <carol@example.com>";
  m.CCLIST = "dave@example.com";
  m.BCCLIST = "<eve@example.com>";
  m.SendMail(2);
  EXPECT_EQ(m.ERROR, 0);
  EXPECT_EQ(m._STATE, kEsConnecting);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
  EXPECT_EQ(m.sent, 1);
  EXPECT_TRUE(m.DATAQUEUE->empty());
  server.Join();
  EXPECT_EQ(server.Commands(),
            (std::vector<std::string>{"HELO NetSendMail", "MAIL FROM: <vm@example.com>",
                                      "RCPT TO: <bob@example.com>", "RCPT TO: <carol@example.com>",
                                      "RCPT TO: <dave@example.com>", "RCPT TO: <eve@example.com>",
                                      "DATA", "QUIT"}));
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(server.Messages()[0], std::string(m.ComposedMessage()) + "\r\n");
}

TEST_F(DialogueTest, GreetingOtherThan220IsFatal) {
  ScriptedServer server("554 go away\r\n", Smtp());
  TestMailer m;
  Prepare(&m, server.port());
  m.SendMail(2);
  m.SendMail(2);  // a second message waits behind the first
  EXPECT_EQ(m.DATAQUEUE->size(), 2u);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  ASSERT_EQ(m.traps.size(), 1u);
  const testing::TrapRecord& t = m.traps[0];
  EXPECT_EQ(t.text,
            "Fatal Error. Email (SMTP) server sent error = 554 go away State = 71. Will abort all "
            "messages in the "
            "DataQueue");
  EXPECT_EQ(t.function, "NetEmailSend.Process");
  EXPECT_EQ(t.server_error_num, 554);
  EXPECT_EQ(t.server_error_desc, "go away");
  EXPECT_EQ(t.errorstring, t.text + ".");
  EXPECT_EQ(m.SERVERERRORNUM, 0);
  EXPECT_EQ(m.SERVERERRORDESC, "");
  EXPECT_TRUE(m.DATAQUEUE->empty());
  EXPECT_EQ(m.sent, 0);
}

TEST_F(DialogueTest, AuthLoginSequenceWithMultiLineEhloSplitOverBlocks) {
  ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                          if (line.rfind("EHLO", 0) == 0) {
                            return "250-mail.example.com\r\n\x01"
                                   "250-AUTH LOGIN\r\n\x01"
                                   "250 HELP\r\n";
                          }
                          if (line == NetBase64Encode("alice")) return "334 UGFzc3dvcmQ6\r\n";
                          if (line == NetBase64Encode("s3cret")) return "235 ok\r\n";
                          return "\x02";
                        }));
  TestMailer m;
  Prepare(&m, server.port());
  server.SetGate([&m] { return m.processed.load(); });
  m.AUTHUSER = "alice";
  m.AUTHPASSWORD = "s3cret";
  m.SendMail(2);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
  EXPECT_EQ(m.sent, 1);
  server.Join();
  const std::vector<std::string> c = server.Commands();
  ASSERT_GE(c.size(), 5u);
  EXPECT_EQ(c[0], "EHLO NetSendMail");
  EXPECT_EQ(c[1], "AUTH LOGIN");
  EXPECT_EQ(c[2], "YWxpY2U=");
  EXPECT_EQ(c[3], "czNjcmV0");
  EXPECT_EQ(c[4], "MAIL FROM: <vm@example.com>");
}

TEST_F(DialogueTest, AuthenticationFailures) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string&, int)> special;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"password refused",
       [](const std::string& l, int) -> std::string {
         if (l == "AUTH LOGIN") return "334 x\r\n";
         if (l == NetBase64Encode("alice")) return "334 y\r\n";
         if (l == NetBase64Encode("s3cret")) return "535 bad credentials\r\n";
         return "\x02";
       },
       "Fatal Error. Email (SMTP) server sent error = 535 bad credentials State = 73. Will abort "
       "all messages in the "
       "DataQueue"},
      {"password answered with 250",
       [](const std::string& l, int) -> std::string {
         if (l == NetBase64Encode("alice")) return "334 y\r\n";
         if (l == NetBase64Encode("s3cret")) return "250 fine\r\n";
         return "\x02";
       },
       "Fatal Error. Email (SMTP) server sent error = 250 fine State = 73. Will abort all messages "
       "in the DataQueue"},
      {"no AUTH",
       [](const std::string& l, int) -> std::string {
         return l == "AUTH LOGIN" ? "502 not implemented\r\n" : "\x02";
       },
       "Fatal Error. Email (SMTP) server sent error = 502 not implemented State = 80. Will abort "
       "all messages in the "
       "DataQueue"},
      {"EHLO refused",
       [](const std::string& l, int) -> std::string {
         return l.rfind("EHLO", 0) == 0 ? "500 no\r\n" : "\x02";
       },
       "Fatal Error. Email (SMTP) server sent error = 500 no State = 79. Will abort all messages "
       "in the DataQueue"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(kGreeting, Smtp(c.special));
    TestMailer m;
    Prepare(&m, server.port());
    m.AUTHUSER = "alice";
    m.AUTHPASSWORD = "s3cret";
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, c.text);
    EXPECT_TRUE(m.DATAQUEUE->empty());
  }
}

TEST_F(DialogueTest, RejectedRecipientFailsThatMessageOnlyAndTheNextGoesOnAFreshConnection) {
  ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                          return line == "RCPT TO: <nobody@example.com>" ? "550 no such user \r\n"
                                                                         : "\x02";
                        }),
                        2);
  TestMailer m;
  Prepare(&m, server.port());
  m.TOLIST = "nobody@example.com";
  m.SendMail(2);
  m.TOLIST = "bob@example.com";
  m.SetRequiredMessageSize(0, 2, 0);
  m.SetMessageText("hi");
  m.SendMail(2);
  ASSERT_EQ(m.DATAQUEUE->size(), 2u);
  ASSERT_TRUE(Finished(&m));
  ASSERT_EQ(m.traps.size(), 1u);
  EXPECT_EQ(m.traps[0].text,
            "Error in this Message. Email (SMTP) server sent error = 550 no such user State = 75. "
            "Will try and send "
            "next email");
  EXPECT_EQ(m.traps[0].server_error_num, 550);
  EXPECT_EQ(m.traps[0].server_error_desc, "no such user");
  EXPECT_EQ(m.traps[0].queued, 2u) << "the owner sees the queue before the message is dropped";
  EXPECT_EQ(m.SERVERERRORNUM, 0);
  EXPECT_EQ(m.sent, 1);
  server.Join();
  const std::vector<std::string> c = server.Commands();
  EXPECT_EQ(std::count(c.begin(), c.end(), "#2 HELO NetSendMail"), 1);
  EXPECT_EQ(std::count(c.begin(), c.end(), "#2 RCPT TO: <bob@example.com>"), 1);
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_TRUE(server.Messages()[0].ends_with("\r\nhi\r\n"));
}

TEST_F(DialogueTest, MessageErrorsInEveryTransactionState) {
  struct Case {
    const char* command;
    const char* answer;
    uint32_t state;
  };
  for (const Case& c :
       {Case{"MAIL FROM", "451 later", kEsMailFrom}, Case{"DATA", "554 no data", kEsData},
        Case{"<end of data>", "552 too big", kEsSendingData}}) {
    SCOPED_TRACE(c.command);
    ScriptedServer server(kGreeting, Smtp([c](const std::string& line, int) -> std::string {
                            return line.rfind(c.command, 0) == 0 ? std::string(c.answer) + "\r\n"
                                                                 : "\x02";
                          }));
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text,
              "Error in this Message. Email (SMTP) server sent error = " + std::string(c.answer) +
                  " State = " + std::to_string(c.state) + ". Will try and send next email");
    EXPECT_EQ(m.sent, 0);
    EXPECT_TRUE(m.DATAQUEUE->empty());
  }
}

TEST_F(DialogueTest, SplitReplyIsJoinedAndGarbageIsAnError) {
  {
    ScriptedServer server(
        "22\x01"
        "0 split greeting\r\n",
        Smtp([](const std::string& line, int) -> std::string {
          return line.rfind("HELO", 0) == 0 ? "2\x01"
                                              "5\x01"
                                              "0 ok\r\n"
                                            : "\x02";
        }));
    TestMailer m;
    Prepare(&m, server.port());
    server.SetGate([&m] { return m.processed.load(); });
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
    EXPECT_EQ(m.sent, 1);
    const auto has = [&m](const std::string& s) {
      return std::any_of(m.traces.begin(), m.traces.end(),
                         [&](const std::string& t) { return t.find(s) != t.npos; });
    };
    EXPECT_TRUE(
        has("NetEmailSend.Process (Email (SMTP)): Warning. We Received Data from Email (SMTP) "
            "Server - but did "
            "not receive a whole line. Will store the line in the buffer"));
    EXPECT_TRUE(has("Okay we put the buffered lines together and got [250 ok\r\n]"));
  }
  {
    ScriptedServer server("hello there\r\n", Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text,
              "Fatal Error. Email (SMTP) server sent error = 0 lo there State = 71. Will abort all "
              "messages in the "
              "DataQueue");
  }
  {
    // More than the reply buffer holds without a line end: taken as one
    // unreadable reply instead of waiting for a line end forever.
    ScriptedServer server(std::string(20000, 'x'), Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Fatal Error. Email (SMTP) server sent error = 0 " +
                                   std::string(252, 'x') +
                                   " State = 71. Will abort all messages in the DataQueue");
  }
}

TEST_F(DialogueTest, DotStuffingAndPieceSizes) {
  {
    SCOPED_TRACE("dot lines over the wire");
    ScriptedServer server(kGreeting, Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    const std::string body = ".starts\r\nmid.dot\r\n..two\r\n.\r\nend";
    m.SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
    m.SetMessageText(body);
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    EXPECT_EQ(m.sent, 1);
    server.Join();
    ASSERT_EQ(server.Messages().size(), 1u);
    EXPECT_TRUE(
        server.Messages()[0].ends_with("\r\n\r\n..starts\r\nmid.dot\r\n...two\r\n..\r\nend\r\n"))
        << server.Messages()[0];
  }
  {
    SCOPED_TRACE("line starts are followed across pieces");
    TestMailer m;
    m.Init();
    auto stuff = [&m](const std::string& piece) {
      std::memcpy(m.PACKET.BINDATA, piece.data(), piece.size());
      m.PACKET.BINDATALEN = static_cast<int32_t>(piece.size());
      m.EscapeDots();
      return std::string(m.PACKET.BINDATA, static_cast<size_t>(m.PACKET.BINDATALEN));
    };
    EXPECT_EQ(stuff(".a\r"), "..a\r");
    EXPECT_EQ(stuff("\n.b\r\n"), "\n..b\r\n");
    EXPECT_EQ(stuff(".c"), "..c");
    EXPECT_EQ(stuff(std::string(5120, '.')), std::string(5120, '.')) << "not at a line start";
    EXPECT_EQ(stuff("\r\n.\r\n"), "\r\n..\r\n");
  }
  for (size_t size : {5120u, 5121u, 10240u}) {
    SCOPED_TRACE(size);
    ScriptedServer server(kGreeting, Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    std::string whole = "From: vm@example.com\r\nTo: bob@example.com\r\n\r\n";
    whole += std::string(size - whole.size() - 2, 'x') + "\r\n";
    m.SetRequiredMessageSize(static_cast<int32_t>(whole.size()), 0, 0);
    m.SetWholeMessage(whole);
    m.SendMail(1);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    EXPECT_EQ(m.sent, 1);
    const auto data = std::find(m.sends.begin(), m.sends.end(), "DATA\r\n");
    ASSERT_NE(data, m.sends.end());
    std::vector<size_t> pieces;
    for (auto it = data + 1; it != m.sends.end() && *it != "QUIT\r\n"; ++it)
      pieces.push_back(it->size());
    std::vector<size_t> expected;
    for (size_t left = size; left > 0; left -= std::min<size_t>(left, 5120))
      expected.push_back(std::min<size_t>(left, 5120));
    expected.push_back(5);  // the end line
    EXPECT_EQ(pieces, expected);
    EXPECT_EQ(m.sends[data - m.sends.begin() + static_cast<long>(expected.size())], "\r\n.\r\n");
    server.Join();
    EXPECT_EQ(server.Messages()[0], whole + "\r\n");
  }
}

TEST_F(DialogueTest, ServerClosingTheConnection) {
  {
    SCOPED_TRACE("in the middle of the message");
    ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                            return line == "<end of data>" ? "<close>" : "\x02";
                          }));
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "The (Email (SMTP)) server closed the connection");
    EXPECT_EQ(m.traps[0].function, "NetEmailSend.ConnectionClosed");
    EXPECT_EQ(m.traps[0].error_during, 0);
    EXPECT_EQ(m.traps[0].queued, 0u);
    // The close after the report resets ERROR; the text keeps the number, so
    // the failure never reads as the 0 of a message sent.
    EXPECT_EQ(m.ERRORSTRING.rfind("The (Email (SMTP)) server closed the connection. The error "
                                  "number was 10101 which means (WSAEDISCON)",
                                  0),
              0u)
        << m.ERRORSTRING;
    EXPECT_TRUE(m.DATAQUEUE->empty());
  }
  {
    SCOPED_TRACE("right after a reply: one error, and no time-out after it");
    ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                            return line.rfind("RCPT", 0) == 0 ? "250 ok\r\n<close>" : "\x02";
                          }));
    TestMailer m;
    Prepare(&m, server.port());
    m.SetReplyTimeoutMs(200);
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    Pump(
        &m, [] { return false; }, std::chrono::milliseconds(400));
    ASSERT_EQ(m.traps.size(), 1u) << m.traps[1].errorstring;
    EXPECT_NE(m.traps[0].error_during, -53) << m.traps[0].errorstring;
    EXPECT_TRUE(m.DATAQUEUE->empty());
  }
  {
    SCOPED_TRACE("after QUIT: silent");
    ScriptedServer server(kGreeting, Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    // Let the server's close arrive.
    Pump(
        &m, [] { return false; }, std::chrono::milliseconds(200));
    EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
    EXPECT_EQ(m.sent, 1);
  }
}

TEST_F(DialogueTest, RefusedConnectionReports10061AndLeavesMinus39) {
  int fd = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&fd, &port, 1), 0);
  platform::SocketClose(fd);
  TestMailer m;
  Prepare(&m, port);
  m.SendMail(2);
  // The connect runs on: its outcome comes as an event.
  EXPECT_EQ(m.ERROR, 0);
  EXPECT_TRUE(m.traps.empty());
  EXPECT_EQ(m._STATE, kEsConnecting);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  EXPECT_EQ(m.ERROR, -39);
  ASSERT_EQ(m.traps.size(), 1u);
  EXPECT_EQ(m.traps[0].function, "NetSimple(Client).Open");
  EXPECT_EQ(m.traps[0].error_during, 0) << "the close of the error path resets ERROR";
  EXPECT_EQ(m.traps[0].errorstring.rfind(
                "Could not open a connection to the Email (SMTP) Server. The error number "
                "was 10061 which means (WSAECONNREFUSED) Connection refused.",
                0),
            0u)
      << m.traps[0].errorstring;
  EXPECT_TRUE(m.DATAQUEUE->empty());
  EXPECT_EQ(m._STATE, 0u);
}

TEST_F(DialogueTest, ConnectThatNeverEndsReports10060WithoutHoldingUpSendMail) {
  // A restart with a short connect bound.
  net::NetRuntime::Shutdown();
  StartRuntime(300);
  // A listener whose accept queue is full drops further connection requests,
  // so a connect to it neither succeeds nor fails.
  int listener = -1;
  uint16_t port = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&listener, &port, 0), 0);
  uint32_t loopback = 0;
  ASSERT_TRUE(platform::ParseIPv4("127.0.0.1", &loopback));
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 8 && !full; ++i) {
    int fd = -1;
    ASSERT_EQ(platform::SocketCreateTcp(&fd), 0);
    fillers.push_back(fd);
    full = platform::SocketConnect(fd, loopback, platform::HostToNetwork16(port), 200) != 0;
  }
  ASSERT_TRUE(full) << "the listener never stopped taking connections";
  {
    TestMailer m;
    Prepare(&m, port);
    m.SendMail(2);
    EXPECT_EQ(m.ERROR, 0);
    EXPECT_TRUE(m.traps.empty());
    EXPECT_EQ(m._STATE, kEsConnecting);
    EXPECT_EQ(m.OPENFLAG, 1);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].function, "NetSimple(Client).Open");
    EXPECT_EQ(
        m.traps[0].errorstring.rfind("Unable to Open Connection. The error number was 10060", 0),
        0u)
        << m.traps[0].errorstring;
    EXPECT_EQ(m.ERROR, -39);
    EXPECT_TRUE(m.DATAQUEUE->empty());
  }
  {
    // Closed by its owner while the connect runs: nothing is reported later.
    TestMailer m;
    Prepare(&m, port);
    m.SendMail(2);
    EXPECT_EQ(m._STATE, kEsConnecting);
    m.Kill();
    Pump(
        &m, [] { return false; }, std::chrono::milliseconds(600));
    EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
  }
  for (int fd : fillers) platform::SocketClose(fd);
  platform::SocketClose(listener);
  EXPECT_TRUE(SocketQueuesEmpty());
}

TEST_F(DialogueTest, ServerThatNeverAnswersRunsOutOfTime) {
  struct Case {
    const char* name;
    std::string greeting;
    std::function<std::string(const std::string&, int)> special;
    uint32_t state;
  };
  const std::vector<Case> cases = {
      {"no greeting", "<hang>", nullptr, kEsConnecting},
      {"no answer to RCPT TO", kGreeting,
       [](const std::string& l, int) -> std::string {
         return l.rfind("RCPT", 0) == 0 ? "<hang>" : "\x02";
       },
       kEsRcptTo},
      {"no answer after the message", kGreeting,
       [](const std::string& l, int) -> std::string {
         return l == "<end of data>" ? "<hang>" : "\x02";
       },
       kEsSendingData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(c.greeting, Smtp(c.special));
    TestMailer m;
    Prepare(&m, server.port());
    m.SetReplyTimeoutMs(300);
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text,
              "No reply from the Email (SMTP) Server within 300 milliseconds. State = " +
                  std::to_string(c.state) + ". Will abort all messages in the DataQueue");
    EXPECT_EQ(m.traps[0].error_during, -53);
    EXPECT_EQ(m.traps[0].errorstring,
              m.traps[0].text + ". The error number was -53 which means Timeout error.");
    EXPECT_EQ(m.ERROR, -53) << "the owner records the time-out as the send's error";
    EXPECT_TRUE(m.DATAQUEUE->empty());
    EXPECT_EQ(m.OPENFLAG, 0);
  }
}

TEST_F(DialogueTest, ReconnectAfterEachMessage) {
  ScriptedServer server(kGreeting, Smtp(), 2);
  TestMailer m;
  Prepare(&m, server.port());
  m.RECONNECTAFTERXMSGS = 1;
  m.SendMail(2);
  m.SetRequiredMessageSize(0, 2, 0);
  m.SetMessageText("hi");
  m.SendMail(2);
  ASSERT_TRUE(Finished(&m));
  EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
  EXPECT_EQ(m.sent, 2);
  server.Join();
  const std::vector<std::string> c = server.Commands();
  EXPECT_EQ(std::count(c.begin(), c.end(), "QUIT"), 1);
  EXPECT_EQ(std::count(c.begin(), c.end(), "#2 HELO NetSendMail"), 1);
  EXPECT_EQ(std::count(c.begin(), c.end(), "#2 QUIT"), 1);
  EXPECT_EQ(server.Messages().size(), 2u);
}

TEST_F(DialogueTest, KeepConnectionOpenGoesIdleAndRestartsWithRset) {
  ScriptedServer server(kGreeting, Smtp());
  TestMailer k;
  Prepare(&k, server.port());
  k.OPTIONSKEEPCONNECTIONOPEN = 1;
  k.SendMail(2);
  ASSERT_TRUE(Pump(&k, [&k] { return k.sent == 1 && k._STATE == kEsConnectedAndIdle; }));
  EXPECT_EQ(k.OPENFLAG, 1);
  k.SetRequiredMessageSize(0, 2, 0);
  k.SetMessageText("hi");
  k.SendMail(2);
  ASSERT_TRUE(Pump(&k, [&k] { return k.sent == 2 && k._STATE == kEsConnectedAndIdle; }));
  EXPECT_TRUE(k.traps.empty()) << k.traps[0].errorstring;
  k.Kill();
  server.Join();
  const std::vector<std::string> c = server.Commands();
  EXPECT_EQ(std::count(c.begin(), c.end(), "RSET"), 3);
  EXPECT_EQ(std::count(c.begin(), c.end(), "HELO NetSendMail"), 1);
  EXPECT_EQ(std::count(c.begin(), c.end(), "QUIT"), 0);
  EXPECT_EQ(server.Messages().size(), 2u);
}

TEST_F(DialogueTest, ProgressFiguresAndControl) {
  ScriptedServer server(kGreeting, Smtp());
  RecordingProgress view;
  TestMailer m;
  Prepare(&m, server.port());
  m.PROGRESSCONTROL = 1;
  m.SetProgressView(&view);
  m.SendMail(2);
  ASSERT_GE(view.calls.size(), 4u);
  EXPECT_EQ(view.calls[0].what, "range");
  EXPECT_EQ(view.calls[0].b, 1000);
  EXPECT_EQ(view.calls[1].what, "show");
  EXPECT_EQ(view.calls[2].what, "value");
  EXPECT_EQ(view.calls[2].a, 0);
  m.CalcProgress();
  EXPECT_EQ(m.PROGRESSBYTESMAX, m.WHOLEMESSAGELEN);
  EXPECT_EQ(m.PROGRESSBYTESTOGO, m.WHOLEMESSAGELEN);
  EXPECT_EQ(m.PROGRESS1000, 0);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  EXPECT_EQ(view.calls.back().what, "redisplay");
  EXPECT_EQ(view.calls[view.calls.size() - 3].what, "hide");
  m.CalcProgress();
  EXPECT_EQ(m.PROGRESS1000, 1000);
  EXPECT_EQ(m.PROGRESSBYTESTOGO, 0);
}

// Counts what the object does while a message streams out: the most bytes
// of it that waited in the connection when a piece was made, whether the
// piece made the waiting bytes reach the point where making stops (`full`,
// read by the server's thread), and how often the drained queue called back.
class WatchingMailer : public TestMailer {
 public:
  void Send() override {
    if (_STATE == kEsSendingData) {
      max_queued = std::max(max_queued, OUTGOINGDLLPACKETSBYTES);
      if (OUTGOINGDLLPACKETSBYTES + PACKET.BINDATALEN >= kDataQueueHigh) full = 1;
    }
    TestMailer::Send();
  }
  void QueueHasRoom() override {
    ++rooms;
    TestMailer::QueueHasRoom();
  }
  int64_t max_queued = 0;
  std::atomic<int> full{0};
  int rooms = 0;
};

std::string Noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 7;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

class StreamingTest : public MailTest {};

TEST_F(StreamingTest, LargeAttachmentGoesOutInBoundedSharesAsTheConnectionDrains) {
  // The server reads nothing of the message until the object has stopped
  // making pieces (small socket buffers hold little of it meanwhile): the
  // object must wait for room, however fast or slow either side runs.
  StartRuntime(5000, 32768);
  WatchingMailer m;
  ScriptedServer server(kGreeting, Smtp([](const std::string& line, int) -> std::string {
                          return line == "DATA" ? "354 go ahead\r\n\x01" : "\x02";
                        }));
  server.SetGate([&m] { return m.full.load(); });
  const std::string wav = dir_->Write("big.wav", Noise(2 * 1024 * 1024 + 7));
  Prepare(&m, server.port());
  m.ATTACHMENTLIST = wav;
  m.SendMail(2);
  ASSERT_EQ(m.ERROR, 0);
  const int64_t length = m.WHOLEMESSAGELEN;
  ASSERT_TRUE(PumpUntilOutcome(&m, std::chrono::seconds(60)));
  EXPECT_TRUE(m.traps.empty()) << m.traps[0].errorstring;
  EXPECT_EQ(m.sent, 1);
  EXPECT_EQ(m.full.load(), 1);
  EXPECT_LT(m.max_queued, kDataQueueHigh);
  EXPECT_GE(m.rooms, 1);
  server.Join();
  ASSERT_EQ(server.Messages().size(), 1u);
  EXPECT_EQ(server.Messages()[0].size(), static_cast<size_t>(length) + 2);
  EXPECT_TRUE(server.Messages()[0] == std::string(m.ComposedMessage()) + "\r\n");
  m.Kill();
}

TEST_F(StreamingTest, AttachmentThatChangesWhileSentFailsThatMessageAndTheNextGoesOn) {
  // Each change is made after the message was composed: the message is
  // given up before its end line (the server never takes it), the owner
  // hears why, and the message queued behind it goes on a fresh connection.
  StartRuntime();
  const std::string desc = "while it was being sent via Email (SMTP). The message was not sent";
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
    std::string what;
  };
  const std::vector<Case> cases = {
      {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; },
       "changed size"},
      {"cut", [](const std::string& p) { std::filesystem::resize_file(p, 1000); }, "changed size"},
      {"removed", [](const std::string& p) { std::filesystem::remove(p); },
       "was removed or replaced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server(kGreeting, Smtp(), 2);
    const std::string wav = dir_->Write("msg.wav", Noise(300000));
    TestMailer m;
    Prepare(&m, server.port());
    m.ATTACHMENTLIST = wav;
    m.SendMail(2);
    m.ATTACHMENTLIST = "";
    m.SendMail(2);
    ASSERT_EQ(m.DATAQUEUE->size(), 2u);
    c.change(wav);
    ASSERT_TRUE(Pump(&m, [&] { return m.sent == 1 && m.OPENFLAG == 0 && m._STATE == 0; }))
        << m.traps.size();
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Attached file (" + wav + ") " + c.what + " " + desc);
    EXPECT_EQ(m.traps[0].error_during, kNetErrFile);
    m.Kill();
    server.Join();
    ASSERT_EQ(server.Messages().size(), 1u) << "only the second message arrives";
    EXPECT_EQ(server.Messages()[0].find("msg.wav"), std::string::npos);
    const std::vector<std::string> commands = server.Commands();
    EXPECT_EQ(commands.back(), "#2 QUIT");
  }
}

TEST_F(StreamingTest, EachConnectionGoesWhenItsMessageIsDone) {
  // A mail object per message, killed once its message is reported, as the
  // dispatcher does: no connection entry or packet stays behind it, so the
  // runtime's memory per message stays flat however many are sent.
  StartRuntime();
  const int kMessages = 30;
  ScriptedServer server(kGreeting, Smtp(), kMessages);
  size_t most = 0;
  for (int i = 0; i < kMessages; ++i) {
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.sent, 1);
    most = std::max(most, net::NetRuntime::Current()->Counts().client_sockets);
    m.Kill();
    ASSERT_TRUE(testing::WaitFor(
        [] {
          const net::QueueCounts c = net::NetRuntime::Current()->Counts();
          return c.client_sockets == 0 && c.in_data == 0 && c.out_list == 0;
        },
        std::chrono::seconds(5)))
        << "message " << i;
  }
  EXPECT_LE(most, 1u);
  server.Join();
}

}  // namespace
}  // namespace vm::mail

namespace vm::mail {
namespace {

TEST_F(DialogueTest, ErrorPathsThatDropTheCurrentMessageAndMoveOn) {
  {
    SCOPED_TRACE("no usable From entry");
    ScriptedServer server(kGreeting, Smtp());
    TestMailer m;
    Prepare(&m, server.port());
    m.FROM = ";";
    m.SendMail(2);
    ASSERT_TRUE(PumpUntilOutcome(&m));
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Invalid from address found in data queue");
    EXPECT_EQ(m.traps[0].function, "NetEmailSend.Process");
    EXPECT_TRUE(m.DATAQUEUE->empty());
    server.Join();
    EXPECT_EQ(server.Commands(), (std::vector<std::string>{"HELO NetSendMail", "QUIT"}));
  }
  {
    SCOPED_TRACE("a receive error, then a state the machine does not know");
    ScriptedServer server(kGreeting, Smtp([](const std::string& l, int) -> std::string {
                            return l.rfind("RCPT", 0) == 0 ? "<hang>" : "\x02";
                          }));
    TestMailer m;
    Prepare(&m, server.port());
    m.SendMail(2);
    m.SendMail(2);
    m.SendMail(2);
    ASSERT_TRUE(Pump(&m, [&m] { return m._STATE == kEsRcptTo; }));
    const std::string reply = "250 ok\r\n";
    std::memcpy(m.PACKET.BINDATA, reply.data(), reply.size());
    m.PACKET.BINDATALEN = static_cast<int32_t>(reply.size());
    m.ERROR = 10054;
    m.Process();
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Error reading data from the Email (SMTP) Server");
    EXPECT_EQ(m.traps[0].error_during, 10054);
    EXPECT_EQ(m.DATAQUEUE->size(), 2u) << "only the current message is dropped";
    EXPECT_EQ(m._STATE, kEsHelo) << "RSET was sent for the next message";
    m._STATE = 99;
    m.ERROR = 0;
    m.Process();
    ASSERT_EQ(m.traps.size(), 2u);
    EXPECT_EQ(m.traps[1].text, "Error. NetEmailSend - no state found. State = 99");
    EXPECT_EQ(m.DATAQUEUE->size(), 1u);
    m.Abort();
  }
}

TEST_F(DialogueTest, SendMailOnAnOpenConnectionInTheClosedStateDiscardsTheQueue) {
  ScriptedServer server(kGreeting, Smtp());
  TestMailer m;
  Prepare(&m, server.port());
  m.Open("127.0.0.1", server.port());
  ASSERT_EQ(m.OPENFLAG, 1);
  ASSERT_EQ(m._STATE, kEsNotConnected);
  m.SendMail(2);
  ASSERT_EQ(m.traps.size(), 1u);
  EXPECT_EQ(m.traps[0].text, "Illegal State. NET:ES_NOTCONNECTED in section of SendMail.");
  EXPECT_EQ(m.traps[0].function, "NetEmailSend.SendMail");
  EXPECT_EQ(m.traps[0].error_during, 0);
  EXPECT_TRUE(m.DATAQUEUE->empty());
  EXPECT_EQ(m.OPENFLAG, 0);
}

}  // namespace
}  // namespace vm::mail

namespace vm::mail {
namespace {

TEST_F(DialogueTest, CompositionErrorsLeaveEarlierMessagesAloneButANegativeSizeDiscardsThem) {
  ScriptedServer server(kGreeting, Smtp());
  TestMailer m;
  Prepare(&m, server.port());
  m.SendMail(2);
  ASSERT_EQ(m.DATAQUEUE->size(), 1u);
  m.TOLIST = "";
  m.SendMail(2);
  ASSERT_EQ(m.traps.size(), 1u);
  EXPECT_EQ(m.ERROR, -37);
  EXPECT_EQ(m.DATAQUEUE->size(), 1u);
  ASSERT_TRUE(PumpUntilOutcome(&m));
  EXPECT_EQ(m.sent, 1) << "the earlier message still goes out";

  ScriptedServer hanging("<hang>", Smtp());
  TestMailer n;
  Prepare(&n, hanging.port());
  n.SendMail(2);
  ASSERT_EQ(n.OPENFLAG, 1);
  EXPECT_EQ(n.SetRequiredMessageSize(-1, 0, 0), -42);
  ASSERT_EQ(n.traps.size(), 1u);
  EXPECT_TRUE(n.DATAQUEUE->empty());
  EXPECT_EQ(n.OPENFLAG, 0);
  EXPECT_EQ(n._STATE, 0u);
}

TEST_F(DialogueTest, MessageBoxOnlyWhenNotSuppressed) {
  auto presenter = std::make_shared<runtime::ScriptedPresenter>();
  auto previous = runtime::SetMessagePresenter(presenter);
  TestMailer m;
  Prepare(&m, 1);
  m.TOLIST = "";
  m.SendMail(2);
  EXPECT_TRUE(presenter->requests().empty());
  EXPECT_EQ(m.ERRORSTRING,
            "No To, CC or BCC field specified when sending Email (SMTP). The error number was -37 "
            "which means The "
            "Linkora object requires more properties to contain valid values.");
  ASSERT_EQ(m.traps.size(), 1u) << "the owner's override runs";
  m.SUPPRESSERRORMSG = 0;
  m.SendMail(2);
  ASSERT_EQ(presenter->requests().size(), 1u);
  EXPECT_EQ(presenter->requests()[0].caption, "Linkora Object Error");
  EXPECT_EQ(
      presenter->requests()[0].text,
      "A network communication error has occurred.||Error = No To, CC or BCC field "
      "specified when sending Email (SMTP).||The error number was -37 which means The Linkora "
      "object requires "
      "more properties to contain valid values.||Error occurred in function NetEmailSend.SendMail");
  runtime::SetMessagePresenter(previous);
}

}  // namespace
}  // namespace vm::mail
