// Start-up, trace and shutdown of the networking runtime.
#include "net/net_runtime.h"

#include <random>
#include <sstream>

#include "net/error_text.h"
#include "platform/ascii_text.h"
#include "platform/byte_coding.h"
#include "platform/diag_sink.h"
#include "platform/registry.h"
#include "platform/winsock_errors.h"
#include "runtime/message_box.h"

namespace vm::net {

namespace {

std::mutex g_current_mu;
NetRuntime* g_current = nullptr;

constexpr const char* kVersionText = "2.4";
constexpr int kCompatibleVersion = 12;
constexpr size_t kLineLimit = 1021;
constexpr size_t kClippedKeep = 1012;
constexpr const char* kGuidKey = "Software\\Dunmarsh\\Linkora\\GUID";
constexpr const char* kTcpipKey = "System\\CurrentControlSet\\Services\\Tcpip\\Parameters";
constexpr const char* kWinKey = "Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kWinNtKey = "Software\\Microsoft\\Windows NT\\CurrentVersion";

std::string BannerRule() {
  return "[NetDLL] ===== [LINKORA] " + std::string(79, '=');
}

std::string RuntimeVersionLine() {
  return std::string("[NetDLL] Built with the C++ runtime of g++ ") + __VERSION__;
}

// A string value of a key, "" when the key or value is missing.
std::string QueryString(platform::RegistryStore& reg, platform::Hive hive, const char* path,
                        const char* name) {
  platform::RegKey key = 0;
  if (reg.OpenKey(hive, path, &key) != platform::kRegSuccess) return "";
  platform::RegType type = platform::RegType::kNone;
  std::vector<uint8_t> data;
  std::string value;
  if (reg.QueryValue(key, name, &type, &data) == platform::kRegSuccess &&
      type == platform::RegType::kString) {
    value.assign(data.begin(), data.end());
    while (!value.empty() && value.back() == '\0') value.pop_back();
  }
  reg.CloseKey(key);
  return value;
}

bool QueryBinary(platform::RegistryStore& reg, platform::RegKey key, const char* name, size_t size,
                 std::vector<uint8_t>* data) {
  platform::RegType type = platform::RegType::kNone;
  return reg.QueryValue(key, name, &type, data) == platform::kRegSuccess && data->size() == size;
}

}  // namespace

// ---- Life ------------------------------------------------------------------

NetRuntime::NetRuntime(NetRuntimeOptions options)
    : options_(std::move(options)),
      clock_(options_.clock != nullptr ? options_.clock : &platform::SystemClock()) {
  registry_ = options_.registry_file.empty()
                  ? std::make_unique<platform::RegistryStore>()
                  : std::make_unique<platform::RegistryStore>(options_.registry_file);
}

NetRuntime::~NetRuntime() = default;

NetRuntime& NetRuntime::Start(NetRuntimeOptions options) {
  auto* rt = new NetRuntime(std::move(options));
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    g_current = rt;
  }
  rt->ReadSwitches();
  rt->ReadWindowsInfo();
  rt->MachineIdentity();
  rt->StartupLine(" NetDLL Info: GUID = " + std::to_string(static_cast<int32_t>(rt->guid_[0])) +
                  " " + std::to_string(static_cast<int32_t>(rt->guid_[1])) +
                  " RunID = " + std::to_string(rt->run_id_) + " Description = " + rt->description_);
  rt->MediaSense();
  rt->DLLStartUp();
  rt->GetIPList();
  return *rt;
}

void NetRuntime::Shutdown() {
  NetRuntime* rt;
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    rt = g_current;
  }
  if (rt == nullptr) return;
  if (rt->active_) rt->NetCloseCallBackWindow();
  if (rt->window_thread_.joinable()) rt->window_thread_.join();
  rt->DLLShutDown();
  {
    std::lock_guard<std::mutex> lock(g_current_mu);
    g_current = nullptr;
  }
  delete rt;
}

NetRuntime* NetRuntime::Current() {
  std::lock_guard<std::mutex> lock(g_current_mu);
  return g_current;
}

int32_t NetInitCheck() {
  NetRuntime* rt = NetRuntime::Current();
  return rt != nullptr ? rt->NetInitCheck() : kNetErrCouldNotLoad;
}

void NetCloseCallBackWindow() {
  if (NetRuntime* rt = NetRuntime::Current()) rt->NetCloseCallBackWindow();
}

// ---- Trace -----------------------------------------------------------------

void NetRuntime::WriteLine(std::string_view line, platform::DiagPriority priority) {
  line = platform::TrimRight(line);
  if (line.size() > kLineLimit) {
    std::string cut(line.substr(0, kClippedKeep));
    cut += " <clipped>";
    platform::DiagWrite(priority, cut);
    return;
  }
  platform::DiagWrite(priority, line);
}

