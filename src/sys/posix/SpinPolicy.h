#pragma once

#include <chrono>

namespace sys::posix {

// Whether a thread that waits for the other side of a port waits awake
// (polling, without a system sleep) for up to `limit` before it sleeps: a
// sleep and the wake-up after it cost more than a short spin, but a spin that
// ends in a sleep anyway is lost. After a spin that ended with the event it
// spins again; after one that did not, only every kProbeEvery-th wait, so
// that it notices when events come sooner again. Not thread-safe: one
// waiting thread.
class SpinPolicy {
 public:
  static constexpr unsigned kProbeEvery = 16;

  explicit constexpr SpinPolicy(std::chrono::microseconds limit) : limit_(limit) {}

  std::chrono::microseconds limit() const { return limit_; }
  // Whether the next wait begins awake.
  bool spinNext() { return lastSpinWon_ || ++waitsSinceSpin_ % kProbeEvery == 0; }
  // How a wait that began awake ended: with the event within the limit, or not.
  void spun(bool won) {
    lastSpinWon_ = won;
    waitsSinceSpin_ = 0;
  }

 private:
  const std::chrono::microseconds limit_;
  bool lastSpinWon_ = true;
  unsigned waitsSinceSpin_ = 0;
};

}  // namespace sys::posix
