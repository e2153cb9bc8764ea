#include "InterruptSignals.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

InterruptSignals::InterruptSignals() {
  sigemptyset(&signals_);
  sigaddset(&signals_, SIGINT);
  sigaddset(&signals_, SIGTERM);
  sigaddset(&signals_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);
  fd_ = sys::posix::UniqueFd(signalfd(-1, &signals_, SFD_NONBLOCK | SFD_CLOEXEC));
  // Without the descriptor the signals could not be seen: they keep their
  // usual effect.
  if (!fd_.valid()) pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

InterruptSignals::~InterruptSignals() {
  if (!fd_.valid()) return;
  take();
  // A signal that arrives between the last take and here is delivered on
  // unblocking, as it would have been without this object.
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

bool InterruptSignals::take() {
  if (!fd_.valid()) return false;
  bool arrived = false;
  signalfd_siginfo info{};
  while (read(fd_.get(), &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) arrived = true;
  return arrived;
}

bool InterruptSignals::wait(std::chrono::milliseconds time) {
  pollfd entry{fd_.get(), POLLIN, 0};
  const int ready = poll(&entry, fd_.valid() ? 1 : 0, static_cast<int>(time.count()));
  return ready > 0 && take();
}
