#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "sys/posix/UeventMessage.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// A thread that reads the kernel's uevents from a NETLINK_KOBJECT_UEVENT
// socket and passes each block partition event on, one after the other.
// Messages that did not come from the kernel, or that are malformed, are
// dropped and reported.
class UeventListener {
 public:
  using Deliver = std::function<void(const UeventMessage&)>;
  using Drop = std::function<void(const std::string& reason)>;

  // Opens the socket and starts the thread; null, with a Win32 error, when
  // either cannot be done.
  static std::unique_ptr<UeventListener> start(Deliver deliver, Drop drop, uint32_t& error);
  // Wakes the thread and joins it: it ends after the delivery in progress.
  // Must not run on the listener's own thread.
  ~UeventListener();
  UeventListener(const UeventListener&) = delete;
  UeventListener& operator=(const UeventListener&) = delete;

  // Asks the thread to end after the delivery in progress, without waiting.
  void requestStop();
  bool onListenerThread() const { return std::this_thread::get_id() == thread_.get_id(); }
  // The netlink port id of the socket.
  uint32_t portId() const;

 private:
  UeventListener(UniqueFd socket, UniqueFd wake, Deliver deliver, Drop drop);
  void run();
  void receiveOne();

  UniqueFd socket_;
  UniqueFd wake_;  // an eventfd that asks the thread to end
  Deliver deliver_;
  Drop drop_;
  std::thread thread_;
};

}  // namespace sys::posix
