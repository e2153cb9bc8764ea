#include "sys/posix/DeviceProtocol.h"

#include "common/WideString.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix::device_protocol {

std::string interfaceClassDirectory(const Guid& interfaceClass) {
  return port_protocol::runtimeDirectory() + "/" + interfaceClassSubdirectory(interfaceClass);
}

std::string interfaceClassSubdirectory(const Guid& interfaceClass) {
  return "interfaces/" + wide::toUtf8(interfaceClass.toString());
}

std::string identityFile(const std::string& blockDeviceName) {
  return port_protocol::runtimeDirectory() + "/" + kIdentityDirectory + "/" + blockDeviceName;
}

}  // namespace sys::posix::device_protocol
