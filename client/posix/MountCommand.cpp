#include "MountCommand.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "DiskInspector.h"
#include "MountOutcome.h"
#include "MountRecordReader.h"
#include "PasswordInput.h"
#include "Unmounter.h"

namespace {

constexpr std::chrono::milliseconds kRecordCheckInterval{200};
// The mount's result when it was cancelled.
constexpr int32_t kCancelledResult = -19;
// Beyond the call's own timeout, after which the bus library answers for it.
constexpr std::chrono::minutes kMountWaitMargin{1};

// The service runs in a process of its own, with another working directory,
// and opens no symbolic link itself: each path is sent absolute, with the
// links in it resolved (as far as it exists).
std::string absolutePath(const std::string& path) {
  if (path.empty()) return path;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return path;
  const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, error);
  return (error ? absolute : resolved).string();
}

// The user finds no file at `path` (the service says only that it cannot read it).
bool imageMissing(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

}  // namespace

ExitCode MountCommand::run() {
  MountRequest request;
  ExitCode exitCode = ExitCode::Done;
  if (!prepare(request, exitCode)) return exitCode;
  image_ = request.image;
  BusFailure failure;
  const std::unique_ptr<MountService> service = MountService::connect(failure);
  if (!service) return serviceFailed(failure);
  service->onProgress(
      [this](int32_t part, double total, double processed) { progress_.update(part, total, processed); });
  if (!service->advise(failure)) err_ << "vkbvd: the indexing progress cannot be shown: " << failure.describe() << "\n";
  if (interrupts_.take()) {
    err_ << "Interrupted; nothing was mounted.\n";
    return ExitCode::Interrupted;
  }
  if (!service->sendMount(request, failure)) return serviceFailed(failure);
  const MountService::Wait wait = service->waitForMount(MountService::kMountTimeout + kMountWaitMargin, interrupts_);
  progress_.finish();
  if (wait == MountService::Wait::Interrupted) return finishInterrupted(*service);
  return finishAnswered(*service, wait);
}

ExitCode MountCommand::finishAnswered(MountService& service, MountService::Wait wait) {
  int32_t result = 0;
  BusFailure failure{"", "no answer within a day"};
  if (wait != MountService::Wait::Answered || !service.mountResult(result, failure)) {
    err_ << "The service did not answer the mount: " << failure.describe()
         << ". Whether the image was mounted cannot be told; 'vkbvd list' shows it.\n";
    return ExitCode::ServiceUnreachable;
  }
  const MountOutcome outcome =
      MountOutcome::of(result, image_, result == -9 ? checkDriver(service) : DriverCheck(), imageMissing(image_));
  if (!outcome.mounted) {
    err_ << outcome.sentence << "\n";
    return outcome.exitCode;
  }
  MountRecord record;
  const RecordWait recordWait = waitForRecord(record);
  if (recordWait == RecordWait::Interrupted) return undo(service);
  out_ << outcome.sentence << "\n";
  if (recordWait == RecordWait::Found) {
    for (const std::string& line : record.describe()) out_ << line << "\n";
  }
  return ExitCode::Done;
}

bool MountCommand::prepare(MountRequest& request, ExitCode& exitCode) {
  request.image = absolutePath(arguments_.image);
  request.baseImage = absolutePath(arguments_.baseImage);
  request.debugLog = absolutePath(arguments_.logFile);
  request.tempFile = absolutePath(arguments_.tempFile);
  request.options = arguments_.options;
  request.usingEncryption = !arguments_.passwordFile.empty() || arguments_.askPassword;
  return !request.usingEncryption || readPassword(request.password, exitCode);
}

bool MountCommand::readPassword(std::string& password, ExitCode& exitCode) {
  std::string error;
  const PasswordInput::Result result =
      arguments_.askPassword ? PasswordInput::fromTerminal("Password for " + absolutePath(arguments_.image) + ": ",
                                                           interrupts_, password, error)
                             : PasswordInput::fromFile(arguments_.passwordFile, password, error);
  if (result == PasswordInput::Result::Read) return true;
  if (result == PasswordInput::Result::Interrupted) {
    err_ << "Interrupted; nothing was mounted.\n";
    exitCode = ExitCode::Interrupted;
  } else {
    err_ << "vkbvd: " << error << "\n";
    exitCode = ExitCode::Usage;
  }
  return false;
}

