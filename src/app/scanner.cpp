#include "app/scanner.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "app/attachment_limit.h"
#include "app/gateway_tables.h"
#include "app/mail_settings.h"
#include "app/mailbox_folders.h"
#include "app/procedure_scope.h"
#include "app/records.h"
#include "app/retry_policy.h"
#include "app/send_retry.h"
#include "app/stop_message.h"
#include "app/table_stamp.h"
#include "app/tags.h"
#include "app/tree_watcher.h"
#include "platform/clock.h"
#include "platform/diag_sink.h"
#include "platform/hex_text.h"
#include "runtime/date_time.h"
#include "runtime/directory.h"
#include "runtime/fixed_text.h"
#include "runtime/window.h"
#include "storage/driver/kfs_ops.h"

namespace vm::app {
namespace {

// One pass at a time in the process: a second caller waits here.
std::mutex& ScanMutex() {
  static std::mutex mu;
  return mu;
}

// A file name as a diagnostic line shows it: control characters (a CR or LF
// in a hostile name would start a line of its own) as "\xNN".
std::string Shown(const std::string& name) {
  return platform::ShowControls(name);
}

// The log's pages kept while the recordings are looked up. The look-ups go
// in mailbox order, the key's own order, so each key page is wanted for a
// short run of look-ups and then not again this pass: a few megabytes hold
// every page a run needs, whatever the size of the log.
constexpr size_t kListingCacheBytes = 4u << 20;

// A row the send loop could not tell apart from the end of the table.
bool EndOfTable(int rc) {
  return rc == storage::kErrRecordNotFound || rc == storage::kErrRecordNotAvailable;
}

class Pass {
 public:
  Pass(GatewayFiles& files, const ScanOptions& o, runtime::Window& w, runtime::ControlRef status,
       ScanReport& r)
      : files_(files),
        o_(o),
        clock_(o.clock != nullptr ? *o.clock : platform::SystemClock()),
        w_(w),
        status_(std::move(status)),
        r_(r),
        memory_(o.memory != nullptr ? o.memory : std::make_shared<ScanMemory>()) {}

  void Run() {
    SetStatus("Scanning for new messages");
    r_.settings_found = ReadSettings();
    if (!ReadMailSettings()) return;
    const ControlRow settings = ReadControl(files_.control().buffer());
    QueueNew(settings);
    SendWaiting();
  }

 private:
  bool Stopping() {
    if (o_.stop != nullptr && o_.stop->load()) r_.stopped = true;
    return r_.stopped;
  }

  void SetStatus(const std::string& text) {
    status_.set_value(text);
    w_.Display();
    r_.last_status = text;
    if (o_.on_status) o_.on_status(text);
  }

  void StorageStop(const storage::DeclaredTable& t) {
    ++r_.storage_errors;
    StopMessage(t);
  }

  // The settings beside the tables, read once a pass for all its sends. A
  // file that cannot be used (credentials others may read) ends the pass
  // before anything is queued or sent: the rows wait for a mended file.
  bool ReadMailSettings() {
    platform::Result<SettingsFile> file = SettingsFile::Read(files_.dir());
    if (!file.ok()) {
      r_.settings_refused = file.status().message();
      platform::DiagWrite("send_mail: nothing queued or sent: " + r_.settings_refused);
      return false;
    }
    for (const std::string& line : MailSettingsWarnings(*file))
      platform::DiagWrite("send_mail: " + line);
    mail_ = MailSettingsOf(*file);
    o_.dispatch.mail = &mail_;
    StartRetries(*file);
    settle_hundredths_ = file->Number(kKeySettle) * 100;
    return true;
  }

  // The retry setting and state, read once a pass like the mail settings.
  void StartRetries(const SettingsFile& file) {
    retries_.emplace(files_.dir(), file.Number(kKeyRetryFor), clock_);
    std::string problem;
    if (!retries_->Load(&problem))
      platform::DiagWrite(platform::DiagPriority::kWarning, "send_mail: warning: " + problem);
    for (const std::string& line : retries_->problems())
      platform::DiagWrite(platform::DiagPriority::kWarning, "send_mail: ignored " + line);
  }

  bool ReadSettings() {
    storage::DeclaredTable& con = files_.control();
    return con.Set() == 0 && con.Next() == 0;
  }

