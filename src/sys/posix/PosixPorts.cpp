#include "sys/posix/PosixPorts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
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
#include "sys/posix/SpinPolicy.h"
#include "sys/posix/UniqueFd.h"

namespace sys::posix {

namespace protocol = port_protocol;

namespace {

// A client that connects must send its connection request and its request
// at once; one that does not is dropped after this.
constexpr int kConnectionRequestWaitMs = 5000;
constexpr int kRequestWaitMs = 10000;
// The listening thread looks at its port's end at least this often.
constexpr int kListenTickMs = 1000;

// A shared mapping of a client's view.
struct Mapping {
  Mapping(void* address, size_t length) : base(address), size(length) {}
  ~Mapping() { munmap(base, size); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  void* base;
  size_t size;
};

// A channel's view is its own, mapped with its mailbox.
std::shared_ptr<Mapping> mapWithMailbox(int memfd, uint32_t viewSize) {
  const size_t length = protocol::mailboxOffset(viewSize) + protocol::kMailboxSize;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
  return base == MAP_FAILED ? nullptr : std::make_shared<Mapping>(base, length);
}

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

bool socketIsLive(const sockaddr_un& address) {
  UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return probe.valid() && connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

uint32_t configuredDriverUid() {
  const char* configured = std::getenv("VKBVD_DRIVER_UID");
  return configured && *configured ? static_cast<uint32_t>(std::strtoul(configured, nullptr, 10)) : 0;
}

// One message as it came: its size (as MSG_TRUNC reports it; 0 when the peer
// closed, -1 on a time-out or an error, with errno), the descriptors it
// brought, now owned here, and whether more came than fit.
struct Received {
  ssize_t size = -1;
  std::vector<UniqueFd> passed;
  bool descriptorsCut = false;
};

Received receiveMessage(int fd, PortMessage& message, int timeoutMs) {
  iovec data{message.bytes.data(), message.bytes.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  Received received;
  received.size = receiveWithin(fd, header, MSG_CMSG_CLOEXEC | MSG_TRUNC, timeoutMs);
  if (received.size < 0) return received;
  received.passed = protocol::takePassedDescriptors(header);
  received.descriptorsCut = (header.msg_flags & MSG_CTRUNC) != 0;
  return received;
}

bool isWholeMessage(const Received& received) {
  return received.size == static_cast<ssize_t>(PortMessage::kSize) && !received.descriptorsCut;
}

}  // namespace

// One client's socket: a single connection, or a channel that carries one
// connection after another through its mailbox.
struct PosixPorts::Channel {
  explicit Channel(UniqueFd socketFd) : fd(std::move(socketFd)) {}

  // Makes the bells, once; false when they cannot be made.
  bool makeBells() {
    if (!requestBell.valid()) requestBell = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!replyBell.valid()) replyBell = UniqueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return requestBell.valid() && replyBell.valid();
  }
  uint8_t* mailbox() const { return static_cast<uint8_t*>(view->base) + protocol::mailboxOffset(viewSize); }

  UniqueFd fd;
  bool kept = false;  // a channel, kept open between connections
  uint32_t pid = 0;
  // The view passed with the first connection request, until it is mapped.
  UniqueFd viewFd;
  struct stat viewStatus {};
  uint32_t viewSize = 0;
  std::shared_ptr<Mapping> view;  // mapped at the first accept, for the channel's life (with the mailbox)
  // A channel's bells, sent to the client with its first reply.
  UniqueFd requestBell;
  UniqueFd replyBell;
};

// A new client's socket, until its connection request and its request are
// both there.
struct PosixPorts::Arrival {
  std::shared_ptr<Channel> channel;
  PortMessage connectionRequest;
  bool requested = false;  // its connection request was taken
  std::chrono::steady_clock::time_point deadline;
};

// A listening port, or one connection on a client's socket.
struct PosixPorts::Endpoint {
  explicit Endpoint(UniqueFd socketFd)
      : fd(std::move(socketFd)), listening(true), wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  Endpoint(std::shared_ptr<Channel> connectionChannel, std::weak_ptr<Endpoint> itsPort, bool throughMailbox)
      : listening(false), channel(std::move(connectionChannel)), port(std::move(itsPort)), viaMailbox(throughMailbox) {}
  ~Endpoint() { unlinkSocket(); }

