#include "net/error_text.h"

#include <gtest/gtest.h>

#include "net_test_support.h"

namespace vm::net {
namespace {

using testing::NetTest;

class ErrorTextTest : public NetTest {};

TEST_F(ErrorTextTest, WinsockNumbersAndUnknownNumbersAreTracedLibraryNumbersAreNot) {
  StartRuntime({"/netdlllogerrors"});
  sink_->Clear();
  std::string reset = NetErrorStr(10054);
  EXPECT_EQ(reset.rfind("(WSAECONNRESET) Connection reset by peer.", 0), 0u) << reset;
  EXPECT_EQ(
      CountLines(
          "[NetDLL]  NetErrorStr() : Error (10054) = (WSAECONNRESET) Connection reset by peer."),
      1);

  sink_->Clear();
  EXPECT_EQ(NetErrorStr(-36), "The connection is not open");
  EXPECT_TRUE(sink_->Lines().empty()) << DumpLines();

  EXPECT_EQ(NetErrorStr(12345), "General Winsock Error (unknown by NetErrorStr) [12345]");
  EXPECT_EQ(
      CountLines(
          "NetErrorStr() : Error (12345) = General Winsock Error (unknown by NetErrorStr) [12345]"),
      1);
}

TEST_F(ErrorTextTest, NoTraceLineWhenTracingIsOff) {
  StartRuntime({});
  sink_->Clear();
  EXPECT_FALSE(NetErrorStr(10061).empty());
  EXPECT_TRUE(sink_->Lines().empty()) << DumpLines();
}

TEST(ErrorText, LongTextIsCutAt255Characters) {
  std::string text = NetErrorStr(10048);
  ASSERT_EQ(text.size(), 255u);
  EXPECT_EQ(text,
            "(WSAEADDRINUSE) Address already in use. Only one usage of each socket address "
            "(protocol/IP address/port) "
            "is normally permitted. This error occurs if an application attempts to bind a socket "
            "to an IP "
            "address/port that has already been used for an existing ");
}

TEST(ErrorText, QuotedRowsAndShortForms) {
  EXPECT_EQ(NetErrorStr(10061),
            "(WSAECONNREFUSED) Connection refused. No connection could be made because the target "
            "machine actively "
            "refused it.");
  EXPECT_EQ(NetErrorStr(10024), "(WSAEMFILE) Too many open files. Too many open sockets.");
  EXPECT_EQ(NetErrorStr(10049),
            "(WSAEADDRNOTAVAIL) The specified address is not available from the local computer.");
  EXPECT_EQ(NetErrorStr(10009), "WSAEBADF (BadF)");
  EXPECT_EQ(NetErrorStr(10070), "(WSAESTALE) WSAESTALE (stale)");
  EXPECT_EQ(NetErrorStr(-5), "Main start sequence faile");
  EXPECT_EQ(NetErrorStr(-54), "Ping unsuccessful");
  EXPECT_EQ(NetErrorStr(-55), "General Winsock Error (unknown by NetErrorStr) [-55]");
  EXPECT_EQ(NetErrorStr(0), "General Winsock Error (unknown by NetErrorStr) [0]");
  // Every row of the WinSock table starts with its symbol.
  for (int n :
       {6,     8,     995,   996,   997,   10004, 10013, 10014, 10022, 10035, 10036, 10037,
        10038, 10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047, 10050, 10051,
        10052, 10053, 10054, 10055, 10056, 10057, 10058, 10060, 10064, 10065, 10067, 10091,
        10092, 10093, 10101, 10104, 10105, 10106, 10107, 10109, 11001, 11002, 11003, 11004}) {
    std::string t = NetErrorStr(n);
    EXPECT_EQ(t.front(), '(') << n;
    EXPECT_EQ(t.find("General Winsock Error"), std::string::npos) << n;
  }
}

TEST(ErrorText, InterpretErrorTable) {
  EXPECT_EQ(InterpretErrorText(0), "General Object level error");
  EXPECT_EQ(InterpretErrorText(10061),
            "(WSAECONNREFUSED) Connection refused. No connection could be made because the target "
            "machine actively "
            "refused it. [listed by NetErrorStr]");
  EXPECT_EQ(InterpretErrorText(-33),
            "Host or Socket not specified. Please set the <object>.packet.ToIp and "
            "<object>.packet.OnSocket before "
            "sending data.");
  EXPECT_EQ(InterpretErrorText(-52), "No Posting allowing");
  EXPECT_EQ(InterpretErrorText(-41), "a General FTP error occurred");
  EXPECT_EQ(InterpretErrorText(-36), "The connection is not open");
  EXPECT_EQ(InterpretErrorText(12345),
            "General Winsock Error (unknown by NetErrorStr) [12345] [listed by NetErrorStr]");
  // The 255-character text loses its trailing blank before the suffix.
  std::string t = InterpretErrorText(10048);
  EXPECT_EQ(t.substr(t.size() - 39), "for an existing [listed by NetErrorStr]");
}

}  // namespace
}  // namespace vm::net