  // The rows of one pass are added in one transaction of the log: one
  // durable commit for all of them instead of one per row. A kill before
  // the commit leaves none of them queued; the next pass finds the
  // recordings again. Without the transaction each row commits alone.
  void QueueNew(const ControlRow& settings) {
    storage::DeclaredTable& pro = files_.processed();
    const bool together = pro.Logout() == 0;
    memory_->stamp_turn = (memory_->stamp_turn + 1) % kStampTurns;
    ForgetChangedFolders();
    const size_t budget = pro.LimitCache(kListingCacheBytes);
    ScanMailboxes(settings);
    pro.LimitCache(budget);
    if (together &&
        storage::DeclaredTable::CommitTransaction(platform::Env::Default(), &pro) != 0) {
      platform::DiagWrite(platform::DiagPriority::kError,
                          "send_mail: the " + std::to_string(r_.queued) +
                              " recordings of this pass were not queued: " + StorageErrorText(pro));
      r_.queued = 0;
      queued_lines_.clear();
      listed_whole_.clear();
      StorageStop(pro);
    }
    KeepListedFolders();
    for (const std::string& line : queued_lines_) platform::DiagWrite(line);
    queued_lines_.clear();
  }

  void ScanMailboxes(const ControlRow& settings) {
    const std::string& root = settings.applicate_path;
    // A blank root would name directories of the file system's root.
    const bool blank = runtime::IsBlank(root);
    bool anew = !blank && ReadFolders(root);
    if (!ReadMailboxes(&anew)) return;
    if (anew || memory_->mailbox_dirs.size() != memory_->mailboxes.size())
      NameDirs(blank ? std::string() : root);
    for (size_t i = 0; i < memory_->mailboxes.size(); ++i) {
      if (Stopping()) return;
      const MailboxRow& box = memory_->mailboxes[i];
      SetStatus("Scanning for new messages : " + std::to_string(box.mailbox_no));
      if (blank) continue;
      if (!IsYes(box.enable_email) || runtime::IsBlank(box.email_address)) {
        ForgetFolders(memory_->mailbox_dirs[i]);
        continue;
      }
      for (const std::string& dir : memory_->mailbox_dirs[i]) {
        if (Stopping()) return;
        ScanFolderIfChanged(box, dir, CheckTurn(box.mailbox_no));
      }
      if (r_.queued == 0) SetStatus("No new messages added to Queue");
    }
  }

  // The msg folders of each mailbox row, named once for the passes that
  // follow while neither the rows nor the root's folders change.
  void NameDirs(const std::string& root) {
    ScanMemory& m = *memory_;
    m.mailbox_dirs.assign(m.mailboxes.size(), {});
    if (root.empty()) return;
    for (size_t i = 0; i < m.mailboxes.size(); ++i) {
      for (const std::string& folder : m.folders->Of(m.mailboxes[i].mailbox_no))
        m.mailbox_dirs[i].push_back(root + "/" + folder + "/msg/");
    }
  }

  // The mailbox rows in record order: the last pass's while the table
  // file's stamp is the one they were read at (every commit changes it),
  // else read anew (*anew is then set). The stamp is taken before the rows,
  // so a commit during the reading shows at the next pass. False when
  // nothing can be scanned.
  bool ReadMailboxes(bool* anew) {
    storage::DeclaredTable& mai = files_.mailboxes();
    const std::string stamp = TableFileStamp(*platform::Env::Default(), mai.name());
    if (!stamp.empty() && stamp == memory_->mailboxes_stamp) return true;
    *anew = true;
    memory_->mailboxes_stamp.clear();
    memory_->mailboxes.clear();
    if (mai.Set() != 0) {
      StorageStop(mai);
      return false;
    }
    for (;;) {
      if (Stopping()) return false;
      const int rc = mai.Next();
      if (EndOfTable(rc)) break;
      if (rc != 0) {
        StorageStop(mai);
        return true;  // the rows read so far are scanned, and read again next pass
      }
      memory_->mailboxes.push_back(ReadMailbox(mai.buffer()));
      ++r_.mailboxes_read;
    }
    memory_->mailboxes_stamp = stamp;
    return true;
  }

