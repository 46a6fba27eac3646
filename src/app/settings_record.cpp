#include "app/settings_record.h"

#include "app/gateway_tables.h"
#include "app/stop_message.h"

namespace vm::app {

platform::Result<std::optional<ControlRow>> ReadSettingsRecord(const std::string& dir) {
  std::optional<ControlRow> row;
  if (!platform::Env::Default()->FileExists(storage::ControlFile(dir))) return row;
  auto table = storage::DeclareControl(dir);
  const auto fail = [&] {
    return platform::Status::Error(platform::Code::kIoError, "cannot read the settings table " +
                                                                 storage::ControlFile(dir) + ": " +
                                                                 StorageErrorText(*table));
  };
  if (table->Open(storage::kAccessRead | storage::kShareDenyNone) != 0) return fail();
  const int rc = table->Set() == 0 ? table->Next() : table->error();
  if (rc == 0) {
    row = ReadControl(table->buffer());
  } else if (rc != storage::kErrRecordNotFound && rc != storage::kErrRecordNotAvailable) {
    return fail();
  }
  table->Close();
  return row;
}

}  // namespace vm::app
