#include "mail/reply_timer.h"

#include "net/event_poster.h"

namespace vm::mail {

ReplyTimer::~ReplyTimer() {
  Stop();
}

void ReplyTimer::Arm(int32_t thread, int32_t event, TimePoint deadline) {
  armed_ = true;
  deadline_ = deadline;
  {
    std::lock_guard<std::mutex> lock(mu_);
    posted_armed_ = true;
    posted_deadline_ = deadline;
    thread_id_ = thread;
    event_ = event;
    stop_ = false;
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  cv_.notify_all();
}

void ReplyTimer::Disarm() {
  armed_ = false;
  std::lock_guard<std::mutex> lock(mu_);
  posted_armed_ = false;
}

void ReplyTimer::Stop() {
  armed_ = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
    posted_armed_ = false;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReplyTimer::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    if (!posted_armed_) {
      cv_.wait(lock);
      continue;
    }
    if (std::chrono::steady_clock::now() < posted_deadline_) {
      cv_.wait_until(lock, posted_deadline_);
      continue;
    }
    posted_armed_ = false;
    const int32_t thread = thread_id_;
    const int32_t event = event_;
    lock.unlock();
    net::CurrentEventPoster()->PostEvent(thread, event);
    lock.lock();
  }
}

}  // namespace vm::mail
