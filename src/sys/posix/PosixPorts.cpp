#include "sys/posix/PosixPorts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "common/NtStatus.h"
#include "sys/posix/PortProtocol.h"
#include "sys/posix/PosixTokens.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

namespace protocol = port_protocol;

namespace {

// A client that connects must send its request at once; one that does not is
// dropped after this, so it cannot hold the port.
constexpr int kConnectionRequestWaitMs = 5000;
constexpr int kRequestWaitMs = 10000;

// A shared mapping of a client's view.
struct Mapping {
  Mapping(void* address, size_t length) : base(address), size(length) {}
  ~Mapping() { munmap(base, size); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  void* base;
  size_t size;
};

// Receives one message within `timeoutMs`; usually it is there already, so
// the wait is only entered when it is not. The message's size (as MSG_TRUNC
// reports it), 0 when the peer closed, -1 on a time-out or an error.
ssize_t receiveWithin(int fd, msghdr& header, int flags, int timeoutMs) {
  const ssize_t size = recvmsg(fd, &header, flags | MSG_DONTWAIT);
  if (size >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return size;
  pollfd entry{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) errno = ETIMEDOUT;
  return ready > 0 ? recvmsg(fd, &header, flags | MSG_DONTWAIT) : -1;
}

// Takes ownership of every descriptor the message brought, however many and
// in however many control messages, so that none stays open whatever becomes
// of the request. A truncated control message still brings those that fit.
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

bool socketIsLive(const sockaddr_un& address) {
  UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return probe.valid() && connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

uint32_t configuredDriverUid() {
  const char* configured = std::getenv("VKBVD_DRIVER_UID");
  return configured && *configured ? static_cast<uint32_t>(std::strtoul(configured, nullptr, 10)) : 0;
}

}  // namespace

// A listening port or one connection.
struct PosixPorts::Endpoint {
  Endpoint(UniqueFd socketFd, bool isListening) : fd(std::move(socketFd)), listening(isListening) {}
  ~Endpoint() { unlinkSocket(); }

  void unlinkSocket() {
    if (socketPath.empty()) return;  // a connection has no file
    ScopedOwnFileIdentity ownIdentity;
    struct stat status {};
    if (stat(socketPath.c_str(), &status) == 0 && status.st_ino == socketInode) unlink(socketPath.c_str());
    socketPath.clear();
  }

  // The mapping of a view, reused while the client keeps sending the same one.
  std::shared_ptr<Mapping> mapView(int memfd, const struct stat& status, uint32_t size) {
    std::lock_guard<std::mutex> guard(viewMutex);
    if (!cachedView || status.st_dev != viewDevice || status.st_ino != viewInode || size != viewSize) {
      void* base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
      if (base == MAP_FAILED) return nullptr;
      cachedView = std::make_shared<Mapping>(base, size);
      viewDevice = status.st_dev;
      viewInode = status.st_ino;
      viewSize = size;
    }
    return cachedView;
  }

  UniqueFd fd;
  const bool listening;
  std::atomic<bool> closed{false};
  std::string socketPath;
  ino_t socketInode = 0;
  std::mutex viewMutex;
  std::shared_ptr<Mapping> cachedView;
  dev_t viewDevice = 0;
  ino_t viewInode = 0;
  uint32_t viewSize = 0;
};

// A connection whose request was received and waits to be accepted or refused.
struct PosixPorts::Pending {
  UniqueFd connection;
  UniqueFd view;
  struct stat viewStatus {};
  uint32_t viewSize = 0;
  std::weak_ptr<Endpoint> port;
};

PosixPorts::PosixPorts() : driverUid_(configuredDriverUid()) {}

PosixPorts::~PosixPorts() = default;

int32_t PosixPorts::createPort(Handle& port, const std::u16string& name, uint32_t, uint32_t, uint32_t) {
  port = kNoHandle;
  const std::string path = protocol::socketPath(name);
  if (path.empty()) return NtStatus::InvalidParameter;
  ScopedOwnFileIdentity ownIdentity;
  if (!protocol::openRuntimeDirectory(PrivateDirectory::Missing::Make).valid()) return NtStatus::AccessDenied;
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return NtStatus::NoMemory;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    // A socket file nobody listens on is left over from a process that ended.
    if (errno != EADDRINUSE || socketIsLive(address)) return NtStatus::ObjectNameCollision;
    unlink(path.c_str());
    if (bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      return NtStatus::ObjectNameCollision;
    }
  }
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || listen(fd.get(), 16) != 0) {
    unlink(path.c_str());
    return NtStatus::Unsuccessful;
  }
  auto endpoint = std::make_shared<Endpoint>(std::move(fd), true);
  endpoint->socketPath = path;
  endpoint->socketInode = status.st_ino;
  port = add(std::move(endpoint));
  return NtStatus::Success;
}

int32_t PosixPorts::listenPort(Handle port, PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(port, true);
  if (!endpoint) return NtStatus::InvalidPortHandle;
  while (!endpoint->closed) {
    UniqueFd connection(accept4(endpoint->fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid()) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // out of descriptors for now
        continue;
      }
      break;
    }
    uint32_t pid = 0;
    auto pending = std::make_unique<Pending>();
    if (!peerAllowed(connection.get(), pid) || !receiveConnectionRequest(connection.get(), *pending, message)) {
      continue;  // dropped: the client sees its connection end
    }
    pending->connection = std::move(connection);
    pending->port = endpoint;
    std::lock_guard<std::mutex> guard(mutex_);
    const uint32_t id = nextMessageId_++;
    protocol::putField16(message, protocol::kDataLength, PortMessage::kSize - PortMessage::kHeaderSize);
    protocol::putField16(message, protocol::kTotalLength, PortMessage::kSize);
    protocol::putField16(message, protocol::kType, protocol::kConnectionRequestType);
    protocol::putField32(message, protocol::kClientProcess, pid);
    protocol::putField32(message, protocol::kClientThread, 0);
    protocol::putField32(message, protocol::kMessageId, id);
    protocol::putField32(message, protocol::kClientViewSize, pending->viewSize);
    pending_[id] = std::move(pending);
    return NtStatus::Success;
  }
  return NtStatus::PortDisconnected;
}

