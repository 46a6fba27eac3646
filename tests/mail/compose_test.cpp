// Composition of messages: golden texts with a fixed clock and counter, every
// structure parsed by Python's email package, the encoders, the lists, and
// the failures of composition.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "mail/mail_lists.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "mail_test_support.h"
#include "platform/file.h"

namespace vm::mail {
namespace {

using testing::CheckMail;
using testing::MailTest;
using testing::TestMailer;

constexpr char kId[] = "20030705.090900.1";
constexpr char kMixed[] = "--=_NextPart_000_20030705.090900.1";

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

class ComposeTest : public MailTest {
 protected:
  // A mail object with the dispatcher's fields; no runtime, so the send
  // stops at the open and the composed text stays in WHOLEMESSAGE.
  void PrepareMailer(TestMailer* m, const std::string& body) {
    m->SUPPRESSERRORMSG = 1;
    m->Init();
    m->SetClock(&clock_);
    m->SetMessageIdTag("");
    m->SERVER = "127.0.0.1";
    m->TOLIST = "bob@example.com";
    m->FROM = "Voice Mail <vm@example.com>";
    m->SUBJECT = "New voice message";
    m->SetRequiredMessageSize(0, static_cast<int32_t>(body.size()), 0);
    m->SetMessageText(body);
  }
  void SetHtml(TestMailer* m, const std::string& text, const std::string& html) {
    m->SetRequiredMessageSize(0, static_cast<int32_t>(text.size()),
                              static_cast<int32_t>(html.size()));
    m->SetMessageText(text);
    m->SetMessageHtml(html);
  }
  std::string Compose(TestMailer* m) {
    m->SendMail(2);
    return std::string(m->ComposedMessage());
  }
  std::string SaveMessage(const std::string& text) { return dir_->Write("message.eml", text); }
};

std::string HeaderTop(const std::string& subject = "New voice message") {
  return std::string("Message-ID: <") + kId +
         ".00@netemailsend>\r\n"
         "From: \"Voice Mail\" <vm@example.com>\r\n"
         "To: \"bob@example.com\" <bob@example.com>\r\n"
         "Subject: " +
         subject +
         "\r\n"
         "Date: Sat, 5 Jul 2003 09:09:00 +0000\r\n";
}

TEST_F(ComposeTest, WorkedExamplePlainTextWithOneAttachmentByteForByte) {
  const std::string wav = dir_->Write("msg0001.wav", "Hello, voice!");
  TestMailer m;
  PrepareMailer(&m, "You have a new message from 101.");
  m.ATTACHMENTLIST = wav;
  const std::string got = Compose(&m);
  const std::string expected = HeaderTop() +
                               "MIME-version: 1.0\r\n"
                               "Content-Type: multipart/mixed;\r\n"
                               "\tboundary=\"" +
                               std::string(kMixed) +
                               "\"\r\n"
                               "X-Mailer: Linkora Email 2.4\r\n"
                               "X-Linkora: Linkora Email 2.4\r\n"
                               "\r\n"
                               "This is a multi-part message in MIME format.\r\n"
                               "This email requires a MIME compatible email reader.\r\n"
                               "\r\n"
                               "--" +
                               kMixed +
                               "\r\n"
                               "Content-Type: text/plain;\r\n"
                               "\tcharset=us-ascii\r\n"
                               "Content-Transfer-Encoding: 7bit\r\n"
                               "\r\n"
                               "You have a new message from 101.\r\n"
                               "\r\n"
                               "--" +
                               kMixed +
                               "\r\n"
                               "Content-Type: application/x-unkown;\r\n"
                               " name=\"msg0001.wav\"\r\n"
                               "Content-Transfer-Encoding: base64\r\n"
                               "Content-Disposition: attachment;\r\n"
                               " filename=\"msg0001.wav\"\r\n"
                               "\r\n"
                               "SGVsbG8sIHZvaWNlIQ==\r\n"
                               "\r\n"
                               "--" +
                               kMixed + "--\r\n";
  EXPECT_EQ(got, expected);
  EXPECT_EQ(m.WHOLEMESSAGELEN, static_cast<int32_t>(expected.size()));

  const std::string out = CheckMail(SaveMessage(got), {"msg0001.wav=" + wav});
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  EXPECT_NE(out.find("multipart/mixed\n  text/plain name=- cte=7bit"), std::string::npos) << out;
  EXPECT_NE(out.find("application/x-unkown name=msg0001.wav cte=base64 len=13 "), std::string::npos)
      << out;
  // The part's hash equals the file's.
  const size_t file_line = out.find("file msg0001.wav len=13 sha256=");
  ASSERT_NE(file_line, std::string::npos) << out;
  const std::string sha = out.substr(file_line + 31, 64);
  EXPECT_NE(out.find("name=msg0001.wav cte=base64 len=13 sha256=" + sha), std::string::npos) << out;
}

TEST_F(ComposeTest, PlainTextWithEveryOptionalHeaderInOrder) {
  TestMailer m;
  PrepareMailer(&m, "Body line 1\r\n.Dot line\r\n");
  m.TOLIST = "\"Bob B\" <bob@example.com>; carol@example.com";
  m.CCLIST = "<dave@example.com>";
  m.BCCLIST = "secret@example.com";
  m.REPLYTO = "reply@example.com";
  m.ORGANIZATION = "Quorvane";
  m.DELIVERYRECEIPTTO = "dr@example.com";
  m.DISPOSITIONNOTIFICATIONTO = "dn@example.com";
  m.REFERENCES = "<ref@example.com>";
  m.EXTRAHEADER = "X-Extra: 1";
  clock_.SetZone({120, false, "EET"});
  const std::string got = Compose(&m);
  const std::string expected =
      std::string("Message-ID: <") + kId + ".00@netemailsend>\r\n" +
      "Delivery-receipt-to: dr@example.com\r\n"
      "Disposition-Notification-To: dn@example.com\r\n"
      "Reply-To: reply@example.com\r\n"
      "From: \"Voice Mail\" <vm@example.com>\r\n"
      "To: \"Bob B\" <bob@example.com>, \"carol@example.com\" <carol@example.com>\r\n"
      "CC: \"\" <dave@example.com>\r\n"
      "References: <ref@example.com>\r\n"
      "Subject: New voice message\r\n"
      "Date: Sat, 5 Jul 2003 09:09:00 +0200\r\n"
      "Organization: Quorvane\r\n"
      "MIME-version: 1.0\r\n"
      "Content-Type: text/plain;\r\n"
      "\tcharset=us-ascii\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "X-Mailer: Linkora Email 2.4\r\n"
      "X-Linkora: Linkora Email 2.4\r\n"
      "X-Extra: 1\r\n"
      "\r\n"
      "Body line 1\r\n.Dot line\r\n";
  EXPECT_EQ(got, expected);
  EXPECT_EQ(got.find("secret"), std::string::npos) << "Bcc never reaches the header";
  const std::string out = CheckMail(SaveMessage(got));
  EXPECT_NE(out.find("text/plain name=- cte=7bit"), std::string::npos) << out;
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
}

TEST_F(ComposeTest, HeaderEdgeCases) {
  {
    SCOPED_TRACE("blank subject, bare address, no usable From entry");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.SUBJECT = "   ";
    m.FROM = ";";
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("\r\nSubject: \r\nDate: "), std::string::npos) << got;
    EXPECT_NE(got.find("\r\nTo: \"bob@example.com\" <bob@example.com>\r\n"), std::string::npos);
    EXPECT_EQ(got.find("From:"), std::string::npos);
  }
  {
    SCOPED_TRACE("fields are cut to their widths, never inside a UTF-8 sequence");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.SUBJECT = std::string(254, 's') + "\xc3\xa9" + "tail";
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("\r\nSubject: " + std::string(254, 's') + "\r\n"), std::string::npos);
  }
  {
    SCOPED_TRACE("a list whose first entry is empty gives no To line");
    TestMailer m;
    PrepareMailer(&m, "x");
    m.TOLIST = ",bob@example.com";
    const std::string got = Compose(&m);
    EXPECT_EQ(got.find("\r\nTo:"), std::string::npos) << got;
  }
  {
    SCOPED_TRACE("two messages in one second differ by the counter only");
    NetEmailSend::SetMessageCounter(0);
    TestMailer m;
    PrepareMailer(&m, "x");
    const std::string first = Compose(&m);
    m.SetRequiredMessageSize(0, 1, 0);
    m.SetMessageText("x");
    const std::string second = Compose(&m);
    EXPECT_EQ(first.substr(0, 50), "Message-ID: <20030705.090900.1.00@netemailsend>\r\nF");
    EXPECT_EQ(second.substr(0, 50), "Message-ID: <20030705.090900.2.00@netemailsend>\r\nF");
    EXPECT_EQ(NetEmailSend::MessageCounter(), 2);
  }
}

