// Every result code the engine returns to the runtime, with its name and the
// runtime's text for it, and the file error texts that go with kErrFileSystem.
// Constant data; callable from any thread.
#pragma once

#include <array>
#include <string_view>

namespace vm::storage {

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
// Not a runtime code: an operation this driver does not carry out.
inline constexpr int kErrNotSupported = 80;
inline constexpr int kErrChangedByOther = 89;
// Any failure of the file itself; the file error code and text say which.
inline constexpr int kErrFileSystem = 90;
inline constexpr int kErrBuildCancelled = 93;

struct ResultCode {
  int code;
  std::string_view text;
};

inline constexpr std::array<ResultCode, 14> kResultCodes = {{
    {kErrFileNotFound, "File Not Found"},
    {kErrAccessDenied, "Access Denied"},
    {kErrFileLocked, "File Is Already Locked"},
    {kErrRecordNotAvailable, "Record Not Available"},
    {kErrRecordNotFound, "Record Not Found"},
    {kErrInvalidDataFile, "Invalid Data File"},
    {kErrFileNotOpen, "File Not Open"},
    {kErrDuplicateKey, "Creates Duplicate Key"},
    {kErrRecordHeld, "Record Is Already Held"},
    {kErrBadDeclaration, "Invalid Record Declaration"},
    {kErrNotSupported, "Operation not supported by the driver"},
    {kErrChangedByOther, "Record Changed By Another Station"},
    {kErrFileSystem, "File System Error"},
    {kErrBuildCancelled, "BUILD Cancelled"},
}};

// The runtime's text for a result code; empty for success and unknown codes.
constexpr std::string_view KfsErrorText(int code) {
  for (const ResultCode& r : kResultCodes) {
    if (r.code == code) return r.text;
  }
  return {};
}

// File error text that goes with kErrFileSystem when the file is damaged (the
// failure number is the file error code).
inline constexpr std::string_view kCorruptionText = "Possible data corruption in file";
// File error text that goes with kErrFileSystem when a change was refused
// because the file would outgrow its 32-bit offsets (the file is unchanged).
inline constexpr std::string_view kFileFullText = "file full";

}  // namespace vm::storage
