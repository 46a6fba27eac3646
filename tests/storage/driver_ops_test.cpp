// The operation code table and the error texts the driver hands the runtime.
#include "storage/driver/kfs_ops.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace vm::storage {
namespace {

TEST(DriverOpsTest, CodeTableNamesEveryCodeInOrder) {
  EXPECT_EQ(KfsOpName(0), "(0)");
  EXPECT_EQ(KfsOpName(kOpAdd), "ADD");
  EXPECT_EQ(KfsOpName(kOpOpen), "OPEN");
  EXPECT_EQ(KfsOpName(kOpPut), "PUT");
  EXPECT_EQ(KfsOpName(kOpSend), "SEND");
  EXPECT_EQ(KfsOpName(kOpDestroy), "DESTROY");
  EXPECT_EQ(KfsOpName(35), "(35)");
  EXPECT_EQ(KfsOpName(39), "(39)");
  EXPECT_EQ(KfsOpName(kOpRollback), "ROLLBACK");
  EXPECT_EQ(KfsOpName(kOpShare), "SHARE");
  EXPECT_EQ(KfsOpName(kOpWatch), "WATCH");
  EXPECT_EQ(KfsOpName(kOpQueryView), "QUERY_VIEW");
  EXPECT_EQ(KfsOpName(87), "Internal87");
  EXPECT_EQ(KfsOpName(kOpCountRecords), "COUNTRECORDS");
  EXPECT_EQ(KfsOpName(103), "SQLCALLBACK");
  EXPECT_EQ(KfsOpName(-1), "?");
  EXPECT_EQ(KfsOpName(105), "?");
  // Every code has its own name: a dropped or doubled entry shifts the rest.
  std::set<std::string> names;
  for (int code = 0; code < kOpCount; ++code) names.insert(std::string(KfsOpName(code)));
  EXPECT_EQ(names.size(), static_cast<size_t>(kOpCount));
  // The codes named in the enum sit where their names are.
  EXPECT_EQ(KfsOpName(kOpSetFile), "SETfile");
  EXPECT_EQ(KfsOpName(kOpSetKey), "SETkey");
  EXPECT_EQ(KfsOpName(kOpLockFileSec), "LOCKfilesec");
  EXPECT_EQ(KfsOpName(kOpUnlock), "UNLOCK");
  EXPECT_EQ(KfsOpName(kOpNoMemo), "NOMEMO");
  EXPECT_EQ(KfsOpName(kOpRecordsKey), "RECORDSkey");
}

TEST(DriverOpsTest, ErrorTexts) {
  EXPECT_EQ(KfsErrorText(kErrFileNotFound), "File Not Found");
  EXPECT_EQ(KfsErrorText(kErrAccessDenied), "Access Denied");
  EXPECT_EQ(KfsErrorText(kErrFileLocked), "File Is Already Locked");
  EXPECT_EQ(KfsErrorText(kErrRecordNotAvailable), "Record Not Available");
  EXPECT_EQ(KfsErrorText(kErrRecordNotFound), "Record Not Found");
  EXPECT_EQ(KfsErrorText(kErrInvalidDataFile), "Invalid Data File");
  EXPECT_EQ(KfsErrorText(kErrFileNotOpen), "File Not Open");
  EXPECT_EQ(KfsErrorText(kErrDuplicateKey), "Creates Duplicate Key");
  EXPECT_EQ(KfsErrorText(kErrRecordHeld), "Record Is Already Held");
  EXPECT_EQ(KfsErrorText(kErrBadDeclaration), "Invalid Record Declaration");
  EXPECT_EQ(KfsErrorText(kErrChangedByOther), "Record Changed By Another Station");
  EXPECT_EQ(KfsErrorText(kErrFileSystem), "File System Error");
  EXPECT_EQ(kCorruptionText, "Possible data corruption in file");
  EXPECT_EQ(KfsErrorText(1), "");
}

}  // namespace
}  // namespace vm::storage
