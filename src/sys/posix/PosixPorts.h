#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "sys/Ports.h"

namespace sys::posix {

// Named ports as Unix SOCK_SEQPACKET sockets in the runtime directory (see
// PortProtocol.h). Only processes of the service's user, root, or the user
// named by $VKBVD_DRIVER_UID may connect; others are dropped unanswered. The
// client's view is a sealed memfd mapped here, and the mapping is kept for the
// next connection with the same view. Handles are entries of a table: closing
// one shuts its socket down, which wakes a thread waiting on it, and the
// descriptor is released when the last operation using it has returned.
class PosixPorts final : public Ports {
 public:
  PosixPorts();
  ~PosixPorts() override;

  int32_t createPort(Handle& port, const std::u16string& name, uint32_t maxConnectionInfoLength,
                     uint32_t maxMessageLength, uint32_t maxPoolUsage) override;
  int32_t listenPort(Handle port, PortMessage& message) override;
  int32_t acceptConnectPort(Handle& communicationPort, const PortMessage& message, bool accept,
                            ClientView& view) override;
  int32_t completeConnectPort(Handle communicationPort) override;
  int32_t replyWaitReceivePort(Handle communicationPort, PortMessage& message) override;
  int32_t replyPort(Handle communicationPort, const PortMessage& message) override;
  int32_t close(Handle handle) override;

 private:
  struct Endpoint;
  struct Pending;

  std::shared_ptr<Endpoint> find(Handle handle, bool listening);
  Handle add(std::shared_ptr<Endpoint> endpoint);
  bool peerAllowed(int fd, uint32_t& pid) const;
  bool receiveConnectionRequest(int fd, Pending& pending, PortMessage& message);

  std::mutex mutex_;
  std::map<Handle, std::shared_ptr<Endpoint>> handles_;
  std::map<uint32_t, std::unique_ptr<Pending>> pending_;
  Handle nextHandle_ = 1;
  uint32_t nextMessageId_ = 1;
  uint32_t driverUid_;
};

}  // namespace sys::posix
