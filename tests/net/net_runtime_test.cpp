#include "net/net_runtime.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "net_test_support.h"
#include "platform/clock.h"
#include "platform/registry.h"

namespace vm::net {
namespace {

using platform::Hive;
using platform::RegistryStore;
using testing::NetTest;

constexpr const char* kTcpip = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";

bool WaitFor(const std::function<bool()>& cond,
             std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class NetRuntimeTest : public NetTest {
 protected:
  bool ReadDword(const char* name, uint32_t* value) {
    RegistryStore reg(registry_file_);
    platform::RegKey key = 0;
    if (reg.OpenKey(Hive::kLocalMachine, kTcpip, &key) != platform::kRegSuccess) return false;
    bool ok = reg.QueryDword(key, name, value) == platform::kRegSuccess;
    reg.CloseKey(key);
    return ok;
  }
  void WriteDword(const char* name, uint32_t value) {
    RegistryStore reg(registry_file_);
    platform::RegKey key = 0;
    ASSERT_EQ(reg.CreateKey(Hive::kLocalMachine, kTcpip, &key), platform::kRegSuccess);
    ASSERT_EQ(reg.SetDword(key, name, value), platform::kRegSuccess);
    reg.CloseKey(key);
  }
  bool PastInfoHas(const NetRuntime& rt, std::string_view text) {
    for (const std::string& l : rt.PastInfo()) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(NetRuntimeTest, WriterKeeps1021CharactersAndClipsLongerLines) {
  std::string exact(1021, 'a');
  std::string longer = std::string(1012, 'b') + std::string(10, 'c');
  NetRuntime::WriteLine(exact + "   ");
  NetRuntime::WriteLine(longer);
  auto lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], exact);
  EXPECT_EQ(lines[1], std::string(1012, 'b') + " <clipped>");

  NetRuntime& rt = StartRuntime({"/netdlllog"});
  sink_->Clear();
  rt.TraceLine("message   ", "Func  ", kTraceInfo);
  rt.TraceLine(std::string(2000, 'x'), "Func", kTraceInfo);
  lines = sink_->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[NetDLL]  Func() : message");
  EXPECT_EQ(lines[1].size(), 1022u);
  EXPECT_EQ(lines[1].substr(1012), " <clipped>");
}

TEST_F(NetRuntimeTest, ErrorsOnlySwitchWritesOnlyErrorLines) {
  NetRuntime& rt = StartRuntime({"/netdlllog /netdlllogerrors"});
  EXPECT_FALSE(rt.full_trace());
  EXPECT_TRUE(rt.errors_trace());
  EXPECT_FALSE(rt.detailed_trace());
  EXPECT_EQ(
      CountLines(
          "[NetDLL]  NetTurnOnLogging() : ======== DLL Logging : Errors only (/netdlllogerrors) "
          "option on ========"),
      1);
  EXPECT_FALSE(HasLine("Using Linkora DLL version"));  // no banner without the full trace
  sink_->Clear();
  rt.TraceLine("info line", "F", kTraceInfo);
  rt.TraceLine("error line", "F", kTraceError);
  rt.TraceDetail("detail error", "F", kTraceError);
  EXPECT_FALSE(HasLine("info line"));
  EXPECT_TRUE(HasLine("[NetDLL]  F() : error line"));
  EXPECT_FALSE(HasLine("detail error"));
}

TEST_F(NetRuntimeTest, ErrorsOnlyWithLogAllBuildsDetailedLinesButWritesOnlyErrors) {
  NetRuntime& rt = StartRuntime({"/netdlllogerrors", "/netdlllogall"});
  EXPECT_TRUE(rt.detailed_trace());
  EXPECT_TRUE(rt.errors_trace());
  EXPECT_EQ(CountLines("[NetDLL]  NetTurnOnLogging() : Log All (/netdlllogall) option on"), 1);
  sink_->Clear();
  rt.TraceDetail("detail info", "F", kTraceInfo);
  rt.TraceDetail("detail error", "F", kTraceError);
  EXPECT_FALSE(HasLine("detail info"));
  EXPECT_TRUE(HasLine("[NetDLL]  F() : detail error"));
}

TEST_F(NetRuntimeTest, ShorthandSwitchesExpand) {
  NetRuntime& rt = StartRuntime({"/netall"});
  EXPECT_TRUE(rt.HasSwitch("/netdebugtrace"));
  EXPECT_TRUE(rt.HasSwitch("/linkoralog"));
  EXPECT_TRUE(rt.detailed_trace());
  EXPECT_FALSE(rt.full_trace());  // "/netdlllog" is tested as written
  NetRuntime::Shutdown();
  NetRuntime& rt2 = StartRuntime({"/neterrors"});
  EXPECT_TRUE(rt2.errors_trace());
  EXPECT_TRUE(rt2.HasSwitch("/linkoralogerrors"));
  EXPECT_FALSE(rt2.HasSwitch("/netdlllogall"));
}

TEST_F(NetRuntimeTest, BannerAndPastInfoReplay) {
  NetRuntime& rt = StartRuntime({});
  EXPECT_TRUE(sink_->Lines().empty()) << DumpLines();
  EXPECT_TRUE(PastInfoHas(rt, "[NetDLL]  DLLStartUp() : About to call WSAStartUp"));
  EXPECT_TRUE(PastInfoHas(rt, "[NetDLL]  DLLStartUp() : Cool. WinSock version 2.0 supported."));
  const size_t past = rt.PastInfo().size();

  rt.TurnOnLogging(true, false, false);
  auto lines = sink_->Lines();
  ASSERT_GE(lines.size(), 4 + past);
  EXPECT_EQ(lines[0], "[NetDLL] ===== [LINKORA] " + std::string(79, '='));
  EXPECT_EQ(lines[1],
            "[NetDLL] Using Linkora DLL version = 2.4 in application net_test : Linkora DLL "
            "Logging turned On");
  EXPECT_EQ(
      lines[2],
      "[NetDLL] NetDLL Info: NetDLL:CompatableVersion = 12 Net:MaxBinData = 16384 "
      "MaxDataPacketSize = 16735 "
      "MaxICanDoPacketSize = 1254 MaxAckPacketSize = 9060 PacketInfoLen = 24 ICanDoHeaderLen = 68 "
      "DataHeaderLen = 108 AckHeaderLen = 60 AckDataLen = 9 MaxAcksInPackets = 1000 "
      "Size(Net:PacketType) = "
      "17687 Size(Net:PublicServicesQType) = 599 Size(Net:ServiceType) = 1117 Size(Net:RemoteType) "
      "= 149");
  EXPECT_EQ(lines[4],
            "[NetDLL]  [Past Info] [NetDLL]  DLLStartUp() : Having to create a new GUID for this "
            "machine. This GUID "
            "will be stored in the registry");
  EXPECT_EQ(CountLines("[NetDLL]  [Past Info] [NetDLL]  NetDLL Info: GUID = " +
                       std::to_string(static_cast<int32_t>(rt.guid_first())) + " " +
                       std::to_string(static_cast<int32_t>(rt.guid_second())) +
                       " RunID = 1 Description = <no "
                       "description>"),
            1)
      << DumpLines();
  EXPECT_EQ(CountLines("[NetDLL]  [Past Info] "), static_cast<int>(past));
  EXPECT_TRUE(rt.PastInfo().empty());
  // New start-up lines are now written at once.
  sink_->Clear();
  rt.StartupLine(" later");
  EXPECT_EQ(CountLines("[NetDLL]  later"), 1);
}

TEST_F(NetRuntimeTest, IdentityIsCreatedOnceAndRunIdCounts) {
  platform::ManualClock clock;  // 2003-07-05 09:09:00
  auto use_clock = [&clock](NetRuntimeOptions* o) { o->clock = &clock; };
  NetRuntime& first = StartRuntime({}, use_clock);
  EXPECT_EQ(first.guid_first(), 128232940u);  // (1281 days + 1) * 100000 + 32940 seconds
  EXPECT_EQ(first.run_id(), 1u);
  EXPECT_TRUE(PastInfoHas(first, "Having to create a new GUID for this machine."));
  EXPECT_TRUE(PastInfoHas(first, " DLLStartUp() : GUID stored in Registry."));
  const uint32_t second_half = first.guid_second();
  NetRuntime::Shutdown();

  clock.AdvanceMilliseconds(86400 * 1000);
  NetRuntime& again = StartRuntime({}, use_clock);
  EXPECT_EQ(again.guid_first(), 128232940u);
  EXPECT_EQ(again.guid_second(), second_half);
  EXPECT_EQ(again.run_id(), 2u);
  EXPECT_FALSE(PastInfoHas(again, "Having to create a new GUID"));
  EXPECT_TRUE(presenter_->Shown().empty());
}

TEST_F(NetRuntimeTest, UnwritableRegistryShowsTheLoadingErrorBox) {
  NetRuntime& rt =
      StartRuntime({}, [](NetRuntimeOptions* o) { o->registry_file = "/dev/null/registry.ini"; });
  EXPECT_TRUE(PastInfoHas(rt, " DLLStartUp() : Error. Could not store GUID in the registry."));
  auto shown = presenter_->Shown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, "Linkora loading error");
  EXPECT_EQ(shown[0].second, "Could not write to the registry. Linkora will not be able to load");
  EXPECT_TRUE(rt.socket_library_started());  // start-up goes on
}

TEST_F(NetRuntimeTest, MediaSenseIsDisabledOnAFreshRegistry) {
  NetRuntime& rt = StartRuntime({});
  uint32_t disabled = 0, dont = 9;
  ASSERT_TRUE(ReadDword("DisableDHCPMediaSense", &disabled));
  ASSERT_TRUE(ReadDword("LinkoraDontChangeMediaSense", &dont));
  EXPECT_EQ(disabled, 1u);
  EXPECT_EQ(dont, 0u);
  EXPECT_TRUE(PastInfoHas(
      rt, " DLLStartUp() : Linkora has successfully disabled Media Sense option in registry."));
}

TEST_F(NetRuntimeTest, DontChangeMediaSenseLeavesTheRegistryAlone) {
  WriteDword("LinkoraDontChangeMediaSense", 1);
  for (int run = 0; run < 2; ++run) {
    NetRuntime& rt = StartRuntime({});
    EXPECT_TRUE(
        PastInfoHas(rt,
                    " DLLStartUp() : Warning. Windows is using Media Sense. This could cause your "
                    "Network to appear disabled."));
    NetRuntime::Shutdown();
    uint32_t value = 0;
    EXPECT_FALSE(ReadDword("DisableDHCPMediaSense", &value));
    ASSERT_TRUE(ReadDword("LinkoraDontChangeMediaSense", &value));
    EXPECT_EQ(value, 1u);
  }
}

TEST_F(NetRuntimeTest, MediaSenseAlreadyOffChangesNothing) {
  WriteDword("DisableDHCPMediaSense", 7);
  NetRuntime& rt = StartRuntime({});
  uint32_t value = 0;
  ASSERT_TRUE(ReadDword("DisableDHCPMediaSense", &value));
  EXPECT_EQ(value, 7u);
  ASSERT_TRUE(ReadDword("LinkoraDontChangeMediaSense", &value));
  EXPECT_EQ(value, 0u);  // created because it was missing
  EXPECT_FALSE(PastInfoHas(rt, "Media Sense"));
}

TEST_F(NetRuntimeTest, MessageRangesRouteAsTheWindowProcedure) {
  NetRuntime& rt = StartRuntime();
  sink_->Clear();
  rt.CallBackWindowMainCallBack(7120, 55, kFdRead);
  EXPECT_EQ(
      CountLines(
          "SimpleClient_Async() : Warning! A socket is dead. Got a FD_READ message for a socket "
          "that is "
          "no longer in qSimpleClientSockets. (ie The connection was closed before the message "
          "arrived)."),
      1)
      << DumpLines();
  EXPECT_FALSE(HasLine("isn't in one of our queues"));
  rt.CallBackWindowMainCallBack(7121, 55, kFdRead);
  EXPECT_EQ(
      CountLines(
          "CallBackWindowMainCallBack() : Attention. Received a message that isn't in one of our "
          "queues."),
      1);
  rt.CallBackWindowMainCallBack(6120, 55, kFdWrite);
  EXPECT_EQ(
      CountLines(
          "Got a FD_WRITE message for a socket that is no longer in qSimpleClientSockets. (ie The "
          "connection was closed before the package could be sent)."),
      1);
  rt.CallBackWindowMainCallBack(6500, 55, kFdClose);
  EXPECT_EQ(
      CountLines(
          "Got a FD_CLOSE message for a socket that is no longer in qSimpleClientSockets. (ie The "
          "connection was closed before the message arrived)."),
      1);
  rt.CallBackWindowMainCallBack(kMsgEndSession - 1, 55, kFdClose);
  EXPECT_EQ(CountLines("isn't in one of our queues"), 2);
  rt.CallBackWindowMainCallBack(6119, 55, kFdClose);
  EXPECT_EQ(CountLines("isn't in one of our queues"), 3);
  rt.CallBackWindowMainCallBack(3105, 55, kFdClose);
  EXPECT_EQ(CountLines("ERROR. Critical Error FD_CLOSE called for SS Listening Socket"), 1);
}

TEST_F(NetRuntimeTest, EndSessionClosesTheRuntimeDown) {
  NetRuntime& rt = StartRuntime();
  ASSERT_EQ(rt.NetInitCheck(), 0);
  EXPECT_TRUE(rt.active());
  EXPECT_TRUE(
      HasLine("Linkora Call Back Window Started Okay - received NETDLL:EVENT:CallBackWindowHappy"));
  EXPECT_TRUE(rt.CallBackWindowMainCallBack(kMsgQueryEndSession, 0, 0));
  ASSERT_TRUE(WaitFor([&] { return !rt.active(); }));
  EXPECT_TRUE(rt.closed_down());
  EXPECT_TRUE(HasLine("Received WM_EndSession or WM_QueryEndSession = 17"));
  EXPECT_TRUE(HasLine(
      "CallBackWindowSrc() : Information: Got Event:CloseDown - will close down the DLL process."));
  EXPECT_TRUE(HasLine("CallBackWindowSrc() : Linkora Call Back Window Closed."));
  sink_->Clear();
  rt.NetCloseCallBackWindow();
  EXPECT_TRUE(HasLine("NetCloseCallBackWindow already closed"));
}

TEST_F(NetRuntimeTest, TimerRunsTheCloseCheckEveryTwentyTicks) {
  NetRuntime& rt = StartRuntime({}, [](NetRuntimeOptions* o) { o->tick_ms = 2; });
  ASSERT_EQ(rt.NetInitCheck(), 0);
  ASSERT_TRUE(WaitFor([&] { return rt.close_checks() >= 3; }));
  rt.NetCloseCallBackWindow();
  ASSERT_TRUE(WaitFor([&] { return !rt.active(); }));
  EXPECT_EQ(rt.close_checks(), rt.ticks() / 20);
}

TEST_F(NetRuntimeTest, ShutdownLinesOnlyWithDebugTrace) {
  StartRuntime({"/netdebugtrace"});
  sink_->Clear();
  NetRuntime::Shutdown();
  auto lines = sink_->Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines.front(), "[NetDLL] DLLShutDown(). About to try and unload NetDLL.");
  EXPECT_TRUE(HasLine("[NetDLL] Windows Information. WindowsName = ["));
  EXPECT_TRUE(HasLine("[NetDLL] Unloading Linkora DLL version = 2.4 in application net_test"));
  EXPECT_TRUE(HasLine("[NetDLL] Unloaded Linkora DLL."));
  EXPECT_EQ(lines.back(), "[NetDLL] ===== [LINKORA] " + std::string(79, '='));

