#include "device/TimerTask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "common/Event.h"
#include "common/Thread.h"

using namespace std::chrono_literals;

namespace {

void drainDevNotificatorTasks() {
  while (TimerTask::devNotificatorTasks() != 0) TimerTask::removeDevNotificatorTask();
}

}  // namespace

TEST(TimerTask, ConnectPendingIsAFlag) {
  TimerTask::setLpcConnectPending();
  TimerTask::setLpcConnectPending();
  EXPECT_EQ(TimerTask::lpcConnectPending(), 1u);
  TimerTask::clearLpcConnectPending();
  EXPECT_EQ(TimerTask::lpcConnectPending(), 0u);
}

TEST(TimerTask, NotificatorCountStopsAtZero) {
  drainDevNotificatorTasks();
  TimerTask::removeDevNotificatorTask();
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);
  TimerTask::addDevNotificatorTask();
  TimerTask::addDevNotificatorTask();
  TimerTask::removeDevNotificatorTask();
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 1u);
  drainDevNotificatorTasks();
}

// Many threads take the count down at once, more often than it was raised: it
// ends at exactly 0, never wrapping round below it.
TEST(TimerTask, ConcurrentDecrementsNeverGoBelowZero) {
  drainDevNotificatorTasks();
  constexpr int kRaised = 5000;
  for (int i = 0; i < kRaised; ++i) TimerTask::addDevNotificatorTask();
  Event go(Event::Reset::Manual);
  std::vector<std::unique_ptr<Thread>> threads;
  for (int t = 0; t < 8; ++t) {
    threads.push_back(std::make_unique<Thread>());
    ASSERT_TRUE(threads.back()->start([&go] {
      go.wait(10000ms);
      for (int i = 0; i < kRaised; ++i) TimerTask::removeDevNotificatorTask();
    }));
  }
  go.set();
  for (auto& thread : threads) ASSERT_TRUE(thread->waitFor(60000ms));
  EXPECT_EQ(TimerTask::devNotificatorTasks(), 0u);
}

TEST(TimerTask, DeviceExistsRequestsCountAndWakeTheWatchdog) {
  const uint32_t before = TimerTask::isDevExistsTasks();
  TimerTask::requestIsDevExistsCheck();  // no event yet: only the count changes
  Event wakeUp(Event::Reset::Auto);
  TimerTask::setWakeUpEvent(&wakeUp);
  TimerTask::requestIsDevExistsCheck();
  TimerTask::setWakeUpEvent(nullptr);
  EXPECT_EQ(TimerTask::isDevExistsTasks(), before + 2);
  EXPECT_TRUE(wakeUp.wait(0ms));
}
