// `settings show` and `settings set` as an operator uses them: round trips of
// UTF-8, line breaks and standard input through the settings record; every
// refused value ends with status 2, one line naming the key and the limit,
// and not one byte written; the keys of the settings file (with keys defined
// here) beside the record's; the program's own switches and its help.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/gateway_files.h"
#include "app/settings_file.h"
#include "cli/commands.h"
#include "cli_test_support.h"

namespace vm::cli::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

class SettingsCommandTest : public CliTest {
 protected:
  app::ControlRow Record() {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kControl);
    auto& con = files.control();
    EXPECT_TRUE(con.Set() == 0 && con.Next() == 0);
    return app::ReadControl(con.buffer());
  }
};

TEST_F(SettingsCommandTest, SetThenShowRoundTripsUtf8LineBreaksAndStandardInput) {
  Outcome empty = Run({"settings", "show"});
  EXPECT_EQ(empty.status, 0);
  // Without a record only the settings file's keys show, at their defaults.
  EXPECT_EQ(empty.out,
            "security=none\nuser=\npassword=(not set)\nca-file=\nverify=yes\n"
            "helo-name=NetSendMail\nmax-attachment=20\nretry-for=24\nsettle=45\n");
  EXPECT_NE(empty.err.find("no settings record"), std::string::npos) << empty.err;
  EXPECT_TRUE(Snapshot(data_dir()).empty()) << "show made a file";

  const std::string subject = "Neue Nachricht f\xC3\xBCr <EXT> \xE2\x80\x93 \xF0\x9F\x93\x9E";
  Outcome set =
      Run({"settings", "set", "server=mail.example.com", "port=587",
           "from=Voice Mail <vm@example.com>", "subject=" + subject, "root=" + tree(),
           "attach-body=Line one\\nLine two\\twith a tab and a \\\\ backslash", "plain-body=-"},
          "From standard input, taken as it is: \\n stays\r\nsecond line\n");
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(set.out + set.err, "");

  const app::ControlRow row = Record();
  EXPECT_EQ(row.smtp_server, "mail.example.com");
  EXPECT_EQ(row.port, 587);
  EXPECT_EQ(row.subject, subject);
  EXPECT_EQ(row.applicate_path, tree());
  EXPECT_EQ(row.idle_time, "60") << "a new record starts from the defaults";
  EXPECT_EQ(row.attachment_body, "Line one\nLine two\twith a tab and a \\ backslash");
  EXPECT_EQ(row.nonattachment_body,
            "From standard input, taken as it is: \\n stays\r\nsecond line");

  Outcome show = Run({"settings", "show"});
  ASSERT_EQ(show.status, 0) << show.err;
  const std::vector<std::string> lines = Lines(show.out);
  ASSERT_EQ(lines.size(), 17u) << show.out;  // the record's 8, the settings file's 9
  EXPECT_EQ(lines[0], "server=mail.example.com");
  EXPECT_EQ(lines[1], "port=587");
  EXPECT_EQ(lines[2], "from=Voice Mail <vm@example.com>");
  EXPECT_EQ(lines[3], "subject=" + subject);
  EXPECT_EQ(lines[5], "idle-time=60");
  EXPECT_EQ(lines[6], "attach-body=Line one\\nLine two\\twith a tab and a \\\\ backslash");
  EXPECT_EQ(lines[7],
            "plain-body=From standard input, taken as it is: \\\\n stays\\r\\nsecond line");

  // Each line shown, given back to `set`, stores the same value (all but
  // the password's, which is never shown).
  Outcome reset = Run([&] {
    std::vector<std::string> args = {"settings", "set"};
    for (const std::string& l : lines)
      if (l.rfind("password=", 0) != 0) args.push_back(l);
    return args;
  }());
  ASSERT_EQ(reset.status, 0) << reset.err;
  EXPECT_EQ(Run({"settings", "show"}).out, show.out);
  EXPECT_EQ(Record().nonattachment_body, row.nonattachment_body);
}

