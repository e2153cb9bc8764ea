#pragma once

#include <string>
#include <vector>

#include "DiskFacts.h"
#include "UmountOutcome.h"

// What an unmount did and left of the disk that was there before it, in
// plain sentences: what the service did (unmounted, found nothing mounted,
// cancelled a mount in progress) when all of it is gone, or each part that
// stays. A partition that was mounted, is in the mount table no more, yet
// still exists was detached lazily: a process still uses it, and it goes
// (with its disk) once that process lets go of it.
class RemainsReport {
 public:
  RemainsReport(DiskFacts before, DiskFacts remaining, UmountOutcome outcome)
      : before_(std::move(before)), remaining_(std::move(remaining)), outcome_(outcome) {}

  bool nothingLeft() const { return remaining_.empty(); }
  // Nothing is left, and the service did not report a failure.
  bool succeeded() const {
    return nothingLeft() && outcome_ != UmountOutcome::NotUnmounted && outcome_ != UmountOutcome::Refused;
  }
  UmountOutcome outcome() const { return outcome_; }
  bool detachedLazily() const;
  // One sentence when the unmount succeeded; otherwise a heading and a line
  // for each part that stays, or why the service did not unmount.
  std::string text() const;

 private:
  const PartitionFacts* before(const std::string& partition) const;
  bool isLazilyDetached(const PartitionFacts& partition) const;
  std::string goneText() const;
  std::vector<std::string> remainingLines() const;

  DiskFacts before_;
  DiskFacts remaining_;
  UmountOutcome outcome_;
};