  int socket() const { return listening ? fd.get() : channel->fd.get(); }

  void unlinkSocket() {
    if (socketPath.empty()) return;  // a connection has no file
    ScopedOwnFileIdentity ownIdentity;
    struct stat status {};
    if (stat(socketPath.c_str(), &status) == 0 && status.st_ino == socketInode) unlink(socketPath.c_str());
    socketPath.clear();
  }

  // The mapping of a view, reused while clients keep sending the same one.
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

  // Takes `idleChannel` back to listen on; false when the port is closed or keeps enough.
  bool keepIdle(std::shared_ptr<Channel> idleChannel) {
    std::lock_guard<std::mutex> guard(idleMutex);
    if (closed || idle.size() >= kMaxIdleChannels) return false;
    idle.push_back(std::move(idleChannel));
    lastIdle = std::chrono::steady_clock::now();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = write(wake.get(), &one, sizeof(one));
    return true;
  }
  std::vector<std::shared_ptr<Channel>> idleChannels(std::chrono::steady_clock::time_point& since) {
    std::lock_guard<std::mutex> guard(idleMutex);
    since = lastIdle;
    return idle;
  }
  // Takes `waiting` off the idle list; null when it is no longer there.
  std::shared_ptr<Channel> takeIdle(const std::shared_ptr<Channel>& waiting) {
    std::lock_guard<std::mutex> guard(idleMutex);
    const auto found = std::find(idle.begin(), idle.end(), waiting);
    if (found == idle.end()) return nullptr;
    idle.erase(found);
    return waiting;
  }
  void dropIdle() {
    std::lock_guard<std::mutex> guard(idleMutex);
    idle.clear();
  }