bool PosixPorts::peerAllowed(int fd, uint32_t& pid) const {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  pid = static_cast<uint32_t>(credentials.pid);
  return credentials.uid == geteuid() || credentials.uid == 0 || credentials.uid == driverUid_;
}

// One port message with at most one descriptor: a memfd sealed against
// shrinking, so that the mapping can never lose pages under the service. A
// request that brings more is refused; every descriptor received but the view
// kept is closed.
bool PosixPorts::receiveConnectionRequest(int fd, Pending& pending, PortMessage& message) {
  PortMessage received;
  iovec data{received.bytes.data(), received.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  const ssize_t size = receiveWithin(fd, header, MSG_CMSG_CLOEXEC, kConnectionRequestWaitMs);
  if (size < 0) return false;
  std::vector<UniqueFd> passed = takePassedDescriptors(header);
  if (size != static_cast<ssize_t>(PortMessage::kSize) || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) ||
      passed.size() > 1) {
    return false;
  }
  message = received;
  if (passed.empty()) return true;  // a client without a view: every request will fail
  pending.view = std::move(passed.front());
  struct stat& status = pending.viewStatus;
  const int seals = fcntl(pending.view.get(), F_GET_SEALS);
  if (fstat(pending.view.get(), &status) != 0 || !S_ISREG(status.st_mode) || seals < 0 || !(seals & F_SEAL_SHRINK)) {
    return false;
  }
  const uint64_t claimed = protocol::getField32(received, protocol::kClientViewSize);
  const uint64_t available = std::min<uint64_t>(static_cast<uint64_t>(status.st_size), protocol::kMaxViewSize);
  pending.viewSize = static_cast<uint32_t>(std::min(claimed, available));
  return true;
}

