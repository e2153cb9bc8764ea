#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "common/Event.h"

// Runs one function on a thread of its own. The owner waits for it with a
// bound. A thread is never killed: one that has not ended when its owner goes
// away is left to end by itself, so the function must own or share everything
// it uses. An exception that escapes the function ends the function only.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body`; false when no thread could be created (startError says
  // why) or one was started before.
  bool start(std::function<void()> body);
  // The system's error of the start that could not create a thread; 0 when none.
  int startError() const { return startError_; }
  // True once the function has returned (at once when it already has).
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  struct State {
    Event ended{Event::Reset::Manual};
  };
  std::shared_ptr<State> state_;
  std::thread thread_;
  int startError_ = 0;
};
