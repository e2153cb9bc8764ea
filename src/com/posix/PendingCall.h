#pragma once

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>

#include <memory>
#include <string>
#include <utility>

#include "com/posix/ServiceConnection.h"

// A method call that is answered later, from any thread. It keeps the
// connection alive until then, and wakes the connection's loop after the
// reply, so that what the socket did not take at once goes out. A reply that
// cannot be sent (the caller or the bus is gone) is dropped: nobody is left
// to tell.
class PendingCall {
 public:
  PendingCall(std::shared_ptr<ServiceConnection> connection, sdbus::MethodCall call)
      : connection_(std::move(connection)), call_(std::move(call)) {}

  template <class... Values>
  void reply(const Values&... values) const {
    try {
      sdbus::MethodReply reply = call_.createReply();
      ((reply << values), ...);
      reply.send();
    } catch (const sdbus::Error&) {
    }
    connection_->wake();
  }

  void fail(const std::string& errorName, const std::string& message) const {
    try {
      call_.createErrorReply(sdbus::Error(errorName, message)).send();
    } catch (const sdbus::Error&) {
    }
    connection_->wake();
  }

  const sdbus::MethodCall& call() const { return call_; }

 private:
  std::shared_ptr<ServiceConnection> connection_;  // declared first: outlives the message
  sdbus::MethodCall call_;
};
