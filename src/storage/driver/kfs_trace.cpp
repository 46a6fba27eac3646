#include "storage/driver/kfs_trace.h"

#include <algorithm>
#include <cctype>

#include "platform/ascii_text.h"
#include "platform/profile.h"
#include "runtime/file_trace.h"
#include "storage/driver/kfs_ops.h"

namespace vm::storage {
namespace {

constexpr std::string_view kSection = "QXKEELFAST";
constexpr size_t kMaxTraceFile = 260;

bool AllowsDetails(const std::string& options) {
  if (options.empty()) return true;
  return platform::AsciiUpperCase(options).find("ALLOWDETAILS") != std::string::npos;
}

}  // namespace

KfsTrace KfsTrace::FromProfile(const std::string& driver_options) {
  KfsTrace t;
  t.on = platform::ProfileInt(kSection, "Profile", 0) != 0;
  t.file = platform::ProfileString(kSection, "TraceFile", "KEELFAST.LOG").substr(0, kMaxTraceFile);
  if (t.file.empty()) t.file = "KEELFAST.LOG";
  t.details = platform::ProfileInt(kSection, "Details", 0) != 0 && AllowsDetails(driver_options);
  return t;
}

void KfsTrace::Log(int op, long hundredths, const std::string& detail,
                   const std::string& file_error) const {
  if (!on) return;
  std::string text = runtime::FormatTraceLine(KfsOpName(op), hundredths);
  if (details && !detail.empty()) text += "    " + detail + "\r\n";
  if (!file_error.empty()) text += runtime::FormatTraceError(file_error);
  runtime::AppendTrace(file, text);
}

}  // namespace vm::storage
