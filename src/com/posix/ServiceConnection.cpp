#include "com/posix/ServiceConnection.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/Error.h>

#include <cerrno>
#include <cstring>
#include <utility>

using sys::posix::UniqueFd;

std::shared_ptr<ServiceConnection> ServiceConnection::open(std::string& failure) {
  try {
    UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) {
      failure = std::string("cannot make an event descriptor: ") + std::strerror(errno);
      return nullptr;
    }
    std::unique_ptr<sdbus::IConnection> connection = sdbus::createSystemBusConnection();
    std::unique_ptr<sdbus::IProxy> busDaemon =
        sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
    return std::shared_ptr<ServiceConnection>(
        new ServiceConnection(std::move(connection), std::move(busDaemon), std::move(wake)));
  } catch (const sdbus::Error& error) {
    failure = error.what();
    return nullptr;
  }
}

ServiceConnection::ServiceConnection(std::unique_ptr<sdbus::IConnection> connection,
                                     std::unique_ptr<sdbus::IProxy> busDaemon, UniqueFd wake)
    : connection_(std::move(connection)), busDaemon_(std::move(busDaemon)), wake_(std::move(wake)) {}

ServiceConnection::End ServiceConnection::run(int stopFd, std::string& failure) {
  try {
    while (true) {
      dispatch();
      const Wait waited = wait(stopFd, failure);
      if (waited == Wait::Stop) return End::Signalled;
      if (waited == Wait::Failed) return End::Lost;
    }
  } catch (const sdbus::Error& error) {
    failure = error.what();
    return End::Lost;
  }
}

void ServiceConnection::dispatch() {
  while (connection_->processPendingRequest()) runPosted();
  runPosted();
}

void ServiceConnection::runPosted() {
  std::vector<std::function<void()>> tasks;
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    tasks.swap(posted_);
  }
  for (const std::function<void()>& task : tasks) task();
}

ServiceConnection::Wait ServiceConnection::wait(int stopFd, std::string& failure) {
  const sdbus::IConnection::PollData data = connection_->getEventLoopPollData();
  pollfd fds[] = {{data.fd, data.events, 0}, {wake_.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
  if (poll(fds, 3, data.getPollTimeout()) < 0) {
    if (errno == EINTR) return Wait::Events;
    failure = std::string("cannot wait for the bus: ") + std::strerror(errno);
    return Wait::Failed;
  }
  if (fds[1].revents & POLLIN) {
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t read = ::read(wake_.get(), &count, sizeof(count));  // only empties the counter
  }
  return (fds[2].revents & POLLIN) ? Wait::Stop : Wait::Events;
}

void ServiceConnection::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t written =
      write(wake_.get(), &one, sizeof(one));  // a full counter wakes it all the same
}

void ServiceConnection::post(std::function<void()> task) {
  {
    const std::lock_guard<std::mutex> guard(mutex_);
    posted_.push_back(std::move(task));
  }
  wake();
}
