#include "sys/posix/PortClient.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/NtStatus.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix {

namespace protocol = port_protocol;

namespace {

// Takes one message if one is there. A non-blocking receive looks at the
// queue before it looks at the connection's end, so a reply that arrives
// together with the end can be reported as the end alone: after an end the
// queue is looked at once more, and then it is final, since the server sends
// its reply before it ends the connection.
ssize_t receiveNow(int fd, void* buffer, size_t size) {
  const ssize_t received = recv(fd, buffer, size, MSG_DONTWAIT);
  return received == 0 ? recv(fd, buffer, size, MSG_DONTWAIT) : received;
}

// Receives one message of at most `size` bytes within `timeout`; its length,
// 0 when the server closed the connection, -1 on a time-out or an error.
ssize_t receiveWithin(int fd, void* buffer, size_t size, std::chrono::milliseconds timeout) {
  const ssize_t received = receiveNow(fd, buffer, size);
  if (received >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return received;
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) {
    errno = ready == 0 ? ETIMEDOUT : errno;
    return -1;
  }
  return receiveNow(fd, buffer, size);
}

}  // namespace

PortClient::PortClient(const std::u16string& portName) : socketPath_(protocol::socketPath(portName)) {}

PortClient::~PortClient() {
  if (view_) munmap(view_, viewSize_);
}

bool PortClient::createView(uint32_t size) {
  if (view_ || size == 0) return false;
  UniqueFd fd(memfd_create("vkbvd-port-view", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd.valid() || ftruncate(fd.get(), size) != 0) return false;
  if (fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0) return false;
  void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return false;
  memfd_ = std::move(fd);
  view_ = static_cast<uint8_t*>(base);
  viewSize_ = size;
  return true;
}

int32_t PortClient::request(PortMessage& message, std::chrono::milliseconds timeout) {
  lastFailure_.clear();
  const bool reused = channel_.valid();
  const PortMessage original = message;
  const int32_t status = exchange(message, timeout);
  if (!reused || status != NtStatus::PortConnectionRefused) return status;
  message = original;
  lastFailure_.clear();
  return exchange(message, timeout);
}

// The request follows the connection request at once; the server reads it
// only once it accepted the connection. A refusal ends the channel.
int32_t PortClient::exchange(PortMessage& message, std::chrono::milliseconds timeout) {
  const bool fresh = !channel_.valid();
  int32_t status = fresh ? connectChannel(timeout) : NtStatus::Success;
  if (NtStatus::succeeded(status)) status = sendConnectionRequest(fresh);
  if (NtStatus::succeeded(status)) {
    protocol::putField16(message, protocol::kType, protocol::kRequestType);
    if (send(channel_.get(), message.bytes.data(), message.bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.bytes.size())) {
      status = fail("request", NtStatus::PortConnectionRefused);
    }
  }
  PortMessage reply;
  if (NtStatus::succeeded(status)) {
    const ssize_t size = receiveWithin(channel_.get(), reply.bytes.data(), reply.bytes.size(), timeout);
    if (size < 0) {
      status = fail("reply", errno == ETIMEDOUT ? NtStatus::IoTimeout : NtStatus::PortConnectionRefused);
    } else if (size != static_cast<ssize_t>(reply.bytes.size())) {
      errno = size == 0 ? ECONNABORTED : EBADMSG;  // closed unanswered, or not a port message
      status = fail("reply", NtStatus::PortConnectionRefused);
    }
  }
  if (!NtStatus::succeeded(status)) {
    channel_.reset();
    return status;
  }
  message = reply;
  return NtStatus::Success;
}

int32_t PortClient::fail(const char* step, int32_t status) {
  lastFailure_ = std::string(step) + ": " + std::strerror(errno);
  return status;
}

int32_t PortClient::connectChannel(std::chrono::milliseconds timeout) {
  if (socketPath_.empty()) return NtStatus::InvalidParameter;
  // Non-blocking, so that a service that no longer accepts (its queue full)
  // makes the connect fail within the bound instead of hanging.
  channel_ = UniqueFd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!channel_.valid()) return fail("socket", NtStatus::NoMemory);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (connect(channel_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno == EAGAIN && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (errno == EAGAIN) return fail("connect", NtStatus::IoTimeout);
    if (errno == ENOENT || errno == ECONNREFUSED) return fail("connect", NtStatus::ObjectPathNotFound);
    return fail("connect", errno == EACCES ? NtStatus::AccessDenied : NtStatus::PortConnectionRefused);
  }
  return NtStatus::Success;
}

int32_t PortClient::sendConnectionRequest(bool withView) {
  PortMessage request;
  protocol::putField16(request, protocol::kType, protocol::kChannelType);
  protocol::putField32(request, protocol::kClientViewSize, viewSize_);
  iovec data{request.bytes.data(), request.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  if (withView && memfd_.valid()) {
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    cmsghdr* c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int fd = memfd_.get();
    std::memcpy(CMSG_DATA(c), &fd, sizeof(fd));
  }
  if (sendmsg(channel_.get(), &header, MSG_NOSIGNAL) != static_cast<ssize_t>(request.bytes.size())) {
    return fail("connection request", NtStatus::PortConnectionRefused);
  }
  return NtStatus::Success;
}

}  // namespace sys::posix
