#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

class Event;
class Thread;

// The watchdog: one process-wide thread that wakes every 30 s, or at once
// when woken, and works off what other parts of the service marked as due:
// a driver connection that never completed (is the driver still holding its
// disk?), probes of arrived volumes that overstay, and device-exists checks
// after the service's volume went away. The markers are changed from any
// thread without a lock, each change one atomic step; the tasks run on the
// watchdog thread alone.
//
// The markers live with the device control code; the thread and its tasks
// (TimerTaskThread.cpp) use the port, image and volume subsystems, which
// themselves raise the markers.
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

  // Sets the markers to 0 and starts the thread; at process start.
  static void start();
  // Ends the thread, waiting 1000 ms for it; one that does not leave in time
  // has its driver query cancelled and is left to end by itself. Once
  // stopped, the thread sends the driver nothing more and acts on no answer.
  // Nothing when no thread was started. At process end.
  static void stop();
  // Replaces the time between two passes (tests); returns the previous one.
  static std::chrono::milliseconds swapPeriod(std::chrono::milliseconds period);

 private:
  // What one started thread shares with stop: its flags and its stop event.
  // The thread holds its own reference, so a thread left running never
  // touches a later one's.
  struct Session;

  static void run(Session& session);
  // One wake-up's due tasks, in their fixed order.
  static void runPass(Session& session, bool woken);
  // Each returns whether its check is done; when it is not (the image could
  // not be closed, or the watchdog is stopping) its marker stays raised.
  static bool processDriverTask(Session& session);
  static bool processIsDevExistsTask(Session& session);

  static std::atomic<uint32_t> lpcConnectPending_;
  static std::atomic<uint32_t> devNotificatorTasks_;
  static std::atomic<uint32_t> isDevExistsTasks_;
  static std::atomic<Event*> wakeUpEvent_;
  // The started thread and its session; start and stop run on one thread
  // (process start and end), so they need no lock.
  static std::unique_ptr<Thread> thread_;
  static std::shared_ptr<Session> session_;
};
