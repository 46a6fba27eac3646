#include "storage/driver/kfs_driver.h"

#include "storage/driver/kfs_transaction.h"

#include <cctype>
#include <chrono>
#include <cstdlib>

#include "platform/ascii_text.h"

namespace vm::storage {
namespace {

// "SEND": driver commands as text, optionally "=value".
int Send(KfsControlBlock* cb, KfsArgs* args) {
  const std::string& text = args->text;
  const size_t eq = text.find('=');
  const std::string command = platform::AsciiUpperCase(text.substr(0, eq));
  const bool has_value = eq != std::string::npos;
  const std::string value = has_value ? text.substr(eq + 1) : std::string();
  DeclaredTable* t = cb->table.get();
  args->answer.clear();
  if (command == "REGISTER") {
    args->answer = "KFS driver";
    return kErrNone;
  }
  if (platform::AsciiUpperCase(text).find("PNMQ=") != std::string::npos) {
    std::vector<std::string> names;
    if (int rc = t->ListTables(&names)) return rc;
    for (size_t i = 0; i < names.size(); ++i) args->answer += (i ? "," : "") + names[i];
    return kErrNone;
  }
  if (const size_t at = platform::AsciiUpperCase(text).find("PNM="); at != std::string::npos) {
    const std::string wanted = platform::AsciiUpperCase(text.substr(at + 4));
    std::vector<std::string> names;
    if (int rc = t->ListTables(&names)) return rc;
    for (const std::string& n : names)
      if (n == wanted) args->answer = n;
    return kErrNone;
  }
  if (command.find("TCF") != std::string::npos) {
    // "TCF=" with nothing after it returns to the default.
    if (has_value) SetTransactionControlFile(value);
    args->answer = TransactionControlFile();
    return kErrNone;
  }
  if (command == "FULLBUILD") {
    if (has_value) cb->full_build = platform::AsciiUpperCase(value) == "ON";
    args->answer = cb->full_build ? "ON" : "OFF";
    return kErrNone;
  }
  if (command == "FLAGS") {
    if (has_value) {
      if (int rc = t->WriteFlags(static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10))))
        return rc;
    }
    uint32_t flags = 0;
    if (int rc = t->ReadFlags(&flags)) return rc;
    args->answer = std::to_string(flags);
    return kErrNone;
  }
  return kErrNotSupported;
}

int Run(int op, KfsControlBlock* cb, KfsArgs* args) {
  DeclaredTable* t = cb->table.get();
  switch (op) {
    case kOpOpen:
    case kOpShare:
      return t->Open(args->access >= 0 ? args->access : cb->access);
    case kOpCreate:
      return t->Create();
    case kOpClose:
      return t->Close();
    case kOpDestroy:
      cb->table.reset();
      return kErrNone;
    case kOpName:
      args->answer = cb->name;
      return kErrNone;
    case kOpAdd:
      return t->Add();
    case kOpAppend:
      return t->Append();
    case kOpSkip:
      return t->Skip(args->skip);
    case kOpBof:
      return t->Bof(&args->at_end);
    case kOpEof:
      return t->Eof(&args->at_end);
    case kOpPositionFile:
    case kOpPositionKey:
      args->position = t->Position();
      return kErrNone;
    case kOpResetFile:
    case kOpResetKey:
      return t->Reset(args->position);
    case kOpRegetFile:
    case kOpRegetKey:
      return t->Reget(args->position);
    case kOpNoMemo:
      t->NoMemo();
      return kErrNone;
    case kOpBuildFile: {
      const int rc = t->BuildFile(cb->full_build);
      cb->full_build = false;  // FULLBUILD=ON applies to the next whole-file build only
      return rc;
    }
    case kOpBuildKey:
      return t->BuildKey(args->key, cb->full_build);
    case kOpPack:
      return t->Pack(cb->full_build);
    case kOpEmpty:
      return t->Empty();
    case kOpRemove:
      return t->Remove();
    case kOpLogout:
      return t->Logout();
    case kOpCommit:
      return DeclaredTable::CommitTransaction(cb->env, t);
    case kOpRollback:
      return DeclaredTable::RollbackTransaction();
    case kOpPut:
      return t->Put();
    case kOpDelete:
      return t->Delete();
    case kOpSetFile:
      return t->Set();
    case kOpSetKey:
      return t->SetKeyStart(args->key);
    case kOpSetKeyKey:
      return t->SetKey(args->key);
    case kOpNext:
      return t->Next();
    case kOpPrevious:
      return t->Previous();
    case kOpGetFileKey:
      return t->Get(args->key);
    case kOpGetFilePtr:
      return t->GetByPointer(args->pointer);
    case kOpPointerFile:
    case kOpPointerKey:
      args->count = t->current_record();
      return kErrNone;
    case kOpRecordsFile:
    case kOpCountRecords:
      args->count = t->Records();
      return t->error();
    case kOpHoldFile:
      t->Hold(-1);
      return kErrNone;
    case kOpHoldFileSec:
      t->Hold(args->seconds);
      return kErrNone;
    case kOpRelease:
      t->Release();
      return kErrNone;
    case kOpWatch:
      t->Watch();
      return kErrNone;
    case kOpLockFile:
      return t->LockTable(-1);
    case kOpLockFileSec:
      return t->LockTable(args->seconds);
    case kOpUnlock:
      return t->UnlockTable();
    case kOpSend:
      return Send(cb, args);
    default:
      return kErrNotSupported;
  }
}

}  // namespace

std::string KfsTransactionControlFile() {
  return TransactionControlFile();
}

int KfsDriver(int op, KfsControlBlock* cb, KfsArgs* args) {
  if (op == kOpQueryView) return kErrNone;
  std::lock_guard<std::mutex> lock(cb->mu.mu);
  if (cb->dispose) {
    cb->table.reset();
    cb->dispose = false;
  }
  if (!cb->table) {
    if (op == kOpDestroy || op == kOpClose) return kErrNone;
    if (cb->def.record_length > kMaxRecordLength) return cb->last_error = kErrBadDeclaration;
    cb->table = std::make_unique<DeclaredTable>(cb->name, cb->def, cb->env);
    cb->table->SetOwnerPassword(cb->owner_password);
    cb->trace = KfsTrace::FromProfile(cb->driver_options);
  }
  const auto start = std::chrono::steady_clock::now();
  const int rc = Run(op, cb, args);
  if (cb->trace.on) {
    const long hundredths = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - start)
                                                  .count() /
                                              10);
    std::string error;
    if (rc != 0) error = std::to_string(rc) + " " + std::string(KfsErrorText(rc));
    cb->trace.Log(op, hundredths, "Table: " + cb->name, error);
  }
  cb->last_error = rc;
  if (cb->table) {
    cb->file_error = cb->table->file_error();
    cb->file_error_text = cb->table->file_error_text();
  }
  return rc;
}

}  // namespace vm::storage
