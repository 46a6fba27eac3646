// Numbers of the framework's messages (the rows of the message table) and the
// severity levels that take-error dispatches on and returns. Constants only;
// safe from any thread.
#pragma once

#include <cstdint>

namespace vm::framework {

// A message's severity, and the level a take-operation returns to its caller.
using Level = int;
inline constexpr Level kLevelBenign = 0;   // go on
inline constexpr Level kLevelUser = 1;     // the user decides (Yes/No)
inline constexpr Level kLevelProgram = 2;  // a fault of the program: ends it
inline constexpr Level kLevelFatal = 3;    // ends the program
inline constexpr Level kLevelCancel = 4;   // give up the operation
inline constexpr Level kLevelNotify = 5;   // told the user, go on

// Message ids, named after what they report.
namespace msg {
inline constexpr uint16_t kRetrievalError = 1;      // "Record Retrieval Error"
inline constexpr uint16_t kAccessDenied = 2;        // "Access Denied" (read-only fallback)
inline constexpr uint16_t kAddAnother = 3;          // "Record Added"
inline constexpr uint16_t kInsertError = 4;         // "Record Insert Error"
inline constexpr uint16_t kAddNewRecord = 5;        // "Add New Record?"
inline constexpr uint16_t kRecordChanged = 6;       // "Record Was Not Updated"
inline constexpr uint16_t kRecordChangedShown = 7;  // "Record Was Not Updated" (changes displayed)
inline constexpr uint16_t kConfirmCancel = 8;       // "Changes will be lost!"
inline constexpr uint16_t kConfirmDelete = 9;       // "Confirm Delete"
inline constexpr uint16_t kCreateError = 10;        // "File Creation Error"
inline constexpr uint16_t kDeleteError = 11;        // "Record was not deleted"
inline constexpr uint16_t kDeleteIllegal = 12;      // "Invalid Request" (delete)
inline constexpr uint16_t kDuplicateKey = 13;       // "Duplicate Key Error"
inline constexpr uint16_t kFieldNotInFile = 14;     // "Field contents error"
inline constexpr uint16_t kFieldNotInList = 15;     // "Value Error"
inline constexpr uint16_t kFieldOutOfRange = 16;    // "Range Error" (in range)
inline constexpr uint16_t kFieldOutOfRangeHigh = 17;    // "Range Error" (must be lower than)
inline constexpr uint16_t kFieldOutOfRangeLow = 18;     // "Range Error" (must be higher than)
inline constexpr uint16_t kFileLoadError = 19;          // "File Load Error"
inline constexpr uint16_t kInsertIllegal = 20;          // "Invalid Request" (insert)
inline constexpr uint16_t kTransactionCancelled = 21;   // "Transaction cancelled"
inline constexpr uint16_t kNoRecords = 22;              // "No Records"
inline constexpr uint16_t kOpenFailed = 23;             // "File Access Error"
inline constexpr uint16_t kProcedureNotDefined = 24;    // "Procedure not defined"
inline constexpr uint16_t kUpdateError = 25;            // "Record was not updated"
inline constexpr uint16_t kRebuildKeyError = 26;        // "Key was not built"
inline constexpr uint16_t kInvalidKey = 27;             // "Invalid Key"
inline constexpr uint16_t kRecordHeld = 28;             // "Record not read"
inline constexpr uint16_t kRestrictDelete = 30;         // "Referential Integrity Delete Error"
inline constexpr uint16_t kRestrictUpdate = 31;         // "Referential Integrity Update Error"
inline constexpr uint16_t kAutoIncrementError = 32;     // "Auto Increment Error"
inline constexpr uint16_t kDeleteRetry = 33;            // "Record Delete Error"
inline constexpr uint16_t kUpdateRetry = 34;            // "Record Update Error"
inline constexpr uint16_t kSaveRecord = 35;             // "Save Record"
inline constexpr uint16_t kBeginningOfFile = 36;        // "Beginning of File Error"
inline constexpr uint16_t kEndOfFile = 37;              // "End of File Error"
inline constexpr uint16_t kUpdateIllegal = 38;          // "Invalid Request" (update)
inline constexpr uint16_t kUseClosedFile = 39;          // "File Usage Error"
inline constexpr uint16_t kViewOpenFailed = 40;         // "View Open Error"
inline constexpr uint16_t kQbeColumnNotSupported = 41;  // "Unsupported QBE Column"
inline constexpr uint16_t kSmtpError = 42;              // "SMTP Error"
inline constexpr uint16_t kNntpError = 43;              // "NNTP Error"
inline constexpr uint16_t kWinsockError = 44;           // "Winsock Error"
}  // namespace msg

}  // namespace vm::framework