  // Which folders of the root name which mailbox: listed again when the
  // root's stamp moved (a folder made, removed or renamed), or when it was
  // listed in the clock tick of its last change. True when listed anew.
  bool ReadFolders(const std::string& root) {
    ScanMemory& m = *memory_;
    platform::Result<platform::DirStamp> stamp = platform::StampDirectory(root);
    if (m.folders && m.folders_root == root && m.root_stamp && stamp.ok() &&
        m.root_stamp->SameAs(*stamp))
      return false;
    m.folders.emplace(root);
    m.folders_root = root;
    m.root_stamp.reset();
    if (stamp.ok() && Settled(*stamp)) m.root_stamp = *stamp;
    return true;
  }

  // A folder is listed unless it is the directory it was at its last
  // listing, unchanged since, and that listing left nothing for later. The
  // stamp is taken before the listing, so a change during it shows as a
  // newer stamp at the next pass. While the watcher covers the folder and
  // saw no change, the stamp is not even taken.
  void ScanFolderIfChanged(const MailboxRow& box, const std::string& dir, bool check_turn) {
    if (!check_turn && KnownUnchanged(dir)) return;
    ++r_.folders_stamped;
    platform::Result<platform::DirStamp> stamp = platform::StampDirectory(dir);
    if (stamp.ok() && Unchanged(dir, *stamp)) return;
    ++r_.folders_listed;
    folder_done_ = true;
    ScanFolder(box, dir);
    if (stamp.ok() && folder_done_ && !Stopping()) RememberIfSettled(dir, *stamp);
  }

  bool KnownUnchanged(const std::string& dir) {
    if (!o_.skip_unchanged || !events_whole_) return false;
    return memory_->unchanged.count(dir) != 0 && o_.watcher->Covers(dir);
  }

  bool Unchanged(const std::string& dir, const platform::DirStamp& now) {
    if (!o_.skip_unchanged) return false;
    auto it = memory_->unchanged.find(dir);
    if (it == memory_->unchanged.end()) return false;
    if (it->second.SameAs(now)) return true;
    memory_->unchanged.erase(it);
    return false;
  }

  // A disabled mailbox is listed whole once it is enabled again.
  void ForgetFolders(const std::vector<std::string>& dirs) {
    for (const std::string& dir : dirs) memory_->unchanged.erase(dir);
  }

  // Folders the watcher saw change are listed whatever their stamp says
  // (a file rewritten in place leaves its folder's time alone).
  void ForgetChangedFolders() {
    if (o_.watcher == nullptr) return;
    const FolderChanges changes = o_.watcher->TakeChanges();
    if (changes.all) return memory_->ForgetFolders();
    for (const std::string& dir : changes.dirs) memory_->unchanged.erase(dir);
    events_whole_ = true;
  }

  // Whether the folders of `mailbox` have their stamps taken this pass,
  // whatever the watcher says: those of one mailbox number in
  // kStampTurns each pass, in turn, so that each folder's turn comes every
  // kStampTurns passes and no pass takes them all.
  bool CheckTurn(int16_t mailbox) const {
    return (mailbox % kStampTurns + kStampTurns + memory_->stamp_turn) % kStampTurns == 0;
  }

  // A directory changed within the file system's clock granularity of its
  // stamp may change again with the same time (1 s and 2 s granularity
  // exist), so only a stamp older than that stands for its entries.
  static bool Settled(const platform::DirStamp& s) {
    constexpr int64_t kSameTickNs = 2'000'000'000;
    return s.taken_ns - s.mtime_ns >= kSameTickNs;
  }

  // The folders of a pass count once its rows are committed.
  void RememberIfSettled(const std::string& dir, const platform::DirStamp& s) {
    if (Settled(s)) listed_whole_.push_back({dir, s});
  }

  void KeepListedFolders() {
    for (const ListedFolder& f : listed_whole_) memory_->unchanged[f.dir] = f.stamp;
    listed_whole_.clear();
  }

  void ScanFolder(const MailboxRow& box, const std::string& dir) {
    std::vector<runtime::PassedOver> passed_over;
    for (const runtime::FileEntry& e :
         runtime::ListDirectory(dir + "*.wav", runtime::ListKind::kFilesOnly, &passed_over)) {
      if (Stopping()) return;
      Queue(box, dir, e);
    }
    // A link would mail whatever it points to; a FIFO or device is no
    // recording. Said once a run, not every pass.
    for (const runtime::PassedOver& p : passed_over) {
      if (!memory_->reported.insert(dir + p.name).second) continue;
      platform::DiagWrite("send_mail: passed over mailbox " + std::to_string(box.mailbox_no) +
                          " file " + Shown(dir + p.name) + ": " + p.why + ", not a recording");
    }
  }

