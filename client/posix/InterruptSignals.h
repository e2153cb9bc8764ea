#pragma once

#include <signal.h>

#include <chrono>

#include "sys/posix/UniqueFd.h"

// Turns SIGINT, SIGTERM and SIGHUP into something the client waits for
// while it lives, instead of the end of the process: they are blocked and
// read from a signal descriptor, so that an interrupted mount can still be
// seen through. Signals that arrived and were not taken are dropped when it
// ends. For a process with a single thread (the mask is this thread's).
class InterruptSignals {
 public:
  InterruptSignals();
  ~InterruptSignals();
  InterruptSignals(const InterruptSignals&) = delete;
  InterruptSignals& operator=(const InterruptSignals&) = delete;

  // Readable while a signal waits to be taken.
  int fd() const { return fd_.get(); }
  // Takes the signals that arrived; true when there was one.
  bool take();
  // Waits for `time`, or until a signal arrives (taken); true for a signal.
  bool wait(std::chrono::milliseconds time);

 private:
  sigset_t signals_{};
  sigset_t previousMask_{};
  sys::posix::UniqueFd fd_;
};
