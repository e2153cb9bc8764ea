#pragma once

#include <chrono>
#include <ostream>

#include "ClientArguments.h"
#include "ExitCode.h"
#include "InterruptSignals.h"
#include "MountOutcome.h"
#include "MountRecord.h"
#include "MountService.h"
#include "ProgressDisplay.h"

// `vkbvd mount`: sends the mount with its paths made absolute, shows the
// indexing progress, turns the result into a sentence and an exit code, and
// on success waits for the mounted-drive record and prints the volume's
// device and mount points. An interrupt (SIGINT, SIGTERM, SIGHUP) before
// success is reported undoes the mount: the service cannot stop a mount it
// has begun, so its answer is awaited (bounded) and a mounted image is
// unmounted again.
class MountCommand {
 public:
  // How long an interrupted mount's answer is awaited.
  static constexpr std::chrono::minutes kInterruptedWait{10};
  // How long a mounted image's volume is awaited in the record.
  static constexpr std::chrono::seconds kRecordWait{30};

  // Results go to `out`, failures to `err` and the progress display to
  // `progress`, which is a terminal when `progressIsTerminal` (the same
  // stream as `err`, without its escaping).
  MountCommand(const ClientArguments& arguments, std::ostream& out, std::ostream& err, std::ostream& progress,
               bool progressIsTerminal)
      : arguments_(arguments), out_(out), err_(err), progress_(progress, progressIsTerminal) {}

  ExitCode run();

 private:
  enum class RecordWait { Found, Missing, Interrupted };

  bool prepare(MountRequest& request, ExitCode& exitCode);
  bool readPassword(std::string& password, ExitCode& exitCode);
  // After the Mount's answer, or after waiting for it in vain.
  ExitCode finishAnswered(MountService& service, MountService::Wait wait);
  // Awaits, bounded, the answer of a mount interrupted under way, to undo it.
  ExitCode finishInterrupted(MountService& service);
  // Unmounts the image mounted under an interrupt, checking its disk is gone.
  ExitCode undo(MountService& service);
  ExitCode serviceFailed(const BusFailure& failure);
  DriverCheck checkDriver(MountService& service);
  RecordWait waitForRecord(MountRecord& record);

  const ClientArguments& arguments_;
  std::ostream& out_;
  std::ostream& err_;
  ProgressDisplay progress_;
  InterruptSignals interrupts_;
  std::string image_;
};
