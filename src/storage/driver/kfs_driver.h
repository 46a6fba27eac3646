// The driver entry: one function that receives an operation code, the
// table's control block and the operation's arguments, and returns the
// runtime error code. Operations run on a DeclaredTable that the driver keeps
// in the control block. Any thread: calls on one control block run one at a
// time (its mutex), and the table handles, files and the transaction guard
// themselves (declared_table.h, shared_file.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/driver/declared_table.h"
#include "storage/driver/kfs_ops.h"
#include "storage/driver/kfs_trace.h"
#include "storage/table/table_def.h"

namespace vm::storage {

// A mutex that stays behind when its control block is moved (the moved-to
// block gets a fresh one): blocks are built and moved before any thread
// shares them.
struct KfsBlockMutex {
  std::mutex mu;
  KfsBlockMutex() = default;
  KfsBlockMutex(KfsBlockMutex&&) noexcept {}
  KfsBlockMutex& operator=(KfsBlockMutex&&) noexcept { return *this; }
};

// What the runtime hands the driver for one declared table, and the driver
// state it carries between calls.
struct KfsControlBlock {
  std::string name;  // file name with optional "\!" table name
  TableDef def;      // record length, fields, memos, keys
  int access = kAccessReadWrite | kShareDenyNone;
  platform::Env* env = platform::Env::Default();
  std::string owner_password;  // non-empty: the file is enciphered
  std::string driver_options;  // the program's driver options ("ALLOWDETAILS" ...)

  // Driver state, built by the first call; `dispose` asks the next call to
  // run DESTROY first.
  std::unique_ptr<DeclaredTable> table;
  bool dispose = false;
  bool full_build = false;
  KfsTrace trace;    // read from the profile when the state is built
  KfsBlockMutex mu;  // held by each KfsDriver call on this block
  int last_error = 0;
  int file_error = 0;
  std::string file_error_text;
};

// Arguments of an operation; each operation reads the ones it takes.
struct KfsArgs {
  int key = -1;          // key number (SETkey, GETfilekey, RECORDSkey ...)
  uint32_t pointer = 0;  // record number (GETfileptr)
  int seconds = -1;      // HOLDfilesec, LOCKfilesec
  int access = -1;       // OPEN/SHARE; -1 keeps the control block's
  std::string text;      // SEND command
  std::string answer;    // SEND answer, NAME
  uint32_t count = 0;    // RECORDSfile, COUNTRECORDS, POINTERfile answers
  int skip = 0;          // SKIP: rows to move on (back when negative)
  std::string position;  // POSITION answer; RESET and REGET argument
  bool at_end = false;   // BOF and EOF answers
};

// Runs operation `op` on the table of `cb`. Operations the driver does not
// carry out return kErrNotSupported.
int KfsDriver(int op, KfsControlBlock* cb, KfsArgs* args);

// The transaction control file set by "SEND TCF=path" (empty: the default).
std::string KfsTransactionControlFile();

}  // namespace vm::storage
