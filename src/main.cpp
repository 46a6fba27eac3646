// Entry point of voicemail-mailer: reads the command line and runs the
// gateway as a headless service (--headless) or for one scan pass
// (--scan-once).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/frame.h"
#include "app/gateway_files.h"
#include "app/instance_lock.h"
#include "app/scanner.h"
#include "app/service_status.h"
#include "app/settings_record.h"
#include "cli/commands.h"
#include "framework/error_manager.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "platform/file.h"
#include "platform/service_notify.h"
#include "platform/stop_signals.h"
#include "runtime/message_box.h"
#include "runtime/window.h"
#if VM_HAVE_GUI
#include "gui/desktop.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: voicemail-mailer [OPTIONS]\n"
    "       voicemail-mailer [--data-dir DIR] COMMAND ...\n"
    "Mails every new voice-mail recording to its mailbox owner over SMTP.\n"
    "Without --headless or --scan-once it shows its main window when a display is\n"
    "available, and runs headless with a one-line notice when none is.\n"
    "\n"
    "Options:\n"
    "  --help             show this text and exit\n"
    "  --headless         run the 60-second spooler without windows (for a service);\n"
    "                     SIGTERM or SIGINT ends it within seconds (see README)\n"
    "  --scan-once        run one scan pass and exit: 0 when every send succeeded,\n"
    "                     1 when any failed, 2 when the program could not start\n"
    "  --data-dir DIR     working directory holding CONTROL.KFS, MAILBOXE.KFS and\n"
    "                     PROCESSE.KFS (default: the current directory)\n"
    "  --trace-file FILE  write diagnostic lines to FILE instead of standard error\n"
    "\n";

constexpr const char* kTraceSwitches =
    "Trace switches of the networking runtime (diagnostic lines):\n"
    "  /netdebugtrace     trace start-up and shutdown of the networking runtime\n"
    "  /netdlllog         trace the networking layer's operations\n"
    "  /netdlllogerrors   trace the networking layer's errors\n"
    "  /netdlllogall      trace everything the networking layer reports\n"
    "  /netall            all of the networking switches\n"
    "  /neterrors         the error switches of the networking layer\n"
    "  /linkoralog        write the closing-down lines at exit\n"
    "  /linkoralogerrors  the same\n";

constexpr int kExitOk = 0;
constexpr int kExitSendFailed = 1;
constexpr int kExitCannotStart = 2;

struct Args {
  bool help = false;
  bool headless = false;
  bool scan_once = false;
  std::string data_dir;
  std::string trace_file;
  std::vector<std::string> all;
  // An administration command and the words after it.
  std::vector<std::string> command;
  std::string error;
};

// The switches of the program itself; once a command's name is met, the
// words after it are the command's, except --data-dir, which may stand
// anywhere on the line.
Args Parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--data-dir" || (arg == "--trace-file" && a.command.empty())) {
      if (i + 1 >= argc) {
        a.error = std::string(arg) + " needs a value";
        return a;
      }
      (arg == "--data-dir" ? a.data_dir : a.trace_file) = argv[++i];
      a.all.emplace_back(arg);
      a.all.emplace_back(argv[i]);
    } else if (!a.command.empty() || vm::cli::IsCommand(arg)) {
      a.command.emplace_back(arg);
    } else if (arg == "--help" || arg == "-h") {
      a.help = true;
    } else if (arg == "--headless") {
      a.headless = true;
    } else if (arg == "--scan-once") {
      a.scan_once = true;
    } else if (arg.empty() || arg[0] != '/') {
      a.error = std::string(arg.empty() || arg[0] != '-' ? "unknown command " : "unknown option ") +
                std::string(arg);
      return a;
    }
    if (a.command.empty()) a.all.emplace_back(arg);
  }
  if (!a.command.empty() && (a.headless || a.scan_once || !a.trace_file.empty()))
    a.error = a.command.front() + " does not go with --headless, --scan-once or --trace-file";
  // "voicemail-mailer --help settings" asks for the command's help.
  if (!a.command.empty() && a.help) a.command.emplace_back("--help");
  return a;
}

