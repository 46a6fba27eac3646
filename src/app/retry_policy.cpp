#include "app/retry_policy.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "app/value_rules.h"
#include "runtime/date_time.h"
#include "runtime/fixed_text.h"

namespace vm::app {
namespace {

constexpr int64_t kMinute = 60;
// Delays before the first six retries, in minutes; every later one is 60.
constexpr int64_t kFirstDelays[] = {1, 2, 4, 8, 16, 32};
constexpr int64_t kLastDelay = 60;
// Far more retries than 720 hours hold: the count below always ends.
constexpr int kMostRetries = 100000;

}  // namespace

bool IsRetryHours(std::string_view value) {
  return !CheckNumber(value, 0, kMaxRetryForHours, "").has_value();
}

const std::vector<FailureRule>& FailureRules() {
  using enum FailureClass;
  static const std::vector<FailureRule> rules = {
      {400, 499, kTransient, "a 4xx reply: the server asks to be tried later (busy, greylisting)"},
      {500, 599, kFinal, "a 5xx reply: recipient, sender, message or login refused"},
      {10050, 10055, kTransient, "network down or unreachable, connection reset or aborted"},
      {10057, 10058, kTransient, "the connection is gone"},
      {10060, 10061, kTransient, "no connection: out of time, or refused (server down)"},
      {10064, 10065, kTransient, "the server's host is down or unreachable"},
      {10101, 10101, kTransient, "the server closed the connection before the end of data"},
      {11002, 11002, kTransient, "the server's name could not be resolved for now"},
      {11001, 11001, kFinal, "the server's name does not exist"},
      {11003, 11004, kFinal, "the server's name has no address"},
      {-34, -34, kTransient, "the connection closed while the message was sent"},
      {-39, -39, kTransient, "no connection could be opened"},
      {-53, -53, kTransient, "a reply or the whole message took longer than its limit"},
      {-61, -61, kTransient, "the TLS handshake failed or was cut short"},
      {-35, -35, kFinal, "the recording is missing, unreadable, not a file, or its path was cut"},
      {-37, -37, kFinal, "the sender address cannot be read"},
      {-51, -51, kFinal, "a reply that is no SMTP"},
      {-60, -60, kFinal, "STARTTLS required and not offered"},
      {-63, -62, kFinal, "the certificate is not trusted or does not name the server"},
      {-65, -64, kFinal, "no login this program can use, or a login that would go unencrypted"},
  };
  return rules;
}

FailureClass ClassifyFailure(int32_t code) {
  for (const FailureRule& r : FailureRules()) {
    if (code >= r.low && code <= r.high) return r.failure_class;
  }
  return FailureClass::kFinal;
}

bool ServerUnreachable(int32_t code) {
  switch (code) {
    case 421:    // the server is closing down
    case -39:    // no connection could be opened
    case 10050:  // network down
    case 10051:  // network unreachable
    case 10060:  // connect out of time
    case 10061:  // refused
    case 10064:  // host down
    case 10065:  // no route to host
    case 11002:  // name not resolved for now
      return true;
    default:
      return false;
  }
}

int64_t RetryDelaySeconds(int attempts) {
  constexpr int kFirst = static_cast<int>(std::size(kFirstDelays));
  if (attempts < 1) attempts = 1;
  return (attempts <= kFirst ? kFirstDelays[attempts - 1] : kLastDelay) * kMinute;
}

int RetriesWithin(int64_t window_seconds) {
  int64_t elapsed = 0;
  int retries = 0;
  while (retries < kMostRetries) {
    elapsed += RetryDelaySeconds(retries + 1);
    if (elapsed > window_seconds) break;
    ++retries;
  }
  return retries;
}

std::optional<int64_t> NextAttempt(int attempts, int64_t now, int64_t since,
                                   int64_t window_seconds) {
  const int64_t next = now + RetryDelaySeconds(attempts);
  if (window_seconds <= 0 || next > since + window_seconds) return std::nullopt;
  return next;
}

std::string RetryText(int retry, int of, int32_t at, std::string_view outcome_text,
                      size_t max_bytes) {
  const runtime::TimeParts t = runtime::PartsOfTime(at);
  char head[64];
  std::snprintf(head, sizeof head, "Retry %d of %d at %02d:%02d: ", retry, std::max(of, retry),
                t.hour, t.minute);
  const std::string text = std::string(head) + std::string(outcome_text);
  return std::string(runtime::CutUtf8(text, max_bytes));
}

}  // namespace vm::app
