#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "sys/Ports.h"
#include "sys/posix/SpinPolicy.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

// The driver's side of a named port: a shared view (a memfd sealed against
// shrinking, mapped here, with the channel's mailbox after it) and one
// request per connection, as the service expects, carried on a channel: one
// socket, kept open from one request to the next, to which the view is handed
// over once; after the first, requests and replies pass through the mailbox
// and only the bells are rung. Not thread-safe: one request at a time per
// client.
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

  // Sends `message` as one connection's request and puts the reply into it;
  // each wait is bounded by `timeout`. A channel that ended since its last
  // request (the service dropped or restarted it) is replaced by a new one
  // and the request sent there. An NTSTATUS: PortConnectionRefused when the
  // server refused or dropped the connection, IoTimeout when it did not
  // answer in time, ObjectPathNotFound when no port has that name.
  int32_t request(PortMessage& message, std::chrono::milliseconds timeout);
  // Which step of the last failed request failed, and why ("reply: connection
  // reset by peer"); empty after a request that succeeded.
  const std::string& lastFailure() const { return lastFailure_; }

 private:
  // One connection on the channel; the channel is closed when it fails.
  int32_t exchange(PortMessage& message, std::chrono::milliseconds timeout);
  // The channel's first connection, on its socket: the connection request
  // with the view, the request, and the reply with the bells.
  int32_t openChannel(PortMessage& message, std::chrono::milliseconds timeout);
  int32_t connectChannel(std::chrono::milliseconds timeout);
  int32_t sendConnectionRequest();
  int32_t receiveFirstReply(PortMessage& reply, std::chrono::milliseconds timeout);
  // A later connection, through the mailbox.
  int32_t exchangeThroughMailbox(PortMessage& message, std::chrono::milliseconds timeout);
  void closeChannel();
  int32_t fail(const char* step, int32_t status);

  std::string socketPath_;
  UniqueFd channel_;
  UniqueFd requestBell_;
  UniqueFd replyBell_;
  UniqueFd memfd_;
  uint8_t* view_ = nullptr;
  uint32_t viewSize_ = 0;
  size_t mappedSize_ = 0;  // the view and the mailbox
  uint32_t sequence_ = 0;  // of the last request through the mailbox
  // A reply through the mailbox is waited for awake for up to 50 µs.
  SpinPolicy replySpin_{std::chrono::microseconds(50)};
  std::string lastFailure_;
};

}  // namespace sys::posix
