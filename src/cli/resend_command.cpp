// `resend ROW... [--force]` and `resend --failed [--since DATE] [--force]`:
// puts rows of the log back in the queue, as the log window's Resend button
// does (app/resend.h). Rows are named by their record number, as `log
// --json` prints it. A row the server took is resent only with --force.
#include <charconv>
#include <set>

#include "app/gateway_files.h"
#include "app/gateway_tables.h"
#include "app/records.h"
#include "app/resend.h"
#include "app/stop_message.h"
#include "cli/commands.h"
#include "cli/log_rows.h"
#include "cli/text_escape.h"
#include "runtime/date_time.h"

namespace vm::cli {
namespace {

constexpr const char* kResendHelp =
    "Usage: voicemail-mailer [--data-dir DIR] resend ROW... [--force]\n"
    "       voicemail-mailer [--data-dir DIR] resend --failed [--since DATE] [--force]\n"
    "Puts recordings of the log back in the queue: the next pass mails each with\n"
    "its mailbox's address, copy address and attachment choice of now, and a\n"
    "failure that passes is tried again for retry-for hours from now. A row is\n"
    "named by its number (the \"row\" of log --json).\n"
    "\n"
    "  --failed      every row whose send failed finally\n"
    "  --since DATE  with --failed: only rows queued on DATE (YYYY-MM-DD) or later\n"
    "  --force       also resend rows the server took\n"
    "Exit status: 0 every row named is queued (or waits already); 2 usage, a row\n"
    "not resent (each said on a line of its own), or the log cannot be written.\n";

struct ResendOptions {
  std::vector<uint32_t> rows;
  bool failed = false;
  std::optional<int32_t> since;  // day number
  bool force = false;
};

std::optional<uint32_t> RowNumber(const std::string& word) {
  if (app::CheckNumber(word, 1, UINT32_MAX, "")) return std::nullopt;
  return static_cast<uint32_t>(app::NumberOf(word));
}

// "YYYY-MM-DD" as a day number; nullopt for anything else.
std::optional<int32_t> DayOf(const std::string& text) {
  int y = 0, m = 0, d = 0;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const char* s = text.data();
  if (std::from_chars(s, s + 4, y).ptr != s + 4 || std::from_chars(s + 5, s + 7, m).ptr != s + 7 ||
      std::from_chars(s + 8, s + 10, d).ptr != s + 10)
    return std::nullopt;
  if (y < 1801 || m < 1 || m > 12 || d < 1 || d > runtime::DaysInMonth(y, m)) return std::nullopt;
  return runtime::DayFromDate(y, m, d);
}

std::optional<ResendOptions> ReadResendOptions(Arguments& args, const Context& c) {
  ResendOptions o;
  o.failed = args.TakeSwitch("--failed");
  o.force = args.TakeSwitch("--force");
  const std::optional<std::string> since = args.TakeValue("--since");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "resend", args.error()), std::nullopt;
  if (since && !o.failed) return UsageError(c, "resend", "--since needs --failed"), std::nullopt;
  if (o.failed == !rest.empty())
    return UsageError(c, "resend", "name rows or give --failed, not both nor neither"),
           std::nullopt;
  if (since && !(o.since = DayOf(*since)))
    return Refuse(c, "--since must be a date as YYYY-MM-DD"), std::nullopt;
  for (const std::string& word : rest) {
    const std::optional<uint32_t> row = RowNumber(word);
    if (!row) return Refuse(c, ShownText(word) + " is not a row number"), std::nullopt;
    o.rows.push_back(*row);
  }
  return o;
}

// The rows that failed finally (and were queued on `since` or later).
std::vector<uint32_t> FailedRows(app::GatewayFiles& files, std::optional<int32_t> since) {
  std::vector<uint32_t> rows;
  storage::DeclaredTable& pro = files.processed();
  if (pro.Set() != 0) return rows;
  while (pro.Next() == 0) {
    const app::ProcessedRow r = app::ReadProcessed(pro.buffer());
    if (StateOf(r) == RowState::kFailed && (!since || r.date >= *since))
      rows.push_back(pro.current_record());
  }
  return rows;
}

}  // namespace

int ResendCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << kResendHelp;
    return kExitOk;
  }
  std::optional<ResendOptions> o = ReadResendOptions(args, c);
  if (!o) return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  if (!platform::Env::Default()->FileExists(storage::ProcessedFilesFile(c.data_dir)))
    return Refuse(c, "there is no log in " + c.shown_dir());
  app::GatewayFiles files(c.data_dir);
  app::OpenTable processed(files, app::Table::kProcessedFiles);
  if (processed.code() != 0)
    return Refuse(c, "the log cannot be opened: " + app::StorageErrorText(files.processed()));
  if (o->failed) o->rows = FailedRows(files, o->since);
  int status = kExitOk;
  for (uint32_t row : o->rows) {
    std::string error;
    const app::ResendResult r = app::ResendRow(files, row, o->force, *c.clock, &error);
    const std::string line = "row " + std::to_string(row) + ": " + app::ResendResultText(r) +
                             (error.empty() ? "" : ": " + error);
    const bool done = r == app::ResendResult::kQueued || r == app::ResendResult::kAlreadyWaiting;
    *(done ? c.out : c.err) << line << "\n";
    if (!done) status = kExitRefused;
  }
  if (o->failed && o->rows.empty()) *c.out << "no failed rows\n";
  return status;
}

}  // namespace vm::cli
