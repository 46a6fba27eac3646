// File names, subjects, display names and bodies that are not plain ASCII,
// or that hold the characters lists and headers use as syntax: every
// composed message is parsed by Python's email package and must come back
// with the same names, texts and bytes. Also the attachment list's refusal
// to read a file the caller did not name, and Message-IDs across processes.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "mail/mail_lists.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "mail_test_support.h"

namespace vm::mail {
namespace {

using testing::CheckMail;
using testing::MailTest;
using testing::TestMailer;

std::string Hex(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 15]);
  }
  return out;
}

std::string Content(size_t n, int seed) {
  std::string s(n, '\0');
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 7;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// The value after "<key>" on the checker's line that holds it, up to the
// end of the line.
std::string Field(const std::string& out, const std::string& key) {
  const size_t at = out.find(key);
  if (at == std::string::npos) return "<missing " + key + ">";
  const size_t start = at + key.size();
  return out.substr(start, out.find('\n', start) - start);
}

size_t LongestLineOf(const std::string& text) {
  return LongestLine(text);
}

class EncodingTest : public MailTest {
 protected:
  void PrepareMailer(TestMailer* m, const std::string& body) {
    m->SUPPRESSERRORMSG = 1;
    m->Init();
    m->SetClock(&clock_);
    m->SERVER = "127.0.0.1";
    m->TOLIST = "bob@example.com";
    m->FROM = "Voice Mail <vm@example.com>";
    m->SUBJECT = "New voice message";
    m->SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
    m->SetMessageText(body);
  }
  // Composes and checks that composition itself reported nothing (without a
  // runtime the open that follows fails, which is not composition's).
  std::string Compose(TestMailer* m) {
    m->SendMail(2);
    for (const testing::TrapRecord& t : m->traps) {
      EXPECT_EQ(t.function, "NetSimple(Client).Open") << t.text;
    }
    return std::string(m->ComposedMessage());
  }
  std::string Check(const std::string& message, const std::vector<std::string>& files = {}) {
    return CheckMail(dir_->Write("message.eml", message), files);
  }
};

TEST_F(EncodingTest, AttachmentNamesComeBackExactWithTheirBytes) {
  struct Name {
    std::string file;     // the name on disk
    std::string decoded;  // the name a reader must show, in UTF-8
  };
  const std::string e_acute = "\xc3\xa9";
  std::string long_utf8;
  for (int i = 0; i < 120; ++i) long_utf8 += e_acute;
  long_utf8 += "abcdef.wav";  // 250 bytes
  const std::vector<Name> names = {
      {"x\"other\"y.wav", "x\"other\"y.wav"},
      {"a,b.wav", "a,b.wav"},
      {"a|b.wav", "a|b.wav"},
      {"a;b.wav", "a;b.wav"},
      {"a=b.wav", "a=b.wav"},
      {"a\\b.wav", "a\\b.wav"},
      {"odd\r\nX-Evil: 1.wav", "odd\r\nX-Evil: 1.wav"},
      {"\xc3\xbcn\xc3\xaf"
       "c\xc3\xb8"
       "d\xc3\xa9.wav",
       "\xc3\xbcn\xc3\xaf"
       "c\xc3\xb8"
       "d\xc3\xa9.wav"},
      {"\xe9t\xe9 \x80.wav", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.wav"},  // windows-1252 bytes
      {long_utf8, long_utf8},
      {std::string(246, 'n') + ".wav", std::string(246, 'n') + ".wav"},
  };
  int seed = 1;
  for (const Name& n : names) {
    SCOPED_TRACE(Hex(n.file));
    const std::string content = Content(1000 + static_cast<size_t>(seed) * 37, seed);
    const std::string path = dir_->Write(n.file, content);
    ++seed;
    for (const bool literal : {true, false}) {
      SCOPED_TRACE(literal ? "AddAttachmentFile" : "ATTACHMENTLIST");
      TestMailer m;
      PrepareMailer(&m, "x");
      if (literal) {
        m.AddAttachmentFile(path);
      } else {
        m.ATTACHMENTLIST = path;
      }
      const std::string got = Compose(&m);
      EXPECT_FALSE(HasHighBytes(got)) << "header or body not 7-bit";
      EXPECT_EQ(got.find("\r\nX-Evil"), std::string::npos);
      EXPECT_LE(LongestLineOf(got), 998u);
      const std::string out = Check(got, {"f=" + path});
      EXPECT_EQ(out.find("defect"), std::string::npos) << out;
      EXPECT_EQ(Field(out, "namehex="), Hex(n.decoded)) << out;
      const std::string sha = Field(Field(out, "file f "), "sha256=");
      EXPECT_NE(
          out.find("cte=base64 len=" + std::to_string(content.size()) + " sha256=" + sha + "\n"),
          std::string::npos)
          << out;
    }
  }
}

TEST_F(EncodingTest, ListNeverAttachesAFileTheCallerDidNotName) {
  const std::string secret = dir_->Write("other", "SECRET BYTES");
  const std::string recording = dir_->Write("x\"other\"y.wav", "RECORDING BYTES");
  const std::string dir = dir_->path().string();
  {
    SCOPED_TRACE("a recording whose name holds quotes around the name of another file");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.ATTACHMENTLIST = recording;
    const std::string out = Check(Compose(&m), {"rec=" + recording, "other=" + secret});
    EXPECT_NE(out.find("len=15 sha256=" + Field(Field(out, "file rec "), "sha256=")),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("cte=base64 len=12 "), std::string::npos)
        << "the other file was attached: " << out;
  }
  {
    SCOPED_TRACE("the quotes of a missing file's name never select the file between them");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.ATTACHMENTLIST = dir + "/x\"" + dir + "/other\"y.wav";
    m.SendMail(2);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].error_during, -35);
    EXPECT_EQ(m.traps[0].text,
              "Error opening attached file (" + dir + "/x\"" + dir +
                  "/other\"y.wav) for sending via Email (SMTP). Error = 2 File Not Found");
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  }
  {
    SCOPED_TRACE("an entry of a real list that is not a file is an error naming that entry");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.ATTACHMENTLIST = "\"" + secret + "\", \"" + dir + "/missing.wav\"";
    m.SendMail(2);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].error_during, -35);
    EXPECT_NE(m.traps[0].text.find("(" + dir + "/missing.wav)"), std::string::npos)
        << m.traps[0].text;
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  }
  {
    SCOPED_TRACE("a NUL byte in a literal name cannot shorten it to another file's name");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.AddAttachmentFile(secret + std::string("\0.wav", 5));
    m.SendMail(2);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].error_during, -35);
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  }
  {
    SCOPED_TRACE("quoted lists and literal files together, in order");
    const std::string a = dir_->Write("a.wav", "AAA");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.ATTACHMENTLIST = " \"" + a + "\" , \"" + secret + "\" ";
    m.AddAttachmentFile(recording);
    const std::string out = Check(Compose(&m));
    const size_t pa = out.find("name=a.wav cte=base64 len=3");
    const size_t po = out.find("name=other cte=base64 len=12");
    const size_t pr = out.find("name=x\"other\"y.wav cte=base64 len=15");
    ASSERT_NE(pa, std::string::npos) << out;
    ASSERT_NE(po, std::string::npos) << out;
    ASSERT_NE(pr, std::string::npos) << out;
    EXPECT_LT(pa, po);
    EXPECT_LT(po, pr);
  }
  std::vector<std::string> paths;
  EXPECT_FALSE(SplitAttachmentList("x\"other\"y.wav", &paths));
  EXPECT_FALSE(SplitAttachmentList("\"a.wav\" b.wav", &paths));
  EXPECT_FALSE(SplitAttachmentList("\"a.wav", &paths));
  EXPECT_TRUE(SplitAttachmentList("/d|a\"b.wav|c,d.wav", &paths));
  EXPECT_EQ(paths, (std::vector<std::string>{"/d/a\"b.wav", "/d/c,d.wav"}));
}