TEST_F(SettingsCommandTest, EveryRefusalIsOneLineStatusTwoAndNothingWritten) {
  ASSERT_EQ(Run({"settings", "set", "server=mail.example.com", "port=25"}).status, 0);
  const auto before = Snapshot(data_dir());
  struct Case {
    std::vector<std::string> words;
    std::string input;
    std::string line;  // what the refusal line says
  };
  const std::vector<Case> cases = {
      {{"port=0"}, "", "port is out of range; it must be a number from 1 to 32767"},
      {{"port=32768"}, "", "port is out of range"},
      {{"port=2.5"}, "", "port is not a number"},
      {{"port="}, "", "port is empty"},
      {{"subject=one\\ntwo"}, "", "subject holds a line break; it must be one line"},
      {{"subject=" + std::string(256, 's')}, "", "subject is 256 bytes long"},
      {{"subject=caf\xE9"}, "", "subject is not valid UTF-8"},
      {{"root=/var/\x1b[31mvm"}, "", "root holds a control character"},
      {{"from=voicemail"}, "", "from is not an address"},
      {{"server=mail server"}, "", "server is not a host name"},
      {{"server=" + std::string(41, 'm')}, "", "server is 41 bytes long"},
      {{"idle-time=1000"}, "", "idle-time has more than three digits"},
      {{"attach-body=-"}, std::string(1000, 'b'), "attach-body is 1000 bytes long"},
      {{"plain-body=-"}, std::string("a\0b", 3), "plain-body holds a control character"},
      {{"password=x"}, "", "password is secret: give it on standard input, as password=-"},
      {{"passwd=x"}, "", "unknown setting passwd"},
      {{"server"}, "", "set takes KEY=VALUE, not server"},
      {{"server=a.example.com", "server=b.example.com"}, "", "server is given twice"},
      {{"attach-body=-", "plain-body=-"}, "x", "only one value a command"},
      // A good value beside a refused one is not written either.
      {{"server=other.example.com", "port=99999"}, "", "port is out of range"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"settings", "set"};
    args.insert(args.end(), c.words.begin(), c.words.end());
    const Outcome o = Run(args, c.input);
    EXPECT_EQ(o.status, 2) << c.line;
    EXPECT_EQ(o.out, "") << c.line;
    EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find(c.line), std::string::npos) << o.err;
    EXPECT_TRUE(Snapshot(data_dir()) == before) << "written by: " << c.line;
  }
  // Two refused values: a line for each, still nothing written.
  const Outcome two = Run({"settings", "set", "port=0", "from=x"});
  EXPECT_EQ(two.status, 2);
  EXPECT_EQ(Lines(two.err).size(), 2u) << two.err;
  EXPECT_TRUE(Snapshot(data_dir()) == before);
  EXPECT_EQ(Record().smtp_server, "mail.example.com");
}

TEST_F(SettingsCommandTest, ARefusalInAnEmptyDirectoryMakesNoFileAndSetMakesTheRecord) {
  EXPECT_EQ(Run({"settings", "set", "port=0"}).status, 2);
  EXPECT_TRUE(Snapshot(data_dir()).empty());
  ASSERT_EQ(Run({"settings", "set", "root=" + tree()}).status, 0);
  const app::ControlRow row = Record();
  EXPECT_EQ(row.applicate_path, tree());
  EXPECT_EQ(row.port, 25);
  EXPECT_EQ(row.from, app::DefaultSettings().from);
}

TEST_F(SettingsCommandTest, UsageHelpAndTheProgramsOwnSwitches) {
  const Outcome help = Run({"settings", "--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* key : {"server", "port", "from", "subject", "root", "idle-time", "attach-body",
                          "plain-body", "KEY=-"})
    EXPECT_NE(help.out.find(key), std::string::npos) << key;
  EXPECT_EQ(RunProgram({"--help", "settings"}).out, help.out);
  for (const auto& words : std::vector<std::vector<std::string>>{{"settings"},
                                                                 {"settings", "show", "extra"},
                                                                 {"settings", "frob"},
                                                                 {"settings", "set"},
                                                                 {"settings", "show", "--json"}}) {
    const Outcome o = Run(words);
    EXPECT_EQ(o.status, 2) << words.back();
    EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find("see voicemail-mailer settings --help"), std::string::npos) << o.err;
  }
  // --data-dir may stand anywhere; a missing directory is refused.
  EXPECT_EQ(RunProgram({"--data-dir", data_dir(), "settings", "set", "port=26"}).status, 0);
  EXPECT_EQ(RunProgram({"settings", "--data-dir", data_dir(), "show"}).out.substr(0, 7), "server=");
  const Outcome missing = RunProgram({"settings", "show", "--data-dir", data_dir() + "/nope"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos);

  const Outcome program_help = RunProgram({"--help"});
  EXPECT_EQ(program_help.status, 0);
  EXPECT_NE(program_help.out.find("settings set KEY=VALUE"), std::string::npos);
  const Outcome bogus = RunProgram({"--bogus"});
  EXPECT_EQ(bogus.status, 2);
  EXPECT_EQ(bogus.err, "voicemail-mailer: unknown option --bogus (see --help)\n");
  EXPECT_EQ(bogus.out, "");
  EXPECT_EQ(RunProgram({"frobnicate"}).err,
            "voicemail-mailer: unknown command frobnicate (see --help)\n");
  EXPECT_EQ(RunProgram({"--headless", "settings", "show"}).status, 2);
}

