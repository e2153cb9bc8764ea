#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/Lock.h"
#include "lpc/LpcDiskMessage.h"
#include "sys/Ports.h"

// The named port over which the virtual-disk driver fetches the disk's
// sectors: one connection at a time, accepted only while an image is open,
// one request and one reply per connection. Read data goes to the start of
// the client's view, write data from its second window. Only the port
// thread calls create, lpc_listen and handle_request; any thread may close
// the handles to break a blocked wait.
class LpcServer {
 public:
  enum ListenResult { Connected = 0, PortGone = 1, ConnectionFailed = 2 };

  LpcServer() = default;
  ~LpcServer();
  LpcServer(const LpcServer&) = delete;
  LpcServer& operator=(const LpcServer&) = delete;

  bool create();
  int lpc_listen();
  bool handle_request();
  void closePort();
  void closeCommPort();

  // The text of the last failure (empty when the last call succeeded).
  const std::u16string& lastError() const { return lastError_; }

 private:
  void serve();
  // Whether a request of `length` bytes fits its window of the client's view.
  bool fitsView(uint8_t op, uint32_t length) const;
  void closeHandle(std::atomic<sys::Ports::Handle>& handle);

  sys::ClientView view_;
  uint8_t* readWindow_ = nullptr;
  uint8_t* writeWindow_ = nullptr;
  std::atomic<sys::Ports::Handle> portHandle_{sys::Ports::kNoHandle};
  std::atomic<sys::Ports::Handle> commPortHandle_{sys::Ports::kNoHandle};
  LpcDiskMessage message_;
  Lock serverLock_;
  std::u16string lastError_;
};
