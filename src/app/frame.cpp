#include "app/frame.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "app/gateway_relations.h"
#include "app/log_viewer.h"
#include "app/mailbox_windows.h"
#include "app/procedure_scope.h"
#include "app/records.h"
#include "app/security_window.h"
#include "app/settings_file.h"
#include "app/settings_form.h"
#include "app/stop_message.h"
#include "app/tree_watcher.h"
#include "app/value_rules.h"
#include "framework/ini_placement.h"
#include "net/net_runtime.h"
#include "platform/ascii_text.h"
#include "platform/diag_sink.h"
#include "runtime/fixed_text.h"
#include "runtime/printer_setup.h"
#include "runtime/thread.h"
#include "runtime/window.h"
#include "storage/driver/kfs_ops.h"

namespace vm::app {
namespace {

void RunPass(const FrameOptions& options) {
  GatewayFiles files(options.data_dir, platform::Env::Default(), options.relations);
  if (options.on_scan_start) options.on_scan_start();
  const ScanReport report = send_mail(files, options.scan);
  if (options.on_scan) options.on_scan(report);
}

// Points the watcher at the root of the settings record with the settle
// time of the settings file (both may have changed since the last pass).
void FollowTree(GatewayFiles& files, TreeWatcher& watcher) {
  storage::DeclaredTable& con = files.control();
  if (!con.is_open() || con.Set() != 0 || con.Next() != 0) return;
  const std::string root = ReadControl(con.buffer()).applicate_path;
  platform::Result<SettingsFile> settings = SettingsFile::Read(files.dir());
  const int64_t settle = settings.ok() ? settings->Number(kKeySettle) : kDefaultSettleSeconds;
  watcher.Follow(runtime::IsBlank(root) ? std::string() : root, static_cast<int>(settle));
}

// Asks every window the menu started to close, as the program's close-down
// does (each window of the thread closes; a form as its Cancel does), and
// waits for their threads, all together no longer than kWindowCloseWaitMs.
bool CloseWindows(const std::vector<runtime::ThreadId>& threads) {
  for (runtime::ThreadId t : threads) runtime::Post(t, runtime::kEventCloseDown);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kWindowCloseWaitMs);
  bool all = true;
  for (runtime::ThreadId t : threads) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!runtime::WaitThread(t, std::max(left, std::chrono::milliseconds(0)))) all = false;
  }
  if (!all)
    platform::DiagWrite("voicemail-mailer: a window did not close within " +
                        std::to_string(kWindowCloseWaitMs / 1000) + " s of the frame");
  return all;
}

bool AnyOf(const std::vector<std::string>& args, std::initializer_list<const char*> switches) {
  for (const std::string& a : args) {
    const std::string lower = platform::AsciiLowerCase(a);
    for (const char* s : switches) {
      if (lower == s) return true;
    }
  }
  return false;
}

}  // namespace

int EnsureSettings(GatewayFiles& files) {
  storage::DeclaredTable& con = files.control();
  const int read = con.Set() == 0 ? con.Next() : con.error();
  if (read == 0) return 0;
  // Only an empty table gets the defaults; a read error is not "no record".
  if (read != storage::kErrRecordNotFound && read != storage::kErrRecordNotAvailable) {
    StopMessage(con);
    return read;
  }
  std::fill(con.buffer().begin(), con.buffer().end(), '\0');
  WriteControl(DefaultSettings(), &con.buffer());
  const int rc = con.Add();
  if (rc != 0) StopMessage(con);
  return rc;
}

