#include "app/gateway_tables.h"

namespace vm::storage {
namespace {

std::string InDir(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

TableDef ControlDef() {
  using namespace control;
  TableDef d;
  d.record_length = kControlLength;
  d.fields = {
      MakeField("CON:SMTP_SERVER", kTypeString, kSmtpServer, kSmtpServerSize),
      MakeField("CON:PORT", kTypeShort, kPort, 2),
      MakeField("CON:FROM", kTypeString, kFrom, kFromSize),
      MakeField("CON:IDLETIME", kTypeString, kIdleTime, kIdleTimeSize),
      MakeField("CON:APPLICATE_PATH", kTypeString, kApplicatePath, kApplicatePathSize),
      MakeField("CON:SUBJECT", kTypeString, kSubject, kSubjectSize),
      MakeField("CON:ATTACHMENT_BODY", kTypeCString, kAttachmentBody, kAttachmentBodySize),
      MakeField("CON:NONATTACHMENTBODY", kTypeCString, kNonAttachmentBody, kNonAttachmentBodySize)};
  return d;
}

TableDef MailboxesDef() {
  using namespace mailboxes;
  TableDef d;
  d.record_length = kMailboxesLength;
  d.fields = {MakeField("MAI:MAILBOX_NO", kTypeShort, kMailboxNo, 2),
              MakeField("MAI:EMAIL_ADDRESS", kTypeString, kEmailAddress, kEmailAddressSize),
              MakeField("MAI:CC_EMAIL_ADDRESS", kTypeString, kCcEmailAddress, kCcEmailAddressSize),
              MakeField("MAI:ENABLE_EMAIL", kTypeString, kEnableEmail, kEnableEmailSize),
              MakeField("MAI:SEND_VOICE_FILE", kTypeString, kSendVoiceFile, kSendVoiceFileSize)};
  // Unique, text without regard to case (6).
  d.keys = {MakeKey("MAI:MAILBOXKEY", kKeyOptional | kKeyNoCase, {{0, 0}})};
  return d;
}

namespace {

TableDef ProcessedFilesFields() {
  using namespace processed;
  TableDef d;
  d.record_length = kProcessedFilesLength;
  d.fields = {MakeField("PRO:FILENAME", kTypeString, kFileName, kFileNameSize),
              MakeField("PRO:DATE", kTypeLong, kDate, 4),
              MakeField("PRO:TIME", kTypeLong, kTime, 4),
              MakeField("PRO:PROCESSED", kTypeByte, kProcessed, 1),
              MakeField("PRO:ERROR", kTypeString, kError, kErrorSize),
              MakeField("PRO:ERRORCODE", kTypeShort, kErrorCode, 2),
              MakeField("PRO:MAILBOX", kTypeShort, kMailbox, 2),
              MakeField("PRO:EMAILADDRESS", kTypeString, kEmailAddress, kEmailAddressSize),
              MakeField("PRO:CC_EMAIL_ADDRESS", kTypeString, kCcEmailAddress, kCcEmailAddressSize),
              MakeField("PRO:FULLPATH", kTypeString, kFullPath, kFullPathSize),
              MakeField("PRO:SENDATTACHMENT", kTypeString, kSendAttachment, kSendAttachmentSize),
              MakeField("PRO:DATEOFRECORDING", kTypeLong, kDateOfRecording, 4),
              MakeField("PRO:TIMEOFRECORDING", kTypeLong, kTimeOfRecording, 4)};
  return d;
}

KeyDef ProcessedKeyControl() {
  return MakeKey("PRO:PROCESSEDKEYCONTROL", kKeyDuplicates | kKeyOptional | kKeyNoCase, {{3, 0}});
}

}  // namespace

TableDef ProcessedFilesDef() {
  TableDef d = ProcessedFilesFields();
  // Field numbers: PRO:MAILBOX 6, PRO:FILENAME 0, PRO:DATEOFRECORDING 11,
  // PRO:TIMEOFRECORDING 12.
  d.keys = {
      MakeKey("PRO:FILENAMEKEY", kKeyOptional | kKeyNoCase, {{6, 0}, {0, 0}, {11, 0}, {12, 0}}),
      ProcessedKeyControl()};
  return d;
}

TableDef ProcessedFilesDefByName() {
  TableDef d = ProcessedFilesFields();
  d.keys = {MakeKey("PRO:FILENAMEKEY", kKeyOptional | kKeyNoCase, {{0, 0}}), ProcessedKeyControl()};
  return d;
}

std::string ControlFile(const std::string& dir) {
  return InDir(dir, "CONTROL.KFS");
}
std::string MailboxesFile(const std::string& dir) {
  return InDir(dir, "MAILBOXE.KFS");
}
std::string ProcessedFilesFile(const std::string& dir) {
  return InDir(dir, "PROCESSE.KFS");
}

std::unique_ptr<DeclaredTable> DeclareControl(const std::string& dir, platform::Env* env) {
  return std::make_unique<DeclaredTable>(ControlFile(dir), ControlDef(), env);
}
std::unique_ptr<DeclaredTable> DeclareMailboxes(const std::string& dir, platform::Env* env) {
  return std::make_unique<DeclaredTable>(MailboxesFile(dir), MailboxesDef(), env);
}
std::unique_ptr<DeclaredTable> DeclareProcessedFiles(const std::string& dir, platform::Env* env) {
  return std::make_unique<DeclaredTable>(ProcessedFilesFile(dir), ProcessedFilesDef(), env);
}

}  // namespace vm::storage
