#pragma once

#include "sys/Ports.h"

namespace sys::win32 {

// The system's native port calls, resolved from ntdll at first use. Where
// they are missing every call reports STATUS_NOT_IMPLEMENTED.
class Win32Ports final : public Ports {
 public:
  int32_t createPort(Handle& port, const std::u16string& name, uint32_t maxConnectionInfoLength,
                     uint32_t maxMessageLength, uint32_t maxPoolUsage) override;
  int32_t listenPort(Handle port, PortMessage& message) override;
  int32_t acceptConnectPort(Handle& communicationPort, const PortMessage& message, bool accept,
                            ClientView& view) override;
  int32_t completeConnectPort(Handle communicationPort) override;
  int32_t replyWaitReceivePort(Handle communicationPort, PortMessage& message) override;
  int32_t replyPort(Handle communicationPort, const PortMessage& message) override;
  int32_t close(Handle handle) override;
};

}  // namespace sys::win32
