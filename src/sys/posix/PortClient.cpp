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
#include <vector>

#include "common/NtStatus.h"
#include "sys/posix/PortProtocol.h"

namespace sys::posix {

namespace protocol = port_protocol;

namespace {

// Waits until one of `entries` stirs, within `timeout`; false on a time-out
// (errno ETIMEDOUT) or an error.
bool waitReadable(pollfd* entries, nfds_t count, std::chrono::milliseconds timeout) {
  int ready;
  do {
    ready = poll(entries, count, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) errno = ETIMEDOUT;
  return ready > 0;
}

// Takes one message, and the descriptors it brings, if one is there. A
// non-blocking receive looks at the queue before it looks at the
// connection's end, so a reply that arrives together with the end can be
// reported as the end alone: after an end the queue is looked at once more,
// and then it is final, since the server sends its reply before it ends the
// connection.
ssize_t receiveNow(int fd, msghdr& header) {
  const ssize_t received = recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  return received == 0 ? recvmsg(fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) : received;
}

}  // namespace

PortClient::PortClient(const std::u16string& portName) : socketPath_(protocol::socketPath(portName)) {}

PortClient::~PortClient() {
  if (view_) munmap(view_, mappedSize_);
}

bool PortClient::createView(uint32_t size) {
  if (view_ || size == 0 || size > protocol::kMaxViewSize) return false;
  const size_t mapped = protocol::mailboxOffset(size) + protocol::kMailboxSize;
  UniqueFd fd(memfd_create("vkbvd-port-view", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd.valid() || ftruncate(fd.get(), static_cast<off_t>(mapped)) != 0) return false;
  if (fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0) return false;
  void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (base == MAP_FAILED) return false;
  memfd_ = std::move(fd);
  view_ = static_cast<uint8_t*>(base);
  viewSize_ = size;
  mappedSize_ = mapped;
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

int32_t PortClient::exchange(PortMessage& message, std::chrono::milliseconds timeout) {
  protocol::putField16(message, protocol::kType, protocol::kRequestType);
  const int32_t status = channel_.valid() ? exchangeThroughMailbox(message, timeout) : openChannel(message, timeout);
  if (!NtStatus::succeeded(status)) closeChannel();
  return status;
}

// The request follows the connection request at once; the server reads it
// only once it accepted the connection. A refusal ends the channel; a reply
// without bells (a service that keeps no channel) ends it after the reply.
int32_t PortClient::openChannel(PortMessage& message, std::chrono::milliseconds timeout) {
  int32_t status = connectChannel(timeout);
  if (NtStatus::succeeded(status)) status = sendConnectionRequest();
  if (NtStatus::succeeded(status) && send(channel_.get(), message.bytes.data(), message.bytes.size(), MSG_NOSIGNAL) !=
                                         static_cast<ssize_t>(message.bytes.size())) {
    status = fail("request", NtStatus::PortConnectionRefused);
  }
  if (NtStatus::succeeded(status)) status = receiveFirstReply(message, timeout);
  if (NtStatus::succeeded(status) && !replyBell_.valid()) closeChannel();
  return status;
}

int32_t PortClient::receiveFirstReply(PortMessage& reply, std::chrono::milliseconds timeout) {
  PortMessage received;
  iovec data{received.bytes.data(), received.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  ssize_t size = receiveNow(channel_.get(), header);
  if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    pollfd entry{channel_.get(), POLLIN, 0};
    size = waitReadable(&entry, 1, timeout) ? receiveNow(channel_.get(), header) : -1;
  }
  std::vector<UniqueFd> bells = size >= 0 ? protocol::takePassedDescriptors(header) : std::vector<UniqueFd>{};
  if (size < 0) return fail("reply", errno == ETIMEDOUT ? NtStatus::IoTimeout : NtStatus::PortConnectionRefused);
  if (size != static_cast<ssize_t>(received.bytes.size())) {
    errno = size == 0 ? ECONNABORTED : EBADMSG;  // closed unanswered, or not a port message
    return fail("reply", NtStatus::PortConnectionRefused);
  }
  if (bells.size() == 2 && view_) {
    requestBell_ = std::move(bells[0]);
    replyBell_ = std::move(bells[1]);
  }
  reply = received;
  return NtStatus::Success;
}

// The request is written into the mailbox and its bell rung once; the reply
// is there when the service has written the request's sequence number after
// it. The client may wait for it awake first (see SpinPolicy; yielding, so
// that the service or the disk's other work woken on this core runs), then
// sleeps on the reply bell.
// The channel's socket stirring instead means the service ended the channel
// (it refused, or it stopped).
int32_t PortClient::exchangeThroughMailbox(PortMessage& message, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  uint8_t* mailbox = view_ + protocol::mailboxOffset(viewSize_);
  const uint32_t sequence = ++sequence_;
  std::memcpy(mailbox + protocol::kMailboxRequest, message.bytes.data(), PortMessage::kSize);
  protocol::mailboxWord(mailbox, protocol::kMailboxRequestSequence).store(sequence, std::memory_order_release);
  const uint64_t one = 1;
  if (write(requestBell_.get(), &one, sizeof(one)) != sizeof(one)) {
    return fail("request", NtStatus::PortConnectionRefused);
  }
  const auto replied = [mailbox, sequence] {
    return protocol::mailboxWord(mailbox, protocol::kMailboxReplySequence).load(std::memory_order_acquire) == sequence;
  };
  const auto start = Clock::now();
  bool done = false;
  if (replySpin_.spinNext()) {
    while (!(done = replied()) && Clock::now() - start < replySpin_.limit()) std::this_thread::yield();
    // A reply seen only after the limit (this process was not running) is no win.
    replySpin_.spun(done && Clock::now() - start < replySpin_.limit());
  }
  const auto deadline = start + timeout;
  while (!done) {
    pollfd entries[2] = {{replyBell_.get(), POLLIN, 0}, {channel_.get(), POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !waitReadable(entries, 2, left)) {
      if (left.count() <= 0) errno = ETIMEDOUT;
      return fail("reply", errno == ETIMEDOUT ? NtStatus::IoTimeout : NtStatus::PortConnectionRefused);
    }
    uint64_t rings = 0;  // a wake-up: a ring may be left from a reply already seen
    if (entries[0].revents) [[maybe_unused]]
      const ssize_t ignored = read(replyBell_.get(), &rings, sizeof(rings));
    done = replied();
    if (!done && entries[1].revents) {
      errno = ECONNABORTED;  // ended unanswered
      return fail("reply", NtStatus::PortConnectionRefused);
    }
  }
  std::memcpy(message.bytes.data(), mailbox + protocol::kMailboxReply, PortMessage::kSize);
  return NtStatus::Success;
}

void PortClient::closeChannel() {
  channel_.reset();
  requestBell_.reset();
  replyBell_.reset();
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

int32_t PortClient::sendConnectionRequest() {
  PortMessage request;
  protocol::putField16(request, protocol::kType, protocol::kChannelType);
  protocol::putField32(request, protocol::kClientViewSize, viewSize_);
  const bool sent = memfd_.valid() ? protocol::sendMessage(channel_.get(), request, {memfd_.get()})
                                   : protocol::sendMessage(channel_.get(), request, {});
  return sent ? NtStatus::Success : fail("connection request", NtStatus::PortConnectionRefused);
}

}  // namespace sys::posix
