#include "RemainsReport.h"

namespace {

std::string device(const std::string& name) { return "/dev/" + name; }

std::string joined(const std::vector<std::string>& items, const std::string& last) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += i + 1 == items.size() ? last : ", ";
    text += items[i];
  }
  return text;
}

}  // namespace

const PartitionFacts* RemainsReport::before(const std::string& partition) const {
  for (const PartitionFacts& noted : before_.partitions) {
    if (noted.name == partition) return &noted;
  }
  return nullptr;
}

bool RemainsReport::isLazilyDetached(const PartitionFacts& partition) const {
  const PartitionFacts* noted = before(partition.name);
  return partition.mountPoints.empty() && noted && !noted->mountPoints.empty();
}

bool RemainsReport::detachedLazily() const {
  for (const PartitionFacts& partition : remaining_.partitions) {
    if (isLazilyDetached(partition)) return true;
  }
  return false;
}

std::string RemainsReport::text() const {
  if (outcome_ == UmountOutcome::Refused) {
    return "Nothing was unmounted: the mounted disk is another user's; only that user or root may unmount it.";
  }
  if (!nothingLeft()) {
    std::string text = "The unmount left part of the disk behind:";
    for (const std::string& line : remainingLines()) text += "\n  " + line;
    return text;
  }
  switch (outcome_) {
    case UmountOutcome::Unmounted: return goneText();
    case UmountOutcome::NothingMounted: return "Nothing was mounted.";
    case UmountOutcome::CancelledMount: return "Cancelled the mount in progress; nothing is mounted.";
    case UmountOutcome::NotUnmounted:
    case UmountOutcome::Refused: break;
  }
  return "The service did not unmount: another mount or unmount held on past its wait, or the virtual-disk driver "
         "would not remove the disk.";
}

std::string RemainsReport::goneText() const {
  std::vector<std::string> gone;
  for (const PartitionFacts& partition : before_.partitions) {
    std::string item = device(partition.name);
    if (!partition.mountPoints.empty()) item += " (mounted at " + joined(partition.mountPoints, " and ") + ")";
    gone.push_back(item);
  }
  if (!before_.diskName.empty()) gone.push_back("its disk " + device(before_.diskName));
  const std::string unmounted = before_.image.empty() ? "Unmounted" : "Unmounted " + before_.image;
  if (gone.empty()) return unmounted + ".";
  return unmounted + ": " + joined(gone, " and ") + (gone.size() == 1 ? " is" : " are") + " gone.";
}

std::vector<std::string> RemainsReport::remainingLines() const {
  std::vector<std::string> lines;
  for (const PartitionFacts& partition : remaining_.partitions) {
    for (const std::string& mountPoint : partition.mountPoints) {
      lines.push_back(device(partition.name) + " is still mounted at " + mountPoint);
    }
    if (isLazilyDetached(partition)) {
      lines.push_back(device(partition.name) + " (mounted at " + joined(before(partition.name)->mountPoints, " and ") +
                      ") was detached lazily and is still in use by a process; it goes, with its disk, once that "
                      "process lets go of it");
    } else if (partition.mountPoints.empty()) {
      lines.push_back(device(partition.name) + " still exists");
    }
  }
  if (!remaining_.diskName.empty()) {
    lines.push_back(device(remaining_.diskName) + " is still attached" +
                    (remaining_.backingFile.empty() ? "" : " to " + remaining_.backingFile));
  }
  if (!remaining_.fuseMountPoint.empty()) {
    lines.push_back("vkvd's disk file system is still mounted at " + remaining_.fuseMountPoint);
  }
  if (remaining_.driverHoldsDisk) {
    lines.push_back("the virtual-disk driver still holds the disk" +
                    (remaining_.image.empty() ? std::string() : " of " + remaining_.image));
  }
  return lines;
}
