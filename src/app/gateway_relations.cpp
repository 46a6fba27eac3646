#include "app/gateway_relations.h"

#include "app/gateway_tables.h"
#include "app/mailboxes_field_check.h"

namespace vm::app {
namespace {
constexpr size_t kOrder[] = {0, 2, 1};  // Control, ProcessedFiles, Mailboxes
}  // namespace

GatewayRelations::GatewayRelations(const std::string& dir, framework::FileErrors* errors,
                                   platform::Env* env) {
  // Made in the order Control, ProcessedFiles, Mailboxes.
  files_[0] = std::make_unique<framework::FileManager>("Control", storage::ControlFile(dir),
                                                       storage::ControlDef(), errors, env);
  files_[2] =
      std::make_unique<framework::FileManager>("ProcessedFiles", storage::ProcessedFilesFile(dir),
                                               storage::ProcessedFilesDef(), errors, env);
  files_[1] = std::make_unique<framework::FileManager>("Mailboxes", storage::MailboxesFile(dir),
                                                       storage::MailboxesDef(), errors, env);
  InstallMailboxesFieldCheck(*files_[1]);
  // Message 13 names a duplicated key the way the program writes it.
  files_[1]->SetKeyDescription(storage::mailboxes::kMailboxKey, "MAI:MailboxKey");
  files_[2]->SetKeyDescription(storage::processed::kFileNameKey, "PRO:FileNameKey");
  files_[2]->SetKeyDescription(storage::processed::kProcessedKeyControl, "PRO:ProcessedKeyControl");
  for (size_t i : kOrder)
    relations_[i] = std::make_unique<framework::RelationManager>(files_[i].get());
}

GatewayRelations::~GatewayRelations() {
  // Closed in the order they were made; each relation manager closes what
  // windows left open before its file manager goes.
  for (size_t i : kOrder) {
    relations_[i].reset();
    files_[i].reset();
  }
}

}  // namespace vm::app
