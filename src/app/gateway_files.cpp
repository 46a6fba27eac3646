#include "app/gateway_files.h"

#include "app/gateway_relations.h"
#include "app/gateway_tables.h"
#include "app/log_migration.h"
#include "platform/diag_sink.h"
#include "storage/file/result_codes.h"

namespace vm::app {

GatewayFiles::GatewayFiles(std::string dir, platform::Env* env, GatewayRelations* relations)
    : dir_(std::move(dir)), env_(env), relations_(relations) {
  tables_[0] = storage::DeclareControl(dir_, env);
  tables_[1] = storage::DeclareMailboxes(dir_, env);
  tables_[2] = storage::DeclareProcessedFiles(dir_, env);
}

GatewayFiles::~GatewayFiles() {
  for (size_t i = 0; i < tables_.size(); ++i) {
    while (opens_[i] > 0) Close(static_cast<Table>(i));
  }
}

int GatewayFiles::Open(Table t) {
  const size_t i = static_cast<size_t>(t);
  if (opens_[i] > 0) {
    if (relations_ != nullptr) relations_->relation(t).Open(false);
    ++opens_[i];
    return 0;
  }
  storage::DeclaredTable& table = *tables_[i];
  int rc = table.Open();
  if (rc == storage::kErrBadDeclaration && t == Table::kProcessedFiles) {
    // A log written before recordings were told apart by mailbox and time.
    MigrationReport report;
    const int moved = MigrateLog(dir_, env_, &report);
    if (report.migrated) platform::DiagWrite("voicemail-mailer: " + report.text);
    if (moved != 0 && moved != storage::kErrBadDeclaration)
      platform::DiagWrite("voicemail-mailer: the log " + storage::ProcessedFilesFile(dir_) +
                          " could not be moved to the current layout: error " +
                          std::to_string(moved) + "; it is unchanged");
    rc = table.Open();
  }
  create_failed_[i] = false;
  if (rc == storage::kErrFileNotFound) {
    rc = table.Create();
    create_failed_[i] = rc != 0;
    if (rc == 0) rc = table.Open();
  }
  if (rc == 0) {
    // The relation manager counts this procedure's open; its file manager
    // opens lazily, at the first record operation of a window.
    if (relations_ != nullptr) relations_->relation(t).Open(false);
    opens_[i] = 1;
  }
  return rc;
}

void GatewayFiles::Close(Table t) {
  const size_t i = static_cast<size_t>(t);
  if (opens_[i] == 0) return;
  if (relations_ != nullptr) relations_->relation(t).Close();
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