  UniqueFd fd;  // a listening port's socket
  const bool listening;
  std::atomic<bool> closed{false};
  std::string socketPath;
  ino_t socketInode = 0;
  std::mutex viewMutex;
  std::shared_ptr<Mapping> cachedView;
  dev_t viewDevice = 0;
  ino_t viewInode = 0;
  uint32_t viewSize = 0;
  // A listening port: its channels between connections, and what wakes its listener.
  UniqueFd wake;
  std::mutex idleMutex;
  std::vector<std::shared_ptr<Channel>> idle;
  // When a channel last came back; for up to 100 µs after it, the listener
  // may wait for the next request awake (the policy is the listener's alone).
  std::chrono::steady_clock::time_point lastIdle;
  SpinPolicy requestSpin{std::chrono::microseconds(100)};
  // A listening port's new clients (the listener's alone).
  std::vector<Arrival> arrivals;
  // A connection: its socket, its port, whether its messages are in the
  // channel's mailbox (or on its socket), and how it went.
  const std::shared_ptr<Channel> channel;
  const std::weak_ptr<Endpoint> port;
  const bool viaMailbox = false;
  uint32_t sequence = 0;  // of its request in the mailbox
  std::atomic<bool> replied{false};
  std::atomic<bool> broken{false};  // its request broke the channel's rules
};

// A connection whose request was received and waits to be accepted or refused.
struct PosixPorts::Pending {
  std::shared_ptr<Channel> channel;
  std::weak_ptr<Endpoint> port;
  bool viaMailbox = false;
};

PosixPorts::PosixPorts() : driverUid_(configuredDriverUid()) {}

PosixPorts::~PosixPorts() = default;

int32_t PosixPorts::createPort(Handle& port, const std::u16string& name, uint32_t, uint32_t, uint32_t) {
  port = kNoHandle;
  const std::string path = protocol::socketPath(name);
  if (path.empty()) return NtStatus::InvalidParameter;
  ScopedOwnFileIdentity ownIdentity;
  if (!protocol::openRuntimeDirectory(PrivateDirectory::Missing::Make).valid()) return NtStatus::AccessDenied;
  // Non-blocking: the listener accepts only what poll reported, and a
  // client gone in between must not hold it.
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
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
  auto endpoint = std::make_shared<Endpoint>(std::move(fd));
  if (!endpoint->wake.valid()) return NtStatus::NoMemory;
  endpoint->socketPath = path;
  endpoint->socketInode = status.st_ino;
  port = add(std::move(endpoint));
  return NtStatus::Success;
}

// Waits, in ticks, for the next connection request: a channel's request
// bell, or a new client's connection request and request. An idle channel's
// socket that stirs (a message, its end) ends the channel. New clients are
// waited for beside the channels, so that one that stays silent holds up
// nobody.
int32_t PosixPorts::listenPort(Handle port, PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(port, true);
  if (!endpoint) return NtStatus::InvalidPortHandle;
  using Clock = std::chrono::steady_clock;
  SpinPolicy& spin = endpoint->requestSpin;
  const bool spinning = spin.spinNext();
  std::vector<Arrival>& arrivals = endpoint->arrivals;
  while (!endpoint->closed) {
    Clock::time_point lastIdle;
    const std::vector<std::shared_ptr<Channel>> idle = endpoint->idleChannels(lastIdle);
    const bool awake = spinning && Clock::now() - lastIdle < spin.limit();
    // The port's socket is left alone while enough new clients wait.
    std::vector<pollfd> entries{{arrivals.size() < kMaxArrivals ? endpoint->fd.get() : -1, POLLIN, 0},
                                {endpoint->wake.get(), POLLIN, 0}};
    for (const auto& channel : idle) {
      entries.push_back({channel->requestBell.get(), POLLIN, 0});
      entries.push_back({channel->fd.get(), POLLIN, 0});
    }
    const size_t firstArrival = entries.size();
    for (const Arrival& arrival : arrivals) entries.push_back({arrival.channel->fd.get(), POLLIN, 0});
    const int ready = poll(entries.data(), entries.size(), awake ? 0 : listenWaitMs(arrivals));
    if (ready < 0 && errno != EINTR && errno != ENOMEM) break;
    if (ready == 0 && awake) std::this_thread::yield();
    if (ready <= 0) {
      dropLateArrivals(arrivals);
      continue;
    }
    if (entries[1].revents) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t ignored = read(endpoint->wake.get(), &count, sizeof(count));
    }
    for (size_t i = 0; i < idle.size(); ++i) {
      const short bell = entries[2 + 2 * i].revents;
      const short socketEvents = entries[3 + 2 * i].revents;
      if (!bell && !socketEvents) continue;
      std::shared_ptr<Channel> channel = endpoint->takeIdle(idle[i]);
      std::unique_ptr<Pending> pending = channel && !socketEvents ? receiveOnChannel(std::move(channel)) : nullptr;
      if (!pending) continue;
      if (spinning) spin.spun(Clock::now() - lastIdle < spin.limit());
      message = PortMessage{};
      return announce(std::move(pending), endpoint, message);
    }
    // From the back, so that the entries of those before stay where they are.
    for (size_t i = firstArrival + arrivals.size(); i-- > firstArrival;) {
      if (!entries[i].revents) continue;
      const auto arrival = arrivals.begin() + static_cast<ptrdiff_t>(i - firstArrival);
      const ArrivalState state = advanceArrival(*arrival);
      if (state == ArrivalState::Waiting) continue;
      Arrival arrived = std::move(*arrival);
      arrivals.erase(arrival);
      if (state == ArrivalState::Dropped) continue;
      auto pending = std::make_unique<Pending>();
      pending->channel = std::move(arrived.channel);
      message = arrived.connectionRequest;
      return announce(std::move(pending), endpoint, message);
    }
    dropLateArrivals(arrivals);
    if (entries[0].revents) acceptNewClient(*endpoint);
  }
  return NtStatus::PortDisconnected;
}

void PosixPorts::dropLateArrivals(std::vector<Arrival>& arrivals) {
  std::erase_if(arrivals,
                [now = std::chrono::steady_clock::now()](const Arrival& arrival) { return arrival.deadline <= now; });
}

// The listener's wait: a tick, or less when a new client's time runs out sooner.
int PosixPorts::listenWaitMs(const std::vector<Arrival>& arrivals) {
  const auto now = std::chrono::steady_clock::now();
  int waitMs = kListenTickMs;
  for (const Arrival& arrival : arrivals) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(arrival.deadline - now).count();
    waitMs = std::clamp(static_cast<int>(left), 0, waitMs);
  }
  return waitMs;
}

// A new client is dropped unless its connection request and its request
// both come within kConnectionRequestWaitMs.
void PosixPorts::acceptNewClient(Endpoint& port) {
  UniqueFd connection(accept4(port.fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
  if (!connection.valid()) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // out of descriptors for now
    }
    return;
  }
  auto channel = std::make_shared<Channel>(std::move(connection));
  if (!peerAllowed(channel->fd.get(), channel->pid)) return;  // dropped: the client sees its connection end
  Arrival arrival;
  arrival.channel = std::move(channel);
  arrival.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectionRequestWaitMs);
  port.arrivals.push_back(std::move(arrival));
}

