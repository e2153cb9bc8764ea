#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace sys {

// One port message as it travels: the 24-byte header of the system's port
// message (data length, total length, type, data info offset, client process
// and thread ids, message id, client view size) followed by 26 data bytes.
struct PortMessage {
  static constexpr size_t kHeaderSize = 24;
  static constexpr size_t kSize = 50;
  std::array<uint8_t, kSize> bytes{};
};

// The view a client maps into its connection, as the server sees it. The
// mapping stays valid while the holder keeps `mapping` (empty where the
// system itself keeps the view).
struct ClientView {
  uint8_t* base = nullptr;
  uint32_t size = 0;
  std::shared_ptr<const void> mapping;
};

// Named ports that clients connect to, one request and one reply per
// connection (NtCreatePort, NtListenPort, NtAcceptConnectPort,
// NtCompleteConnectPort, NtReplyWaitReceivePort, NtReplyPort, NtClose).
// Results are NTSTATUS values. Every operation may be called while another
// thread waits on the same handle; closing a handle makes such a wait fail.
class Ports {
 public:
  using Handle = uint64_t;  // 0: none
  static constexpr Handle kNoHandle = 0;

  virtual ~Ports() = default;

  virtual int32_t createPort(Handle& port, const std::u16string& name, uint32_t maxConnectionInfoLength,
                             uint32_t maxMessageLength, uint32_t maxPoolUsage) = 0;
  // Waits for a connection request and copies it into `message`.
  virtual int32_t listenPort(Handle port, PortMessage& message) = 0;
  // Accepts (making `communicationPort` and mapping the client's view into
  // `view`) or refuses the connection request in `message`.
  virtual int32_t acceptConnectPort(Handle& communicationPort, const PortMessage& message, bool accept,
                                    ClientView& view) = 0;
  virtual int32_t completeConnectPort(Handle communicationPort) = 0;
  // Waits for the next request on a connection.
  virtual int32_t replyWaitReceivePort(Handle communicationPort, PortMessage& message) = 0;
  virtual int32_t replyPort(Handle communicationPort, const PortMessage& message) = 0;
  virtual int32_t close(Handle handle) = 0;
};

}  // namespace sys
