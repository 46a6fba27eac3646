// The process's one transaction over table files. LOGOUT adds a table's file:
// from then on its changes stay uncommitted at the end of each operation.
// COMMIT commits one changed file alone; two or more go through their
// transaction control files, so that a crash leaves either every file as it
// was or every file changed. ROLLBACK drops the changes. Owner thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file.h"
#include "storage/shared_file.h"

namespace vm::storage {

// The control file path a transaction record carries for the default: the
// data file's own directory, file keelfast.tcf.
inline constexpr std::string_view kDefaultControlFile = "C:\\keeLfasT.TCF";
inline constexpr std::string_view kDefaultControlName = "keelfast.tcf";
inline constexpr int kMaxControlFiles = 100;
inline constexpr int kErrTooManyControlFiles = 2183;

// The control file set for the process ("SEND TCF=path"); empty means the
// default beside each data file.
std::string& TransactionControlSetting();

// Whether transaction `number` is still recorded in control file `path`
// (it has not reached its commit point). Opening is retried while it fails
// with 5; a file that cannot be opened is an error.
Status TransactionPending(platform::Env* env, const std::string& path, uint32_t number, bool* pending);

class Transaction {
 public:
  // The process's transaction.
  static Transaction& Process();

  // Adds `file` (no effect when it is in already) with the control file in
  // force now. 2183 when a 101st distinct control file would be needed.
  Status Add(const std::shared_ptr<SharedFile>& file);
  bool Holds(const PageFile* file) const;
  bool empty() const { return members_.empty(); }
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
    std::unique_ptr<PageFile> file;
  };

  Status CommitThroughControlFiles(platform::Env* env, const platform::Clock& clock,
                                   const std::vector<Member*>& changed);
  Status OpenControlFiles(platform::Env* env, const std::vector<Member*>& changed,
                          std::vector<Control>* controls);
  Status ChooseNumber(std::vector<Control>& controls, uint32_t start, uint32_t* number);
  static void ForgetNumber(std::vector<Control>& controls, size_t from, uint32_t number);
  static void KeepNumber(PageFile* first, uint32_t number);
  void Clear();

  std::vector<Member> members_;
  std::vector<std::string> control_files_;  // distinct, at most 100
  Status failed_ = Status::Ok();
};

}  // namespace vm::storage
