// Entry point of voicemail-mailer: reads the command line and runs the
// gateway as a headless service (--headless) or for one scan pass
// (--scan-once).
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
#include "framework/error_manager.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "platform/file.h"
#include "platform/stop_signals.h"
#include "runtime/message_box.h"
#include "runtime/window.h"
#if VM_HAVE_GUI
#include "gui/desktop.h"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: voicemail-mailer [OPTIONS]\n"
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
    "\n"
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
  std::string error;
};

Args Parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    a.all.emplace_back(arg);
    if (arg == "--help" || arg == "-h") {
      a.help = true;
    } else if (arg == "--headless") {
      a.headless = true;
    } else if (arg == "--scan-once") {
      a.scan_once = true;
    } else if (arg == "--data-dir" || arg == "--trace-file") {
      if (i + 1 >= argc) {
        a.error = std::string(arg) + " needs a value";
        return a;
      }
      (arg == "--data-dir" ? a.data_dir : a.trace_file) = argv[++i];
      a.all.emplace_back(argv[i]);
    } else if (arg.empty() || arg[0] != '/') {
      a.error = "unknown option " + std::string(arg);
      return a;
    }
  }
  return a;
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
        stop_->store(true);
      }
    }
  }
  std::atomic<bool>* stop_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

int ScanOnce(const Args& args, const std::atomic<bool>* stop) {
  vm::net::NetRuntimeOptions net_options;
  net_options.command_line = args.all;
  vm::net::NetRuntime::Start(std::move(net_options));
  vm::app::ScanReport report;
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
  vm::platform::DiagWrite("voicemail-mailer: pass ended: " + std::to_string(report.queued) +
                          " queued, " + std::to_string(report.sent) + " sent, " +
                          std::to_string(report.failed) + " failed");
  if (!report.tables_opened) return kExitCannotStart;
  if (!report.settings_found) {
    std::fprintf(stderr, "voicemail-mailer: no settings record in %s\n",
                 args.data_dir.empty() ? "." : args.data_dir.c_str());
    return kExitCannotStart;
  }
  return report.failed > 0 || report.storage_errors > 0 ? kExitSendFailed : kExitOk;
}

int Headless(const Args& args, const char* program, std::atomic<bool>* stop) {
  vm::app::ProgramOptions options;
  options.command_line = args.all;
  options.program_path = program;
  options.frame.data_dir = args.data_dir;
  options.frame.stop = stop;
  // The frame closes as soon as the stop flag is seen between passes.
  std::atomic<bool> frame_done{false};
  std::thread closer;
  options.frame.on_open = [&](vm::runtime::Window& frame) {
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
    std::fprintf(stderr, "voicemail-mailer: %s\n\n%s", args.error.c_str(), kUsage);
    return kExitCannotStart;
  }
  if (args.help) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  bool windows = !args.headless && !args.scan_once;
#if VM_HAVE_GUI
  if (windows && !vm::gui::DisplayAvailable()) {
    std::fputs("voicemail-mailer: no display available; running headless\n", stderr);
    windows = false;
  }
#else
  if (windows)
    std::fputs("voicemail-mailer: this build has no windowed front end; running headless\n",
               stderr);
  windows = false;
#endif
  if (!args.trace_file.empty()) {
    auto sink = vm::platform::FileSink::Open(args.trace_file);
    if (!sink) {
      std::fprintf(stderr, "voicemail-mailer: cannot write the trace file %s\n",
                   args.trace_file.c_str());
      return kExitCannotStart;
    }
    vm::platform::SetDiagSink(sink);
  }
  const std::string dir = args.data_dir.empty() ? "." : args.data_dir;
  if (!vm::platform::Env::Default()->IsDirectory(dir)) {
    std::fprintf(stderr, "voicemail-mailer: the working directory %s does not exist\n",
                 dir.c_str());
    return kExitCannotStart;
  }
  std::string lock_error;
  auto lock = vm::app::InstanceLock::Acquire(args.data_dir, &lock_error);
  if (!lock) {
    std::fprintf(stderr, "voicemail-mailer: %s\n", lock_error.c_str());
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
