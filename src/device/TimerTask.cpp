#include "device/TimerTask.h"

#include "common/Event.h"

std::atomic<uint32_t> TimerTask::lpcConnectPending_{0};
std::atomic<uint32_t> TimerTask::devNotificatorTasks_{0};
std::atomic<uint32_t> TimerTask::isDevExistsTasks_{0};
std::atomic<Event*> TimerTask::wakeUpEvent_{nullptr};

void TimerTask::setLpcConnectPending() { lpcConnectPending_.store(1); }

void TimerTask::clearLpcConnectPending() { lpcConnectPending_.store(0); }

void TimerTask::addDevNotificatorTask() { devNotificatorTasks_.fetch_add(1); }

void TimerTask::removeDevNotificatorTask() {
  uint32_t count = devNotificatorTasks_.load();
  while (count != 0 && !devNotificatorTasks_.compare_exchange_weak(count, count - 1)) {
  }
}

void TimerTask::requestIsDevExistsCheck() {
  isDevExistsTasks_.fetch_add(1);
  if (Event* event = wakeUpEvent_.load()) event->set();
}

uint32_t TimerTask::lpcConnectPending() { return lpcConnectPending_.load(); }

uint32_t TimerTask::devNotificatorTasks() { return devNotificatorTasks_.load(); }

uint32_t TimerTask::isDevExistsTasks() { return isDevExistsTasks_.load(); }

void TimerTask::setWakeUpEvent(Event* event) { wakeUpEvent_.store(event); }
