// The event queue of one thread: events in arrival order, each meant for a
// given window or for whichever window takes events next. Windows use it from
// their owner thread; Push is safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "runtime/event.h"
#include "runtime/thread.h"

namespace vm::runtime {

using WindowId = int64_t;  // 0 = any window
using Deadline = std::chrono::steady_clock::time_point;

class EventQueue {
 public:
  explicit EventQueue(ThreadId thread) : thread_(thread) {}
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  ThreadId thread() const { return thread_; }
  void Push(WindowId target, const Event& event);
  // The first event meant for `window` or for any window, waiting until
  // `deadline` (none: no limit). nullopt when the deadline passed first.
  // Events meant for other windows stay queued in order.
  std::optional<Event> Take(WindowId window, std::optional<Deadline> deadline);
  // Forgets the events meant for a window that has closed.
  void Drop(WindowId window);
  // Windows take a sequence number when they are made. Once a close-down
  // event has been taken, every window of the thread that existed at that
  // moment closes down; windows made later are not affected.
  uint64_t OpenSequence();
  bool ClosingDown(uint64_t open_sequence) const;

 private:
  struct Entry {
    WindowId target;
    Event event;
  };
  const ThreadId thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Entry> entries_;
  uint64_t opened_ = 0;           // sequence numbers handed out
  uint64_t close_down_mark_ = 0;  // windows up to this one close down
};

// The calling thread's queue (made and registered on first use).
EventQueue& ThisThreadQueue();
// Another thread's queue; null when that thread is unknown or has ended.
std::shared_ptr<EventQueue> QueueOf(ThreadId thread);

}  // namespace vm::runtime
