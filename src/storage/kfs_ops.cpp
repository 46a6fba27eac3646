#include "storage/kfs_ops.h"

#include <array>

namespace vm::storage {
namespace {

constexpr std::array<std::string_view, kOpCount> kNames = {
    "(0)",
    "ADD",
    "BOF",
    "BUILDfile",
    "APPEND",
    "BUILDdyn",
    "BUILDkey",
    "CLOSE",
    "COMMIT",
    "COPY",
    "CREATE",
    "DELETE",
    "DUPLICATE",
    "EMPTY",
    "EOF",
    "GETfilekey",
    "GETfileptr",
    "GETkeyptr",
    "HOLDfile",
    "HOLDfilesec",
    "LOCKfile",
    "LOCKfilesec",
    "LOGOUT",
    "NAME",
    "NEXT",
    "OPEN",
    "PACK",
    "POINTERfile",
    "POINTERkey",
    "FLUSH",
    "PUT",
    "PREVIOUS",
    "RECORDSfile",
    "RECORDSkey",
    "BUILDdynfilter",
    "(35)",
    "RELEASE",
    "REMOVE",
    "RENAME",
    "(39)",
    "ROLLBACK",
    "SETfile",
    "SETfilekey",
    "SETfileptr",
    "SETkey",
    "SETkeykey",
    "SETkeyptr",
    "SETkeykeyptr",
    "SHARE",
    "SKIP",
    "UNLOCK",
    "ADDfilelen",
    "BYTES",
    "GETfileptrlen",
    "PUTfileptr",
    "PUTfileptrlen",
    "STREAM",
    "DUPLICATEkey",
    "WATCH",
    "APPENDlen",
    "SEND",
    "POSITIONfile",
    "POSITIONkey",
    "RESETfile",
    "RESETkey",
    "NOMEMO",
    "REGETfile",
    "REGETkey",
    "NULL",
    "SETNULL",
    "SETNONULL",
    "SET_PROPERTY",
    "GET_PROPERTY",
    "QUERY_KEY",
    "QUERY_VIEW",
    "BLOB_YIELD",
    "BLOB_TAKE",
    "BLOB_SIZE",
    "BLOB_GET_PROP",
    "BLOB_SET_PROP",
    "BUFFER",
    "SETview",
    "CLEAR",
    "RESETviewfile",
    "BUILDevent",
    "SETPROPERTYkey",
    "GETPROPERTYkey",
    "Internal87",
    "DO_PROPERTY",
    "DOPROPERTYkey",
    "DOPROPERTYblob",
    "Internal91",
    "INVIEW",
    "ENDVIEW",
    "Internal94",
    "COUNTRECORDS",
    "GETNULLS",
    "SETNULLS",
    "GETSTATE",
    "RESTORESTATE",
    "Internal100",
    "Internal101",
    "FREESTATE",
    "SQLCALLBACK",
    "DESTROY",
};

}  // namespace

std::string_view KfsOpName(int code) {
  if (code < 0 || code >= kOpCount) return "?";
  return kNames[static_cast<size_t>(code)];
}

std::string_view KfsErrorText(int code) {
  switch (code) {
    case kErrFileNotFound:
      return "File Not Found";
    case kErrAccessDenied:
      return "Access Denied";
    case kErrFileLocked:
      return "File Is Already Locked";
    case kErrRecordNotAvailable:
      return "Record Not Available";
    case kErrRecordNotFound:
      return "Record Not Found";
    case kErrInvalidDataFile:
      return "Invalid Data File";
    case kErrFileNotOpen:
      return "File Not Open";
    case kErrDuplicateKey:
      return "Creates Duplicate Key";
    case kErrRecordHeld:
      return "Record Is Already Held";
    case kErrBadDeclaration:
      return "Invalid Record Declaration";
    case kErrChangedByOther:
      return "Record Changed By Another Station";
    case kErrFileSystem:
      return "File System Error";
    case kErrBuildCancelled:
      return "BUILD Cancelled";
    case kErrNotSupported:
      return "Operation not supported by the driver";
    default:
      return {};
  }
}

}  // namespace vm::storage
