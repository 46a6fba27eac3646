#include "framework/runtime_error.h"

#include "storage/driver/declared_table.h"

namespace vm::framework {

RuntimeError CaptureError(const storage::DeclaredTable& table) {
  RuntimeError e;
  e.code = table.error();
  e.text = table.error_text();
  e.file_code = std::to_string(table.file_error());
  e.file_text = table.file_error_text();
  return e;
}

std::string ErrorTextOf(const RuntimeError& error) {
  if (error.code == kDriverSpecificError) return error.file_text + " (" + error.file_code + ")";
  return error.text + " (" + std::to_string(error.code) + ")";
}

}  // namespace vm::framework
