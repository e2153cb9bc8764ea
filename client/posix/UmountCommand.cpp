#include "UmountCommand.h"

#include "MountService.h"
#include "Unmounter.h"

ExitCode UmountCommand::run() {
  BusFailure failure;
  const std::unique_ptr<MountService> service = MountService::connect(failure);
  std::optional<RemainsReport> report;
  // The advice lets the service name the image it unmounts.
  if (service && !service->advise(failure)) {
    err_ << "vkbvd: the service will not name the image: " << failure.describe() << "\n";
  }
  if (service) report = Unmounter(*service, err_).unmount(failure);
  if (!report) {
    err_ << "Nothing was unmounted: " << failure.reason() << ".\n";
    return failure.exitCode();
  }
  if (!report->succeeded()) {
    err_ << report->text() << "\n";
    return report->outcome() == UmountOutcome::Refused ? ExitCode::AccessRefused : ExitCode::LeftBehind;
  }
  out_ << report->text() << "\n";
  return ExitCode::Done;
}
