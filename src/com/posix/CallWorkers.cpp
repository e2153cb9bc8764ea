#include "com/posix/CallWorkers.h"

#include <algorithm>
#include <utility>

#include "common/Thread.h"

namespace {

// How long an idle thread sleeps before it looks at the stop flag again.
constexpr std::chrono::milliseconds kIdleWait{1000};

}  // namespace

CallWorkers::CallWorkers() {
  for (size_t i = 0; i < kThreads; ++i) {
    auto thread = std::make_unique<Thread>();
    if (thread->start([shared = shared_] { work(*shared); })) threads_.push_back(std::move(thread));
  }
}

CallWorkers::~CallWorkers() {
  if (!stopped_) stop(kStopWait);
}

bool CallWorkers::submit(const std::string& caller, std::function<void()> job) {
  {
    const std::lock_guard<std::mutex> guard(shared_->mutex);
    size_t& callersJobs = shared_->callersJobs[caller];
    if (shared_->stopping || threads_.empty() || shared_->jobs.size() >= kMaxWaiting || callersJobs >= kMaxPerCaller) {
      if (callersJobs == 0) shared_->callersJobs.erase(caller);
      return false;
    }
    ++callersJobs;
    shared_->jobs.push_back(Job{caller, std::move(job)});
  }
  shared_->changed.notify_one();
  return true;
}

bool CallWorkers::stop(std::chrono::milliseconds wait) {
  stopped_ = true;
  std::deque<Job> dropped;
  {
    const std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->stopping = true;
    dropped.swap(shared_->jobs);
  }
  dropped.clear();  // what they hold (their calls' messages) goes now, outside the mutex
  shared_->changed.notify_all();
  const auto deadline = std::chrono::steady_clock::now() + wait;
  bool allEnded = true;
  for (const std::unique_ptr<Thread>& thread : threads_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    allEnded = thread->waitFor(std::max(left, std::chrono::milliseconds(0))) && allEnded;
  }
  return allEnded;
}

void CallWorkers::work(Shared& shared) {
  std::unique_lock<std::mutex> lock(shared.mutex);
  while (!shared.stopping) {
    if (shared.jobs.empty()) {
      shared.changed.wait_for(lock, kIdleWait);
      continue;
    }
    Job job = std::move(shared.jobs.front());
    shared.jobs.pop_front();
    lock.unlock();
    try {
      job.work();
    } catch (...) {
      // A job replies to its call itself; one that could not has nothing more to tell.
    }
    job.work = nullptr;  // what the job holds goes before the next one is taken
    lock.lock();
    if (--shared.callersJobs[job.caller] == 0) shared.callersJobs.erase(job.caller);
  }
}
