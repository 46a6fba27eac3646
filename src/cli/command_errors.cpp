#include "cli/command_errors.h"

#include <algorithm>

namespace vm::cli {

framework::Level CommandErrors::Throw(int id, const framework::MessageValues& values) {
  id_ = id;
  texts_.SetFile(values.file);
  texts_.SetField(values.field);
  texts_.SetMessageText(values.message);
  texts_.SetErrors(values.error);
  text_ = texts_.SubstitutedText(static_cast<uint16_t>(id));
  // "|" is a line break of a message box; the command prints one line.
  std::replace(text_.begin(), text_.end(), '|', ' ');
  return framework::kLevelNotify;
}

void CommandErrors::Clear() {
  text_.clear();
  id_ = 0;
}

}  // namespace vm::cli
