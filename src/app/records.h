// Typed views of the gateway's three row buffers (Control, Mailboxes,
// ProcessedFiles): read a buffer into a plain record and write one back,
// field by field at the offsets the table declarations fix. Pure functions
// over caller-owned buffers; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vm::app {

// The settings row. Texts are held without trailing blanks.
struct ControlRow {
  std::string smtp_server;        // CON:SMTP_SERVER
  int16_t port = 0;               // CON:PORT
  std::string from;               // CON:FROM
  std::string idle_time;          // CON:IDLETIME
  std::string applicate_path;     // CON:APPLICATE_PATH
  std::string subject;            // CON:SUBJECT
  std::string attachment_body;    // CON:ATTACHMENT_BODY (NUL-terminated, 999 bytes of text)
  std::string nonattachment_body; // CON:NONATTACHMENTBODY
};

struct MailboxRow {
  int16_t mailbox_no = 0;         // MAI:MAILBOX_NO
  std::string email_address;      // MAI:EMAIL_ADDRESS
  std::string cc_email_address;   // MAI:CC_EMAIL_ADDRESS
  std::string enable_email;       // MAI:ENABLE_EMAIL
  std::string send_voice_file;    // MAI:SEND_VOICE_FILE
};

struct ProcessedRow {
  std::string filename;           // PRO:FILENAME
  int32_t date = 0;               // PRO:DATE
  int32_t time = 0;               // PRO:TIME
  uint8_t processed = 0;          // PRO:PROCESSED
  std::string error;              // PRO:ERROR
  int16_t error_code = 0;         // PRO:ERRORCODE
  int16_t mailbox = 0;            // PRO:MAILBOX
  std::string email_address;      // PRO:EMAILADDRESS
  std::string cc_email_address;   // PRO:CC_EMAIL_ADDRESS
  std::string full_path;          // PRO:FULLPATH
  std::string send_attachment;    // PRO:SENDATTACHMENT
  int32_t date_of_recording = 0;  // PRO:DATEOFRECORDING
  int32_t time_of_recording = 0;  // PRO:TIMEOFRECORDING
};

// Capacity of the NUL-terminated body templates (text bytes, without the NUL).
inline constexpr size_t kBodyCapacity = 999;

// REQUIRES: the buffer has the table's record length. Writing replaces every
// field; texts longer than their field are cut (never inside a UTF-8 sequence).
ControlRow ReadControl(const std::vector<char>& buffer);
void WriteControl(const ControlRow& row, std::vector<char>* buffer);
MailboxRow ReadMailbox(const std::vector<char>& buffer);
void WriteMailbox(const MailboxRow& row, std::vector<char>* buffer);
ProcessedRow ReadProcessed(const std::vector<char>& buffer);
void WriteProcessed(const ProcessedRow& row, std::vector<char>* buffer);

// The settings record a first run adds: server blank, port 25, sender
// "VoiceMail" with the default address, idle time "60", everything else empty.
ControlRow DefaultSettings();
// True for the word "YES" (blank-padded); anything else counts as no.
bool IsYes(const std::string& value);

}  // namespace vm::app
