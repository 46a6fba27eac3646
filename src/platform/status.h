// Result of a platform call: a code, the errno behind it (if any) and a message.
// Value type; safe to pass between threads. Success is cheap to make and test.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vm::platform {

enum class Code {
  kOk = 0,
  kNotFound,      // file or key missing
  kAccessDenied,  // permissions, or a sharing violation with another opener
  kExists,        // create-new on an existing file
  kLockConflict,  // a byte-range lock is held by another handle
  kIoError,       // any other failure of the operating system
  kInvalidArgument,
  kNotSupported,
};

class Status {
 public:
  Status() = default;  // success
  static Status Ok() { return Status(); }
  static Status Error(Code code, std::string message, int sys_errno = 0) {
    return Status(code, std::move(message), sys_errno);
  }

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  int sys_errno() const { return errno_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message, int sys_errno)
      : code_(code), errno_(sys_errno), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  int errno_ = 0;
  std::string message_;
};

// The one place that turns an errno into a Status; `context` names the call
// and its object, e.g. "open /data/CONTROL.KFS".
Status StatusFromErrno(int err, std::string_view context);

// A value or the Status that explains why there is none.
template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}          // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) {}  // NOLINT
  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  T& operator*() { return *value_; }
  T* operator->() { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace vm::platform
