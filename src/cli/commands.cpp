#include "cli/commands.h"

namespace vm::cli {
namespace {

struct CommandEntry {
  const char* name;
  int (*run)(std::vector<std::string> words, const Context& context);
};

constexpr CommandEntry kCommands[] = {
    {"settings", SettingsCommand}, {"mailbox", MailboxCommand},    {"log", LogCommand},
    {"status", StatusCommand},     {"test-mail", TestMailCommand}, {"resend", ResendCommand},
};

}  // namespace

bool IsCommand(std::string_view word) {
  for (const CommandEntry& e : kCommands) {
    if (word == e.name) return true;
  }
  return false;
}

int RunCommand(std::vector<std::string> words, const Context& context) {
  for (const CommandEntry& e : kCommands) {
    if (!words.empty() && words.front() == e.name) {
      words.erase(words.begin());
      return e.run(std::move(words), context);
    }
  }
  return Refuse(context, "unknown command (see --help)");
}

const char* CommandsHelp() {
  return "Commands (each takes --help; a service may run on the directory meanwhile):\n"
         "  settings show              every setting as KEY=VALUE\n"
         "  settings set KEY=VALUE...  change settings (all values checked first)\n"
         "  mailbox list|add|set|remove|refresh\n"
         "                             keep the mailbox table\n"
         "  log [--waiting|--sent|--failed] [--mailbox N] [--last K] [--json]\n"
         "                             the log of recordings, oldest first\n"
         "  resend ROW...|--failed [--since DATE] [--force]\n"
         "                             put recordings back in the queue\n"
         "  status [--json]            whether the mailing is healthy (exit 0, 1 or 2)\n"
         "  test-mail ADDRESS          send one message with the settings, show the dialogue\n";
}

}  // namespace vm::cli
