#pragma once

#include <atomic>
#include <cstdint>

class Event;

// The watchdog's markers: work that other parts of the service mark as due
// and the watchdog thread works off when it wakes. Every change is one atomic
// step, callable from any thread without a lock.
class TimerTask {
 public:
  static void setLpcConnectPending();
  static void clearLpcConnectPending();
  static void addDevNotificatorTask();
  // Lowers the count by one, never below 0.
  static void removeDevNotificatorTask();
  // Counts one more device-exists check and wakes the watchdog, if it has an event.
  static void requestIsDevExistsCheck();

  static uint32_t lpcConnectPending();
  static uint32_t devNotificatorTasks();
  static uint32_t isDevExistsTasks();

  // The event that wakes the watchdog thread; null while it has none.
  static void setWakeUpEvent(Event* event);

 private:
  static std::atomic<uint32_t> lpcConnectPending_;
  static std::atomic<uint32_t> devNotificatorTasks_;
  static std::atomic<uint32_t> isDevExistsTasks_;
  static std::atomic<Event*> wakeUpEvent_;
};
