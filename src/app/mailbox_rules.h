// The rules of a Mailboxes record's values, for the `mailbox` command and the
// "Update Mailbox" form alike: the number, the two address fields and the
// YES/NO words (which the table's field check also enforces when a record is
// written). Pure functions; safe from any thread.
#pragma once

#include <optional>
#include <string_view>

#include "app/value_rules.h"

namespace vm::app {

// A mailbox number typed as decimal digits: 1 to 32767 (the field is a signed
// 16-bit number, and a mailbox directory is named by a positive number).
std::optional<Refusal> CheckMailboxNumber(std::string_view digits);
// The recipient or copy address: empty (the recipient's: the mailbox is not
// mailed), or addresses separated by commas, at most 50 bytes.
std::optional<Refusal> CheckMailboxAddress(std::string_view value);
// "yes" or "no" as the command line takes them (any case), as the stored
// word "YES" or "NO"; nullopt for anything else.
std::optional<std::string_view> YesNoWord(std::string_view typed);

// The rule of a form field by the field's name; nullopt for fields without
// one here (the YES/NO fields are the field check's).
std::optional<Refusal> CheckMailboxField(std::string_view field, std::string_view value);

}  // namespace vm::app
