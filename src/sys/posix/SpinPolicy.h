#pragma once

#include <algorithm>
#include <chrono>

namespace sys::posix {

// Whether a thread that waits for the other side of a port waits awake
// (polling, without a system sleep) for up to `limit` before it sleeps: a
// sleep and the wake-up after it cost more than a short spin, but a spin that
// ends in a sleep anyway, or that other work on a busy core kept from
// running, is lost. Only every interval-th wait spins: a lost spin makes the
// interval four times longer (up to kLongestInterval), a won one halves it,
// so that the thread spins at every wait while spins win, and almost never
// while they lose, yet notices when they would win again.
// Not thread-safe: one waiting thread.
class SpinPolicy {
 public:
  static constexpr unsigned kLongestInterval = 1024;

  explicit constexpr SpinPolicy(std::chrono::microseconds limit) : limit_(limit) {}

  std::chrono::microseconds limit() const { return limit_; }
  // Whether the next wait begins awake.
  bool spinNext() { return ++waitsSinceSpin_ >= interval_; }
  // How a wait that began awake ended: with the event within the limit, or not.
  void spun(bool won) {
    interval_ = won ? std::max(interval_ / 2, 1u) : std::min(interval_ * 4, kLongestInterval);
    waitsSinceSpin_ = 0;
  }

 private:
  const std::chrono::microseconds limit_;
  unsigned interval_ = 1;
  unsigned waitsSinceSpin_ = 0;
};

}  // namespace sys::posix
