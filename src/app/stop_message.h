// The stop message of the gateway's record loops: a "Stop" box with the
// storage error text and the buttons Abort and Ignore, through the runtime's
// message boxes. Abort ends the program at once; Ignore lets the caller go on
// as if the operation had succeeded. Safe from any thread.
#pragma once

#include <functional>
#include <string>

#include "storage/declared_table.h"

namespace vm::framework {
class ErrorManager;
}

namespace vm::app {

class GatewayFiles;
enum class Table;

// Shows the stop message for the last error of `table`. Returns only when the
// answer is Ignore (or the program's abort handler returned).
void StopMessage(const storage::DeclaredTable& table);
void StopMessage(const std::string& text);

// What Abort does (default: end the process with status 3 at once). Tests
// install their own; returns the previous handler.
std::function<void()> SetAbortHandler(std::function<void()> handler);

// A table the procedure could not open: the error manager's message 23 ("File
// Access Error"), or 10 ("File Creation Error") when the missing file could
// not be created, with the table's name and its storage error. Both end the
// program unless the error manager's exit handler returns. Without an error
// manager (tools, tests) a diagnostic line "<procedure>: cannot open <table>:
// <error>" stands in for it.
void OpenFailure(GatewayFiles& files, Table t, framework::ErrorManager* errors,
                 const std::string& procedure);

// The storage error text of the table's last error, with the file error when
// the code is 90 ("File System Error (...)").
std::string StorageErrorText(const storage::DeclaredTable& table);

}  // namespace vm::app
