#include "app/tree_watcher.h"

#include <algorithm>

#include "app/mailbox_folders.h"
#include "platform/diag_sink.h"
#include "runtime/directory.h"

namespace vm::app {
namespace {

// Without events to wait for, the thread still looks at its settings this
// often (a new root, the end).
constexpr int kIdleWaitMs = 1000;
// Beyond settle, so that the pass's age test, which reads the clock in
// hundredths of a second, sees the recording as old enough.
constexpr auto kReadyMargin = std::chrono::milliseconds(50);

bool IsRecordingName(const std::string& name) {
  return runtime::MatchesPattern(name, "*.wav");
}

}  // namespace

TreeWatcher::TreeWatcher(TreeWatchOptions options) : o_(std::move(options)) {
  platform::Result<std::unique_ptr<platform::DirWatch>> w = o_.open();
  if (!w.ok()) {
    Warn("the tree is not watched (" + w.status().message() +
         "): recordings are found by the 60-second pass");
    failed_ = true;
    return;
  }
  watch_ = std::move(*w);
  thread_ = std::thread([this] { Run(); });
}

TreeWatcher::~TreeWatcher() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  if (watch_ != nullptr) watch_->Wake();
  if (thread_.joinable()) thread_.join();
}

void TreeWatcher::Follow(const std::string& root, int settle_seconds) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    settle_seconds_ = settle_seconds;
    if (wanted_root_ == root) return;
    wanted_root_ = root;
  }
  if (watch_ != nullptr) watch_->Wake();
}

FolderChanges TreeWatcher::TakeChanges() {
  std::lock_guard<std::mutex> lock(mu_);
  FolderChanges out;
  out.all = all_changed_ || failed_ || root_ != wanted_root_;
  out.dirs.swap(changed_);
  out.dirs.insert(unwatched_.begin(), unwatched_.end());
  if (root_ == wanted_root_ && !root_.empty()) all_changed_ = false;
  return out;
}

bool TreeWatcher::Covers(const std::string& dir) const {
  std::lock_guard<std::mutex> lock(mu_);
  return !failed_ && covered_.count(dir) != 0;
}

void TreeWatcher::WaitUntilFollowing() {
  std::unique_lock<std::mutex> lock(mu_);
  following_.wait(lock, [this] { return stop_ || failed_ || root_ == wanted_root_; });
}

void TreeWatcher::Run() {
  for (;;) {
    std::string wanted;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_) return;
      wanted = wanted_root_;
    }
    if (wanted != root_) SetUp(wanted);
    platform::Result<std::vector<platform::DirEvent>> events =
        watch_->Wait(MillisecondsToNextReady());
    if (!events.ok()) {
      Warn("watching the tree failed (" + events.status().message() +
           "): recordings are found by the 60-second pass");
      std::lock_guard<std::mutex> lock(mu_);
      failed_ = true;
      following_.notify_all();
      return;
    }
    for (const platform::DirEvent& e : *events) Handle(e);
    FireDue();
  }
}

