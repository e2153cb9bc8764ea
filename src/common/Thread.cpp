#include "common/Thread.h"

#include <system_error>

Thread::~Thread() {
  if (!thread_.joinable()) return;
  if (state_->ended.wait(std::chrono::milliseconds(0))) {
    thread_.join();
  } else {
    thread_.detach();
  }
}

bool Thread::start(std::function<void()> body) {
  if (state_) return false;
  auto state = std::make_shared<State>();
  try {
    thread_ = std::thread([state, body = std::move(body)] {
      try {
        body();
      } catch (...) {
        // Nothing may cross a thread's entry; the function reports its own failures.
      }
      state->ended.set();
    });
  } catch (const std::system_error& error) {
    startError_ = error.code().value();
    return false;
  }
  state_ = std::move(state);
  return true;
}

bool Thread::waitFor(std::chrono::milliseconds timeout) { return state_ && state_->ended.wait(timeout); }
