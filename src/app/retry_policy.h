// Which failed sends are tried again, and when: the table that sorts a send's
// outcome code into transient (tried again later) and final, the back-off
// between attempts, and the outcome text a row shows while it waits for its
// next attempt. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vm::app {

// The setting: hours a failed recording is tried again, counted from its
// queueing (or from its Resend); 0 means a failed send is final at once.
inline constexpr const char* kKeyRetryFor = "retry-for";
inline constexpr const char* kDefaultRetryFor = "24";
inline constexpr int64_t kMaxRetryForHours = 720;
// Whether `value` may be stored as `retry-for`: whole hours, 0 to 720.
bool IsRetryHours(std::string_view value);

enum class FailureClass { kTransient, kFinal };

// Outcome codes `low` to `high` are of class `failure_class`.
struct FailureRule {
  int32_t low;
  int32_t high;
  FailureClass failure_class;
  const char* what;  // what such an outcome means, for README and tests
};

// The table, looked up in order; a code no rule names is final (a failure
// the table does not know needs the operator rather than a day of retries).
const std::vector<FailureRule>& FailureRules();
FailureClass ClassifyFailure(int32_t code);

// Whether the rest of a pass should leave the server alone after this
// failure: no connection could be opened (refused, out of time, no route,
// name not resolved for now), or 421 (the server is closing down).
bool ServerUnreachable(int32_t code);

// Seconds from attempt number `attempts` (1 = the first send) to the next:
// 1, 2, 4, 8, 16, 32 minutes, then every 60 minutes.
int64_t RetryDelaySeconds(int attempts);
// Retries a window of `window_seconds` holds when each comes on time (the
// "of N" of the row's text): 28 for 24 hours.
int RetriesWithin(int64_t window_seconds);
// When attempt `attempts` failed transiently at `now`: the time of the next
// attempt, or nullopt when it would fall after `since` + `window_seconds`
// (the failure is then final). All times in Unix seconds.
std::optional<int64_t> NextAttempt(int attempts, int64_t now, int64_t since,
                                   int64_t window_seconds);

// The row's outcome text while it waits: "Retry 3 of 28 at 14:05: TEXT",
// `at` the local time of day of the next attempt (hundredths plus one, as
// the tables keep times). Cut to `max_bytes` without splitting a UTF-8
// sequence.
std::string RetryText(int retry, int of, int32_t at, std::string_view outcome_text,
                      size_t max_bytes);

}  // namespace vm::app
