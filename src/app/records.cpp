#include "app/records.h"

#include <cstring>

#include "app/gateway_tables.h"
#include "platform/byte_coding.h"
#include "runtime/fixed_text.h"

namespace vm::app {
namespace {

namespace con = storage::control;
namespace mai = storage::mailboxes;
namespace pro = storage::processed;

template <typename T>
T GetInt(const std::vector<char>& b, size_t at) {
  return static_cast<T>(platform::DecodeLittleEndian(b.data() + at, sizeof(T)));
}

template <typename T>
void PutInt(std::vector<char>* b, size_t at, T value) {
  using U = std::make_unsigned_t<T>;
  platform::EncodeLittleEndian(b->data() + at, static_cast<U>(value), sizeof(T));
}

std::string GetText(const std::vector<char>& b, size_t at, size_t width) {
  return std::string(runtime::ClipField(b.data() + at, width));
}

void PutText(std::vector<char>* b, size_t at, size_t width, const std::string& value) {
  runtime::AssignFixed(b->data() + at, width, value);
}

// NUL-terminated text: at most width-1 bytes, then zeros.
void PutCString(std::vector<char>* b, size_t at, size_t width, const std::string& value) {
  const std::string_view cut = runtime::CutUtf8(value, width - 1);
  std::memset(b->data() + at, 0, width);
  std::memcpy(b->data() + at, cut.data(), cut.size());
}

}  // namespace

ControlRow ReadControl(const std::vector<char>& b) {
  ControlRow r;
  r.smtp_server = GetText(b, con::kSmtpServer, con::kSmtpServerSize);
  r.port = GetInt<int16_t>(b, con::kPort);
  r.from = GetText(b, con::kFrom, con::kFromSize);
  r.idle_time = GetText(b, con::kIdleTime, con::kIdleTimeSize);
  r.applicate_path = GetText(b, con::kApplicatePath, con::kApplicatePathSize);
  r.subject = GetText(b, con::kSubject, con::kSubjectSize);
  r.attachment_body = GetText(b, con::kAttachmentBody, con::kAttachmentBodySize);
  r.nonattachment_body = GetText(b, con::kNonAttachmentBody, con::kNonAttachmentBodySize);
  return r;
}

void WriteControl(const ControlRow& r, std::vector<char>* b) {
  PutText(b, con::kSmtpServer, con::kSmtpServerSize, r.smtp_server);
  PutInt<int16_t>(b, con::kPort, r.port);
  PutText(b, con::kFrom, con::kFromSize, r.from);
  PutText(b, con::kIdleTime, con::kIdleTimeSize, r.idle_time);
  PutText(b, con::kApplicatePath, con::kApplicatePathSize, r.applicate_path);
  PutText(b, con::kSubject, con::kSubjectSize, r.subject);
  PutCString(b, con::kAttachmentBody, con::kAttachmentBodySize, r.attachment_body);
  PutCString(b, con::kNonAttachmentBody, con::kNonAttachmentBodySize, r.nonattachment_body);
}

MailboxRow ReadMailbox(const std::vector<char>& b) {
  MailboxRow r;
  r.mailbox_no = GetInt<int16_t>(b, mai::kMailboxNo);
  r.email_address = GetText(b, mai::kEmailAddress, mai::kEmailAddressSize);
  r.cc_email_address = GetText(b, mai::kCcEmailAddress, mai::kCcEmailAddressSize);
  r.enable_email = GetText(b, mai::kEnableEmail, mai::kEnableEmailSize);
  r.send_voice_file = GetText(b, mai::kSendVoiceFile, mai::kSendVoiceFileSize);
  return r;
}

void WriteMailbox(const MailboxRow& r, std::vector<char>* b) {
  PutInt<int16_t>(b, mai::kMailboxNo, r.mailbox_no);
  PutText(b, mai::kEmailAddress, mai::kEmailAddressSize, r.email_address);
  PutText(b, mai::kCcEmailAddress, mai::kCcEmailAddressSize, r.cc_email_address);
  PutText(b, mai::kEnableEmail, mai::kEnableEmailSize, r.enable_email);
  PutText(b, mai::kSendVoiceFile, mai::kSendVoiceFileSize, r.send_voice_file);
}

ProcessedRow ReadProcessed(const std::vector<char>& b) {
  ProcessedRow r;
  r.filename = GetText(b, pro::kFileName, pro::kFileNameSize);
  r.date = GetInt<int32_t>(b, pro::kDate);
  r.time = GetInt<int32_t>(b, pro::kTime);
  r.processed = static_cast<uint8_t>(b[pro::kProcessed]);
  r.error = GetText(b, pro::kError, pro::kErrorSize);
  r.error_code = GetInt<int16_t>(b, pro::kErrorCode);
  r.mailbox = GetInt<int16_t>(b, pro::kMailbox);
  r.email_address = GetText(b, pro::kEmailAddress, pro::kEmailAddressSize);
  r.cc_email_address = GetText(b, pro::kCcEmailAddress, pro::kCcEmailAddressSize);
  r.full_path = GetText(b, pro::kFullPath, pro::kFullPathSize);
  r.send_attachment = GetText(b, pro::kSendAttachment, pro::kSendAttachmentSize);
  r.date_of_recording = GetInt<int32_t>(b, pro::kDateOfRecording);
  r.time_of_recording = GetInt<int32_t>(b, pro::kTimeOfRecording);
  return r;
}

void WriteProcessed(const ProcessedRow& r, std::vector<char>* b) {
  PutText(b, pro::kFileName, pro::kFileNameSize, r.filename);
  PutInt<int32_t>(b, pro::kDate, r.date);
  PutInt<int32_t>(b, pro::kTime, r.time);
  (*b)[pro::kProcessed] = static_cast<char>(r.processed);
  PutText(b, pro::kError, pro::kErrorSize, r.error);
  PutInt<int16_t>(b, pro::kErrorCode, r.error_code);
  PutInt<int16_t>(b, pro::kMailbox, r.mailbox);
  PutText(b, pro::kEmailAddress, pro::kEmailAddressSize, r.email_address);
  PutText(b, pro::kCcEmailAddress, pro::kCcEmailAddressSize, r.cc_email_address);
  PutText(b, pro::kFullPath, pro::kFullPathSize, r.full_path);
  PutText(b, pro::kSendAttachment, pro::kSendAttachmentSize, r.send_attachment);
  PutInt<int32_t>(b, pro::kDateOfRecording, r.date_of_recording);
  PutInt<int32_t>(b, pro::kTimeOfRecording, r.time_of_recording);
}

ControlRow DefaultSettings() {
  ControlRow r;
  r.port = 25;
  r.from = "VoiceMail <voicemail@localhost>";
  r.idle_time = "60";
  return r;
}

bool IsYes(const std::string& value) {
  return runtime::EqualFixed(value, "YES");
}

}  // namespace vm::app
