// vkvd: the virtual-disk driver on Linux. It publishes the driver's device
// interface, answers its control requests, and presents the one disk it may
// hold to the kernel, fetching every sector from the mount service's port.
//
//   vkvd [--runtime-dir DIR] [--log PATH] [--mount-dir DIR | --no-mount] [--foreground]
//
// It mounts the volumes of its disk in the mount directory (by default
// /run/vkbvd-volumes), unless told not to. It runs in the foreground (as
// systemd runs it) until SIGTERM or SIGINT, then removes the disk and its
// interface. Exit codes: 0 stopped, 1 bad arguments, 2 could not start.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ControlServer.h"
#include "DiskDriver.h"
#include "DriverLog.h"
#include "Leftovers.h"
#include "MountDirectory.h"
#include "RuntimeDirectory.h"
#include "sys/posix/IoFlusher.h"

namespace {

struct Options {
  std::string runtimeDir;
  std::string logPath;
  std::string mountDir;  // empty: the default
  std::string userTypes = MountDirectory::kDefaultUserTypes;
  bool mounting = true;
};

int usage() {
  std::fputs(
      "usage: vkvd [--runtime-dir DIR] [--log PATH] [--mount-dir DIR | --no-mount] [--user-fs-types LIST] "
      "[--foreground]\n",
      stderr);
  return 1;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--foreground") continue;  // the only way vkvd runs
    if (option == "--no-mount") {
      options.mounting = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    if (option == "--runtime-dir") {
      options.runtimeDir = argv[++i];
    } else if (option == "--log") {
      options.logPath = argv[++i];
    } else if (option == "--mount-dir") {
      options.mountDir = argv[++i];
    } else if (option == "--user-fs-types") {
      options.userTypes = argv[++i];
    } else {
      return false;
    }
  }
  // --mount-dir and --no-mount contradict each other.
  return options.mounting || options.mountDir.empty();
}

// Stop requests arrive on a descriptor; no signal handler runs. Called before
// any thread starts, so that every thread blocks them.
sys::posix::UniqueFd stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return {};
  return sys::posix::UniqueFd(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

// vkvd serves a disk that the kernel may write back through it to free
// memory. As an I/O flusher its allocations never start I/O in reclaim, so
// serving a request never waits on that disk's own write-back.
void joinWriteBackPath(DriverLog& log) {
  if (const int error = sys::posix::becomeIoFlusher()) {
    log.line(
        "cannot run as an I/O flusher: %s (it needs CAP_SYS_RESOURCE); under memory pressure, writing back to "
        "the disk may stall",
        std::strerror(error));
  } else {
    log.line("running as an I/O flusher");
  }
}

int serve(const Options& options, const std::shared_ptr<DriverLog>& log, int stopFd) {
  const std::unique_ptr<RuntimeDirectory> runtime = RuntimeDirectory::open(*log);
  if (!runtime) return 2;
  std::unique_ptr<MountDirectory> mounts;
  if (options.mounting) {
    mounts = MountDirectory::open(options.mountDir.empty() ? MountDirectory::kDefaultPath : options.mountDir,
                                  MountDirectory::typesOf(options.userTypes), *log);
    if (!mounts) return 2;
    log->line("volumes are mounted in %s; for users other than root only %s", mounts->path().c_str(),
              options.userTypes.c_str());
  } else {
    log->line("volumes are not mounted (--no-mount)");
  }
  DiskDriver driver(*runtime, mounts.get(), log);
  const std::unique_ptr<ControlServer> server = ControlServer::publish(driver, *runtime, log);
  if (!server) return 2;
  Leftovers::reclaim(*runtime, mounts.get(), log);
  log->line("vkvd %d started in %s", static_cast<int>(getpid()), runtime->path().c_str());
  server->run(stopFd);
  signalfd_siginfo signal{};
  if (read(stopFd, &signal, sizeof(signal)) == static_cast<ssize_t>(sizeof(signal))) {
    log->line("stopping on %s", strsignal(static_cast<int>(signal.ssi_signo)));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) return usage();
  // The port library finds the service's port in this directory too.
  if (!options.runtimeDir.empty()) setenv("VKBVD_RUNTIME_DIR", options.runtimeDir.c_str(), 1);
  const std::shared_ptr<DriverLog> log = DriverLog::open(options.logPath);
  if (!log) {
    std::fprintf(stderr, "vkvd: cannot open the log %s: %s\n", options.logPath.c_str(), std::strerror(errno));
    return 2;
  }
  joinWriteBackPath(*log);  // before any thread starts, so that each inherits it
  const sys::posix::UniqueFd stopFd = stopSignals();
  if (!stopFd.valid()) {
    log->line("cannot take SIGTERM and SIGINT on a descriptor: %s", std::strerror(errno));
    return 2;
  }
  const int exitCode = serve(options, log, stopFd.get());
  log->line("%s", exitCode == 0 ? "vkvd stopped" : "vkvd could not start");
  return exitCode;
}
