#pragma once

#include <string>
#include <vector>

#include "DiskFacts.h"

// What an unmount left of the disk that was there before it, in plain
// sentences: that all of it is gone, or each part that stays. A partition
// that was mounted, is in the mount table no more, yet still exists was
// detached lazily: a process still uses it, and it goes (with its disk)
// once that process lets go of it.
class RemainsReport {
 public:
  RemainsReport(DiskFacts before, DiskFacts remaining) : before_(std::move(before)), remaining_(std::move(remaining)) {}

  bool nothingLeft() const { return remaining_.empty(); }
  bool detachedLazily() const;
  // One sentence when nothing is left; otherwise a heading and a line for
  // each part that stays.
  std::string text() const;

 private:
  const PartitionFacts* before(const std::string& partition) const;
  bool isLazilyDetached(const PartitionFacts& partition) const;
  std::string goneText() const;
  std::vector<std::string> remainingLines() const;

  DiskFacts before_;
  DiskFacts remaining_;
};
