// The gateway's three tables as the program declares them, for the storage
// tests: record layouts, upper-case names, key attribute bytes, field offsets
// and file names. The application keeps its own (app/gateway_tables.h); the
// engine's tests do not depend on it.
#pragma once

#include <memory>
#include <string>

#include "storage/driver/declared_table.h"
#include "storage/table/table_def.h"

namespace vm::storage {

// Record lengths.
inline constexpr uint16_t kControlLength = 2622;
inline constexpr uint16_t kMailboxesLength = 125;
inline constexpr uint16_t kProcessedFilesLength = 906;

// Field offsets in the row buffers.
namespace control {
inline constexpr size_t kSmtpServer = 0, kSmtpServerSize = 40;
inline constexpr size_t kPort = 40;
inline constexpr size_t kFrom = 42, kFromSize = 50;
inline constexpr size_t kIdleTime = 92, kIdleTimeSize = 20;
inline constexpr size_t kApplicatePath = 112, kApplicatePathSize = 255;
inline constexpr size_t kSubject = 367, kSubjectSize = 255;
inline constexpr size_t kAttachmentBody = 622, kAttachmentBodySize = 1000;
inline constexpr size_t kNonAttachmentBody = 1622, kNonAttachmentBodySize = 1000;
}  // namespace control

namespace mailboxes {
inline constexpr size_t kMailboxNo = 0;
inline constexpr size_t kEmailAddress = 2, kEmailAddressSize = 50;
inline constexpr size_t kCcEmailAddress = 52, kCcEmailAddressSize = 50;
inline constexpr size_t kEnableEmail = 102, kEnableEmailSize = 3;
inline constexpr size_t kSendVoiceFile = 105, kSendVoiceFileSize = 20;
inline constexpr int kMailboxKey = 0;
}  // namespace mailboxes

namespace processed {
inline constexpr size_t kFileName = 0, kFileNameSize = 255;
inline constexpr size_t kDate = 255;
inline constexpr size_t kTime = 259;
inline constexpr size_t kProcessed = 263;
inline constexpr size_t kError = 264, kErrorSize = 255;
inline constexpr size_t kErrorCode = 519;
inline constexpr size_t kMailbox = 521;
inline constexpr size_t kEmailAddress = 523, kEmailAddressSize = 50;
inline constexpr size_t kCcEmailAddress = 573, kCcEmailAddressSize = 50;
inline constexpr size_t kFullPath = 623, kFullPathSize = 255;
inline constexpr size_t kSendAttachment = 878, kSendAttachmentSize = 20;
inline constexpr size_t kDateOfRecording = 898;
inline constexpr size_t kTimeOfRecording = 902;
inline constexpr int kFileNameKey = 0;
inline constexpr int kProcessedKeyControl = 1;
}  // namespace processed

inline TableDef ControlTableDef() {
  TableDef d;
  d.record_length = 2622;
  d.fields = {MakeField("CON:SMTP_SERVER", kTypeString, 0, 40),
              MakeField("CON:PORT", kTypeShort, 40, 2),
              MakeField("CON:FROM", kTypeString, 42, 50),
              MakeField("CON:IDLETIME", kTypeString, 92, 20),
              MakeField("CON:APPLICATE_PATH", kTypeString, 112, 255),
              MakeField("CON:SUBJECT", kTypeString, 367, 255),
              MakeField("CON:ATTACHMENT_BODY", kTypeCString, 622, 1000),
              MakeField("CON:NONATTACHMENTBODY", kTypeCString, 1622, 1000)};
  return d;
}

inline TableDef MailboxesTableDef() {
  TableDef d;
  d.record_length = 125;
  d.fields = {MakeField("MAI:MAILBOX_NO", kTypeShort, 0, 2),
              MakeField("MAI:EMAIL_ADDRESS", kTypeString, 2, 50),
              MakeField("MAI:CC_EMAIL_ADDRESS", kTypeString, 52, 50),
              MakeField("MAI:ENABLE_EMAIL", kTypeString, 102, 3),
              MakeField("MAI:SEND_VOICE_FILE", kTypeString, 105, 20)};
  d.keys = {MakeKey("MAI:MAILBOXKEY", 6, {{0, 0}})};
  return d;
}

inline TableDef ProcessedFilesTableDef() {
  TableDef d;
  d.record_length = 906;
  d.fields = {MakeField("PRO:FILENAME", kTypeString, 0, 255),
              MakeField("PRO:DATE", kTypeLong, 255, 4),
              MakeField("PRO:TIME", kTypeLong, 259, 4),
              MakeField("PRO:PROCESSED", kTypeByte, 263, 1),
              MakeField("PRO:ERROR", kTypeString, 264, 255),
              MakeField("PRO:ERRORCODE", kTypeShort, 519, 2),
              MakeField("PRO:MAILBOX", kTypeShort, 521, 2),
              MakeField("PRO:EMAILADDRESS", kTypeString, 523, 50),
              MakeField("PRO:CC_EMAIL_ADDRESS", kTypeString, 573, 50),
              MakeField("PRO:FULLPATH", kTypeString, 623, 255),
              MakeField("PRO:SENDATTACHMENT", kTypeString, 878, 20),
              MakeField("PRO:DATEOFRECORDING", kTypeLong, 898, 4),
              MakeField("PRO:TIMEOFRECORDING", kTypeLong, 902, 4)};
  d.keys = {MakeKey("PRO:FILENAMEKEY", 6, {{0, 0}}),
            MakeKey("PRO:PROCESSEDKEYCONTROL", 7, {{3, 0}})};
  return d;
}

inline std::string InTestDir(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}
inline std::string ControlFile(const std::string& dir = "") {
  return InTestDir(dir, "CONTROL.KFS");
}
inline std::string MailboxesFile(const std::string& dir = "") {
  return InTestDir(dir, "MAILBOXE.KFS");
}
inline std::string ProcessedFilesFile(const std::string& dir = "") {
  return InTestDir(dir, "PROCESSE.KFS");
}

inline std::unique_ptr<DeclaredTable> DeclareControl(const std::string& dir) {
  return std::make_unique<DeclaredTable>(ControlFile(dir), ControlTableDef());
}
inline std::unique_ptr<DeclaredTable> DeclareMailboxes(const std::string& dir) {
  return std::make_unique<DeclaredTable>(MailboxesFile(dir), MailboxesTableDef());
}
inline std::unique_ptr<DeclaredTable> DeclareProcessedFiles(const std::string& dir) {
  return std::make_unique<DeclaredTable>(ProcessedFilesFile(dir), ProcessedFilesTableDef());
}

}  // namespace vm::storage
