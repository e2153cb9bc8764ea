#include "sys/posix/PosixDeviceIo.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "common/WideString.h"
#include "common/WinError.h"
#include "sys/posix/DeviceProtocol.h"
#include "sys/posix/ErrnoMapping.h"
#include "sys/posix/ScopedCallContext.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

namespace protocol = device_protocol;

namespace {

// A driver that has not answered by then is taken as not answering.
constexpr int kReplyWaitMs = 15000;

// Connects without blocking: a driver whose listen queue stays full is
// retried in short steps until `wait` has passed. Returns 0 or an errno.
int connectWithin(int fd, const sockaddr_un& address, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return errno;
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Sends one whole message on the non-blocking socket, waiting at most the
// reply bound for room. The message is for the client of the call the thread
// serves, when it serves one: the driver makes a disk for that user.
bool sendWithin(int fd, const std::vector<uint8_t>& message) {
  const std::optional<Identity> client = ScopedCallContext::currentClient();
  std::optional<protocol::Requester> requester;
  if (client) requester = protocol::Requester{client->uid, client->gid};
  for (;;) {
    const ssize_t sent = protocol::sendFor(fd, message, requester, MSG_NOSIGNAL);
    if (sent < 0 && errno == EPERM && requester) {
      // Not privileged to name the client: the message goes as the service's
      // own, whose disk only root reaches.
      requester.reset();
      continue;
    }
    if (sent >= 0) return static_cast<size_t>(sent) == message.size();
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return false;
    pollfd entry{fd, POLLOUT, 0};
    if (poll(&entry, 1, kReplyWaitMs) <= 0) return false;
  }
}

}  // namespace

struct PosixDeviceIo::Connection {
  explicit Connection(UniqueFd socketFd) : fd(std::move(socketFd)) {}
  UniqueFd fd;
  std::atomic<bool> cancelled{false};
};

PosixDeviceIo::PosixDeviceIo(std::chrono::milliseconds connectWait) : connectWait_(connectWait) {}

PosixDeviceIo::~PosixDeviceIo() = default;

DeviceIo::Handle PosixDeviceIo::open(const std::u16string& path, uint32_t& error) {
  const std::string native = wide::toUtf8(path);
  sockaddr_un address{};
  if (native.empty() || native.size() >= sizeof(address.sun_path)) {
    error = WinError::InvalidName;
    return kInvalidHandle;
  }
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    error = winErrorFromErrno(errno);
    return kInvalidHandle;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, native.c_str(), native.size() + 1);
  const int failure = connectWithin(fd.get(), address, connectWait_);
  if (failure != 0) {
    error = failure == ECONNREFUSED ? WinError::FileNotFound
            : failure == ETIMEDOUT  ? WinError::Timeout
                                    : winErrorFromErrno(failure);
    return kInvalidHandle;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  const Handle handle = next_++;
  connections_[handle] = std::make_shared<Connection>(std::move(fd));
  return handle;
}

bool PosixDeviceIo::control(Handle device, uint32_t controlCode, const void* input, uint32_t inputSize, void* output,
                            uint32_t outputSize, uint32_t& bytesReturned, uint32_t& error) {
  bytesReturned = 0;
  const std::shared_ptr<Connection> connection = find(device);
  if (!connection) {
    error = WinError::InvalidHandle;
    return false;
  }
  if (inputSize > protocol::kMaxPayload || outputSize > protocol::kMaxPayload || (inputSize && !input) ||
      (outputSize && !output)) {
    error = WinError::InvalidParameter;
    return false;
  }
  const protocol::ControlRequestHeader header{protocol::kRequestMagic, controlCode, inputSize, outputSize};
  std::vector<uint8_t> request(sizeof(header) + inputSize);
  std::memcpy(request.data(), &header, sizeof(header));
  if (inputSize) std::memcpy(request.data() + sizeof(header), input, inputSize);
  if (!sendWithin(connection->fd.get(), request)) {
    error = connection->cancelled ? WinError::OperationAborted : WinError::GenFailure;
    return false;
  }

  pollfd entry{connection->fd.get(), POLLIN, 0};
  int ready;
  do {
    ready = poll(&entry, 1, kReplyWaitMs);
  } while (ready < 0 && errno == EINTR);
  // Past the bound the connection is ended before the last look for the
  // reply: an answer sent from now on fails at the driver, which then undoes
  // what it did, and one that came just in time is still taken.
  if (ready == 0) shutdown(connection->fd.get(), SHUT_RDWR);
  std::vector<uint8_t> reply(sizeof(protocol::ControlReplyHeader) + outputSize);
  const ssize_t size =
      ready >= 0 ? recv(connection->fd.get(), reply.data(), reply.size(), MSG_TRUNC | MSG_DONTWAIT) : -1;
  if (connection->cancelled) {
    error = WinError::OperationAborted;
    return false;
  }
  if (ready == 0 && size <= 0) {
    error = WinError::Timeout;
    return false;
  }
  protocol::ControlReplyHeader answer{};
  if (size < static_cast<ssize_t>(sizeof(answer))) {
    error = WinError::GenFailure;  // the driver went away or sent no answer
    return false;
  }
  std::memcpy(&answer, reply.data(), sizeof(answer));
  // An answer that is not one, or claims more than it carries or than fits, is refused.
  if (answer.magic != protocol::kReplyMagic || answer.bytesReturned > outputSize ||
      static_cast<size_t>(size) != sizeof(answer) + answer.bytesReturned) {
    error = WinError::InvalidData;
    return false;
  }
  if (answer.bytesReturned) std::memcpy(output, reply.data() + sizeof(answer), answer.bytesReturned);
  bytesReturned = answer.bytesReturned;
  error = answer.status;
  return answer.status == WinError::Success;
}

void PosixDeviceIo::cancel(Handle device) {
  if (const std::shared_ptr<Connection> connection = find(device)) {
    connection->cancelled = true;
    shutdown(connection->fd.get(), SHUT_RDWR);
  }
}

void PosixDeviceIo::close(Handle device) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto found = connections_.find(device);
    if (found == connections_.end()) return;
    connection = std::move(found->second);
    connections_.erase(found);
  }
  shutdown(connection->fd.get(), SHUT_RDWR);
}

std::shared_ptr<PosixDeviceIo::Connection> PosixDeviceIo::find(Handle device) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = connections_.find(device);
  return found == connections_.end() ? nullptr : found->second;
}

}  // namespace sys::posix
