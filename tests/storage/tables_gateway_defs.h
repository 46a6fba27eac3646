// The gateway's three tables as the program declares them, for the storage
// tests: record layouts, upper-case names and key attribute bytes.
#pragma once

#include "storage/table_def.h"

namespace vm::storage {

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

}  // namespace vm::storage
