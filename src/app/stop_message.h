// The stop message of the gateway's record loops: a "Stop" box with the
// storage error text and the buttons Abort and Ignore, through the runtime's
// message boxes. Abort ends the program at once; Ignore lets the caller go on
// as if the operation had succeeded. Safe from any thread.
#pragma once

#include <functional>
#include <string>

#include "storage/driver/declared_table.h"

namespace vm::app {

// Shows the stop message for the last error of `table`. Returns only when the
// answer is Ignore (or the program's abort handler returned).
void StopMessage(const storage::DeclaredTable& table);
void StopMessage(const std::string& text);

// What Abort does (default: end the process with status 3 at once). Tests
// install their own; returns the previous handler.
std::function<void()> SetAbortHandler(std::function<void()> handler);

// The storage error text of the table's last error, with the file error when
// the code is 90 ("File System Error (...)").
std::string StorageErrorText(const storage::DeclaredTable& table);

}  // namespace vm::app
