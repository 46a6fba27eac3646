// The main frame `Main` and the program's start-up and shutdown around it.
// The frame is a runtime window with the gateway's menu and a timer that runs
// one scan pass per period on the frame's own thread; menu items start their
// procedures on threads of their own. It runs with or without a renderer
// (headless: the same loops, nothing shown). Main runs on the calling thread
// until the frame closes.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "app/app_windows.h"
#include "app/scanner.h"
#include "app/tree_watcher.h"

namespace vm::runtime {
class Window;
}

namespace vm::app {

// The frame's timer period in hundredths of a second (60 s).
inline constexpr int kScanPeriod = 6000;
// Longest wait, all together, for the windows the menu started to close once
// the frame has closed.
inline constexpr int kWindowCloseWaitMs = 5000;

class GatewayRelations;

struct FrameOptions {
  std::string data_dir;  // working directory of the table files
  // The program's relation managers (RunProgram makes them; null: none).
  GatewayRelations* relations = nullptr;
  // The hook of the windows the menu starts (their relation managers and
  // error manager are the frame's own).
  WindowOptions windows;
  int timer = kScanPeriod;  // scan period (tests shorten it)
  ScanOptions scan;         // every pass the frame starts uses these (stop: below)
  // How the tree is watched (tests put lost events in place of the
  // kernel's); on_ready is the frame's own.
  TreeWatchOptions watch;
  // The program's stop flag (SIGTERM), which every pass watches; the frame
  // closes when it sees it after a pass, and raises it itself when it
  // closes, so passes started from the menu end too (null: the frame's own).
  std::atomic<bool>* stop = nullptr;
  // Called once the frame window is open (the renderer or a test gets hold
  // of it); as each pass starts (on the pass's thread); and with each
  // finished pass.
  std::function<void(runtime::Window&)> on_open;
  std::function<void()> on_scan_start;
  std::function<void(const ScanReport&)> on_scan;
};

// The frame procedure. Returns when the frame has closed (Exit, or a close
// posted to it on a stop request) and every pass it started has ended. The
// windows the menu started are then closed as by a close-down (a form as its
// Cancel does), and their threads waited for at most kWindowCloseWaitMs.
// Returns whether they all ended; a window thread still running uses the
// objects the options point to, so the caller must not destroy them then.
bool Main(const FrameOptions& options);

// Adds the default settings record when Control holds none; a failed add
// shows the stop message. Returns the storage code of the add (0 when a
// record was there already or was added).
int EnsureSettings(GatewayFiles& files);

struct ProgramOptions {
  FrameOptions frame;
  std::vector<std::string> command_line;  // for the trace switches
  std::string program_path;
  int connect_timeout_ms = 30000;
};

// Start-up, the frame, shutdown, in the program's order: the INI file is
// saved and the networking runtime shut down whatever the windows did.
// Returns Main's answer. False: a window's thread may still be running, so
// the program objects it uses are left alive, and the caller should end the
// process without running destructors (std::quick_exit); the files are
// saved, and the locks go with the process.
bool RunProgram(const ProgramOptions& options);

}  // namespace vm::app
