// Moves a log (PROCESSE.KFS) written by an earlier version, whose
// PRO:FILENAMEKEY is the bare file name, to the current layout, where a
// recording is its mailbox, name and recording time. Runs once, on the first
// open that finds the old layout; any thread, one migration at a time in the
// process, the old file opened exclusively so no other opener sees half of it.
#pragma once

#include <string>

#include "platform/file.h"

namespace vm::app {

// Name of the copy of the old log kept beside it ("PROCESSE.KFS.by-name").
std::string LogBackupFile(const std::string& dir);

struct MigrationReport {
  bool migrated = false;  // the log had the old layout and now has the current one
  uint32_t rows = 0;      // rows moved
  std::string text;       // what happened, for a diagnostic line ("" when nothing)
};

// Brings the log of `dir` to the current layout when it has the old one:
// the rows are copied in record order to a new file beside it, which then
// replaces the log in one rename; the old file stays as LogBackupFile. A
// kill at any moment leaves either the old log or the new one in place,
// each whole (a partial copy left behind is removed by the next attempt).
// Returns 0 when the log has the current layout afterwards or is not there;
// 47 when it has neither layout; another storage error code when the old
// log could not be read or the copy not be written (the old log is then
// unchanged).
int MigrateLog(const std::string& dir, platform::Env* env, MigrationReport* report);

}  // namespace vm::app
