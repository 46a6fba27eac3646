#include "app/retry_state.h"

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/writer_lock.h"
#include "platform/replace_file.h"

namespace vm::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRetryFileHeader =
    "# Retry state of voicemail-mailer's log, kept beside its tables.\n"
    "# record mailbox queued-date queued-time attempts next since ended\n";
constexpr int kFields = 8;

fs::path RetryPath(const std::string& dir) {
  return fs::path(dir.empty() ? "." : dir) / kRetryFileName;
}

// The eight numbers of a line, or false when it holds anything else.
bool ParseFields(const std::string& line, int64_t (&v)[kFields]) {
  const char* p = line.data();
  const char* end = p + line.size();
  for (int i = 0; i < kFields; ++i) {
    while (p < end && *p == ' ') ++p;
    const auto [next, ec] = std::from_chars(p, end, v[i]);
    if (ec != std::errc() || next == p) return false;
    p = next;
  }
  while (p < end && *p == ' ') ++p;
  return p == end;
}

// Whether the numbers fit the entry's fields and make sense together.
bool InRange(const int64_t (&v)[kFields]) {
  return v[0] > 0 && v[0] <= UINT32_MAX && v[1] >= INT16_MIN && v[1] <= INT16_MAX &&
         v[2] >= INT32_MIN && v[2] <= INT32_MAX && v[3] >= INT32_MIN && v[3] <= INT32_MAX &&
         v[4] >= 0 && v[4] <= 1000000 && v[5] >= 0 && v[6] >= 0 && v[7] >= 0;
}

}  // namespace

bool RetryEntry::Names(const ProcessedRow& row) const {
  return row.mailbox == mailbox && row.date == queued_date && row.time == queued_time;
}

RetryEntry NewRetryEntry(uint32_t record, const ProcessedRow& row, int64_t now, int64_t since) {
  RetryEntry e;
  e.record = record;
  e.mailbox = row.mailbox;
  e.queued_date = row.date;
  e.queued_time = row.time;
  e.next = now;
  e.since = since;
  return e;
}

platform::Result<RetryState> RetryState::Read(const std::string& dir) {
  const fs::path path = RetryPath(dir);
  std::error_code ec;
  const bool exists = fs::exists(path, ec);
  if (!exists && !ec) return RetryState();
  // Anything but a readable regular file is an error, not an empty state: a
  // pass that took it for one would send rows early and forget their counts.
  std::ifstream in(path, std::ios::binary);
  if (ec || !fs::is_regular_file(path, ec) || !in) {
    return platform::Status::Error(platform::Code::kAccessDenied, "cannot read " + path.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    return platform::Status::Error(platform::Code::kIoError, "cannot read " + path.string());
  }
  return Parse(text.str());
}

RetryState RetryState::Parse(const std::string& text) {
  RetryState state;
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    int64_t v[kFields];
    if (!ParseFields(line, v) || !InRange(v)) {
      state.problems_.push_back(std::string(kRetryFileName) + " line " + std::to_string(number) +
                                ": not a retry entry");
      continue;
    }
    RetryEntry e;
    e.record = static_cast<uint32_t>(v[0]);
    e.mailbox = static_cast<int16_t>(v[1]);
    e.queued_date = static_cast<int32_t>(v[2]);
    e.queued_time = static_cast<int32_t>(v[3]);
    e.attempts = static_cast<int>(v[4]);
    e.next = v[5];
    e.since = v[6];
    e.ended = v[7];
    state.Put(e);
  }
  return state;
}

std::string RetryState::Serialize() const {
  std::string out = kRetryFileHeader;
  for (const auto& [record, e] : entries_) {
    out += std::to_string(record) + ' ' + std::to_string(e.mailbox) + ' ' +
           std::to_string(e.queued_date) + ' ' + std::to_string(e.queued_time) + ' ' +
           std::to_string(e.attempts) + ' ' + std::to_string(e.next) + ' ' +
           std::to_string(e.since) + ' ' + std::to_string(e.ended) + '\n';
  }
  return out;
}

const RetryEntry* RetryState::Find(uint32_t record) const {
  const auto it = entries_.find(record);
  return it == entries_.end() ? nullptr : &it->second;
}

void RetryState::ForgetEndedBefore(int64_t before) {
  std::erase_if(entries_, [before](const auto& kv) {
    return kv.second.ended != 0 && kv.second.ended < before;
  });
}

platform::Status UpdateRetryState(const std::string& dir,
                                  const std::function<void(RetryState&)>& change, int64_t now,
                                  RetryState* written, platform::Env* env) {
  std::string error;
  const auto lock =
      WriterLock::Acquire(dir, kRetryWriterByte, "the retry state",
                          std::chrono::milliseconds(platform::kDefaultLockWaitMs), &error, env);
  if (lock == nullptr) return platform::Status::Error(platform::Code::kAccessDenied, error);
  platform::Result<RetryState> state = RetryState::Read(dir);
  if (!state.ok()) return state.status();
  const std::string before = state->Serialize();
  change(*state);
  state->ForgetEndedBefore(now - kEndedMemorySeconds);
  const std::string after = state->Serialize();
  if (after != before || !state->problems().empty()) {
    platform::Status s = platform::ReplaceFile(RetryPath(dir), after, 0600);
    if (!s.ok()) return s;
  }
  if (written != nullptr) {
    *written = RetryState::Parse(after);
  }
  return platform::Status::Ok();
}

}  // namespace vm::app
