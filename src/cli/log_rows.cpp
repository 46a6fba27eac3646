#include "cli/log_rows.h"

#include <cstdio>

#include "app/attachment_limit.h"
#include "platform/clock.h"
#include "runtime/date_time.h"

namespace vm::cli {
namespace {

std::string Iso(int year, int month, int day, int hour, int minute, int second) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, month, day, hour, minute,
                second);
  return text;
}

}  // namespace

RowState StateOf(const app::ProcessedRow& row) {
  if (row.processed != 1) return row.error_code != 0 ? RowState::kRetrying : RowState::kWaiting;
  return app::IsSentOutcome(row.error_code, row.error) ? RowState::kSent : RowState::kFailed;
}

const char* StateName(RowState state) {
  switch (state) {
    case RowState::kWaiting:
      return "waiting";
    case RowState::kRetrying:
      return "retrying";
    case RowState::kSent:
      return "sent";
    case RowState::kFailed:
      return "failed";
  }
  return "";
}

std::string IsoMoment(int32_t day, int32_t time) {
  if (day <= 0) return "null";
  const runtime::CivilDate d = runtime::DateFromDay(day);
  const runtime::TimeParts t = runtime::PartsOfTime(time > 0 ? time : 1);
  return "\"" + Iso(d.year, d.month, d.day, t.hour, t.minute, t.second) + "\"";
}

std::string IsoLocal(int64_t unix_seconds) {
  const platform::LocalDateTime t = platform::LocalFromUnix(unix_seconds, 0);
  return Iso(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

}  // namespace vm::cli
