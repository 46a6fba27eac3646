// `mailbox list | add | set | remove | refresh`: the Mailboxes table as the
// windows keep it, through the program's relation manager and file manager of
// the table (its field check on the YES/NO words runs on every write), with
// the rules of mailbox_rules.h and the list window's "Refresh Mailboxes".
#include <set>

#include "app/gateway_relations.h"
#include "app/gateway_tables.h"
#include "app/mailbox_rules.h"
#include "app/mailbox_windows.h"
#include "app/records.h"
#include "app/settings_record.h"
#include "cli/command_errors.h"
#include "cli/commands.h"
#include "cli/text_escape.h"
#include "framework/record_fields.h"

namespace vm::cli {
namespace {

constexpr int kChangedElsewhereTries = 5;

constexpr const char* kMailboxHelp =
    "Usage: voicemail-mailer [--data-dir DIR] mailbox list\n"
    "       voicemail-mailer [--data-dir DIR] mailbox add N ADDRESS [--cc ADDRESS]\n"
    "                                         [--no-attach] [--disabled]\n"
    "       voicemail-mailer [--data-dir DIR] mailbox set N [--address ADDRESS] [--cc ADDRESS]\n"
    "                                         [--attach yes|no] [--enabled yes|no]\n"
    "       voicemail-mailer [--data-dir DIR] mailbox remove N\n"
    "       voicemail-mailer [--data-dir DIR] mailbox refresh\n"
    "Keeps the mailbox table: which mailboxes are mailed, to whom, with or without\n"
    "the recording attached.\n"
    "\n"
    "  list      one mailbox a line, in the table's order, separated by tabs: number,\n"
    "            address, copy address, enabled (YES/NO), attach (YES/NO)\n"
    "  add       a new mailbox N (1 to 32767), enabled and attaching unless told\n"
    "  set       changes the given fields of mailbox N\n"
    "  remove    removes mailbox N (its recordings are no longer mailed)\n"
    "  refresh   adds every mailbox directory of the voice-mail root (a directory\n"
    "            named by its number holding transfer.ini) that the table lacks,\n"
    "            enabled, without attachment and without address; others stay\n"
    "\n"
    "An address is user@host or Name <user@host>, several separated by commas, at\n"
    "most 50 bytes; --cc \"\" removes the copy address.\n"
    "Exit status: 0 done; 2 a number or value refused, a mailbox that exists (add)\n"
    "or does not (set, remove), or the directory cannot be used; nothing is written\n"
    "then.\n";

// The program's relation manager and file manager of Mailboxes for the
// length of one command.
class MailboxTable {
 public:
  explicit MailboxTable(const Context& c)
      : relations_(c.data_dir, &errors_),
        use_(&relations_.relation(app::Table::kMailboxes), false),
        file_(relations_.file(app::Table::kMailboxes)) {}

  // Whether the table is open; `error` says why not.
  bool Open(std::string* error) {
    if (use_.result() == 0 && file_.Use() == 0) return true;
    *error = "cannot open the mailbox table: " + errors_.last_text();
    return false;
  }
  framework::FileManager& file() { return file_; }
  app::GatewayRelations& relations() { return relations_; }
  CommandErrors& errors() { return errors_; }

  // Reads mailbox `number` into the buffer, watched for an update: 1 when
  // found, 0 when there is none, -1 on an error of the table.
  int Fetch(int16_t number) {
    errors_.Clear();
    framework::ClearRecord(file_.def(), &file_.buffer());
    app::WriteMailbox(app::MailboxRow{number, "", "", "", ""}, &file_.buffer());
    file_.Watch();
    if (file_.Fetch(storage::mailboxes::kMailboxKey) == 0) return 1;
    return errors_.last_id() == 0 ? 0 : -1;
  }

  // The numbers in the table.
  std::set<int> Numbers() {
    std::set<int> numbers;
    for (bool ok = file_.SetOrder() == 0 && file_.Next(false) == 0; ok; ok = file_.Next(false) == 0)
      numbers.insert(app::ReadMailbox(file_.buffer()).mailbox_no);
    return numbers;
  }

