// Composition of one message (SendMail modes 1 and 2) and its queueing.

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "mail/mail_lists.h"
#include "mail/mail_text.h"
#include "mail/mime_codec.h"
#include "mail/net_email_send.h"
#include "platform/ascii_text.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/hex_text.h"

namespace vm::mail {

namespace {

constexpr size_t kHeadroom = 8192;
constexpr size_t kShrinkSlack = 65535;
constexpr char kBoundaryPrefix[] = "--=_NextPart";
constexpr char kCrLf[] = "\r\n";

std::string TwoDigits(int v) {
  std::string s(2, '0');
  s[0] = static_cast<char>('0' + (v / 10) % 10);
  s[1] = static_cast<char>('0' + v % 10);
  return s;
}

// The runtime error code and text of a file that could not be opened.
std::string RuntimeFileError(const platform::Status& status) {
  switch (status.code()) {
    case platform::Code::kNotFound:
      return "2 File Not Found";
    case platform::Code::kAccessDenied:
    case platform::Code::kLockConflict:
      return "5 Access Denied";
    default:
      return "90 File System Error";
  }
}

std::string TextPartHeader(std::string_view charset, std::string_view encoding) {
  return "Content-Type: text/plain;\r\n\tcharset=" + std::string(charset) +
         "\r\nContent-Transfer-Encoding: " + std::string(encoding) + "\r\n\r\n";
}

// A body as it goes out: at most `length` bytes of the buffer, line ends made
// CR LF.
std::string BodyText(const ByteBuffer& body, int64_t length) {
  const size_t n =
      body.data() == nullptr
          ? 0
          : static_cast<size_t>(std::min<uint64_t>(std::max<int64_t>(length, 0), body.capacity()));
  return NormalizeLineEnds(std::string_view(body.data() == nullptr ? "" : body.data(), n));
}

// Longest line SMTP carries; a longer one needs an encoding that breaks it.
constexpr size_t kMaxSmtpLine = 998;

// The labels of a body part. Bytes above 0x7F under the default us-ascii get
// their real charset, and such bytes or a line too long for SMTP make a
// 7bit or 8bit part quoted-printable. An ASCII body with short lines keeps
// the labels as set; a body the caller sends unencoded keeps them too.
void LabelBody(std::string_view body, bool dont_encode, std::string* charset,
               std::string* encoding) {
  if (dont_encode) return;
  const bool high = HasHighBytes(body);
  if (high && (platform::AsciiLowerCase(*charset) == "us-ascii" || runtime::IsBlank(*charset)))
    *charset = CharsetOf(body);
  const std::string how = platform::AsciiLowerCase(*encoding);
  if ((high || LongestLine(body) > kMaxSmtpLine) && how != "quoted-printable" && how != "base64") {
    *encoding = "quoted-printable";
  }
}

}  // namespace

std::string NetTimeZoneOffset(const platform::Clock& clock) {
  return NetTimeZoneOffsetText(clock.Zone().offset_minutes);
}

void NetEmailSend::ComposeFail(int32_t error, const std::string& text, const char* function) {
  compose_failed_ = true;
  ERROR = error;
  _NOMESSAGEADDEDYET = 1;
  ErrorTrap(text, function);
}

void NetEmailSend::ClipWhole() {
  const char* d = WHOLEMESSAGE.data();
  while (whole_used_ > clip_floor_ && d[whole_used_ - 1] == ' ') --whole_used_;
}

bool NetEmailSend::ReserveWhole(size_t extra) {
  if (compose_failed_) return false;
  if (whole_used_ + extra <= WHOLEMESSAGE.capacity()) return true;
  const size_t estimate = whole_used_ + extra + kHeadroom;
  if (!WHOLEMESSAGE.Grow(estimate, whole_used_, false)) {
    ComposeFail(kNetErrMemory, "Unable to allocate memory required for sending email.",
                "NetEmailSend.SetRequiredMessageSize");
    return false;
  }
  WHOLEMESSAGELEN = static_cast<int64_t>(estimate);
  return true;
}

void NetEmailSend::AppendWhole(std::string_view piece) {
  if (compose_failed_) return;
  ClipWhole();
  if (!ReserveWhole(piece.size())) return;
  if (!piece.empty()) std::memcpy(WHOLEMESSAGE.data() + whole_used_, piece.data(), piece.size());
  whole_used_ += piece.size();
}

void NetEmailSend::AppendBody(const std::string& text, const std::string& encoding) {
  const std::string how = platform::AsciiLowerCase(encoding);
  if (how == "base64") {
    ClipWhole();
    Base64LineEncoder encoder;
    if (!ReserveWhole(Base64LineEncoder::MaxOutput(text.size()))) return;
    whole_used_ += encoder.Feed(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                WHOLEMESSAGE.data() + whole_used_);
    return;
  }
  if (how != "quoted-printable") {
    AppendWhole(text);
    return;
  }
  // The body is encoded as one stream in pieces; nothing is clipped between
  // the pieces, so a space at the end of a piece is kept.
  ClipWhole();
  QuotedPrintableEncoder encoder;
  std::string out;
  for (size_t pos = 0; pos <= text.size() && !compose_failed_; pos += kFileRecordSize) {
    out.clear();
    if (pos < text.size()) {
      encoder.Feed(std::string_view(text).substr(pos, kFileRecordSize), &out);
    }
    if (pos + kFileRecordSize >= text.size()) encoder.Finish(&out);
    if (!ReserveWhole(out.size() + kHeadroom)) return;
    std::memcpy(WHOLEMESSAGE.data() + whole_used_, out.data(), out.size());
    whole_used_ += out.size();
    if (pos + kFileRecordSize >= text.size()) break;
  }
}

// Opens the file and notes where its encoding stands; it is read and encoded
// only when the message goes out (OutgoingMessageReader), against the size
// and identity taken here.
bool NetEmailSend::AttachFile(platform::Env* env, const std::string& path) {
  auto open_error = [&](const std::string& runtime_error) {
    ComposeFail(kNetErrFile,
                "Error opening attached file (" + path + ") for sending via " +
                    std::string(FieldValue(_SERVERDESC, 80)) + ". Error = " + runtime_error,
                "NetEmailSend.SendMail");
    return false;
  };
  // A NUL byte would end the name early and open another file.
  if (path.find('\0') != std::string::npos) return open_error("2 File Not Found");
  if (env->IsDirectory(path)) return open_error("5 Access Denied");
  auto opened = env->OpenFile(path, platform::Access::kRead, platform::Share::kDenyWrite,
                              platform::Disposition::kOpenExisting);
  if (!opened.ok()) return open_error(RuntimeFileError(opened.status()));
  AttachedFile f;
  f.at = whole_used_;
  f.path = path;
  f.file = std::move(opened.value());
  auto size = f.file->Size();
  if (!size.ok()) return open_error(RuntimeFileError(size.status()));
  f.size = size.value();
  auto id = env->Identify(path);
  if (id.ok()) f.id = id.value();
  // The encoding of a file with bytes ends in a base64 character: the text
  // before it is never clipped afterwards.
  if (f.size > 0) clip_floor_ = whole_used_;
  composing_files_.push_back(std::move(f));
  return true;
}

void NetEmailSend::AddAttachmentFile(std::string_view path) {
  if (!path.empty()) attachment_files_.emplace_back(path);
}

bool NetEmailSend::CollectFiles(const std::string& list, std::vector<FileToAttach>* files) {
  if (runtime::IsBlank(list)) return true;
  platform::Env* env = env_ != nullptr ? env_ : platform::Env::Default();
  const std::string_view clipped = FieldValue(list, kListWidth);
  const std::string whole(platform::Trim(clipped));
  // A list that names one existing file as a whole is that file, whatever
  // separators or quotes its name holds.
  if (whole.find('\0') == std::string::npos && env->FileExists(whole)) {
    files->push_back({whole, std::string(LiteralShortName(whole))});
    return true;
  }
  std::vector<std::string> paths;
  if (!SplitAttachmentList(clipped, &paths)) {
    ComposeFail(kNetErrFile,
                "Error opening attached file (" + whole + ") for sending via " +
                    std::string(FieldValue(_SERVERDESC, 80)) + ". Error = 2 File Not Found",
                "NetEmailSend.SendMail");
    return false;
  }
  for (std::string& path : paths) {
    std::string short_name(ShortName(path));
    files->push_back({std::move(path), std::move(short_name)});
  }
  return true;
}

bool NetEmailSend::AppendFileParts(const std::vector<FileToAttach>& files, bool embedded,
                                   const std::string& boundary) {
  platform::Env* env = env_ != nullptr ? env_ : platform::Env::Default();
  bool first = true;
  for (const FileToAttach& f : files) {
    const std::string& short_name = f.short_name;
    std::string head = first ? "\r\n" : "\r\n\r\n";
    head += "--" + boundary + kCrLf;
    if (embedded) {
      std::string suffix = "gif";
      if (short_name.size() > 4 && short_name[short_name.size() - 4] == '.')
        suffix = short_name.substr(short_name.size() - 3);
      // The type is a token: nothing in it may end the parameter.
      const auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
      if (!std::all_of(suffix.begin(), suffix.end(), alnum)) suffix = "gif";
      head += "Content-Type: image/" + suffix + ";\r\n " + FileNameParameter("name", short_name) +
              "\r\nContent-Transfer-Encoding: base64\r\nContent-ID: <" + ContentIdText(short_name) +
              ">\r\n\r\n";
    } else if (PlainFileName(short_name)) {
      head += "Content-Type: application/x-unkown;\r\n " + FileNameParameter("name", short_name) +
              "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n " +
              FileNameParameter("filename", short_name) + "\r\n\r\n";
    } else {
      // The exact name in RFC 2231 form where readers look first, an ASCII
      // stand-in in the type's name for readers that know only that.
      head += "Content-Type: application/x-unkown;\r\n " +
              FallbackFileNameParameter("name", short_name) +
              "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n " +
              FileNameParameter("filename", short_name) + "\r\n\r\n";
    }
    AppendWhole(head);
    if (compose_failed_) return false;
    if (!AttachFile(env, f.path)) return false;
    first = false;
  }
  AppendWhole("\r\n\r\n--" + boundary + "--\r\n");
  return !compose_failed_;
}

std::string NetEmailSend::DisplayName(const std::string& name) const {
  if (HasHighBytes(name)) return EncodeHeaderWords(name);
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string NetEmailSend::MessageIdTag() const {
  if (fixed_message_id_tag_) return message_id_tag_;
  // Fresh randomness for every message: no state to share between threads
  // and nothing a forked process could inherit.
  std::random_device rd;
  const uint64_t r = (uint64_t{rd()} << 32) ^ rd();
  std::string tag(17, '.');
  for (int i = 0; i < 16; ++i)
    tag[static_cast<size_t>(16 - i)] = platform::HexDigit(r >> (4 * i), platform::HexCase::kLower);
  return tag;
}

std::string NetEmailSend::AddressLine(const char* label, const std::string& list) {
  std::string line = label;
  std::string name, address;
  uint32_t taken = 0;
  for (uint32_t i = 1; GetEmailAddress(list, i, &name, &address); ++i) {
    if (taken > 0) line += ",";
    line += " " + DisplayName(name) + " <" + address + ">";
    ++taken;
  }
  return taken > 0 ? line + kCrLf : std::string();
}

std::string NetEmailSend::HeaderLines(const std::string& id, const std::string& mime_lines) {
  const platform::Clock& clock = clock_ != nullptr ? *clock_ : platform::SystemClock();
  const platform::LocalDateTime now = clock.Now();
  std::string h;
  std::string local_ip(_CONNECTION.LOCALIP,
                       strnlen(_CONNECTION.LOCALIP, sizeof _CONNECTION.LOCALIP));
  if (local_ip.empty() || local_ip == "<unknown>") local_ip = "netemailsend";
  h += "Message-ID: <" + id + ".00@" + local_ip + MessageIdTag() + ">\r\n";
  // Address and identifier fields are written as given (on one line); free
  // text with 8-bit bytes goes out as encoded words.
  auto optional = [&h](const char* label, std::string_view value, size_t width,
                       bool free_text = false) {
    const std::string_view v = FieldValue(value, width);
    if (runtime::IsBlank(v)) return;
    h += label + (free_text ? EncodeHeaderWords(OneLine(v)) : OneLine(v)) + kCrLf;
  };
  optional("Delivery-receipt-to: ", DELIVERYRECEIPTTO, kShortFieldWidth);
  optional("Disposition-Notification-To: ", DISPOSITIONNOTIFICATIONTO, kShortFieldWidth);
  optional("Reply-To: ", REPLYTO, kShortFieldWidth);
  std::string name, address;
  if (GetEmailAddress(FieldValue(FROM, kShortFieldWidth), 1, &name, &address)) {
    h += "From: " + DisplayName(name) + " <" + address + ">\r\n";
  }
  h += AddressLine("To:", std::string(FieldValue(TOLIST, kListWidth)));
  if (!runtime::IsBlank(CCLIST))
    h += AddressLine("CC:", std::string(FieldValue(CCLIST, kListWidth)));
  optional("References: ", REFERENCES, kReferencesWidth);
  h += "Subject: " + EncodeHeaderWords(OneLine(FieldValue(SUBJECT, kSubjectWidth))) + kCrLf;
  static constexpr char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  h += "Date: " + std::string(kDays + (now.weekday % 7) * 3, 3) + ", " + std::to_string(now.day) +
       " " + std::string(kMonths + ((now.month + 11) % 12) * 3, 3) + " " +
       std::to_string(now.year) + " " + TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" +
       TwoDigits(now.second) + " " + NetTimeZoneOffset(clock) + kCrLf;
  optional("Organization: ", ORGANIZATION, kShortFieldWidth, true);
  h += mime_lines;
  h += "X-Mailer: " + EncodeHeaderWords(OneLine(FieldValue(XMAILER, kXMailerWidth))) + kCrLf;
  h += "X-Linkora: Linkora Email 2.4\r\n";
  if (!runtime::IsBlank(EXTRAHEADER))
    h += SafeExtraHeader(FieldValue(EXTRAHEADER, kExtraHeaderWidth));
  h += kCrLf;
  return h;
}

bool NetEmailSend::ComposeMode2() {
  const std::string desc(FieldValue(_SERVERDESC, 80));
  compose_failed_ = false;
  if (runtime::IsBlank(TOLIST) && runtime::IsBlank(CCLIST) && runtime::IsBlank(BCCLIST)) {
    ComposeFail(kNetErrMissingProperties, "No To, CC or BCC field specified when sending " + desc,
                "NetEmailSend.SendMail");
    return false;
  }
  if (runtime::IsBlank(FROM)) {
    ComposeFail(kNetErrMissingProperties, "No From Field specified when sending " + desc,
                "NetEmailSend.SendMail");
    return false;
  }
  // A line break in an address would end the header line or the SMTP
  // command it is written into.
  if (HasLineBreak(FieldValue(TOLIST, kListWidth)) ||
      HasLineBreak(FieldValue(CCLIST, kListWidth)) ||
      HasLineBreak(FieldValue(BCCLIST, kListWidth)) ||
      HasLineBreak(FieldValue(FROM, kShortFieldWidth))) {
    ComposeFail(kNetErrMissingProperties, "Line break in an address field when sending " + desc,
                "NetEmailSend.SendMail");
    return false;
  }
  const size_t text_len = static_cast<size_t>(std::max<int64_t>(MESSAGETEXTLEN, 0));
  const size_t html_len = static_cast<size_t>(std::max<int64_t>(MESSAGEHTMLLEN, 0));
  const size_t estimate =
      kHeadroom + FieldValue(TOLIST, kListWidth).size() + FieldValue(CCLIST, kListWidth).size() +
      FieldValue(FROM, kShortFieldWidth).size() + FieldValue(SUBJECT, kSubjectWidth).size() +
      FieldValue(REPLYTO, kShortFieldWidth).size() +
      FieldValue(ORGANIZATION, kShortFieldWidth).size() +
      FieldValue(DISPOSITIONNOTIFICATIONTO, kShortFieldWidth).size() +
      FieldValue(DELIVERYRECEIPTTO, kShortFieldWidth).size() +
      FieldValue(EXTRAHEADER, kExtraHeaderWidth).size() + text_len + html_len;
  WHOLEMESSAGELEN = static_cast<int64_t>(estimate);
  if (estimate > WHOLEMESSAGE.capacity() || WHOLEMESSAGE.capacity() > estimate + kShrinkSlack) {
    if (!WHOLEMESSAGE.Allocate(estimate, false)) {
      ComposeFail(kNetErrMemory, "Unable to allocate memory required for sending " + desc + ".",
                  "NetEmailSend.SetRequiredMessageSize");
      return false;
    }
  }
  whole_used_ = 0;
  clip_floor_ = 0;
  composing_files_.clear();

  const int32_t number = NextMessageNumber();
  const platform::Clock& clock = clock_ != nullptr ? *clock_ : platform::SystemClock();
  const platform::LocalDateTime now = clock.Now();
  const std::string id = std::to_string(now.year) + TwoDigits(now.month) + TwoDigits(now.day) +
                         "." + TwoDigits(now.hour) + TwoDigits(now.minute) + TwoDigits(now.second) +
                         "." + std::to_string(number);
  const std::string mixed = std::string(kBoundaryPrefix) + "_000_" + id;
  const std::string alternative = std::string(kBoundaryPrefix) + "_001_" + id;
  const std::string related = std::string(kBoundaryPrefix) + "_002_" + id;

  const bool html = MESSAGEHTMLLEN > 0;
  const bool embedded = !runtime::IsBlank(EMBEDLIST) && html;
  std::vector<FileToAttach> attached;
  if (!CollectFiles(ATTACHMENTLIST, &attached)) return false;
  for (const std::string& path : attachment_files_)
    attached.push_back({path, std::string(LiteralShortName(path))});
  std::vector<FileToAttach> images;
  if (embedded && !CollectFiles(EMBEDLIST, &images)) return false;
  const bool attachments = !attached.empty() || !runtime::IsBlank(ATTACHMENTLIST);
  const std::string text = BodyText(MESSAGETEXT, MESSAGETEXTLEN);
  const std::string html_text = html ? BodyText(MESSAGEHTML, MESSAGEHTMLLEN) : std::string();
  std::string text_charset(FieldValue(OPTIONSMIMETEXTCHARSET, kOptionWidth));
  std::string text_encoding(FieldValue(OPTIONSMIMETEXTTRANSFERENCODING, kOptionWidth));
  std::string html_charset(FieldValue(OPTIONSMIMEHTMLCHARSET, kOptionWidth));
  std::string html_encoding(FieldValue(OPTIONSMIMEHTMLTRANSFERENCODING, kOptionWidth));
  LabelBody(text, OPTIONSMIMETEXTDONTENCODE == 1, &text_charset, &text_encoding);
  LabelBody(html_text, OPTIONSMIMEHTMLDONTENCODE == 1, &html_charset, &html_encoding);
  // With DONTENCODE the caller's bytes go out as they are under its labels.
  const std::string text_how = OPTIONSMIMETEXTDONTENCODE == 1 ? std::string() : text_encoding;
  const std::string html_how = OPTIONSMIMEHTMLDONTENCODE == 1 ? std::string() : html_encoding;

  std::string mime = "MIME-version: 1.0\r\n";
  if (attachments) {
    mime += "Content-Type: multipart/mixed;\r\n\tboundary=\"" + mixed + "\"\r\n";
  } else if (embedded) {
    mime += "Content-Type: multipart/related; type=\"multipart/alternative\";\r\n\tboundary=\"" +
            related + "\"\r\n";
  } else if (html) {
    mime += "Content-Type: multipart/alternative;\r\n\tboundary=\"" + alternative + "\"\r\n";
  } else {
    mime += "Content-Type: text/plain;\r\n\tcharset=" + text_charset +
            "\r\nContent-Transfer-Encoding: " + text_encoding + "\r\n";
  }
  AppendWhole(HeaderLines(id, mime));

  const std::string preamble =
      "This is a multi-part message in MIME format.\r\nThis email requires a MIME compatible email "
      "reader.\r\n\r\n";
  if (!attachments && !html) {
    AppendBody(text, text_how);
  } else if (!html) {
    AppendWhole(preamble + "--" + mixed + kCrLf + TextPartHeader(text_charset, text_encoding));
    AppendBody(text, text_how);
    AppendWhole(kCrLf);
  } else {
    std::string head = preamble;
    const std::string alternative_header =
        "Content-Type: multipart/alternative;\r\n\tboundary=\"" + alternative + "\"\r\n\r\n";
    if (embedded && attachments) {
      head +=
          "--" + mixed +
          "\r\nContent-Type: multipart/related;\r\n\ttype=\"multipart/related\";\r\n\tboundary=\"" +
          related + "\"\r\n\r\n\r\n";
    }
    if (embedded) head += "--" + related + kCrLf + alternative_header;
    if (attachments && !embedded) head += "--" + mixed + kCrLf + alternative_header;
    head += "--" + alternative + kCrLf + TextPartHeader(text_charset, text_encoding);
    AppendWhole(head);
    AppendBody(text, text_how);
    AppendWhole("\r\n\r\n--" + alternative + "\r\nContent-Type: text/html;\r\n\tcharset=" +
                html_charset + "\r\nContent-Transfer-Encoding: " + html_encoding + "\r\n\r\n");
    AppendBody(html_text, html_how);
    AppendWhole("\r\n\r\n--" + alternative + "--\r\n");
    if (embedded && !AppendFileParts(images, true, related)) return false;
  }
  if (attachments && !AppendFileParts(attached, false, mixed)) return false;
  if (compose_failed_) return false;
  ClipWhole();
  auto message = std::make_shared<const OutgoingMessage>(
      std::string(WHOLEMESSAGE.data(), whole_used_), std::move(composing_files_));
  composing_files_.clear();
  WHOLEMESSAGELEN = static_cast<int64_t>(message->length());
  last_composed_ = std::move(message);
  MessageComposed();
  return true;
}

bool NetEmailSend::TakeMode1() {
  TOLIST = GetHeaderField("To:");
  CCLIST = GetHeaderField("CC:");
  BCCLIST = GetHeaderField("Bcc:");
  FROM = GetHeaderField("From:");
  NEWSGROUP = GetHeaderField("Newsgroups:");
  HeaderFieldsExtracted();
  return true;
}

bool NetEmailSend::QueueMessage(int32_t mode) {
  const std::string desc(FieldValue(_SERVERDESC, 80));
  auto copy_buffer = [](const ByteBuffer& from, int64_t length, ByteBuffer* to) {
    const size_t n = from.data() == nullptr ? 0
                                            : static_cast<size_t>(std::min<uint64_t>(
                                                  std::max<int64_t>(length, 0), from.capacity()));
    if (!to->Allocate(n, false)) return false;
    if (n > 0) std::memcpy(to->data(), from.data(), n);
    return true;
  };
  bool ok = DATAQUEUE != nullptr;
  try {
    DataQueueRecord rec;
    if (mode == 2) {
      rec.MESSAGE = last_composed_;
    } else {
      // The supplied message, as it stands in WHOLEMESSAGE.
      rec.MESSAGE = std::make_shared<const OutgoingMessage>(std::string(ComposedMessage()),
                                                            std::vector<AttachedFile>());
    }
    ok = ok && rec.MESSAGE != nullptr;
    rec.WHOLEMESSAGELEN = ok ? rec.MESSAGE->length() : 0;
    rec.TOLIST = FieldValue(TOLIST, kListWidth);
    rec.CCLIST = FieldValue(CCLIST, kListWidth);
    rec.BCCLIST = FieldValue(BCCLIST, kListWidth);
    rec.FROM = FieldValue(FROM, kShortFieldWidth);
    rec.NEWSGROUP = FieldValue(NEWSGROUP, kServerWidth);
    if (mode == 2) {
      rec.REPLYTO = FieldValue(REPLYTO, kShortFieldWidth);
      rec.ORGANIZATION = FieldValue(ORGANIZATION, kShortFieldWidth);
      rec.DELIVERYRECEIPTTO = FieldValue(DELIVERYRECEIPTTO, kShortFieldWidth);
      rec.DISPOSITIONNOTIFICATIONTO = FieldValue(DISPOSITIONNOTIFICATIONTO, kShortFieldWidth);
      rec.SUBJECT = FieldValue(SUBJECT, kSubjectWidth);
      rec.EXTRAHEADER = FieldValue(EXTRAHEADER, kExtraHeaderWidth);
      rec.ATTACHMENTLIST = FieldValue(ATTACHMENTLIST, kListWidth);
      ok = ok && copy_buffer(MESSAGETEXT, MESSAGETEXTLEN, &rec.MESSAGETEXT);
      rec.MESSAGETEXTLEN = rec.MESSAGETEXT.capacity();
      if (MESSAGEHTMLLEN > 0) {
        ok = ok && copy_buffer(MESSAGEHTML, MESSAGEHTMLLEN, &rec.MESSAGEHTML);
        rec.MESSAGEHTMLLEN = rec.MESSAGEHTML.capacity();
      }
    }
    if (ok) DATAQUEUE->push_back(std::move(rec));
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) {
    ERROR = -30;
    _NOMESSAGEADDEDYET = 1;
    ErrorTrap("Could not add " + desc + " to the queue", "NetEmailSend.SendMail");
    return false;
  }
  return true;
}

void NetEmailSend::SendMail(int32_t mode) {
  ERROR = 0;
  last_composed_.reset();
  composed_text_.clear();
  composed_text_made_ = false;
  if (mode == 2) {
    if (!ComposeMode2()) {
      composing_files_.clear();  // closes the files opened so far
      return;
    }
  } else if (mode == 1) {
    if (!TakeMode1()) return;
  } else {
    ERROR = net::kNetErrBadParameters;
    _NOMESSAGEADDEDYET = 1;
    ErrorTrap("Incorrect Mode parameter passed to function.", "NetEmailSend.SendMail");
    return;
  }
  if (!QueueMessage(mode)) return;
  StartDialogue();
}

}  // namespace vm::mail
