#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sys/Ports.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// The driver's side of a named port: a shared view (a memfd sealed against
// shrinking, mapped here) and one request per connection, as the service
// expects. Not thread-safe: one request at a time per client.
class PortClient {
 public:
  explicit PortClient(const std::u16string& portName);
  ~PortClient();
  PortClient(const PortClient&) = delete;
  PortClient& operator=(const PortClient&) = delete;

  // Makes the view of `size` bytes; false on failure.
  bool createView(uint32_t size);
  uint8_t* view() const { return view_; }
  uint32_t viewSize() const { return viewSize_; }

  // Connects, hands over the view, sends `message` and puts the reply into it;
  // the wait is bounded by `timeout`. An NTSTATUS: PortConnectionRefused when
  // the server refused or dropped the connection, IoTimeout when it did not
  // answer in time, ObjectPathNotFound when no port has that name.
  int32_t request(PortMessage& message, std::chrono::milliseconds timeout);
  // Which step of the last failed request failed, and why ("reply: connection
  // reset by peer"); empty after a request that succeeded.
  const std::string& lastFailure() const { return lastFailure_; }

 private:
  int32_t connectAndHandOver(UniqueFd& connection, std::chrono::milliseconds timeout);
  int32_t fail(const char* step, int32_t status);

  std::string socketPath_;
  UniqueFd memfd_;
  uint8_t* view_ = nullptr;
  uint32_t viewSize_ = 0;
  std::string lastFailure_;
};

}  // namespace sys::posix
