#include "runtime/file_trace.h"

#include <algorithm>
#include <cstdio>

#include "platform/append_file.h"

namespace vm::runtime {

std::string FormatTraceLine(std::string_view operation, long hundredths) {
  char line[128];
  std::snprintf(line, sizeof line, "%-24.*s",
                static_cast<int>(std::min<size_t>(operation.size(), 24)), operation.data());
  std::string out = line;
  std::snprintf(line, sizeof line, "Time Taken: %ld.%02ld secs\r\n", hundredths / 100,
                hundredths % 100);
  return out + line;
}

std::string FormatTraceError(std::string_view text) {
  return "File Error: " + std::string(text) + "\r\n";
}

bool AppendTrace(const std::string& path, std::string_view text) {
  return platform::AppendToFile(path, text);
}

}  // namespace vm::runtime
