#include "app/service_status.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/replace_file.h"

namespace vm::app {
namespace {

namespace fs = std::filesystem;

fs::path StatusPath(const std::string& dir) {
  return fs::path(dir.empty() ? "." : dir) / kStatusFileName;
}

// One line a value: backslashes, CR and LF escaped.
std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char n = text[++i];
    out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
  }
  return out;
}

bool ToNumber(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Reads one "key=value" line into `s`; false for a line of another form.
bool TakeLine(const std::string& key, const std::string& value, ServiceStatus* s) {
  int64_t n = 0;
  if (key == "last_failure") {
    s->last_failure = Unescape(value);
    return true;
  }
  if (key == "failures") {
    const size_t space = value.find(' ');
    int64_t count = 0;
    if (space == std::string::npos || !ToNumber(value.substr(0, space), &n) ||
        !ToNumber(value.substr(space + 1), &count))
      return false;
    s->failures.emplace_back(n, static_cast<int>(count));
    return true;
  }
  if (!ToNumber(value, &n)) return false;
  if (key == "period") {
    s->period_seconds = static_cast<int>(n);
  } else if (key == "pass_started") {
    s->pass_started = n;
  } else if (key == "pass_ended") {
    s->pass_ended = n;
  } else if (key == "queued") {
    s->queued = static_cast<int>(n);
  } else if (key == "sent") {
    s->sent = static_cast<int>(n);
  } else if (key == "failed") {
    s->failed = static_cast<int>(n);
  } else if (key == "last_failure_at") {
    s->last_failure_at = n;
  }
  return true;  // a key of a later version
}

}  // namespace

int ServiceStatus::FailedSince(int64_t since) const {
  int n = 0;
  for (const auto& [at, count] : failures) {
    if (at > since) n += count;
  }
  return n;
}

std::string FormatServiceStatus(const ServiceStatus& s) {
  std::ostringstream out;
  out << "voicemail-mailer status 1\n"
      << "period=" << s.period_seconds << "\npass_started=" << s.pass_started
      << "\npass_ended=" << s.pass_ended << "\nqueued=" << s.queued << "\nsent=" << s.sent
      << "\nfailed=" << s.failed << "\n";
  for (const auto& [at, count] : s.failures) out << "failures=" << at << " " << count << "\n";
  out << "last_failure_at=" << s.last_failure_at << "\nlast_failure=" << Escape(s.last_failure)
      << "\n";
  return out.str();
}

std::optional<ServiceStatus> ParseServiceStatus(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != "voicemail-mailer status 1") return std::nullopt;
  ServiceStatus s;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || !TakeLine(line.substr(0, eq), line.substr(eq + 1), &s))
      return std::nullopt;
  }
  return s;
}

platform::Result<std::optional<ServiceStatus>> ReadServiceStatus(const std::string& dir) {
  const fs::path path = StatusPath(dir);
  std::error_code ec;
  const bool exists = fs::exists(path, ec);
  if (!exists && !ec) return std::optional<ServiceStatus>();
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!ec && in) text << in.rdbuf();
  if (ec || !in)
    return platform::Status::Error(platform::Code::kIoError, "cannot read " + path.string());
  std::optional<ServiceStatus> status = ParseServiceStatus(text.str());
  if (!status)
    return platform::Status::Error(platform::Code::kInvalidArgument,
                                   path.string() + " is not a status file of this version");
  return status;
}

StatusRecorder::StatusRecorder(std::string dir, int period_seconds, const platform::Clock& clock)
    : dir_(std::move(dir)), clock_(clock) {
  auto earlier = ReadServiceStatus(dir_);
  if (earlier.ok() && earlier.value()) status_ = **earlier;
  status_.period_seconds = period_seconds;
}

void StatusRecorder::PassStarted() {
  std::lock_guard<std::mutex> lock(mu_);
  status_.pass_started = clock_.UnixSeconds();
  Write();
}

void StatusRecorder::PassEnded(const ScanReport& report) {
  std::lock_guard<std::mutex> lock(mu_);
  const int64_t now = clock_.UnixSeconds();
  // A pass ends at or after its start, even when the clock was set back.
  status_.pass_ended = std::max(now, status_.pass_started);
  status_.queued = report.queued;
  status_.sent = report.sent;
  status_.failed = report.failed;
  std::erase_if(status_.failures, [now](const std::pair<int64_t, int>& f) {
    return f.first <= now - kFailureMemorySeconds;
  });
  if (report.failed > 0) {
    status_.failures.emplace_back(status_.pass_ended, report.failed);
    status_.last_failure_at = status_.pass_ended;
    status_.last_failure = report.last_failure;
  }
  Write();
}

platform::Status StatusRecorder::last_write() const {
  std::lock_guard<std::mutex> lock(mu_);
  return last_write_;
}

void StatusRecorder::Write() {
  // Like every file the program makes, its user's only: `status` runs as
  // that user (the service's data directory is 0700 anyway).
  last_write_ = platform::ReplaceFile(StatusPath(dir_), FormatServiceStatus(status_), 0600);
}

}  // namespace vm::app
