#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// A signal between threads, as a Windows event: a manual-reset event stays set
// until reset; an auto-reset event releases one waiter and resets itself.
// Waits are always bounded. Thread-safe.
class Event {
 public:
  enum class Reset { Manual, Auto };

  explicit Event(Reset reset, bool initiallySet = false) : autoReset_(reset == Reset::Auto), set_(initiallySet) {}

  void set();
  void reset();
  // True when the event was set within `timeout`.
  bool wait(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  const bool autoReset_;
  bool set_;
};
