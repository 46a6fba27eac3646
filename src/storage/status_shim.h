// TEMPORARY until storage_error.h lands.
#pragma once
#include <string>
namespace vm::storage {
class Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Internal(int number) { Status s; s.code_ = 90; s.internal_ = number; return s; }
  static Status Error(int code) { Status s; s.code_ = code; return s; }
  // A change refused because the file would outgrow its 32-bit offsets;
  // nothing was written and the file stays usable.
  static Status FileFull() {
    Status s;
    s.code_ = 90;
    s.full_ = true;
    return s;
  }
  bool ok() const { return code_ == 0; }
  bool file_full() const { return full_; }
  int code() const { return code_; }
  int internal() const { return internal_; }
 private:
  int code_ = 0;
  int internal_ = 0;
  bool full_ = false;
};
}  // namespace vm::storage
