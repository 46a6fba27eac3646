#include "runtime/thread.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "platform/diag_sink.h"
#include "runtime/event_queue.h"

namespace vm::runtime {

Event EventFromNumber(int32_t number, int control) {
  Event e;
  e.number = number;
  e.control = control;
  switch (number) {
    case kEventAccepted:
      e.kind = EventKind::kAccepted;
      break;
    case kEventNewSelection:
      e.kind = EventKind::kNewSelection;
      break;
    case kEventScrollUp:
    case kEventScrollDown:
    case kEventPageUp:
    case kEventPageDown:
    case kEventScrollTop:
    case kEventScrollBottom:
      e.kind = EventKind::kScroll;
      break;
    case kEventOpenWindow:
      e.kind = EventKind::kOpenWindow;
      break;
    case kEventCloseWindow:
      e.kind = EventKind::kCloseWindow;
      break;
    case kEventTimer:
      e.kind = EventKind::kTimer;
      break;
    case kEventCloseDown:
      e.kind = EventKind::kCloseDown;
      break;
    default:
      e.kind = EventKind::kUser;
      break;
  }
  return e;
}

void EventQueue::Push(WindowId target, const Event& event) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back({target, event});
  }
  cv_.notify_all();
}

std::optional<Event> EventQueue::Take(WindowId window, std::optional<Deadline> deadline) {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [window](const Entry& e) {
      return e.target == window || e.target == 0;
    });
    if (it != entries_.end()) {
      const Event e = it->event;
      entries_.erase(it);
      if (e.kind == EventKind::kCloseDown) close_down_mark_ = opened_;
      return e;
    }
    if (!deadline) {
      cv_.wait(lock);
    } else if (Deadline::clock::now() >= *deadline) {
      return std::nullopt;  // a poll: nothing queued, and no futex wait for it
    } else if (cv_.wait_until(lock, *deadline) == std::cv_status::timeout) {
      // One last look: an event may have come with the timeout.
      const auto late = std::find_if(entries_.begin(), entries_.end(), [window](const Entry& e) {
        return e.target == window || e.target == 0;
      });
      if (late == entries_.end()) return std::nullopt;
    }
  }
}

void EventQueue::Drop(WindowId window) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [window](const Entry& e) { return e.target == window; }),
                 entries_.end());
}

uint64_t EventQueue::OpenSequence() {
  std::lock_guard<std::mutex> lock(mu_);
  return ++opened_;
}

bool EventQueue::ClosingDown(uint64_t open_sequence) const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_sequence <= close_down_mark_;
}

namespace {

struct Registry {
  std::mutex mu;
  std::map<ThreadId, std::weak_ptr<EventQueue>> queues;
  struct Started {
    std::thread thread;
    std::shared_ptr<std::promise<void>> done_promise;
    std::shared_future<void> done;
  };
  std::map<ThreadId, Started> started;
};

Registry& Reg() {
  static Registry* r = new Registry;  // lives as long as any thread may use it
  return *r;
}

std::atomic<ThreadId> next_id{1};

// Registers the calling thread on first use and unregisters it when it ends.
struct ThreadSlot {
  ThreadSlot() : id(next_id++), queue(std::make_shared<EventQueue>(id)) {
    std::lock_guard<std::mutex> lock(Reg().mu);
    Reg().queues[id] = queue;
  }
  ~ThreadSlot() {
    std::lock_guard<std::mutex> lock(Reg().mu);
    Reg().queues.erase(id);
  }
  const ThreadId id;
  const std::shared_ptr<EventQueue> queue;
};

ThreadSlot& Slot() {
  thread_local ThreadSlot slot;
  return slot;
}

}  // namespace

EventQueue& ThisThreadQueue() {
  return *Slot().queue;
}

std::shared_ptr<EventQueue> QueueOf(ThreadId thread) {
  std::lock_guard<std::mutex> lock(Reg().mu);
  const auto it = Reg().queues.find(thread);
  return it == Reg().queues.end() ? nullptr : it->second.lock();
}

ThreadId CurrentThread() {
  return Slot().id;
}

ThreadId StartThread(std::function<void()> procedure) {
  auto ready = std::make_shared<std::promise<ThreadId>>();
  auto done = std::make_shared<std::promise<void>>();
  std::future<ThreadId> id_future = ready->get_future();
  std::shared_future<void> done_future = done->get_future().share();
  std::thread t([ready, done, procedure = std::move(procedure)] {
    ready->set_value(CurrentThread());
    try {
      procedure();
    } catch (const std::exception& e) {
      platform::DiagWrite(
          platform::DiagPriority::kError,
          std::string("[Runtime] procedure thread ended by exception: ") + e.what());
    } catch (...) {
      platform::DiagWrite(platform::DiagPriority::kError,
                          "[Runtime] procedure thread ended by an unknown exception");
    }
    done->set_value();
  });
  const ThreadId id = id_future.get();
  std::lock_guard<std::mutex> lock(Reg().mu);
  Reg().started[id] = {std::move(t), done, done_future};
  return id;
}

bool WaitThread(ThreadId thread, std::chrono::milliseconds timeout) {
  if (thread == CurrentThread()) return false;
  std::shared_future<void> done;
  {
    std::unique_lock<std::mutex> lock(Reg().mu);
    const auto it = Reg().started.find(thread);
    if (it == Reg().started.end()) {
      lock.unlock();                      // QueueOf takes the registry lock itself
      return QueueOf(thread) == nullptr;  // unknown or already joined
    }
    done = it->second.done;
  }
  if (done.wait_for(timeout) != std::future_status::ready) return false;
  std::thread t;
  {
    std::lock_guard<std::mutex> lock(Reg().mu);
    const auto it = Reg().started.find(thread);
    if (it == Reg().started.end()) return true;  // another waiter joined it
    t = std::move(it->second.thread);
    Reg().started.erase(it);
  }
  if (t.joinable()) t.join();
  return true;
}

void JoinThreads() {
  // Before the lock: a thread's first CurrentThread() registers it under it.
  const ThreadId self = CurrentThread();
  for (;;) {
    ThreadId next = 0;
    {
      std::lock_guard<std::mutex> lock(Reg().mu);
      for (const auto& [id, s] : Reg().started) {
        if (id != self) {
          next = id;
          break;
        }
      }
    }
    if (next == 0) return;
    WaitThread(next, std::chrono::hours(24 * 365));
  }
}

bool Post(ThreadId thread, int32_t number) {
  const std::shared_ptr<EventQueue> q = QueueOf(thread);
  if (!q) return false;
  q->Push(0, EventFromNumber(number));
  return true;
}

void PostCloseDownToAll() {
  std::vector<std::shared_ptr<EventQueue>> all;
  {
    std::lock_guard<std::mutex> lock(Reg().mu);
    for (const auto& [id, w] : Reg().queues)
      if (auto q = w.lock()) all.push_back(std::move(q));
  }
  for (const auto& q : all) q->Push(0, EventFromNumber(kEventCloseDown));
}

std::optional<Event> WaitThreadEvent(std::chrono::milliseconds timeout) {
  return ThisThreadQueue().Take(0, std::chrono::steady_clock::now() + timeout);
}

}  // namespace vm::runtime