bool Main(const FrameOptions& frame_options) {
  FrameOptions options = frame_options;
  options.windows.relations = options.relations;
  options.windows.errors = options.scan.dispatch.errors;
  options.windows.data_dir = options.data_dir;
  std::atomic<bool> own_stop{false};
  std::atomic<bool>* const stop = options.stop != nullptr ? options.stop : &own_stop;
  options.scan.stop = stop;
  if (options.scan.memory == nullptr) options.scan.memory = std::make_shared<ScanMemory>();
  ProcedureScope procedure(options.scan.dispatch.errors, "Main");
  GatewayFiles files(options.data_dir, platform::Env::Default(), options.relations);
  OpenTable control(files, Table::kControl);
  if (control.code() != 0)
    OpenFailure(files, Table::kControl, options.scan.dispatch.errors, "Main");

  runtime::Window frame("Send Mail - Quorvane", runtime::WindowStyle::kFrame);
  runtime::ControlRef file_menu = frame.AddMenu("&File");
  // The windows need the program's relation managers.
  runtime::ControlRef control_item, security_item, mailboxes_item, log_item;
  if (options.relations != nullptr) {
    control_item = frame.AddMenuItem(file_menu, "?FILECONTROL", "Control");
    security_item = frame.AddMenuItem(file_menu, "?FILESECURITY", "Security...");
    mailboxes_item = frame.AddMenuItem(file_menu, "?FILEMAILBOXES", "MailBoxes");
  }
  runtime::ControlRef send_item = frame.AddMenuItem(file_menu, "?FILESENDMAIL", "Send Mail");
  runtime::ControlRef print_item =
      frame.AddMenuItem(file_menu, "?PRINTSETUP", "P&rint Setup...", "Setup Printer");
  if (options.relations != nullptr)
    log_item = frame.AddMenuItem(file_menu, "?FILEVIEWLOG", "View Log");
  runtime::ControlRef exit_item =
      frame.AddMenuItem(file_menu, "?EXIT", "E&xit", "Exit this application");
  runtime::ControlRef spooler_menu = frame.AddMenu("Spooler");
  frame.model()->Modify(spooler_menu.number(),
                        [](runtime::Control& c) { c.status_text = "Create and Arrange windows"; });
  runtime::ControlRef spooler_on =
      frame.AddCheckItem(spooler_menu, "?GLO:SPOOLERSPOOLERON", "Spooler On", true);
  frame.SetTimer(options.timer);
  // A recording that has settled starts a pass at once; the timer's pass
  // stays, for whatever the watcher cannot see.
  TreeWatchOptions watch_options = options.watch;
  watch_options.on_ready = [thread = runtime::CurrentThread()] {
    runtime::Post(thread, kEventRecordingsReady);
  };
  TreeWatcher watcher(std::move(watch_options));
  options.scan.watcher = &watcher;

  std::vector<runtime::ThreadId> windows;
  std::vector<runtime::ThreadId> passes;
  while (auto ev = frame.Accept()) {
    if (ev->is(runtime::EventKind::kOpenWindow)) {
      if (control.code() == 0) EnsureSettings(files);
      FollowTree(files, watcher);
      // Files written once the frame is open (and the service ready) are seen.
      watcher.WaitUntilFollowing();
      if (options.on_open) options.on_open(frame);
    } else if (control_item.exists() && ev->accepted(control_item.number())) {
      windows.push_back(runtime::StartThread([w = options.windows] { Control_File(w); }));
    } else if (security_item.exists() && ev->accepted(security_item.number())) {
      windows.push_back(runtime::StartThread([w = options.windows] { Mail_Security(w); }));
    } else if (mailboxes_item.exists() && ev->accepted(mailboxes_item.number())) {
      windows.push_back(runtime::StartThread([w = options.windows] { mailboxes(w); }));
    } else if (log_item.exists() && ev->accepted(log_item.number())) {
      windows.push_back(runtime::StartThread([w = options.windows] { View_Log(w); }));
    } else if (ev->accepted(send_item.number())) {
      // A pass of its own on a new thread; it waits for a running pass.
      passes.push_back(runtime::StartThread([options] { RunPass(options); }));
    } else if (ev->accepted(print_item.number())) {
      runtime::RunPrinterSetup();
    } else if (ev->accepted(exit_item.number())) {
      frame.Close();
    } else if (ev->accepted(spooler_on.number())) {
      frame.SetTimer(spooler_on.checked() ? options.timer : 0);
    } else if (ev->is(runtime::EventKind::kTimer)) {
      frame.SetTimer(0);
      RunPass(options);
      FollowTree(files, watcher);
      if (stop->load()) {
        frame.Close();
      } else {
        frame.SetTimer(spooler_on.checked() ? options.timer : 0);
      }
    } else if (ev->number == kEventRecordingsReady && spooler_on.checked()) {
      RunPass(options);
      FollowTree(files, watcher);
      if (stop->load()) frame.Close();
    }
  }
  // The program ends: passes from the menu end after their message in flight
  // (each step of theirs is bounded), the windows close.
  stop->store(true);
  const bool closed = CloseWindows(windows);
  for (runtime::ThreadId t : passes) {
    while (!runtime::WaitThread(t, std::chrono::milliseconds(500))) {
    }
  }
  return closed;
}

bool RunProgram(const ProgramOptions& options) {
  // Made here, destroyed here unless a window's thread may still use them.
  auto errors_owned = std::make_unique<framework::ErrorManager>();
  framework::ErrorManager& errors = *errors_owned;
  AddValueMessages(&errors);
  auto file_errors_owned = std::make_unique<framework::ErrorManagerErrors>(&errors);
  // One relation manager per table for the program's life; destroyed (in
  // reverse order of making) before the error manager they report through.
  auto relations_owned =
      std::make_unique<GatewayRelations>(options.frame.data_dir, file_errors_owned.get());
  GatewayRelations& relations = *relations_owned;
  {
    // A log of an earlier version's layout is moved before any window can
    // open it (the first open does it; an error shows at the first pass).
    GatewayFiles log(options.frame.data_dir);
    OpenTable open(log, Table::kProcessedFiles);
  }
  FrameOptions frame = options.frame;
  frame.scan.dispatch.errors = &errors;
  frame.relations = &relations;
  net::NetRuntimeOptions net_options;
  net_options.command_line = options.command_line;
  net_options.connect_timeout_ms = options.connect_timeout_ms;
  net::NetRuntime::Start(std::move(net_options));
  // Window placement lives in email.INI in the working directory.
  framework::IniManager ini;
  ini.Open(std::filesystem::path(options.frame.data_dir.empty() ? "." : options.frame.data_dir) /
           framework::IniManager::kFileName);
  runtime::SetPlacementStore(std::make_shared<framework::IniPlacementStore>(&ini));
  // Windows are dragged with their contents on some desktops, and the frame
  // switched that off for its run; Linux window managers have no such
  // system-wide switch, so there is nothing to change or put back here.
  const bool closed = Main(frame);
  runtime::SetPlacementStore(nullptr);
  ini.Save();
  ini.Close();
  net::NetRuntime::Shutdown();
  if (AnyOf(options.command_line, {"/linkoralog", "/linkoralogerrors", "/netall"})) {
    net::NetRuntime::WriteLine("[Net] Closing Down Linkora (Object) version 2.4 in application " +
                               platform::AsciiLowerCase(options.program_path));
    net::NetRuntime::WriteLine("[Net] Runtime: voicemail-mailer runtime library for Linux");
    net::NetRuntime::WriteLine("[Net] Runtime: closed down");
  }
  if (!closed) {
    // A window's thread still uses them: they outlive this call, and the
    // caller ends the process.
    (void)relations_owned.release();
    (void)file_errors_owned.release();
    (void)errors_owned.release();
  }
  return closed;
}

}  // namespace vm::app
