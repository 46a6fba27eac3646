// What a running program records about its passes for `status` to read: a
// small file "voicemail-mailer.status" in the working directory, replaced
// whole at the start and at the end of each pass (a reader never waits for
// the service and never sees half a file). StatusRecorder is the writer, safe
// from any thread (the timer's passes and "Send Mail" passes both report).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/scanner.h"
#include "platform/clock.h"
#include "platform/status.h"

namespace vm::app {

inline constexpr const char* kStatusFileName = "voicemail-mailer.status";
// Failures older than this are dropped from the record.
inline constexpr int64_t kFailureMemorySeconds = 24 * 60 * 60;

struct ServiceStatus {
  int period_seconds = 60;   // the scan period of the program that wrote it
  int64_t pass_started = 0;  // Unix seconds; 0: no pass yet
  int64_t pass_ended = 0;    // below pass_started while a pass runs
  int queued = 0;            // of the last pass that ended
  int sent = 0;
  int failed = 0;
  // (end of a pass, sends that failed in it) for the passes of the last 24
  // hours that had failures, oldest first.
  std::vector<std::pair<int64_t, int>> failures;
  int64_t last_failure_at = 0;  // 0: none recorded
  std::string last_failure;     // "mailbox N file NAME: CODE TEXT"

  // Failed sends recorded after `since` (Unix seconds).
  int FailedSince(int64_t since) const;
  bool pass_running() const { return pass_started > pass_ended; }
};

std::string FormatServiceStatus(const ServiceStatus& status);
// nullopt for text that is not a status file of this form.
std::optional<ServiceStatus> ParseServiceStatus(const std::string& text);

// The status file of `dir`: nullopt when there is none; an error when it
// cannot be read or is not a status file.
platform::Result<std::optional<ServiceStatus>> ReadServiceStatus(const std::string& dir);

class StatusRecorder {
 public:
  // Starts from the file `dir` holds (so the failures of the last day
  // survive a restart). `clock` must outlive the recorder.
  StatusRecorder(std::string dir, int period_seconds,
                 const platform::Clock& clock = platform::SystemClock());
  StatusRecorder(const StatusRecorder&) = delete;
  StatusRecorder& operator=(const StatusRecorder&) = delete;

  void PassStarted();
  void PassEnded(const ScanReport& report);
  // The last write's result (a full disk, a read-only directory).
  platform::Status last_write() const;

 private:
  void Write();  // REQUIRES: mu_ held

  const std::string dir_;
  const platform::Clock& clock_;
  mutable std::mutex mu_;
  ServiceStatus status_;
  platform::Status last_write_;
};

}  // namespace vm::app
