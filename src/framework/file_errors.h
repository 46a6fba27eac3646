// The one point through which the file manager and the standard list and
// form windows raise numbered messages, with the values that fill the
// message's place-holders. The program uses ErrorManagerErrors (the error
// manager shows the message); tests put a recorder in its place.
// Implementations must be safe from any thread (lists, forms and the scanner
// raise messages on their own threads).
#pragma once

#include <string>

#include "framework/message_ids.h"
#include "framework/runtime_error.h"

namespace vm::framework {

class ErrorManager;

// Values for one message: %File, %Field and %Message (empty: left as the
// error manager holds them), and the runtime and driver error of the
// operation that failed.
struct MessageValues {
  std::string file;
  std::string field;
  std::string message;
  RuntimeError error;
};

class FileErrors {
 public:
  virtual ~FileErrors() = default;
  // Shows message `id` with `values` and returns the answer (a Level).
  virtual Level Throw(int id, const MessageValues& values) = 0;
};

// Raises the messages through the program's error manager.
class ErrorManagerErrors final : public FileErrors {
 public:
  // `errors` must outlive this object.
  explicit ErrorManagerErrors(ErrorManager* errors) : errors_(errors) {}
  Level Throw(int id, const MessageValues& values) override;

 private:
  ErrorManager* const errors_;
};

}  // namespace vm::framework
