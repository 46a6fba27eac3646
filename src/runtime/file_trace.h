// The runtime's file trace writer: drivers log each operation as a line
// with its name in a 24-column field and the time it took, and a second line
// with the file error when the operation failed. Lines are appended to the
// named file, which is opened for each write so that several processes and
// drivers can share one log. Safe from any thread (one lock per process).
#pragma once

#include <string>
#include <string_view>

namespace vm::runtime {

// The line for an operation that took `hundredths` of a second:
// "ADD                     Time Taken: 0.03 secs\r\n".
std::string FormatTraceLine(std::string_view operation, long hundredths);
// "File Error: <text>\r\n".
std::string FormatTraceError(std::string_view text);

// Appends `text` to the file at `path`; false when it cannot be written.
bool AppendTrace(const std::string& path, std::string_view text);

}  // namespace vm::runtime
