#include "sys/posix/PortProtocol.h"

#include <sys/un.h>

#include <cstdlib>

#include "common/LittleEndian.h"
#include "common/WideString.h"

namespace sys::posix::port_protocol {

std::string runtimeDirectory() {
  const char* configured = std::getenv("VKBVD_RUNTIME_DIR");
  return configured && *configured ? configured : "/run/vkbvd";
}

PrivateDirectory openRuntimeDirectory(PrivateDirectory::Missing missing) {
  return PrivateDirectory(runtimeDirectory(), PrivateDirectory::Readers::OwnerOnly, missing);
}

std::string socketPath(const std::u16string& portName) {
  std::u16string name(portName);
  while (!name.empty() && name.front() == u'\\') name.erase(name.begin());
  for (char16_t& c : name) {
    if (c == u'\\') c = u'.';
    const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'.' ||
                       c == u'_' || c == u'-';
    if (!plain) return {};
  }
  if (name.empty() || name.front() == u'.') return {};
  const std::string path = runtimeDirectory() + "/" + wide::toUtf8(name);
  return path.size() < sizeof(sockaddr_un::sun_path) ? path : std::string();
}

uint16_t getField16(const PortMessage& message, size_t at) {
  return static_cast<uint16_t>(readLittleEndian(message.bytes.data() + at, 2));
}

uint32_t getField32(const PortMessage& message, size_t at) {
  return static_cast<uint32_t>(readLittleEndian(message.bytes.data() + at, 4));
}

void putField32(PortMessage& message, size_t at, uint32_t value) {
  writeLittleEndian(message.bytes.data() + at, 4, value);
}

void putField16(PortMessage& message, size_t at, uint16_t value) {
  writeLittleEndian(message.bytes.data() + at, 2, value);
}

}  // namespace sys::posix::port_protocol
