#include "ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DriverControl.h"
#include "RuntimeDirectory.h"
#include "common/WinError.h"
#include "sys/posix/DeviceProtocol.h"

namespace protocol = sys::posix::device_protocol;
using sys::posix::UniqueFd;

namespace {

constexpr size_t kHeaderSize = sizeof(protocol::ControlRequestHeader);
// With no client the server still looks at its stop descriptor this often.
constexpr int kIdleTickMs = 1000;

bool socketIsLive(const sockaddr_un& address) {
  UniqueFd probe(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  return probe.valid() && connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

// Binds `fd` to `address`, the entry `name` of `directory`, taking over a
// socket file that nobody serves.
int bindOrTakeOver(int fd, const sockaddr_un& address, int directory, const char* name) {
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  if (bind(fd, generic, sizeof(address)) == 0) return 0;
  if (errno != EADDRINUSE) return errno;
  if (socketIsLive(address)) return EADDRINUSE;
  unlinkat(directory, name, 0);
  return bind(fd, generic, sizeof(address)) == 0 ? 0 : errno;
}

// The inode of the socket file `name` of `directory` when it is one of this
// user's (the one just bound there); 0 otherwise.
ino_t ownSocketInode(int directory, const char* name) {
  struct stat status {};
  if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  return S_ISSOCK(status.st_mode) && status.st_uid == geteuid() ? status.st_ino : 0;
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::publish(DiskDriver& driver, const RuntimeDirectory& runtime,
                                                      std::shared_ptr<DriverLog> log) {
  const std::string relative = protocol::interfaceClassSubdirectory(driver_control::VIRTUAL_DISK_INTERFACE_GUID);
  const std::string path = runtime.path() + "/" + relative + "/" + kInterfaceName;
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) {
    log->line("the interface path %s is too long for a socket", path.c_str());
    return nullptr;
  }
  int error = 0;
  UniqueFd directory = runtime.openSubdirectory(relative, sys::posix::PrivateDirectory::Missing::Make, error);
  if (!directory.valid()) {
    log->line("cannot make the interface directory %s: %s", relative.c_str(), std::strerror(error));
    return nullptr;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  error = listener.valid() ? bindOrTakeOver(listener.get(), address, directory.get(), kInterfaceName) : errno;
  if (error == EADDRINUSE) {
    log->line("another vkvd serves %s", path.c_str());
    return nullptr;
  }
  if (error != 0) {
    log->line("cannot publish the interface %s: %s", path.c_str(), std::strerror(error));
    return nullptr;
  }
  // The path was resolved once more to bind: the socket must be where the directory was checked.
  const ino_t inode = ownSocketInode(directory.get(), kInterfaceName);
  if (inode == 0) {
    log->line("cannot publish the interface %s: the socket is not in the runtime directory", path.c_str());
    return nullptr;
  }
  std::unique_ptr<ControlServer> server(
      new ControlServer(driver, std::move(log), path, std::move(directory), inode, std::move(listener)));
  // Each request comes with the user it is for (SCM_CREDENTIALS). Asked of
  // the listener, so that every connection has it from its start: a request
  // sent between a connection's acceptance and the option being set on it
  // would come without credentials and read as the overflow user (65534).
  const int on = 1;
  if (fchmodat(server->directory_.get(), kInterfaceName, 0600, 0) != 0 ||
      setsockopt(server->listener_.get(), SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
      listen(server->listener_.get(), 8) != 0) {
    server->log_->line("cannot publish the interface %s: %s", path.c_str(), std::strerror(errno));
    return nullptr;
  }
  server->log_->line("serving the interface %s", path.c_str());
  return server;
}

ControlServer::ControlServer(DiskDriver& driver, std::shared_ptr<DriverLog> log, std::string path, UniqueFd directory,
                             ino_t inode, UniqueFd listener)
    : driver_(driver),
      log_(std::move(log)),
      path_(std::move(path)),
      directory_(std::move(directory)),
      inode_(inode),
      listener_(std::move(listener)),
      buffer_(kHeaderSize + protocol::kMaxPayload) {}

// Removes the socket file while it is still the one bound here.
ControlServer::~ControlServer() {
  if (ownSocketInode(directory_.get(), kInterfaceName) == inode_) unlinkat(directory_.get(), kInterfaceName, 0);
}

void ControlServer::run(int stopFd) {
  for (;;) {
    pollfd entries[2] = {{stopFd, POLLIN, 0}, {client_.valid() ? client_.get() : listener_.get(), POLLIN, 0}};
    const int ready = poll(entries, 2, client_.valid() ? static_cast<int>(kClientIdleTimeout.count()) : kIdleTickMs);
    if (ready < 0 && errno != EINTR) {
      log_->line("cannot wait for requests: %s", std::strerror(errno));
      return;
    }
    if (entries[0].revents != 0) return;
    if (ready <= 0) {
      if (ready == 0 && client_.valid()) {
        log_->line("dropped a client that sent nothing for %lld ms",
                   static_cast<long long>(kClientIdleTimeout.count()));
        client_.reset();
      }
    } else if (!client_.valid()) {
      client_ = UniqueFd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    } else if (!serveRequest()) {
      client_.reset();
    }
  }
}

bool ControlServer::serveRequest() {
  uid_t requester = 0;
  const ssize_t size = protocol::receiveFrom(client_.get(), buffer_, MSG_TRUNC | MSG_DONTWAIT, requester);
  if (size < 0) return errno == EAGAIN || errno == EINTR;
  if (size == 0) return false;  // the client closed its handle
  const auto length = static_cast<size_t>(size);
  protocol::ControlRequestHeader header{};
  if (length >= kHeaderSize) std::memcpy(&header, buffer_.data(), kHeaderSize);
  const char* refusal = nullptr;
  if (length < kHeaderSize) {
    refusal = "it is shorter than a request header";
  } else if (header.magic != protocol::kRequestMagic) {
    refusal = "its magic is wrong";
  } else if (header.inputSize > protocol::kMaxPayload || header.outputSize > protocol::kMaxPayload) {
    refusal = "its input or output size is larger than a request may carry";
  } else if (length != kHeaderSize + header.inputSize) {
    refusal = "its length does not match its input size";
  }
  if (refusal) {
    log_->line("refused a request of %zu bytes: %s", length, refusal);
    return sendReply(WinError::InvalidParameter, {});
  }
  const DiskDriver::Reply reply = driver_.handle(
      header.controlCode, std::span(buffer_.data() + kHeaderSize, header.inputSize), header.outputSize, requester);
  if (sendReply(reply.status, reply.output)) return true;
  if (reply.madeDisk) driver_.undoConnect();
  return false;
}

bool ControlServer::sendReply(uint32_t status, const std::vector<uint8_t>& output) {
  const protocol::ControlReplyHeader header{protocol::kReplyMagic, status, static_cast<uint32_t>(output.size()), 0};
  std::vector<uint8_t> message(sizeof(header) + output.size());
  std::memcpy(message.data(), &header, sizeof(header));
  if (!output.empty()) std::memcpy(message.data() + sizeof(header), output.data(), output.size());
  if (send(client_.get(), message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
      static_cast<ssize_t>(message.size())) {
    log_->line("a client did not take its reply: %s", std::strerror(errno));
    return false;
  }
  return true;
}
