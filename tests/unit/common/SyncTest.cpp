#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "common/Event.h"
#include "common/Lock.h"
#include "common/Thread.h"

using namespace std::chrono_literals;

TEST(Lock, WaitIsBoundedWhileAnotherThreadHoldsIt) {
  Lock lock;
  Event taken(Event::Reset::Manual);
  Event release(Event::Reset::Manual);
  Thread holder;
  ASSERT_TRUE(holder.start([&] {
    ScopedLock guard(lock, 1000ms);
    taken.set();
    release.wait(10000ms);
  }));
  ASSERT_TRUE(taken.wait(5000ms));
  {
    const auto start = std::chrono::steady_clock::now();
    ScopedLock guard(lock, 50ms);
    EXPECT_FALSE(guard.locked());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
  }
  release.set();
  ASSERT_TRUE(holder.waitFor(5000ms));
  ScopedLock guard(lock, 1000ms);
  EXPECT_TRUE(guard.locked());
}

TEST(Event, ManualResetStaysSetUntilReset) {
  Event event(Event::Reset::Manual);
  EXPECT_FALSE(event.wait(0ms));
  event.set();
  EXPECT_TRUE(event.wait(0ms));
  EXPECT_TRUE(event.wait(0ms));
  event.reset();
  EXPECT_FALSE(event.wait(10ms));
}

TEST(Event, AutoResetReleasesOneWaiter) {
  Event event(Event::Reset::Auto, true);
  EXPECT_TRUE(event.wait(0ms));
  EXPECT_FALSE(event.wait(10ms));

  std::atomic<int> released{0};
  Thread first;
  Thread second;
  auto waiter = [&] {
    if (event.wait(3000ms)) ++released;
  };
  ASSERT_TRUE(first.start(waiter));
  ASSERT_TRUE(second.start(waiter));
  event.set();
  // One of the two waiters gets through; the other times out after its bound.
  ASSERT_TRUE(first.waitFor(10000ms));
  ASSERT_TRUE(second.waitFor(10000ms));
  EXPECT_EQ(released.load(), 1);
}

TEST(Thread, WaitForReportsWhetherTheBodyEnded) {
  Event go(Event::Reset::Manual);
  Thread thread;
  ASSERT_TRUE(thread.start([&] { go.wait(10000ms); }));
  EXPECT_FALSE(thread.waitFor(20ms));
  go.set();
  EXPECT_TRUE(thread.waitFor(5000ms));
  EXPECT_TRUE(thread.waitFor(0ms));
}

TEST(Thread, StartsOnlyOnce) {
  Thread thread;
  ASSERT_TRUE(thread.start([] {}));
  EXPECT_FALSE(thread.start([] {}));
  EXPECT_TRUE(thread.waitFor(5000ms));
}

TEST(Thread, OwnerMayLeaveAThreadThatHasNotEnded) {
  auto go = std::make_shared<Event>(Event::Reset::Manual);
  auto done = std::make_shared<Event>(Event::Reset::Manual);
  {
    Thread thread;
    ASSERT_TRUE(thread.start([go, done] {
      go->wait(10000ms);
      done->set();
    }));
    EXPECT_FALSE(thread.waitFor(10ms));
  }  // the owner goes away at once; the thread is not killed
  go->set();
  EXPECT_TRUE(done->wait(5000ms));
}

TEST(Thread, AnExceptionEndsOnlyTheBody) {
  Thread thread;
  ASSERT_TRUE(thread.start([] { throw std::runtime_error("escaped"); }));
  EXPECT_TRUE(thread.waitFor(5000ms));
}
