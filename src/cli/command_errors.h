// The file managers' messages while a command runs: instead of a message box,
// each message is kept as one line of text (its place-holders filled in as
// the error manager fills them), for the command to print when the operation
// fails. Owner thread only (a command runs on one thread).
#pragma once

#include <string>

#include "framework/error_manager.h"
#include "framework/file_errors.h"

namespace vm::cli {

class CommandErrors final : public framework::FileErrors {
 public:
  // Keeps the message and answers as an operator who reads it and goes on
  // (notify level); a question is answered No.
  framework::Level Throw(int id, const framework::MessageValues& values) override;
  // The last message as one line ("" when none), and its id (0 when none).
  const std::string& last_text() const { return text_; }
  int last_id() const { return id_; }
  void Clear();

 private:
  framework::ErrorManager texts_;  // only its message table and substitution
  std::string text_;
  int id_ = 0;
};

}  // namespace vm::cli
