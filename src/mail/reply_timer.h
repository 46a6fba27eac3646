// Bounds the wait for a server reply: once armed, a thread of its own posts
// one event to the owner thread when the deadline passes. The owner checks
// the deadline again when the event arrives, so a late or stale event is
// harmless. Arm/Disarm/Stop from the owner thread. Stop does not wait for the
// thread: it shares its state with the object and ends on its own, so
// ending a send never waits for another thread to be scheduled.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

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
  // Tells the thread to end; once this returns it posts nothing more.
  void Stop();

 private:
  // What the owner and the thread share; the thread keeps it alive.
  struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    bool stop = false;
    bool armed = false;
    TimePoint deadline{};
    // When the thread wakes on its own (max: only when told): an arming
    // for later than that needs no wake-up, the thread looks again then.
    TimePoint wakes_at = TimePoint::max();
    int32_t thread_id = 0;
    int32_t event = 0;
  };
  static void Run(const std::shared_ptr<Shared>& s);

  // Owner-side copies, read without the lock.
  bool armed_ = false;
  TimePoint deadline_{};
  std::shared_ptr<Shared> shared_;  // null while no thread runs
};

}  // namespace vm::mail
