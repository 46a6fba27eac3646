// Watches the voice-mail tree so that a recording is mailed soon after it is
// written: the root (new mailbox folders), each mailbox folder's `msg`
// folder, and a mailbox folder itself while it has no `msg` yet. A recording
// closed after writing, or moved into `msg`, is ready `settle` seconds later;
// the watcher then calls `on_ready` (the frame runs a pass). Passes ask it
// which folders changed (TakeChanges) so that they list those again, and
// which it covers (Covers), so that they need not look at the others. Owned
// by the frame; its thread is its own; every member may be called from any
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>

#include "platform/dir_watch.h"

namespace vm::app {

// The frame's event for "recordings are ready: run a pass".
inline constexpr int32_t kEventRecordingsReady = 2100;

// Folders ("<root>/<folder>/msg/", as a pass names them) that changed or are
// not watched, or all of them when events were lost.
struct FolderChanges {
  bool all = false;
  std::set<std::string> dirs;
};

struct TreeWatchOptions {
  std::function<platform::Result<std::unique_ptr<platform::DirWatch>>()> open =
      platform::OpenDirWatch;
  // Called on the watcher's thread when recordings have stood settle seconds.
  std::function<void()> on_ready;
  // Whether a watch of a folder may miss changes (a network file system):
  // such a folder is watched but not covered.
  std::function<bool(const std::string&)> may_miss = platform::MayMissChanges;
};

class TreeWatcher {
 public:
  explicit TreeWatcher(TreeWatchOptions options);
  ~TreeWatcher();  // ends the thread
  TreeWatcher(const TreeWatcher&) = delete;
  TreeWatcher& operator=(const TreeWatcher&) = delete;

  // Watches `root` (a new root drops the old watches), recordings ready
  // `settle_seconds` after their close. A blank root watches nothing.
  void Follow(const std::string& root, int settle_seconds);
  // What changed since the last call. While the tree is not watched (no
  // root yet, the system refused), every folder counts as changed.
  FolderChanges TakeChanges();
  // Whether every change to the entries of msg folder `dir` (as a pass
  // names it) is reported by TakeChanges, at the latest by the call after
  // the next: it is watched on a local file system, and its watch was set
  // up before the last call that did not report it. A folder it does not
  // cover is looked at by the pass itself.
  bool Covers(const std::string& dir) const;
  // Blocks until the watcher has set up the watches of the last Follow
  // (tests, so that their files come after the watches).
  void WaitUntilFollowing();

 private:
  using SteadyTime = std::chrono::steady_clock::time_point;
  enum class Kind { kRoot, kMailbox, kMsg };
  struct Watched {
    Kind kind;
    std::string path;  // the directory; for kMsg the pass's name, ending in "/"
  };

  void Run();
  void SetUp(const std::string& root);
  void WatchMailboxFolder(const std::string& folder);
  void Lost(int watch, const Watched& w);
  bool AddWatch(const std::string& dir, Kind kind, const std::string& path);
  void Handle(const platform::DirEvent& e);
  void HandleInMsg(const Watched& w, const platform::DirEvent& e);
  void HandleInMailbox(const Watched& w, const platform::DirEvent& e);
  void ScheduleReady();
  int MillisecondsToNextReady() const;
  void FireDue();
  void Warn(const std::string& line);

  TreeWatchOptions o_;
  std::unique_ptr<platform::DirWatch> watch_;
  std::thread thread_;

  mutable std::mutex mu_;
  std::condition_variable following_;
  bool stop_ = false;
  bool failed_ = false;  // no watch at all: every folder counts as changed
  std::string wanted_root_;
  std::string root_;  // the root the watches are set up for
  int settle_seconds_ = 45;
  bool all_changed_ = true;  // events lost, or no watches yet
  std::set<std::string> changed_;
  std::set<std::string> unwatched_;          // msg folders the system refused a watch
  std::unordered_set<std::string> covered_;  // msg folders watched on a local file system

  // The watcher thread's own.
  std::map<int, Watched> watches_;
  std::multiset<SteadyTime> ready_at_;
  bool warned_limit_ = false;
  bool warned_overflow_ = false;
};

}  // namespace vm::app