ExitCode MountCommand::finishInterrupted(MountService& service) {
  bool cancelling = false;
  BusFailure failure;
  if (service.cancelMount(cancelling, failure)) {
    err_ << "Interrupted: cancelling the mount. Waiting for the service to end it (at most "
         << kInterruptedWait.count() << " minutes; Ctrl-C again stops waiting).\n";
  } else {
    err_ << "Interrupted: the mount cannot be cancelled (" << failure.describe()
         << "). Waiting for its answer (at most " << kInterruptedWait.count()
         << " minutes; Ctrl-C again stops waiting) to undo it.\n";
  }
  const MountService::Wait wait = service.waitForMount(kInterruptedWait, interrupts_);
  progress_.finish();
  if (wait != MountService::Wait::Answered) {
    service.onProgress(nullptr);  // what still comes while the object is released
    err_ << "Stopped waiting: the service may still mount " << image_
         << ". 'vkbvd list' shows whether it did; 'vkbvd umount' unmounts it.\n";
    return ExitCode::OutcomeUnknown;
  }
  int32_t result = 0;
  if (!service.mountResult(result, failure)) {
    err_ << "The service did not answer the mount: " << failure.describe()
         << ". Whether the image was mounted cannot be told; 'vkbvd list' shows it.\n";
    return ExitCode::OutcomeUnknown;
  }
  const MountOutcome outcome = MountOutcome::of(result, image_);
  if (result == kCancelledResult) {
    err_ << "Interrupted; the mount was cancelled and nothing is mounted.\n";
    return ExitCode::Interrupted;
  }
  if (!outcome.mounted) {
    err_ << "Interrupted; nothing was mounted. (" << outcome.sentence << ")\n";
    return ExitCode::Interrupted;
  }
  return undo(service);
}

ExitCode MountCommand::undo(MountService& service) {
  err_ << "Interrupted after " << image_ << " was mounted: unmounting it.\n";
  BusFailure failure;
  const std::optional<RemainsReport> report = Unmounter(service, err_).unmount(failure);
  if (!report) {
    err_ << "The image stays mounted: the service cannot be asked to unmount it (" << failure.describe()
         << "). 'vkbvd umount' unmounts it.\n";
    return ExitCode::LeftBehind;
  }
  if (!report->succeeded()) {
    err_ << report->text() << "\n";
    return ExitCode::LeftBehind;
  }
  err_ << "Interrupted; the mount was undone.\n";
  return ExitCode::Interrupted;
}

ExitCode MountCommand::serviceFailed(const BusFailure& failure) {
  err_ << "Cannot mount " << arguments_.image << ": " << failure.reason() << ".\n";
  return failure.exitCode();
}

DriverCheck MountCommand::checkDriver(MountService& service) {
  MountService::Enumeration enumeration;
  BusFailure failure;
  if (!service.enumMounted(enumeration, failure)) return DriverCheck();
  if (enumeration.result != 0) return DriverCheck{DriverCheck::State::Unreachable, {}};
  if (enumeration.count > 0) return DriverCheck{DriverCheck::State::HoldsDisk, enumeration.image};
  return DriverCheck{DriverCheck::State::Free, {}};
}

MountCommand::RecordWait MountCommand::waitForRecord(MountRecord& record) {
  const auto deadline = std::chrono::steady_clock::now() + kRecordWait;
  MountRecordReader reader;
  const DiskInspector inspector;
  while (true) {
    uint32_t error = 0;
    if (!reader.read(record, error)) {
      err_ << "vkbvd: where the volume is cannot be told: the mount record cannot be read: "
           << MountRecordReader::describeError(error) << "\n";
      return RecordWait::Missing;
    }
    if (!record.empty() && inspector.hasPartition(record.deviceName)) {
      inspector.completeMountPoints(record);
      return RecordWait::Found;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      err_ << "vkbvd: the volume has not turned up within " << kRecordWait.count()
           << " s; 'vkbvd list' shows it once it does\n";
      return RecordWait::Missing;
    }
    if (interrupts_.wait(kRecordCheckInterval)) return RecordWait::Interrupted;
  }
}
