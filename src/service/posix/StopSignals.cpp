#include "service/posix/StopSignals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

StopSignals::StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  const int blocked = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  if (blocked != 0) {
    error_ = blocked;
    return;
  }
  fd_ = sys::posix::UniqueFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd_.valid()) error_ = errno;
}

int StopSignals::take() {
  signalfd_siginfo signal{};
  const ssize_t got = read(fd_.get(), &signal, sizeof(signal));
  return got == static_cast<ssize_t>(sizeof(signal)) ? static_cast<int>(signal.ssi_signo) : 0;
}
