// The retry state of the log: for each row whose send failed for a reason
// that passes, and each row resent, the attempts it has had, when the next is
// due and since when its retry window counts. Kept in "voicemail-mailer.retry"
// beside the tables, never in their records, so the tables keep their layout;
// the row itself stays waiting (PRO:PROCESSED 0) with the last outcome in its
// text. The file is replaced whole (a reader, or a kill, sees the old file or
// the new one), and every change is a read-modify-write under the retry
// writers' lock (UpdateRetryState). A RetryState is a plain value, owner
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/records.h"
#include "platform/file.h"
#include "platform/status.h"

namespace vm::app {

inline constexpr const char* kRetryFileName = "voicemail-mailer.retry";
// An ended row is remembered this long, so `log` can say how many attempts
// it took; then it is forgotten and the file holds the waiting rows only.
inline constexpr int64_t kEndedMemorySeconds = 24 * 60 * 60;

struct RetryEntry {
  uint32_t record = 0;  // the row's record number in the log
  // The row it was written for: a log made again from nothing numbers its
  // rows from 1 again, and an entry must not be taken for a new row's.
  int16_t mailbox = 0;
  int32_t queued_date = 0;
  int32_t queued_time = 0;
  int attempts = 0;   // sends tried (0: resent and not tried since)
  int64_t next = 0;   // Unix seconds: the next attempt is due
  int64_t since = 0;  // Unix seconds: the retry window counts from here
  int64_t ended = 0;  // Unix seconds the row's sending ended; 0 while it waits

  // Whether the entry was written for `row` (mailbox and queueing moment).
  bool Names(const ProcessedRow& row) const;
  bool operator==(const RetryEntry&) const = default;
};

// A fresh entry for `row` at `record`: no attempt yet, due at `now`, its
// window counting from `since`.
RetryEntry NewRetryEntry(uint32_t record, const ProcessedRow& row, int64_t now, int64_t since);

class RetryState {
 public:
  // The file of `dir` ("" = current); a missing file holds nothing. Fails
  // only when the file exists and cannot be read. Lines that do not parse
  // (a hand edit, a damaged disk) are left out and named in problems().
  static platform::Result<RetryState> Read(const std::string& dir);
  static RetryState Parse(const std::string& text);
  std::string Serialize() const;

  const RetryEntry* Find(uint32_t record) const;
  const std::map<uint32_t, RetryEntry>& entries() const { return entries_; }
  void Put(const RetryEntry& entry) { entries_[entry.record] = entry; }
  void Erase(uint32_t record) { entries_.erase(record); }
  // Drops the rows that ended before `before` (Unix seconds).
  void ForgetEndedBefore(int64_t before);
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::map<uint32_t, RetryEntry> entries_;
  std::vector<std::string> problems_;
};

// Under the retry writers' lock (at most 10 s): reads the file of `dir`,
// lets `change` alter it, forgets rows ended more than kEndedMemorySeconds
// before `now`, and replaces the file (mode 0600) when anything changed; the
// state written is left in *written when given. On failure the file is as
// it was.
platform::Status UpdateRetryState(const std::string& dir,
                                  const std::function<void(RetryState&)>& change, int64_t now,
                                  RetryState* written = nullptr,
                                  platform::Env* env = platform::Env::Default());

}  // namespace vm::app
