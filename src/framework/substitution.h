// Place-holder substitution of framework messages: %File, %ErrorCode,
// %ErrorText, %Error, %FileErrorCode, %FileError, %Message, %Field,
// %Procedure, %Category and %Previous. A pure function, safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "framework/runtime_error.h"

namespace vm::framework {

struct SubstitutionValues {
  std::string file;                      // %File
  std::string field;                     // %Field
  std::string message;                   // %Message
  RuntimeError error;                    // %ErrorCode %ErrorText %Error %FileErrorCode %FileError
  std::optional<std::string> procedure;  // %Procedure; none: left in the text
  std::string category;                  // %Category
  std::optional<std::string> previous;   // %Previous; none: left in the text
};

// Replaces every place-holder of `message` and cuts the result to `limit`
// bytes (never inside a UTF-8 sequence). At each '%' the longest name that
// matches is taken, so %FileErrorCode is never read as %File followed by
// "ErrorCode", nor %ErrorText as %Error; inserted values are not scanned
// again, so a file name holding "%Message" stays as it is.
std::string SubstitutePlaceHolders(std::string_view message, const SubstitutionValues& values,
                                   size_t limit);

}  // namespace vm::framework
