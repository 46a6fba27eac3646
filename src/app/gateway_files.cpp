#include "app/gateway_files.h"

#include "storage/gateway_tables.h"

namespace vm::app {

GatewayFiles::GatewayFiles(std::string dir, platform::Env* env) : dir_(std::move(dir)) {
  tables_[0] = storage::DeclareControl(dir_, env);
  tables_[1] = storage::DeclareMailboxes(dir_, env);
  tables_[2] = storage::DeclareProcessedFiles(dir_, env);
}

GatewayFiles::~GatewayFiles() {
  for (size_t i = 0; i < tables_.size(); ++i) {
    if (opens_[i] > 0) tables_[i]->Close();
  }
}

int GatewayFiles::Open(Table t) {
  const size_t i = static_cast<size_t>(t);
  if (opens_[i] > 0) {
    ++opens_[i];
    return 0;
  }
  storage::DeclaredTable& table = *tables_[i];
  int rc = table.Open();
  if (rc == storage::kErrFileNotFound) {
    rc = table.Create();
    if (rc == 0) rc = table.Open();
  }
  if (rc == 0) opens_[i] = 1;
  return rc;
}

void GatewayFiles::Close(Table t) {
  const size_t i = static_cast<size_t>(t);
  if (opens_[i] == 0) return;
  if (--opens_[i] == 0) tables_[i]->Close();
}

const char* GatewayFiles::Name(Table t) {
  switch (t) {
    case Table::kControl:
      return "Control";
    case Table::kMailboxes:
      return "Mailboxes";
    case Table::kProcessedFiles:
      return "ProcessedFiles";
  }
  return "";
}

}  // namespace vm::app
