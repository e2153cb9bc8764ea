#include "com/posix/CallWorkers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/Event.h"

using namespace std::chrono_literals;

namespace {

// Bounds every wait of the tests; none is expected to come near it.
constexpr auto kWait = 30s;

// A caller of its own for each job, so that the bound per caller plays no part.
std::string anyCaller() {
  static std::atomic<int> next{0};
  return "caller " + std::to_string(next++);
}

}  // namespace

TEST(CallWorkersTest, JobsRunOffTheCallersThreadAndAJobThatThrowsEndsAlone) {
  CallWorkers workers;
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> done{0};
  Event allDone(Event::Reset::Manual);
  constexpr int kJobs = 10;
  ASSERT_TRUE(workers.submit(anyCaller(), [] { throw std::runtime_error("a job that fails"); }));
  for (int i = 0; i < kJobs; ++i) {
    ASSERT_TRUE(workers.submit(anyCaller(), [&] {
      {
        const std::lock_guard<std::mutex> guard(mutex);
        threads.insert(std::this_thread::get_id());
      }
      if (++done == kJobs) allDone.set();
    }));
  }
  ASSERT_TRUE(allDone.wait(kWait));
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
  EXPECT_TRUE(workers.stop(kWait));
}

// A few jobs run at a time and a bounded number wait; beyond that a call is refused at once.
TEST(CallWorkersTest, BeyondTheWaitingBoundAJobIsRefused) {
  CallWorkers workers;
  constexpr size_t kAll = CallWorkers::kThreads + CallWorkers::kMaxWaiting;
  Event release(Event::Reset::Manual);
  Event allRunning(Event::Reset::Manual);
  Event allFinished(Event::Reset::Manual);
  std::atomic<size_t> running{0};
  std::atomic<size_t> finished{0};
  const auto finish = [&] {
    if (++finished == kAll) allFinished.set();
  };
  for (size_t i = 0; i < CallWorkers::kThreads; ++i) {
    ASSERT_TRUE(workers.submit(anyCaller(), [&] {
      if (++running == CallWorkers::kThreads) allRunning.set();
      release.wait(kWait);
      finish();
    }));
  }
  ASSERT_TRUE(allRunning.wait(kWait));
  for (size_t i = 0; i < CallWorkers::kMaxWaiting; ++i) EXPECT_TRUE(workers.submit(anyCaller(), finish));
  EXPECT_FALSE(workers.submit(anyCaller(), finish));

  release.set();
  ASSERT_TRUE(allFinished.wait(kWait));
  EXPECT_EQ(finished.load(), kAll);
  EXPECT_TRUE(workers.submit(anyCaller(), [] {}));
  EXPECT_TRUE(workers.stop(kWait));
}

TEST(CallWorkersTest, StoppingDropsTheJobsNotStartedAndRefusesNewOnes) {
  CallWorkers workers;
  Event release(Event::Reset::Manual);
  Event allRunning(Event::Reset::Manual);
  std::atomic<size_t> running{0};
  for (size_t i = 0; i < CallWorkers::kThreads; ++i) {
    ASSERT_TRUE(workers.submit(anyCaller(), [&] {
      if (++running == CallWorkers::kThreads) allRunning.set();
      release.wait(kWait);
    }));
  }
  ASSERT_TRUE(allRunning.wait(kWait));
  // The waiting job holds what lets the running ones end, as a job holds its
  // call's message: dropping it, and nothing else, ends them.
  std::atomic<int> ran{0};
  std::shared_ptr<int> held(new int(0), [&release](int* value) {
    delete value;
    release.set();
  });
  ASSERT_TRUE(workers.submit(anyCaller(), [&ran, held] { ++ran; }));
  held.reset();
  EXPECT_TRUE(workers.stop(kWait));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_FALSE(workers.submit(anyCaller(), [] {}));
}

// One caller has a bounded number of jobs waiting or running; others are
// taken meanwhile, and the caller's next job once one of its own has ended.
TEST(CallWorkersTest, OneCallerHasABoundedNumberOfJobs) {
  CallWorkers workers;
  Event release(Event::Reset::Manual);
  Event oneEnded(Event::Reset::Manual);
  std::atomic<size_t> ended{0};
  for (size_t i = 0; i < CallWorkers::kMaxPerCaller; ++i) {
    ASSERT_TRUE(workers.submit("greedy", [&, i] {
      if (i > 0) release.wait(kWait);
      ++ended;
      if (i == 0) oneEnded.set();
    }));
  }
  ASSERT_TRUE(oneEnded.wait(kWait));
  // Its first job has ended; the slot it held is free once the worker counts it.
  bool again = false;
  for (auto waited = 0ms; !again && waited < kWait; waited += 10ms) {
    again = workers.submit("greedy", [&] { release.wait(kWait); });
    if (!again) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(again);
  EXPECT_FALSE(workers.submit("greedy", [] {})) << "a fourth job of one caller";
  EXPECT_TRUE(workers.submit("other", [] {}));
  release.set();
  EXPECT_TRUE(workers.stop(kWait));
}
