#include "net/event_poster.h"

#include <mutex>

#include "runtime/thread.h"

namespace vm::net {

namespace {

class RuntimePoster final : public EventPoster {
 public:
  ThreadId CurrentThread() override { return runtime::CurrentThread(); }
  bool PostEvent(ThreadId thread, int32_t event) override { return runtime::Post(thread, event); }
};

std::mutex g_poster_mu;
std::shared_ptr<EventPoster>& PosterSlot() {
  static auto* slot = new std::shared_ptr<EventPoster>(std::make_shared<RuntimePoster>());
  return *slot;
}

}  // namespace

std::shared_ptr<EventPoster> SetEventPoster(std::shared_ptr<EventPoster> poster) {
  if (!poster) poster = std::make_shared<RuntimePoster>();
  std::lock_guard<std::mutex> lock(g_poster_mu);
  std::swap(PosterSlot(), poster);
  return poster;
}

std::shared_ptr<EventPoster> CurrentEventPoster() {
  std::lock_guard<std::mutex> lock(g_poster_mu);
  return PosterSlot();
}

OwnerEventQueue::OwnerEventQueue() : thread_(runtime::CurrentThread()) {}

void OwnerEventQueue::Post(int32_t event) {
  runtime::Post(thread_, event);
}

std::optional<int32_t> OwnerEventQueue::Wait(std::chrono::milliseconds timeout) {
  std::optional<runtime::Event> e = runtime::WaitThreadEvent(timeout);
  if (!e) return std::nullopt;
  return e->number;
}

}  // namespace vm::net