TEST_F(ComposeTest, TextBodyRules) {
  {
    SCOPED_TRACE(
        "bytes above 127 under the 7bit default: labelled with their charset, quoted-printable");
    TestMailer m;
    PrepareMailer(&m, "caf\xc3\xa9 \xff   ");
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("charset=windows-1252\r\nContent-Transfer-Encoding: quoted-printable\r\n"),
              std::string::npos);
    EXPECT_TRUE(got.ends_with("\r\n\r\ncaf=C3=A9 =FF  =20")) << got;
  }
  {
    SCOPED_TRACE("trailing spaces of a 7bit body are lost");
    TestMailer m;
    PrepareMailer(&m, "plain   ");
    const std::string got = Compose(&m);
    EXPECT_TRUE(got.ends_with(
        "7bit\r\nX-Mailer: Linkora Email 2.4\r\nX-Linkora: Linkora Email 2.4\r\n\r\nplain"))
        << got;
  }
  {
    SCOPED_TRACE("bare LF line ends go out as CR LF; CR LF bodies unchanged");
    TestMailer m;
    PrepareMailer(&m, "one\ntwo\r\nthree\n");
    const std::string got = Compose(&m);
    EXPECT_TRUE(got.ends_with("2.4\r\n\r\none\r\ntwo\r\nthree\r\n")) << got;
  }
  {
    SCOPED_TRACE("quoted-printable text part");
    TestMailer m;
    PrepareMailer(&m, "a=b \r\nlong\xe9");
    m.OPTIONSMIMETEXTTRANSFERENCODING = "Quoted-Printable";
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("Content-Transfer-Encoding: Quoted-Printable\r\n"), std::string::npos);
    EXPECT_TRUE(got.ends_with("2.4\r\n\r\na=3Db=20\r\nlong=E9")) << got;
    m.SetRequiredMessageSize(0, 5, 0);
    m.SetMessageText("a=b\r\n");
    m.OPTIONSMIMETEXTDONTENCODE = 1;
    const std::string raw = Compose(&m);
    EXPECT_TRUE(raw.ends_with("2.4\r\n\r\na=b\r\n")) << raw;
  }
}

