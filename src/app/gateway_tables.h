// The gateway's three tables: Control (one settings row), Mailboxes and
// ProcessedFiles, with their record layouts, field offsets, keys and file
// names. Plain declarations; thread-safe. The application owns them; they
// stay in namespace vm::storage beside the engine types they are made of.
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
// A recording: PRO:MAILBOX, PRO:FILENAME (without regard to case),
// PRO:DATEOFRECORDING, PRO:TIMEOFRECORDING; unique. The same name in two
// mailboxes, or a name a recorder uses again later, is another recording.
inline constexpr int kFileNameKey = 0;
// Rows with PRO:PROCESSED 1 only (optional key: 0 makes no entry).
inline constexpr int kProcessedKeyControl = 1;
}  // namespace processed

TableDef ControlDef();
TableDef MailboxesDef();
TableDef ProcessedFilesDef();
// ProcessedFiles as directories written before the key above have it: the
// same rows, PRO:FILENAMEKEY on PRO:FILENAME alone (unique across every
// mailbox). Read only to move such a log to the current layout.
TableDef ProcessedFilesDefByName();

// The on-disk file names in `dir` (empty: the working directory):
// CONTROL.KFS, MAILBOXE.KFS, PROCESSE.KFS.
std::string ControlFile(const std::string& dir = "");
std::string MailboxesFile(const std::string& dir = "");
std::string ProcessedFilesFile(const std::string& dir = "");

// The tables declared over those files.
std::unique_ptr<DeclaredTable> DeclareControl(const std::string& dir = "",
                                              platform::Env* env = platform::Env::Default());
std::unique_ptr<DeclaredTable> DeclareMailboxes(const std::string& dir = "",
                                                platform::Env* env = platform::Env::Default());
std::unique_ptr<DeclaredTable> DeclareProcessedFiles(const std::string& dir = "",
                                                     platform::Env* env = platform::Env::Default());

}  // namespace vm::storage
