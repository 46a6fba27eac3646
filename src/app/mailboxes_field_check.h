// The field check of the Mailboxes table: MAI:ENABLE_EMAIL and
// MAI:SEND_VOICE_FILE must hold "YES" or "NO" (upper case, trailing blanks
// ignored). Installed on the Mailboxes file manager at start-up; it runs when
// a form completes a record, on the thread of that form.
#pragma once

#include <string_view>

#include "framework/file_manager.h"

namespace vm::app {

// Whether `value` (trailing blanks ignored) is one of the words of `list`
// written as "]WORD[]WORD[" (case-sensitive).
bool InChoiceList(std::string_view value, std::string_view list);

// 0 when both fields pass; otherwise kLevelNotify, after raising message 15
// with the field's name and "'YES','NO'" when `show` is set.
int CheckMailboxFields(framework::FileManager& mailboxes, bool show);

// Adds the check to the Mailboxes file manager.
void InstallMailboxesFieldCheck(framework::FileManager& mailboxes);

}  // namespace vm::app
