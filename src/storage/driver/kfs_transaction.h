// The process's one transaction over table files. LOGOUT adds a table's file:
// from then on its changes stay uncommitted at the end of each operation.
// COMMIT commits one changed file alone; two or more go through their
// transaction control files, so that a crash leaves either every file as it
// was or every file changed.
// ROLLBACK drops the changes. Safe from any thread: the member list has its
// own mutex (taken after a file's mutex, never before one), and COMMIT and
// ROLLBACK hold every member file's mutex for their whole run (shared_file.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "storage/driver/shared_file.h"

namespace vm::storage {

// The control file path a transaction record carries for the default: the
// data file's own directory, file keelfast.tcf.
inline constexpr std::string_view kDefaultControlFile = "C:\\keeLfasT.TCF";
inline constexpr std::string_view kDefaultControlName = "keelfast.tcf";
inline constexpr int kMaxControlFiles = 100;
inline constexpr int kErrTooManyControlFiles = 2183;

// The control file set for the process ("SEND TCF=path"); empty means the
// default beside each data file. Any thread.
std::string TransactionControlFile();
void SetTransactionControlFile(std::string path);
// The setting itself, for tests that reset it with no other thread running.
std::string& TransactionControlSetting();

// How long opening a control file waits out another opener that keeps it
// from being shared, before the check fails with 5 and the cause.
inline constexpr std::chrono::milliseconds kControlFileWait{3000};

// Whether transaction `number` is still recorded in control file `path`
// (it has not reached its commit point). Opening is retried for at most
// kControlFileWait while a sharing conflict refuses it; any other failure
// (a directory, no permission, too many open files) is answered at once.
// Errors carry the path and the system's cause as their text.
Status TransactionPending(platform::Env* env, const std::string& path, uint32_t number,
                          bool* pending);

class Transaction {
 public:
  // The process's transaction.
  static Transaction& Process();

  // Adds `file` (no effect when it is in already) with the control file in
  // force now. 2183 when a 101st distinct control file would be needed.
  Status Add(const std::shared_ptr<SharedFile>& file);
  bool Holds(const TreeFile* file) const;
  bool empty() const;
  // An operation inside the transaction failed in a way that left a file's
  // changes unusable: COMMIT fails and drops every change.
  void MarkFailed(const Status& s);

  // Commits every changed file and empties the transaction. On failure every
  // file is as it was before the transaction.
  Status Commit(platform::Env* env, const platform::Clock& clock = platform::SystemClock());
  // Drops the changes of every file and empties the transaction.
  void Rollback();

 private:
  struct Member {
    std::shared_ptr<SharedFile> file;
    std::string control;  // path of its control file
    bool default_control = false;
  };
  struct Control {
    std::string path;
    std::unique_ptr<TreeFile> file;
  };

  // The member files' mutexes, taken in address order, and the files kept
  // alive until they are let go.
  struct MemberLocks {
    std::vector<std::shared_ptr<SharedFile>> files;
    std::vector<std::unique_lock<std::mutex>> locks;
  };
  // Locks every member file and then mu_, so that the members cannot change.
  std::unique_lock<std::mutex> LockMembers(MemberLocks* held);

  Status CommitThroughControlFiles(platform::Env* env, const platform::Clock& clock,
                                   const std::vector<Member*>& changed);
  Status OpenControlFiles(platform::Env* env, const std::vector<Member*>& changed,
                          std::vector<Control>* controls);
  Status ChooseNumber(std::vector<Control>& controls, uint32_t start, uint32_t* number);
  static void ForgetNumber(std::vector<Control>& controls, size_t from, uint32_t number);
  static void KeepNumber(TreeFile* first, uint32_t number);
  void Clear();

  std::mutex commit_mu_;   // one COMMIT or ROLLBACK at a time
  mutable std::mutex mu_;  // guards the members, the control files and failed_
  std::vector<Member> members_;
  std::vector<std::string> control_files_;  // distinct, at most 100
  Status failed_ = Status::Ok();
};

}  // namespace vm::storage
