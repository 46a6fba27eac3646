#include "framework/file_errors.h"

#include "framework/error_manager.h"

namespace vm::framework {

Level ErrorManagerErrors::Throw(int id, const MessageValues& values) {
  // One call, so that another thread's message cannot mix its values in.
  ErrorManager::ErrorValues v;
  v.file = values.file;
  if (!values.field.empty()) v.field = values.field;
  if (!values.message.empty()) v.message = values.message;
  v.error = values.error;
  return errors_->ThrowValues(static_cast<uint16_t>(id), v);
}

}  // namespace vm::framework