TEST_F(ComposeTest, QuotedPrintableEncoderRules) {
  auto encode = [](const std::string& in, size_t piece) {
    QuotedPrintableEncoder e;
    std::string out;
    for (size_t p = 0; p < in.size(); p += piece)
      e.Feed(std::string_view(in).substr(p, piece), &out);
    e.Finish(&out);
    return out;
  };
  EXPECT_EQ(encode("a \r\nb\t\r\n", 100), "a=20\r\nb=09\r\n");
  EXPECT_EQ(encode("x\ry\nz=", 100), "x=0Dy=0Az=3D");
  EXPECT_EQ(encode("a  b", 100), "a  b");
  // Soft breaks: 75 copied characters fit a line, the 76th goes to the next.
  const std::string line(80, 'a');
  EXPECT_EQ(encode(line, 100), std::string(75, 'a') + "=\r\n" + std::string(5, 'a'));
  // A triplet never straddles the limit.
  EXPECT_EQ(encode(std::string(74, 'a') + "=", 100), std::string(74, 'a') + "=\r\n=3D");
  EXPECT_EQ(encode(std::string(72, 'a') + "=", 100), std::string(72, 'a') + "=3D");
  // The output does not depend on where the pieces are cut.
  const std::string body = Bytes(5000, 3) + " \r\n" + std::string(200, ' ') + "\r\nend ";
  const std::string whole = encode(body, body.size());
  EXPECT_EQ(NetQuotedPrintableEncode(body), whole);
  for (size_t piece : {1u, 2u, 3u, 1026u}) EXPECT_EQ(encode(body, piece), whole) << piece;
  size_t start = 0;
  while (start < whole.size()) {
    size_t eol = whole.find("\r\n", start);
    if (eol == std::string::npos) eol = whole.size();
    EXPECT_LE(eol - start, 76u);
    start = eol + 2;
  }
}

TEST_F(ComposeTest, Base64RecordsAndLines) {
  for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 1026u, 1027u, 5000u}) {
    const std::string data = Bytes(n, static_cast<int>(n));
    Base64LineEncoder enc;
    std::string out;
    for (size_t pos = 0; pos < n || (n == 0 && pos == 0); pos += 1026) {
      const size_t k = std::min<size_t>(1026, n - pos);
      std::string buf(Base64LineEncoder::MaxOutput(k), '\0');
      buf.resize(
          enc.Feed(reinterpret_cast<const unsigned char*>(data.data()) + pos, k, buf.data()));
      out += buf;
      if (n == 0) break;
    }
    EXPECT_EQ(NetBase64Decode(out), data) << n;
    // Full lines of 76 followed by CR LF; no line end after a shorter last line.
    std::string joined;
    size_t start = 0;
    while (start < out.size()) {
      size_t eol = out.find("\r\n", start);
      if (eol == std::string::npos) {
        EXPECT_LT(out.size() - start, 76u);
        break;
      }
      EXPECT_EQ(eol - start, 76u) << n;
      start = eol + 2;
    }
    const std::string one = NetBase64Encode(data);
    std::string lines;
    for (size_t p = 0; p < one.size(); p += 76)
      lines += one.substr(p, 76) + (p + 76 <= one.size() ? "\r\n" : "");
    EXPECT_EQ(out, lines) << n;
  }
  EXPECT_EQ(NetBase64Encode("user"), "dXNlcg==");
  EXPECT_EQ(NetTimeZoneOffsetText(120), "+0200");
  EXPECT_EQ(NetTimeZoneOffsetText(0), "+0000");
  EXPECT_EQ(NetTimeZoneOffsetText(-270), "-0430");
  EXPECT_EQ(NetTimeZoneOffsetText(345), "+0545");
  platform::ManualClock clock;
  clock.SetZone({-300, true, "EDT"});
  EXPECT_EQ(NetTimeZoneOffset(clock), "-0500");
}