  void Queue(const MailboxRow& box, const std::string& dir, const runtime::FileEntry& e) {
    storage::DeclaredTable& pro = files_.processed();
    ProcessedRow row;
    row.filename = e.name;
    row.mailbox = box.mailbox_no;
    row.date_of_recording = e.date;
    row.time_of_recording = e.time;
    WriteProcessed(row, &pro.buffer());
    // The key alone answers: the row of a recording already known is not read.
    const int found = pro.Has(storage::processed::kFileNameKey);
    if (found == 0) return;
    if (found != storage::kErrRecordNotFound) {
      folder_done_ = false;
      return StorageStop(pro);
    }
    const int64_t now = runtime::MomentOf(runtime::Today(clock_), runtime::ClockTime(clock_));
    if (now - runtime::MomentOf(e.date, e.time) < settle_hundredths_) {
      folder_done_ = false;  // too young: the folder is listed again next pass
      return;
    }

    row.email_address = box.email_address;
    row.cc_email_address = box.cc_email_address;
    row.send_attachment = box.send_voice_file;
    row.full_path = dir + e.name;
    row.date = runtime::Today(clock_);
    row.time = runtime::ClockTime(clock_);
    row.processed = 0;
    row.error = "0";
    WriteProcessed(row, &pro.buffer());
    if (pro.Add() != 0) {
      folder_done_ = false;
      return StorageStop(pro);
    }
    listed_[pro.current_record()] = platform::FileId{e.device, e.inode};
    ++r_.queued;
    queued_lines_.push_back("send_mail: queued mailbox " + std::to_string(box.mailbox_no) +
                            " file " + Shown(e.name));
    SetStatus("New messages added to Queue :" + std::to_string(r_.queued));
  }

  // Record numbers of the waiting rows, in record order. Rows that have been
  // sent carry an entry in the optional key on PRO:PROCESSED; waiting ones do
  // not, so rows minus entries counts them without reading the table. New
  // rows go to the end, so the walk back from the end stops after the last
  // of them instead of reading the whole log.
  std::vector<uint32_t> FindWaiting() {
    std::vector<uint32_t> found;
    storage::DeclaredTable& pro = files_.processed();
    const uint32_t rows = pro.Records();
    if (pro.error() != 0) {
      StorageStop(pro);
      return found;
    }
    uint32_t entries = 0;
    bool complete = false;
    if (pro.KeyEntries(storage::processed::kProcessedKeyControl, &entries, &complete) != 0) {
      StorageStop(pro);
      complete = false;
    }
    if (complete && entries >= rows) return found;
    const uint32_t want = complete ? rows - entries : UINT32_MAX;
    // Rows the retry state names (resent ones may lie far back) count
    // before the walk starts, so it stops once it has met the others.
    std::set<uint32_t> waiting = KnownWaiting();
    if (pro.Set() != 0) {
      StorageStop(pro);
      return found;
    }
    while (waiting.size() < want) {
      const int rc = pro.Previous();
      if (EndOfTable(rc)) break;
      if (rc != 0) {
        StorageStop(pro);
        break;
      }
      if (ReadProcessed(pro.buffer()).processed != 1) waiting.insert(pro.current_record());
    }
    found.assign(waiting.begin(), waiting.end());
    return found;
  }

  // The rows the retry state says wait, each read to make sure it still does
  // (a kill can leave an entry behind a row written as sent).
  std::set<uint32_t> KnownWaiting() {
    std::set<uint32_t> known;
    storage::DeclaredTable& pro = files_.processed();
    for (uint32_t record : retries_->Pending()) {
      if (pro.GetByPointer(record) != 0) continue;
      if (ReadProcessed(pro.buffer()).processed != 1) known.insert(record);
    }
    return known;
  }

  void SendWaiting() {
    for (uint32_t record : FindWaiting()) {
      if (Stopping()) break;
      if (gone_) {
        DeferOne(record);
        continue;
      }
      SendOne(record);
    }
    WriteSentRow();
    if (r_.deferred > 0)
      platform::DiagWrite(platform::DiagPriority::kWarning,
                          "send_mail: " + std::to_string(r_.deferred) +
                              " waiting recordings not tried: the server was not reached (" +
                              std::to_string(gone_->code) + ")");
  }