// Drops every watch and watches `root`, each mailbox folder's msg folder
// (the folder itself while it has none). Every folder counts as changed
// once, since events before the watches are unknown.
void TreeWatcher::SetUp(const std::string& root) {
  for (const auto& [watch, w] : watches_) watch_->Remove(watch);
  watches_.clear();
  {
    std::lock_guard<std::mutex> lock(mu_);
    all_changed_ = true;
    unwatched_.clear();
    covered_.clear();
  }
  if (!root.empty() && AddWatch(root, Kind::kRoot, root)) {
    for (const runtime::FileEntry& e :
         runtime::ListDirectory(root + "/*", runtime::ListKind::kFilesAndDirectories)) {
      int16_t number = 0;
      if ((e.attrib & runtime::kAttrDirectory) != 0 && MailboxNumberOf(e.name, &number))
        WatchMailboxFolder(root + "/" + e.name);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  root_ = root;
  following_.notify_all();
}

void TreeWatcher::WatchMailboxFolder(const std::string& folder) {
  if (AddWatch(folder + "/msg", Kind::kMsg, folder + "/msg/")) return;
  AddWatch(folder, Kind::kMailbox, folder);
}

// A msg folder watched anew is listed once by the next pass (a recording
// may have come before the watch); while the whole tree counts as changed
// (being set up) that goes without saying.
bool TreeWatcher::AddWatch(const std::string& dir, Kind kind, const std::string& path) {
  platform::Result<int> w = watch_->Add(dir);
  if (w.ok()) {
    watches_[*w] = Watched{kind, path};
    if (kind != Kind::kMsg) return true;
    const bool covered = !o_.may_miss(dir);
    std::lock_guard<std::mutex> lock(mu_);
    if (!all_changed_) changed_.insert(path);
    if (covered) covered_.insert(path);
    return true;
  }
  if (w.status().code() == platform::Code::kNotFound) return false;
  if (kind == Kind::kMsg) {
    std::lock_guard<std::mutex> lock(mu_);
    unwatched_.insert(path);
  }
  if (!warned_limit_) {
    warned_limit_ = true;
    Warn("some folders are not watched (" + w.status().message() +
         "): their recordings are found by the 60-second pass");
  }
  return kind == Kind::kMsg;
}

void TreeWatcher::Handle(const platform::DirEvent& e) {
  if (e.kind == platform::DirEvent::Kind::kOverflow) {
    if (!warned_overflow_) {
      warned_overflow_ = true;
      Warn(
          "events of the tree were lost (queue overflow): the 60-second pass lists every "
          "folder after each loss (said once a run)");
    }
    std::lock_guard<std::mutex> lock(mu_);
    all_changed_ = true;
    return;
  }
  const auto it = watches_.find(e.watch);
  if (it == watches_.end()) return;
  const Watched w = it->second;
  if (e.kind == platform::DirEvent::Kind::kGone && e.name.empty()) return Lost(e.watch, w);
  if (w.kind == Kind::kMsg) return HandleInMsg(w, e);
  if (w.kind == Kind::kMailbox) return HandleInMailbox(w, e);
  int16_t number = 0;
  const bool made =
      e.kind == platform::DirEvent::Kind::kMade || e.kind == platform::DirEvent::Kind::kMovedIn;
  if (made && e.is_directory && MailboxNumberOf(e.name, &number)) {
    WatchMailboxFolder(w.path + "/" + e.name);
    ScheduleReady();
  }
}

// A watched directory removed or moved away: a msg folder is listed once
// more, and its mailbox folder watched so that a new msg is seen; without
// its root the tree is set up again (a root made anew is watched then).
void TreeWatcher::Lost(int watch, const Watched& w) {
  watch_->Remove(watch);
  watches_.erase(watch);
  if (w.kind == Kind::kRoot) {
    std::lock_guard<std::mutex> lock(mu_);
    root_.clear();
    all_changed_ = true;
    return;
  }
  if (w.kind != Kind::kMsg) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed_.insert(w.path);
    covered_.erase(w.path);
  }
  const std::string folder = w.path.substr(0, w.path.size() - std::string("/msg/").size());
  WatchMailboxFolder(folder);
}

// Any event marks the folder for listing; a recording closed after writing
// or moved in also makes a pass due once it has settled.
void TreeWatcher::HandleInMsg(const Watched& w, const platform::DirEvent& e) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed_.insert(w.path);
  }
  const bool complete = e.kind == platform::DirEvent::Kind::kClosedAfterWriting ||
                        e.kind == platform::DirEvent::Kind::kMovedIn;
  if (complete && !e.is_directory && IsRecordingName(e.name)) ScheduleReady();
}

// A mailbox folder without msg: once msg appears it is watched instead, and
// a pass lists it (a recording may have come before the watch).
void TreeWatcher::HandleInMailbox(const Watched& w, const platform::DirEvent& e) {
  const bool made =
      e.kind == platform::DirEvent::Kind::kMade || e.kind == platform::DirEvent::Kind::kMovedIn;
  if (!made || !e.is_directory || e.name != "msg") return;
  if (!AddWatch(w.path + "/msg", Kind::kMsg, w.path + "/msg/")) return;
  watch_->Remove(e.watch);
  watches_.erase(e.watch);
  {
    std::lock_guard<std::mutex> lock(mu_);
    changed_.insert(w.path + "/msg/");
  }
  ScheduleReady();
}

void TreeWatcher::ScheduleReady() {
  int settle = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    settle = settle_seconds_;
  }
  ready_at_.insert(std::chrono::steady_clock::now() + std::chrono::seconds(settle) + kReadyMargin);
}

int TreeWatcher::MillisecondsToNextReady() const {
  if (ready_at_.empty()) return kIdleWaitMs;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      *ready_at_.begin() - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, kIdleWaitMs));
}

// One call of on_ready for every recording due by now: the pass it starts
// queues them all.
void TreeWatcher::FireDue() {
  const auto now = std::chrono::steady_clock::now();
  if (ready_at_.empty() || *ready_at_.begin() > now) return;
  ready_at_.erase(ready_at_.begin(), ready_at_.upper_bound(now));
  if (o_.on_ready) o_.on_ready();
}

void TreeWatcher::Warn(const std::string& line) {
  platform::DiagWrite(platform::DiagPriority::kWarning, "voicemail-mailer: warning: " + line);
}

}  // namespace vm::app
