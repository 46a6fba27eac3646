// The outcome a row keeps is the server's reply to the message's end of data:
// what the connection does after it never changes it, and a failure never
// keeps the code 0 of a message sent. Passes against a scripted server.
#include <gtest/gtest.h>

#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"

namespace vm::app::testing {
namespace {

class OutcomeTest : public GatewayTest {
 protected:
  // Mailbox 101 with `n` recordings, sent by one pass to `server`.
  std::vector<ProcessedRow> SendThrough(const ScriptedSmtp& server, int n) {
    WriteSettings(server.port());
    AddMailbox(101, "alice@example.com", "", "YES", "NO");
    for (int i = 0; i < n; ++i) MakeRecording(101, "r" + std::to_string(i) + ".wav", "x");
    Pass(FastOptions());
    return Log();
  }
};

// A server that follows the dialogue, with `at_end` as its answer to the
// end of data and `after_helo` (when set) as its answer to MAIL FROM.
std::string Dialogue(const std::string& line, const std::string& at_end,
                     const std::string& after_helo = "") {
  if (line == "<end of data>") return at_end;
  if (line.rfind("HELO", 0) == 0) return "250 hello\r\n";
  if (line.rfind("MAIL", 0) == 0) return after_helo.empty() ? "250 ok\r\n" : after_helo;
  if (line.rfind("RCPT", 0) == 0) return "250 ok\r\n";
  if (line == "DATA") return "354 go ahead\r\n";
  if (line == "QUIT") return "221 bye\r\n<close>";
  return "500 what\r\n";
}

TEST_F(OutcomeTest, ServerThatClosesRightAfterAcceptingTheMessageDeliveredIt) {
  ScriptedSmtp server(
      [](const std::string& line) { return Dialogue(line, "250 queued as 1\r\n<close>"); });
  ASSERT_NE(server.port(), 0);
  const auto log = SendThrough(server, 5);
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(server.messages(), 5);
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.processed, 1) << row.filename;
    EXPECT_EQ(row.error, "Nil") << row.filename;
    EXPECT_EQ(row.error_code, 0) << row.filename;
  }
}

TEST_F(OutcomeTest, ServerThatClosesAfterHeloFailsEveryMessageWithANumber) {
  ScriptedSmtp server(
      [](const std::string& line) { return Dialogue(line, "250 queued\r\n", "<close>"); });
  ASSERT_NE(server.port(), 0);
  const auto log = SendThrough(server, 2);
  ASSERT_EQ(log.size(), 2u);
  for (const ProcessedRow& row : log) {
    EXPECT_NE(row.error_code, 0) << row.error;
    EXPECT_EQ(row.error_code, 10101) << row.error;
    EXPECT_NE(row.error.find("server closed the connection"), std::string::npos) << row.error;
  }
}

TEST_F(OutcomeTest, ServerThatClosesDuringTheDataFailsTheMessageWithANumber) {
  ScriptedSmtp server([](const std::string& line) {
    if (line == "DATA") return std::string("354 go ahead\r\n<close>");
    return Dialogue(line, "250 queued\r\n");
  });
  ASSERT_NE(server.port(), 0);
  const auto log = SendThrough(server, 2);
  ASSERT_EQ(log.size(), 2u);
  for (const ProcessedRow& row : log) {
    EXPECT_NE(row.error_code, 0) << row.error;
    EXPECT_NE(row.error, "Nil");
  }
  EXPECT_EQ(server.messages(), 0);
}

TEST_F(OutcomeTest, UnreadableReplyFailsTheMessageWithANumber) {
  ScriptedSmtp server([](const std::string& line) {
    if (line.rfind("HELO", 0) == 0) return std::string("hello there, friend\r\n");
    return Dialogue(line, "250 queued\r\n");
  });
  ASSERT_NE(server.port(), 0);
  const auto log = SendThrough(server, 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].error_code, -51) << log[0].error;
  EXPECT_NE(log[0].error.find("Fatal Error"), std::string::npos) << log[0].error;
}

TEST_F(OutcomeTest, RefusalOfTheMessageKeepsTheServersCode) {
  ScriptedSmtp server(
      [](const std::string& line) { return Dialogue(line, "554 rejected as spam\r\n"); });
  ASSERT_NE(server.port(), 0);
  const auto log = SendThrough(server, 2);
  ASSERT_EQ(log.size(), 2u);
  for (const ProcessedRow& row : log) {
    EXPECT_EQ(row.error_code, 554) << row.error;
    EXPECT_NE(row.error.find("rejected as spam"), std::string::npos) << row.error;
  }
}

}  // namespace
}  // namespace vm::app::testing