  StartRuntime({});
  sink_->Clear();
  NetRuntime::Shutdown();
  EXPECT_TRUE(sink_->Lines().empty()) << DumpLines();
}

TEST_F(NetRuntimeTest, LocalAddressListComesFromTheHostName) {
  NetRuntime& rt = StartRuntime({});
  EXPECT_FALSE(rt.host_name().empty());
  if (rt.local_addresses().empty()) {
    EXPECT_TRUE(PastInfoHas(rt, " DLLStartUp() : Error. This machine has no IP number."));
  } else {
    EXPECT_TRUE(rt.IsLocalAddress(rt.local_addresses().front()));
    EXPECT_FALSE(PastInfoHas(rt, "This machine has no IP number"));
  }
  uint32_t other = 0;
  ASSERT_TRUE(platform::ParseIPv4("192.0.2.77", &other));  // documentation range
  EXPECT_FALSE(rt.IsLocalAddress(other));
}

TEST_F(NetRuntimeTest, SocketLibraryFailureMakesActivationFail) {
  NetRuntime& rt =
      StartRuntime({}, [](NetRuntimeOptions* o) { o->socket_library_available = false; });
  EXPECT_FALSE(rt.socket_library_started());
  EXPECT_TRUE(PastInfoHas(
      rt, " DLLStartUp() : Warning. loc:ret = 0 after WSAStartUp Failed. Setting loc:ret = -31"));
  EXPECT_EQ(rt.NetInitCheck(), -31);
  EXPECT_FALSE(rt.active());
}

TEST(ClientMessageNumbers, HandedOutInOrderWrappingAndSkippingNumbersInUse) {
  std::set<uint32_t> used;
  auto in_use = [&used](uint32_t m) { return used.count(m) != 0; };
  uint32_t counter = kMsgSimpleClientFirst - 1;
  uint32_t m = 0;
  ASSERT_TRUE(ChooseClientMessage(&counter, in_use, &m));
  EXPECT_EQ(m, 6120u);
  ASSERT_TRUE(ChooseClientMessage(&counter, in_use, &m));
  EXPECT_EQ(m, 6121u);
  counter = 7119;
  ASSERT_TRUE(ChooseClientMessage(&counter, in_use, &m));
  EXPECT_EQ(m, 7120u);
  used = {6120, 6121};
  ASSERT_TRUE(ChooseClientMessage(&counter, in_use, &m));
  EXPECT_EQ(m, 6122u);

  for (uint32_t n = 6120; n <= 7120; ++n) used.insert(n);
  EXPECT_FALSE(ChooseClientMessage(&counter, in_use, &m));
  // The one free number is found even when it is the counter's own.
  used.erase(6500);
  counter = 6500;
  ASSERT_TRUE(ChooseClientMessage(&counter, in_use, &m));
  EXPECT_EQ(m, 6500u);
}

}  // namespace
}  // namespace vm::net