void NetRuntime::TraceLine(std::string_view message, std::string_view function, int level) {
  if (!(full_trace_ || (errors_trace_ && level == kTraceError))) return;
  std::string line = "[NetDLL]  ";
  line.append(platform::TrimRight(function)).append("() : ").append(platform::TrimRight(message));
  WriteLine(line, level == kTraceError ? platform::DiagPriority::kWarning
                                       : platform::DiagPriority::kInfo);
}

void NetRuntime::TraceDetail(std::string_view message, std::string_view function, int level) {
  if (detailed_trace_) TraceLine(message, function, level);
}

void NetRuntime::StartupLine(std::string_view text) {
  std::string line = "[NetDLL] ";
  line.append(text);
  {
    std::lock_guard<std::mutex> lock(past_mu_);
    past_info_.push_back(line);
  }
  if (full_trace_) WriteLine(line);
}

std::vector<std::string> NetRuntime::PastInfo() const {
  std::lock_guard<std::mutex> lock(past_mu_);
  return past_info_;
}

bool NetRuntime::HasSwitch(std::string_view word) const {
  for (const std::string& w : words_) {
    if (w == word) return true;
  }
  return false;
}

void NetRuntime::ReadSwitches() {
  for (const std::string& arg : options_.command_line) {
    std::istringstream in(arg);
    std::string w;
    while (in >> w) words_.push_back(w);
  }
  // The two shorthand switches expand before any switch is read.
  if (HasSwitch("/netall")) {
    for (const char* w : {"/netdebugtrace", "/netdlllogall", "/linkoralog"}) words_.emplace_back(w);
  }
  if (HasSwitch("/neterrors")) {
    for (const char* w : {"/netdebugtrace", "/netdlllogerrors", "/linkoralogerrors"})
      words_.emplace_back(w);
  }
  TurnOnLogging(HasSwitch("/netdlllog"), HasSwitch("/netdlllogerrors"), HasSwitch("/netdlllogall"));
}

void NetRuntime::TurnOnLogging(bool full, bool errors_only, bool detailed) {
  if (full) full_trace_ = true;
  if (errors_only) {
    errors_trace_ = true;
    full_trace_ = false;
    detailed_trace_ = false;
    TraceLine("======== DLL Logging : Errors only (/netdlllogerrors) option on ========",
              "NetTurnOnLogging", kTraceError);
  }
  if (detailed) {
    detailed_trace_ = true;
    TraceLine("Log All (/netdlllogall) option on", "NetTurnOnLogging", kTraceError);
  }
  if (full_trace_) WriteBanner();
}

void NetRuntime::WriteBanner() {
  WriteLine(BannerRule());
  WriteLine("[NetDLL] Using Linkora DLL version = " + std::string(kVersionText) +
            " in application " + options_.program_name + " : Linkora DLL Logging turned On");
  std::string info =
      "[NetDLL] NetDLL Info: NetDLL:CompatableVersion = " + std::to_string(kCompatibleVersion);
  static constexpr std::pair<const char*, int> kSizes[] = {
      {"Net:MaxBinData = ", 16384},
      {"MaxDataPacketSize = ", 16735},
      {"MaxICanDoPacketSize = ", 1254},
      {"MaxAckPacketSize = ", 9060},
      {"PacketInfoLen = ", 24},
      {"ICanDoHeaderLen = ", 68},
      {"DataHeaderLen = ", 108},
      {"AckHeaderLen = ", 60},
      {"AckDataLen = ", 9},
      {"MaxAcksInPackets = ", 1000},
      {"Size(Net:PacketType) = ", 17687},
      {"Size(Net:PublicServicesQType) = ", 599},
      {"Size(Net:ServiceType) = ", 1117},
      {"Size(Net:RemoteType) = ", 149}};
  for (const auto& [label, value] : kSizes) {
    info.push_back(' ');
    info.append(label);
    info.append(std::to_string(value));
  }
  WriteLine(info);
  WriteLine(RuntimeVersionLine());
  std::vector<std::string> past;
  {
    std::lock_guard<std::mutex> lock(past_mu_);
    past.swap(past_info_);
  }
  for (const std::string& line : past) WriteLine("[NetDLL]  [Past Info] " + line);
}

// ---- Registry --------------------------------------------------------------