  // A row left for a later pass because the server is gone: nothing is
  // written unless its retry window has ended, when it fails with the
  // outcome that ended the pass's sending.
  void DeferOne(uint32_t record) {
    WriteSentRow();
    storage::DeclaredTable& pro = files_.processed();
    if (pro.GetByPointer(record) != 0) return StorageStop(pro);
    ProcessedRow row = ReadProcessed(pro.buffer());
    if (row.processed == 1) return;
    ++r_.deferred;
    if (retries_->Deferred(record, &row, gone_->code, gone_->text) != FailureDisposition::kFinal)
      return;
    ++r_.failed;
    platform::DiagWrite(platform::DiagPriority::kError,
                        "send_mail: failed mailbox " + std::to_string(row.mailbox) + " file " +
                            Shown(row.filename) + ": " + std::to_string(row.error_code) + " " +
                            Shown(row.error) + " (retries ended)");
    WriteProcessed(row, &pro.buffer());
    if (pro.Put() != 0) StorageStop(pro);
    retries_->Ended(record, row, false);
  }

  void SendOne(uint32_t record) {
    storage::DeclaredTable& pro = files_.processed();
    ProcessedRow row;
    const int rc = pro.GetByPointer(record);
    if (rc == 0) row = ReadProcessed(pro.buffer());
    // Not sent now (unreadable, sent by another process, or not due yet):
    // the previous message's row is written before anything else.
    if (rc != 0 || row.processed == 1 || !retries_->Due(record, row)) {
      WriteSentRow();
      if (rc != 0) StorageStop(pro);
      return;
    }
    ReadSettings();
    ControlRow con = ReadControl(files_.control().buffer());
    con.attachment_body =
        FillTags(con.attachment_body, row.date_of_recording, row.time_of_recording, row.mailbox);
    con.nonattachment_body =
        FillTags(con.nonattachment_body, row.date_of_recording, row.time_of_recording, row.mailbox);
    WriteControl(con, &files_.control().buffer());

    SendOutcome outcome;
    const auto listed = listed_.find(record);
    DispatchOptions dispatch = o_.dispatch;
    if (dispatch.stop == nullptr) dispatch.stop = o_.stop;
    dispatch.while_connecting = [this] { WriteSentRow(); };
    ActualSend(files_, &outcome, dispatch, listed != listed_.end() ? &listed->second : nullptr);
    WriteSentRow();  // ActualSend runs it; this only makes sure
    if (outcome.stopped) {
      r_.stopped = true;
      platform::DiagWrite("send_mail: stopped before the end of the message: mailbox " +
                          std::to_string(row.mailbox) + " file " + Shown(row.filename) +
                          " stays waiting");
      return;
    }

    if (IsSentOutcome(outcome.code, outcome.text)) {
      // Written while the next message's connection is made (or when no
      // message follows at once): the server's greeting no longer waits
      // for the log's durable write. Before that next message can go out,
      // this row stands, so at most one accepted message is ever unwritten,
      // as before. Failures are written at once: the next send depends on
      // them (a server found gone defers the rest).
      sent_row_ = SentRow{record, std::move(row), std::move(outcome)};
      return;
    }
    WriteOutcome(record, row, outcome);
  }

  // The message accepted last, whose row is not written yet.
  struct SentRow {
    uint32_t record;
    ProcessedRow row;
    SendOutcome outcome;
  };

  void WriteSentRow() {
    if (!sent_row_) return;
    SentRow sent = std::move(*sent_row_);
    sent_row_.reset();
    WriteOutcome(sent.record, sent.row, sent.outcome);
  }

