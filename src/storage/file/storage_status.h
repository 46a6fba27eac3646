// The result of a storage call: a result code (result_codes.h), the internal
// consistency number behind a kErrFileSystem, and the platform's message and
// errno when the system caused the failure. Value type; any thread.
#pragma once
#include <memory>
#include <string>

#include "storage/file/result_codes.h"
namespace vm::storage {
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Internal(int number) {
    Status s;
    s.code_ = kErrFileSystem;
    s.internal_ = number;
    return s;
  }
  static Status Error(int code) {
    Status s;
    s.code_ = code;
    return s;
  }
  // An error with its cause as the operating system gave it: `text` names
  // the call and the path ("open /data/CONTROL.KFS: Is a directory"),
  // `os_error` is the system's number (0 when the cause is not the system's,
  // as a sharing violation between openers).
  static Status Error(int code, std::string text, int os_error) {
    Status s;
    s.code_ = code;
    s.cause_ = std::make_shared<const Cause>(Cause{std::move(text), os_error});
    return s;
  }
  // A change refused because the file would outgrow its 32-bit offsets;
  // nothing was written and the file stays usable.
  static Status FileFull() {
    Status s;
    s.code_ = kErrFileSystem;
    s.full_ = true;
    return s;
  }
  bool ok() const { return code_ == 0; }
  bool file_full() const { return full_; }
  int code() const { return code_; }
  int internal() const { return internal_; }
  bool has_cause() const { return cause_ != nullptr; }
  const std::string& text() const {
    static const std::string kNone;
    return cause_ ? cause_->text : kNone;
  }
  int os_error() const { return cause_ ? cause_->os_error : 0; }

 private:
  struct Cause {
    std::string text;
    int os_error;
  };
  int code_ = 0;
  int internal_ = 0;
  std::shared_ptr<const Cause> cause_;  // rare: kept out of line so success stays cheap
  bool full_ = false;
};
}  // namespace vm::storage