// A line saying why the program cannot go on: standard error whatever the
// diagnostic sink, an error of the journal when that is where it goes.
void Fail(const std::string& text) {
  vm::platform::StderrWrite(vm::platform::DiagPriority::kError, "voicemail-mailer: " + text);
}

// Takes SIGTERM/SIGINT on a thread of its own and raises the stop flag; the
// frame or the pass ends after the message in flight.
class StopWatcher {
 public:
  explicit StopWatcher(std::atomic<bool>* stop) : stop_(stop), thread_([this] { Run(); }) {}
  ~StopWatcher() {
    done_ = true;
    thread_.join();
  }

 private:
  void Run() {
    while (!done_) {
      if (int sig = vm::platform::WaitStopSignal(200)) {
        vm::platform::DiagWrite("voicemail-mailer: signal " + std::to_string(sig) +
                                ": stopping after the message in flight");
        vm::platform::NotifyServiceManager(vm::platform::ServiceState::kStopping);
        stop_->store(true);
      }
    }
  }
  std::atomic<bool>* stop_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

int ScanOnce(const Args& args, const std::atomic<bool>* stop) {
  // Without a settings record there is nothing to scan or send with: say
  // only that, and how to make one.
  const std::string dir = args.data_dir.empty() ? "." : args.data_dir;
  const auto settings = vm::app::ReadSettingsRecord(args.data_dir);
  if (settings.ok() && !settings.value().has_value()) {
    Fail("no settings record in " + dir + ", so no pass ran; make one with: voicemail-mailer " +
         "--data-dir " + dir + " settings set server=HOST port=25 from=ADDRESS root=DIR");
    return kExitCannotStart;
  }
  vm::net::NetRuntimeOptions net_options;
  net_options.command_line = args.all;
  vm::net::NetRuntime::Start(std::move(net_options));
  vm::app::ScanReport report;
  vm::app::StatusRecorder status(args.data_dir, vm::app::kScanPeriod / 100);
  status.PassStarted();
  {
    vm::app::GatewayFiles files(args.data_dir);
    vm::framework::ErrorManager errors;
    // A table that cannot be opened is fatal; the message goes to the
    // diagnostic sink and the exit status below says the pass could not start.
    errors.SetExitHandler([](int) {});
    vm::app::ScanOptions options;
    options.stop = stop;
    options.dispatch.errors = &errors;
    report = vm::app::send_mail(files, options);
  }
  vm::net::NetRuntime::Shutdown();
  status.PassEnded(report);
  if (!report.tables_opened) return kExitCannotStart;
  // The line that says why (and how to mend it) has gone to the diagnostic
  // output already.
  if (!report.settings_refused.empty()) return kExitCannotStart;
  vm::platform::DiagWrite("voicemail-mailer: pass ended: " + std::to_string(report.queued) +
                          " queued, " + std::to_string(report.sent) + " sent, " +
                          std::to_string(report.failed) + " failed");
  if (!report.settings_found) {
    Fail("no settings record in " + dir);
    return kExitCannotStart;
  }
  return report.failed > 0 || report.storage_errors > 0 ? kExitSendFailed : kExitOk;
}

// The spooler's period in hundredths of a second. VM_TEST_SCAN_PERIOD (for
// tests only; not a setting) shortens it, so that a test sees a pass every
// second instead of every minute.
int ScanPeriod() {
  const char* text = std::getenv("VM_TEST_SCAN_PERIOD");
  const int period = text != nullptr ? std::atoi(text) : 0;
  return period > 0 ? period : vm::app::kScanPeriod;
}

int Headless(const Args& args, const char* program, std::atomic<bool>* stop) {
  vm::app::ProgramOptions options;
  options.command_line = args.all;
  options.program_path = program;
  options.frame.data_dir = args.data_dir;
  options.frame.stop = stop;
  options.frame.timer = ScanPeriod();
  // What `status` reads: the start and end of each pass. A service manager
  // with a watchdog hears from every pass as it starts, makes progress and
  // ends, so only a pass that stops moving outlives the unit's WatchdogSec.
  vm::app::StatusRecorder status(args.data_dir, std::max(1, options.frame.timer / 100));
  using vm::platform::NotifyServiceManager;
  using vm::platform::ServiceState;
  options.frame.on_scan_start = [&status] {
    status.PassStarted();
    NotifyServiceManager(ServiceState::kWatchdog);
  };
  options.frame.on_scan = [&status](const vm::app::ScanReport& r) {
    status.PassEnded(r);
    NotifyServiceManager(ServiceState::kWatchdog);
  };
  options.frame.scan.on_status = [](const std::string&) {
    NotifyServiceManager(ServiceState::kWatchdog);
  };
  options.frame.scan.on_sent = [] { NotifyServiceManager(ServiceState::kWatchdog); };
  // The frame closes as soon as the stop flag is seen between passes.
  std::atomic<bool> frame_done{false};
  std::thread closer;
  options.frame.on_open = [&](vm::runtime::Window& frame) {
    // The tables are open and the settings record stands: the first pass may start.
    NotifyServiceManager(ServiceState::kReady);
    auto model = frame.model();
    closer = std::thread([model, stop, &frame_done] {
      while (!frame_done && !stop->load())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (stop->load()) model->Post(vm::runtime::kEventCloseWindow);
    });
  };
  const bool closed = vm::app::RunProgram(options);
  frame_done = true;
  if (closer.joinable()) closer.join();
  // A window that did not close in time still runs on its thread: end
  // without the destructors it could race with.
  if (!closed) std::quick_exit(kExitOk);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const Args args = Parse(argc, argv);
  if (!args.error.empty()) {
    Fail(args.error + " (see --help)");
    return kExitCannotStart;
  }
  if (!args.command.empty()) {
    vm::cli::Context context;
    context.data_dir = args.data_dir;
    return vm::cli::RunCommand(args.command, context);
  }
  if (args.help) {
    std::fputs(kUsage, stdout);
    std::fputs(vm::cli::CommandsHelp(), stdout);
    std::fputs("\n", stdout);
    std::fputs(kTraceSwitches, stdout);
    return kExitOk;
  }
  bool windows = !args.headless && !args.scan_once;
#if VM_HAVE_GUI
  if (windows && !vm::gui::DisplayAvailable()) {
    vm::platform::StderrWrite(vm::platform::DiagPriority::kWarning,
                              "voicemail-mailer: no display available; running headless");
    windows = false;
  }
#else
  if (windows)
    vm::platform::StderrWrite(vm::platform::DiagPriority::kWarning,
                              "voicemail-mailer: this build has no windowed front end; running "
                              "headless");
  windows = false;
#endif
  if (!args.trace_file.empty()) {
    auto sink = vm::platform::FileSink::Open(args.trace_file);
    if (!sink) {
      Fail("cannot write the trace file " + args.trace_file);
      return kExitCannotStart;
    }
    vm::platform::SetDiagSink(sink);
  }
  const std::string dir = args.data_dir.empty() ? "." : args.data_dir;
  if (!vm::platform::Env::Default()->IsDirectory(dir)) {
    Fail("the working directory " + dir + " does not exist");
    return kExitCannotStart;
  }
  std::string lock_error;
  auto lock = vm::app::InstanceLock::Acquire(args.data_dir, &lock_error);
  if (!lock) {
    Fail(lock_error);
    return kExitCannotStart;
  }
  // Message boxes go to the diagnostic sink and take the safe answer.
  vm::runtime::SetMessagePresenter(nullptr);
  vm::platform::BlockStopSignals();
  std::atomic<bool> stop{false};
  StopWatcher watcher(&stop);
#if VM_HAVE_GUI
  if (windows) {
    // The same frame procedure, with the Qt renderer and message boxes.
    int code = kExitOk;
    const int gui_code =
        vm::gui::RunDesktop(argc, argv, [&] { code = Headless(args, argv[0], &stop); });
    return gui_code != 0 ? gui_code : code;
  }
#endif
  (void)windows;
  return args.scan_once ? ScanOnce(args, &stop) : Headless(args, argv[0], &stop);
}
