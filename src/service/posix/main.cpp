// vkbvd-service: the Velkara Mount Service on Linux. It mounts backup images
// as disks for the clients of its D-Bus API (com.velkara.MountService on the
// system bus, or on the bus DBUS_SYSTEM_BUS_ADDRESS names), with vkvd, the
// virtual-disk driver, beside it.
//
//   vkbvd-service [-log PATH]                      serve, until SIGTERM or SIGINT
//   vkbvd-service -RegServer | -Service | -UnregServer
//
// The registration commands install or remove the bus policy, the bus
// activation file and the systemd unit. Exit codes: 0 stopped or
// registered, 1 a registration failed (or was one Linux does not have),
// 2 the service could not serve: the bus could not be reached, refused the
// service or was lost, or the controls could not be taken.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "common/WideString.h"
#include "device/TimerTask.h"
#include "service/ServiceCommand.h"
#include "service/posix/Registration.h"
#include "service/posix/ServiceHost.h"
#include "service/posix/StopSignals.h"
#include "sys/Platform.h"
#include "sys/posix/DescriptorLimit.h"
#include "sys/posix/IoFlusher.h"

namespace {

constexpr int kRegistrationFailed = 1;

// The watchdog runs for the process's whole life, whatever the process was
// started for, as on Windows.
class ProcessWatchdog {
 public:
  ProcessWatchdog() { TimerTask::start(); }
  ~ProcessWatchdog() { TimerTask::stop(); }
  ProcessWatchdog(const ProcessWatchdog&) = delete;
  ProcessWatchdog& operator=(const ProcessWatchdog&) = delete;
};

int registerAs(ServiceCommand command) {
  Registration registration("/", wide::toUtf8(sys::platform().moduleInfo().programPath()), std::cout, std::cerr);
  switch (command) {
    case ServiceCommand::RegServer: return registration.registerServer() ? 0 : kRegistrationFailed;
    case ServiceCommand::Service: return registration.registerService() ? 0 : kRegistrationFailed;
    case ServiceCommand::UnregServer: return registration.unregisterServer() ? 0 : kRegistrationFailed;
    default:
      std::cerr << "vkbvd-service: there is no per-user registration on Linux: the service is on the system bus "
                   "(use -RegServer or -Service)\n";
      return kRegistrationFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  const ServiceCommand command = parseServiceCommand(words);
  if (command != ServiceCommand::Serve) {
    const ProcessWatchdog watchdog;
    return registerAs(command);
  }

  // Before any thread starts, so that every thread inherits them: open
  // descriptors enough for an image of many parts; allocations that never
  // wait on the write-back of the disk the service serves; the controls
  // taken from a descriptor.
  sys::posix::raiseDescriptorLimit();
  const int flusherError = sys::posix::becomeIoFlusher();
  StopSignals signals;
  if (flusherError != 0) {
    ServiceHost::report(std::string("cannot run as an I/O flusher: ") + std::strerror(flusherError) +
                        " (it needs CAP_SYS_RESOURCE); under memory pressure, writing back to the disk may stall");
  }
  if (!signals.valid()) {
    ServiceHost::report(std::string("cannot take SIGTERM and SIGINT on a descriptor: ") +
                        std::strerror(signals.error()));
    return ServiceHost::kCannotServe;
  }
  // Started once the signals are taken, so that its thread leaves them to the descriptor.
  const ProcessWatchdog watchdog;
  std::vector<std::u16string> startArguments;
  for (const std::string& word : words) startArguments.push_back(wide::fromUtf8(word));
  return ServiceHost(signals).run(startArguments);
}
