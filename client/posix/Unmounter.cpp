#include "Unmounter.h"

#include <thread>

#include "MountRecordReader.h"

namespace {

constexpr std::chrono::milliseconds kCheckInterval{100};

}  // namespace

std::optional<RemainsReport> Unmounter::unmount(BusFailure& failure) {
  MountService::Enumeration enumeration;
  if (!service_.enumMounted(enumeration, failure)) return std::nullopt;
  DiskFacts before = noteDisk();
  before.driverHoldsDisk = enumeration.result == 0 && enumeration.count > 0;
  before.image = enumeration.image;
  UmountOutcome outcome = UmountOutcome::NotUnmounted;
  if (!service_.umount(outcome, failure)) return std::nullopt;
  if (outcome == UmountOutcome::Refused) return RemainsReport(before, before, outcome);
  DiskFacts remaining = waitUntilGone(before);
  if (service_.enumMounted(enumeration, failure) && enumeration.result == 0) {
    remaining.driverHoldsDisk = enumeration.count > 0;
  } else {
    notes_ << "vkbvd: whether the driver still holds a disk cannot be told\n";
  }
  return RemainsReport(before, remaining, outcome);
}

DiskFacts Unmounter::noteDisk() {
  MountRecord record;
  uint32_t error = 0;
  if (!MountRecordReader().read(record, error)) {
    notes_ << "vkbvd: the mount record cannot be read: " << MountRecordReader::describeError(error)
           << "; the disk is looked for as vkvd's loop device\n";
  }
  return inspector_.find(record.deviceName, DiskInspector::runtimeDirectory());
}

DiskFacts Unmounter::waitUntilGone(const DiskFacts& before) const {
  const auto deadline = std::chrono::steady_clock::now() + kGoneWait;
  while (true) {
    DiskFacts remaining = inspector_.remaining(before);
    if (remaining.empty() || std::chrono::steady_clock::now() >= deadline) return remaining;
    std::this_thread::sleep_for(kCheckInterval);
  }
}