TEST_F(ComposeTest, HtmlOnlyIsMultipartAlternativeWithQuotedPrintableHtml) {
  TestMailer m;
  PrepareMailer(&m, "");
  const std::string html = "<html><body><p style=\"a\">Hello</p></body></html>";
  SetHtml(&m, "Hello", html);
  const std::string got = Compose(&m);
  const std::string alt = "--=_NextPart_001_20030705.090900.1";
  EXPECT_NE(got.find("MIME-version: 1.0\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"" +
                     alt + "\"\r\nX-Mailer: "),
            std::string::npos);
  const std::string body = got.substr(got.find("\r\n\r\n") + 4);
  EXPECT_EQ(body,
            "This is a multi-part message in MIME format.\r\n"
            "This email requires a MIME compatible email reader.\r\n\r\n"
            "--" +
                alt +
                "\r\nContent-Type: text/plain;\r\n\tcharset=us-ascii\r\nContent-Transfer-Encoding: "
                "7bit\r\n\r\n"
                "Hello\r\n\r\n"
                "--" +
                alt +
                "\r\nContent-Type: text/html;\r\n\tcharset=us-ascii\r\n"
                "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                "<html><body><p style=3D\"a\">Hello</p></body></html>\r\n\r\n"
                "--" +
                alt + "--\r\n");
  const std::string out = CheckMail(SaveMessage(got));
  EXPECT_NE(out.find("multipart/alternative\n  text/plain"), std::string::npos) << out;
  EXPECT_NE(
      out.find("text/html name=- cte=quoted-printable len=" + std::to_string(html.size() + 2)),
      std::string::npos)
      << out;
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;
}

