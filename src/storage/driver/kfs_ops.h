// The driver's operation codes with their names (used in trace lines); the
// result codes the driver returns come with it (result_codes.h). Constant
// tables; thread-safe.
#pragma once

#include <string_view>

#include "storage/file/result_codes.h"

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

}  // namespace vm::storage
