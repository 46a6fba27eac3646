// `settings show` and `settings set KEY=VALUE...`: the fields of the settings
// record and the keys of the settings file, one rule for each value
// (settings_rules.h, settings_file.h), every value checked before anything is
// written.
#include <iterator>

#include "app/gateway_relations.h"
#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/settings_record.h"
#include "app/settings_rules.h"
#include "app/stop_message.h"
#include "cli/command_errors.h"
#include "cli/commands.h"
#include "cli/text_escape.h"
#include "framework/record_fields.h"

namespace vm::cli {
namespace {

constexpr int kChangedElsewhereTries = 5;

constexpr const char* kSettingsHelpHead =
    "Usage: voicemail-mailer [--data-dir DIR] settings show\n"
    "       voicemail-mailer [--data-dir DIR] settings set KEY=VALUE...\n"
    "Shows or changes the settings of the working directory.\n"
    "\n"
    "  show            every setting as KEY=VALUE, one a line, in a fixed order\n"
    "  set KEY=VALUE   checks every value first, then writes them all, or nothing;\n"
    "                  in a directory without settings it makes the settings record\n"
    "\n"
    "Keys:\n"
    "  server          the SMTP server: a host name or IPv4 address, at most 40 bytes\n"
    "  port            the SMTP port, 1 to 32767\n"
    "  from            the sender: user@host or Name <user@host>, at most 50 bytes\n"
    "  subject         the subject of every message: one line, at most 255 bytes\n"
    "  root            the root directory of the voice-mail tree, at most 255 bytes\n"
    "  idle-time       an idle time in seconds, at most three digits (kept, not used)\n"
    "  attach-body     the body when the recording is attached, at most 999 bytes\n"
    "  plain-body      the body when it is not, at most 999 bytes\n";

constexpr const char* kSettingsHelpTail =
    "\n"
    "The bodies may hold <DATE>, <TIME> and <EXT>, filled in for each recording.\n"
    "In a value, \\n stands for a line break, \\r for a carriage return, \\t for a\n"
    "tab and \\\\ for a backslash, as `show` prints them. KEY=- takes the value from\n"
    "standard input instead (all of it, one trailing newline removed); at most one\n"
    "key a command.\n"
    "Exit status: 0 done; 2 a key or value refused (nothing written), or the\n"
    "directory cannot be used.\n";

std::string SettingsHelp(const Context& c) {
  std::string help = kSettingsHelpHead;
  for (const app::SettingKey& k : *c.keys) {
    std::string line = "  " + k.name;
    line.resize(std::max<size_t>(line.size() + 1, 18), ' ');
    line += k.allowed;
    if (!k.default_value.empty()) line += " (default " + k.default_value + ")";
    if (k.secret) line += "; secret: give it as " + k.name + "=- on standard input";
    help += line + "\n";
  }
  return help + kSettingsHelpTail;
}

// One KEY=VALUE of the command line.
struct Assignment {
  std::string key;
  std::string value;
  const app::RecordSetting* record = nullptr;  // a field of the settings record
  const app::SettingKey* file = nullptr;       // or a key of the settings file
  bool from_stdin = false;
};

int Show(const Context& c) {
  auto record = app::ReadSettingsRecord(c.data_dir);
  if (!record.ok()) return Refuse(c, record.status().message());
  platform::Result<app::SettingsFile> file = app::SettingsFile::Read(c.data_dir, *c.keys);
  if (!file.ok()) return Refuse(c, file.status().message());
  if (record->has_value()) {
    for (const app::RecordSetting& s : app::RecordSettings())
      *c.out << s.key << "=" << EscapeValue(app::RecordSettingValue(**record, s)) << "\n";
  } else {
    *c.err << "voicemail-mailer: no settings record in " << c.shown_dir()
           << " yet; voicemail-mailer settings set KEY=VALUE makes one\n";
  }
  for (const app::SettingKey& k : *c.keys) {
    if (k.secret)
      *c.out << k.name << "="
             << (file->IsSet(k.name) && !file->Text(k.name).empty() ? "(set)" : "(not set)")
             << "\n";
    else
      *c.out << k.name << "=" << EscapeValue(file->Text(k.name)) << "\n";
  }
  for (const std::string& p : file->problems()) *c.err << "voicemail-mailer: ignored " << p << "\n";
  return kExitOk;
}

// Reads the KEY=VALUE words; false after printing the first problem.
bool ParseAssignments(const std::vector<std::string>& words, const Context& c,
                      std::vector<Assignment>* out) {
  int from_stdin = 0;
  for (const std::string& w : words) {
    const size_t eq = w.find('=');
    if (eq == std::string::npos || eq == 0) {
      UsageError(c, "settings", "set takes KEY=VALUE, not " + ShownText(w));
      return false;
    }
    Assignment a;
    a.key = w.substr(0, eq);
    a.from_stdin = w.compare(eq + 1, std::string::npos, "-") == 0;
    a.value = a.from_stdin ? "" : UnescapeValue(std::string_view(w).substr(eq + 1));
    a.record = app::FindRecordSetting(a.key);
    a.file = a.record == nullptr ? app::FindSettingKey(*c.keys, a.key) : nullptr;
    const std::string shown = ShownText(a.key);
    if (a.record == nullptr && a.file == nullptr) {
      Refuse(c, "unknown setting " + shown + " (voicemail-mailer settings --help lists them)");
      return false;
    }
    for (const Assignment& earlier : *out) {
      if (earlier.key == a.key) {
        Refuse(c, shown + " is given twice");
        return false;
      }
    }
    if (a.file != nullptr && a.file->secret && !a.from_stdin) {
      Refuse(c, shown + " is secret: give it on standard input, as " + shown + "=-");
      return false;
    }
    if (a.from_stdin && ++from_stdin > 1) {
      Refuse(c, "only one value a command can come from standard input (KEY=-)");
      return false;
    }
    out->push_back(std::move(a));
  }
  return true;
}

// All of standard input, one trailing newline (LF or CR LF) removed.
std::string ReadInput(std::istream& in) {
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!all.empty() && all.back() == '\n') {
    all.pop_back();
    if (!all.empty() && all.back() == '\r') all.pop_back();
  }
  return all;
}

// Every value checked; one line for each refused one.
bool ValuesPass(const std::vector<Assignment>& all, const Context& c) {
  bool pass = true;
  for (const Assignment& a : all) {
    const std::optional<app::Refusal> refusal = a.record != nullptr
                                                    ? app::CheckRecordSetting(*a.record, a.value)
                                                    : app::CheckSettingValue(*a.file, a.value);
    if (!refusal) continue;
    Refuse(c, a.key + " " + refusal->reason + "; it must be " + refusal->allowed);
    pass = false;
  }
  return pass;
}

// Another command may have added a record between this one's look and its
// add (the service adds the default one when it starts on an empty
// directory): every reader takes the first record, so the first gets these
// values and the others go.
void KeepOneRecord(framework::FileManager& file, const std::vector<char>& mine) {
  if (file.Records() <= 1) return;
  if (file.SetOrder() != 0 || file.Watch() != 0 || file.Next(false) != 0) return;
  if (file.buffer() != mine) {
    file.buffer() = mine;
    if (file.Update(framework::kUpdateSilent) != 0) return;
  }
  while (file.Next(false) == 0) file.Delete(false);
}

// Reads the record (or starts from the defaults), applies the record fields
// and writes it back in place; a change made elsewhere meanwhile is read
// again and the values applied to it.
bool WriteRecord(const std::vector<Assignment>& all, const Context& c, std::string* error) {
  CommandErrors errors;
  app::GatewayRelations relations(c.data_dir, &errors);
  framework::TableUse use(&relations.relation(app::Table::kControl), false);
  framework::FileManager& file = relations.file(app::Table::kControl);
  if (use.result() != 0 || file.Use() != 0) {
    *error = "cannot open the settings table: " + errors.last_text();
    return false;
  }
  auto lock = file.Lock();
  for (int attempt = 0; attempt < kChangedElsewhereTries; ++attempt) {
    const bool found = file.SetOrder() == 0 && file.Watch() == 0 && file.Next(false) == 0;
    if (!found && !file.at_eof()) break;
    app::ControlRow row = app::DefaultSettings();
    if (found) {
      row = app::ReadControl(file.buffer());
    } else {
      framework::ClearRecord(file.def(), &file.buffer());
    }
    for (const Assignment& a : all) {
      if (a.record != nullptr) app::SetRecordSetting(&row, *a.record, a.value);
    }
    app::WriteControl(row, &file.buffer());
    const std::vector<char> mine = file.buffer();
    if ((found ? file.Update(framework::kUpdateSilent) : file.Insert(false)) == 0) {
      if (!found) KeepOneRecord(file, mine);
      return true;
    }
    if (!found || !file.update_met_change()) break;
  }
  *error = "the settings record was not written: " +
           (errors.last_text().empty() ? std::string("changed elsewhere at every try")
                                       : errors.last_text());
  return false;
}

bool WriteFile(const std::vector<Assignment>& all, const Context& c, std::string* error) {
  bool any = false;
  for (const Assignment& a : all) any = any || a.file != nullptr;
  if (!any) return true;
  auto lock = app::SettingsWriteLock::Acquire(c.data_dir, std::chrono::seconds(10), error);
  if (!lock) return false;
  platform::Result<app::SettingsFile> file = app::SettingsFile::Read(c.data_dir, *c.keys);
  if (!file.ok()) {
    *error = file.status().message();
    return false;
  }
  for (const Assignment& a : all) {
    if (a.file != nullptr) file->Set(a.key, a.value);
  }
  const platform::Status s = file->Write();
  if (!s.ok()) *error = "the settings file was not written: " + s.message();
  return s.ok();
}

int Set(const std::vector<std::string>& words, const Context& c) {
  if (words.empty()) return UsageError(c, "settings", "set needs KEY=VALUE");
  std::vector<Assignment> all;
  if (!ParseAssignments(words, c, &all)) return kExitRefused;
  for (Assignment& a : all) {
    if (a.from_stdin) a.value = ReadInput(*c.in);
  }
  if (!ValuesPass(all, c)) return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  std::string error;
  // The settings file is read before anything is written, so a damaged or
  // unsafe one refuses the whole command.
  if (platform::Result<app::SettingsFile> f = app::SettingsFile::Read(c.data_dir, *c.keys); !f.ok())
    return Refuse(c, f.status().message());
  if (!WriteRecord(all, c, &error) || !WriteFile(all, c, &error)) return Refuse(c, error);
  return kExitOk;
}

}  // namespace

int SettingsCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << SettingsHelp(c);
    return kExitOk;
  }
  const std::optional<std::string> verb = args.TakeVerb();
  if (!verb) return UsageError(c, "settings", "show or set?");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "settings", args.error());
  if (*verb == "show") {
    if (!rest.empty()) return UsageError(c, "settings", "show takes no arguments");
    if (int rc = CheckDirectory(c)) return rc;
    return Show(c);
  }
  if (*verb == "set") return Set(rest, c);
  return UsageError(c, "settings", "unknown settings command " + ShownText(*verb));
}

}  // namespace vm::cli
