// What one pass does with the retry state: which waiting rows are due, what
// a failed send leaves behind (the row waiting with "Retry N of M at HH:MM:
// TEXT", or its final outcome), and whether the server is gone for the rest
// of the pass. Made by the pass at its start from the `retry-for` setting and
// the retry state file; used on the pass's thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/records.h"
#include "app/retry_state.h"

namespace vm::platform {
class Clock;
}

namespace vm::app {

// What became of a failed send.
enum class FailureDisposition {
  kFinal,    // the row is written as sent with the failure, as without retries
  kWaiting,  // the row stays waiting; its text says when it is tried again
};

class PassRetries {
 public:
  // `retry_hours` 0 switches retries off: every failure is final and no
  // state is read or written.
  PassRetries(std::string dir, int64_t retry_hours, const platform::Clock& clock);

  // Reads the state file; false (with *problem) when it cannot be read, and
  // then retries stay off for this pass, so rows are handled as without them.
  bool Load(std::string* problem);
  bool enabled() const { return window_ > 0; }
  // Lines of the state file that were left out (a hand edit, a damaged
  // disk); the next write of the file drops them.
  const std::vector<std::string>& problems() const { return state_.problems(); }

  // Whether the waiting `row` at `record` may be sent now: yes unless its
  // entry says its next attempt is later.
  bool Due(uint32_t record, const ProcessedRow& row) const;
  // After a failed send of `row` at `record`: sets the row's outcome fields
  // for writing (PROCESSED, code, text) and, when it stays waiting, first
  // records its attempt in the state file. A state that cannot be written
  // makes the failure final (it is then written as without retries).
  FailureDisposition Failed(uint32_t record, ProcessedRow* row, int16_t code,
                            const std::string& text, std::string* problem);
  // After the row at `record` was written as sent or finally failed;
  // `attempted`: by a send of this pass (counted), not by a deferral.
  void Ended(uint32_t record, const ProcessedRow& row, bool attempted);
  // A row passed over because the server is gone: final when its window has
  // ended (with the pass's outcome `code` and `text`, as Failed sets it).
  FailureDisposition Deferred(uint32_t record, ProcessedRow* row, int16_t code,
                              const std::string& text);

  // Record numbers of the rows the state says are waiting (resent, or
  // between attempts), in record order; the caller checks each row.
  std::vector<uint32_t> Pending() const;

  // Attempts of the row at `record` so far (0 when none is recorded).
  int Attempts(uint32_t record, const ProcessedRow& row) const;

 private:
  const RetryEntry* EntryOf(uint32_t record, const ProcessedRow& row) const;
  // When the row was queued (or resent), in Unix seconds by the pass's clock.
  int64_t Since(uint32_t record, const ProcessedRow& row) const;
  bool Write(const RetryEntry& entry, std::string* problem);

  std::string dir_;
  int64_t window_;  // seconds; 0: off
  const platform::Clock& clock_;
  RetryState state_;
};

}  // namespace vm::app
