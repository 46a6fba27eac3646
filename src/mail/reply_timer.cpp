#include "mail/reply_timer.h"

#include <thread>

#include "net/event_poster.h"

namespace vm::mail {

ReplyTimer::~ReplyTimer() {
  Stop();
}

void ReplyTimer::Arm(int32_t thread, int32_t event, TimePoint deadline) {
  armed_ = true;
  deadline_ = deadline;
  const bool start = shared_ == nullptr;
  if (start) shared_ = std::make_shared<Shared>();
  bool wake;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->armed = true;
    shared_->deadline = deadline;
    shared_->thread_id = thread;
    shared_->event = event;
    // Re-arming for a later deadline while the thread sleeps until an
    // earlier one (every reply does that) costs it no wake-up.
    wake = deadline < shared_->wakes_at;
  }
  if (start) {
    std::thread([s = shared_] { Run(s); }).detach();
  } else if (wake) {
    shared_->cv.notify_all();
  }
}

void ReplyTimer::Disarm() {
  armed_ = false;
  if (shared_ == nullptr) return;
  std::lock_guard<std::mutex> lock(shared_->mu);
  shared_->armed = false;
}

void ReplyTimer::Stop() {
  armed_ = false;
  if (shared_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->stop = true;
    shared_->armed = false;
  }
  shared_->cv.notify_all();
  shared_.reset();
}

// The event is posted with the lock held, so after Stop nothing is posted.
// Stop and Arm take only this lock, never the event queue's.
void ReplyTimer::Run(const std::shared_ptr<Shared>& s) {
  std::unique_lock<std::mutex> lock(s->mu);
  while (!s->stop) {
    if (!s->armed) {
      s->wakes_at = TimePoint::max();
      s->cv.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < s->deadline) {
      s->wakes_at = s->deadline;
      s->cv.wait_until(lock, s->deadline);
      continue;
    }
    s->armed = false;
    net::CurrentEventPoster()->PostEvent(s->thread_id, s->event);
  }
}

}  // namespace vm::mail
