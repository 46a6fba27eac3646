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
  bool ok() const { return code_ == 0; }
  int code() const { return code_; }
  int internal() const { return internal_; }
 private:
  int code_ = 0;
  int internal_ = 0;
};
}  // namespace vm::storage
