// The driver's operation codes with their names (used in trace lines), and the
// runtime error codes the driver returns with their texts. Constant tables;
// thread-safe.
#pragma once

#include <string_view>

namespace vm::storage {

enum KfsOp : int {
  kOpAdd = 1,
  kOpBof = 2,
  kOpBuildFile = 3,
  kOpAppend = 4,
  kOpBuildKey = 6,
  kOpClose = 7,
  kOpCommit = 8,
  kOpCreate = 10,
  kOpDelete = 11,
  kOpEmpty = 13,
  kOpEof = 14,
  kOpGetFileKey = 15,
  kOpGetFilePtr = 16,
  kOpGetKeyPtr = 17,
  kOpHoldFile = 18,
  kOpHoldFileSec = 19,
  kOpLockFile = 20,
  kOpLockFileSec = 21,
  kOpLogout = 22,
  kOpName = 23,
  kOpNext = 24,
  kOpOpen = 25,
  kOpPack = 26,
  kOpPointerFile = 27,
  kOpPointerKey = 28,
  kOpPut = 30,
  kOpPrevious = 31,
  kOpRecordsFile = 32,
  kOpRecordsKey = 33,
  kOpRelease = 36,
  kOpRemove = 37,
  kOpRollback = 40,
  kOpSetFile = 41,
  kOpSetFileKey = 42,
  kOpSetKey = 44,
  kOpSetKeyKey = 45,
  kOpShare = 48,
  kOpSkip = 49,
  kOpUnlock = 50,
  kOpWatch = 58,
  kOpSend = 60,
  kOpPositionFile = 61,
  kOpPositionKey = 62,
  kOpResetFile = 63,
  kOpResetKey = 64,
  kOpNoMemo = 65,
  kOpRegetFile = 66,
  kOpRegetKey = 67,
  kOpQueryView = 74,
  kOpCountRecords = 95,
  kOpDestroy = 104,
};

inline constexpr int kOpCount = 105;

// The name of operation `code` ("ADD" for 1); "?" outside 0..104.
std::string_view KfsOpName(int code);

// Runtime error codes the driver returns.
inline constexpr int kErrNone = 0;
inline constexpr int kErrFileNotFound = 2;
inline constexpr int kErrAccessDenied = 5;
inline constexpr int kErrFileLocked = 32;
inline constexpr int kErrRecordNotAvailable = 33;
inline constexpr int kErrRecordNotFound = 35;
inline constexpr int kErrInvalidDataFile = 36;
inline constexpr int kErrFileNotOpen = 37;
inline constexpr int kErrDuplicateKey = 40;
inline constexpr int kErrRecordHeld = 43;
inline constexpr int kErrBadDeclaration = 47;
inline constexpr int kErrChangedByOther = 89;
inline constexpr int kErrFileSystem = 90;
inline constexpr int kErrBuildCancelled = 93;
// Not a runtime code: an operation this driver does not carry out.
inline constexpr int kErrNotSupported = 80;

// The runtime's text for an error code; empty for unknown codes.
std::string_view KfsErrorText(int code);

// File error text that goes with error 90 (the failure number is the file
// error code).
inline constexpr std::string_view kCorruptionText = "Possible data corruption in file";
// File error text that goes with error 90 when a change was refused because
// the file would outgrow its 32-bit offsets (the file is unchanged).
inline constexpr std::string_view kFileFullText = "file full";

}  // namespace vm::storage