void NetRuntime::ReadWindowsInfo() {
  using platform::Hive;
  windows_name_ = QueryString(*registry_, Hive::kLocalMachine, kWinNtKey, "ProductName");
  if (windows_name_.empty()) windows_name_ = platform::SystemVersionText();
  windows_version_ = QueryString(*registry_, Hive::kLocalMachine, kWinNtKey, "CurrentVersion");
  windows_build_ = QueryString(*registry_, Hive::kLocalMachine, kWinNtKey, "CurrentBuildNumber");
  system_root_ = QueryString(*registry_, Hive::kLocalMachine, kWinNtKey, "SystemRoot");
  for (const char* key : {kWinKey, kWinNtKey}) {
    if (reg_owner_.empty())
      reg_owner_ = QueryString(*registry_, Hive::kLocalMachine, key, "RegisteredOwner");
    if (reg_org_.empty())
      reg_org_ = QueryString(*registry_, Hive::kLocalMachine, key, "RegisteredOrganization");
  }
  description_ =
      reg_owner_.empty() && reg_org_.empty() ? "<no description>" : reg_owner_ + " at " + reg_org_;
}

void NetRuntime::MachineIdentity() {
  platform::RegistryStore& reg = *registry_;
  platform::RegKey key = 0;
  if (reg.CreateKey(platform::Hive::kCurrentUser, kGuidKey, &key) != platform::kRegSuccess) {
    reg.OpenKey(platform::Hive::kCurrentUser, kGuidKey, &key);
  }
  std::vector<uint8_t> data;
  if (QueryBinary(reg, key, "GUID", 8, &data)) {
    guid_[0] = platform::DecodeFixed32(data.data());
    guid_[1] = platform::DecodeFixed32(data.data() + 4);
  } else {
    StartupLine(
        " DLLStartUp() : Having to create a new GUID for this machine. This GUID will be stored in "
        "the registry");
    platform::LocalDateTime now = clock_->Now();
    int32_t days = platform::DayNumberFromCivil(now.year, now.month, now.day) -
                   platform::DayNumberFromCivil(2000, 1, 1);
    guid_[0] =
        static_cast<uint32_t>((days + 1) * 100000 + now.hour * 3600 + now.minute * 60 + now.second);
    std::random_device rd;
    std::uniform_int_distribution<uint32_t> any;
    guid_[1] = any(rd);
    std::vector<uint8_t> out;
    platform::PutFixed32(&out, guid_[0]);
    platform::PutFixed32(&out, guid_[1]);
    if (reg.SetValue(key, "GUID", platform::RegType::kBinary, out) != platform::kRegSuccess) {
      StartupLine(" DLLStartUp() : Error. Could not store GUID in the registry.");
    } else {
      StartupLine(" DLLStartUp() : GUID stored in Registry.");
    }
  }
  std::vector<uint8_t> desc(description_.begin(), description_.end());
  desc.push_back(0);
  reg.SetValue(key, "Description", platform::RegType::kString, desc);

  uint32_t run_id = 0;
  if (QueryBinary(reg, key, "RUNID", 4, &data)) run_id = platform::DecodeFixed32(data.data());
  run_id_ = run_id + 1;
  std::vector<uint8_t> out;
  platform::PutFixed32(&out, run_id_);
  reg.SetValue(key, "RUNID", platform::RegType::kBinary, out);
  uint32_t read_back = 0;
  if (QueryBinary(reg, key, "RUNID", 4, &data)) read_back = platform::DecodeFixed32(data.data());
  if (key != 0) reg.CloseKey(key);
  if (read_back != run_id_) {
    runtime::Message("Could not write to the registry. Linkora will not be able to load",
                     "Linkora loading error", runtime::MessageIcon::kStop);
  }
}

void NetRuntime::MediaSense() {
  platform::RegistryStore& reg = *registry_;
  platform::RegKey key = 0;
  if (reg.CreateKey(platform::Hive::kLocalMachine, kTcpipKey, &key) != platform::kRegSuccess) {
    reg.OpenKey(platform::Hive::kLocalMachine, kTcpipKey, &key);
  }
  uint32_t value = 0;
  if (reg.QueryDword(key, "LinkoraDontChangeMediaSense", &value) == platform::kRegNotFound) {
    reg.SetDword(key, "LinkoraDontChangeMediaSense", 0);
  }
  uint32_t disabled = 0;
  if (reg.QueryDword(key, "DisableDHCPMediaSense", &disabled) != platform::kRegSuccess)
    disabled = 0;
  uint32_t dont_change = 1;
  if (disabled == 0 &&
      reg.QueryDword(key, "LinkoraDontChangeMediaSense", &dont_change) != platform::kRegSuccess) {
    dont_change = 1;
  }
  if (disabled != 0) {
    // Media Sense is off already.
  } else if (dont_change == 1) {
    StartupLine(
        " DLLStartUp() : Warning. Windows is using Media Sense. This could cause your Network to "
        "appear disabled. "
        "This will cause Linkora to behave unpredictably. The LinkoraDontChangeMediaSense registry "
        "string prevents "
        "Linkora from disabling Media Sense.");
  } else {
    reg.SetDword(key, "DisableDHCPMediaSense", 1);
    reg.SetDword(key, "LinkoraDontChangeMediaSense", 0);
    uint32_t check = 0;
    if (reg.QueryDword(key, "DisableDHCPMediaSense", &check) == platform::kRegSuccess &&
        check == 1) {
      StartupLine(
          " DLLStartUp() : Linkora has successfully disabled Media Sense option in registry.");
    } else {
      StartupLine(
          " DLLStartUp() : Error. Windows is using Media Sense. Linkora was unable to disable "
          "Media Sense (probably "
          "no registry permissions).");
    }
  }
  if (key != 0) reg.CloseKey(key);
}