// A new client's socket stirred: its connection request, then its request
// (looked at, not taken: the connection's own receive takes it).
PosixPorts::ArrivalState PosixPorts::advanceArrival(Arrival& arrival) {
  const int fd = arrival.channel->fd.get();
  if (!arrival.requested) {
    if (!takeConnectionRequest(*arrival.channel, arrival.connectionRequest)) return ArrivalState::Dropped;
    arrival.requested = true;
  }
  char first = 0;
  const ssize_t queued = recv(fd, &first, sizeof(first), MSG_PEEK | MSG_DONTWAIT);
  if (queued > 0) return ArrivalState::Ready;
  return queued < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? ArrivalState::Waiting : ArrivalState::Dropped;
}

// One port message with at most one descriptor: a memfd sealed against
// shrinking, so that the mapping can never lose pages under the service. A
// request that brings more is refused; every descriptor received but the view
// kept is closed. A client without a view is served too: every request will
// fail.
bool PosixPorts::takeConnectionRequest(Channel& channel, PortMessage& received) {
  Received request = receiveMessage(channel.fd.get(), received, 0);
  if (!isWholeMessage(request) || request.passed.size() > 1) return false;
  channel.kept = protocol::getField16(received, protocol::kType) == protocol::kChannelType;
  if (request.passed.empty()) {
    channel.kept = false;
    return true;
  }
  channel.viewFd = std::move(request.passed.front());
  struct stat& status = channel.viewStatus;
  const int seals = fcntl(channel.viewFd.get(), F_GET_SEALS);
  if (fstat(channel.viewFd.get(), &status) != 0 || !S_ISREG(status.st_mode) || seals < 0 || !(seals & F_SEAL_SHRINK)) {
    return false;
  }
  const uint32_t claimed = protocol::getField32(received, protocol::kClientViewSize);
  const uint64_t available = std::min<uint64_t>(static_cast<uint64_t>(status.st_size), protocol::kMaxViewSize);
  channel.viewSize = static_cast<uint32_t>(std::min<uint64_t>(claimed, available));
  // A channel needs its mailbox after the view it claims.
  channel.kept = channel.kept && claimed == channel.viewSize && claimed > 0 &&
                 protocol::mailboxOffset(claimed) + protocol::kMailboxSize <= static_cast<uint64_t>(status.st_size);
  return true;
}

