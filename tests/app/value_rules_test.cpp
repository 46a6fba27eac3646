// The rules every typed value meets before it is stored, whether a form or a
// command typed it: addresses as the mail object will read them, host names,
// numbers without clamping, texts without cutting, and the rule of each
// settings key and mailbox field.
#include "app/value_rules.h"

#include <gtest/gtest.h>

#include "app/mailbox_rules.h"
#include "app/settings_rules.h"
#include "framework/error_manager.h"

namespace vm::app {
namespace {

TEST(ValueRulesTest, AddressesAreWhatTheMailObjectReadsBetweenTheBrackets) {
  for (const char* good :
       {"alice@example.com", "a.b+tag@mail.example.org", "vm@localhost", "x@[192.168.1.10]",
        "Voice Mail <vm@example.com>", "\"Doe, John\" <john@example.com>", "<bare@example.com>",
        "jörg@müller.example", "o'brien@example.ie"}) {
    EXPECT_TRUE(IsAddressList(good, true)) << good;
  }
  for (const char* bad :
       {"", "alice", "@example.com", "alice@", "a..b@example.com", ".a@example.com",
        "alice@exa mple.com", "alice@-example.com", "alice@example..com", "al ice@example.com",
        "Name <alice@example.com", "Name alice@example.com>", "a\"b@example.com",
        "<alice@example.com> trailing", "Na<me <alice@example.com>", "x@[300.1.1.1]", "x@[1.2.3]",
        "a@b, c@d", "alice@example.com;"}) {
    EXPECT_FALSE(IsAddressList(bad, true)) << bad;
  }
  // Lists: separators inside quotes or brackets belong to their entry.
  EXPECT_TRUE(IsAddressList("a@x.org, \"B, C\" <bc@x.org>; d@x.org", false));
  EXPECT_FALSE(IsAddressList("a@x.org,, b@x.org", false));
  EXPECT_FALSE(IsAddressList("a@x.org, ", false));
  // Bytes that are not UTF-8 make no address.
  EXPECT_FALSE(IsMailAddress("caf\xE9@example.com"));
}

TEST(ValueRulesTest, HostNamesNumbersAndTextsAreRefusedNotCutOrClamped) {
  for (const char* good : {"localhost", "127.0.0.1", "smtp.example.com", "mail-1.corp_lan"})
    EXPECT_TRUE(IsHostName(good)) << good;
  for (const char* bad : {"", "a..b", "-a.com", "a-.com", "a b", "mail.example.com.", "h/x"})
    EXPECT_FALSE(IsHostName(bad)) << bad;

  EXPECT_FALSE(CheckNumber("1", 1, 32767, "n"));
  EXPECT_FALSE(CheckNumber("32767", 1, 32767, "n"));
  EXPECT_FALSE(CheckNumber("00025", 1, 32767, "n"));
  for (const char* bad :
       {"0", "32768", "99999999999999999999999", "-1", "+5", " 5", "5 ", "", "0x19", "2.5"}) {
    const std::optional<Refusal> r = CheckNumber(bad, 1, 32767, "a number from 1 to 32767");
    ASSERT_TRUE(r) << bad;
    EXPECT_EQ(r->allowed, "a number from 1 to 32767");
  }
  EXPECT_EQ(NumberOf("00587"), 587);

  EXPECT_FALSE(CheckText(std::string(255, 'a'), 255, true, "t"));
  EXPECT_EQ(CheckText(std::string(256, 'a'), 255, true, "t")->reason, "is 256 bytes long");
  // Length counts bytes: 128 two-byte letters are 256 bytes.
  std::string umlauts;
  for (int i = 0; i < 128; ++i) umlauts += "\xC3\xA4";
  EXPECT_TRUE(CheckText(umlauts, 255, true, "t"));
  EXPECT_EQ(CheckText("a\nb", 255, true, "t")->reason, "holds a line break");
  EXPECT_EQ(CheckText("a\rb", 255, true, "t")->reason, "holds a line break");
  EXPECT_EQ(CheckText("a\x1b[2Jb", 255, true, "t")->reason, "holds a control character");
  EXPECT_FALSE(CheckText("line 1\r\nline 2\ttab", 999, false, "t"));
  EXPECT_TRUE(CheckText(std::string("a\0b", 3), 999, false, "t"));
  EXPECT_EQ(CheckText("\xC3(", 999, false, "t")->reason, "is not valid UTF-8");
  EXPECT_TRUE(CheckText("\xED\xA0\x80", 999, false, "t"));  // a surrogate
}

TEST(ValueRulesTest, EachSettingsKeyHasItsRule) {
  const auto check = [](const char* key, const std::string& value) {
    const RecordSetting* s = FindRecordSetting(key);
    EXPECT_NE(s, nullptr) << key;
    return s == nullptr ? std::optional<Refusal>() : CheckRecordSetting(*s, value);
  };
  EXPECT_FALSE(check("server", ""));
  EXPECT_TRUE(check("server", std::string(41, 'a')));
  EXPECT_FALSE(check("port", "587"));
  EXPECT_TRUE(check("port", "0"));
  EXPECT_FALSE(check("from", ""));
  EXPECT_TRUE(check("from", "VoiceMail <vm@example.com>, other@example.com"));
  EXPECT_TRUE(check("from", "Voice Mail Gateway <voicemail@very-long-domain.example.com>"));
  EXPECT_FALSE(check("idle-time", ""));
  EXPECT_FALSE(check("idle-time", "999"));
  EXPECT_TRUE(check("idle-time", "1000"));
  EXPECT_FALSE(check("root", "/var/spool/voicemail"));
  EXPECT_FALSE(check("attach-body", std::string(999, 'b')));
  EXPECT_TRUE(check("attach-body", std::string(1000, 'b')));
  EXPECT_TRUE(check("plain-body", std::string("a\0b", 3)));
  EXPECT_EQ(FindRecordSetting("password"), nullptr);
  // The form finds the same rules by its field names.
  EXPECT_TRUE(CheckSettingsField("CON:PORT", "40000"));
  EXPECT_FALSE(CheckSettingsField("CON:PORT", "2525"));
  EXPECT_FALSE(CheckSettingsField("CON:UNKNOWN", "anything"));

  // Every record field round-trips through its key.
  ControlRow row;
  for (const RecordSetting& s : RecordSettings()) {
    const std::string v = std::string(s.key) == "port" ? "2525" : "v-" + std::string(s.key);
    SetRecordSetting(&row, s, v);
    EXPECT_EQ(RecordSettingValue(row, s), v) << s.key;
  }
}

TEST(ValueRulesTest, MailboxValuesAndTheFormsMessage) {
  EXPECT_FALSE(CheckMailboxNumber("101"));
  EXPECT_TRUE(CheckMailboxNumber("0"));
  EXPECT_TRUE(CheckMailboxNumber("32768"));
  EXPECT_FALSE(CheckMailboxAddress(""));
  EXPECT_FALSE(CheckMailboxAddress("a@x.org, b@x.org"));
  EXPECT_TRUE(CheckMailboxAddress("a@x.org\n"));
  EXPECT_TRUE(CheckMailboxAddress(std::string(40, 'a') + "@example.com"));  // 52 bytes
  EXPECT_EQ(YesNoWord("yes"), "YES");
  EXPECT_EQ(YesNoWord("No"), "NO");
  EXPECT_FALSE(YesNoWord("y"));
  EXPECT_TRUE(CheckMailboxField("MAI:MAILBOX_NO", "40000"));
  EXPECT_FALSE(CheckMailboxField("MAI:ENABLE_EMAIL", "yes"));  // the field check's

  // The forms' refusal, as the operator reads it.
  framework::ErrorManager errors;
  AddValueMessages(&errors);
  const framework::ValueCheck form_check = FormValueCheck(CheckSettingsField);
  const std::optional<framework::FieldRefusal> refusal = form_check("CON:PORT", "0");
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->id, kMsgValueRefused);
  errors.SetField("CON:PORT");
  errors.SetMessageText(refusal->message);
  EXPECT_EQ(errors.SubstitutedText(kMsgValueRefused),
            "The value of CON:PORT must be a number from 1 to 32767.");
  EXPECT_FALSE(form_check("CON:PORT", "25"));
}

}  // namespace
}  // namespace vm::app
