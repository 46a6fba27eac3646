// send_mail: one scan-and-send pass. Lists the recordings of every enabled
// mailbox, queues the new ones (older than `settle`, not yet known by mailbox,
// name and recording time) in ProcessedFiles, then sends every waiting row in record order through
// ActualSend and writes each outcome back. Only one pass runs at a time in
// the process: a pass asked for while another runs waits for it. Runs on
// the calling thread (with its status window there) and blocks it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/dispatcher.h"
#include "app/gateway_files.h"
#include "app/mailbox_folders.h"
#include "app/records.h"
#include "platform/dir_stamp.h"

namespace vm::platform {
class Clock;
}

namespace vm::app {

class TreeWatcher;

// Each folder the tree watcher says is unchanged still has its stamp taken
// every this many passes (a tenth of the mailboxes each pass, in turn): a
// change whose event was missed is found then at the latest.
inline constexpr int kStampTurns = 10;

// What passes remember from one to the next in one run: the names already
// reported as passed over (links and other files that are no recordings), so
// each gets one diagnostic line, not one every pass; the `msg` folders
// whose last complete listing found nothing left to do, by mailbox, with the
// stamp the folder had then: while its stamp stays the same, a folder is not
// listed again; the mailbox rows and the root's folders as last read, with
// the stamps that tell whether they are still so. Used under the one-pass
// lock only.
struct ScanMemory {
  std::set<std::string> reported;
  std::unordered_map<std::string, platform::DirStamp> unchanged;  // by "<root>/<folder>/msg/"
  // The rows of the mailbox table in record order, as read while the table
  // file had `mailboxes_stamp` (app/table_stamp.h; "": read them again),
  // and by the same index the "<root>/<folder>/msg/" of each folder that
  // names the mailbox (made anew with the rows or the folders).
  std::vector<MailboxRow> mailboxes;
  std::string mailboxes_stamp;
  std::vector<std::vector<std::string>> mailbox_dirs;
  // The folders of `folders_root`, listed while the root had `root_stamp`
  // (none: list them again).
  std::optional<MailboxFolders> folders;
  std::string folders_root;
  std::optional<platform::DirStamp> root_stamp;
  int stamp_turn = 0;  // the turn of the last pass, 0 to kStampTurns - 1

  // Lists every folder again at the next pass (events were lost).
  void ForgetFolders() { unchanged.clear(); }
};

struct ScanOptions {
  // Current date and time for the age test and the queue date (null: system).
  const platform::Clock* clock = nullptr;
  // Limits of each send, and the error manager (also told "send_mail").
  DispatchOptions dispatch;
  // Set from another thread to end the pass: nothing further is queued or
  // sent; the message in flight is abandoned and stays waiting when the
  // server cannot have it whole yet, else its reply is waited for (a few
  // seconds at most) and written (DispatchOptions::stop, which it also is
  // unless set apart).
  const std::atomic<bool>* stop = nullptr;
  // Sees every status text as it is shown (tests, the demo, the service's
  // watchdog).
  std::function<void(const std::string&)> on_status;
  // Called after each send, once its outcome is written (the service's
  // watchdog: a pass that sends is alive).
  std::function<void()> on_sent;
  // Shared by the passes of one run (null: the pass keeps its own).
  std::shared_ptr<ScanMemory> memory;
  // Whether a folder unchanged since a listing that left nothing to do is
  // passed over (off: every folder is listed and every file looked up).
  bool skip_unchanged = true;
  // Tells each pass which folders changed since the last and which it
  // covers (null: none watched; folders are then passed over on their
  // stamps alone). While it reports no lost events, a covered folder
  // remembered as unchanged is passed over without a look at its stamp.
  TreeWatcher* watcher = nullptr;
};

struct ScanReport {
  int queued = 0;          // rows added this pass
  int sent = 0;            // sends that ended with the server's acceptance
  int failed = 0;          // sends that ended with an error
  int retrying = 0;        // of those, rows left waiting for a later attempt
  int deferred = 0;        // waiting rows not tried: the server was gone
  int storage_errors = 0;  // stop messages shown
  bool settings_found = false;
  bool tables_opened = false;
  bool stopped = false;  // the stop flag ended the pass early
  // What the queueing part of the pass looked at: rows read from the
  // mailbox table (0 when the last pass's rows still stood), msg folders
  // whose stamp was taken, and msg folders listed.
  int mailboxes_read = 0;
  int folders_stamped = 0;
  int folders_listed = 0;
  // Why the settings file could not be used ("" when it could): the pass
  // then queued and sent nothing.
  std::string settings_refused;
  std::string last_status;
  // The last failed send: "mailbox N file NAME: CODE TEXT" (file name and
  // text as the diagnostic line shows them); "" when none failed.
  std::string last_failure;
};

// Age a recording must reach before it is queued, in seconds, while the
// settings file holds no `settle`.
inline constexpr int64_t kDefaultSettleSeconds = 45;

ScanReport send_mail(GatewayFiles& files, const ScanOptions& options = {});

}  // namespace vm::app
