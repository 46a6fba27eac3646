#include "net/event_poster.h"

#include <atomic>
#include <unordered_map>

namespace vm::net {

namespace {

std::mutex g_queues_mu;
std::unordered_map<ThreadId, OwnerEventQueue*>& Queues() {
  static auto* queues = new std::unordered_map<ThreadId, OwnerEventQueue*>();
  return *queues;
}

class BuiltinPoster final : public EventPoster {
 public:
  ThreadId CurrentThread() override { return BuiltinThreadId(); }
  bool PostEvent(ThreadId thread, int32_t event) override {
    std::lock_guard<std::mutex> lock(g_queues_mu);
    auto it = Queues().find(thread);
    if (it == Queues().end()) return false;
    it->second->Post(event);
    return true;
  }
};

std::mutex g_poster_mu;
std::shared_ptr<EventPoster>& PosterSlot() {
  static auto* slot = new std::shared_ptr<EventPoster>(std::make_shared<BuiltinPoster>());
  return *slot;
}

}  // namespace

ThreadId BuiltinThreadId() {
  static std::atomic<ThreadId> next{1};
  thread_local ThreadId id = next.fetch_add(1);
  return id;
}

std::shared_ptr<EventPoster> SetEventPoster(std::shared_ptr<EventPoster> poster) {
  if (!poster) poster = std::make_shared<BuiltinPoster>();
  std::lock_guard<std::mutex> lock(g_poster_mu);
  std::swap(PosterSlot(), poster);
  return poster;
}

std::shared_ptr<EventPoster> CurrentEventPoster() {
  std::lock_guard<std::mutex> lock(g_poster_mu);
  return PosterSlot();
}

OwnerEventQueue::OwnerEventQueue() : thread_(BuiltinThreadId()) {
  std::lock_guard<std::mutex> lock(g_queues_mu);
  Queues()[thread_] = this;
}

OwnerEventQueue::~OwnerEventQueue() {
  std::lock_guard<std::mutex> lock(g_queues_mu);
  auto it = Queues().find(thread_);
  if (it != Queues().end() && it->second == this) Queues().erase(it);
}

void OwnerEventQueue::Post(int32_t event) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(event);
  }
  cv_.notify_one();
}

std::optional<int32_t> OwnerEventQueue::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!cv_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return std::nullopt;
  int32_t e = events_.front();
  events_.pop_front();
  return e;
}

size_t OwnerEventQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_.size();
}

}  // namespace vm::net
