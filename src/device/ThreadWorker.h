#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

// Runs one driver control request on a thread of its own, which its caller
// waits for at most 10 seconds. A worker that overruns has its request
// cancelled, sends the driver nothing more and is left to end by itself
// (never killed); it owns copies of its arguments and results, so nothing it
// touches goes away under it. Workers are made with std::make_shared.
class ThreadWorker : public std::enable_shared_from_this<ThreadWorker> {
 public:
  static constexpr std::chrono::milliseconds kWait{10000};

  virtual ~ThreadWorker() = default;

  // Replaces how long every worker's caller waits for it (tests); returns the
  // previous bound.
  static std::chrono::milliseconds swapWait(std::chrono::milliseconds wait);

  // Starts the thread and waits for it; false when no thread could be
  // started. `finished()` tells whether it ended in time.
  bool exec();
  bool finished() const { return finished_; }

 protected:
  virtual int run() = 0;
  // Set when the caller stopped waiting: the request must not start any more.
  const std::atomic<bool>& abandoned() const { return abandoned_; }

 private:
  std::atomic<bool> started_{false};
  std::atomic<bool> abandoned_{false};
  bool finished_ = false;

  static std::atomic<std::chrono::milliseconds> wait_;
};
