#include "ControlServer.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "DriverControl.h"
#include "RuntimeDirectory.h"
#include "sys/WinError.h"
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

// Binds `fd` to `address`, taking over a socket file that nobody serves.
int bindOrTakeOver(int fd, const sockaddr_un& address) {
  const auto* generic = reinterpret_cast<const sockaddr*>(&address);
  if (bind(fd, generic, sizeof(address)) == 0) return 0;
  if (errno != EADDRINUSE) return errno;
  if (socketIsLive(address)) return EADDRINUSE;
  unlink(address.sun_path);
  return bind(fd, generic, sizeof(address)) == 0 ? 0 : errno;
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::publish(DiskDriver& driver, std::shared_ptr<DriverLog> log) {
  const std::string directory = protocol::interfaceClassDirectory(driver_control::VIRTUAL_DISK_INTERFACE_GUID);
  const std::string path = directory + "/" + kInterfaceName;
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) {
    log->line("the interface path %s is too long for a socket", path.c_str());
    return nullptr;
  }
  if (const int error = RuntimeDirectory::makeDirectories(directory)) {
    log->line("cannot make the interface directory %s: %s", directory.c_str(), std::strerror(error));
    return nullptr;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  UniqueFd listener(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int error = listener.valid() ? bindOrTakeOver(listener.get(), address) : errno;
  if (error == EADDRINUSE) {
    log->line("another vkvd serves %s", path.c_str());
    return nullptr;
  }
  if (error != 0 || chmod(path.c_str(), 0600) != 0 || listen(listener.get(), 8) != 0) {
    log->line("cannot publish the interface %s: %s", path.c_str(), std::strerror(error ? error : errno));
    if (error == 0) unlink(path.c_str());
    return nullptr;
  }
  return std::unique_ptr<ControlServer>(new ControlServer(driver, std::move(log), path, std::move(listener)));
}

ControlServer::ControlServer(DiskDriver& driver, std::shared_ptr<DriverLog> log, std::string path, UniqueFd listener)
    : driver_(driver),
      log_(std::move(log)),
      path_(std::move(path)),
      listener_(std::move(listener)),
      buffer_(kHeaderSize + protocol::kMaxPayload) {
  log_->line("serving the interface %s", path_.c_str());
}

ControlServer::~ControlServer() { unlink(path_.c_str()); }

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
  const ssize_t size = recv(client_.get(), buffer_.data(), buffer_.size(), MSG_TRUNC | MSG_DONTWAIT);
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
    return sendReply(sys::WinError::InvalidParameter, {});
  }
  const DiskDriver::Reply reply =
      driver_.handle(header.controlCode, std::span(buffer_.data() + kHeaderSize, header.inputSize), header.outputSize);
  return sendReply(reply.status, reply.output);
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
