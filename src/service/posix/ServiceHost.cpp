#include "service/posix/ServiceHost.h"

#include <signal.h>

#include <cstdio>

#include "com/OptionMap.h"
#include "com/posix/CallWorkers.h"
#include "com/posix/MountServiceBus.h"
#include "com/posix/ServiceConnection.h"
#include "common/WideString.h"
#include "lpc/LpcThread.h"
#include "service/App.h"
#include "service/DebugLog.h"
#include "sys/DeviceNotifications.h"
#include "sys/Platform.h"
#include "volume/VolumeDeviceNotificator.h"

namespace {

constexpr char kServiceName[] = "Velkara Mount Service";
// Names the service towards device notifications, as its status handle does on Windows.
constexpr sys::DeviceNotifications::ServiceHandle kServiceHandle = 1;

// The control handler's part for device events: each goes to volume detection.
void routeDeviceEvents() {
  sys::DeviceNotifications& notifications = sys::platform().deviceNotifications();
  notifications.setEventHandler(kServiceHandle, [](uint32_t eventType, const uint8_t* eventData) {
    VolumeDeviceNotificator::processDevice(eventType, eventData);
  });
  notifications.setDropLog([](const std::string& reason) { debugLog(u"ServiceMain: %s\n", wide::fromUtf8(reason)); });
  VolumeDeviceNotificator::setServiceHandle(kServiceHandle);
}

}  // namespace

ServiceHost::ServiceHost(StopSignals& signals) : signals_(signals) {}

ServiceHost::~ServiceHost() = default;

void ServiceHost::report(const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", kServiceName, text.c_str());
  std::fflush(stderr);
}

int ServiceHost::run(std::span<const std::u16string> startArguments) {
  if (!takeName()) return kCannotServe;
  LpcThread port;  // not started until ServiceMain
  return serviceMain(port, startArguments);
}

bool ServiceHost::takeName() {
  std::string failure;
  connection_ = ServiceConnection::open(failure);
  if (!connection_) {
    report("cannot reach the system bus: " + failure);
    return false;
  }
  workers_ = std::make_shared<CallWorkers>();
  service_ = std::make_unique<MountServiceBus>(connection_, workers_);
  // Calls that come before the loop runs wait in the connection.
  if (service_->publish(failure)) return true;
  report("cannot serve on the bus: " + failure);
  service_->withdraw();
  return false;
}

int ServiceHost::serviceMain(LpcThread& port, std::span<const std::u16string> startArguments) {
  const OptionMap options(startArguments, u'-', 0);
  App::startup(options);
  if (!port.start(nullptr)) debugLog(u"ServiceMain: error LpcThread not started\n");
  debugLog(u"ServiceMain: started OK\n");
  routeDeviceEvents();
  report("Service started/resumed");
  const int exitCode = untilStopped();
  // The loop has ended: no new call is taken. A mount in progress is
  // cancelled, and the calls at work finish and are answered before their
  // objects leave the bus.
  App::stopMounts();
  if (!workers_->stop(CallWorkers::kStopWait)) report("calls still at work are left to end by themselves");
  service_->withdraw();
  port.stop();
  if (exitCode == kStopped) debugLog(u"ServiceMain: OnStop OK\n");
  App::shutdown();
  report("Service stopped");
  return exitCode;
}

int ServiceHost::untilStopped() {
  while (true) {
    std::string failure;
    if (connection_->run(signals_.fd(), failure) == ServiceConnection::End::Lost) {
      report("the bus connection is lost: " + failure);
      return kCannotServe;
    }
    const int signal = signals_.take();
    if (signal == SIGTERM || signal == SIGINT) return kStopped;
    if (signal == SIGHUP) report("Bad service request");  // nothing to reload
  }
}
