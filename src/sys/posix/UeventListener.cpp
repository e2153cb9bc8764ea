#include "sys/posix/UeventListener.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "sys/posix/ErrnoMapping.h"

namespace sys::posix {
namespace {

constexpr uint32_t kKernelGroup = 1;     // the kernel's own uevents, not udev's
constexpr size_t kMessageLimit = 16384;  // well above the kernel's uevent buffer
constexpr int kReceiveBuffer = 1 << 20;  // room for a burst of events while one is delivered

UniqueFd openKernelSocket(uint32_t& error) {
  UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT));
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup;
  if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error = winErrorFromErrno(errno);
    return UniqueFd();
  }
  // Beyond the system's limit where allowed; the default buffer otherwise.
  if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof(kReceiveBuffer)) != 0) {
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof(kReceiveBuffer));
  }
  return fd;
}

}  // namespace

std::unique_ptr<UeventListener> UeventListener::start(Deliver deliver, Drop drop, uint32_t& error) {
  UniqueFd socket = openKernelSocket(error);
  if (!socket.valid()) return nullptr;
  UniqueFd wake(eventfd(0, EFD_CLOEXEC));
  if (!wake.valid()) {
    error = winErrorFromErrno(errno);
    return nullptr;
  }
  std::unique_ptr<UeventListener> listener(
      new UeventListener(std::move(socket), std::move(wake), std::move(deliver), std::move(drop)));
  try {
    listener->thread_ = std::thread(&UeventListener::run, listener.get());
  } catch (const std::system_error& failure) {
    error = winErrorFromErrno(failure.code().value());
    return nullptr;
  }
  return listener;
}

UeventListener::UeventListener(UniqueFd socket, UniqueFd wake, Deliver deliver, Drop drop)
    : socket_(std::move(socket)), wake_(std::move(wake)), deliver_(std::move(deliver)), drop_(std::move(drop)) {}

UeventListener::~UeventListener() {
  if (!thread_.joinable()) return;
  requestStop();
  thread_.join();
}

void UeventListener::requestStop() {
  const uint64_t one = 1;
  while (write(wake_.get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

uint32_t UeventListener::portId() const {
  sockaddr_nl address{};
  socklen_t length = sizeof(address);
  if (getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return address.nl_pid;
}

void UeventListener::run() {
  try {
    pollfd waits[2] = {{socket_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
    while (true) {
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        drop_("uevent wait failed: " + std::string(std::strerror(errno)));
        return;
      }
      if (waits[1].revents) return;
      if (waits[0].revents) receiveOne();
    }
  } catch (...) {
    drop_("uevent listener ended by an error");
  }
}

void UeventListener::receiveOne() {
  std::vector<char> buffer(kMessageLimit);
  sockaddr_nl sender{};
  iovec part{buffer.data(), buffer.size()};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sizeof(sender);
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  const ssize_t size = recvmsg(socket_.get(), &header, MSG_DONTWAIT);
  if (size < 0) {
    if (errno != EAGAIN && errno != EINTR) drop_("uevent receive failed: " + std::string(std::strerror(errno)));
    return;
  }
  if (header.msg_flags & MSG_TRUNC) return drop_("oversized uevent");
  if (sender.nl_pid != 0) return drop_("uevent not sent by the kernel");
  const UeventMessage message = UeventMessage::parse(buffer.data(), static_cast<size_t>(size));
  if (message.kind == UeventMessage::Kind::Malformed) return drop_("malformed uevent: " + message.reason);
  if (message.kind == UeventMessage::Kind::PartitionEvent) deliver_(message);
}

}  // namespace sys::posix
