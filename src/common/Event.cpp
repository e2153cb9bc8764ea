#include "common/Event.h"

// Notifies under the mutex: a waiter that wakes may destroy the Event as soon
// as it can, so nothing of it is touched after the mutex.
void Event::set() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = true;
  if (autoReset_) {
    changed_.notify_one();
  } else {
    changed_.notify_all();
  }
}

void Event::reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

bool Event::wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!changed_.wait_for(guard, timeout, [this] { return set_; })) return false;
  if (autoReset_) set_ = false;
  return true;
}