TEST_F(ComposeTest, EmbeddedImagesAndAttachmentsParseWithTheirBytes) {
  const std::string png = dir_->Write("logo.png", Bytes(3000, 1));
  const std::string gif = dir_->Write("pic", Bytes(100, 2));
  const std::string wav = dir_->Write("msg0002.wav", Bytes(70000, 3));
  const std::string empty = dir_->Write("empty.wav", "");
  {
    SCOPED_TRACE("embedded, no attachments");
    TestMailer m;
    PrepareMailer(&m, "");
    SetHtml(&m, "Text", "<img src=\"cid:logo.png\">");
    m.EMBEDLIST = png + "," + gif;
    const std::string got = Compose(&m);
    EXPECT_NE(
        got.find("Content-Type: multipart/related; type=\"multipart/alternative\";\r\n\tboundary=\""
                 "--=_NextPart_002_20030705.090900.1\"\r\n"),
        std::string::npos);
    EXPECT_NE(got.find("Content-Type: image/png;\r\n "
                       "name=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n"
                       "Content-ID: <logo.png>\r\n\r\n"),
              std::string::npos);
    EXPECT_NE(got.find("Content-Type: image/gif;\r\n name=\"pic\""), std::string::npos);
    EXPECT_EQ(got.substr(got.size() - 44), "\r\n\r\n----=_NextPart_002_20030705.090900.1--\r\n");
    const std::string out = CheckMail(SaveMessage(got), {"logo=" + png, "pic=" + gif});
    EXPECT_NE(out.find("multipart/related\n  multipart/alternative\n    text/plain"),
              std::string::npos)
        << out;
    for (const char* name : {"logo", "pic"}) {
      const size_t f = out.find(std::string("file ") + name + " ");
      ASSERT_NE(f, std::string::npos) << out;
      const std::string sha = out.substr(out.find("sha256=", f) + 7, 64);
      EXPECT_EQ(out.find("sha256=" + sha), out.find("sha256=" + sha, 0)) << out;
      EXPECT_LT(out.find("sha256=" + sha), f) << "a part carries the file's bytes\n" << out;
    }
    EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  }
  {
    SCOPED_TRACE("embedded and attachments, one of them empty");
    NetEmailSend::SetMessageCounter(0);
    TestMailer m;
    PrepareMailer(&m, "");
    SetHtml(&m, "Text\n", "<p>Hi</p>");
    m.EMBEDLIST = png;
    m.ATTACHMENTLIST = "\"" + wav + "\", \"" + empty + "\"";
    const std::string got = Compose(&m);
    EXPECT_NE(
        got.find(
            "Content-Type: multipart/related;\r\n\ttype=\"multipart/related\";\r\n\tboundary=\""
            "--=_NextPart_002_20030705.090900.1\"\r\n\r\n\r\n"),
        std::string::npos);
    // An empty file: the part headers followed directly by the closing lines.
    EXPECT_NE(
        got.find(
            " filename=\"empty.wav\"\r\n\r\n\r\n\r\n----=_NextPart_000_20030705.090900.1--\r\n"),
        std::string::npos);
    const std::string out = CheckMail(SaveMessage(got), {"wav=" + wav, "png=" + png});
    EXPECT_NE(
        out.find(
            "multipart/mixed\n  multipart/related\n    multipart/alternative\n      text/plain"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("application/x-unkown name=msg0002.wav cte=base64 len=70000"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("application/x-unkown name=empty.wav cte=base64 len=0"), std::string::npos)
        << out;
    for (const char* name : {"wav", "png"}) {
      const size_t f = out.find(std::string("file ") + name + " ");
      ASSERT_NE(f, std::string::npos) << out;
      const std::string sha = out.substr(out.find("sha256=", f) + 7, 64);
      EXPECT_LT(out.find("sha256=" + sha), f) << out;
    }
    EXPECT_EQ(out.find("defect"), std::string::npos) << out;
  }
  {
    SCOPED_TRACE("attachments with HTML, no embedded images");
    TestMailer m;
    PrepareMailer(&m, "");
    SetHtml(&m, "T", "<b>H</b>");
    m.ATTACHMENTLIST = wav;
    const std::string out = CheckMail(SaveMessage(Compose(&m)));
    EXPECT_NE(out.find("multipart/mixed\n  multipart/alternative\n    text/plain"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  application/x-unkown name=msg0002.wav cte=base64 len=70000"),
              std::string::npos)
        << out;
  }
}

TEST_F(ComposeTest, HtmlWithEmbeddedImageAndAttachmentByteForByte) {
  const std::string png = dir_->Write("logo.png", "PNG");
  const std::string wav = dir_->Write("m.wav", "WAV!");
  TestMailer m;
  PrepareMailer(&m, "");
  SetHtml(&m, "Text", "<p>Hi</p>");
  m.EMBEDLIST = png;
  m.ATTACHMENTLIST = wav;
  const std::string got = Compose(&m);
  const std::string id = kId;
  const std::string mixed = "--=_NextPart_000_" + id;
  const std::string alt = "--=_NextPart_001_" + id;
  const std::string rel = "--=_NextPart_002_" + id;
  const std::string expected =
      HeaderTop() + "MIME-version: 1.0\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"" + mixed +
      "\"\r\nX-Mailer: Linkora Email 2.4\r\nX-Linkora: Linkora Email 2.4\r\n\r\n"
      "This is a multi-part message in MIME format.\r\nThis email requires a MIME compatible email "
      "reader.\r\n\r\n"
      "--" +
      mixed +
      "\r\nContent-Type: multipart/related;\r\n\ttype=\"multipart/related\";\r\n\tboundary=\"" +
      rel +
      "\"\r\n\r\n\r\n"
      "--" +
      rel + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"" + alt +
      "\"\r\n\r\n"
      "--" +
      alt +
      "\r\nContent-Type: text/plain;\r\n\tcharset=us-ascii\r\nContent-Transfer-Encoding: "
      "7bit\r\n\r\n"
      "Text\r\n\r\n"
      "--" +
      alt +
      "\r\nContent-Type: text/html;\r\n\tcharset=us-ascii\r\nContent-Transfer-Encoding: "
      "quoted-printable"
      "\r\n\r\n<p>Hi</p>\r\n\r\n"
      "--" +
      alt +
      "--\r\n"
      "\r\n--" +
      rel +
      "\r\nContent-Type: image/png;\r\n name=\"logo.png\"\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-ID: <logo.png>\r\n\r\nUE5H"
      "\r\n\r\n--" +
      rel +
      "--\r\n"
      "\r\n--" +
      mixed +
      "\r\nContent-Type: application/x-unkown;\r\n name=\"m.wav\"\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n "
      "filename=\"m.wav\"\r\n\r\nV0FWIQ=="
      "\r\n\r\n--" +
      mixed + "--\r\n";
  EXPECT_EQ(got, expected);
}

TEST_F(ComposeTest, AttachmentListForms) {
  const std::string a = dir_->Write("a.wav", "AAA");
  const std::string b = dir_->Write("b.wav", "BBBB");
  EXPECT_EQ(ExpandDirectoryForm(dir_->path().string() + "|a.wav|b.wav"),
            "\"" + a + "\", \"" + b + "\"");
  EXPECT_EQ(AttachmentEntries(" \"x y.wav\" , \"z.wav\""),
            (std::vector<std::string>{"x y.wav", "z.wav"}));
  EXPECT_EQ(AttachmentEntries("c:\\vm\\1.wav, ,d.wav "),
            (std::vector<std::string>{"c:\\vm\\1.wav", "d.wav"}));
  EXPECT_EQ(ShortName("c:\\vm\\101\\msg\\m.wav"), "m.wav");
  EXPECT_EQ(ShortName("/var/vm/m.wav"), "m.wav");
  EXPECT_EQ(ShortName("m.wav"), "m.wav");
  TestMailer m;
  PrepareMailer(&m, "x");
  m.ATTACHMENTLIST = dir_->path().string() + "|a.wav|b.wav";
  const std::string out = CheckMail(SaveMessage(Compose(&m)));
  EXPECT_NE(out.find("name=a.wav cte=base64 len=3"), std::string::npos) << out;
  EXPECT_NE(out.find("name=b.wav cte=base64 len=4"), std::string::npos) << out;
}

TEST_F(ComposeTest, OddFileNamesCannotBreakThePartHeader) {
  EXPECT_EQ(FileNameParameter("name", "msg0001.wav"), "name=\"msg0001.wav\"");
  EXPECT_EQ(FileNameParameter("filename", "a\"b.wav"), "filename*=utf-8''a%22b.wav");
  EXPECT_EQ(FileNameParameter("name", "a\\b\tc"), "name*=utf-8''a%5Cb%09c");
  TestMailer m;
  PrepareMailer(&m, "x");
  const std::string odd = dir_->Write("odd\r\nX-Evil: 1.wav", "ODD");
  const std::string plain = dir_->Write("caf\xc3\xa9 1.wav", "PLAIN");
  m.ATTACHMENTLIST = odd + "," + plain;
  const std::string got = Compose(&m);
  EXPECT_NE(got.find(" name=\"odd__X-Evil: 1.wav\"\r\n"), std::string::npos) << got;
  EXPECT_NE(got.find(" filename*=utf-8''odd%0D%0AX-Evil%3A%201.wav\r\n"), std::string::npos) << got;
  EXPECT_NE(got.find(" name=\"caf_ 1.wav\"\r\n"), std::string::npos) << got;
  EXPECT_NE(got.find(" filename*=utf-8''caf%C3%A9%201.wav\r\n"), std::string::npos) << got;
  EXPECT_EQ(got.find("\r\nX-Evil"), std::string::npos);
  const std::string out = CheckMail(SaveMessage(got));
  EXPECT_NE(out.find("name=odd\r\nX-Evil: 1.wav cte=base64 len=3"), std::string::npos) << out;
  EXPECT_NE(out.find("cte=base64 len=5"), std::string::npos) << out;
  EXPECT_EQ(out.find("defect"), std::string::npos) << out;

  // A list that names one existing file as a whole is that file, double
  // quote and all.
  TestMailer q;
  PrepareMailer(&q, "x");
  q.ATTACHMENTLIST = dir_->Write("we\"ird.wav", "Q");
  const std::string weird = CheckMail(SaveMessage(Compose(&q)));
  EXPECT_NE(weird.find("name=we\"ird.wav cte=base64 len=1"), std::string::npos) << weird;
  EXPECT_EQ(weird.find("defect"), std::string::npos) << weird;
}

TEST_F(ComposeTest, LineBreaksInHeaderFieldsNeverStartANewLine) {
  {
    TestMailer m;
    PrepareMailer(&m, "x");
    m.SUBJECT = "Hi\r\nBcc: victim@example.com";
    m.ORGANIZATION = "Org\nX-Evil: 1";
    m.EXTRAHEADER = "X-A: 1\r\n\r\nbody injection\n";
    const std::string got = Compose(&m);
    EXPECT_NE(got.find("\r\nSubject: Hi Bcc: victim@example.com\r\n"), std::string::npos) << got;
    EXPECT_NE(got.find("\r\nOrganization: Org X-Evil: 1\r\n"), std::string::npos);
    EXPECT_NE(got.find("\r\nX-A: 1\r\nbody injection\r\n\r\nx"), std::string::npos) << got;
  }
  {
    TestMailer m;
    PrepareMailer(&m, "x");
    m.TOLIST = "bob@example.com>\r\nRCPT TO:<evil@example.com";
    m.SendMail(2);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].error_during, -37);
    EXPECT_EQ(m.traps[0].text, "Line break in an address field when sending Email (SMTP)");
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  }
}

TEST_F(ComposeTest, CompositionFailuresAreReportedAndNothingIsQueued) {
  struct Case {
    const char* name;
    std::function<void(TestMailer*)> setup;
    int32_t mode;
    int32_t error;
    std::string text;
  };
  const std::string missing = (dir_->path() / "gone.wav").string();
  const std::vector<Case> cases = {
      {"no recipient", [](TestMailer* m) { m->TOLIST = " "; }, 2, -37,
       "No To, CC or BCC field specified when sending Email (SMTP)"},
      {"no sender", [](TestMailer* m) { m->FROM = ""; }, 2, -37,
       "No From Field specified when sending Email (SMTP)"},
      {"bad mode", [](TestMailer*) {}, 3, -22, "Incorrect Mode parameter passed to function."},
      {"missing attachment", [&](TestMailer* m) { m->ATTACHMENTLIST = missing; }, 2, -35,
       "Error opening attached file (" + missing +
           ") for sending via Email (SMTP). Error = 2 File Not Found"},
      {"directory as attachment", [&](TestMailer* m) { m->ATTACHMENTLIST = dir_->path().string(); },
       2, -35,
       "Error opening attached file (" + dir_->path().string() +
           ") for sending via Email (SMTP). Error = 5 Access Denied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestMailer m;
    PrepareMailer(&m, "x");
    c.setup(&m);
    m.SendMail(c.mode);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, c.text);
    EXPECT_EQ(m.traps[0].function, "NetEmailSend.SendMail");
    EXPECT_EQ(m.traps[0].error_during, c.error);
    EXPECT_EQ(m.ERROR, c.error);
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
    EXPECT_EQ(m._NOMESSAGEADDEDYET, 0) << "flags live only during the call";
    m.Kill();
  }
}

// Hands out files whose reads come up short after `good_bytes`.
class ShrinkingEnv : public platform::EnvWrapper {
 public:
  class ShortFile : public platform::FileWrapper {
   public:
    ShortFile(std::unique_ptr<platform::File> f, uint64_t good)
        : FileWrapper(std::move(f)), good_(good) {}
    platform::Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
      if (offset >= good_) {
        *got = 0;
        return platform::Status::Ok();
      }
      return target()->ReadAt(offset, buf, std::min<uint64_t>(n, good_ - offset), got);
    }

   private:
    uint64_t good_;
  };
  ShrinkingEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& path,
                                                             platform::Access a, platform::Share s,
                                                             platform::Disposition d) override {
    auto r = target()->OpenFile(path, a, s, d);
    if (!r.ok()) return r;
    return std::unique_ptr<platform::File>(
        std::make_unique<ShortFile>(std::move(r.value()), 70000));
  }
};

