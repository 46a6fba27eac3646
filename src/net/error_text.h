// Texts of the networking layer's error numbers: WinSock numbers (positive)
// and the library's own (negative). Pure lookups; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vm::net {

// Text of an error number, at most 255 characters. WinSock numbers and
// unknown numbers write an error trace line when a trace is on.
std::string NetErrorStr(int32_t error);
// The object-level text of an error number (ErrorTrap's text).
std::string InterpretErrorText(int32_t error);

}  // namespace vm::net
