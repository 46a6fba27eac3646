// `test-mail ADDRESS`: one short message with the settings of the working
// directory, the dialogue printed as it goes (credentials as ****) and the
// outcome, so an operator sees whether the mail server takes the gateway's
// mail before any recording waits on it.
#include "app/mail_settings.h"
#include "app/settings_record.h"
#include "app/test_mail.h"
#include "cli/commands.h"
#include "cli/text_escape.h"
#include "net/net_runtime.h"

namespace vm::cli {
namespace {

constexpr const char* kTestMailHelp =
    "Usage: voicemail-mailer [--data-dir DIR] test-mail ADDRESS\n"
    "Sends one short message to ADDRESS with the current settings (server, port,\n"
    "from, security, login, certificate checks, helo-name) and prints the dialogue:\n"
    "each command sent (C:), each reply (S:), the TLS session, and the outcome.\n"
    "The login name and password are shown as ****.\n"
    "\n"
    "Exit status: 0 the server accepted the message; 1 it did not (the last line\n"
    "says why); 2 the test could not start (no settings, an unusable settings\n"
    "file, an address that is not one).\n";

constexpr int kExitNotAccepted = 1;

}  // namespace

int TestMailCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << kTestMailHelp;
    return kExitOk;
  }
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "test-mail", args.error());
  if (rest.size() != 1) return UsageError(c, "test-mail", "give one ADDRESS");
  if (auto refusal = app::CheckTestAddress(rest[0]))
    return Refuse(c,
                  ShownText(rest[0]) + " " + refusal->reason + "; it must be " + refusal->allowed);
  if (int rc = CheckDirectory(c)) return rc;
  auto record = app::ReadSettingsRecord(c.data_dir);
  if (!record.ok()) return Refuse(c, record.status().message());
  if (!record->has_value() || (*record)->smtp_server.empty())
    return Refuse(c, "no mail server is set in " + c.shown_dir() +
                         "; set one with: voicemail-mailer settings set server=HOST port=PORT");
  auto file = app::SettingsFile::Read(c.data_dir, *c.keys);
  if (!file.ok()) return Refuse(c, file.status().message());
  for (const std::string& line : app::MailSettingsWarnings(*file))
    *c.err << "voicemail-mailer: " << line << "\n";

  const app::TestMail mail =
      app::MakeTestMail(**record, app::MailSettingsOf(*file), rest[0], c.shown_dir());
  *c.out << ShownText(app::TestMailHeading(mail)) << "\n" << std::flush;
  net::NetRuntime::Start({});
  const app::TestMailOutcome outcome = app::SendTestMail(mail, [&c](const std::string& line) {
    *c.out << ShownText(line) << "\n" << std::flush;
  });
  net::NetRuntime::Shutdown();
  *c.out << ShownText(app::TestMailVerdict(outcome)) << "\n";
  return outcome.accepted ? kExitOk : kExitNotAccepted;
}

}  // namespace vm::cli
