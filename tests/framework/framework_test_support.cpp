#include "framework_test_support.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "runtime/fixed_text.h"

namespace vm::framework::testing {

int RecordingErrors::Throw(int id, const MessageValues& values) {
  std::lock_guard<std::mutex> lock(mu_);
  raised_.push_back({id, values});
  if (answers_.empty()) return kLevelBenign;
  const int a = answers_.front();
  answers_.erase(answers_.begin());
  return a;
}

void RecordingErrors::QueueAnswer(int answer) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_.push_back(answer);
}

std::vector<Raised> RecordingErrors::raised() const {
  std::lock_guard<std::mutex> lock(mu_);
  return raised_;
}

std::vector<int> RecordingErrors::ids() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<int> out;
  for (const Raised& r : raised_) out.push_back(r.id);
  return out;
}

void RecordingErrors::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  raised_.clear();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vm-fw-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

DriverEntry FaultDriver::Entry() {
  return [this](int op, storage::KfsControlBlock* cb, storage::KfsArgs* args) {
    ops.push_back(op);
    if (op == storage::kOpSend) sent.push_back(args->text);
    auto it = rules_.find(op);
    if (it != rules_.end()) {
      const int rc = it->second(cb, args);
      if (rc >= 0) {
        cb->last_error = rc;
        return rc;
      }
    }
    return storage::KfsDriver(op, cb, args);
  };
}

storage::TableDef TwoKeyDef() {
  using namespace storage;
  TableDef d;
  d.record_length = 16;
  d.fields = {MakeField("T:CODE", kTypeString, 0, 4), MakeField("T:NAME", kTypeString, 4, 8),
              MakeField("T:VALUE", kTypeLong, 12, 4)};
  d.keys = {MakeKey("T:CODEKEY", kKeyNoCase, {{0, 0}}), MakeKey("T:NAMEKEY", kKeyNoCase, {{1, 0}})};
  return d;
}

void PutRow(FileManager& fm, const std::string& code, const std::string& name, int32_t value) {
  std::vector<char>& b = fm.buffer();
  runtime::AssignFixed(b.data(), 4, code);
  runtime::AssignFixed(b.data() + 4, 8, name);
  std::memcpy(b.data() + 12, &value, 4);
}

int32_t RowValue(FileManager& fm) {
  int32_t v = 0;
  std::memcpy(&v, fm.buffer().data() + 12, 4);
  return v;
}

std::string RowCode(FileManager& fm) { return std::string(runtime::ClipField(fm.buffer().data(), 4)); }

}  // namespace vm::framework::testing
