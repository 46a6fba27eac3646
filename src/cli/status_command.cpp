// `status [--json]`: for monitoring. Whether a service holds the directory
// (asked of the instance lock without taking it), the last pass from the
// status file the program rewrites at each pass, the recordings waiting (the
// log's statistics, without reading the log) and the failures of the last day.
// Exit 0 healthy, 1 when the passes stopped or a send failed in the last
// hour, 2 when it cannot tell.
#include "app/gateway_tables.h"
#include "app/instance_lock.h"
#include "app/records.h"
#include "app/service_status.h"
#include "app/stop_message.h"
#include "cli/commands.h"
#include "cli/log_rows.h"
#include "cli/text_escape.h"

namespace vm::cli {
namespace {

constexpr const char* kStatusHelp =
    "Usage: voicemail-mailer [--data-dir DIR] status [--json]\n"
    "Tells whether the mailing of the working directory is healthy, for a monitoring\n"
    "check or a shell one-liner: whether a service holds the directory, when its\n"
    "last pass started and ended, how many recordings wait, how many sends failed in\n"
    "the last 24 hours and the last failure's text.\n"
    "\n"
    "  --json   the same as one JSON object\n"
    "\n"
    "Exit status: 0 healthy; 1 when the last pass ended more than three scan periods\n"
    "ago (and none is running since) or a send failed in the last hour; 2 when it\n"
    "cannot tell (no pass recorded yet, or the directory or its files cannot be\n"
    "read).\n";

constexpr int64_t kHour = 60 * 60;

struct Health {
  int exit = kExitOk;
  std::vector<std::string> reasons;
  void Warn(std::string why) {
    exit = std::max(exit, kExitUnhealthy);
    reasons.push_back(std::move(why));
  }
  void Unknown(std::string why) {
    exit = kExitRefused;
    reasons.push_back(std::move(why));
  }
  const char* word() const {
    return exit == kExitOk ? "ok" : exit == kExitUnhealthy ? "warning" : "unknown";
  }
};

struct Findings {
  std::optional<bool> service;            // nullopt: could not be asked
  std::optional<app::ServiceStatus> run;  // nullopt: no pass recorded
  std::optional<uint32_t> waiting;        // nullopt: the log could not be read
  int failed_day = 0;
  int failed_hour = 0;
  Health health;
};

// Rows waiting in the log: rows without an entry of the optional key on
// PRO:PROCESSED, from the table's statistics (a walk only when the key's
// count is incomplete).
std::optional<uint32_t> WaitingRows(const Context& c, std::string* error) {
  if (!platform::Env::Default()->FileExists(storage::ProcessedFilesFile(c.data_dir))) return 0;
  auto pro = storage::DeclareProcessedFiles(c.data_dir);
  std::optional<uint32_t> waiting;
  if (pro->Open(storage::kAccessRead | storage::kShareDenyNone) == 0) {
    uint32_t entries = 0;
    bool complete = false;
    const uint32_t rows = pro->Records();
    if (pro->error() == 0 &&
        pro->KeyEntries(storage::processed::kProcessedKeyControl, &entries, &complete) == 0 &&
        complete) {
      waiting = rows >= entries ? rows - entries : 0;
    } else if (pro->Set() == 0) {
      uint32_t n = 0;
      int rc;
      while ((rc = pro->Next()) == 0) n += app::ReadProcessed(pro->buffer()).processed != 1;
      if (rc == storage::kErrRecordNotFound || rc == storage::kErrRecordNotAvailable) waiting = n;
    }
  }
  if (!waiting) *error = "the log cannot be read: " + app::StorageErrorText(*pro);
  pro->Close();
  return waiting;
}

Findings Look(const Context& c) {
  Findings f;
  const int64_t now = c.clock->UnixSeconds();
  const platform::Result<bool> held = app::InstanceLock::HeldByAnother(c.data_dir);
  if (held.ok())
    f.service = held.value();
  else
    f.health.Unknown("whether a service runs cannot be told: " + held.status().message());

  auto recorded = app::ReadServiceStatus(c.data_dir);
  if (!recorded.ok()) {
    f.health.Unknown(recorded.status().message());
  } else if (!recorded.value()) {
    f.health.Unknown("no pass has been recorded in " + c.shown_dir() + " yet");
  } else {
    f.run = *recorded.value();
    f.failed_day = f.run->FailedSince(now - app::kFailureMemorySeconds);
    f.failed_hour = f.run->FailedSince(now - kHour);
    const int64_t stale = 3 * int64_t{std::max(1, f.run->period_seconds)};
    // A pass still running counts from its start: a long pass is no stall.
    const int64_t last_sign = std::max(f.run->pass_ended, f.run->pass_started);
    if (now - last_sign > stale)
      f.health.Warn("no pass since " + IsoLocal(last_sign) + ", more than three scan periods");
    if (f.failed_hour > 0)
      f.health.Warn(std::to_string(f.failed_hour) + " send(s) failed in the last hour");
  }
  std::string error;
  f.waiting = WaitingRows(c, &error);
  if (!f.waiting) f.health.Unknown(error);
  return f;
}

std::string JsonTime(int64_t unix_seconds) {
  return unix_seconds > 0 ? "\"" + IsoLocal(unix_seconds) + "\"" : "null";
}

void PrintJson(const Findings& f, std::ostream& out) {
  bool escaped = false;
  out << "{\"service_running\":" << (f.service ? (*f.service ? "true" : "false") : "null");
  if (f.run) {
    out << ",\"pass_started\":" << JsonTime(f.run->pass_started)
        << ",\"pass_ended\":" << JsonTime(f.run->pass_ended)
        << ",\"pass_running\":" << (f.run->pass_running() ? "true" : "false")
        << ",\"period\":" << f.run->period_seconds << ",\"last_pass\":{\"queued\":" << f.run->queued
        << ",\"sent\":" << f.run->sent << ",\"failed\":" << f.run->failed << "}"
        << ",\"last_failure_at\":" << JsonTime(f.run->last_failure_at) << ",\"last_failure\":"
        << (f.run->last_failure.empty() ? "null" : JsonString(f.run->last_failure, &escaped));
  }
  out << ",\"waiting\":" << (f.waiting ? std::to_string(*f.waiting) : "null")
      << ",\"failed_24h\":" << f.failed_day << ",\"failed_1h\":" << f.failed_hour
      << ",\"health\":\"" << f.health.word() << "\",\"reasons\":[";
  for (size_t i = 0; i < f.health.reasons.size(); ++i)
    out << (i ? "," : "") << JsonString(f.health.reasons[i], &escaped);
  out << "]}\n";
}

void PrintText(const Findings& f, const Context& c) {
  std::ostream& out = *c.out;
  out << "service: "
      << (!f.service   ? "unknown"
          : *f.service ? "running on "
                       : "not running on ")
      << (f.service ? c.shown_dir() : "") << "\n";
  if (f.run) {
    out << "last pass: started " << (f.run->pass_started ? IsoLocal(f.run->pass_started) : "-")
        << ", ended " << (f.run->pass_ended ? IsoLocal(f.run->pass_ended) : "-") << " ("
        << f.run->queued << " queued, " << f.run->sent << " sent, " << f.run->failed
        << " failed)\n";
    if (f.run->pass_running())
      out << "pass running since " << IsoLocal(f.run->pass_started) << "\n";
  }
  out << "waiting: " << (f.waiting ? std::to_string(*f.waiting) : "unknown") << "\n"
      << "failed in the last 24 hours: " << f.failed_day << "\n";
  if (f.run && !f.run->last_failure.empty())
    out << "last failure: " << IsoLocal(f.run->last_failure_at) << " "
        << ShownText(f.run->last_failure) << "\n";
  out << "health: " << f.health.word();
  for (const std::string& r : f.health.reasons) out << "; " << ShownText(r);
  out << "\n";
}

}  // namespace

int StatusCommand(std::vector<std::string> words, const Context& c) {
  Arguments args(std::move(words));
  if (args.TakeSwitch("--help") || args.TakeSwitch("-h")) {
    *c.out << kStatusHelp;
    return kExitOk;
  }
  const bool json = args.TakeSwitch("--json");
  const std::vector<std::string> rest = args.TakeRest();
  if (!args.error().empty()) return UsageError(c, "status", args.error());
  if (!rest.empty()) return UsageError(c, "status", "unexpected " + ShownText(rest[0]));
  if (int rc = CheckDirectory(c)) return rc;
  const Findings f = Look(c);
  if (json) {
    PrintJson(f, *c.out);
  } else {
    PrintText(f, c);
  }
  return f.health.exit;
}

}  // namespace vm::cli
