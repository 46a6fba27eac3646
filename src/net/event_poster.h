// Thread identities and posted events: how the socket layer tells an owner
// thread that a packet is waiting. The runtime's threads can take over by
// installing their own EventPoster; until then OwnerEventQueue gives any
// thread a queue. Everything here is safe from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
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

// Installs the process-wide poster (nullptr puts the built-in one back) and
// returns the previous one.
std::shared_ptr<EventPoster> SetEventPoster(std::shared_ptr<EventPoster> poster);
std::shared_ptr<EventPoster> CurrentEventPoster();

// The built-in poster's identity of the calling thread: a small number
// handed out on first use.
ThreadId BuiltinThreadId();

// An event queue for the thread that creates it, reached through the
// built-in poster. An owner loop takes events from it and passes each to
// NetSimple::TakeEvent. Create and destroy on the owning thread.
class OwnerEventQueue {
 public:
  OwnerEventQueue();
  ~OwnerEventQueue();
  OwnerEventQueue(const OwnerEventQueue&) = delete;
  OwnerEventQueue& operator=(const OwnerEventQueue&) = delete;

  ThreadId thread() const { return thread_; }
  void Post(int32_t event);
  // Next event, waiting up to `timeout`; nullopt when none came.
  std::optional<int32_t> Wait(std::chrono::milliseconds timeout);
  size_t size() const;

 private:
  ThreadId thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<int32_t> events_;
};

}  // namespace vm::net