// ---- Socket library --------------------------------------------------------

void NetRuntime::DLLStartUp() {
  StartupLine(" DLLStartUp() : About to call WSAStartUp");
  const std::string details =
      " WinSock Asked Version = 2.0 WinSock Returned Version = 2.0 High Version = 2.2 Description "
      "= POSIX sockets "
      "System Status = Running Max Sockets = 0 Max UDP Datagram Size = 65507";
  if (options_.socket_library_available) {
    StartupLine(" DLLStartUp() : WSA Startup Okay : " + details);
    StartupLine(" DLLStartUp() : Cool. WinSock version 2.0 supported.");
    wsa_started_ = true;
    wsa_version2_ = true;
    return;
  }
  // The socket library could not be started (only when a test asks for it).
  const int code = platform::kWsaSysnotready;
  StartupLine(
      " DLLStartUp() : WSA Startup error while trying to load WinSock 2.0, will try load WinSock "
      "1.1 instead");
  StartupLine(" DLLStartUp() : WSA Startup error: " + std::to_string(code) +
              " Which means = " + NetErrorStr(code) + details);
  StartupLine(
      " DLLStartUp() : WSA Startup error (after calling WSAGetLastError()): 0 Which means = " +
      NetErrorStr(0) + details);
  StartupLine(" DLLStartUp() : Warning. loc:ret = 0 after WSAStartUp Failed. Setting loc:ret = " +
              std::to_string(kNetErrCouldNotLoad));
  wsa_started_ = false;
  wsa_version2_ = false;
}

void NetRuntime::GetIPList() {
  int err = platform::HostName(&host_name_);
  if (err == 0) err = platform::ResolveAllIPv4(host_name_, &local_addresses_);
  if (err != 0) {
    TraceLine("Could not GetHostByName(). Error = " + std::to_string(err) + " " + NetErrorStr(err),
              "GetIPList", kTraceError);
  }
  if (local_addresses_.empty()) {
    StartupLine(
        " DLLStartUp() : Error. This machine has no IP number. Linkora wont work without an IP "
        "address.");
  }
}

bool NetRuntime::IsLocalAddress(uint32_t addr) const {
  for (uint32_t a : local_addresses_) {
    if (a == addr) return true;
  }
  return false;
}

int32_t NetRuntime::TimeOfDay() const {
  platform::LocalDateTime now = clock_->Now();
  return platform::TimeOfDayFrom(now.hour, now.minute, now.second, now.millisecond / 10);
}

void NetRuntime::DLLShutDown() {
  const bool lines = HasSwitch("/netdebugtrace");
  if (lines) WriteLine("[NetDLL] DLLShutDown(). About to try and unload NetDLL.");
  // Dial-up networking is never loaded by this program, so it has nothing to unload.
  CloseAll();
  wsa_started_ = false;
  if (!lines) return;
  uint32_t up = clock_->TickCount() / 1000;
  std::string up_time = std::to_string(up / 86400) + " days " + std::to_string(up / 3600 % 24) +
                        " hours " + std::to_string(up / 60 % 60) + " minutes " +
                        std::to_string(up % 60) + " seconds";
  WriteLine("[NetDLL] Windows Information. WindowsName = [" + windows_name_ +
            "] WindowsVersion = [" + windows_version_ + "] WindowsBuildNumber = [" +
            windows_build_ + "] GetVersion = " + platform::SystemVersionText() +
            " GetVersionRelease = " + windows_version_ + " SystemRoot = " + system_root_ +
            " RegOrganization = " + reg_org_ + " RegOwner = " + reg_owner_ +
            " Up_Time = " + up_time);
  WriteLine("[NetDLL] Unloading Linkora DLL version = " + std::string(kVersionText) +
            " in application " + options_.program_name);
  WriteLine(RuntimeVersionLine());
  WriteLine("[NetDLL] Unloaded Linkora DLL.");
  WriteLine(BannerRule());
}

}  // namespace vm::net
