#include "sys/posix/PortProtocol.h"

#include <sys/un.h>

#include <cstdlib>
#include <cstring>

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

bool sendMessage(int socket, const PortMessage& message, std::initializer_list<int> descriptors) {
  constexpr size_t kMostPassed = 2;
  if (descriptors.size() > kMostPassed) return false;
  iovec data{const_cast<uint8_t*>(message.bytes.data()), message.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(kMostPassed * sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  if (descriptors.size() > 0) {
    header.msg_control = control;
    header.msg_controllen = CMSG_SPACE(descriptors.size() * sizeof(int));
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
    std::memcpy(CMSG_DATA(c), descriptors.begin(), descriptors.size() * sizeof(int));
  }
  return sendmsg(socket, &header, MSG_NOSIGNAL) == static_cast<ssize_t>(message.bytes.size());
}

std::vector<UniqueFd> takePassedDescriptors(msghdr& header) {
  std::vector<UniqueFd> passed;
  for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0)) continue;
    const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(fd));
      passed.emplace_back(fd);
    }
  }
  return passed;
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
