// The runtime and storage-driver error state that goes with a framework
// error: the runtime error code and text, and the driver's own error code and
// text (meaningful with runtime code 90). Taken at the moment of the error and
// handed to the error manager's throw operations. Value type, any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vm::storage {
class DeclaredTable;
}

namespace vm::framework {

// The runtime code whose text is the storage driver's own ("File System Error").
inline constexpr int32_t kDriverSpecificError = 90;

struct RuntimeError {
  int32_t code = 0;       // runtime error code, 0 = none
  std::string text;       // its text, "File Not Found" ...
  std::string file_code;  // driver error code, kept as text
  std::string file_text;  // driver error text
};

// The error state the table's last statement left (code, text, file code and text).
RuntimeError CaptureError(const storage::DeclaredTable& table);

// The text %ErrorText stands for: the driver's text and code for code 90,
// otherwise the runtime's: "text (code)".
std::string ErrorTextOf(const RuntimeError& error);

}  // namespace vm::framework
