#include "app/send_retry.h"

#include <algorithm>

#include "app/gateway_tables.h"
#include "app/retry_policy.h"
#include "platform/clock.h"
#include "runtime/date_time.h"
#include "runtime/fixed_text.h"

namespace vm::app {
namespace {

void MarkFinal(ProcessedRow* row, int16_t code, const std::string& text) {
  row->processed = 1;
  row->error_code = code;
  row->error = std::string(runtime::CutUtf8(text, storage::processed::kErrorSize));
}

}  // namespace

PassRetries::PassRetries(std::string dir, int64_t retry_hours, const platform::Clock& clock)
    : dir_(std::move(dir)), window_(retry_hours * 3600), clock_(clock) {}

bool PassRetries::Load(std::string* problem) {
  if (!enabled()) return true;
  platform::Result<RetryState> state = RetryState::Read(dir_);
  if (!state.ok()) {
    *problem = state.status().message() + "; failed sends are final this pass";
    window_ = 0;
    return false;
  }
  state_ = std::move(*state);
  return true;
}

const RetryEntry* PassRetries::EntryOf(uint32_t record, const ProcessedRow& row) const {
  const RetryEntry* e = state_.Find(record);
  return e != nullptr && e->ended == 0 && e->Names(row) ? e : nullptr;
}

bool PassRetries::Due(uint32_t record, const ProcessedRow& row) const {
  if (!enabled()) return true;
  const RetryEntry* e = EntryOf(record, row);
  return e == nullptr || e->next <= clock_.UnixSeconds();
}

std::vector<uint32_t> PassRetries::Pending() const {
  std::vector<uint32_t> records;
  if (!enabled()) return records;
  for (const auto& [record, e] : state_.entries())
    if (e.ended == 0) records.push_back(record);
  return records;
}

int PassRetries::Attempts(uint32_t record, const ProcessedRow& row) const {
  const RetryEntry* e = EntryOf(record, row);
  return e != nullptr ? e->attempts : 0;
}

int64_t PassRetries::Since(uint32_t record, const ProcessedRow& row) const {
  if (const RetryEntry* e = EntryOf(record, row)) return e->since;
  // The queueing moment is local time in the row; its age by the same clock
  // turns it into Unix seconds.
  const int64_t now_local = runtime::MomentOf(runtime::Today(clock_), runtime::ClockTime(clock_));
  const int64_t age = (now_local - runtime::MomentOf(row.date, row.time)) / 100;
  return clock_.UnixSeconds() - std::max<int64_t>(age, 0);
}

bool PassRetries::Write(const RetryEntry& entry, std::string* problem) {
  RetryState written;
  platform::Status s = UpdateRetryState(
      dir_, [&](RetryState& st) { st.Put(entry); }, clock_.UnixSeconds(), &written);
  if (!s.ok()) {
    *problem = s.message();
    return false;
  }
  state_ = std::move(written);
  return true;
}

FailureDisposition PassRetries::Failed(uint32_t record, ProcessedRow* row, int16_t code,
                                       const std::string& text, std::string* problem) {
  const int64_t now = clock_.UnixSeconds();
  RetryEntry entry = NewRetryEntry(record, *row, now, Since(record, *row));
  if (const RetryEntry* e = EntryOf(record, *row)) entry = *e;
  entry.attempts += 1;
  const std::optional<int64_t> next = enabled() && ClassifyFailure(code) == FailureClass::kTransient
                                          ? NextAttempt(entry.attempts, now, entry.since, window_)
                                          : std::nullopt;
  if (!next) {
    MarkFinal(row, code, text);
    return FailureDisposition::kFinal;
  }
  entry.next = *next;
  if (!Write(entry, problem)) {
    MarkFinal(row, code, text);
    return FailureDisposition::kFinal;
  }
  const int32_t at = runtime::ClockTime(clock_) + static_cast<int32_t>((*next - now) * 100);
  row->processed = 0;
  row->error_code = code;
  row->error =
      RetryText(entry.attempts, RetriesWithin(window_), at, text, storage::processed::kErrorSize);
  return FailureDisposition::kWaiting;
}

void PassRetries::Ended(uint32_t record, const ProcessedRow& row, bool attempted) {
  // The row is read back as it was before this pass wrote it: the entry
  // names the row by its queueing, which no outcome changes.
  const RetryEntry* e = EntryOf(record, row);
  if (e == nullptr) return;
  RetryEntry entry = *e;
  if (attempted) entry.attempts += 1;
  entry.ended = clock_.UnixSeconds();
  std::string ignored;
  // A state left behind only keeps an attempt count for `log`: the row
  // itself says it has ended, and no pass sends it again.
  Write(entry, &ignored);
}

FailureDisposition PassRetries::Deferred(uint32_t record, ProcessedRow* row, int16_t code,
                                         const std::string& text) {
  if (Since(record, *row) + window_ >= clock_.UnixSeconds()) return FailureDisposition::kWaiting;
  MarkFinal(row, code, text);
  return FailureDisposition::kFinal;
}

}  // namespace vm::app
