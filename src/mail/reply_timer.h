// Bounds the wait for a server reply: once armed, a thread of its own posts
// one event to the owner thread when the deadline passes. The owner checks
// the deadline again when the event arrives, so a late or stale event is
// harmless. Arm/Disarm from the owner thread; the object joins its thread
// when destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vm::mail {

class ReplyTimer {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  ReplyTimer() = default;
  ~ReplyTimer();
  ReplyTimer(const ReplyTimer&) = delete;
  ReplyTimer& operator=(const ReplyTimer&) = delete;

  // Posts `event` to `thread` at `deadline` (replacing an earlier arming).
  void Arm(int32_t thread, int32_t event, TimePoint deadline);
  void Disarm();
  bool armed() const { return armed_; }
  // True when armed and the deadline has passed.
  bool Expired() const { return armed_ && std::chrono::steady_clock::now() >= deadline_; }
  // Stops and joins the thread.
  void Stop();

 private:
  void Run();

  // Owner-side copies, read without the lock.
  bool armed_ = false;
  TimePoint deadline_{};

  std::mutex mu_;
  std::condition_variable cv_;
  bool stop_ = false;
  bool posted_armed_ = false;
  TimePoint posted_deadline_{};
  int32_t thread_id_ = 0;
  int32_t event_ = 0;
  std::thread thread_;
};

}  // namespace vm::mail
