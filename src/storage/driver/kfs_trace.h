// The driver's trace settings, read from the user profile's section
// "QXKEELFAST" when a table's driver state is built: "Profile" (non-zero
// turns tracing on), "TraceFile" (the log, default "KEELFAST.LOG", at most
// 260 characters) and "Details" (detail lines, honoured only when the
// program's driver options hold "ALLOWDETAILS" or it gives no options).
// Owner thread only.
#pragma once

#include <string>

namespace vm::storage {

struct KfsTrace {
  bool on = false;
  bool details = false;
  std::string file = "KEELFAST.LOG";

  static KfsTrace FromProfile(const std::string& driver_options);

  // Logs operation `op` that took `hundredths` of a second; `detail` is
  // written when details are on, `file_error` when the operation failed.
  void Log(int op, long hundredths, const std::string& detail, const std::string& file_error) const;
};

}  // namespace vm::storage