  // Writes a send's outcome into its row: sent, failed finally, or (a
  // failure that passes, while retries last) still waiting with the time of
  // its next attempt. The retry state is written before the row, so a kill
  // between leaves the row to be tried again, never forgotten.
  void WriteOutcome(uint32_t record, ProcessedRow& row, const SendOutcome& outcome) {
    storage::DeclaredTable& pro = files_.processed();
    // The table may have moved to the next message's row since this one was
    // read: the write goes to this row's record, with its own memos.
    const bool at_row = pro.GetByPointer(record) == 0;
    if (!at_row) StorageStop(pro);
    const bool ok = IsSentOutcome(outcome.code, outcome.text);
    ++(ok ? r_.sent : r_.failed);
    std::string what =
        "mailbox " + std::to_string(row.mailbox) + " file " + Shown(row.filename) + ": " +
        (ok ? Shown(outcome.text) : std::to_string(outcome.code) + " " + Shown(outcome.text));
    if (!ok) r_.last_failure = what;
    bool waiting = false;
    if (ok) {
      row.processed = 1;
      row.error_code = outcome.code;
      row.error = std::string(runtime::CutUtf8(outcome.text, storage::processed::kErrorSize));
    } else {
      std::string problem;
      waiting = retries_->Failed(record, &row, outcome.code, outcome.text, &problem) ==
                FailureDisposition::kWaiting;
      if (!problem.empty())
        platform::DiagWrite(
            platform::DiagPriority::kWarning,
            "send_mail: warning: retry state not written (" + problem + "): the failure is final");
      if (waiting) {
        ++r_.retrying;
        what += " (" + row.error.substr(0, row.error.find(": ")) + ")";
      }
      if (retries_->enabled() && ServerUnreachable(outcome.code))
        gone_ = SendOutcome{outcome.code, outcome.text, false};
    }
    platform::DiagWrite(ok ? platform::DiagPriority::kInfo : platform::DiagPriority::kError,
                        "send_mail: " + std::string(ok ? "sent " : "failed ") + what);
    if (at_row) {
      WriteProcessed(row, &pro.buffer());
      if (pro.Put() != 0) StorageStop(pro);
    }
    if (!waiting) retries_->Ended(record, row, true);
    if (o_.on_sent) o_.on_sent();
  }

  GatewayFiles& files_;
  ScanOptions o_;  // a copy: the pass adds its mail settings to the sends
  const platform::Clock& clock_;
  runtime::Window& w_;
  runtime::ControlRef status_;
  ScanReport& r_;
  MailSettings mail_;
  std::shared_ptr<ScanMemory> memory_;
  std::optional<PassRetries> retries_;  // made once the settings file is read
  // The failure that showed the server gone (no connection, or 421): the
  // rest of the pass's rows wait for a later pass untried.
  std::optional<SendOutcome> gone_;
  std::optional<SentRow> sent_row_;
  int64_t settle_hundredths_ = kDefaultSettleSeconds * 100;  // the age rule
  std::vector<std::string> queued_lines_;  // diagnostic lines shown once the rows stand
  // Folders listed whole this pass with nothing left for later, remembered
  // once the pass's rows are committed.
  struct ListedFolder {
    std::string dir;
    platform::DirStamp stamp;
  };
  std::vector<ListedFolder> listed_whole_;
  bool folder_done_ = true;  // the folder being listed left nothing for later
  // The watcher lost no events since the last pass: the folders it covers
  // changed only where it says.
  bool events_whole_ = false;
  // The file each row queued by this pass named when it was listed, by
  // record number: the send attaches that file or none.
  std::map<uint32_t, platform::FileId> listed_;
};

}  // namespace

ScanReport send_mail(GatewayFiles& files, const ScanOptions& options) {
  std::lock_guard<std::mutex> one_pass(ScanMutex());
  ProcedureScope procedure(options.dispatch.errors, "send_mail");
  ScanReport report;
  OpenTable control(files, Table::kControl);
  OpenTable mailboxes(files, Table::kMailboxes);
  OpenTable processed(files, Table::kProcessedFiles);
  report.tables_opened = control.code() == 0 && mailboxes.code() == 0 && processed.code() == 0;
  if (!report.tables_opened) {
    for (Table t : {Table::kControl, Table::kMailboxes, Table::kProcessedFiles}) {
      if (files.table(t).error() != 0 && !files.table(t).is_open()) {
        OpenFailure(files, t, options.dispatch.errors, "send_mail");
      }
    }
    return report;
  }

  runtime::Window w("Send Mail");
  runtime::ControlRef status = w.AddString("?STATUS", "@S50");
  Pass pass(files, options, w, status, report);
  while (auto ev = w.Accept()) {
    if (ev->is(runtime::EventKind::kOpenWindow)) {
      pass.Run();
      w.Close();
    }
  }
  return report;
}

}  // namespace vm::app
