#include "sys/posix/UeventListener.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/WinError.h"
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

std::atomic<std::chrono::milliseconds> UeventListener::stopWait_{UeventListener::kStopWait};

std::unique_ptr<UeventListener> UeventListener::start(Deliver deliver, Drop drop, uint32_t& error) {
  auto shared = std::make_shared<Shared>();
  shared->socket = openKernelSocket(error);
  if (!shared->socket.valid()) return nullptr;
  shared->wake = UniqueFd(eventfd(0, EFD_CLOEXEC));
  if (!shared->wake.valid()) {
    error = winErrorFromErrno(errno);
    return nullptr;
  }
  shared->deliver = std::move(deliver);
  shared->drop = std::move(drop);
  std::unique_ptr<UeventListener> listener(new UeventListener(shared));
  if (!listener->thread_.start([shared] {
        shared->threadId.store(std::this_thread::get_id());
        shared->run();
      })) {
    error = WinError::NotEnoughMemory;
    return nullptr;
  }
  return listener;
}

UeventListener::~UeventListener() {
  requestStop();
  thread_.waitFor(stopWait_.load());
}

std::chrono::milliseconds UeventListener::swapStopWait(std::chrono::milliseconds wait) {
  return stopWait_.exchange(wait);
}

void UeventListener::requestStop() {
  // The flag before the wake-up: the thread sees it once woken.
  shared_->stopRequested = true;
  const uint64_t one = 1;
  while (write(shared_->wake.get(), &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

uint32_t UeventListener::portId() const {
  sockaddr_nl address{};
  socklen_t length = sizeof(address);
  if (getsockname(shared_->socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return address.nl_pid;
}

void UeventListener::Shared::run() {
  try {
    pollfd waits[2] = {{socket.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
    while (!stopRequested) {
      if (poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        drop("uevent wait failed: " + std::string(std::strerror(errno)));
        return;
      }
      if (waits[0].revents) receiveOne();
    }
  } catch (...) {
    drop("uevent listener ended by an error");
  }
}

void UeventListener::Shared::receiveOne() {
  std::vector<char> buffer(kMessageLimit);
  sockaddr_nl sender{};
  iovec part{buffer.data(), buffer.size()};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sizeof(sender);
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  const ssize_t size = recvmsg(socket.get(), &header, MSG_DONTWAIT);
  if (size < 0) {
    if (errno != EAGAIN && errno != EINTR) drop("uevent receive failed: " + std::string(std::strerror(errno)));
    return;
  }
  if (header.msg_flags & MSG_TRUNC) return drop("oversized uevent");
  if (sender.nl_pid != 0) return drop("uevent not sent by the kernel");
  const UeventMessage message = UeventMessage::parse(buffer.data(), static_cast<size_t>(size));
  if (message.kind == UeventMessage::Kind::Malformed) return drop("malformed uevent: " + message.reason);
  // Nothing more once a stop was asked for, even for a message already read.
  if (message.kind == UeventMessage::Kind::PartitionEvent && !stopRequested) deliver(message);
}

}  // namespace sys::posix
