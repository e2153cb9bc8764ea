#pragma once

#include <memory>
#include <span>
#include <string>

#include "service/posix/StopSignals.h"

class CallWorkers;
class LpcThread;
class MountServiceBus;
class ServiceConnection;

// The service process on Linux, from its start to its stop; the watchdog
// runs beside it for the whole process (main starts it). The service's name
// on the bus is taken first, so that a second instance ends before it
// touches anything of the one that runs (on Windows the service control
// manager never starts a service twice). Then, in the order the service
// keeps on every platform, ServiceMain parses the start arguments (prefix
// "-": "-log PATH"), runs App::startup, starts the port thread without impersonation, hands
// the kernel's device events to volume detection, and serves the calls that
// come over the bus. SIGTERM or SIGINT is the stop control: the service
// takes no more calls, cancels a mount in progress and lets the calls at
// work finish and be answered (both bounded), leaves the bus, stops the port
// thread, logs "ServiceMain: OnStop OK" and runs App::shutdown. What Windows
// reports to the event log goes to standard error, which systemd keeps in
// the journal.
class ServiceHost {
 public:
  // Exit codes.
  static constexpr int kStopped = 0;
  // The bus could not be reached, refused the service or was lost, or the
  // controls could not be taken.
  static constexpr int kCannotServe = 2;

  explicit ServiceHost(StopSignals& signals);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  int run(std::span<const std::u16string> startArguments);

  // One report of the service, as the event log would hold it.
  static void report(const std::string& text);

 private:
  // Connects and takes the service's name; false, reported, when the bus refuses.
  bool takeName();
  int serviceMain(LpcThread& port, std::span<const std::u16string> startArguments);
  // Runs the bus loop until SIGTERM or SIGINT; kCannotServe when the bus is lost first.
  int untilStopped();

  StopSignals& signals_;
  std::shared_ptr<ServiceConnection> connection_;
  std::shared_ptr<CallWorkers> workers_;
  std::unique_ptr<MountServiceBus> service_;
};