// A rung request bell is a connection request when it was rung once; a bell
// rung more often ends the channel (the client asked again before its
// connection was done).
std::unique_ptr<PosixPorts::Pending> PosixPorts::receiveOnChannel(std::shared_ptr<Channel> channel) {
  uint64_t rings = 0;
  if (read(channel->requestBell.get(), &rings, sizeof(rings)) != sizeof(rings) || rings != 1) return nullptr;
  auto pending = std::make_unique<Pending>();
  pending->channel = std::move(channel);
  pending->viaMailbox = true;
  return pending;
}

int32_t PosixPorts::announce(std::unique_ptr<Pending> pending, const std::shared_ptr<Endpoint>& port,
                             PortMessage& message) {
  pending->port = port;
  std::lock_guard<std::mutex> guard(mutex_);
  const uint32_t id = nextMessageId_++;
  protocol::putField16(message, protocol::kDataLength, PortMessage::kSize - PortMessage::kHeaderSize);
  protocol::putField16(message, protocol::kTotalLength, PortMessage::kSize);
  protocol::putField16(message, protocol::kType, protocol::kConnectionRequestType);
  protocol::putField32(message, protocol::kClientProcess, pending->channel->pid);
  protocol::putField32(message, protocol::kClientThread, 0);
  protocol::putField32(message, protocol::kMessageId, id);
  protocol::putField32(message, protocol::kClientViewSize, pending->channel->viewSize);
  pending_[id] = std::move(pending);
  return NtStatus::Success;
}

bool PosixPorts::peerAllowed(int fd, uint32_t& pid) const {
  ucred credentials{};
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
  pid = static_cast<uint32_t>(credentials.pid);
  return credentials.uid == geteuid() || credentials.uid == 0 || credentials.uid == driverUid_;
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
  // Refused: the client sees its connection, or its channel, end unanswered.
  if (!accept) return NtStatus::Success;
  const std::shared_ptr<Endpoint> port = pending->port.lock();
  if (!port || port->closed) return NtStatus::PortDisconnected;
  Channel& channel = *pending->channel;
  if (!channel.view && channel.viewFd.valid() && channel.viewSize > 0) {
    channel.view = channel.kept ? mapWithMailbox(channel.viewFd.get(), channel.viewSize)
                                : port->mapView(channel.viewFd.get(), channel.viewStatus, channel.viewSize);
    if (!channel.view) return NtStatus::NoMemory;
    channel.viewFd.reset();  // the mapping keeps the memory
  }
  if (channel.view) {
    view.base = static_cast<uint8_t*>(channel.view->base);
    view.size = channel.viewSize;
    view.mapping = channel.view;
  }
  communicationPort = add(std::make_shared<Endpoint>(std::move(pending->channel), port, pending->viaMailbox));
  return NtStatus::Success;
}

int32_t PosixPorts::completeConnectPort(Handle communicationPort) {
  // The client does not wait for the accept: its request follows at once.
  return find(communicationPort, false) ? NtStatus::Success : NtStatus::InvalidHandle;
}

// On a channel the request must be of its kind and bring no descriptor;
// one that breaks the rules is failed, and the channel ends with the connection.
int32_t PosixPorts::replyWaitReceivePort(Handle communicationPort, PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(communicationPort, false);
  if (!endpoint) return NtStatus::InvalidHandle;
  if (endpoint->viaMailbox) return takeMailboxRequest(*endpoint, message);
  PortMessage received;
  const Received request = receiveMessage(endpoint->socket(), received, kRequestWaitMs);
  if (request.size < 0 && !endpoint->closed && errno == ETIMEDOUT) return NtStatus::IoTimeout;
  if (request.size <= 0 || endpoint->closed) return NtStatus::PortDisconnected;
  const bool withinRules =
      !endpoint->channel->kept || (request.passed.empty() && !request.descriptorsCut &&
                                   protocol::getField16(received, protocol::kType) == protocol::kRequestType);
  if (request.size != static_cast<ssize_t>(PortMessage::kSize) || !withinRules) {
    endpoint->broken = true;
    return NtStatus::InvalidParameter;
  }
  message = received;
  protocol::putField16(message, protocol::kDataLength, PortMessage::kSize - PortMessage::kHeaderSize);
  protocol::putField16(message, protocol::kTotalLength, PortMessage::kSize);
  protocol::putField16(message, protocol::kType, protocol::kRequestType);
  return NtStatus::Success;
}

