#include "sys/posix/DeviceProtocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/WideString.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix::device_protocol {

std::string interfaceClassDirectory(const Guid& interfaceClass) {
  return port_protocol::runtimeDirectory() + "/" + interfaceClassSubdirectory(interfaceClass);
}

std::string interfaceClassSubdirectory(const Guid& interfaceClass) {
  return "interfaces/" + wide::toUtf8(interfaceClass.toString());
}

ssize_t sendFor(int fd, const std::vector<uint8_t>& message, const std::optional<Requester>& requester, int flags) {
  iovec data{const_cast<uint8_t*>(message.data()), message.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  if (requester) {
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    cmsghdr* entry = CMSG_FIRSTHDR(&header);
    entry->cmsg_level = SOL_SOCKET;
    entry->cmsg_type = SCM_CREDENTIALS;
    entry->cmsg_len = CMSG_LEN(sizeof(ucred));
    const ucred credentials{getpid(), requester->uid, requester->gid};
    std::memcpy(CMSG_DATA(entry), &credentials, sizeof(credentials));
  }
  return sendmsg(fd, &header, flags);
}

ssize_t receiveFrom(int fd, std::span<uint8_t> buffer, int flags, uid_t& requester) {
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t size = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
  requester = 0;
  for (cmsghdr* entry = CMSG_FIRSTHDR(&message); size >= 0 && entry; entry = CMSG_NXTHDR(&message, entry)) {
    if (entry->cmsg_level == SOL_SOCKET && entry->cmsg_type == SCM_CREDENTIALS &&
        entry->cmsg_len == CMSG_LEN(sizeof(ucred))) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(entry), sizeof(credentials));
      requester = credentials.uid;
    }
  }
  return size;
}

std::string identityFile(const std::string& blockDeviceName) {
  return port_protocol::runtimeDirectory() + "/" + kIdentityDirectory + "/" + blockDeviceName;
}

}  // namespace sys::posix::device_protocol