TEST_F(SettingsCommandTest, ScanOnceOnAnEmptyDirectorySaysOnlyWhyNoPassRan) {
  const Outcome o = Run({"--scan-once"});
  EXPECT_EQ(o.status, 2);
  EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
  EXPECT_EQ(o.err.find("pass ended"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("no settings record in " + data_dir() + ", so no pass ran"),
            std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("voicemail-mailer --data-dir " + data_dir() + " settings set "),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(fs::exists(fs::path(data_dir()) / "CONTROL.KFS"));
}

TEST_F(SettingsCommandTest, MailKeysAreCheckedAndThePasswordLivesOnlyInCredentials) {
  const std::string ca = (root() / "ca.pem").string();
  std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n";
  ASSERT_EQ(Run({"settings", "set", "server=smtp.example.com", "port=587"}).status, 0);
  const Outcome set =
      Run({"settings", "set", "security=starttls", "user=alice@example.com", "ca-file=" + ca,
           "verify=no", "helo-name=gw.example.com", "max-attachment=4096", "settle=2"});
  ASSERT_EQ(set.status, 0) << set.err;
  const std::string password = "Pw-\xC3\xA9t\xC3\xA9 with spaces";
  ASSERT_EQ(Run({"settings", "set", "password=-"}, password + "\n").status, 0);

  const Outcome show = Run({"settings", "show"});
  for (const std::string& line : std::vector<std::string>{
           "security=starttls", "user=alice@example.com", "password=(set)", "ca-file=" + ca,
           "verify=no", "helo-name=gw.example.com", "max-attachment=4096", "settle=2"})
    EXPECT_NE(show.out.find(line + "\n"), std::string::npos) << line << "\n" << show.out;
  EXPECT_EQ((show.out + show.err).find("w\xC3\xA9t"), std::string::npos);
  const fs::path credentials = fs::path(data_dir()) / app::kCredentialsFileName;
  EXPECT_EQ(fs::status(credentials).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  for (const auto& [name, bytes] : Snapshot(data_dir())) {
    const bool holds = bytes.find(password) != std::string::npos;
    EXPECT_EQ(holds, name == app::kCredentialsFileName) << name;
  }

  // Each refused value: one line, status 2, nothing written.
  const auto before = Snapshot(data_dir());
  const struct {
    std::string word, input, line;
  } cases[] = {
      // Each key's rule in full is app/mail_settings_test's; here, one refusal
      // of each as the operator sees it.
      {"ca-file=ca.pem", "", "ca-file is not allowed; it must be the absolute path of a readable"},
      {"security=ssl", "", "security is not allowed; it must be none (plain SMTP), starttls"},
      {"verify=maybe", "", "verify is not allowed; it must be yes or no"},
      {"helo-name=gw example", "", "helo-name is not allowed; it must be a host name"},
      {"max-attachment=4097", "",
       "max-attachment is not allowed; it must be a number of megabytes from 1 to 4096"},
      {"retry-for=721", "", "retry-for is not allowed; it must be whole hours from 0 to 720"},
      {"retry-for=1.5", "", "retry-for is not allowed; it must be whole hours from 0 to 720"},
      {"settle=0", "", "settle is not allowed; it must be a whole number of seconds from 1 to"},
      {"settle=3601", "", "settle is not allowed"},
      {"settle=02", "", "settle is not allowed"},
      {"settle=2 s", "", "settle is not allowed"},
      {"user=" + std::string(256, 'u'), "", "user is not allowed; it must be the login name"},
      {"password=-", std::string(256, 'p'), "password is not allowed"},
      {"password=" + password, "", "password is secret: give it on standard input"},
  };
  for (const auto& c : cases) {
    const Outcome o = Run({"settings", "set", c.word}, c.input);
    EXPECT_EQ(o.status, 2) << c.word;
    EXPECT_EQ(Lines(o.err).size(), 1u) << o.err;
    EXPECT_NE(o.err.find(c.line), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("ppppp"), std::string::npos) << "a refused secret was echoed";
    EXPECT_TRUE(Snapshot(data_dir()) == before) << "written by: " << c.word;
  }

  // A credentials file others may read is refused by every command that
  // reads it, with the file and the fix on one line.
  fs::permissions(credentials, fs::perms::group_read | fs::perms::others_read,
                  fs::perm_options::add);
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"settings", "show"}, {"settings", "set", "port=25"}, {"test-mail", "a@example.com"}}) {
    const Outcome o = Run(words);
    EXPECT_EQ(o.status, 2) << words[0];
    EXPECT_EQ(o.err, "voicemail-mailer: " + credentials.string() +
                         " can be read by other users; make it private: chmod 600 " +
                         credentials.string() + "\n");
  }
  fs::permissions(credentials, fs::perms::owner_read | fs::perms::owner_write);
  // An empty password on standard input takes the password away.
  ASSERT_EQ(Run({"settings", "set", "password=-"}, "\n").status, 0);
  EXPECT_NE(Run({"settings", "show"}).out.find("password=(not set)\n"), std::string::npos);
}

