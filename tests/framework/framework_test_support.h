// Helpers for the framework's tests: a message sink that records every
// message raised, a directory removed after the test, a driver entry that
// injects results of chosen operations, and a small table with two unique
// keys. Test threads only unless stated.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/file_errors.h"
#include "framework/file_manager.h"
#include "storage/table/table_def.h"

namespace vm::framework::testing {

struct Raised {
  int id = 0;
  MessageValues values;
};

// Records every message and answers with queued answers (default: benign).
// Safe from any thread.
class RecordingErrors final : public FileErrors {
 public:
  int Throw(int id, const MessageValues& values) override;
  void QueueAnswer(int answer);
  std::vector<Raised> raised() const;
  std::vector<int> ids() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::vector<Raised> raised_;
  std::vector<int> answers_;
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Passes every call to the real driver unless a rule for the operation says
// otherwise; a rule returns the result to give, or -1 to call through.
// Every operation code seen is recorded, SEND texts as well.
class FaultDriver {
 public:
  using Rule = std::function<int(storage::KfsControlBlock* cb, storage::KfsArgs* args)>;
  void On(int op, Rule rule) { rules_[op] = std::move(rule); }
  DriverEntry Entry();
  std::vector<int> ops;
  std::vector<std::string> sent;

 private:
  std::map<int, Rule> rules_;
};

// "T:CODE" (string 4) and "T:NAME" (string 8), both with unique keys, and a
// value "T:VALUE" (long): 16 bytes.
storage::TableDef TwoKeyDef();
void PutRow(FileManager& fm, const std::string& code, const std::string& name, int32_t value);
int32_t RowValue(FileManager& fm);
std::string RowCode(FileManager& fm);

}  // namespace vm::framework::testing
