#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "common/Thread.h"
#include "sys/posix/UeventMessage.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// A thread that reads the kernel's uevents from a NETLINK_KOBJECT_UEVENT
// socket and passes each block partition event on, one after the other.
// Messages that did not come from the kernel, or that are malformed, are
// dropped and reported. The thread shares the socket and the callbacks, so a
// thread held up by a delivery may outlive the listener.
class UeventListener {
 public:
  using Deliver = std::function<void(const UeventMessage&)>;
  using Drop = std::function<void(const std::string& reason)>;

  static constexpr std::chrono::milliseconds kStopWait{10000};

  // Opens the socket and starts the thread; null, with a Win32 error, when
  // either cannot be done.
  static std::unique_ptr<UeventListener> start(Deliver deliver, Drop drop, uint32_t& error);
  // Asks the thread to stop and waits for it at most the stop bound: it ends
  // after the delivery in progress, or by itself later when that delivery
  // does not return in time. Must not run on the listener's own thread.
  ~UeventListener();
  UeventListener(const UeventListener&) = delete;
  UeventListener& operator=(const UeventListener&) = delete;

  // Replaces how long every listener's end waits for its thread (tests);
  // returns the previous bound.
  static std::chrono::milliseconds swapStopWait(std::chrono::milliseconds wait);

  // Asks the thread to end after the delivery in progress, without waiting:
  // it delivers nothing more.
  void requestStop();
  bool onListenerThread() const { return std::this_thread::get_id() == shared_->threadId.load(); }
  // The netlink port id of the socket.
  uint32_t portId() const;

 private:
  // Everything the thread uses.
  struct Shared {
    void run();
    void receiveOne();

    UniqueFd socket;
    UniqueFd wake;  // an eventfd that wakes the thread to see the stop request
    Deliver deliver;
    Drop drop;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::thread::id> threadId;
  };

  explicit UeventListener(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}

  std::shared_ptr<Shared> shared_;
  Thread thread_;

  static std::atomic<std::chrono::milliseconds> stopWait_;
};

}  // namespace sys::posix