 private:
  CommandErrors errors_;
  app::GatewayRelations relations_;
  framework::TableUse use_;
  framework::FileManager& file_;
};

// A mailbox number typed on the command line, or nullopt after its refusal.
std::optional<int16_t> Number(const std::string& typed, const Context& c) {
  if (const auto r = app::CheckMailboxNumber(typed)) {
    Refuse(c,
           "mailbox number " + ShownText(typed) + " " + r->reason + "; it must be " + r->allowed);
    return std::nullopt;
  }
  return static_cast<int16_t>(app::NumberOf(typed));
}

bool AddressPasses(const std::string& what, const std::string& value, const Context& c) {
  if (const auto r = app::CheckMailboxAddress(value)) {
    Refuse(c, what + " " + r->reason + "; it must be " + r->allowed);
    return false;
  }
  return true;
}

// "yes" or "no" of --attach and --enabled as the stored word.
bool YesNoPasses(const std::string& what, const std::optional<std::string>& typed,
                 std::string* word, const Context& c) {
  if (!typed) return true;
  const std::optional<std::string_view> w = app::YesNoWord(*typed);
  if (!w) {
    Refuse(c, what + " " + ShownText(*typed) + " is not allowed; it must be yes or no");
    return false;
  }
  *word = std::string(*w);
  return true;
}

int List(const Context& c) {
  if (!platform::Env::Default()->FileExists(storage::MailboxesFile(c.data_dir))) return kExitOk;
  MailboxTable table(c);
  std::string error;
  if (!table.Open(&error)) return Refuse(c, error);
  framework::FileManager& file = table.file();
  auto lock = file.Lock();
  int rc = file.SetOrder() == 0 ? file.Next(false) : -1;
  for (; rc == 0; rc = file.Next(false)) {
    const app::MailboxRow r = app::ReadMailbox(file.buffer());
    *c.out << r.mailbox_no << "\t" << ShownText(r.email_address) << "\t"
           << ShownText(r.cc_email_address) << "\t" << ShownText(r.enable_email) << "\t"
           << ShownText(r.send_voice_file) << "\n";
  }
  if (!file.at_eof()) return Refuse(c, "the mailbox table could not be read to its end");
  return kExitOk;
}

int Add(Arguments& args, const Context& c) {
  const std::optional<std::string> cc = args.TakeValue("--cc");
  const bool no_attach = args.TakeSwitch("--no-attach");
  const bool disabled = args.TakeSwitch("--disabled");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "mailbox", args.error());
  if (rest.size() != 2) return UsageError(c, "mailbox", "add takes N and ADDRESS");
  const std::optional<int16_t> number = Number(rest[0], c);
  if (!number) return kExitRefused;
  if (!AddressPasses("address", rest[1], c) || !AddressPasses("--cc", cc.value_or(""), c))
    return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  MailboxTable table(c);
  std::string error;
  if (!table.Open(&error)) return Refuse(c, error);
  framework::FileManager& file = table.file();
  auto lock = file.Lock();
  framework::ClearRecord(file.def(), &file.buffer());
  app::WriteMailbox(app::MailboxRow{*number, rest[1], cc.value_or(""), disabled ? "NO" : "YES",
                                    no_attach ? "NO" : "YES"},
                    &file.buffer());
  table.errors().Clear();
  if (file.Insert(false) == 0) return kExitOk;
  if (file.last_error() == framework::msg::kDuplicateKey)
    return Refuse(c, "mailbox " + std::to_string(*number) + " exists already");
  return Refuse(
      c, "mailbox " + std::to_string(*number) + " was not added: " + table.errors().last_text());
}

struct Changes {
  std::optional<std::string> address, cc;
  std::string attach, enabled;  // "" = unchanged
};

void Apply(const Changes& ch, app::MailboxRow* row) {
  if (ch.address) row->email_address = *ch.address;
  if (ch.cc) row->cc_email_address = *ch.cc;
  if (!ch.attach.empty()) row->send_voice_file = ch.attach;
  if (!ch.enabled.empty()) row->enable_email = ch.enabled;
}

int Set(Arguments& args, const Context& c) {
  Changes ch;
  ch.address = args.TakeValue("--address");
  ch.cc = args.TakeValue("--cc");
  const std::optional<std::string> attach = args.TakeValue("--attach");
  const std::optional<std::string> enabled = args.TakeValue("--enabled");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "mailbox", args.error());
  if (rest.size() != 1) return UsageError(c, "mailbox", "set takes one mailbox number");
  if (!ch.address && !ch.cc && !attach && !enabled)
    return UsageError(c, "mailbox", "set needs --address, --cc, --attach or --enabled");
  const std::optional<int16_t> number = Number(rest[0], c);
  if (!number) return kExitRefused;
  if ((ch.address && !AddressPasses("--address", *ch.address, c)) ||
      (ch.cc && !AddressPasses("--cc", *ch.cc, c)) ||
      !YesNoPasses("--attach", attach, &ch.attach, c) ||
      !YesNoPasses("--enabled", enabled, &ch.enabled, c))
    return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  if (!platform::Env::Default()->FileExists(storage::MailboxesFile(c.data_dir)))
    return Refuse(c, "there is no mailbox " + std::to_string(*number));
  MailboxTable table(c);
  std::string error;
  if (!table.Open(&error)) return Refuse(c, error);
  framework::FileManager& file = table.file();
  auto lock = file.Lock();
  for (int attempt = 0; attempt < kChangedElsewhereTries; ++attempt) {
    const int found = table.Fetch(*number);
    if (found == 0) return Refuse(c, "there is no mailbox " + std::to_string(*number));
    if (found < 0) break;
    app::MailboxRow row = app::ReadMailbox(file.buffer());
    Apply(ch, &row);
    app::WriteMailbox(row, &file.buffer());
    table.errors().Clear();
    // The field check of the table runs here, as when the form writes.
    if (file.Update(framework::kUpdateReport) == 0) return kExitOk;
    if (!file.update_met_change()) break;
  }
  return Refuse(c, "mailbox " + std::to_string(*number) + " was not changed: " +
                       (table.errors().last_text().empty() ? "changed elsewhere at every try"
                                                           : table.errors().last_text()));
}