// The keys of the settings file, with a table defined here: the command
// runs in this process with the table in its context.
class SettingsFileKeysTest : public SettingsCommandTest {
 protected:
  Outcome Command(std::vector<std::string> words, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    Context c;
    c.data_dir = data_dir();
    c.in = &in;
    c.out = &out;
    c.err = &err;
    c.keys = &keys_;
    Outcome o;
    o.status = RunCommand(std::move(words), c);
    o.out = out.str();
    o.err = err.str();
    return o;
  }
  const std::vector<app::SettingKey> keys_ = {
      {"security", "none",
       [](std::string_view v) { return v == "none" || v == "starttls" || v == "tls"; },
       "none, starttls or tls", false},
      {"password", "", nullptr, "one line", true},
  };
};

TEST_F(SettingsFileKeysTest, FileKeysFollowTheRecordsRulesAndSecretsStaySecret) {
  Outcome show = Command({"settings", "show"});
  EXPECT_EQ(show.out, "security=none\npassword=(not set)\n");

  const Outcome set = Command({"settings", "set", "security=starttls", "password=-", "port=587"},
                              "pa\xC3\x9fw0rd\n");
  ASSERT_EQ(set.status, 0) << set.err;
  show = Command({"settings", "show"});
  EXPECT_NE(show.out.find("port=587\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("security=starttls\npassword=(set)\n"), std::string::npos);
  EXPECT_EQ(show.out.find("pa\xC3\x9fw0rd"), std::string::npos);
  const std::string credentials =
      app::testing::ReadFileBytes(fs::path(data_dir()) / app::kCredentialsFileName);
  EXPECT_EQ(credentials.substr(credentials.find("password=")), "password=pa\xC3\x9fw0rd\n");
  for (const auto& [name, bytes] : Snapshot(data_dir())) {
    if (name != app::kCredentialsFileName) {
      EXPECT_EQ(bytes.find("w0rd"), std::string::npos) << "the password is in " << name;
    }
  }

  const auto before = Snapshot(data_dir());
  const Outcome typed = Command({"settings", "set", "password=typed"});
  EXPECT_EQ(typed.status, 2);
  EXPECT_NE(typed.err.find("password is secret: give it on standard input, as password=-"),
            std::string::npos)
      << typed.err;
  const Outcome bad = Command({"settings", "set", "security=ssl", "port=588"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err,
            "voicemail-mailer: security is not allowed; it must be none, starttls or tls\n");
  const Outcome line = Command({"settings", "set", "password=-"}, "two\nlines\n");
  EXPECT_EQ(line.status, 2);
  EXPECT_NE(line.err.find("password holds a line break"), std::string::npos);
  EXPECT_EQ(line.err.find("two"), std::string::npos) << "a secret was echoed";
  EXPECT_TRUE(Snapshot(data_dir()) == before);
  EXPECT_NE(Command({"settings", "--help"})
                .out.find("security        none, starttls or tls "
                          "(default none)"),
            std::string::npos);
}

}  // namespace
}  // namespace vm::cli::testing
