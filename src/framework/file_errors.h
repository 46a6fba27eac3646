// The one point through which the file manager and the standard list and
// form windows raise numbered messages: the error numbers they use, the
// severities the answers carry, and the values that fill a message's
// place-holders. The program installs an implementation backed by its error
// manager; tests install one that records. Implementations must be safe from
// any thread (lists, forms and the scanner raise messages on their own threads).
#pragma once

#include <string>

namespace vm::framework {

// Severities, also the answers that message-raising operations return.
inline constexpr int kSeverityBenign = 0;
inline constexpr int kSeverityUser = 1;
inline constexpr int kSeverityProgram = 2;
inline constexpr int kSeverityFatal = 3;
inline constexpr int kSeverityCancel = 4;
inline constexpr int kSeverityNotify = 5;

// Message numbers of the message table that the framework raises.
namespace msg {
inline constexpr int kRecordRetrievalError = 1;
inline constexpr int kAccessDenied = 2;
inline constexpr int kRecordInsertError = 4;
inline constexpr int kRecordNotUpdated = 6;
inline constexpr int kRecordNotUpdatedShown = 7;
inline constexpr int kConfirmCancel = 8;
inline constexpr int kConfirmDelete = 9;
inline constexpr int kFileCreationError = 10;
inline constexpr int kRecordNotDeleted = 11;
inline constexpr int kInvalidDeleteRequest = 12;
inline constexpr int kDuplicateKey = 13;
inline constexpr int kValueNotInList = 15;
inline constexpr int kInvalidInsertRequest = 20;
inline constexpr int kNoRecords = 22;
inline constexpr int kFileAccessError = 23;
inline constexpr int kRecordUpdateError = 25;
inline constexpr int kKeyNotBuilt = 26;
inline constexpr int kInvalidKey = 27;
inline constexpr int kRecordHeld = 28;
inline constexpr int kRecordDeleteRetry = 33;
inline constexpr int kInvalidUpdateRequest = 38;
inline constexpr int kFileUsageError = 39;
}  // namespace msg

// Values for one message: %File, %Field and %Message, and the runtime and
// driver errors of the operation that failed (code 0: none).
struct MessageValues {
  std::string file;
  std::string field;
  std::string message;
  int error_code = 0;
  std::string error_text;
  int file_error_code = 0;
  std::string file_error_text;
};

class FileErrors {
 public:
  virtual ~FileErrors() = default;
  // Shows message `id` with `values` and returns the answer (a severity).
  virtual int Throw(int id, const MessageValues& values) = 0;
};

}  // namespace vm::framework