int32_t PosixPorts::acceptConnectPort(Handle& communicationPort, const PortMessage& message, bool accept,
                                      ClientView& view) {
  communicationPort = kNoHandle;
  view = {};
  std::unique_ptr<Pending> pending;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = pending_.find(protocol::getField32(message, protocol::kMessageId));
    if (found == pending_.end()) return NtStatus::InvalidParameter;
    pending = std::move(found->second);
    pending_.erase(found);
  }
  if (!accept) return NtStatus::Success;  // the client sees its connection end unanswered
  const std::shared_ptr<Endpoint> port = pending->port.lock();
  if (!port || port->closed) return NtStatus::PortDisconnected;
  if (pending->view.valid() && pending->viewSize > 0) {
    const std::shared_ptr<Mapping> mapping = port->mapView(pending->view.get(), pending->viewStatus, pending->viewSize);
    if (!mapping) return NtStatus::NoMemory;
    view.base = static_cast<uint8_t*>(mapping->base);
    view.size = pending->viewSize;
    view.mapping = mapping;
  }
  communicationPort = add(std::make_shared<Endpoint>(std::move(pending->connection), false));
  return NtStatus::Success;
}

int32_t PosixPorts::completeConnectPort(Handle communicationPort) {
  // The client does not wait for the accept: its request follows at once.
  return find(communicationPort, false) ? NtStatus::Success : NtStatus::InvalidHandle;
}

int32_t PosixPorts::replyWaitReceivePort(Handle communicationPort, PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(communicationPort, false);
  if (!endpoint) return NtStatus::InvalidHandle;
  PortMessage received;
  iovec data{received.bytes.data(), received.bytes.size()};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  const ssize_t size = receiveWithin(endpoint->fd.get(), header, MSG_TRUNC, kRequestWaitMs);
  if (size < 0 && !endpoint->closed && errno == ETIMEDOUT) return NtStatus::IoTimeout;
  if (size <= 0 || endpoint->closed) return NtStatus::PortDisconnected;
  if (size != static_cast<ssize_t>(PortMessage::kSize)) return NtStatus::InvalidParameter;
  message = received;
  protocol::putField16(message, protocol::kDataLength, PortMessage::kSize - PortMessage::kHeaderSize);
  protocol::putField16(message, protocol::kTotalLength, PortMessage::kSize);
  protocol::putField16(message, protocol::kType, protocol::kRequestType);
  return NtStatus::Success;
}

int32_t PosixPorts::replyPort(Handle communicationPort, const PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(communicationPort, false);
  if (!endpoint) return NtStatus::InvalidHandle;
  if (send(endpoint->fd.get(), message.bytes.data(), message.bytes.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(message.bytes.size())) {
    return NtStatus::PortDisconnected;
  }
  return NtStatus::Success;
}

int32_t PosixPorts::close(Handle handle) {
  std::shared_ptr<Endpoint> endpoint;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = handles_.find(handle);
    if (found == handles_.end()) return NtStatus::InvalidHandle;
    endpoint = std::move(found->second);
    handles_.erase(found);
  }
  endpoint->closed = true;
  shutdown(endpoint->fd.get(), SHUT_RDWR);  // wakes a thread waiting on it
  endpoint->unlinkSocket();                 // the name is free again at once
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(pending_, [&endpoint](const auto& entry) { return entry.second->port.lock() == endpoint; });
  return NtStatus::Success;
}

std::shared_ptr<PosixPorts::Endpoint> PosixPorts::find(Handle handle, bool listening) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = handles_.find(handle);
  if (found == handles_.end() || found->second->listening != listening) return nullptr;
  return found->second;
}

Ports::Handle PosixPorts::add(std::shared_ptr<Endpoint> endpoint) {
  std::lock_guard<std::mutex> guard(mutex_);
  const Handle handle = nextHandle_++;
  handles_[handle] = std::move(endpoint);
  return handle;
}

}  // namespace sys::posix