TEST_F(ComposeTest, AttachmentThatShrinksWhileReadFailsTheSend) {
  // The file is read as the message goes out: a read that comes up short
  // there ends the message before its end line, so the server never takes
  // a cut message, and the owner hears why.
  StartRuntime();
  testing::ScriptedServer server("220 ready\r\n", [](const std::string& line, int) -> std::string {
    if (line == "DATA") return "354 go ahead\r\n";
    if (line == "<end of data>") return "250 queued\r\n";
    return "250 ok\r\n";
  });
  const std::string wav = dir_->Write("long.wav", Bytes(200000, 5));
  ShrinkingEnv env;
  TestMailer m;
  Prepare(&m, server.port());
  m.SetEnv(&env);
  m.ATTACHMENTLIST = wav;
  m.SendMail(2);
  EXPECT_TRUE(m.traps.empty()) << "composing does not read the file";
  ASSERT_TRUE(PumpUntilOutcome(&m));
  ASSERT_EQ(m.traps.size(), 1u);
  EXPECT_EQ(m.traps[0].error_during, -35);
  EXPECT_EQ(m.traps[0].text, "Attached file (" + wav +
                                 ") changed size while it was being sent via Email (SMTP). The "
                                 "message was not sent");
  EXPECT_EQ(m.sent, 0);
  EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  m.Kill();
  server.Join();
  EXPECT_TRUE(server.Messages().empty());
}

