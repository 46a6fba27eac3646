#include "app/resend.h"

#include "app/attachment_limit.h"
#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/retry_state.h"
#include "app/stop_message.h"
#include "platform/clock.h"
#include "storage/driver/kfs_ops.h"

namespace vm::app {
namespace {

bool Missing(int rc) {
  return rc == storage::kErrRecordNotFound || rc == storage::kErrRecordNotAvailable;
}

// The mailbox's current address, copy address and attachment choice into
// `row`; false when the mailbox is gone (or *error on a storage failure).
bool TakeMailbox(GatewayFiles& files, ProcessedRow* row, std::string* error) {
  storage::DeclaredTable& mai = files.mailboxes();
  MailboxRow box;
  box.mailbox_no = row->mailbox;
  WriteMailbox(box, &mai.buffer());
  const int rc = mai.Get(storage::mailboxes::kMailboxKey);
  if (rc != 0) {
    if (!Missing(rc)) *error = StorageErrorText(mai);
    return false;
  }
  box = ReadMailbox(mai.buffer());
  row->email_address = box.email_address;
  row->cc_email_address = box.cc_email_address;
  row->send_attachment = box.send_voice_file;
  return true;
}

}  // namespace

ResendResult ResendRow(GatewayFiles& files, uint32_t record, bool force,
                       const platform::Clock& clock, std::string* error) {
  OpenTable processed(files, Table::kProcessedFiles);
  OpenTable mailboxes(files, Table::kMailboxes);
  storage::DeclaredTable& pro = files.processed();
  if (processed.code() != 0 || mailboxes.code() != 0) {
    *error = StorageErrorText(processed.code() != 0 ? pro : files.mailboxes());
    return ResendResult::kStorageError;
  }
  const int rc = record == 0 ? storage::kErrRecordNotFound : pro.GetByPointer(record);
  if (Missing(rc)) return ResendResult::kNoSuchRow;
  if (rc != 0) return *error = StorageErrorText(pro), ResendResult::kStorageError;
  ProcessedRow row = ReadProcessed(pro.buffer());
  if (row.processed != 1) return ResendResult::kAlreadyWaiting;
  if (IsSentOutcome(row.error_code, row.error) && !force) return ResendResult::kNeedsForce;
  if (!TakeMailbox(files, &row, error))
    return error->empty() ? ResendResult::kNoMailbox : ResendResult::kStorageError;

  const int64_t now = clock.UnixSeconds();
  platform::Status s = UpdateRetryState(
      files.dir(), [&](RetryState& st) { st.Put(NewRetryEntry(record, row, now, now)); }, now);
  if (!s.ok()) return *error = s.message(), ResendResult::kStorageError;
  row.processed = 0;
  row.error_code = 0;
  row.error.assign(1, '0');  // (a literal here trips a false -Wrestrict of g++ 12)
  WriteProcessed(row, &pro.buffer());
  if (pro.Put() != 0) return *error = StorageErrorText(pro), ResendResult::kStorageError;
  return ResendResult::kQueued;
}

std::string ResendResultText(ResendResult result) {
  switch (result) {
    case ResendResult::kQueued:
      return "queued again: the next pass sends it";
    case ResendResult::kAlreadyWaiting:
      return "waiting already";
    case ResendResult::kNeedsForce:
      return "was sent; give --force to send it again";
    case ResendResult::kNoSuchRow:
      return "no such row in the log";
    case ResendResult::kNoMailbox:
      return "its mailbox is no longer in the mailbox table";
    case ResendResult::kStorageError:
      return "the log could not be written";
  }
  return "";
}

}  // namespace vm::app
