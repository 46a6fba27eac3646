// The value of a fixed-width field of the mail object, as its source files
// use it. Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

#include "runtime/fixed_text.h"

namespace vm::mail {

// The value without trailing spaces, cut to `width` bytes first (never
// inside a UTF-8 sequence).
inline std::string_view FieldValue(std::string_view value, size_t width) {
  return runtime::Clip(runtime::CutUtf8(value, width));
}

}  // namespace vm::mail