// The request is copied out of the mailbox once, then checked: the client
// may change the mailbox at any time.
int32_t PosixPorts::takeMailboxRequest(Endpoint& endpoint, PortMessage& message) {
  if (endpoint.closed) return NtStatus::PortDisconnected;
  uint8_t* mailbox = endpoint.channel->mailbox();
  endpoint.sequence = protocol::mailboxWord(mailbox, protocol::kMailboxRequestSequence).load(std::memory_order_acquire);
  PortMessage received;
  std::memcpy(received.bytes.data(), mailbox + protocol::kMailboxRequest, PortMessage::kSize);
  if (protocol::getField16(received, protocol::kType) != protocol::kRequestType) {
    endpoint.broken = true;
    return NtStatus::InvalidParameter;
  }
  message = received;
  protocol::putField16(message, protocol::kDataLength, PortMessage::kSize - PortMessage::kHeaderSize);
  protocol::putField16(message, protocol::kTotalLength, PortMessage::kSize);
  return NtStatus::Success;
}

int32_t PosixPorts::replyPort(Handle communicationPort, const PortMessage& message) {
  const std::shared_ptr<Endpoint> endpoint = find(communicationPort, false);
  if (!endpoint) return NtStatus::InvalidHandle;
  const bool sent =
      endpoint->viaMailbox ? replyToMailbox(*endpoint, message) : replyOnSocket(*endpoint->channel, message);
  if (!sent) return NtStatus::PortDisconnected;
  endpoint->replied = true;
  return NtStatus::Success;
}

bool PosixPorts::replyToMailbox(Endpoint& endpoint, const PortMessage& message) {
  uint8_t* mailbox = endpoint.channel->mailbox();
  std::memcpy(mailbox + protocol::kMailboxReply, message.bytes.data(), PortMessage::kSize);
  protocol::mailboxWord(mailbox, protocol::kMailboxReplySequence).store(endpoint.sequence, std::memory_order_release);
  const uint64_t one = 1;
  return write(endpoint.channel->replyBell.get(), &one, sizeof(one)) == sizeof(one);
}

// A channel's first reply brings its bells; one whose bells cannot be made
// ends after this reply.
bool PosixPorts::replyOnSocket(Channel& channel, const PortMessage& message) {
  const bool sendingBells = channel.kept && channel.view && channel.makeBells();
  const bool sent = sendingBells ? protocol::sendMessage(channel.fd.get(), message,
                                                         {channel.requestBell.get(), channel.replyBell.get()})
                                 : protocol::sendMessage(channel.fd.get(), message, {});
  channel.kept = sendingBells;
  return sent;
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
  if (!endpoint->listening) {
    // An answered connection gives its channel back; any other ends its socket.
    const std::shared_ptr<Endpoint> port = endpoint->port.lock();
    const bool kept =
        endpoint->channel->kept && endpoint->replied && !endpoint->broken && port && port->keepIdle(endpoint->channel);
    if (!kept) shutdown(endpoint->socket(), SHUT_RDWR);  // wakes a thread waiting on it
    return NtStatus::Success;
  }
  shutdown(endpoint->fd.get(), SHUT_RDWR);
  endpoint->dropIdle();
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = write(endpoint->wake.get(), &one, sizeof(one));  // wakes the listener
  endpoint->unlinkSocket();  // the name is free again at once
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
