#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "sys/Ports.h"

namespace sys::posix {

// Named ports as Unix SOCK_SEQPACKET sockets in the runtime directory (see
// PortProtocol.h). Only processes of the service's user, root, or the user
// named by $VKBVD_DRIVER_UID may connect; others are dropped unanswered. The
// client's view is a sealed memfd mapped here: once per channel, with its
// mailbox, and for single connections kept for the next one with the same
// view. Handles are entries of a table: closing one shuts its socket down,
// which wakes a thread waiting on it, and the descriptor is released when the
// last operation using it has returned; closing a connection that was
// answered on a channel gives the channel back to its port, which then
// listens on its request bell for the next one.
class PosixPorts final : public Ports {
 public:
  // Channels kept open between connections, per port; a channel beyond
  // them ends after its reply, as a single connection does.
  static constexpr size_t kMaxIdleChannels = 16;
  // New clients waited for at once, before their connection requests are
  // there; more wait in the socket's queue.
  static constexpr size_t kMaxArrivals = 16;

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
  struct Channel;
  struct Arrival;
  struct Pending;
  enum class ArrivalState { Waiting, Ready, Dropped };

  std::shared_ptr<Endpoint> find(Handle handle, bool listening);
  Handle add(std::shared_ptr<Endpoint> endpoint);
  bool peerAllowed(int fd, uint32_t& pid) const;
  static int listenWaitMs(const std::vector<Arrival>& arrivals);
  static void dropLateArrivals(std::vector<Arrival>& arrivals);
  void acceptNewClient(Endpoint& port);
  static ArrivalState advanceArrival(Arrival& arrival);
  static bool takeConnectionRequest(Channel& channel, PortMessage& received);
  // The connection whose request bell an idle channel rang; null when the
  // channel broke the rules.
  static std::unique_ptr<Pending> receiveOnChannel(std::shared_ptr<Channel> channel);
  static int32_t takeMailboxRequest(Endpoint& endpoint, PortMessage& message);
  static bool replyToMailbox(Endpoint& endpoint, const PortMessage& message);
  static bool replyOnSocket(Channel& channel, const PortMessage& message);
  int32_t announce(std::unique_ptr<Pending> pending, const std::shared_ptr<Endpoint>& port, PortMessage& message);

  std::mutex mutex_;
  std::map<Handle, std::shared_ptr<Endpoint>> handles_;
  std::map<uint32_t, std::unique_ptr<Pending>> pending_;
  Handle nextHandle_ = 1;
  uint32_t nextMessageId_ = 1;
  uint32_t driverUid_;
};

}  // namespace sys::posix
