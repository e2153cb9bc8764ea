#pragma once

#include <chrono>
#include <optional>
#include <ostream>

#include "DiskInspector.h"
#include "MountService.h"
#include "RemainsReport.h"

// Unmounts the mounted image and finds out what of its disk is left. Before
// the unmount it notes the disk: the driver's answer, the partition the
// mounted-drive record names (or vkvd's loop device when the record names
// none), the whole disk, the partitions and their mount points, and vkvd's
// file system holding the disk's file. After it, it waits (bounded) for all
// of that to go, asks the driver again, and reports what stays.
class Unmounter {
 public:
  // How long the parts of the disk are awaited to go after the unmount.
  static constexpr std::chrono::seconds kGoneWait{15};

  // Notes go to `notes` (a record that cannot be read, for one).
  Unmounter(MountService& service, std::ostream& notes) : service_(service), notes_(notes) {}

  // The report; none, with `failure`, when the service could not be asked.
  std::optional<RemainsReport> unmount(BusFailure& failure);

 private:
  DiskFacts noteDisk();
  DiskFacts waitUntilGone(const DiskFacts& before) const;

  MountService& service_;
  std::ostream& notes_;
  DiskInspector inspector_;
};
