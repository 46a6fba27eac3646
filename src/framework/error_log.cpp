// The error log: one line per error appended to "TarnError.Log", opened and
// closed for each line so that a log another program moved away is made anew.

#include <mutex>

#include "framework/error_manager.h"
#include "runtime/date_time.h"
#include "runtime/picture.h"
#include "storage/driver/kfs_ops.h"

namespace vm::framework {
namespace {

// The runtime's code and text for a failed file call: "Access Denied (5)".
std::string RuntimeErrorOf(const platform::Status& s) {
  int code = storage::kErrFileSystem;
  switch (s.code()) {
    case platform::Code::kNotFound:
      code = storage::kErrFileNotFound;
      break;
    case platform::Code::kAccessDenied:
      code = storage::kErrAccessDenied;
      break;
    case platform::Code::kLockConflict:
      code = storage::kErrFileLocked;
      break;
    default:
      break;
  }
  return std::string(storage::KfsErrorText(code)) + " (" + std::to_string(code) + ")";
}

}  // namespace

std::string ErrorManager::AppendToLog(const std::string& text) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mu_);
    path = log_path_;
  }
  const std::string line = runtime::FormatDate(runtime::Today(*clock_), 17) + "@" +
                           runtime::FormatTime(runtime::ClockTime(*clock_), 8) + " --> " + text +
                           "\n";
  std::lock_guard<std::mutex> lock(log_mu_);
  auto file = env_->OpenFile(path, platform::Access::kReadWrite, platform::Share::kDenyNone,
                             platform::Disposition::kOpenAlways);
  if (!file.ok()) return "Unable to Open error log; " + RuntimeErrorOf(file.status());
  auto size = (*file)->Size();
  platform::Status written =
      size.ok() ? (*file)->WriteAt(*size, line.data(), line.size()) : size.status();
  if (!written.ok()) return "Unable to update error log; " + RuntimeErrorOf(written);
  // Closing is where buffered bytes reach the disk; a failed flush is a failed close.
  const platform::Status closed = (*file)->Sync();
  if (!closed.ok()) return "Unable to close error log; " + RuntimeErrorOf(closed);
  return "";
}

}  // namespace vm::framework
