#include "DiskInspector.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sys/posix/MountInfo.h"

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute; empty when it cannot be read.
std::string attribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::string> entriesOf(const fs::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

bool exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The name of a device node ("/dev/loop0p1" gives "loop0p1").
std::string nodeName(const std::string& device) { return fs::path(device).filename().string(); }

// `directory` without symbolic links, as the kernel names the files below
// it; unchanged when it cannot be resolved.
std::string resolved(const std::string& directory) {
  std::error_code error;
  const fs::path real = fs::canonical(directory, error);
  return error ? directory : real.string();
}

}  // namespace

std::string DiskInspector::runtimeDirectory() {
  const char* configured = std::getenv("VKBVD_RUNTIME_DIR");
  return configured && *configured ? configured : "/run/vkbvd";
}

DiskFacts DiskInspector::find(const std::string& recordDevice, const std::string& runtimeDir) const {
  std::string disk = recordDevice.empty() ? std::string() : diskOfPartition(nodeName(recordDevice));
  if (disk.empty()) disk = diskPresenting(resolved(runtimeDir));
  DiskFacts facts;
  if (disk.empty()) return facts;
  const std::vector<Mount> table = mounts();
  facts.diskName = disk;
  facts.backingFile = backingFileOf(disk);
  facts.fuseMountPoint = fuseMountHolding(facts.backingFile, table);
  facts.partitions = partitionsOf(disk);
  for (PartitionFacts& partition : facts.partitions) {
    partition.mountPoints = mountPointsOf(partition.deviceNumber, table);
  }
  return facts;
}

bool DiskInspector::hasPartition(const std::string& device) const { return !diskOfPartition(nodeName(device)).empty(); }

std::vector<std::string> DiskInspector::mountPointsOfPartition(const std::string& device) const {
  const std::string partition = nodeName(device);
  const std::string disk = diskOfPartition(partition);
  if (disk.empty()) return {};
  std::vector<std::string> mountPoints = mountPointsOf(attribute(blockPath(disk) + "/" + partition + "/dev"), mounts());
  for (std::string& mountPoint : mountPoints) {
    if (!mountPoint.ends_with('/')) mountPoint += '/';
  }
  return mountPoints;
}

void DiskInspector::completeMountPoints(MountRecord& record) const {
  if (!record.empty() && record.mountPoints.empty()) record.mountPoints = mountPointsOfPartition(record.deviceName);
}

DiskFacts DiskInspector::remaining(const DiskFacts& before) const {
  DiskFacts facts;
  facts.image = before.image;
  const std::vector<Mount> table = mounts();
  if (presentsSameFile(before)) {
    facts.diskName = before.diskName;
    facts.backingFile = before.backingFile;
  }
  if (!before.fuseMountPoint.empty() && fuseMountHolding(before.backingFile, table) == before.fuseMountPoint) {
    facts.fuseMountPoint = before.fuseMountPoint;
  }
  for (const PartitionFacts& noted : before.partitions) {
    PartitionFacts now{noted.name, noted.deviceNumber, mountPointsOf(noted.deviceNumber, table)};
    const bool present = attribute(blockPath(before.diskName) + "/" + noted.name + "/dev") == noted.deviceNumber;
    if (present || !now.mountPoints.empty()) facts.partitions.push_back(now);
  }
  return facts;
}

// Once vkvd's file system is detached lazily, the kernel names the file the
// loop device still presents by its path within that file system.
bool DiskInspector::presentsSameFile(const DiskFacts& before) const {
  if (before.diskName.empty() || before.backingFile.empty()) return false;
  const std::string file = backingFileOf(before.diskName);
  if (file == before.backingFile) return true;
  const std::string& fileSystem = before.fuseMountPoint;
  return !fileSystem.empty() && before.backingFile.starts_with(fileSystem + "/") &&
         file == before.backingFile.substr(fileSystem.size());
}

std::string DiskInspector::diskOfPartition(const std::string& partition) const {
  if (partition.empty() || partition == "." || partition == "..") return {};
  for (const std::string& disk : entriesOf(sysRoot_ + "/block")) {
    if (exists(blockPath(disk) + "/" + partition + "/partition")) return disk;
  }
  return {};
}

std::string DiskInspector::diskPresenting(const std::string& directory) const {
  const std::string prefix = directory + "/";
  for (const std::string& disk : entriesOf(sysRoot_ + "/block")) {
    if (disk.starts_with("loop") && backingFileOf(disk).starts_with(prefix)) return disk;
  }
  return {};
}

std::string DiskInspector::backingFileOf(const std::string& disk) const {
  return attribute(blockPath(disk) + "/loop/backing_file");
}

std::vector<PartitionFacts> DiskInspector::partitionsOf(const std::string& disk) const {
  std::vector<PartitionFacts> partitions;
  for (const std::string& entry : entriesOf(blockPath(disk))) {
    const std::string path = blockPath(disk) + "/" + entry;
    if (entry.starts_with(disk) && exists(path + "/partition")) {
      partitions.push_back(PartitionFacts{entry, attribute(path + "/dev"), {}});
    }
  }
  std::sort(partitions.begin(), partitions.end(),
            [](const PartitionFacts& a, const PartitionFacts& b) { return a.name < b.name; });
  return partitions;
}

// Each line of the mount table: ID PARENT MAJOR:MINOR ROOT MOUNT-POINT
// OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS.
std::vector<DiskInspector::Mount> DiskInspector::mounts() const {
  std::vector<Mount> table;
  std::ifstream in(mountTable_);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, deviceNumber, root, mountPoint, field;
    if (!(fields >> id >> parent >> deviceNumber >> root >> mountPoint)) continue;
    while (fields >> field && field != "-") {
    }
    std::string type;
    fields >> type;
    table.push_back(Mount{deviceNumber, sys::posix::unescapeMountField(mountPoint), type});
  }
  return table;
}

std::vector<std::string> DiskInspector::mountPointsOf(const std::string& deviceNumber,
                                                      const std::vector<Mount>& mounts) {
  std::vector<std::string> mountPoints;
  for (const Mount& mount : mounts) {
    if (!deviceNumber.empty() && mount.deviceNumber == deviceNumber) mountPoints.push_back(mount.mountPoint);
  }
  return mountPoints;
}

std::string DiskInspector::fuseMountHolding(const std::string& file, const std::vector<Mount>& mounts) {
  if (file.empty()) return {};
  const std::string directory = fs::path(file).parent_path().string();
  for (const Mount& mount : mounts) {
    if (mount.mountPoint == directory && mount.type.starts_with("fuse")) return directory;
  }
  return {};
}
