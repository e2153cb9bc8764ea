#pragma once

#include <chrono>
#include <mutex>

// A lock that is only ever waited for with a bound, so that a thread which
// holds it for too long (an abandoned call) can never wedge the others.
class Lock {
 public:
  bool tryLockFor(std::chrono::milliseconds timeout) { return mutex_.try_lock_for(timeout); }
  void unlock() { mutex_.unlock(); }

 private:
  std::timed_mutex mutex_;
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