TEST_F(EncodingTest, SubjectNamesAndBodyRoundTripInUtf8AndWindows1252) {
  struct Case {
    const char* name;
    std::string subject, from, to, body;           // as set
    std::string subject8, from8, to_name8, body8;  // as read back, UTF-8
    const char* charset;
  };
  const std::string umlaut_subject =
      "Neue Nachricht f\xc3\xbcr J\xc3\xbcrgen \xe2\x80\x93 \xf0\x9f\x93\x9e Anruf von "
      "M\xc3\xbcller, "
      "Stra\xc3\x9f"
      "e 5, bitte zur\xc3\xbc"
      "ckrufen \xe2\x80\x93 lange Betreffzeile mit Umlauten \xc3\xa4\xc3\xb6";
  const std::vector<Case> cases = {
      {"utf-8", umlaut_subject, "J\xc3\xbcrgen M\xc3\xbcller <vm@example.com>",
       "\"Doe, J\xc3\xb6hn\" <john@example.com>, bob@example.com",
       "Gr\xc3\xbc\xc3\x9f"
       "e\r\nzweite Zeile \r\n",
       umlaut_subject, "J\xc3\xbcrgen M\xc3\xbcller <vm@example.com>", "Doe, J\xc3\xb6hn",
       "Gr\xc3\xbc\xc3\x9f"
       "e\r\nzweite Zeile \r\n",
       "utf-8"},
      {"windows-1252", "Caf\xe9 \x80 5 \x96 r\xe9sum\xe9", "Jos\xe9 <vm@example.com>",
       "\"Doe, J\xf6hn\" <john@example.com>", "Caf\xe9\r\n\x80 5\t",
       "Caf\xc3\xa9 \xe2\x82\xac 5 \xe2\x80\x93 r\xc3\xa9sum\xc3\xa9",
       "Jos\xc3\xa9 <vm@example.com>", "Doe, J\xc3\xb6hn", "Caf\xc3\xa9\r\n\xe2\x82\xac 5\t",
       "windows-1252"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMailer m;
    PrepareMailer(&m, c.body);
    m.SUBJECT = c.subject;
    m.ORGANIZATION = c.subject.substr(0, 20);
    m.FROM = c.from;
    m.TOLIST = c.to;
    const std::string got = Compose(&m);
    EXPECT_FALSE(HasHighBytes(got)) << got;
    EXPECT_LE(LongestLineOf(got), 998u);
    EXPECT_NE(got.find(std::string("charset=") + c.charset +
                       "\r\nContent-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos)
        << got;
    const std::string out = Check(got);
    EXPECT_EQ(out.find("defect"), std::string::npos) << out;
    EXPECT_EQ(Field(out, "headerhex Subject: "), Hex(c.subject8)) << out;
    EXPECT_EQ(Field(out, "headerhex From: "), Hex(c.from8)) << out;
    EXPECT_NE(Field(out, "headerhex To: ").find(Hex(c.to_name8)), std::string::npos) << out;
    EXPECT_EQ(Field(out, "contenthex="), Hex(c.body8)) << out;
    // Exactly one To entry for the quoted name with a comma.
    std::string name, address;
    EXPECT_TRUE(TakeEmailAddress(c.to, 1, &name, &address));
    EXPECT_EQ(address, "john@example.com");
  }
}

TEST_F(EncodingTest, AddressListsHonourQuotesAndAngleBrackets) {
  const std::string list =
      "\"Doe, John\" <john@example.com>; <a,b@x.org>, \"Q \\\"JJ\\\" R; S\" <q@y.org>,c@z.org";
  std::string name, address;
  ASSERT_TRUE(TakeEmailAddress(list, 1, &name, &address));
  EXPECT_EQ(name, "Doe, John");
  EXPECT_EQ(address, "john@example.com");
  ASSERT_TRUE(TakeEmailAddress(list, 2, &name, &address));
  EXPECT_EQ(name, "");
  EXPECT_EQ(address, "a,b@x.org");
  ASSERT_TRUE(TakeEmailAddress(list, 3, &name, &address));
  EXPECT_EQ(name, "Q \"JJ\" R; S");
  EXPECT_EQ(address, "q@y.org");
  ASSERT_TRUE(TakeEmailAddress(list, 4, &name, &address));
  EXPECT_EQ(address, "c@z.org");
  EXPECT_FALSE(TakeEmailAddress(list, 5, &name, &address));

  TestMailer m;
  PrepareMailer(&m, "x");
  m.TOLIST =
      "\"Doe, John\" <john@example.com>; <ab@x.org>, \"Q \\\"JJ\\\" R; S\" <q@y.org>,c@z.org";
  const std::string got = Compose(&m);
  EXPECT_NE(got.find("\r\nTo: \"Doe, John\" <john@example.com>, \"\" <ab@x.org>, \"Q \\\"JJ\\\" R; "
                     "S\" <q@y.org>, "
                     "\"c@z.org\" <c@z.org>\r\n"),
            std::string::npos)
      << got;
  const std::string out = Check(got);
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  EXPECT_EQ(Field(out, "header To: "),
            "\"Doe, John\" <john@example.com>, ab@x.org, \"Q \\\"JJ\\\" R; S\" <q@y.org>, "
            "\"c@z.org\" <c@z.org>");
}

TEST_F(EncodingTest, LongLinesAndTrailingBlanksSurviveQuotedPrintable) {
  {
    SCOPED_TRACE("a 999-character line makes an ASCII body quoted-printable");
    const std::string body = std::string(999, 'a') + "\r\nend\r\n";
    TestMailer m;
    PrepareMailer(&m, body);
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("charset=us-ascii\r\nContent-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos);
    EXPECT_LE(LongestLineOf(got), 76u);
    const std::string out = Check(got);
    EXPECT_EQ(Field(out, "contenthex="), Hex(std::string(999, 'a') + "\r\nend\r\n")) << out;
  }
  {
    SCOPED_TRACE("998 characters stay as they are");
    TestMailer m;
    PrepareMailer(&m, std::string(998, 'b'));
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("charset=us-ascii\r\nContent-Transfer-Encoding: 7bit\r\n"),
              std::string::npos);
    EXPECT_TRUE(got.ends_with("\r\n\r\n" + std::string(998, 'b')));
  }
  EXPECT_EQ(NetQuotedPrintableEncode("x "), "x=20");
  EXPECT_EQ(NetQuotedPrintableEncode("x\t"), "x=09");
  EXPECT_EQ(NetQuotedPrintableEncode(" "), "=20");
  EXPECT_EQ(NetQuotedPrintableEncode("a b"), "a b");
  QuotedPrintableEncoder e;
  std::string out;
  e.Feed("ab ", &out);
  e.Feed(" ", &out);
  e.Finish(&out);
  EXPECT_EQ(out, "ab =20");
  {
    SCOPED_TRACE("a quoted-printable body ending in a blank keeps it");
    TestMailer m;
    PrepareMailer(&m, "tail \t");
    m.OPTIONSMIMETEXTTRANSFERENCODING = "quoted-printable";
    const std::string got = Compose(&m);
    EXPECT_TRUE(got.ends_with("\r\n\r\ntail =09")) << got;
    EXPECT_EQ(Field(Check(got), "contenthex="), Hex("tail \t"));
  }
}

TEST_F(EncodingTest, MessageIdsDifferBetweenProcessesComposingInTheSameSecond) {
  std::vector<std::string> files;
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    files.push_back((dir_->path() / ("id" + std::to_string(i))).string());
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // Same clock, same counter: only the tag can tell the two apart.
      NetEmailSend::SetMessageCounter(0);
      std::string line;
      {
        TestMailer m;
        PrepareMailer(&m, "x");
        const std::string got = Compose(&m);
        line = got.substr(0, got.find("\r\n"));
      }
      std::ofstream(files.back()) << line;
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::string ids[2];
  for (int i = 0; i < 2; ++i) {
    std::ifstream in(files[static_cast<size_t>(i)]);
    std::getline(in, ids[i]);
    EXPECT_TRUE(ids[i].starts_with("Message-ID: <20030705.090900.1.00@netemailsend.")) << ids[i];
    EXPECT_EQ(ids[i].size(),
              std::string("Message-ID: <20030705.090900.1.00@netemailsend.>").size() + 16);
  }
  EXPECT_NE(ids[0], ids[1]);
  // The tag keeps the identifier valid.
  TestMailer m;
  PrepareMailer(&m, "x");
  const std::string out = Check(Compose(&m));
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  EXPECT_NE(out.find("id <20030705.090900.1.00@netemailsend."), std::string::npos) << out;
}

}  // namespace
}  // namespace vm::mail
