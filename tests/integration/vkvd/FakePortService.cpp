#include "FakePortService.h"

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "lpc/LpcDiskMessage.h"
#include "sys/posix/PortProtocol.h"

using sys::posix::UniqueFd;

namespace {

constexpr int kWaitMs = 5000;
constexpr int kTickMs = 100;
constexpr uint32_t kWindow = LpcDiskMessage::kWindowSize;

bool readable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, timeoutMs) == 1;
}

// The connection request: its bytes and the view it hands over.
UniqueFd receiveView(int connection) {
  uint8_t bytes[sys::PortMessage::kSize];
  iovec data{bytes, sizeof(bytes)};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  header.msg_iov = &data;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof(control);
  if (!readable(connection, kWaitMs) || recvmsg(connection, &header, MSG_CMSG_CLOEXEC) != sizeof(bytes)) return {};
  const cmsghdr* c = CMSG_FIRSTHDR(&header);
  if (!c || c->cmsg_type != SCM_RIGHTS) return {};
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(c), sizeof(fd));
  return UniqueFd(fd);
}

struct Mapping {
  Mapping(int fd, size_t length)
      : size(length), base(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)) {}
  ~Mapping() {
    if (base != MAP_FAILED) munmap(base, size);
  }
  uint8_t* bytes() const { return base == MAP_FAILED ? nullptr : static_cast<uint8_t*>(base); }
  size_t size;
  void* base;
};

}  // namespace

FakePortService::FakePortService(std::vector<uint8_t> disk) : disk_(std::move(disk)) {
  const std::string path = sys::posix::port_protocol::socketPath(LpcDiskMessage::kPortName);
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd.get(), 16) != 0) return;
  listener_ = std::move(fd);
  thread_ = std::thread([this] { run(); });
}

FakePortService::~FakePortService() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_.valid()) unlink(sys::posix::port_protocol::socketPath(LpcDiskMessage::kPortName).c_str());
}

void FakePortService::run() {
  while (!stopping_) {
    if (!readable(listener_.get(), kTickMs)) continue;
    UniqueFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.valid()) serve(connection.get());
  }
}

void FakePortService::serve(int connection) {
  const int number = ++connections_;
  UniqueFd view = receiveView(connection);
  const Behaviour behaviour = behaviour_;
  if (behaviour == Behaviour::DropAll || (behaviour == Behaviour::DropEveryOther && number % 2 == 1)) return;
  struct stat status {};
  if (!view.valid() || fstat(view.get(), &status) != 0 || status.st_size < 2 * kWindow) return;
  const Mapping mapping(view.get(), static_cast<size_t>(status.st_size));
  LpcDiskMessage message;
  if (!mapping.bytes() || !readable(connection, kWaitMs) ||
      recv(connection, message.message().bytes.data(), sys::PortMessage::kSize, 0) != sys::PortMessage::kSize) {
    return;
  }
  const uint64_t offset = message.offset();
  const uint32_t length = message.length();
  const bool fits = length <= kWindow && offset <= disk_.size() && length <= disk_.size() - offset;
  message.setStatus(LpcDiskMessage::LPC_STATUS_FAILED);
  message.setResult(0);
  if (fits && message.op() == LpcDiskMessage::LPC_OP_READ) {
    std::memcpy(mapping.bytes(), disk_.data() + offset, length);
  } else if (fits && message.op() == LpcDiskMessage::LPC_OP_WRITE) {
    std::memcpy(disk_.data() + offset, mapping.bytes() + kWindow, length);
  }
  if (fits && behaviour != Behaviour::ReplyFailed) {
    message.setStatus(LpcDiskMessage::LPC_STATUS_OK);
    const uint32_t moved = behaviour == Behaviour::ReplyShort     ? length / 2
                           : behaviour == Behaviour::ReplyTooMuch ? length + 512
                                                                  : length;
    message.setResult(moved);
  }
  const size_t size = behaviour == Behaviour::ReplyTruncated ? 30 : sys::PortMessage::kSize;
  send(connection, message.message().bytes.data(), size, MSG_NOSIGNAL);
}
