#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "common/NtStatus.h"
#include "lpc/LpcDiskMessage.h"
#include "sys/Ports.h"

// Ports whose clients the test scripts: each queued connection brings a view
// and one request, or a failure at a chosen step. Waits end when the test
// queues something or a handle is closed, as the system's do.
class FakePorts : public sys::Ports {
 public:
  struct Connection {
    Connection(std::vector<uint8_t>* clientView = nullptr, LpcDiskMessage message = {})
        : view(clientView), request(message) {}

    std::vector<uint8_t>* view;  // the client's view, owned by the test
    LpcDiskMessage request;
    int32_t acceptStatus = NtStatus::Success;
    int32_t completeStatus = NtStatus::Success;
    int32_t receiveStatus = NtStatus::Success;
    int32_t replyStatus = NtStatus::Success;
    bool neverSends = false;  // the receive waits until its handle is closed
  };

  int32_t createStatus = NtStatus::Success;
  int32_t listenStatus = NtStatus::Success;

  // What the server did.
  std::vector<std::u16string> createdNames;
  std::vector<uint32_t> maxMessageLengths;
  std::vector<bool> acceptDecisions;
  std::vector<LpcDiskMessage> replies;
  int closes = 0;

  void connect(Connection connection) {
    std::lock_guard<std::mutex> guard(mutex_);
    queue_.push_back(std::move(connection));
    changed_.notify_all();
  }

  // Waits until `count` replies were sent (bounded by the test's own limit).
  bool waitForReplies(size_t count) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return replies.size() >= count; });
  }

  // Waits until the server waited in a listen `count` times.
  bool waitForListens(size_t count) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return listens_ >= count; });
  }

  bool waitForAcceptDecisions(size_t count) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return acceptDecisions.size() >= count; });
  }

  int32_t createPort(Handle& port, const std::u16string& name, uint32_t, uint32_t maxMessageLength, uint32_t) override {
    std::lock_guard<std::mutex> guard(mutex_);
    createdNames.push_back(name);
    maxMessageLengths.push_back(maxMessageLength);
    if (createStatus < 0) return createStatus;
    port = nextHandle_++;
    open_.push_back(port);
    return NtStatus::Success;
  }

  int32_t listenPort(Handle port, sys::PortMessage& message) override {
    std::unique_lock<std::mutex> guard(mutex_);
    if (listenStatus < 0) return listenStatus;
    ++listens_;
    changed_.notify_all();
    changed_.wait(guard, [&] { return !isOpen(port) || !queue_.empty(); });
    if (!isOpen(port)) return NtStatus::PortDisconnected;
    current_ = std::move(queue_.front());
    queue_.pop_front();
    message = {};
    return NtStatus::Success;
  }

  int32_t acceptConnectPort(Handle& comm, const sys::PortMessage&, bool accept, sys::ClientView& view) override {
    std::lock_guard<std::mutex> guard(mutex_);
    acceptDecisions.push_back(accept);
    changed_.notify_all();
    comm = kNoHandle;
    view = {};
    if (!accept) return NtStatus::Success;
    if (current_.acceptStatus < 0) return current_.acceptStatus;
    comm = nextHandle_++;
    open_.push_back(comm);
    if (current_.view) view = {current_.view->data(), static_cast<uint32_t>(current_.view->size()), nullptr};
    return NtStatus::Success;
  }

  int32_t completeConnectPort(Handle comm) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!isOpen(comm)) return NtStatus::InvalidHandle;
    return current_.completeStatus;
  }

  int32_t replyWaitReceivePort(Handle comm, sys::PortMessage& message) override {
    std::unique_lock<std::mutex> guard(mutex_);
    if (current_.neverSends) changed_.wait(guard, [&] { return !isOpen(comm); });
    if (!isOpen(comm)) return NtStatus::PortDisconnected;
    if (current_.receiveStatus < 0) return current_.receiveStatus;
    message = current_.request.message();
    return NtStatus::Success;
  }

  int32_t replyPort(Handle, const sys::PortMessage& message) override {
    std::lock_guard<std::mutex> guard(mutex_);
    LpcDiskMessage reply;
    reply.message() = message;
    replies.push_back(reply);
    changed_.notify_all();
    return current_.replyStatus;
  }

  int32_t close(Handle handle) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++closes;
    std::erase(open_, handle);
    changed_.notify_all();
    return NtStatus::Success;
  }

 private:
  bool isOpen(Handle handle) const { return std::find(open_.begin(), open_.end(), handle) != open_.end(); }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Connection> queue_;
  Connection current_;
  std::vector<Handle> open_;
  Handle nextHandle_ = 100;
  size_t listens_ = 0;
};

// A read or write request.
inline LpcDiskMessage diskRequest(uint8_t op, uint64_t offset, uint32_t length) {
  LpcDiskMessage message;
  message.setOp(op);
  message.setOffset(offset);
  message.setLength(length);
  message.message().bytes[42] = 0x77;  // reserved bytes travel back untouched
  return message;
}
