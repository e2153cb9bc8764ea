#include "device/ThreadWorker.h"

#include "common/Event.h"
#include "common/Thread.h"
#include "device/IoctlDevManager.h"
#include "sys/Platform.h"

std::atomic<std::chrono::milliseconds> ThreadWorker::wait_{ThreadWorker::kWait};

std::chrono::milliseconds ThreadWorker::swapWait(std::chrono::milliseconds wait) { return wait_.exchange(wait); }

bool ThreadWorker::exec() {
  if (started_.exchange(true)) return false;
  // The thread shares the worker and the events, so they outlive an abandoned thread.
  auto self = shared_from_this();
  auto threadId = std::make_shared<std::atomic<std::thread::id>>();
  // The request is made for the call the caller serves, as if by the caller.
  sys::Tokens::Call call = sys::platform().tokens().currentCall();
  Thread thread;
  if (!thread.start([self, threadId, call = std::move(call)] {
        threadId->store(std::this_thread::get_id());
        const std::shared_ptr<void> serving = sys::platform().tokens().serveCall(call);
        self->run();
      })) {
    return false;
  }
  finished_ = thread.waitFor(wait_.load());
  if (!finished_) {
    // Set before the cancel: a request about to start either sees it or is cancelled.
    abandoned_ = true;
    IoctlDevManager::cancelRequestOf(threadId->load());
  }
  return true;
}
