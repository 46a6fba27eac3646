// Thread identities and posted events: how the socket layer tells an owner
// thread that a packet is waiting. By default these are the runtime's threads
// and event queues (runtime/thread.h), so a window's accept loop receives the
// events; tests may install another EventPoster. Safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace vm::net {

using ThreadId = int32_t;

class EventPoster {
 public:
  virtual ~EventPoster() = default;
  // Identity of the calling thread (non-zero).
  virtual ThreadId CurrentThread() = 0;
  // Posts `event` to `thread`; false when that thread takes no events.
  virtual bool PostEvent(ThreadId thread, int32_t event) = 0;
};

// Installs the process-wide poster (nullptr puts the runtime's back) and
// returns the previous one.
std::shared_ptr<EventPoster> SetEventPoster(std::shared_ptr<EventPoster> poster);
std::shared_ptr<EventPoster> CurrentEventPoster();

// The calling thread's event queue of the runtime, for an owner thread that
// has no window open (tests, tools): an owner loop takes events from it and
// passes each to NetSimple::TakeEvent. Owning thread only.
class OwnerEventQueue {
 public:
  OwnerEventQueue();
  OwnerEventQueue(const OwnerEventQueue&) = delete;
  OwnerEventQueue& operator=(const OwnerEventQueue&) = delete;

  ThreadId thread() const { return thread_; }
  void Post(int32_t event);
  // Number of the next event, waiting up to `timeout`; nullopt when none came.
  std::optional<int32_t> Wait(std::chrono::milliseconds timeout);

 private:
  ThreadId thread_;
};

}  // namespace vm::net