TEST_F(ComposeTest, BufferSizingEstimateAndGrowth) {
  TestMailer m;
  PrepareMailer(&m, "0123456789");
  EXPECT_EQ(m.SetRequiredMessageSize(100, 10, 0), 0);
  EXPECT_EQ(m.WHOLEMESSAGE.capacity(), 100u);
  m.SetMessageText("0123456789");
  Compose(&m);
  // 8192 + To + From + Subject + text.
  EXPECT_EQ(m.WHOLEMESSAGE.capacity(), 8192u + 15 + 27 + 17 + 10);
  // A smaller request keeps a buffer that is within 65535 bytes of it.
  EXPECT_EQ(m.SetRequiredMessageSize(0, 10, 0), 0);
  EXPECT_EQ(m.WHOLEMESSAGE.capacity(), 8192u + 15 + 27 + 17 + 10);
  const std::string wav = dir_->Write("big.wav", Bytes(300000, 6));
  m.SetRequiredMessageSize(0, 10, 0);
  m.SetMessageText("0123456789");
  m.ATTACHMENTLIST = wav;
  const std::string got = Compose(&m);
  EXPECT_EQ(m.WHOLEMESSAGE.capacity(), 8192u + 15 + 27 + 17 + 10)
      << "an attached file's encoding is never held: it is made as the message goes out";
  EXPECT_GT(got.size(), 300000u * 4 / 3);
  EXPECT_EQ(static_cast<size_t>(m.WHOLEMESSAGELEN), got.size());
  // A quoted-printable body far larger than the estimate grows the buffer.
  const std::string qp(100000, '=');
  m.ATTACHMENTLIST = "";
  m.SetRequiredMessageSize(0, static_cast<int32_t>(qp.size()), 0);
  m.SetMessageText(qp);
  m.OPTIONSMIMETEXTTRANSFERENCODING = "quoted-printable";
  const std::string grown = Compose(&m);
  EXPECT_GT(grown.size(), 300000u);
  EXPECT_GE(m.WHOLEMESSAGE.capacity(), grown.size());
}

