#include "framework/file_errors.h"

#include "framework/error_manager.h"

namespace vm::framework {

Level ErrorManagerErrors::Throw(int id, const MessageValues& values) {
  if (!values.field.empty()) errors_->SetField(values.field);
  if (!values.message.empty()) errors_->SetMessageText(values.message);
  return errors_->ThrowFile(static_cast<uint16_t>(id), values.file, values.error);
}

}  // namespace vm::framework