int Remove(Arguments& args, const Context& c) {
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "mailbox", args.error());
  if (rest.size() != 1) return UsageError(c, "mailbox", "remove takes one mailbox number");
  const std::optional<int16_t> number = Number(rest[0], c);
  if (!number) return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  if (!platform::Env::Default()->FileExists(storage::MailboxesFile(c.data_dir)))
    return Refuse(c, "there is no mailbox " + std::to_string(*number));
  MailboxTable table(c);
  std::string error;
  if (!table.Open(&error)) return Refuse(c, error);
  framework::FileManager& file = table.file();
  auto lock = file.Lock();
  const int found = table.Fetch(*number);
  if (found == 0) return Refuse(c, "there is no mailbox " + std::to_string(*number));
  if (found > 0 && file.Delete(false) == 0) return kExitOk;
  return Refuse(
      c, "mailbox " + std::to_string(*number) + " was not removed: " + table.errors().last_text());
}

int Refresh(Arguments& args, const Context& c) {
  if (!args.TakeRest().empty() || !args.error().empty())
    return UsageError(c, "mailbox", "refresh takes no arguments");
  if (int rc = CheckDirectory(c)) return rc;
  auto settings = app::ReadSettingsRecord(c.data_dir);
  if (!settings.ok()) return Refuse(c, settings.status().message());
  const std::string root = settings.value() ? settings.value()->applicate_path : "";
  if (root.empty())
    return Refuse(c,
                  "the settings name no voice-mail root; set it first: voicemail-mailer settings "
                  "set root=DIR");
  if (!platform::Env::Default()->IsDirectory(root))
    return Refuse(c, "the voice-mail root " + ShownText(root) + " is not a directory");
  MailboxTable table(c);
  std::string error;
  if (!table.Open(&error)) return Refuse(c, error);
  std::set<int> before, after;
  {
    auto lock = table.file().Lock();
    before = table.Numbers();
  }
  app::RefreshMailboxes(&table.relations(), root);
  {
    auto lock = table.file().Lock();
    after = table.Numbers();
  }
  for (int n : after) {
    if (before.count(n) == 0) *c.out << "added mailbox " << n << "\n";
  }
  return kExitOk;
}

}  // namespace

int MailboxCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << kMailboxHelp;
    return kExitOk;
  }
  const std::optional<std::string> verb = args.TakeVerb();
  if (!verb) return UsageError(c, "mailbox", "list, add, set, remove or refresh?");
  if (*verb == "list") {
    if (!args.TakeRest().empty() || !args.error().empty())
      return UsageError(c, "mailbox", "list takes no arguments");
    if (int rc = CheckDirectory(c)) return rc;
    return List(c);
  }
  if (*verb == "add") return Add(args, c);
  if (*verb == "set") return Set(args, c);
  if (*verb == "remove") return Remove(args, c);
  if (*verb == "refresh") return Refresh(args, c);
  return UsageError(c, "mailbox", "unknown mailbox command " + ShownText(*verb));
}

}  // namespace vm::cli
