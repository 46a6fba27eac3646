// The mail settings of the settings file: the rule of each key, what a file
// (or its absence) gives the mail object, the warnings a pass writes, and
// that the defaults leave the mail object's dialogue as it was.
#include "app/mail_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app_test_support.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;

class MailSettingsTest : public GatewayTest {
 protected:
  const SettingKey& Key(const char* name) {
    const SettingKey* k = FindSettingKey(ProgramSettingKeys(), name);
    EXPECT_NE(k, nullptr) << name;
    return *k;
  }
  bool Admits(const char* key, std::string_view value) {
    return !CheckSettingValue(Key(key), value).has_value();
  }
  SettingsFile Read() {
    auto f = SettingsFile::Read(data_dir());
    EXPECT_TRUE(f.ok()) << f.status().message();
    return std::move(f.value());
  }
};

TEST_F(MailSettingsTest, EachKeyAdmitsItsValuesOnly) {
  for (const char* ok : {"none", "starttls", "tls"}) EXPECT_TRUE(Admits(kKeySecurity, ok)) << ok;
  for (const char* bad : {"", "ssl", "STARTTLS", "tls ", "starttls\n"})
    EXPECT_FALSE(Admits(kKeySecurity, bad)) << bad;
  EXPECT_TRUE(Admits(kKeyVerify, "yes") && Admits(kKeyVerify, "no"));
  EXPECT_FALSE(Admits(kKeyVerify, "true") || Admits(kKeyVerify, "Yes") || Admits(kKeyVerify, ""));

  const fs::path ca = root() / "ca.pem";
  std::ofstream(ca) << "PEM";
  EXPECT_TRUE(Admits(kKeyCaFile, ca.string()));
  EXPECT_TRUE(Admits(kKeyCaFile, "")) << "empty: the system's store only";
  EXPECT_FALSE(Admits(kKeyCaFile, "ca.pem")) << "relative to whose directory?";
  EXPECT_FALSE(Admits(kKeyCaFile, (root() / "missing.pem").string()));
  EXPECT_FALSE(Admits(kKeyCaFile, root().string())) << "a directory";
  fs::create_symlink(ca, root() / "link.pem");
  EXPECT_TRUE(Admits(kKeyCaFile, (root() / "link.pem").string())) << "a link to a file";

  for (const char* ok : {"NetSendMail", "gw.example.com", "mail-1.example.org", "127.0.0.1"})
    EXPECT_TRUE(Admits(kKeyHeloName, ok)) << ok;
  for (const char* bad : {"", "gw example", "gw_1.example.com", "-gw.example.com",
                          "g\xC3\xBC.example.com", "gw.example.com\r\nMAIL FROM:<x@y>"})
    EXPECT_FALSE(Admits(kKeyHeloName, bad)) << bad;

  EXPECT_TRUE(Admits(kKeyUser, "") && Admits(kKeyUser, std::string(255, 'u')));
  EXPECT_FALSE(Admits(kKeyUser, std::string(256, 'u')));
  EXPECT_FALSE(Admits(kKeyUser, "al\nice"));
  EXPECT_TRUE(Admits(kKeyPassword, "p\xC3\xA4ss word with = and #"));
  EXPECT_FALSE(Admits(kKeyPassword, std::string(256, 'p')));
  EXPECT_FALSE(Admits(kKeyPassword, "two\nlines"));

  // Only the password is secret.
  for (const SettingKey& k : ProgramSettingKeys())
    EXPECT_EQ(k.secret, k.name == kKeyPassword) << k.name;
}

TEST_F(MailSettingsTest, NoFileGivesThePlainDialogueAndTheMailObjectSendsWhatItSentBefore) {
  const MailSettings m = MailSettingsOf(Read());
  EXPECT_EQ(m.security, mail::Security::kNone);
  EXPECT_TRUE(m.tls.verify);
  EXPECT_EQ(m.tls.ca_file, "");
  EXPECT_EQ(m.helo_name, mail::kDefaultHeloName);
  EXPECT_FALSE(m.login());
  EXPECT_TRUE(MailSettingsWarnings(Read()).empty());

  // The defaults handed over change nothing the mail object sends: the same
  // greeting, no login, no TLS (the pass tests check the bytes on the wire).
  mail::NetEmailSend plain, applied;
  plain.Init();
  applied.Init();
  ApplyMailSettings(m, &applied);
  EXPECT_EQ(applied.security(), plain.security());
  EXPECT_EQ(applied.AUTHUSER, plain.AUTHUSER);
  EXPECT_EQ(applied.AUTHPASSWORD, plain.AUTHPASSWORD);
  plain.Kill();
  applied.Kill();
}

TEST_F(MailSettingsTest, StoredValuesReachTheMailObjectAndAPasswordWithoutAUserIsNoLogin) {
  const fs::path ca = root() / "ca.pem";
  std::ofstream(ca) << "PEM";
  SettingsFile f = Read();
  f.Set(kKeySecurity, "tls");
  f.Set(kKeyCaFile, ca.string());
  f.Set(kKeyVerify, "no");
  f.Set(kKeyHeloName, "gw.example.com");
  f.Set(kKeyPassword, "secret");
  ASSERT_TRUE(f.Write().ok());

  MailSettings m = MailSettingsOf(Read());
  EXPECT_EQ(m.security, mail::Security::kTls);
  EXPECT_EQ(m.tls.ca_file, ca.string());
  EXPECT_FALSE(m.tls.verify);
  EXPECT_EQ(m.helo_name, "gw.example.com");
  mail::NetEmailSend mailer;
  mailer.Init();
  ApplyMailSettings(m, &mailer);
  EXPECT_EQ(mailer.security(), mail::Security::kTls);
  EXPECT_EQ(mailer.AUTHPASSWORD, "") << "a password alone must not start a login";

  f = Read();
  f.Set(kKeyUser, "alice");
  ASSERT_TRUE(f.Write().ok());
  m = MailSettingsOf(Read());
  ASSERT_TRUE(m.login());
  ApplyMailSettings(m, &mailer);
  EXPECT_EQ(mailer.AUTHUSER, "alice");
  EXPECT_EQ(mailer.AUTHPASSWORD, "secret");
  mailer.Kill();

  // verify=no is said at every read; a hand edit that breaks a rule is left
  // out (its default used) and named.
  const std::vector<std::string> warnings = MailSettingsWarnings(Read());
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].rfind("warning: verify=no: ", 0), 0u) << warnings[0];
  std::ofstream(fs::path(data_dir()) / kSettingsFileName, std::ios::app)
      << "security=ssl\nca-file=" << (root() / "gone.pem").string() << "\n";
  const SettingsFile edited = Read();
  m = MailSettingsOf(edited);
  EXPECT_EQ(m.security, mail::Security::kTls) << "the earlier, sound line counts";
  EXPECT_EQ(m.tls.ca_file, ca.string());
  const std::vector<std::string> now = MailSettingsWarnings(edited);
  ASSERT_EQ(now.size(), 3u);
  EXPECT_NE(now[1].find("ignored voicemail-mailer.conf line"), std::string::npos) << now[1];
  EXPECT_NE(now[1].find("security is not allowed"), std::string::npos) << now[1];
  EXPECT_NE(now[2].find("ca-file is not allowed"), std::string::npos) << now[2];
}

}  // namespace
}  // namespace vm::app::testing