TEST_F(ComposeTest, SizeAndMemoryFailures) {
  {
    TestMailer m;
    PrepareMailer(&m, "x");
    EXPECT_EQ(m.SetRequiredMessageSize(0, -1, 0), -42);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].function, "NetEmailSend.SetRequiredMEssageSize");
    EXPECT_EQ(m.traps[0].text, "Invalid String Size (less than zero) passed to function");
    EXPECT_EQ(m.traps[0].error_during, 0);
    EXPECT_EQ(m.ERROR, -42);
  }
  {
    TestMailer m;
    PrepareMailer(&m, "x");
    ByteBuffer::SetAllocationLimitForTesting(1 << 20);
    EXPECT_EQ(m.SetRequiredMessageSize(0, 2 << 20, 0), -32);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Unable to allocate memory required for sending Email (SMTP).");
    EXPECT_EQ(m.traps[0].function, "NetEmailSend.SetRequiredMessageSize");
    EXPECT_EQ(m.traps[0].error_during, -32);
    m.traps.clear();
    // An attached file takes no memory of its size: under the limit it is
    // composed, and only the open fails (there is no server).
    m.SetRequiredMessageSize(0, 1, 0);
    m.SetMessageText("x");
    m.ATTACHMENTLIST = dir_->Write("big.wav", Bytes(1 << 20, 7));
    m.SendMail(2);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Unable to Open Connection");
    m.traps.clear();
    // A quoted-printable body whose encoding outgrows the limit does fail.
    const std::string qp(600000, '=');
    m.ATTACHMENTLIST = "";
    m.SetRequiredMessageSize(0, static_cast<int64_t>(qp.size()), 0);
    m.SetMessageText(qp);
    m.OPTIONSMIMETEXTTRANSFERENCODING = "quoted-printable";
    m.SendMail(2);
    ByteBuffer::SetAllocationLimitForTesting(0);
    ASSERT_EQ(m.traps.size(), 1u);
    EXPECT_EQ(m.traps[0].text, "Unable to allocate memory required for sending email.");
    EXPECT_EQ(m.traps[0].error_during, -32);
    EXPECT_EQ(m.DATAQUEUE->size(), 0u);
  }
}

TEST_F(ComposeTest, AddressListEntries) {
  std::string name, address;
  EXPECT_TRUE(TakeEmailAddress("\"Bob Smith\" <bob@x.com>, carol@y.com", 1, &name, &address));
  EXPECT_EQ(name, "Bob Smith");
  EXPECT_EQ(address, "bob@x.com");
  EXPECT_TRUE(TakeEmailAddress("\"Bob Smith\" <bob@x.com>, carol@y.com", 2, &name, &address));
  EXPECT_EQ(name, "carol@y.com");
  EXPECT_EQ(address, "carol@y.com");
  EXPECT_FALSE(TakeEmailAddress("\"Bob Smith\" <bob@x.com>, carol@y.com", 3, &name, &address));
  EXPECT_TRUE(TakeEmailAddress("a@x;<b@y>", 2, &name, &address));
  EXPECT_EQ(name, "");
  EXPECT_EQ(address, "b@y");
  EXPECT_FALSE(TakeEmailAddress("   ", 1, &name, &address));
  EXPECT_FALSE(TakeEmailAddress(";a@x", 1, &name, &address));
  EXPECT_TRUE(TakeEmailAddress(";a@x", 2, &name, &address));
  EXPECT_FALSE(TakeEmailAddress("a@x,,b@y", 2, &name, &address));
}

TEST_F(ComposeTest, ModeOneTakesTheListsFromTheHeader) {
  const std::string message =
      "From: Sender <s@x.com>\r\nTO: a@x.com,\r\n b@x.com\r\ncc: c@x.com\r\nSubject: "
      "s\r\n\r\nBody\r\nTo: no@x.com\r\n";
  EXPECT_EQ(HeaderFieldValue(message, "To:"), "a@x.com, b@x.com");
  EXPECT_EQ(HeaderFieldValue(message, "Bcc:"), "");
  EXPECT_EQ(HeaderFieldValue("To: a@x.com\r\n", "To:"), "") << "no empty line, no header";
  TestMailer m;
  PrepareMailer(&m, "");
  m.SetRequiredMessageSize(static_cast<int32_t>(message.size()), 0, 0);
  m.SetWholeMessage(message);
  m.SendMail(1);
  EXPECT_EQ(m.TOLIST, "a@x.com, b@x.com");
  EXPECT_EQ(m.CCLIST, "c@x.com");
  EXPECT_EQ(m.FROM, "Sender <s@x.com>");
  EXPECT_EQ(m.BCCLIST, "");
  EXPECT_EQ(m.traps.size(), 1u) << "only the open fails: there is no server";
  EXPECT_EQ(m.ERROR, -39);
}

}  // namespace
}  // namespace vm::mail
