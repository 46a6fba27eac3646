// `log [--waiting | --sent | --failed] [--mailbox N] [--last K] [--json]`:
// the ProcessedFiles table as the log window shows it, oldest first, read
// through its own read-only handle (a running service keeps writing). With
// --last the walk starts at the end and stops after K matching rows, so it
// costs what it prints when the rows match, not the whole log.
#include <cstdio>

#include "app/gateway_tables.h"
#include "app/mailbox_rules.h"
#include "app/records.h"
#include "app/retry_state.h"
#include "app/stop_message.h"
#include "cli/commands.h"
#include "cli/log_rows.h"
#include "cli/text_escape.h"
#include "platform/ascii_text.h"
#include "runtime/date_time.h"
#include "runtime/picture.h"

namespace vm::cli {
namespace {

constexpr const char* kLogHelp =
    "Usage: voicemail-mailer [--data-dir DIR] log [--waiting | --sent | --failed]\n"
    "                                        [--mailbox N] [--last K] [--json]\n"
    "Prints the log of recordings, oldest first, one a line: the date and time it\n"
    "was queued, mailbox, file name, address, outcome code and outcome text,\n"
    "separated by tabs. Control characters and bytes that are not UTF-8 are\n"
    "printed as \\xNN.\n"
    "\n"
    "  --waiting    only recordings waiting to be sent (retrying ones too)\n"
    "  --sent       only those the server took\n"
    "  --failed     only those whose send failed\n"
    "  --mailbox N  only those of mailbox N\n"
    "  --last K     only the last K of them\n"
    "  --json       one JSON object a line: row (record number), mailbox, file,\n"
    "               path, address, cc, attach, queued and recorded (ISO 8601 local\n"
    "               time), state (waiting, retrying, sent or failed), code and\n"
    "               text, attempts (sends tried) and next_attempt (ISO 8601, or\n"
    "               null unless retrying); a text\n"
    "               that is not valid UTF-8 is given with each backslash doubled\n"
    "               and each odd byte as \\xNN, and the object gets \"escaped\": true\n"
    "Exit status: 0 done; 2 usage, or the log cannot be read.\n";

struct Filter {
  std::optional<RowState> state;
  std::optional<int16_t> mailbox;
  bool Matches(const app::ProcessedRow& r) const {
    // A row waiting for its next attempt is waiting too.
    const RowState is = StateOf(r) == RowState::kRetrying ? RowState::kWaiting : StateOf(r);
    return (!state || is == *state) && (!mailbox || r.mailbox == *mailbox);
  }
};

std::string Trimmed(const std::string& s) {
  return std::string(platform::TrimLeft(s));
}

void PrintText(const app::ProcessedRow& r, std::ostream& out) {
  out << Trimmed(runtime::FormatDate(r.date, 5)) << "\t" << Trimmed(runtime::FormatTime(r.time, 1))
      << "\t" << r.mailbox << "\t" << ShownText(r.filename) << "\t" << ShownText(r.email_address)
      << "\t" << r.error_code << "\t" << ShownText(r.error) << "\n";
}

// The row's attempts and, while it waits for a retry, when the next is due.
void PrintAttempts(uint32_t record, const app::ProcessedRow& r, const app::RetryState& retries,
                   std::ostream& out) {
  const app::RetryEntry* e = retries.Find(record);
  if (e != nullptr && !e->Names(r)) e = nullptr;
  // A row with no entry was tried once when it has an outcome.
  const int attempts = e != nullptr ? e->attempts : (r.processed == 1 ? 1 : 0);
  out << ",\"attempts\":" << attempts << ",\"next_attempt\":";
  if (e != nullptr && e->ended == 0 && r.processed != 1) {
    out << "\"" << IsoLocal(e->next) << "\"";
  } else {
    out << "null";
  }
}

void PrintJson(uint32_t record, const app::ProcessedRow& r, const app::RetryState& retries,
               std::ostream& out) {
  bool escaped = false;
  out << "{\"row\":" << record << ",\"mailbox\":" << r.mailbox
      << ",\"file\":" << JsonString(r.filename, &escaped)
      << ",\"path\":" << JsonString(r.full_path, &escaped)
      << ",\"address\":" << JsonString(r.email_address, &escaped)
      << ",\"cc\":" << JsonString(r.cc_email_address, &escaped)
      << ",\"attach\":" << (app::IsYes(r.send_attachment) ? "true" : "false")
      << ",\"queued\":" << IsoMoment(r.date, r.time)
      << ",\"recorded\":" << IsoMoment(r.date_of_recording, r.time_of_recording) << ",\"state\":\""
      << StateName(StateOf(r)) << "\",\"code\":" << r.error_code
      << ",\"text\":" << JsonString(r.error, &escaped);
  PrintAttempts(record, r, retries, out);
  if (escaped) out << ",\"escaped\":true";
  out << "}\n";
}

struct Options {
  Filter filter;
  std::optional<uint32_t> last;
  bool json = false;
  app::RetryState retries;  // read once, for --json
};

// Reads the options; nullopt after the usage line.
std::optional<Options> ReadOptions(Arguments& args, const Context& c) {
  Options o;
  int states = 0;
  for (const auto& [name, state] :
       {std::pair{"--waiting", RowState::kWaiting}, std::pair{"--sent", RowState::kSent},
        std::pair{"--failed", RowState::kFailed}}) {
    if (args.TakeSwitch(name)) {
      o.filter.state = state;
      ++states;
    }
  }
  o.json = args.TakeSwitch("--json");
  const std::optional<std::string> mailbox = args.TakeValue("--mailbox");
  const std::optional<std::string> last = args.TakeValue("--last");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "log", args.error()), std::nullopt;
  if (!rest.empty()) return UsageError(c, "log", "unexpected " + ShownText(rest[0])), std::nullopt;
  if (states > 1)
    return UsageError(c, "log", "--waiting, --sent and --failed exclude each other"), std::nullopt;
  if (mailbox) {
    if (const auto r = app::CheckMailboxNumber(*mailbox))
      return Refuse(c, "--mailbox " + r->reason + "; it must be " + r->allowed), std::nullopt;
    o.filter.mailbox = static_cast<int16_t>(app::NumberOf(*mailbox));
  }
  if (last) {
    if (const auto r = app::CheckNumber(*last, 0, 1'000'000'000, "a number of rows"))
      return Refuse(c, "--last " + r->reason + "; it must be " + r->allowed), std::nullopt;
    o.last = static_cast<uint32_t>(app::NumberOf(*last));
  }
  return o;
}

void Print(uint32_t record, const app::ProcessedRow& r, const Options& o, std::ostream& out) {
  if (o.json) {
    PrintJson(record, r, o.retries, out);
  } else {
    PrintText(r, out);
  }
}

int Walk(storage::DeclaredTable& pro, const Options& o, const Context& c) {
  if (pro.Set() != 0) return Refuse(c, "the log cannot be read: " + app::StorageErrorText(pro));
  int rc = 0;
  if (!o.last) {
    while ((rc = pro.Next()) == 0) {
      const app::ProcessedRow r = app::ReadProcessed(pro.buffer());
      if (o.filter.Matches(r)) Print(pro.current_record(), r, o, *c.out);
    }
  } else {
    // From the end back to the K-th match, then printed oldest first.
    std::vector<std::pair<uint32_t, app::ProcessedRow>> found;
    while (found.size() < *o.last && (rc = pro.Previous()) == 0) {
      app::ProcessedRow r = app::ReadProcessed(pro.buffer());
      if (o.filter.Matches(r)) found.emplace_back(pro.current_record(), std::move(r));
    }
    for (auto it = found.rbegin(); it != found.rend(); ++it)
      Print(it->first, it->second, o, *c.out);
  }
  if (rc != 0 && rc != storage::kErrRecordNotFound && rc != storage::kErrRecordNotAvailable)
    return Refuse(c, "the log cannot be read: " + app::StorageErrorText(pro));
  return kExitOk;
}

}  // namespace

int LogCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << kLogHelp;
    return kExitOk;
  }
  std::optional<Options> options = ReadOptions(args, c);
  if (!options) return kExitRefused;
  if (int rc = CheckDirectory(c)) return rc;
  if (!platform::Env::Default()->FileExists(storage::ProcessedFilesFile(c.data_dir)))
    return kExitOk;
  if (options->json) {
    // An unreadable state leaves the counts out rather than the log.
    if (auto retries = app::RetryState::Read(c.data_dir); retries.ok())
      options->retries = std::move(*retries);
  }
  auto pro = storage::DeclareProcessedFiles(c.data_dir);
  if (pro->Open(storage::kAccessRead | storage::kShareDenyNone) != 0)
    return Refuse(c, "the log cannot be opened: " + app::StorageErrorText(*pro));
  const int rc = Walk(*pro, *options, c);
  pro->Close();
  return rc;
}

}  // namespace vm::cli
