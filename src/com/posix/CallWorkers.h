#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Thread;

// Runs the work of method calls off the bus loop, so that a mount that takes
// minutes leaves the service answering: a few threads take the jobs in the
// order they came, and a bounded number wait for a thread. One caller has at
// most kMaxPerCaller jobs waiting or running, so that no caller fills the
// queue or holds every thread for everyone. Jobs report their own results;
// one that throws ends quietly. Thread-safe.
class CallWorkers {
 public:
  static constexpr size_t kThreads = 8;
  static constexpr size_t kMaxWaiting = 32;
  static constexpr size_t kMaxPerCaller = 3;
  static constexpr std::chrono::milliseconds kStopWait{15000};

  CallWorkers();
  // Stops, waiting at most kStopWait, unless stopped before.
  ~CallWorkers();
  CallWorkers(const CallWorkers&) = delete;
  CallWorkers& operator=(const CallWorkers&) = delete;

  // Queues `job` of `caller`; false when kMaxWaiting jobs wait already, the
  // caller has kMaxPerCaller waiting or running, no thread runs, or the
  // workers are stopping.
  bool submit(const std::string& caller, std::function<void()> job);
  // Drops the jobs that have not started and waits, at most `wait` in all,
  // for those that run; true when every thread has ended. A thread that runs
  // on is left to end by itself.
  bool stop(std::chrono::milliseconds wait);

 private:
  // What the threads share with the pool; a thread left running keeps it.
  struct Job {
    std::string caller;
    std::function<void()> work;
  };
  struct Shared {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::deque<Job> jobs;
    std::map<std::string, size_t> callersJobs;  // waiting or running, by caller
    bool stopping = false;
  };

  static void work(Shared& shared);

  const std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
  std::vector<std::unique_ptr<Thread>> threads_;
  bool stopped_ = false;  // stop and the destructor run on the owner's thread
};
