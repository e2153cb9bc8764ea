#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A lock that is only ever waited for with a bound, so that a thread which
// holds it for too long (an abandoned call) can never wedge the others. Built
// on a mutex and a condition variable rather than std::timed_mutex, whose
// timed wait the thread checkers cannot see.
class Lock {
 public:
  bool tryLockFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex_);
    if (!released_.wait_for(guard, timeout, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  // Notifies under the mutex: a waiter that takes the lock next may destroy
  // the Lock as soon as it can, so nothing of it is touched after the mutex.
  void unlock() {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = false;
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// Holds a Lock for a scope when it could be taken within the bound.
class ScopedLock {
 public:
  ScopedLock(Lock& lock, std::chrono::milliseconds timeout) : lock_(lock), locked_(lock.tryLockFor(timeout)) {}
  ~ScopedLock() {
    if (locked_) lock_.unlock();
  }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

  bool locked() const { return locked_; }

 private:
  Lock& lock_;
  bool locked_;
};
