// The administration commands of the program (`voicemail-mailer settings
// ...`, `mailbox ...`, `log ...`, `resend ...`, `status ...`, `test-mail ...`): which words name
// one, the lines the program's --help shows for them, and each command's entry. A command runs on
// the calling thread, reads and writes the tables and files of the working directory as the windows
// do, never takes the instance lock (a service may run on the same directory), and returns its exit
// status.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/arguments.h"
#include "cli/command.h"

namespace vm::cli {

// Whether `word` names a command.
bool IsCommand(std::string_view word);
// Runs the command words[0] with the words after it.
int RunCommand(std::vector<std::string> words, const Context& context);
// The "Commands:" part of the program's --help.
const char* CommandsHelp();

// Each command, given the words after its name.
int SettingsCommand(std::vector<std::string> words, const Context& context);
int MailboxCommand(std::vector<std::string> words, const Context& context);
int LogCommand(std::vector<std::string> words, const Context& context);
int StatusCommand(std::vector<std::string> words, const Context& context);
int TestMailCommand(std::vector<std::string> words, const Context& context);
int ResendCommand(std::vector<std::string> words, const Context& context);

}  // namespace vm::cli
