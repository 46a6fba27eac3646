// The rules a value must meet before it is stored in a table field or in the
// settings file, whoever typed it: a form of the windows or a command of the
// command line. Each check answers nullopt for a value that may be stored as
// it is, or a Refusal saying what is wrong and what is allowed; nothing is
// ever cut or clamped to make a value fit. Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "framework/form_model.h"

namespace vm::framework {
class ErrorManager;
}

namespace vm::app {

struct Refusal {
  std::string reason;   // what is wrong with the value: "holds a line break"
  std::string allowed;  // completes "must be ...": "a number from 1 to 32767"
};

// Text of at most `max_bytes` bytes of valid UTF-8. A one-line text holds no
// control character at all; other text holds no NUL (it would end a
// NUL-terminated field early). `allowed` is the refusal's allowed text.
std::optional<Refusal> CheckText(std::string_view value, size_t max_bytes, bool one_line,
                                 std::string allowed);

// Decimal digits only (no sign, no blanks) giving a number from `low` to `high`.
std::optional<Refusal> CheckNumber(std::string_view value, int64_t low, int64_t high,
                                   std::string allowed);
// The number of a text that passed CheckNumber.
int64_t NumberOf(std::string_view digits);

// A host name or IPv4 address: labels of letters, digits, '-' and '_'
// separated by dots, each 1 to 63 bytes.
bool IsHostName(std::string_view value);
// One mailbox address, user@host, as it may stand between the angle brackets
// of MAIL FROM or RCPT TO: no blanks, quotes, brackets or control characters.
bool IsMailAddress(std::string_view value);
// One entry of an address field: an address, or a display name (plain or in
// double quotes) followed by the address in angle brackets.
bool IsAddressEntry(std::string_view entry);
// An address field: entries separated by "," or ";" (a separator inside
// quotes or angle brackets belongs to its entry), each as IsAddressEntry, and
// read the same way by the mail object. `single`: exactly one entry.
bool IsAddressList(std::string_view value, bool single);

// The message the forms raise for a refused value ("Value Error", "The value
// of %Field must be %Message."), notify level; AddValueMessages adds it to
// the program's error manager at start-up.
inline constexpr uint16_t kMsgValueRefused = 100;
void AddValueMessages(framework::ErrorManager* errors);

// The check a form runs on its typed values: `rule` gives the refusal of a
// field's value by the field's name (nullopt: stored as typed); a refusal
// raises kMsgValueRefused with the rule's allowed text.
framework::ValueCheck FormValueCheck(std::optional<Refusal> (*rule)(std::string_view field,
                                                                    std::string_view value));

}  // namespace vm::app
